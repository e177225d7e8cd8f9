#include "platform/acm/drivers/Gsm610.h"

#include <gsm.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/acm/AcmCodec.h"

namespace acm {

namespace {

// A frame holds 160 samples in 32½ bytes: the first of a block's two frames takes 33 bytes
// (its last half byte carried into the second), the second the 32 after them.
constexpr uint32_t kFrameSamples = 160;
constexpr uint32_t kFirstFrameBytes = 33;

struct GsmDeleter {
  void operator()(gsm_state* state) const { gsm_destroy(state); }
};
using GsmHandle = std::unique_ptr<gsm_state, GsmDeleter>;

GsmHandle MakeHandle() {
  GsmHandle handle(gsm_create());
  if (!handle) throw std::bad_alloc();
  int on = 1;
  gsm_option(handle.get(), GSM_OPT_WAV49, &on);
  return handle;
}

// Every block starts with its first frame, whatever came before.
void StartBlock(gsm_state* state) {
  int first = 0;
  gsm_option(state, GSM_OPT_FRAME_INDEX, &first);
}

class GsmEncoder final : public BlockEncoder {
 public:
  GsmEncoder() : handle_(MakeHandle()) {}
  uint32_t FramesPerBlock() const override { return kGsmSamplesPerBlock; }
  uint32_t MaxBytesPerBlock() const override { return kGsmBlockAlign; }

  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    for (size_t b = 0; b < blocks; ++b)
      EncodeBlock(frames + b * kGsmSamplesPerBlock, out + b * kGsmBlockAlign);
    return blocks * kGsmBlockAlign;
  }

  // An odd count of blocks gets one more, holding the last sample.
  void Flush(OutputQueue& out) override {
    if (blocks_ % 2 == 0) return;
    int16_t block[kGsmSamplesPerBlock];
    std::fill(std::begin(block), std::end(block), last_);
    EncodeBlock(block, out.Grow(kGsmBlockAlign));
  }

  void Reset() override {
    handle_ = MakeHandle();
    blocks_ = 0;
    last_ = 0;
  }

 private:
  void EncodeBlock(const int16_t* samples, uint8_t* out) {
    // libgsm takes its input by non-const pointer.
    gsm_signal frame[kGsmSamplesPerBlock];
    std::memcpy(frame, samples, sizeof frame);
    StartBlock(handle_.get());
    gsm_encode(handle_.get(), frame, out);
    gsm_encode(handle_.get(), frame + kFrameSamples, out + kFirstFrameBytes - 1);
    last_ = samples[kGsmSamplesPerBlock - 1];
    ++blocks_;
  }

  GsmHandle handle_;
  uint64_t blocks_ = 0;
  int16_t last_ = 0;
};

class GsmDecoder final : public BlockDecoder {
 public:
  GsmDecoder() : handle_(MakeHandle()) {}
  uint32_t BytesPerBlock() const override { return kGsmBlockAlign; }
  uint32_t FramesPerBlock() const override { return kGsmSamplesPerBlock; }
  uint16_t Channels() const override { return 1; }
  uint32_t PartialFrames(uint32_t bytes) const override {
    return bytes >= kFirstFrameBytes ? kFrameSamples : 0;
  }

  void Decode(const uint8_t* in, size_t blocks, int16_t* out) override {
    for (size_t b = 0; b < blocks; ++b)
      DecodeFrames(in + b * kGsmBlockAlign, 2, out + b * kGsmSamplesPerBlock);
  }
  void DecodePartial(const uint8_t* in, uint32_t bytes, int16_t* out) override {
    if (bytes >= kFirstFrameBytes) DecodeFrames(in, 1, out);
  }

 private:
  void DecodeFrames(const uint8_t* in, int frames, int16_t* out) {
    // libgsm reads through a non-const pointer, and no further than the block.
    gsm_byte block[kGsmBlockAlign];
    std::memcpy(block, in, frames == 2 ? kGsmBlockAlign : kFirstFrameBytes);
    StartBlock(handle_.get());
    gsm_signal samples[kGsmSamplesPerBlock];
    for (int f = 0; f < frames; ++f)
      if (gsm_decode(handle_.get(), block + f * kFirstFrameBytes, samples + f * kFrameSamples))
        std::fill_n(samples + f * kFrameSamples, kFrameSamples, gsm_signal{0});
    std::memcpy(out, samples, frames * kFrameSamples * sizeof(int16_t));
  }

  GsmHandle handle_;
};

class GsmDriver final : public CodecDriver {
 public:
  using CodecDriver::CodecDriver;

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    GSM610WAVEFORMAT record;
    // The byte rate rounded to nearest: 1,625 at 8,000 Hz.
    const auto bytes_per_second = static_cast<uint32_t>(
        (uint64_t{rate} * kGsmBlockAlign + kGsmSamplesPerBlock / 2) / kGsmSamplesPerBlock);
    record.wfx = {WAVE_FORMAT_GSM610, channels, rate, bytes_per_second, kGsmBlockAlign, 0, 0};
    record.wSamplesPerBlock = kGsmSamplesPerBlock;
    return WriteRecord(record);
  }

  bool CheckFormat(const WAVEFORMATEX& format) const override {
    const auto record = ReadRecord<GSM610WAVEFORMAT>(format);
    return CheckCommonFields(format) && record && format.nBlockAlign == kGsmBlockAlign &&
           record->wSamplesPerBlock == kGsmSamplesPerBlock;
  }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX&) const override {
    return std::make_unique<GsmEncoder>();
  }
  std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX&) const override {
    return std::make_unique<GsmDecoder>();
  }
};

}  // namespace

std::shared_ptr<Driver> MakeGsm610Driver() {
  return std::make_shared<GsmDriver>(TagCaps{.tag = WAVE_FORMAT_GSM610,
                                             .name = "GSM 6.10",
                                             .min_rate = 8000,
                                             .max_rate = 44100,
                                             .max_channels = 1,
                                             .bits = {0},
                                             .format_size = sizeof(GSM610WAVEFORMAT),
                                             .rates = {8000, 11025, 22050, 44100},
                                             .command_name = "gsm610"});
}

}  // namespace acm
