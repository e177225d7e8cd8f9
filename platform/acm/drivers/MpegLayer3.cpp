#include "platform/acm/drivers/MpegLayer3.h"

#include <lame/lame.h>
#include <mpg123.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/acm/AcmCodec.h"
#include "platform/acm/AcmSamples.h"

namespace acm {

namespace {

constexpr uint32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr uint16_t kMpeg1Bitrates[] = {32,  40,  48,  56,  64,  80,  96,
                                       112, 128, 160, 192, 224, 256, 320};
constexpr uint16_t kMpeg2Bitrates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
// LAME encodes MPEG-2.5 up to 64 kbit/s.
constexpr uint16_t kMpeg25Bitrates[] = {8, 16, 24, 32, 40, 48, 56, 64};

// What a suggestion picks: from the lowest rate of each MPEG version up.
struct SuggestedBitrate {
  uint32_t from_rate;
  uint16_t stereo;
  uint16_t mono;
};
constexpr SuggestedBitrate kSuggested[] = {{32000, 128, 64}, {16000, 64, 32}, {0, 32, 16}};

// LAME puts this many samples of its own before the signal, at every rate.
constexpr uint16_t kEncoderDelay = 576;
// What lame_encode_flush may write at most.
constexpr size_t kFlushBytes = 16384;

bool IsMpeg1(uint32_t rate) {
  return rate >= 32000;
}

bool CarriedRate(uint32_t rate) {
  return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

// A frame's bytes at a bitrate, without the padding byte.
uint32_t FrameBytes(uint32_t rate, uint32_t kbps) {
  return (IsMpeg1(rate) ? 144000 : 72000) * kbps / rate;
}

// What the decoder needs of a record: the channels and rate, and the layout's identity. Other
// writers fill nBlockAlign and nBlockSize their own way; the data is a stream of frames anyway.
bool Decodable(const WAVEFORMATEX& format) {
  const auto record = ReadRecord<MPEGLAYER3WAVEFORMAT>(format);
  return format.wFormatTag == WAVE_FORMAT_MPEGLAYER3 && format.nChannels >= 1 &&
         format.nChannels <= 2 && CarriedRate(format.nSamplesPerSec) && record &&
         format.nBlockAlign != 0 && record->wID == MPEGLAYER3_ID_MPEG;
}

// What the encoder writes: a constant bitrate it offers, and the fields that follow from it.
bool Encodable(const WAVEFORMATEX& format) {
  if (!Decodable(format) || format.nBlockAlign != 1 || format.wBitsPerSample != 0 ||
      format.nAvgBytesPerSec % 125 != 0)
    return false;
  const uint32_t kbps = format.nAvgBytesPerSec / 125;
  const auto bitrates = Mp3Bitrates(format.nSamplesPerSec);
  const auto record = ReadRecord<MPEGLAYER3WAVEFORMAT>(format).value();
  return std::find(bitrates.begin(), bitrates.end(), kbps) != bitrates.end() &&
         record.nFramesPerBlock == 1 &&
         record.nBlockSize == FrameBytes(format.nSamplesPerSec, kbps);
}

// ---- Encoder (LAME)

void Quiet(const char*, va_list) {}

struct LameDeleter {
  void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
using LameHandle = std::unique_ptr<lame_global_flags, LameDeleter>;

LameHandle MakeLame(uint16_t channels, uint32_t rate, uint16_t kbps) {
  // Setting up fills tables that every handle shares.
  static std::mutex setting_up;
  std::lock_guard<std::mutex> hold(setting_up);
  LameHandle lame(lame_init());
  if (!lame) throw std::bad_alloc();
  lame_global_flags* l = lame.get();
  lame_set_errorf(l, Quiet);
  lame_set_debugf(l, Quiet);
  lame_set_msgf(l, Quiet);
  lame_set_num_channels(l, channels);
  lame_set_in_samplerate(l, static_cast<int>(rate));
  lame_set_out_samplerate(l, static_cast<int>(rate));
  lame_set_mode(l, channels == 2 ? JOINT_STEREO : MONO);
  lame_set_VBR(l, vbr_off);
  lame_set_brate(l, kbps);
  // The wave record describes the data: no Xing frame in front of it.
  lame_set_bWriteVbrTag(l, 0);
  if (lame_init_params(l) < 0 || lame_get_brate(l) != kbps)
    throw std::runtime_error("the MP3 encoder refuses " + std::to_string(kbps) + " kbit/s at " +
                             std::to_string(rate) + " Hz");
  return lame;
}

// LAME keeps a delay line and a bit reservoir: a block's bytes come out partly with later
// blocks, and the frame in progress at the end with the flush. What LAME hands out beyond a
// frame per block waits here, so that no call makes more than its blocks' worth.
class Mp3Encoder final : public BlockEncoder {
 public:
  Mp3Encoder(uint16_t channels, uint32_t rate, uint16_t kbps)
      : channels_(channels), rate_(rate), kbps_(kbps), lame_(MakeLame(channels, rate, kbps)) {}

  uint32_t FramesPerBlock() const override { return Mp3FrameSamples(rate_); }
  // A frame and its padding byte.
  uint32_t MaxBytesPerBlock() const override { return FrameBytes(rate_, kbps_) + 1; }

  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    const size_t samples = blocks * FramesPerBlock();
    started_ = started_ || samples > 0;
    const size_t capacity = samples * 5 / 4 + 7200;  // LAME's bound
    uint8_t* space = pending_.Grow(capacity);
    const int made =
        channels_ == 2
            // LAME only reads the samples, whatever its declaration says.
            ? lame_encode_buffer_interleaved(lame_.get(), const_cast<int16_t*>(frames),
                                             static_cast<int>(samples), space,
                                             static_cast<int>(capacity))
            : lame_encode_buffer(lame_.get(), frames, frames, static_cast<int>(samples), space,
                                 static_cast<int>(capacity));
    pending_.Trim(capacity - static_cast<size_t>(std::max(made, 0)));
    if (made < 0) throw std::runtime_error("the MP3 encoder failed");
    return pending_.Drain(out, blocks * MaxBytesPerBlock());
  }

  // An empty signal stays empty (LAME would flush a frame of silence).
  void Flush(OutputQueue& out) override {
    if (!started_) return;
    uint8_t* space = pending_.Grow(kFlushBytes);
    const int made = lame_encode_flush(lame_.get(), space, static_cast<int>(kFlushBytes));
    pending_.Trim(kFlushBytes - static_cast<size_t>(std::max(made, 0)));
    const size_t n = pending_.Size();
    pending_.Drain(out.Grow(n), n);
  }

  // LAME cannot start over: a new signal gets a new encoder.
  void Reset() override {
    lame_ = MakeLame(channels_, rate_, kbps_);
    pending_.Clear();
    started_ = false;
  }

 private:
  uint16_t channels_;
  uint32_t rate_;
  uint16_t kbps_;
  LameHandle lame_;
  OutputQueue pending_;
  bool started_ = false;  // samples went in since the signal began
};

// ---- Decoder (mpg123)

struct Mpg123Deleter {
  void operator()(mpg123_handle* handle) const { mpg123_delete(handle); }
};
using Mpg123Handle = std::unique_ptr<mpg123_handle, Mpg123Deleter>;

// None when mpg123 cannot be set up.
Mpg123Handle MakeMpg123(uint16_t channels, uint32_t rate) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mpg123_init(); });
  int error = MPG123_OK;
  Mpg123Handle handle(mpg123_new(nullptr, &error));
  mpg123_handle* h = handle.get();
  // Every frame comes out as it is (no trimming by an info frame, as other players decode
  // these files), in the record's format whatever a frame says, and garbage is skipped
  // however long it runs.
  if (!h || mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0) != MPG123_OK ||
      mpg123_param(h, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0) != MPG123_OK ||
      mpg123_param(h, MPG123_RESYNC_LIMIT, -1, 0) != MPG123_OK ||
      mpg123_format_none(h) != MPG123_OK ||
      mpg123_format(h, static_cast<long>(rate), channels == 2 ? MPG123_STEREO : MPG123_MONO,
                    MPG123_ENC_SIGNED_16) != MPG123_OK ||
      mpg123_open_feed(h) != MPG123_OK)
    return nullptr;
  return handle;
}

