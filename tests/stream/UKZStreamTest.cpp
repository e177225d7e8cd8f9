#include "stream/UKZStream.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/rtl/Exception.h"
#include "tests/support/MemoryStream.h"

namespace {

using Log = std::vector<std::string>;

// Counts the writes a copy makes and their sizes.
class TCountingSink : public TKZStream {
 public:
  int32_t Write(const TKZArea& AArea) override {
    Sizes.push_back(AArea.Size);
    return AArea.Size;
  }
  std::vector<int32_t> Sizes;
};

// Answers a fixed sequence of read results, then 0.
class TScriptedSource : public TKZStream {
 public:
  explicit TScriptedSource(std::vector<int32_t> AResults) : FResults(std::move(AResults)) {}
  int32_t Read(const TKZArea&) override {
    ++Reads;
    return Reads <= static_cast<int>(FResults.size()) ? FResults[Reads - 1] : 0;
  }
  int Reads = 0;

 private:
  std::vector<int32_t> FResults;
};

TEST(HKZStreamCopy, ResultRules) {
  {  // empty source: true, nothing written
    TScriptedSource source({0});
    TCountingSink sink;
    EXPECT_TRUE(TKZStream::Copy(source, sink));
    EXPECT_TRUE(sink.Sizes.empty());
  }
  {  // failing first read: false, nothing written
    TScriptedSource source({-1});
    TCountingSink sink;
    EXPECT_FALSE(HKZStream::Copy(source, sink));
    EXPECT_TRUE(sink.Sizes.empty());
  }
  {  // a failure after data: false, the data stays written
    TScriptedSource source({100, -1});
    TCountingSink sink;
    EXPECT_FALSE(HKZStream::Copy(source, sink));
    EXPECT_EQ(sink.Sizes, std::vector<int32_t>{100});
  }
  {  // another negative result ends the copy without failing it
    TScriptedSource source({100, -2, 100});
    TCountingSink sink;
    EXPECT_TRUE(HKZStream::Copy(source, sink));
    EXPECT_EQ(sink.Sizes, std::vector<int32_t>{100});
  }
  {  // a base stream cannot read
    TKZStream base;
    TCountingSink sink;
    EXPECT_FALSE(HKZStream::Copy(base, sink));
  }
}

TEST(HKZStreamCopy, MovesEveryByteThroughWholeBuffers) {
  const auto bytes = PseudoRandomBytes(3 * 8192, 7);
  TMemoryStream source(bytes);
  TCountingSink counter;
  EXPECT_TRUE(HKZStream::Copy(source, counter));
  EXPECT_EQ(counter.Sizes, (std::vector<int32_t>{8192, 8192, 8192}));

  TMemoryStream again(bytes);
  again.ReadLimit = 1000;  // short reads are not the end
  TMemoryStream sink;
  EXPECT_TRUE(HKZStream::Copy(again, sink));
  EXPECT_EQ(sink.Data, bytes);
}

TEST(HKZStreamCopy, ShortWriteStopsWithoutReadingAgain) {
  int reads = 0;
  TMemoryStream source(PseudoRandomBytes(20000, 1));
  source.OnCall = [&](const std::string& call) { reads += call == "read"; };
  TMemoryStream sink;
  sink.WriteCapacity = 100;
  EXPECT_FALSE(HKZStream::Copy(source, sink));
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(sink.Data.size(), 100u);

  TScriptedSource throwing({10});
  struct TThrowingSink : TKZStream {
    int32_t Write(const TKZArea&) override { throw std::runtime_error("disk gone"); }
  } broken;
  EXPECT_THROW(HKZStream::Copy(throwing, broken), std::runtime_error);
}

TEST(UKZStream, BaseContractAndAdapter) {
  TKZStream base;
  char byte = 0;
  EXPECT_EQ(base.GetPosition(), -1);
  EXPECT_EQ(base.GetFormat(), nullptr);
  EXPECT_FALSE(HKZStream::HasFormat(base));
  EXPECT_EQ(base.Read(AreaOf(&byte, 1)), -1);
  EXPECT_EQ(base.Write(AreaOf(&byte, 1)), -1);
  EXPECT_FALSE(base.Seek(SeekFromBegin(0)));
  EXPECT_NO_THROW(base.Close());

  TStream* adapter = base.AsStream();
  EXPECT_EQ(adapter, base.AsStream());
  EXPECT_EQ(adapter->Seek(0, TStream::soFromEnd), -1);
  EXPECT_EQ(adapter->Read(&byte, 1), -1);
  EXPECT_THROW(adapter->Seek(0, 3), Exception);

  TMemoryStream memory(PseudoRandomBytes(50, 3));
  TStream* view = memory.AsStream();
  EXPECT_EQ(view->Seek(0, TStream::soFromEnd), 50);
  EXPECT_EQ(view->Seek(-10, TStream::soFromCurrent), 40);
  EXPECT_EQ(view->Seek(5, TStream::soFromBeginning), 5);
  EXPECT_EQ(view->Read(&byte, 1), 1);
  EXPECT_EQ(static_cast<uint8_t>(byte), memory.Data[5]);
  EXPECT_EQ(view->Seek(1, TStream::soFromEnd), -1);
}

TEST(UKZStream, SetFormatNamesTheClassWithoutASeparator) {
  TMemoryStream parent;
  TKZChildStream child(parent, Area(0, 10));
  try {
    child.SetFormat(nullptr);
    FAIL() << "SetFormat did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TKZChildStreamCan't set a format in TKZStream");
  }
  TKZProxyStream proxy(parent);
  EXPECT_THROW(proxy.SetFormat(nullptr), Exception);
}

