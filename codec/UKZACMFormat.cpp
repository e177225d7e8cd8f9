#include "codec/UKZACMFormat.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "platform/acm/Acm.h"
#include "platform/rtl/Exception.h"

namespace {

using TFormat = std::unique_ptr<TKZWaveFormat>;

// The PCM ladder, lowest rung first; the only constants of the search.
constexpr uint16_t kChannels[] = {1, 2};
constexpr uint16_t kBits[] = {8, 16};
constexpr uint32_t kRates[] = {8000, 11025, 22050, 44100};

TFormat Copy(const TKZWaveFormat& AFormat) {
  auto copy = TKZWaveFormat::CreateDefault();
  copy->Assign(&AFormat);
  return copy;
}

bool IsPCM(const TKZWaveFormat& AFormat) {
  return AFormat.GetFormatTag() == WAVE_FORMAT_PCM;
}

void RequirePCM(const TKZWaveFormat& AFormat, const char* AMessage) {
  if (!IsPCM(AFormat)) throw Exception(AMessage);
}

// The next rung up (AStep 1) or down (AStep -1) of a row; false for a value off the row or at
// its end.
template <class TValue, size_t N>
bool Rung(const TValue (&ARow)[N], TValue AValue, int AStep, TValue& ANext) {
  const auto at = std::find(std::begin(ARow), std::end(ARow), AValue);
  if (at == std::end(ARow)) return false;
  const auto index = static_cast<ptrdiff_t>(at - std::begin(ARow)) + AStep;
  if (index < 0 || index >= static_cast<ptrdiff_t>(N)) return false;
  ANext = ARow[index];
  return true;
}

bool StepChannels(TKZWaveFormat& AFormat, int AStep, const char* AMessage) {
  RequirePCM(AFormat, AMessage);
  uint16_t next;
  if (!Rung(kChannels, AFormat.GetChannels(), AStep, next)) return false;
  AFormat.SetChannels(next);
  return true;
}

bool StepBits(TKZWaveFormat& AFormat, int AStep, const char* AMessage) {
  RequirePCM(AFormat, AMessage);
  uint16_t next;
  if (!Rung(kBits, AFormat.GetBitsPerSample(), AStep, next)) return false;
  AFormat.SetBitsPerSample(next);
  return true;
}

bool StepRate(TKZWaveFormat& AFormat, int AStep, const char* AMessage) {
  RequirePCM(AFormat, AMessage);
  uint32_t next;
  if (!Rung(kRates, AFormat.GetSamplesPerSec(), AStep, next)) return false;
  AFormat.SetSamplesPerSec(next);
  return true;
}

// The suggestion flags of the basic fields a template fixes.
uint32_t SuggestFlags(const TKZWaveFormat& ATemplate) {
  const uint32_t valid = ATemplate.GetValid();
  uint32_t flags = 0;
  if (valid & TKZWaveFormat::fvFormatTag) flags |= ACM_FORMATSUGGESTF_WFORMATTAG;
  if (valid & TKZWaveFormat::fvChannels) flags |= ACM_FORMATSUGGESTF_NCHANNELS;
  if (valid & TKZWaveFormat::fvSamplesPerSec) flags |= ACM_FORMATSUGGESTF_NSAMPLESPERSEC;
  if (valid & TKZWaveFormat::fvBitsPerSample) flags |= ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
  return flags;
}

}  // namespace

const WAVEFORMATEX* WaveRecordOf(const TKZWaveFormat& AFormat) {
  return const_cast<TKZWaveFormat&>(AFormat).GetWaveFormatEx();
}

