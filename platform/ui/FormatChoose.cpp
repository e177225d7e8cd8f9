#include "platform/ui/FormatChoose.h"

#include <cstring>

namespace ui {

TFormatChooseModel::TFormatChooseModel(const ACMFORMATCHOOSEA& ARequest)
    : FRequest(&ARequest), FChoices(acm::ListFormatChoices(ARequest)) {
  for (int32_t i = 0; i < static_cast<int32_t>(FChoices.size()); ++i) {
    const uint16_t tag = FChoices[i].format.Get().wFormatTag;
    if (FTags.empty() || FTags.back().Tag != tag) FTags.push_back({FChoices[i].tag_name, tag, {}});
    FTags.back().Formats.push_back(i);
  }
}

std::string TFormatChooseModel::Title() const {
  return FRequest->pszTitle && *FRequest->pszTitle ? FRequest->pszTitle : "Sound Format";
}

int32_t TFormatChooseModel::TagOf(int32_t AChoice) const {
  for (int32_t t = 0; t < TagCount(); ++t)
    for (int32_t i : FTags[t].Formats)
      if (i == AChoice) return t;
  return -1;
}

int32_t TFormatChooseModel::InitialChoice() const {
  if (FChoices.empty()) return -1;
  const WAVEFORMATEX* start = FRequest->pwfx;
  if (!(FRequest->fdwStyle & ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT) || !start) return 0;
  const uint32_t size = acm::RecordSize(*start);
  if (size > FRequest->cbwfx) return 0;
  int32_t same_tag = -1;
  for (int32_t i = 0; i < static_cast<int32_t>(FChoices.size()); ++i) {
    const acm::FormatRecord& format = FChoices[i].format;
    if (format.Size() == size && std::memcmp(format.Bytes(), start, size) == 0) return i;
    if (same_tag < 0 && format.Get().wFormatTag == start->wFormatTag) same_tag = i;
  }
  return same_tag >= 0 ? same_tag : 0;
}

MMRESULT TFormatChooseModel::Store(ACMFORMATCHOOSEA& ARequest, int32_t AChoice) const {
  if (AChoice < 0 || AChoice >= static_cast<int32_t>(FChoices.size())) return MMSYSERR_INVALPARAM;
  return acm::StoreFormatChoice(ARequest, FChoices[AChoice]);
}

}  // namespace ui
