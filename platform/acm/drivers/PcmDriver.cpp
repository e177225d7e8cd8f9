#include "platform/acm/drivers/PcmDriver.h"

#include <algorithm>
#include <cstring>

#include "platform/acm/AcmCodec.h"
#include "platform/acm/AcmSamples.h"

namespace acm {

namespace {

// Source frames a call takes when the destination has no room for one output frame.
constexpr uint64_t kLeastFrames = 256;

// Linear to linear: the pipeline's frames written in the destination's sample type, one frame a
// unit; the same format on both sides is copied as it is.
class LinearConverter final : public PipelineConverter<int32_t> {
 public:
  // frame_bytes: of the destination.
  LinearConverter(std::unique_ptr<LinearPipeline> pipeline, SampleType type, uint32_t frame_bytes)
      : PipelineConverter(std::move(pipeline), 1, frame_bytes, kLeastFrames),
        type_(type),
        copy_(type == pipeline_->Source().type && pipeline_->Direct()) {}

 private:
  void Take(const uint8_t* source, uint64_t frames, ConvertCall& call) override {
    if (copy_)
      queue_.Deliver(call, source, frames * frame_bytes_);
    else
      PipelineConverter::Take(source, frames, call);
  }

  void Emit(ConvertCall& call) override {
    queue_.Deliver(call, fifo_.Size() / channels_, unit_bytes_,
                   [&](size_t first, size_t count, uint8_t* out) {
                     WriteSamples(type_, fifo_.Data() + first * channels_, count * channels_, out);
                     return count * unit_bytes_;
                   });
    fifo_.Clear();
  }

  SampleType type_;
  bool copy_;  // the same format on both sides: bytes are copied as they are
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
              TagCaps{.tag = WAVE_FORMAT_PCM,
                      .name = "PCM",
                      .min_rate = 1,
                      .max_rate = kMaxLinearRate,
                      .max_channels = kMaxLinearChannels,
                      .bits = {8, 16, 24, 32},
                      .format_size = sizeof(WAVEFORMATEXTENSIBLE),
                      .support = ACMDRIVERDETAILS_SUPPORTF_CONVERTER},
              TagCaps{.tag = WAVE_FORMAT_IEEE_FLOAT,
                      .name = "IEEE Float",
                      .min_rate = 1,
                      .max_rate = kMaxLinearRate,
                      .max_channels = kMaxLinearChannels,
                      .bits = {32, 64},
                      .format_size = sizeof(WAVEFORMATEXTENSIBLE),
                      .support = ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
                      .command_name = "float"}} {}

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
    if (HasFlag(flags, ACM_FORMATSUGGESTF_NCHANNELS)) {
      if (templ.nChannels == 0 || templ.nChannels > kMaxLinearChannels) return ACMERR_NOTPOSSIBLE;
      channels = templ.nChannels;
    }
    if (HasFlag(flags, ACM_FORMATSUGGESTF_NSAMPLESPERSEC)) {
      if (templ.nSamplesPerSec == 0 || templ.nSamplesPerSec > kMaxLinearRate ||
          !CanResample(linear->rate, templ.nSamplesPerSec))
        return ACMERR_NOTPOSSIBLE;
      rate = templ.nSamplesPerSec;
    }
    SampleType type;
    const bool floating =
        linear->type == SampleType::kFloat32 || linear->type == SampleType::kFloat64;
    if (tag == WAVE_FORMAT_IEEE_FLOAT) {
      const bool bits = HasFlag(flags, ACM_FORMATSUGGESTF_WBITSPERSAMPLE);
      if (bits && templ.wBitsPerSample != 32 && templ.wBitsPerSample != 64)
        return ACMERR_NOTPOSSIBLE;
      const bool wide = bits ? templ.wBitsPerSample == 64 : linear->type == SampleType::kFloat64;
      type = wide ? SampleType::kFloat64 : SampleType::kFloat32;
    } else if (HasFlag(flags, ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) {
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
    const uint32_t frame_bytes = pipeline->Channels() * BytesPerSample(to->type);
    if (converter)
      *converter = std::make_unique<LinearConverter>(std::move(pipeline), to->type, frame_bytes);
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
