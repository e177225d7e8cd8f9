#include "platform/acm/drivers/PcmDriver.h"

#include <algorithm>
#include <cstring>

#include "platform/acm/AcmCodec.h"
#include "platform/acm/AcmSamples.h"

namespace acm {

namespace {

constexpr uint64_t kPieceFrames = 4096;
// Source frames a call takes when the destination has no room for one output frame.
constexpr uint64_t kLeastFrames = 256;

bool Has(uint32_t flags, uint32_t flag) {
  return (flags & flag) != 0;
}

class LinearConverter final : public Converter {
 public:
  LinearConverter(std::unique_ptr<LinearPipeline> pipeline, SampleType type)
      : pipeline_(std::move(pipeline)),
        type_(type),
        in_frame_bytes_(pipeline_->Source().FrameBytes()),
        out_frame_bytes_(pipeline_->Channels() * BytesPerSample(type)),
        copy_(type == pipeline_->Source().type && pipeline_->Direct()) {}

  uint64_t DestinationSize(uint64_t source_bytes) const override {
    return pipeline_->MaxTargetFrames(source_bytes / in_frame_bytes_) * out_frame_bytes_;
  }

  uint64_t SourceSize(uint64_t destination_bytes) const override {
    return pipeline_->SourceFramesWithin(destination_bytes / out_frame_bytes_) * in_frame_bytes_;
  }

  MMRESULT Convert(ConvertCall& call) override {
    if (Has(call.flags, ACM_STREAMCONVERTF_START)) Restart();
    const bool aligned = Has(call.flags, ACM_STREAMCONVERTF_BLOCKALIGN);
    const bool end = Has(call.flags, ACM_STREAMCONVERTF_END);
    call.destination_used =
        static_cast<uint32_t>(queue_.Drain(call.destination, call.destination_length));
    const bool drained = queue_.Empty();
    const uint64_t frames = call.source_length / in_frame_bytes_;
    if (frames > 0 && ended_) Restart();
    const uint64_t room = (call.destination_length - call.destination_used) / out_frame_bytes_;
    uint64_t take = drained ? std::min(frames, pipeline_->SourceFramesWithin(room)) : 0;
    if (take == 0 && drained && frames > 0) take = std::min(frames, kLeastFrames);

    const uint8_t* source = call.source;
    for (uint64_t left = take; left > 0;) {
      const uint64_t n = std::min(left, kPieceFrames);
      if (copy_)
        Deliver(source, n * in_frame_bytes_, call);
      else
        pipeline_->Push(source, n, fifo_);
      Emit(call);
      source += n * in_frame_bytes_;
      left -= n;
    }
    call.source_used = static_cast<uint32_t>(take * in_frame_bytes_);
    const bool all = take == frames;
    if (all && !aligned) call.source_used = call.source_length;  // a trailing part of a frame goes
    if (all && end && !ended_) {
      pipeline_->Flush(fifo_);
      Emit(call);
      ended_ = true;
    }
    return MMSYSERR_NOERROR;
  }

 private:
  // Writes the frames the pipeline made: into the destination while it has room, then queued.
  void Emit(ConvertCall& call) {
    const size_t channels = pipeline_->Channels();
    const size_t frames = fifo_.Size() / channels;
    if (frames == 0) return;
    size_t direct = 0;
    if (queue_.Empty()) {
      direct = std::min<size_t>(
          frames, (call.destination_length - call.destination_used) / out_frame_bytes_);
      WriteSamples(type_, fifo_.Data(), direct * channels,
                   call.destination + call.destination_used);
      call.destination_used += static_cast<uint32_t>(direct * out_frame_bytes_);
    }
    if (direct < frames)
      WriteSamples(type_, fifo_.Data() + direct * channels, (frames - direct) * channels,
                   queue_.Grow((frames - direct) * out_frame_bytes_));
    fifo_.Clear();
  }

  void Deliver(const uint8_t* bytes, size_t count, ConvertCall& call) {
    size_t direct = 0;
    if (queue_.Empty()) {
      direct = std::min<size_t>(count, call.destination_length - call.destination_used);
      std::memcpy(call.destination + call.destination_used, bytes, direct);
      call.destination_used += static_cast<uint32_t>(direct);
    }
    if (direct < count) std::memcpy(queue_.Grow(count - direct), bytes + direct, count - direct);
  }

  void Restart() {
    pipeline_->Reset();
    fifo_.Clear();
    ended_ = false;
  }