std::unique_ptr<TKZWaveFormatList> HKZACMFormat::FindPath(const TKZWaveFormat& ASource,
                                                          const TKZWaveFormat& ATarget) {
  ASource.CheckComplete();
  auto list = std::make_unique<TKZWaveFormatList>();
  AppendFormat(*list, ASource);
  TFormat target = Copy(ATarget);
  if (!target->HasFormatTag()) target->SetFormatTag(ASource.GetFormatTag());
  const bool complete = target->IsComplete();
  const bool targetPCM = IsPCM(*target);
  bool found;
  if (IsPCM(ASource)) {
    if (complete && targetPCM) {
      AppendFormat(*list, *target);
      found = true;
    } else if (complete) {
      found = PathPCMToFullCodec(*list, ASource, *target);
    } else {
      found = targetPCM ? PathBySuggest(*list, ASource, *target)
                        : PathPCMToCodec(*list, ASource, *target);
    }
  } else if (complete) {
    found = targetPCM ? PathCodecToFullPCM(*list, ASource, *target)
                      : PathCodecToFullCodec(*list, ASource, *target);
  } else {
    found = targetPCM ? PathCodecToPCM(*list, ASource, *target)
                      : PathCodecToCodec(*list, ASource, *target);
  }
  if (!found) return nullptr;
  list->Delete(0);
  return list;
}

std::unique_ptr<TKZWaveFormat> HKZACMFormat::SuggestFormat(const TKZWaveFormat& ASource,
                                                           const TKZWaveFormat& ATarget) {
  ASource.CheckComplete();
  TFormat format = Copy(ATarget);
  format->EnsureMaxCapacity();
  const uint32_t flags = SuggestFlags(*format);
  if (flags == 0) return nullptr;
  if (acmFormatSuggest(nullptr, WaveRecordOf(ASource), format->GetWaveFormatEx(),
                       static_cast<uint32_t>(format->GetCapacity()), flags) != MMSYSERR_NOERROR)
    return nullptr;
  format->MarkLoaded();
  return format;
}

std::unique_ptr<TKZWaveFormat> HKZACMFormat::Suggest(const TKZWaveFormat& ASource,
                                                     const TKZWaveFormat& ATarget) {
  ASource.CheckComplete();
  if (!IsPCM(ATarget) && ATarget.IsComplete()) throw Exception("_Suggest");
  return SuggestFormat(ASource, ATarget);
}

std::unique_ptr<TKZWaveFormat> HKZACMFormat::SuggestPCM(const TKZWaveFormat& ASource) {
  ASource.CheckComplete();
  if (IsPCM(ASource)) throw Exception("_SuggestPCM");
  auto pcm = TKZWaveFormat::CreateDefault();
  pcm->SetFormatTag(WAVE_FORMAT_PCM);
  return Suggest(ASource, *pcm);
}

std::unique_ptr<TKZWaveFormat> HKZACMFormat::MultiSuggestPCM(const TKZWaveFormat& ASource,
                                                             const TKZWaveFormat& ATarget) {
  ASource.CheckComplete();
  if (IsPCM(ASource) || !IsPCM(ATarget)) throw Exception("_MultiSuggestPCM");
  TFormat result = Suggest(ASource, ATarget);
  return result ? std::move(result) : SuggestPCM(ASource);
}

std::unique_ptr<TKZWaveFormat> HKZACMFormat::QueryPCM(const TKZWaveFormat& ATarget,
                                                      const TKZWaveFormat& ASource) {
  ASource.CheckComplete();
  if (!IsPCM(ASource) || IsPCM(ATarget) || ATarget.IsComplete()) throw Exception("_QueryPCM");
  // Upward from the source itself, then downward from the rung below it.
  TFormat pcm = Copy(ASource);
  TFormat result;
  do {
    result = Suggest(*pcm, ATarget);
  } while (!result && IncreasePCMFormat(*pcm));
  if (!result) {
    pcm = Copy(ASource);
    while (!result && DecreasePCMFormat(*pcm))
      result = Suggest(*pcm, ATarget);
  }
  // The answer is the PCM format the codec accepts, not the codec format.
  if (result) result->Assign(pcm.get());
  return result;
}

bool HKZACMFormat::IncreaseChannels(TKZWaveFormat& AFormat) {
  return StepChannels(AFormat, 1, "_IncreaseChannels");
}