TEST(TKZChildStream, ReadsAreClampedToTheRange) {
  TMemoryStream parent(PseudoRandomBytes(1200, 5));
  std::vector<TKZSeek> seeks;
  TKZChildStream child(parent, Area(1000, 100));
  uint8_t buffer[64];

  parent.Position = 0;
  EXPECT_EQ(child.Read(AreaOf(buffer, 64)), 64);
  EXPECT_EQ(parent.Position, 1064);  // positioned to 1000 before reading
  EXPECT_EQ(buffer[0], parent.Data[1000]);
  parent.Position = 0;
  EXPECT_EQ(child.Read(AreaOf(buffer, 64)), 36);
  EXPECT_EQ(buffer[35], parent.Data[1099]);
  EXPECT_EQ(child.GetPosition(), 100);

  int calls = 0;
  parent.OnCall = [&](const std::string&) { ++calls; };
  EXPECT_EQ(child.Read(AreaOf(buffer, 64)), 0);
  EXPECT_EQ(child.Read(AreaOf(buffer, -1)), 0);
  EXPECT_EQ(calls, 0);  // the end of the child does not touch the parent
  parent.OnCall = nullptr;

  // The parent delivers less than asked; the cursor still moves by the clamped request.
  ASSERT_TRUE(child.Seek(SeekFromBegin(10)));
  parent.ReadLimit = 5;
  EXPECT_EQ(child.Read(AreaOf(buffer, 20)), 5);
  EXPECT_EQ(child.GetPosition(), 30);

  parent.FailSeeks = true;
  EXPECT_EQ(child.Read(AreaOf(buffer, 1)), -1);
  EXPECT_EQ(child.Write(AreaOf(buffer, 1)), -1);
}

