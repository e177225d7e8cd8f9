#pragma once

#include <cstdint>

#include "core/UKZArea.h"
#include "core/UKZMemory.h"
#include "stream/UKZStream.h"
#include "thread/UKZCriticalSection.h"
#include "thread/UKZEvent.h"

// A bounded byte queue between exactly one producing and one consuming thread, kept in one
// ring of memory that two rings describe: the free space and the stored data. Only the
// boundary between them moves under the lock; the bytes themselves are copied outside it,
// straight between the ring and a memory area or a stream, which is safe because only the
// producer writes the free region and only the consumer reads the data region.
//
// Each transfer moves what fits now, after at most one wait, and answers its count; 0 means
// the queue is closed (and, for the consumer, drained). Closing ends the data for good: the
// consumer still gets every stored byte, the producer may still fill what is free.
class TKZFIFO : public TObject {
 public:
  // A capacity of ASize bytes, 1024 at least.
  explicit TKZFIFO(int32_t ASize);
  ~TKZFIFO() override;

  int32_t Capacity() const { return FBuffer.FArea.Size; }

  void Lock();
  void Unlock();
  // Copies taken under the lock.
  TKZRing GetData();
  TKZRing GetFree();

  // True when there is room, at once if there is some (closed or not); false once closed and
  // full. Producer side.
  bool WaitForFree();
  // True when there are bytes; false once closed and empty. Consumer side.
  bool WaitForData();

  // Accounts N bytes written into the free region; N <= 0 closes instead.
  void Produced(int32_t N);
  // Accounts N bytes taken from the data region. N = 0 raises "<class>.Consumed(0)": the
  // consumer moved nothing although bytes were there.
  void Consumed(int32_t N);

  // Producer side: from memory, or from a stream read at most AMax bytes at a time. Moving
  // nothing (an empty area, a stream at its end or failing) closes the queue.
  int32_t Produce(const TKZArea& AArea);
  int32_t ProduceFromStream(TKZStream& AStream, int32_t AMax);
  // Consumer side: into memory, or into a stream written at most AMax bytes at a time. Moving
  // nothing although bytes were there (an empty area, a stream that takes nothing) raises.
  int32_t Consume(const TKZArea& AArea);
  int32_t ConsumeToStream(TKZStream& AStream, int32_t AMax);

  // Ends the data, from either side or from outside; a closed queue never reopens.
  void Close();

 private:
  TKZMemChunk FBuffer;
  TKZCriticalSection FLock;
  TKZRing FFree;
  TKZRing FData;
  TKZEvent FDataEvent;
  TKZEvent FSpaceEvent;
  TKZEvent FClosedEvent{true};
};