// A decoding stream: every byte given goes into mpg123, and as much as the destination takes
// comes out; the rest stays in mpg123 for the next call. Sizes follow the record's byte rate.
class Mp3DecodeStream final : public Converter {
 public:
  Mp3DecodeStream(Mpg123Handle handle, const WAVEFORMATEX& format)
      : handle_(std::move(handle)),
        rate_(format.nSamplesPerSec),
        channels_(format.nChannels),
        frame_bytes_(2u * format.nChannels),
        block_align_(format.nBlockAlign) {
    // A byte rate outside what the rate's bitrates make is not trusted.
    const auto bitrates = Mp3Bitrates(rate_);
    bytes_per_second_ =
        std::clamp<uint32_t>(format.nAvgBytesPerSec, bitrates.front() * 125u, 320 * 125u);
  }

  uint64_t DestinationSize(uint64_t source_bytes) const override {
    const uint64_t frames = (source_bytes * rate_ + bytes_per_second_ - 1) / bytes_per_second_;
    return frames * frame_bytes_;
  }

  uint64_t SourceSize(uint64_t destination_bytes) const override {
    const uint64_t bytes = destination_bytes / frame_bytes_ * bytes_per_second_ / rate_;
    return bytes / block_align_ * block_align_;
  }

  MMRESULT Convert(ConvertCall& call) override {
    call.source_used = 0;
    call.destination_used = 0;
    if (call.flags & ACM_STREAMCONVERTF_START) Restart();
    const bool aligned = call.flags & ACM_STREAMCONVERTF_BLOCKALIGN;
    const uint32_t take =
        aligned ? call.source_length / block_align_ * block_align_ : call.source_length;
    // Less than a block with BLOCKALIGN: nothing either way, so that the caller's retry
    // without it takes the bytes (callers take output from nothing consumed for a fault).
    if (aligned && take == 0) return MMSYSERR_NOERROR;
    if (take > 0) {
      if (mpg123_feed(handle_.get(), call.source, take) != MPG123_OK) return MMSYSERR_NOMEM;
      call.source_used = take;
    }
    Drain(call);
    return MMSYSERR_NOERROR;
  }