bool HKZACMFormat::IncreaseBitsPerSample(TKZWaveFormat& AFormat) {
  return StepBits(AFormat, 1, "_IncreaseBitsPerSample");
}

bool HKZACMFormat::IncreaseFrequency(TKZWaveFormat& AFormat) {
  return StepRate(AFormat, 1, "_IncreaseFrequency");
}

bool HKZACMFormat::DecreaseChannels(TKZWaveFormat& AFormat) {
  return StepChannels(AFormat, -1, "_DecreaseChannels");
}

bool HKZACMFormat::DecreaseBitsPerSample(TKZWaveFormat& AFormat) {
  return StepBits(AFormat, -1, "_DecreaseBitsPerSample");
}

bool HKZACMFormat::DecreaseFrequency(TKZWaveFormat& AFormat) {
  return StepRate(AFormat, -1, "_DecreaseFrequency");
}

bool HKZACMFormat::IncreasePCMFormat(TKZWaveFormat& AFormat) {
  RequirePCM(AFormat, "_IncreasePCMFormat");
  return IncreaseChannels(AFormat) || IncreaseBitsPerSample(AFormat) || IncreaseFrequency(AFormat);
}

bool HKZACMFormat::DecreasePCMFormat(TKZWaveFormat& AFormat) {
  RequirePCM(AFormat, "_DecreasePCMFormat");
  return DecreaseChannels(AFormat) || DecreaseBitsPerSample(AFormat) || DecreaseFrequency(AFormat);
}

void HKZACMFormat::AppendFormat(TKZWaveFormatList& AList, const TKZWaveFormat& AFormat) {
  AFormat.CheckComplete();
  const TKZWaveFormat* last = AList.Last();
  if (!last || !last->IsEqual(AFormat)) AList.Add(AFormat);
}

bool HKZACMFormat::PathBySuggest(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                 const TKZWaveFormat& ATarget) {
  TFormat result = Suggest(ASource, ATarget);
  if (!result) return false;
  AppendFormat(AList, *result);
  return true;
}

bool HKZACMFormat::PathPCMToCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                  const TKZWaveFormat& ATarget) {
  if (PathBySuggest(AList, ASource, ATarget)) return true;
  TFormat pcm = QueryPCM(ATarget, ASource);
  if (!pcm) return false;
  AppendFormat(AList, *pcm);
  return PathBySuggest(AList, *pcm, ATarget);
}

bool HKZACMFormat::PathPCMToFullCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                      const TKZWaveFormat& ATarget) {
  TFormat pcm = MultiSuggestPCM(ATarget, ASource);
  if (!pcm) return false;
  AppendFormat(AList, *pcm);
  AppendFormat(AList, ATarget);
  return true;
}

bool HKZACMFormat::PathCodecToPCM(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                  const TKZWaveFormat& ATarget) {
  TFormat pcm = MultiSuggestPCM(ASource, ATarget);
  if (!pcm) return false;
  AppendFormat(AList, *pcm);
  return PathBySuggest(AList, *pcm, ATarget);
}

bool HKZACMFormat::PathCodecToFullPCM(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                      const TKZWaveFormat& ATarget) {
  TFormat pcm = MultiSuggestPCM(ASource, ATarget);
  if (!pcm) return false;
  AppendFormat(AList, *pcm);
  AppendFormat(AList, ATarget);
  return true;
}

bool HKZACMFormat::PathCodecToCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                    const TKZWaveFormat& ATarget) {
  if (PathBySuggest(AList, ASource, ATarget)) return true;
  TFormat pcm = SuggestPCM(ASource);
  if (!pcm) return false;
  AppendFormat(AList, *pcm);
  return PathPCMToCodec(AList, *pcm, ATarget);
}

bool HKZACMFormat::PathCodecToFullCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                        const TKZWaveFormat& ATarget) {
  TFormat pcm = SuggestPCM(ATarget);
  if (!pcm || !PathCodecToFullPCM(AList, ASource, *pcm)) return false;
  AppendFormat(AList, ATarget);
  return true;
}

