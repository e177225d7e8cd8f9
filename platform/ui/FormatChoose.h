#pragma once

// What the codec-choice dialog shows and does, apart from its widgets: the format tags that a
// request lists, the formats of each tag, the initial selection and the stored choice.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/acm/AcmDriver.h"

namespace ui {

class TFormatChooseModel {
 public:
  // Lists what the request's enumeration flags and restriction allow.
  explicit TFormatChooseModel(const ACMFORMATCHOOSEA& ARequest);

  // The request's title, or the dialog's own.
  std::string Title() const;
  int32_t TagCount() const { return static_cast<int32_t>(FTags.size()); }
  const std::string& TagName(int32_t ATag) const { return FTags[ATag].Name; }
  // The formats of a tag: indexes of Choices.
  const std::vector<int32_t>& FormatsOf(int32_t ATag) const { return FTags[ATag].Formats; }
  const std::vector<acm::FormatChoice>& Choices() const { return FChoices; }
  // The tag of a choice.
  int32_t TagOf(int32_t AChoice) const;
  // With ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT: the listed format equal to the request's
  // record, else the first listed format of its tag; otherwise the first format listed.
  // -1 when nothing is listed.
  int32_t InitialChoice() const;
  // Stores the choice into the request; 0 or the manager's error.
  MMRESULT Store(ACMFORMATCHOOSEA& ARequest, int32_t AChoice) const;

 private:
  struct TTag {
    std::string Name;
    uint16_t Tag;
    std::vector<int32_t> Formats;
  };

  const ACMFORMATCHOOSEA* FRequest;
  std::vector<acm::FormatChoice> FChoices;
  std::vector<TTag> FTags;
};

}  // namespace ui
