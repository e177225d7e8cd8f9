#pragma once

// A codec driver for tests, registered for the life of a TFakeCodecScope. Its codec keeps the
// PCM layout and copies whole blocks of BlockBytes bytes both ways (an encoder pads the last
// one with zeros), so what comes back is exact. Which PCM sources it takes and whether it opens
// are set per test; it notes the sources it was asked to suggest from. It may stand in for a
// built-in tag, and declare a larger record than it uses.

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/acm/AcmDriver.h"

constexpr uint16_t kFakeTag = 0x7F01;

class TFakeCodec : public acm::Driver {
 public:
  explicit TFakeCodec(uint16_t ATag = kFakeTag, uint32_t AFormatSize = 18)
      : FCaps{ATag, "Fake", 1, 192000, 1, 2, {8, 16}, AFormatSize, 0} {}

  std::function<bool(const WAVEFORMATEX&)> Accepts = [](const WAVEFORMATEX&) { return true; };
  bool Opens = true;
  uint16_t BlockBytes = 0;  // 0: one frame
  mutable std::vector<WAVEFORMATEX> Asked;

  std::span<const acm::TagCaps> Tags() const override { return {&FCaps, 1}; }

  // Encodes from PCM it accepts, decodes to PCM; the fields a template fixes must fit.
  MMRESULT Suggest(const WAVEFORMATEX& ASource, const WAVEFORMATEX& ATemplate, uint32_t AFlags,
                   acm::FormatRecord& AResult) const override {
    const uint16_t tag = ATemplate.wFormatTag,
                   align = ASource.nChannels * ASource.wBitsPerSample / 8;
    const bool ours = tag == FCaps.tag;
    WAVEFORMATEX r{tag,
                   ASource.nChannels,
                   ASource.nSamplesPerSec,
                   ASource.nSamplesPerSec * align,
                   static_cast<uint16_t>(ours && BlockBytes ? BlockBytes : align),
                   ASource.wBitsPerSample,
                   0};
    if (ours) Asked.push_back(ASource);
    const bool encode = ours && ASource.wFormatTag == WAVE_FORMAT_PCM && Accepts(ASource);
    const bool decode = tag == WAVE_FORMAT_PCM && ASource.wFormatTag == FCaps.tag;
    const auto fixed = [&](uint32_t AFlag, uint32_t AWanted, uint32_t AGot) {
      return (AFlags & AFlag) && AWanted != AGot;
    };
    if ((!encode && !decode) ||
        fixed(ACM_FORMATSUGGESTF_NCHANNELS, ATemplate.nChannels, r.nChannels) ||
        fixed(ACM_FORMATSUGGESTF_NSAMPLESPERSEC, ATemplate.nSamplesPerSec, r.nSamplesPerSec) ||
        fixed(ACM_FORMATSUGGESTF_WBITSPERSAMPLE, ATemplate.wBitsPerSample, r.wBitsPerSample))
      return ACMERR_NOTPOSSIBLE;
    AResult = acm::FormatRecord(r);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& ASource, const WAVEFORMATEX& ADest,
                std::unique_ptr<acm::Converter>* AConverter) const override {
    const bool encode = ADest.wFormatTag == FCaps.tag;
    const WAVEFORMATEX &codec = encode ? ADest : ASource, &pcm = encode ? ASource : ADest;
    if (!Opens || codec.wFormatTag != FCaps.tag || pcm.wFormatTag != WAVE_FORMAT_PCM ||
        codec.nChannels != pcm.nChannels || codec.nSamplesPerSec != pcm.nSamplesPerSec)
      return ACMERR_NOTPOSSIBLE;
    if (AConverter) *AConverter = std::make_unique<TBlockCopy>(codec.nBlockAlign, encode);
    return MMSYSERR_NOERROR;
  }

 private:
  // Whole blocks; without block alignment or at the end the rest too. Holds nothing.
  struct TBlockCopy : acm::Converter {
    TBlockCopy(uint32_t ABlock, bool APad) : Block(ABlock), Pad(APad) {}
    uint64_t DestinationSize(uint64_t N) const override { return (N + Block - 1) / Block * Block; }
    uint64_t SourceSize(uint64_t N) const override { return N / Block * Block; }
    MMRESULT Convert(acm::ConvertCall& C) override {
      const bool all =
          !(C.flags & ACM_STREAMCONVERTF_BLOCKALIGN) || C.flags & ACM_STREAMCONVERTF_END;
      uint32_t take = std::min(C.source_length, C.destination_length) / Block * Block, made = take;
      if (all && C.source_length - take < Block && take + Block <= C.destination_length) {
        made = C.source_length == take ? take : take + (Pad ? Block : C.source_length - take);
        take = C.source_length;
      }
      std::memcpy(C.destination, C.source, take);
      std::memset(C.destination + take, 0, made - take);
      C.source_used = take;
      C.destination_used = made;
      return MMSYSERR_NOERROR;
    }
    uint32_t Block;
    bool Pad;
  };

  acm::TagCaps FCaps;
};

// Registers a fake codec for the life of the scope.
class TFakeCodecScope {
 public:
  explicit TFakeCodecScope(uint16_t ATag = kFakeTag, uint32_t AFormatSize = 18)
      : FCodec(std::make_shared<TFakeCodec>(ATag, AFormatSize)), FScope(FCodec) {}
  TFakeCodec* operator->() const { return FCodec.get(); }

 private:
  std::shared_ptr<TFakeCodec> FCodec;
  acm::ScopedDriver FScope;
};