 private:
  void Drain(ConvertCall& call) {
    for (int idle = 0; idle < 4;) {
      const size_t room =
          (call.destination_length - call.destination_used) / frame_bytes_ * frame_bytes_;
      if (room == 0) return;
      size_t done = 0;
      const int result =
          mpg123_read(handle_.get(), call.destination + call.destination_used, room, &done);
      call.destination_used += static_cast<uint32_t>(std::min(done, room));
      idle = done == 0 ? idle + 1 : 0;
      if (result == MPG123_NEED_MORE || result == MPG123_DONE) return;
      const bool fine = result == MPG123_OK || (result == MPG123_NEW_FORMAT && FormatAsRecorded());
      if (!fine) {
        // mpg123 cannot go on from here: it starts over with the bytes that come next.
        Restart();
        return;
      }
    }
  }

  bool FormatAsRecorded() {
    long rate = 0;
    int channels = 0, encoding = 0;
    return mpg123_getformat(handle_.get(), &rate, &channels, &encoding) == MPG123_OK &&
           rate == static_cast<long>(rate_) && channels == channels_ &&
           encoding == MPG123_ENC_SIGNED_16;
  }

  void Restart() { mpg123_open_feed(handle_.get()); }

  Mpg123Handle handle_;
  uint32_t rate_;
  uint16_t channels_;
  uint32_t frame_bytes_;
  uint32_t block_align_;
  uint32_t bytes_per_second_;
};