  std::unique_ptr<LinearPipeline> pipeline_;
  SampleType type_;
  uint32_t in_frame_bytes_;
  uint32_t out_frame_bytes_;
  bool copy_;  // the same format on both sides: bytes are copied as they are
  SampleFifo<int32_t> fifo_;
  OutputQueue queue_;
  bool ended_ = false;
};

std::optional<SampleType> PcmType(uint16_t bits) {
  switch (bits) {
    case 8:
      return SampleType::kUnsigned8;
    case 16:
      return SampleType::kSigned16;
    case 24:
      return SampleType::kSigned24;
    case 32:
      return SampleType::kSigned32;
    default:
      return std::nullopt;
  }
}

class PcmDriver final : public Driver {
 public:
  PcmDriver()
      : tags_{// Both read and write extensible records, the largest linear record (40 bytes).
              TagCaps{WAVE_FORMAT_PCM,
                      "PCM",
                      1,
                      kMaxLinearRate,
                      1,
                      kMaxLinearChannels,
                      {8, 16, 24, 32},
                      sizeof(WAVEFORMATEXTENSIBLE),
                      ACMDRIVERDETAILS_SUPPORTF_CONVERTER},
              TagCaps{WAVE_FORMAT_IEEE_FLOAT,
                      "IEEE Float",
                      1,
                      kMaxLinearRate,
                      1,
                      kMaxLinearChannels,
                      {32, 64},
                      sizeof(WAVEFORMATEXTENSIBLE),
                      ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
                      {},
                      "float"}} {}

  std::span<const TagCaps> Tags() const override { return tags_; }

  // Open fields keep the source's values. PCM keeps the source's container width (24 bits
  // from float); float is 32-bit, 64 from a 64-bit source.
  MMRESULT Suggest(const WAVEFORMATEX& source, const WAVEFORMATEX& templ, uint32_t flags,
                   FormatRecord& result) const override {
    const auto linear = ReadLinearFormat(source);
    if (!linear) return ACMERR_NOTPOSSIBLE;
    const uint16_t tag = templ.wFormatTag;
    if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT) return ACMERR_NOTPOSSIBLE;
    uint16_t channels = linear->channels;
    uint32_t rate = linear->rate;
    if (Has(flags, ACM_FORMATSUGGESTF_NCHANNELS)) {
      if (templ.nChannels == 0 || templ.nChannels > kMaxLinearChannels) return ACMERR_NOTPOSSIBLE;
      channels = templ.nChannels;
    }
    if (Has(flags, ACM_FORMATSUGGESTF_NSAMPLESPERSEC)) {
      if (templ.nSamplesPerSec == 0 || templ.nSamplesPerSec > kMaxLinearRate ||
          !CanResample(linear->rate, templ.nSamplesPerSec))
        return ACMERR_NOTPOSSIBLE;
      rate = templ.nSamplesPerSec;
    }
    SampleType type;
    const bool floating =
        linear->type == SampleType::kFloat32 || linear->type == SampleType::kFloat64;
    if (tag == WAVE_FORMAT_IEEE_FLOAT) {
      const bool bits = Has(flags, ACM_FORMATSUGGESTF_WBITSPERSAMPLE);
      if (bits && templ.wBitsPerSample != 32 && templ.wBitsPerSample != 64)
        return ACMERR_NOTPOSSIBLE;
      const bool wide = bits ? templ.wBitsPerSample == 64 : linear->type == SampleType::kFloat64;
      type = wide ? SampleType::kFloat64 : SampleType::kFloat32;
    } else if (Has(flags, ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) {
      const auto fixed = PcmType(templ.wBitsPerSample);
      if (!fixed) return ACMERR_NOTPOSSIBLE;
      type = *fixed;
    } else {
      type = floating ? SampleType::kSigned24 : linear->type;
    }
    result = MakeLinearRecord(type, channels, rate);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& source, const WAVEFORMATEX& destination,
                std::unique_ptr<Converter>* converter) const override {
    const auto from = ReadLinearFormat(source);
    const auto to = ReadLinearFormat(destination);
    if (!from || !to) return ACMERR_NOTPOSSIBLE;
    auto pipeline = LinearPipeline::Create(*from, to->channels, to->channel_mask, to->rate);
    if (!pipeline) return ACMERR_NOTPOSSIBLE;
    if (converter) *converter = std::make_unique<LinearConverter>(std::move(pipeline), to->type);
    return MMSYSERR_NOERROR;
  }

  std::vector<FormatRecord> ListFormats(uint16_t tag) const override {
    static constexpr uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
    std::vector<FormatRecord> formats;
    for (uint32_t rate : kRates)
      for (uint16_t channels : {1, 2}) {
        if (tag == WAVE_FORMAT_IEEE_FLOAT)
          formats.push_back(MakeLinearRecord(SampleType::kFloat32, channels, rate));
        if (tag == WAVE_FORMAT_PCM)
          for (SampleType type :
               {SampleType::kUnsigned8, SampleType::kSigned16, SampleType::kSigned24})
            formats.push_back(MakeLinearRecord(type, channels, rate));
      }
    return formats;
  }

  std::string Describe(const WAVEFORMATEX& format) const override {
    std::string text = Driver::Describe(format);
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
      const auto bit = text.find(" Bit");
      if (bit != std::string::npos) text.insert(bit + 4, " Float");
    }
    return text;
  }

 private:
  TagCaps tags_[2];
};

}  // namespace

std::shared_ptr<Driver> MakePcmDriver() {
  return std::make_shared<PcmDriver>();
}

}  // namespace acm
