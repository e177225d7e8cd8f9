#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/rtl/Thread.h"
#include "stream/UKZStream.h"
#include "thread/UKZFIFO.h"

// The background half of a threaded stream: copies from its stream into its FIFO (a reader)
// or from its FIFO into its stream (a writer), a whole FIFO's capacity at most per transfer,
// until the FIFO is closed. Neither is owned. It starts at construction.
//
// However the copy ends, the thread closes the FIFO, so that the foreground never waits for
// a copy that stopped. A failure (an exception from the stream, or a writer's stream that
// took nothing) is kept as FatalException, and Failed says so before the FIFO closes.
class TKZStreamCopyThread final : public TThread {
 public:
  TKZStreamCopyThread(TKZStream& AStream, TKZFIFO& AFIFO, bool AToStream);
  // Closes the FIFO and waits until the thread has ended.
  ~TKZStreamCopyThread() override;

  static std::unique_ptr<TKZStreamCopyThread> CreateReader(TKZStream& AStream, TKZFIFO& AFIFO);
  static std::unique_ptr<TKZStreamCopyThread> CreateWriter(TKZStream& AStream, TKZFIFO& AFIFO);

  // Whether the copy ended by a failure. Set before the thread closes the FIFO, so a side that
  // has seen the FIFO closed by the thread can tell why.
  bool Failed() const { return FFailed.load(std::memory_order_acquire); }

 protected:
  void Execute() override;

 private:
  const bool FToStream;
  TKZStream* const FStream;
  TKZFIFO* const FFIFO;
  std::atomic<bool> FFailed{false};
};

// A stream whose inner stream is served by a background thread through a FIFO: a reader reads
// ahead, a writer writes behind. A reader is only read and a writer only written (the other
// answers -1), since the thread already is the FIFO's other side. The inner stream is not
// owned; the foreground must not use it while the threaded stream lives, except GetFormat.
//
//   Read   blocks until the area is full or the data has ended: less only at the end, 0 after
//          it. -1 when the inner stream's reading failed with an exception, once the bytes read
//          before it are delivered; an inner Read of -1 is an ordinary end.
//   Write  blocks until the whole area is queued. -1 once the thread failed to write (an
//          exception, or an inner stream that took nothing), and after Close.
//   Close  closes the FIFO and waits until the thread has ended: a writer has then written all
//          it queued, and raises what failed in its thread. The destructor closes too, quietly.
class TKZThreadStream : public TKZStream {
 public:
  // AToStream false: a reader; true: a writer. The FIFO holds ABufferSize bytes, 1024 at least.
  TKZThreadStream(TKZStream& AStream, int32_t ABufferSize, bool AToStream);
  ~TKZThreadStream() override;

  template <class T = TKZThreadStream>
  static std::unique_ptr<T> CreateReader(TKZStream& AStream, int32_t ABufferSize) {
    return std::make_unique<T>(AStream, ABufferSize, false);
  }
  template <class T = TKZThreadStream>
  static std::unique_ptr<T> CreateWriter(TKZStream& AStream, int32_t ABufferSize) {
    return std::make_unique<T>(AStream, ABufferSize, true);
  }

  // The inner stream's format object itself.
  const TKZFormat* GetFormat() override;
  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  void Close() override;

 private:
  TKZStream* FStream;
  std::unique_ptr<TKZFIFO> FFIFO;
  std::unique_ptr<TKZStreamCopyThread> FThread;
  bool FToStream;
  bool FClosed = false;
};