// ---- Driver

class Mp3Driver final : public CodecDriver {
 public:
  using CodecDriver::CodecDriver;

  std::vector<FormatRecord> ListFormats(uint16_t tag) const override {
    std::vector<FormatRecord> formats;
    if (tag != WAVE_FORMAT_MPEGLAYER3) return formats;
    for (uint32_t rate : kRates)
      for (uint16_t channels = 1; channels <= 2; ++channels)
        for (uint16_t kbps : Mp3Bitrates(rate))
          formats.push_back(MakeMp3Format(channels, rate, kbps));
    return formats;
  }

  // Such as "128 kBit/s, 44,100 Hz, Stereo".
  std::string Describe(const WAVEFORMATEX& format) const override {
    return std::to_string(uint64_t{format.nAvgBytesPerSec} * 8 / 1000) + " kBit/s, " +
           Driver::Describe(format);
  }

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    return MakeMp3Format(channels, rate, Mp3SuggestedBitrate(rate, channels));
  }

  bool CheckFormat(const WAVEFORMATEX& format) const override { return Decodable(format); }
  bool Encodes(const WAVEFORMATEX& format) const override { return Encodable(format); }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<Mp3Encoder>(format.nChannels, format.nSamplesPerSec,
                                        static_cast<uint16_t>(format.nAvgBytesPerSec / 125));
  }
  // The data is a stream of frames that mpg123 takes as it comes.
  std::unique_ptr<Converter> MakeDecodeStream(const WAVEFORMATEX& format) const override {
    auto handle = MakeMpg123(format.nChannels, format.nSamplesPerSec);
    if (!handle) throw std::bad_alloc();
    return std::make_unique<Mp3DecodeStream>(std::move(handle), format);
  }
};

}  // namespace

std::span<const uint16_t> Mp3Bitrates(uint32_t rate) {
  if (!CarriedRate(rate)) return {};
  if (IsMpeg1(rate)) return kMpeg1Bitrates;
  if (rate >= 16000) return kMpeg2Bitrates;
  return kMpeg25Bitrates;
}

uint16_t Mp3SuggestedBitrate(uint32_t rate, uint16_t channels) {
  for (const SuggestedBitrate& s : kSuggested)
    if (rate >= s.from_rate) return channels == 2 ? s.stereo : s.mono;
  return kSuggested[2].mono;
}

uint32_t Mp3FrameSamples(uint32_t rate) {
  return IsMpeg1(rate) ? 1152 : 576;
}

FormatRecord MakeMp3Format(uint16_t channels, uint32_t rate, uint16_t kbps) {
  MPEGLAYER3WAVEFORMAT record;
  record.wfx = {WAVE_FORMAT_MPEGLAYER3, channels, rate, kbps * 125u, 1, 0, 0};
  record.wID = MPEGLAYER3_ID_MPEG;
  record.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
  record.nBlockSize = static_cast<uint16_t>(FrameBytes(rate, kbps));
  record.nFramesPerBlock = 1;
  record.nCodecDelay = kEncoderDelay;
  return WriteRecord(record);
}

std::shared_ptr<Driver> MakeMpegLayer3Driver() {
  return std::make_shared<Mp3Driver>(TagCaps{.tag = WAVE_FORMAT_MPEGLAYER3,
                                             .name = "MPEG Layer-3",
                                             .min_rate = 8000,
                                             .max_rate = 48000,
                                             .bits = {0},
                                             .format_size = sizeof(MPEGLAYER3WAVEFORMAT),
                                             .rates = {std::begin(kRates), std::end(kRates)},
                                             .command_name = "mp3"});
}

}  // namespace acm
