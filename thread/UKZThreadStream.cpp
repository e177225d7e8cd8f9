#include "thread/UKZThreadStream.h"

#include <exception>

TKZStreamCopyThread::TKZStreamCopyThread(TKZStream& AStream, TKZFIFO& AFIFO, bool AToStream)
    : FToStream(AToStream), FStream(&AStream), FFIFO(&AFIFO) {
  Start();
}

TKZStreamCopyThread::~TKZStreamCopyThread() {
  try {
    FFIFO->Close();
  } catch (...) {
  }
  WaitFor();
}

std::unique_ptr<TKZStreamCopyThread> TKZStreamCopyThread::CreateReader(TKZStream& AStream,
                                                                       TKZFIFO& AFIFO) {
  return std::make_unique<TKZStreamCopyThread>(AStream, AFIFO, false);
}

std::unique_ptr<TKZStreamCopyThread> TKZStreamCopyThread::CreateWriter(TKZStream& AStream,
                                                                       TKZFIFO& AFIFO) {
  return std::make_unique<TKZStreamCopyThread>(AStream, AFIFO, true);
}

void TKZStreamCopyThread::Execute() {
  const int32_t limit = FFIFO->Capacity();
  try {
    if (FToStream) {
      while (FFIFO->ConsumeToStream(*FStream, limit) > 0) {
      }
    } else {
      while (FFIFO->ProduceFromStream(*FStream, limit) > 0) {
      }
    }
  } catch (...) {
    FFailed.store(true, std::memory_order_release);
    FFIFO->Close();
    throw;
  }
  FFIFO->Close();
}

// The FIFO is made before the thread that uses it and, being declared first, outlives it.
TKZThreadStream::TKZThreadStream(TKZStream& AStream, int32_t ABufferSize, bool AToStream)
    : FStream(&AStream),
      FFIFO(std::make_unique<TKZFIFO>(ABufferSize)),
      FThread(std::make_unique<TKZStreamCopyThread>(AStream, *FFIFO, AToStream)),
      FToStream(AToStream) {}

TKZThreadStream::~TKZThreadStream() {
  try {
    Close();
  } catch (...) {
  }
  FThread.reset();
  FFIFO.reset();
}

const TKZFormat* TKZThreadStream::GetFormat() {
  return FStream->GetFormat();
}

int32_t TKZThreadStream::Read(const TKZArea& AArea) {
  if (FToStream) return -1;
  int32_t total = 0;
  TKZArea rest = AArea;
  while (total < AArea.Size) {
    const int32_t n = FFIFO->Consume(rest);
    if (n <= 0) break;
    total += n;
    AreaSkip(rest, n);
  }
  // Drained: an ordinary end, unless the thread stopped reading because its stream failed.
  if (total == 0 && AArea.Size > 0 && FThread->Failed()) return -1;
  return total;
}

int32_t TKZThreadStream::Write(const TKZArea& AArea) {
  if (!FToStream || FClosed) return -1;
  int32_t total = 0;
  TKZArea rest = AArea;
  while (total < AArea.Size) {
    // Bytes queued after a failure would never be written.
    if (FThread->Failed()) return -1;
    const int32_t n = FFIFO->Produce(rest);
    if (n <= 0) break;
    total += n;
    AreaSkip(rest, n);
  }
  return FThread->Failed() ? -1 : total;
}

void TKZThreadStream::Close() {
  if (FClosed) return;
  FClosed = true;
  FFIFO->Close();
  FThread->WaitFor();
  // A reader's failure is its Read's -1; a writer's is known only here.
  if (FToStream && FThread->FatalException()) std::rethrow_exception(FThread->FatalException());
}
