// A fixed bit rate through the job and the batch command: MP3's formats differ by it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "app/BatchCommand.h"
#include "app/CompressionJob.h"
#include "tests/support/Peers.h"
#include "tests/support/Raises.h"
#include "tests/support/WaveFiles.h"

namespace {

// The byte rate of a wave file's fmt chunk.
uint32_t ByteRate(const std::string& AFile) {
  std::ifstream file(AFile, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), {});
  const size_t fmt = bytes.find("fmt ");
  if (fmt == std::string::npos || fmt + 20 > bytes.size()) return 0;
  uint32_t rate = 0;
  for (int i = 3; i >= 0; --i)
    rate = rate << 8 | static_cast<uint8_t>(bytes[fmt + 16 + i]);
  return rate;
}

TEST(Bitrate, TheJobAndTheCommandFixMp3sBitRate) {
  TTempDir dir;
  const auto stereo = MakeLinear(WAVE_FORMAT_PCM, 2, 44100, 16);
  const auto mono = MakeLinear(WAVE_FORMAT_PCM, 1, 22050, 16);
  WriteWaveFile(dir.File("stereo.wav"), *stereo, ToneBytes(*stereo, 44100));
  WriteWaveFile(dir.File("mono.wav"), *mono, ToneBytes(*mono, 22050));
  TCompressOptions options;
  options.Bitrate = 64;
  CompressFile(dir.File("stereo.wav"), dir.File("64.wav"), WAVE_FORMAT_MPEGLAYER3, options);
  EXPECT_EQ(ByteRate(dir.File("64.wav")), 8000u);
  options.Bitrate = 320;  // MPEG-2 at 22,050 Hz goes up to 160 kbit/s
  const std::string refusal = RaisedMessage([&] {
    CompressFile(dir.File("mono.wav"), dir.File("320.wav"), WAVE_FORMAT_MPEGLAYER3, options);
  });
  EXPECT_NE(refusal.find(dir.File("mono.wav")), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("MPEG Layer-3, 320 kbit/s"), std::string::npos) << refusal;

  const std::vector<std::string> command{"-o", dir.Path().string(), "-c", "mp3", "in.wav"};
  auto with = [&](const std::string& AKbps) {
    std::vector<std::string> arguments = command;
    arguments.insert(arguments.end(), {"--bitrate", AKbps});
    return ParseBatchArguments(arguments);
  };
  EXPECT_EQ(with("128").Bitrate, 128u);
  EXPECT_EQ(RaisedMessage([&] { with("7"); }), "mp3 offers no format of 7 kbit/s.");
}

}  // namespace
