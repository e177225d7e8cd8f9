// The factories with their threaded option on: a threaded stream at the open end of every
// chain, its FIFO sized in milliseconds of the open end's format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/factory/FactoryTestSupport.h"
#include "tests/support/Peers.h"
#include "thread/UKZThreadStream.h"

namespace {

// A stack that notes the FIFO sizes of the threaded streams it makes.
template <class TStack>
struct TNotingStack : TStack {
  using TStack::TStack;
  std::unique_ptr<TKZStream> CreateThreadStream(TKZStream& AStream, int32_t ASize) override {
    auto stream = TStack::CreateThreadStream(AStream, ASize);
    if (dynamic_cast<TKZThreadStream*>(stream.get())) Sizes.push_back(ASize);
    return stream;
  }
  std::vector<int32_t> Sizes;
};

TEST(ThreadedFactories, ChainsEndWithAThreadedStreamAndWriteTheSameFile) {
  TTempDir dir;
  const std::string source = dir.File("source.wav"), coded = dir.File("coded.wav"),
                    plain = dir.File("plain.wav");
  auto pcm = MakeLinear(1, 2, 44100, 16);
  WriteWaveFile(source, *pcm, ToneBytes(*pcm, 100000), 100000);
  auto factory = TKZWaveStreamFactory::Create();
  factory->SetThreaded(true);
  TNotingStack<TKZReadStreamFactory> reading(source), missing(dir.File("missing.wav"));
  auto reader = factory->BuildReadChain(reading);
  EXPECT_TRUE(dynamic_cast<TKZCombinedStream*>(reader.get()));
  EXPECT_EQ(reading.Sizes, std::vector<int32_t>{529200});  // 3,000 ms of 176,400 bytes
  EXPECT_FALSE(factory->BuildReadChain(missing) || !missing.Sizes.empty());
  factory->GetFormat().SetFormatTag(WAVE_FORMAT_IMA_ADPCM);
  factory->SetThreadBufferTime(1000);
  TNotingStack<TKZWriteStreamFactory> writing(coded);
  auto writer = factory->BuildWriteChain(writing, *reader->GetFormat());
  EXPECT_EQ(writing.Sizes, std::vector<int32_t>{176400});  // the open end takes the source's
  ASSERT_TRUE(writer && TKZStream::Copy(*reader, *writer));
  writer->Close();
  ASSERT_TRUE(CompressFile(source, plain, WAVE_FORMAT_IMA_ADPCM));
  EXPECT_TRUE(ReadFileBytes(coded) == ReadFileBytes(plain));
  factory->Reset();
  EXPECT_FALSE(factory->GetThreaded() || factory->GetThreadBufferTime() != 3000);
}

}  // namespace