// ---- Codec format choice

namespace {

// The listing flag of each TKZACMFormatChooseOption, by ordinal.
constexpr uint32_t kChooseOptionFlags[] = {
    ACM_FORMATENUMF_CONVERT, ACM_FORMATENUMF_SUGGEST, ACM_FORMATENUMF_HARDWARE,
    ACM_FORMATENUMF_INPUT,   ACM_FORMATENUMF_OUTPUT,
};

// The restriction flag of each basic field of a wave format.
constexpr std::pair<uint32_t, uint32_t> kRestrictionFlags[] = {
    {TKZWaveFormat::fvFormatTag, ACM_FORMATENUMF_WFORMATTAG},
    {TKZWaveFormat::fvChannels, ACM_FORMATENUMF_NCHANNELS},
    {TKZWaveFormat::fvSamplesPerSec, ACM_FORMATENUMF_NSAMPLESPERSEC},
    {TKZWaveFormat::fvBitsPerSample, ACM_FORMATENUMF_WBITSPERSAMPLE},
};

// A name field of the dialog: up to its first zero, at most its size.
std::string FieldText(const char* AField, size_t ASize) {
  return std::string(AField, strnlen(AField, ASize));
}

}  // namespace

TKZACMFormatChoose::TKZACMFormatChoose()
    : FFormat(TKZWaveFormat::CreateDefault()), FRestriction(TKZWaveFormat::CreateDefault()) {}

TKZACMFormatChoose::~TKZACMFormatChoose() {
  FRestriction.reset();
  FFormat.reset();
}

void TKZACMFormatChoose::SetNames(const std::string& ATagName, const std::string& AFormatName) {
  FFormatTagName = ATagName;
  FFormatName = AFormatName;
}

std::unique_ptr<TKZWaveFormat> TKZACMFormatChoose::Execute() {
  ACMFORMATCHOOSEA choose;
  std::memset(&choose, 0, sizeof choose);
  choose.cbStruct = ACMFORMATCHOOSEA_MIN_CBSTRUCT;
  std::unique_ptr<TKZWaveFormat> format;
  if (FFormat->IsSpecified()) {
    format = TKZWaveFormat::CreateDefault();
    format->Assign(FFormat.get());
    format->EnsureMaxCapacity();
    format->CheckComplete();
    choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
  } else {
    format = TKZWaveFormat::CreateMax();
  }
  choose.hwndOwner = FOwner;
  choose.pwfx = format->GetWaveFormatEx();
  choose.cbwfx = static_cast<uint32_t>(format->GetCapacity());
  choose.pszTitle = FTitle.empty() ? nullptr : FTitle.c_str();
  for (size_t i = 0; i < std::size(kChooseOptionFlags); ++i)
    if (FOptions.Contains(static_cast<TKZACMFormatChooseOption>(i)))
      choose.fdwEnum |= kChooseOptionFlags[i];
  if (FOptions.Contains(TKZACMFormatChooseOption::foConvert) ||
      FOptions.Contains(TKZACMFormatChooseOption::foSuggest)) {
    if (!FRestriction->IsSpecified()) throw Exception();
    FRestriction->CheckComplete();
    choose.pwfxEnum = FRestriction->GetWaveFormatEx();
  } else if (FRestriction->IsSpecified()) {
    for (const auto& [field, flag] : kRestrictionFlags)
      if (FRestriction->GetValid() & field) choose.fdwEnum |= flag;
    choose.pwfxEnum = FRestriction->GetWaveFormatEx();
  }
  if (acmFormatChooseA(&choose) != MMSYSERR_NOERROR) return nullptr;
  SetNames(FieldText(choose.szFormatTag, sizeof choose.szFormatTag),
           FieldText(choose.szFormat, sizeof choose.szFormat));
  format->MarkLoaded();
  return format;
}
