#include "stream/UKZStream.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/MemoryStream.h"
#include "tests/support/Raises.h"

namespace {

using Log = std::vector<std::string>;

// Answers a fixed sequence of read results, then 0, and notes the sizes it is asked to write.
struct TScriptedStream : TKZStream {
  explicit TScriptedStream(std::vector<int32_t> AReads) : Reads(std::move(AReads)) {}
  int32_t Read(const TKZArea&) override { return Next < Reads.size() ? Reads[Next++] : 0; }
  int32_t Write(const TKZArea& AArea) override { return Writes.emplace_back(AArea.Size); }
  std::vector<int32_t> Reads, Writes;
  size_t Next = 0;
};

TEST(HKZStreamCopy, ResultRulesWholeBuffersAndShortWrites) {
  struct Case {
    std::vector<int32_t> Reads;
    bool Result;
    std::vector<int32_t> Writes;
  };
  for (const Case& c : {Case{{0}, true, {}}, Case{{-1}, false, {}}, Case{{100, -1}, false, {100}},
                        Case{{100, -2, 100}, true, {100}}}) {
    TScriptedStream source(c.Reads), sink({});
    EXPECT_EQ(TKZStream::Copy(source, sink), c.Result);
    EXPECT_EQ(sink.Writes, c.Writes);
  }
  TScriptedStream counter({});
  const auto bytes = PseudoRandomBytes(3 * 8192, 7);
  TMemoryStream exact(bytes), source(bytes), full;
  EXPECT_TRUE(HKZStream::Copy(exact, counter));
  EXPECT_EQ(counter.Writes, (std::vector<int32_t>{8192, 8192, 8192}));
  full.WriteCapacity = 100;
  EXPECT_FALSE(HKZStream::Copy(source, full));
  EXPECT_EQ(source.Position, 8192);  // read once, not again
}

TEST(HKZStreamCopy, WithProgressStopsBetweenBlocksAndCountsOnlyWhatWasWritten) {
  struct Case {
    std::vector<int32_t> Reads;
    int32_t WriteCapacity;  // -1: no limit
    int StopAtCheck;        // the check that answers "stop" (0: none does)
    TKZCopyResult Result;
    std::vector<int32_t> Progress;
  };
  for (const Case& c :
       {Case{{100, 50}, -1, 0, crWhole, {100, 50}}, Case{{100, 50}, -1, 1, crStopped, {}},
        Case{{100, 50, 20}, -1, 3, crStopped, {100, 50}},
        Case{{100, -1}, -1, 0, crReadFailed, {100}},
        Case{{100, 50}, 120, 0, crWriteFailed, {100}}}) {
    TScriptedStream source(c.Reads);
    TMemoryStream sink;
    if (c.WriteCapacity >= 0) sink.WriteCapacity = c.WriteCapacity;
    int checks = 0;
    std::vector<int32_t> progress;
    EXPECT_EQ(HKZStream::CopyWithProgress(
                  source, sink, [&] { return ++checks == c.StopAtCheck; },
                  [&](int32_t ABytes) { progress.push_back(ABytes); }),
              c.Result);
    EXPECT_EQ(progress, c.Progress);
    // A stop is noticed before the next block is read, never after it.
    if (c.Result == crStopped) {
      EXPECT_EQ(source.Next, static_cast<size_t>(c.StopAtCheck - 1));
    }
  }
}

TEST(UKZStream, BaseContractAndAdapter) {
  TKZStream base;
  char byte = 0;
  EXPECT_EQ(base.GetPosition() + base.Read(AreaOf(&byte, 1)) + base.Write(AreaOf(&byte, 1)), -3);
  EXPECT_FALSE(base.Seek(SeekFromBegin(0)) || HKZStream::HasFormat(base));
  TStream* adapter = base.AsStream();
  EXPECT_EQ(adapter->Seek(0, TStream::soFromEnd) + adapter->Read(&byte, 1), -2);
  EXPECT_THROW(adapter->Seek(0, 3), Exception);

  TMemoryStream memory(PseudoRandomBytes(50, 3));
  TStream* view = memory.AsStream();
  EXPECT_EQ(view->Seek(0, TStream::soFromEnd), 50);
  EXPECT_EQ(view->Seek(-10, TStream::soFromCurrent), 40);
  EXPECT_EQ(view->Seek(1, TStream::soFromBeginning), 1);
  TKZChildStream child(memory, Area(0, 10));
  EXPECT_EQ(RaisedMessage([&] { child.SetFormat(nullptr); }),
            "TKZChildStreamCan't set a format in TKZStream");
}

TEST(TKZChildStream, ReadsAreClampedWritesGrowAndSeeksStayInside) {
  TMemoryStream parent(PseudoRandomBytes(1200, 5));
  TKZChildStream child(parent, Area(1000, 100));
  uint8_t buffer[64];
  EXPECT_EQ(child.Read(AreaOf(buffer, 64)), 64);
  EXPECT_EQ(buffer[0], parent.Data[1000]);
  parent.Position = 0;  // the child positions its parent first
  EXPECT_EQ(child.Read(AreaOf(buffer, 64)), 36);
  EXPECT_EQ(buffer[35], parent.Data[1099]);
  parent.FailSeeks = true;  // at its end the child does not touch the parent
  EXPECT_EQ(child.Read(AreaOf(buffer, 64)) + child.Read(AreaOf(buffer, -1)), 0);
  EXPECT_EQ(child.Write(AreaOf(buffer, 1)), -1);
  parent.FailSeeks = false;

  ASSERT_TRUE(child.Seek(SeekFromBegin(10)));
  parent.ReadLimit = 5;  // less than asked: the cursor still moves by the clamped request
  EXPECT_EQ(child.Read(AreaOf(buffer, 20)), 5);
  EXPECT_EQ(child.GetPosition(), 30);
  TKZChildStream far(parent, Area(uintptr_t{INT32_MAX}, 10));  // beyond 32-bit offsets
  EXPECT_EQ(far.Read(AreaOf(buffer, 1)) + far.Write(AreaOf(buffer, 1)), -2);

  TMemoryStream zeros(std::vector<uint8_t>(200, 0));
  TKZChildStream window(zeros, Area(50, 100));
  const auto ten = PseudoRandomBytes(10, 9);
  ASSERT_TRUE(window.Seek(SeekFromEnd(0)));
  EXPECT_EQ(window.Write(AreaOf(ten.data(), 10)), 10);
  EXPECT_EQ(window.GetPosition(), 110);
  EXPECT_EQ(std::vector<uint8_t>(zeros.Data.begin() + 150, zeros.Data.begin() + 160), ten);
  EXPECT_TRUE(window.Seek(SeekFromEnd(-4)));
  EXPECT_FALSE(window.Seek(SeekFromEnd(1)));
  EXPECT_EQ(window.GetPosition(), 106);
}

// A stream that notes its closing and destruction under a name, and may fail to close.
std::unique_ptr<TMemoryStream> Recorded(Log& ALog, const std::string& AName, bool AFailClose) {
  auto stream = std::make_unique<TMemoryStream>(PseudoRandomBytes(7, 1));
  stream->OnCall = [&ALog, AName, AFailClose](const std::string& call) {
    if (call != "close" && call != "destroy") return;
    ALog.push_back(call + " " + AName);
    if (call == "close" && AFailClose) throw Exception(AName + " failed");
  };
  return stream;
}

TEST(TKZCombinedStream, ClosesAndDestroysFromTheOpenEndInwards) {
  Log log;
  {
    TKZCombinedStream::TStreams list;
    for (const auto& [name, fails] : {std::pair{"file", false}, {"codec", true}, {"thread", true}})
      list.Add(Recorded(log, name, fails));
    TKZCombinedStream chain(std::move(list));
    uint8_t buffer[16];
    EXPECT_EQ(chain.Read(AreaOf(buffer, 16)), 7);  // from the open end
    EXPECT_EQ(chain.GetPosition(), 7);
    // The first failure, after all were closed; closing again does nothing more.
    EXPECT_EQ(RaisedMessage([&] { chain.Close(); }), "thread failed");
    chain.Close();
  }
  EXPECT_EQ(log, (Log{"close thread", "close codec", "close file", "destroy thread",
                      "destroy codec", "destroy file"}));
  log.clear();
  {  // nobody closed it: the destructor does, and swallows the failure
    TKZCombinedStream::TStreams list;
    list.Add(Recorded(log, "file", true));
    TKZCombinedStream chain(std::move(list));
  }
  EXPECT_EQ(log, (Log{"close file", "destroy file"}));
  EXPECT_THROW(TKZCombinedStream{TKZCombinedStream::TStreams{}}, Exception);
}

}  // namespace
