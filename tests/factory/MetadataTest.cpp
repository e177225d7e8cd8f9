// Tags carried from a source to its destination, in every codec, as ffprobe reads them.
#include <gtest/gtest.h>

#include <string>

#include "platform/acm/Acm.h"
#include "tests/factory/FactoryTestSupport.h"
#include "tests/support/Peers.h"

namespace {

TEST(Metadata, TagsReachEveryCodecAndTheTimeReferenceItsRate) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("ffprobe");
  TTempDir dir;
  const std::string source = dir.File("in.wav"), dest = dir.File("out.wav");
  RunPeer(
      "ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.5 "
      "-write_bext 1 -metadata title=Hello -metadata artist=Someone -metadata "
      "time_reference=96000 -metadata coding_history=A=PCM,F=48000,W=16,M=mono "
      "-c:a pcm_s16le -y " +
      ShellQuote(source));
  for (uint16_t tag :
       {WAVE_FORMAT_PCM, WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW,
        WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_GSM610, WAVE_FORMAT_MPEGLAYER3}) {
    SCOPED_TRACE(tag);
    ASSERT_TRUE(CompressFile(source, dest, tag));
    auto out = TKZMMIOWaveStream::OpenReadFile(dest);
    ASSERT_TRUE(out);
    const uint32_t rate = WaveOf(*out).GetSamplesPerSec();
    out.reset();
    auto tagOf = [&](const std::string& AName) {
      return RunPeer("ffprobe -v error -show_entries format_tags=" + AName +
                     " -of default=nw=1:nk=1 " + ShellQuote(dest) + " | tr -d '\\r'");
    };
    EXPECT_EQ(tagOf("title") + tagOf("artist") + tagOf("time_reference"),
              "Hello\nSomeone\n" + std::to_string(96000ull * rate / 48000) + "\n");
    // The source's history, and one line more.
    const std::string history = tagOf("coding_history");
    EXPECT_EQ(history.rfind("A=PCM,F=48000,W=16,M=mono\nA=", 0), 0u) << history;
    EXPECT_NE(history.find(",F=" + std::to_string(rate) + ","), std::string::npos) << history;
    EXPECT_NE(history.find("T=Corvane\n"), std::string::npos) << history;
  }
  // Without tags the file is as before: no LIST or bext chunk.
  auto factory = TKZWaveStreamFactory::Create();
  auto reader = factory->CreateReadStream(source);
  ASSERT_TRUE(reader);
  TKZWaveStreamFormat bare;
  bare.Assign(reader->GetFormat());
  EXPECT_EQ(bare.Metadata().size(), 2u);  // bext and LIST/INFO
  bare.Metadata().clear();
  factory->GetFormat().SetFormatTag(WAVE_FORMAT_ALAW);
  auto writer = factory->CreateWriteStream(dest, bare);
  ASSERT_TRUE(writer && TKZStream::Copy(*reader, *writer));
  writer->Close();
  const Bytes bytes = ReadFileBytes(dest);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find("LIST"), std::string::npos);
  EXPECT_EQ(text.find("bext"), std::string::npos);
}

}  // namespace
