#include "stream/UKZStream.h"

#include <utility>

#include "core/UKZMemory.h"
#include "platform/rtl/Exception.h"

TKZStream::TKZStream() = default;

TKZStream::~TKZStream() = default;

int32_t TKZStream::GetPosition() {
  return -1;
}

const TKZFormat* TKZStream::GetFormat() {
  return nullptr;
}

void TKZStream::SetFormat(const TKZFormat*) {
  throw Exception(ClassName() + "Can't set a format in TKZStream");
}

int32_t TKZStream::Read(const TKZArea&) {
  return -1;
}

int32_t TKZStream::Write(const TKZArea&) {
  return -1;
}

bool TKZStream::Seek(const TKZSeek&) {
  return false;
}

void TKZStream::Close() {}

TStream* TKZStream::AsStream() {
  if (!FAdapter) FAdapter = std::make_unique<TStreamStream>(*this);
  return FAdapter.get();
}

bool TKZStream::Copy(TKZStream& ASource, TKZStream& ADest) {
  return HKZStream::Copy(ASource, ADest);
}

bool HKZStream::Copy(TKZStream& ASource, TKZStream& ADest) {
  return CopyWithProgress(ASource, ADest, nullptr, nullptr) == crWhole;
}

TKZCopyResult HKZStream::CopyWithProgress(TKZStream& ASource, TKZStream& ADest,
                                          const std::function<bool()>& AStopped,
                                          const std::function<void(int32_t)>& AProgress) {
  TKZMemChunk buffer(AllocArea(CopyBufferSize));
  for (;;) {
    if (AStopped && AStopped()) return crStopped;
    const int32_t n = ASource.Read(buffer.FArea);
    // Only -1 is a failure; no other count says more than that the data ended.
    if (n == -1) return crReadFailed;
    if (n <= 0) return crWhole;
    if (ADest.Write(Area(buffer.FArea.Start, n)) != n) return crWriteFailed;
    if (AProgress) AProgress(n);
  }
}

bool HKZStream::HasFormat(TKZStream& AStream) {
  return AStream.GetFormat() != nullptr;
}

int32_t TKZProxyStream::GetPosition() {
  return FStream->GetPosition();
}

const TKZFormat* TKZProxyStream::GetFormat() {
  return FStream->GetFormat();
}

int32_t TKZProxyStream::Read(const TKZArea& AArea) {
  return FStream->Read(AArea);
}

int32_t TKZProxyStream::Write(const TKZArea& AArea) {
  return FStream->Write(AArea);
}

bool TKZProxyStream::Seek(const TKZSeek& ASeek) {
  return FStream->Seek(ASeek);
}

TKZChildStream::TKZChildStream(TKZStream& AParent, const TKZArea& ARange)
    : FParent(&AParent), FWindow(Window(ARange)) {}

int32_t TKZChildStream::GetPosition() {
  return FWindow.Position;
}

int32_t TKZChildStream::Read(const TKZArea& AArea) {
  // An area of no bytes asks for nothing; its size must not become a huge unsigned request.
  if (AArea.Size <= 0) return 0;
  const uintptr_t p = WindowPointer(FWindow);
  const auto n = static_cast<int32_t>(WindowAdvance(FWindow, static_cast<uint32_t>(AArea.Size)));
  if (n == 0) return 0;
  if (!SeekParent(p)) return -1;
  return FParent->Read(Area(AArea.Start, n));
}

int32_t TKZChildStream::Write(const TKZArea& AArea) {
  if (AArea.Size <= 0) return 0;
  const uintptr_t p = WindowPointer(FWindow);
  WindowExtend(FWindow, AArea.Size);
  if (!SeekParent(p)) return -1;
  return FParent->Write(AArea);
}

bool TKZChildStream::Seek(const TKZSeek& ASeek) {
  return WindowSeek(FWindow, ASeek);
}

bool TKZChildStream::SeekParent(uintptr_t AOffset) {
  // Stream offsets are 32-bit signed; one beyond them is refused, never wrapped.
  if (AOffset > uintptr_t{INT32_MAX}) return false;
  return FParent->Seek(SeekFromBegin(static_cast<int32_t>(AOffset)));
}

TKZCombinedStream::TKZCombinedStream(TStreams AStreams) : FStreams(std::move(AStreams)) {
  if (FStreams.Count() == 0) throw Exception();
  for (const auto& stream : FStreams)
    if (!stream) throw Exception();
  FHead = FStreams.Last().get();
}

TKZCombinedStream::~TKZCombinedStream() {
  if (!FClosed) {
    try {
      Close();
    } catch (...) {
    }
  }
  FHead = nullptr;
  FStreams.Clear();
}

int32_t TKZCombinedStream::GetPosition() {
  return FHead->GetPosition();
}

const TKZFormat* TKZCombinedStream::GetFormat() {
  return FHead->GetFormat();
}

int32_t TKZCombinedStream::Read(const TKZArea& AArea) {
  return FHead->Read(AArea);
}

int32_t TKZCombinedStream::Write(const TKZArea& AArea) {
  return FHead->Write(AArea);
}

bool TKZCombinedStream::Seek(const TKZSeek& ASeek) {
  return FHead->Seek(ASeek);
}

void TKZCombinedStream::Close() {
  if (FClosed) return;
  FClosed = true;
  std::exception_ptr first;
  for (int32_t i = FStreams.Count() - 1; i >= 0; --i) {
    try {
      FStreams.Items(i)->Close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

int32_t TStreamStream::Read(void* ABuffer, int32_t ACount) {
  return FStream->Read(AreaOf(ABuffer, ACount));
}

int32_t TStreamStream::Write(const void* ABuffer, int32_t ACount) {
  return FStream->Write(AreaOf(ABuffer, ACount));
}

int32_t TStreamStream::Seek(int32_t AOffset, uint16_t AOrigin) {
  TKZSeek seek;
  switch (AOrigin) {
    case soFromBeginning:
      seek = SeekFromBegin(AOffset);
      break;
    case soFromCurrent:
      seek = SeekFromCurrent(AOffset);
      break;
    case soFromEnd:
      seek = SeekFromEnd(AOffset);
      break;
    default:
      throw Exception();
  }
  return FStream->Seek(seek) ? FStream->GetPosition() : -1;
}
