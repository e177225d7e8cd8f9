#include "thread/UKZFIFO.h"

#include <algorithm>
#include <mutex>

#include "platform/rtl/Exception.h"

namespace {

constexpr int32_t MinimumCapacity = 1024;

// A stream's count for a piece of APieceSize bytes: a failure counts as nothing, and a count
// larger than the piece would account bytes that were never moved.
int32_t PieceCount(int32_t ACount, int32_t APieceSize) {
  if (ACount > APieceSize) throw Exception();
  return std::max(ACount, 0);
}

int32_t ReadPiece(TKZStream& AStream, const TKZArea& APiece, int32_t AMax) {
  const int32_t size = std::min(APiece.Size, AMax);
  if (size <= 0) return 0;
  return PieceCount(AStream.Read(Area(APiece.Start, size)), size);
}

int32_t WritePiece(TKZStream& AStream, const TKZArea& APiece, int32_t AMax) {
  const int32_t size = std::min(APiece.Size, AMax);
  if (size <= 0) return 0;
  return PieceCount(AStream.Write(Area(APiece.Start, size)), size);
}

}  // namespace

TKZFIFO::TKZFIFO(int32_t ASize) : FBuffer(AllocArea(std::max(ASize, MinimumCapacity))) {
  FFree = Ring(FBuffer.FArea, FBuffer.FArea);
  FData = Ring(FBuffer.FArea, Area(FBuffer.FArea.Start, 0));
}

TKZFIFO::~TKZFIFO() = default;

void TKZFIFO::Lock() {
  FLock.Enter();
}

void TKZFIFO::Unlock() {
  FLock.Leave();
}

TKZRing TKZFIFO::GetData() {
  std::lock_guard guard(FLock);
  return FData;
}

TKZRing TKZFIFO::GetFree() {
  std::lock_guard guard(FLock);
  return FFree;
}

// Each event below is set only when the other side has moved since this side last did, so
// a wait that ends on it finds its region no longer empty.
bool TKZFIFO::WaitForFree() {
  if (GetFree().Region.Size != 0) return true;
  // Closed first: with both set, a closed queue is not filled any further.
  return TKZEvent::WaitForAny({&FClosedEvent, &FSpaceEvent}) == &FSpaceEvent;
}

bool TKZFIFO::WaitForData() {
  if (GetData().Region.Size != 0) return true;
  // Data first: bytes produced before the close are still delivered.
  return TKZEvent::WaitForAny({&FDataEvent, &FClosedEvent}) == &FDataEvent;
}

void TKZFIFO::Produced(int32_t N) {
  std::lock_guard guard(FLock);
  if (N <= 0) {
    Close();
    return;
  }
  RingProduce(FData, N);
  RingConsume(FFree, N);
  FSpaceEvent.Reset();
  FDataEvent.Signal();
}

void TKZFIFO::Consumed(int32_t N) {
  if (N == 0) throw Exception(ClassName() + ".Consumed(0)");
  std::lock_guard guard(FLock);
  RingProduce(FFree, N);
  RingConsume(FData, N);
  FDataEvent.Reset();
  FSpaceEvent.Signal();
}

int32_t TKZFIFO::Produce(const TKZArea& AArea) {
  if (!WaitForFree()) return 0;
  TKZArea first, second;
  RingPieces(GetFree(), first, second);
  // An area of no bytes (or fewer) gives nothing, and so closes the queue.
  const int32_t size = std::max(AArea.Size, 0);
  const int32_t k1 = std::min(size, first.Size);
  HKZMemory::Copy(AreaBytes(AArea), AreaBytes(first), k1);
  const int32_t k2 = std::min(size - k1, second.Size);
  HKZMemory::Copy(AreaBytes(AArea) + k1, AreaBytes(second), k2);
  Produced(k1 + k2);
  return k1 + k2;
}

int32_t TKZFIFO::ProduceFromStream(TKZStream& AStream, int32_t AMax) {
  if (!WaitForFree()) return 0;
  TKZArea first, second;
  RingPieces(GetFree(), first, second);
  const int32_t k1 = ReadPiece(AStream, first, AMax);
  // A short read leaves the second piece alone: the stream has nothing more just now.
  const int32_t k2 = k1 == first.Size ? ReadPiece(AStream, second, AMax - k1) : 0;
  Produced(k1 + k2);
  return k1 + k2;
}

int32_t TKZFIFO::Consume(const TKZArea& AArea) {
  if (!WaitForData()) return 0;
  TKZArea first, second;
  RingPieces(GetData(), first, second);
  const int32_t size = std::max(AArea.Size, 0);
  const int32_t k1 = std::min(size, first.Size);
  HKZMemory::Copy(AreaBytes(first), AreaBytes(AArea), k1);
  const int32_t k2 = std::min(size - k1, second.Size);
  HKZMemory::Copy(AreaBytes(second), AreaBytes(AArea) + k1, k2);
  Consumed(k1 + k2);
  return k1 + k2;
}

int32_t TKZFIFO::ConsumeToStream(TKZStream& AStream, int32_t AMax) {
  if (!WaitForData()) return 0;
  TKZArea first, second;
  RingPieces(GetData(), first, second);
  const int32_t k1 = WritePiece(AStream, first, AMax);
  const int32_t k2 = k1 == first.Size ? WritePiece(AStream, second, AMax - k1) : 0;
  Consumed(k1 + k2);
  return k1 + k2;
}

void TKZFIFO::Close() {
  FClosedEvent.Signal();
}
