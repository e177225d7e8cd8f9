// The codec-choice dialog as the class library asks for it, against a scripted dialog.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "codec/UKZACMFormat.h"
#include "platform/acm/AcmDriver.h"
#include "platform/rtl/Exception.h"
#include "wave/UKZACM.h"

namespace {

// Installs a dialog that records each request and answers with AAnswer.
class TScriptedChoice {
 public:
  explicit TScriptedChoice(std::function<MMRESULT(ACMFORMATCHOOSEA&)> AAnswer) {
    FPrevious = acm::SetFormatChooseDialog([this, AAnswer](ACMFORMATCHOOSEA& ARequest) {
      Requests.push_back(ARequest);
      if (ARequest.pwfxEnum) Restriction = *ARequest.pwfxEnum;
      Initial = *ARequest.pwfx;
      Title = ARequest.pszTitle ? ARequest.pszTitle : "(none)";
      return AAnswer(ARequest);
    });
  }
  ~TScriptedChoice() { acm::SetFormatChooseDialog(std::move(FPrevious)); }

  std::vector<ACMFORMATCHOOSEA> Requests;
  WAVEFORMATEX Restriction{};
  WAVEFORMATEX Initial{};
  std::string Title;

 private:
  acm::FormatChooseDialog FPrevious;
};

MMRESULT ChooseFirstOf(ACMFORMATCHOOSEA& ARequest, uint16_t ATag) {
  for (const acm::FormatChoice& choice : acm::ListFormatChoices(ARequest))
    if (choice.format.Get().wFormatTag == ATag) return acm::StoreFormatChoice(ARequest, choice);
  return ACMERR_NOTPOSSIBLE;
}

TEST(ACMFormatChoose, DefaultsRestrictionsOptionsAndTheInitialFormat) {
  uint16_t tag = WAVE_FORMAT_ADPCM;
  uint32_t answer = MMSYSERR_NOERROR;
  TScriptedChoice dialog(
      [&](ACMFORMATCHOOSEA& ARequest) { return answer ? answer : ChooseFirstOf(ARequest, tag); });
  // A default chooser lists everything and answers a complete format.
  auto chooser = TKZACMFormatChoose::Create();
  auto format = chooser->Execute();
  ASSERT_TRUE(format);
  EXPECT_EQ(dialog.Title, "(none)");  // the dialog's own title
  EXPECT_EQ(dialog.Requests.at(0).cbwfx, static_cast<uint32_t>(HKZACM::MaxFormatSize()));
  EXPECT_TRUE(format->GetFormatTag() == WAVE_FORMAT_ADPCM && format->IsComplete());
  EXPECT_EQ(chooser->FFormatTagName, "MS ADPCM");
  EXPECT_FALSE(chooser->FFormatName.empty());

  tag = WAVE_FORMAT_IMA_ADPCM;
  chooser->FTitle = "Choose a compression format:";
  chooser->FRestriction->SetFormatTag(WAVE_FORMAT_IMA_ADPCM);
  ASSERT_TRUE(chooser->Execute());
  EXPECT_EQ(dialog.Requests.back().fdwEnum, ACM_FORMATENUMF_WFORMATTAG);
  EXPECT_EQ(dialog.Restriction.wFormatTag, WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(dialog.Title, "Choose a compression format:");

  // Converting from a format needs all of it.
  chooser->FOptions = {TKZACMFormatChooseOption::foConvert};
  EXPECT_THROW(chooser->Execute(), Exception);
  chooser->FRestriction = TKZWaveFormat::CreateDefault();
  EXPECT_THROW(chooser->Execute(), Exception);
  chooser->FRestriction->SetFormatTag(WAVE_FORMAT_PCM);
  chooser->FRestriction->SetChannels(1);
  chooser->FRestriction->SetSamplesPerSec(8000);
  chooser->FRestriction->SetBitsPerSample(16);
  auto converted = chooser->Execute();
  ASSERT_TRUE(converted);
  EXPECT_EQ(dialog.Requests.back().fdwEnum, ACM_FORMATENUMF_CONVERT);
  EXPECT_EQ(dialog.Restriction.nBlockAlign, 2);  // a complete record
  EXPECT_EQ(converted->GetSamplesPerSec(), 8000u);

  // The dialog opens on a complete initial format; a partial one is refused.
  chooser->FOptions = {};
  chooser->FRestriction = TKZWaveFormat::CreateDefault();
  chooser->FFormat->Assign(converted.get());
  chooser->Execute();
  EXPECT_EQ(dialog.Requests.back().fdwStyle, ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT);
  EXPECT_EQ(std::memcmp(&dialog.Initial, converted->GetWaveFormatEx(), 18), 0);
  chooser->FFormat = TKZWaveFormat::CreateDefault();
  chooser->FFormat->SetFormatTag(WAVE_FORMAT_IMA_ADPCM);
  const size_t asked = dialog.Requests.size();
  EXPECT_THROW(chooser->Execute(), Exception);
  EXPECT_EQ(dialog.Requests.size(), asked);

  // Cancelling answers none and keeps the names of the last choice.
  chooser->FFormat = TKZWaveFormat::CreateDefault();
  const std::string tag_name = chooser->FFormatTagName, format_name = chooser->FFormatName;
  answer = ACMERR_CANCELED;
  EXPECT_EQ(chooser->Execute(), nullptr);
  EXPECT_EQ(chooser->FFormatTagName, tag_name);
  EXPECT_EQ(chooser->FFormatName, format_name);
}

}  // namespace
