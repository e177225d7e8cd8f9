#include "wave/UKZWaveStream.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"

namespace {

Bytes Written(const TKZFormat& AFormat, const Bytes& AAudio) {
  TMemoryStream memory;
  auto wave = TKZMMIOWaveStream::OpenWriteStream(memory, AFormat);
  EXPECT_EQ(wave->Write(AreaOf(AAudio.data(), static_cast<int32_t>(AAudio.size()))),
            static_cast<int32_t>(AAudio.size()));
  wave->Close();
  return memory.Data;
}

TEST(TKZMMIOWaveStream, WritesTheFileLayout) {
  auto pcm = MakeLinear(1, 2, 44100, 16);
  const Bytes record = Record(1, 2, 44100, 16, 18);
  // 46 bytes empty; 50 with three audio bytes and their pad byte.
  EXPECT_EQ(Written(*pcm, {}), Riff("WAVE", {Chunk("fmt ", record), Chunk("data", {})}));
  EXPECT_EQ(Written(*pcm, {1, 2, 3}),
            Riff("WAVE", {Chunk("fmt ", record), Chunk("data", {1, 2, 3})}));

  auto counted = TKZWaveStreamFormat::CreateFromFormat(pcm.get());
  counted->Fact().SetSampleCount(1000);
  const Bytes facts = Written(*counted, {9});
  EXPECT_EQ(std::string(facts.begin() + 38, facts.begin() + 46), std::string("fact\4\0\0\0", 8));
  EXPECT_EQ(facts[58], 9);

  Bytes odd = Record(0x11, 1, 8000, 4, 19);
  odd[16] = 1;  // cbSize: one extra byte
  // The odd format chunk is padded: the next chunk starts even. A codec's file has a fact chunk
  // whatever its count (here none was converted into it).
  EXPECT_EQ(Written(*FormatOfRecord(odd.data(), 19), {}),
            Riff("WAVE", {Chunk("fmt ", odd), Chunk("fact", {0, 0, 0, 0}), Chunk("data", {})}));

  TMemoryStream untouched;
  EXPECT_THROW(TKZMMIOWaveStream::OpenWriteStream(untouched, TKZWaveFormat()), Exception);
  EXPECT_TRUE(untouched.Data.empty());
}

// Takes bytes up to a limit in the file, like a full disk, but lets what is there change.
class TFullStream : public TMemoryStream {
 public:
  int32_t Write(const TKZArea& AArea) override {
    return Position + AArea.Size > 100 ? -1 : TMemoryStream::Write(AArea);
  }
};

TEST(TKZMMIOWaveStream, WritersFinishTheirFilesOrSayTheyCannot) {
  auto pcm = MakeLinear(1, 1, 8000, 8);
  TFullStream full;
  auto wave = TKZMMIOWaveStream::OpenWriteStream(full, *pcm);
  const Bytes audio = PseudoRandomBytes(40, 2);
  EXPECT_EQ(wave->Write(AreaOf(audio.data(), 40)), 40);
  EXPECT_THROW(wave->Write(AreaOf(audio.data(), 40)), Exception);
  wave->Close();
  EXPECT_EQ(full.Data, Riff("WAVE", {Chunk("fmt ", Record(1, 1, 8000, 8, 18)),
                                     Chunk("data", Bytes(audio.begin(), audio.end()))}));
  wave->Close();
  EXPECT_EQ(wave->Read(AreaOf(full.Data.data(), 1)), -1);

  TMemoryStream stuck;
  wave = TKZMMIOWaveStream::OpenWriteStream(stuck, *pcm);
  wave->Write(AreaOf(audio.data(), 3));
  stuck.FailSeeks = true;
  EXPECT_THROW(wave->Close(), Exception);  // the sizes are not in the file

  TTempDir dir;
  const std::string name = dir.File("out.wav");
  std::ofstream(name) << std::string(1000, 'x');
  TKZMMIOWaveStream::OpenWriteFile(name, *pcm, 1000)->Close();
  EXPECT_EQ(std::filesystem::file_size(name), 46u);  // truncated
  // Not told how much it gets, a writer keeps the room of ds64 in a JUNK chunk.
  TKZMMIOWaveStream::OpenWriteFile(name, *pcm)->Close();
  EXPECT_EQ(std::filesystem::file_size(name), 46u + 36);
  EXPECT_EQ(TKZMMIOWaveStream::OpenReadFile(dir.File("missing.wav")), nullptr);
}

TEST(TKZMMIOWaveStream, ReadsTheChunksItNeeds) {
  const Bytes fmt = Record(1, 2, 44100, 16, 16);
  for (size_t size : {176400u, 176401u}) {
    TMemoryStream memory(Riff("WAVE", {Chunk("fmt ", fmt), Chunk("data", Bytes(size, 7))}));
    auto wave = TKZMMIOWaveStream::OpenReadStream(memory);
    ASSERT_TRUE(wave);
    const TKZWaveStreamFormat& format = StreamFormatOf(*wave);
    EXPECT_EQ(format.Fact().GetSampleCount(), 44100);
    TKZWaveFormat plain;
    plain.Assign(&format);
    EXPECT_TRUE(plain.IsEqual(*MakeLinear(1, 2, 44100, 16)));
  }
  const Bytes data = Chunk("data", {1, 2, 3, 4});
  const Bytes list = Chunk("LIST", {'I', 'N', 'F', 'O'}), fact = Chunk("fact", {0xE8, 3, 0, 0});
  auto count = [](const Bytes& AFile) -> int32_t {
    TMemoryStream memory(AFile);
    auto wave = TKZMMIOWaveStream::OpenReadStream(memory);
    return wave ? StreamFormatOf(*wave).Fact().GetSampleCount() : -1;
  };
  const Bytes alaw = Chunk("fmt ", Record(6, 1, 8000, 8, 18));
  EXPECT_EQ(count(Riff("WAVE", {list, alaw, list, fact, list, data})), 1000);
  // A linear file counts what its data holds, whatever its fact chunk says.
  EXPECT_EQ(count(Riff("WAVE", {Chunk("fmt ", fmt), fact, data})), 1);
  EXPECT_EQ(count(Riff("WAVE", {Chunk("fmt ", fmt), Chunk("fact", {9, 9}), data})), 1);
  EXPECT_EQ(count(Riff("WAVE", {Chunk("fmt ", Record(1, 0, 8000, 16, 16)), data})), 0);
  EXPECT_EQ(count(Riff("WAVE", {Chunk("fmt ", Record(1, 1, 8000, 0, 16)), data})), 0);
  EXPECT_EQ(count(Riff("WAVE", {Chunk("fmt ", Record(1, 1, 8000, 12, 16)), data})), 2);
  EXPECT_EQ(count(Riff("WAVE", {Chunk("fmt ", Record(3, 1, 8000, 32, 18)), data})), 1);

  // Refused: the chunks out of order, a chunk beyond the file, a record no reader may trust
  // (which records those are: the format's suite), and an empty file (the fuzz target's first
  // find). Files that are no wave files at all: the job's failure table.
  Bytes huge = Chunk("fmt ", fmt);
  huge[4] = 40;  // claims more than the file holds
  for (const Bytes& bad :
       {Riff("WAVE", {data, Chunk("fmt ", fmt)}), Riff("WAVE", {Chunk("fmt ", fmt), data, fact}),
        Riff("WAVE", {huge}), Riff("WAVE", {Chunk("fmt ", Bytes(8, 1)), data}), Bytes{}})
    EXPECT_EQ(count(bad), -1);
}

TEST(TKZMMIOWaveStream, DeliversTheDataChunkAndNothingElse) {
  const Bytes audio = PseudoRandomBytes(1001, 4);
  const Bytes fmt = Record(1, 1, 8000, 8, 16);
  auto read = [](Bytes AFile, size_t AEnd) {
    TMemoryStream memory(std::move(AFile));
    memory.Data.resize(AEnd ? AEnd : memory.Data.size());
    auto wave = TKZMMIOWaveStream::OpenReadStream(memory);
    TMemoryStream sink;
    EXPECT_TRUE(wave && TKZStream::Copy(*wave, sink));
    return std::make_pair(sink.Data, wave ? StreamFormatOf(*wave).Fact().GetSampleCount() : -1);
  };
  EXPECT_EQ(read(Riff("WAVE", {Chunk("fmt ", fmt), Chunk("data", audio), Chunk("LIST", fmt)}), 0),
            std::make_pair(audio, 1001));
  // Written to a pipe: the sizes were never fixed, and the file ends early.
  Bytes streamed = Riff("WAVE", {Chunk("fmt ", fmt), Chunk("data", audio)});
  for (size_t at : {4u, 40u})
    for (size_t i = 0; i < 4; ++i)
      streamed[at + i] = 0xFF;
  EXPECT_EQ(read(streamed, 44 + 500),
            std::make_pair(Bytes(audio.begin(), audio.begin() + 500), 500));
}

TEST(TKZWaveStreamFormat, AssignsPartsAndRefusesIncompleteFormats) {
  auto pcm = MakeLinear(1, 1, 8000, 16);
  TKZWaveFact fact;
  fact.SetSampleCount(5);
  auto copy = CloneOf(*TKZWaveStreamFormat::CreateFromFormatAndFact(pcm.get(), &fact));
  EXPECT_TRUE(copy->Fact().GetSampleCount() == 5 && copy->WaveFormat().IsEqual(*pcm));
  copy->Assign(pcm.get());
  EXPECT_EQ(copy->Fact().GetSampleCount(), 0);
  pcm->SetFormatTag(2);
  EXPECT_THROW(copy->Assign(pcm.get()), Exception);
  EXPECT_THROW(copy->SetWaveFormat(pcm.get()), Exception);
  EXPECT_THROW(copy->Assign(&fact), EConvertError);
  EXPECT_THROW(TKZWaveStreamFormat::CreateFromFormat(nullptr), Exception);
}

}  // namespace
