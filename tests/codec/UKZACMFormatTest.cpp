#include "codec/UKZACMFormat.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/FakeCodec.h"
#include "tests/support/Raises.h"
#include "tests/support/WaveFiles.h"

namespace {

using H = HKZACMFormat;
using TLayout = std::tuple<int, int, int, int>;  // tag, rate, bits, channels
using TLayouts = std::vector<TLayout>;
constexpr int F = kFakeTag;

std::unique_ptr<TKZWaveFormat> Pcm(uint32_t ARate, uint16_t ABits, uint16_t AChannels) {
  return MakeLinear(WAVE_FORMAT_PCM, AChannels, ARate, ABits);
}

TLayouts Steps(const std::unique_ptr<TKZWaveFormatList>& APath) {
  TLayouts steps;
  for (int32_t i = 0; APath && i < APath->Count(); ++i) {
    const TKZWaveFormat& f = *APath->Items(i);
    steps.emplace_back(f.GetFormatTag(), f.GetSamplesPerSec(), f.GetBitsPerSample(),
                       f.GetChannels());
  }
  return steps;
}

TEST(HKZACMFormat, TheDecisionTreeAndTheLadder) {
  TFakeCodecScope fake;
  using TAccepts = std::function<bool(const WAVEFORMATEX&)>;
  const TAccepts stereo = [](auto& f) { return f.nChannels == 2; };
  const TAccepts single = [](auto& f) { return f.nChannels == 1; };
  const TAccepts wide = [](auto& f) { return f.wBitsPerSample == 16; };
  const TAccepts slow = [](auto& f) { return f.nSamplesPerSec == 8000; };
  const TAccepts any = [](auto&) { return true; }, none = [](auto&) { return false; };
  const std::tuple<TAccepts, TLayout, TLayouts> cases[] = {
      {any, {1, 22050, 8, 1}, {{F, 22050, 8, 1}}},
      {stereo, {1, 22050, 16, 1}, {{1, 22050, 16, 2}, {F, 22050, 16, 2}}},
      // A channel first, then wider samples; the rate last, and only on the ladder.
      {wide, {1, 11025, 8, 1}, {{1, 11025, 16, 2}, {F, 11025, 16, 2}}},
      {wide, {1, 16000, 8, 1}, {{1, 16000, 16, 2}, {F, 16000, 16, 2}}},
      {slow, {1, 22050, 8, 1}, {{1, 8000, 8, 1}, {F, 8000, 8, 1}}},
      {single, {1, 22050, 16, 2}, {{1, 22050, 16, 1}, {F, 22050, 16, 1}}},
      {slow, {1, 16000, 16, 2}, {}},
      {none, {1, 22050, 8, 1}, {}}};
  for (const auto& [accepts, source, path] : cases) {
    fake->Accepts = accepts;
    fake->Asked.clear();
    const auto& [tag, rate, bits, channels] = source;
    auto found = H::FindPath(*Pcm(rate, bits, channels), *Tagged(F));
    EXPECT_TRUE(Steps(found) == path && !found == path.empty()) << rate << "/" << bits;
  }
  // The ladder from 22,050 Hz, 8 bits, mono, after the source itself was refused.
  TLayouts asked;
  for (const WAVEFORMATEX& f : fake->Asked)
    asked.emplace_back(1, +f.nSamplesPerSec, +f.wBitsPerSample, +f.nChannels);
  EXPECT_EQ(asked, (TLayouts{{1, 22050, 8, 1},
                             {1, 22050, 8, 1},
                             {1, 22050, 8, 2},
                             {1, 22050, 16, 2},
                             {1, 44100, 16, 2},
                             {1, 11025, 8, 1},
                             {1, 8000, 8, 1}}));

  // PCM targets: the same format needs nothing; a complete one is the path; a template fixes
  // its fields; one without any takes the source's tag. Then codec targets and sources.
  fake->Accepts = any;
  auto pcm = Pcm(22050, 16, 2), mono = Pcm(22050, 8, 1), empty = TKZWaveFormat::CreateDefault();
  auto codec = H::SuggestFormat(*pcm, *Tagged(F)), other = H::SuggestFormat(*mono, *Tagged(F));
  auto slower = Tagged(1, 11025), anyPcm = Tagged(1), alaw = Tagged(6);
  const std::tuple<TKZWaveFormat*, TKZWaveFormat*, TLayouts> tree[] = {
      {pcm.get(), pcm.get(), {}},
      {pcm.get(), mono.get(), {{1, 22050, 8, 1}}},
      {pcm.get(), slower.get(), {{1, 11025, 16, 2}}},
      {pcm.get(), empty.get(), {}},
      {mono.get(), codec.get(), {{1, 22050, 16, 2}, {F, 22050, 16, 2}}},
      {other.get(), codec.get(), {{1, 22050, 8, 1}, {1, 22050, 16, 2}, {F, 22050, 16, 2}}},
      {codec.get(), anyPcm.get(), {{1, 22050, 16, 2}}},
      {codec.get(), mono.get(), {{1, 22050, 16, 2}, {1, 22050, 8, 1}}},
      {codec.get(), alaw.get(), {{1, 22050, 16, 2}, {6, 22050, 8, 2}}}};
  for (const auto& [source, target, path] : tree) {
    auto found = H::FindPath(*source, *target);
    EXPECT_TRUE(found && Steps(found) == path) << Steps(found).size();
  }
}

TEST(HKZACMFormat, GuardsNameTheirStep) {
  auto pcm = Pcm(22050, 16, 2), top = Pcm(44100, 16, 2), bottom = Pcm(8000, 8, 1);
  auto alaw = H::SuggestFormat(*pcm, *Tagged(WAVE_FORMAT_ALAW));
  const std::pair<std::function<void()>, std::string> calls[] = {
      {[&] { H::Suggest(*pcm, *alaw); }, "_Suggest"},
      {[&] { H::SuggestPCM(*pcm); }, "_SuggestPCM"},
      {[&] { H::MultiSuggestPCM(*alaw, *alaw); }, "_MultiSuggestPCM"},
      {[&] { H::QueryPCM(*alaw, *pcm); }, "_QueryPCM"},
      {[&] { H::QueryPCM(*Tagged(6), *alaw); }, "_QueryPCM"},
      {[&] { H::IncreaseChannels(*alaw); }, "_IncreaseChannels"},
      {[&] { H::DecreaseFrequency(*alaw); }, "_DecreaseFrequency"},
      {[&] { H::IncreasePCMFormat(*alaw); }, "_IncreasePCMFormat"},
      {[&] { H::DecreasePCMFormat(*alaw); }, "_DecreasePCMFormat"},
      {[&] { H::FindPath(*Tagged(1), *alaw); }, ""}};  // an incomplete source
  for (const auto& [call, message] : calls)
    EXPECT_EQ(RaisedMessage(call), message);
  EXPECT_FALSE(H::IncreasePCMFormat(*top) || H::DecreasePCMFormat(*bottom));
  EXPECT_FALSE(H::SuggestFormat(*pcm, *TKZWaveFormat::CreateDefault()));
}

}  // namespace