TEST(TKZChildStream, WritesGrowAndSeeksStayInside) {
  TMemoryStream parent(std::vector<uint8_t>(200, 0));
  TKZChildStream child(parent, Area(50, 100));
  const auto ten = PseudoRandomBytes(10, 9);

  ASSERT_TRUE(child.Seek(SeekFromEnd(0)));
  EXPECT_EQ(child.Write(AreaOf(ten.data(), 10)), 10);
  EXPECT_EQ(child.GetPosition(), 110);
  EXPECT_EQ(std::vector<uint8_t>(parent.Data.begin() + 150, parent.Data.begin() + 160), ten);
  EXPECT_EQ(child.Write(AreaOf(ten.data(), 0)), 0);

  EXPECT_TRUE(child.Seek(SeekFromEnd(-4)));
  EXPECT_EQ(child.GetPosition(), 106);
  EXPECT_FALSE(child.Seek(SeekFromEnd(1)));
  EXPECT_EQ(child.GetPosition(), 106);
  EXPECT_THROW(child.Seek(TKZSeek{0, static_cast<TKZSeekOrigin>(7)}), Exception);
  EXPECT_EQ(child.GetFormat(), nullptr);

  // Offsets beyond 32 bits are refused, not wrapped onto the parent's start.
  TKZChildStream far(parent, Area(uintptr_t{INT32_MAX}, 10));
  ASSERT_TRUE(far.Seek(SeekFromBegin(1)));
  EXPECT_EQ(far.Read(AreaOf(ten.data(), 1)), -1);
}

TEST(TKZProxyStream, ForwardsWithoutOwning) {
  Log log;
  auto inner = std::make_unique<TMemoryStream>(PseudoRandomBytes(10, 2));
  inner->OnCall = [&](const std::string& call) { log.push_back(call); };
  {
    TKZProxyStream proxy(*inner);
    uint8_t buffer[4];
    EXPECT_EQ(proxy.Read(AreaOf(buffer, 4)), 4);
    EXPECT_EQ(proxy.GetPosition(), 4);
    EXPECT_TRUE(proxy.Seek(SeekFromCurrent(2)));
    EXPECT_EQ(proxy.Write(AreaOf(buffer, 4)), 4);
    EXPECT_EQ(proxy.GetFormat(), nullptr);
  }
  EXPECT_EQ(log, (Log{"read", "seek", "write"}));
}

// A stream that notes its closing and destruction under a name, and may fail to close.
std::unique_ptr<TMemoryStream> Recorded(Log& ALog, const std::string& AName, bool AFailClose) {
  auto stream = std::make_unique<TMemoryStream>();
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
    list.Add(Recorded(log, "file", false));
    list.Add(Recorded(log, "codec", true));
    list.Add(Recorded(log, "thread", true));
    TKZCombinedStream chain(std::move(list));
    try {
      chain.Close();
      FAIL() << "Close swallowed the failures";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "thread failed");  // the first failure, after all were closed
    }
    EXPECT_NO_THROW(chain.Close());  // closing again does nothing
  }
  EXPECT_EQ(log, (Log{"close thread", "close codec", "close file", "destroy thread",
                      "destroy codec", "destroy file"}));

  log.clear();
  {  // not closed by anyone: the destructor closes, swallowing the failure
    TKZCombinedStream::TStreams list;
    list.Add(Recorded(log, "file", true));
    list.Add(Recorded(log, "codec", false));
    TKZCombinedStream chain(std::move(list));
  }
  EXPECT_EQ(log, (Log{"close codec", "close file", "destroy codec", "destroy file"}));
}

TEST(TKZCombinedStream, ForwardsToTheOpenEnd) {
  TKZCombinedStream::TStreams list;
  list.Add(std::make_unique<TMemoryStream>(PseudoRandomBytes(5, 1)));
  list.Add(std::make_unique<TMemoryStream>(PseudoRandomBytes(7, 2)));
  auto* head = static_cast<TMemoryStream*>(list.Last().get());
  TKZCombinedStream chain(std::move(list));
  uint8_t buffer[16];
  EXPECT_EQ(chain.Read(AreaOf(buffer, 16)), 7);
  EXPECT_EQ(buffer[6], head->Data[6]);
  EXPECT_EQ(chain.GetPosition(), 7);
  EXPECT_TRUE(chain.Seek(SeekFromBegin(0)));
  EXPECT_EQ(chain.Write(AreaOf(buffer, 3)), 3);
  EXPECT_EQ(chain.GetFormat(), nullptr);

  EXPECT_THROW(TKZCombinedStream{TKZCombinedStream::TStreams{}}, Exception);
  TKZCombinedStream::TStreams holed;
  holed.Add(nullptr);
  EXPECT_THROW(TKZCombinedStream(std::move(holed)), Exception);
}

}  // namespace
