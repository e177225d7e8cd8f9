#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "core/UKZArea.h"
#include "core/UKZFormat.h"
#include "core/UKZObject.h"
#include "platform/rtl/List.h"
#include "platform/rtl/Stream.h"

class TStreamStream;

// The contract of every producer and consumer of bytes in the class library.
//   Read   stores at most Area.Size bytes at Area.Start and answers how many; a short count is
//          not by itself the end. 0 is the end of the data, -1 a failure.
//   Write  answers how many bytes it took; anything but Area.Size is a failure.
//   Seek   false when the target lies outside the stream or the kind cannot seek.
// The base answers -1, -1, false; it knows no position and has no format. A format handed out
// by GetFormat stays the stream's. A stream is used by one thread at a time.
class TKZStream : public TKZObject {
 public:
  TKZStream();
  ~TKZStream() override;

  virtual int32_t GetPosition();
  virtual const TKZFormat* GetFormat();
  // Always raises: formats are fixed when a stream is made.
  virtual void SetFormat(const TKZFormat* AFormat);
  virtual int32_t Read(const TKZArea& AArea);
  virtual int32_t Write(const TKZArea& AArea);
  virtual bool Seek(const TKZSeek& ASeek);
  // Finishes the output of kinds whose end completes something (a file's sizes, a codec's last
  // block) and raises when that fails. The destructor of such a kind calls it when nobody did
  // and swallows the failure, so code that cares whether its output is whole calls Close.
  // Closing twice does nothing more. The base has nothing to finish.
  virtual void Close();

  // This stream as a runtime byte stream; made on the first call, the same object afterwards,
  // and destroyed with this stream.
  TStream* AsStream();

  // Copies everything ASource still delivers into ADest.
  static bool Copy(TKZStream& ASource, TKZStream& ADest);

 private:
  std::unique_ptr<TStreamStream> FAdapter;
};

// How a copy with progress and stop ended.
enum TKZCopyResult : uint8_t { crWhole, crReadFailed, crWriteFailed, crStopped };

class HKZStream {
 public:
  HKZStream() = delete;

  // Reads through one 8192-byte buffer and writes what each read gave, strictly forward.
  // False when a write takes a different count than was read (the rest is not retried) or the
  // last read failed with -1; what was written stays written. Exceptions pass through.
  static bool Copy(TKZStream& ASource, TKZStream& ADest);
  // The same copy for a job a person watches: AStopped (when given) is asked before each block
  // and ends the copy with crStopped, AProgress (when given) told the bytes of each block once
  // they are written.
  static TKZCopyResult CopyWithProgress(TKZStream& ASource, TKZStream& ADest,
                                        const std::function<bool()>& AStopped,
                                        const std::function<void(int32_t)>& AProgress);
  static bool HasFormat(TKZStream& AStream);

  static constexpr int32_t CopyBufferSize = 8192;
};

// Forwards everything to a stream it does not own, so that a chain destroyed as a whole never
// destroys a stream that came from outside.
class TKZProxyStream : public TKZStream {
 public:
  explicit TKZProxyStream(TKZStream& AStream) : FStream(&AStream) {}

  int32_t GetPosition() override;
  const TKZFormat* GetFormat() override;
  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  bool Seek(const TKZSeek& ASeek) override;

 private:
  TKZStream* FStream;
};

// A byte range of a parent stream as a stream of its own, with positions counted from the
// range's start. Every transfer positions the parent first, so several children of one parent
// can be used in turn. Reads stop at the range's end; writes past it grow the range.
class TKZChildStream : public TKZStream {
 public:
  // ARange.Start is an offset in the parent, ARange.Size the child's length.
  TKZChildStream(TKZStream& AParent, const TKZArea& ARange);

  int32_t GetPosition() override;
  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  bool Seek(const TKZSeek& ASeek) override;

 private:
  bool SeekParent(uintptr_t AOffset);

  TKZStream* FParent;
  TKZWindow FWindow;
};

// Owns a whole chain, listed from its first stream to its open end, and is that open end to
// its users. The chain is closed and destroyed from the open end inwards.
class TKZCombinedStream : public TKZStream {
 public:
  using TStreams = TList<std::unique_ptr<TKZStream>>;

  // Raises for an empty list or one that holds none.
  explicit TKZCombinedStream(TStreams AStreams);
  ~TKZCombinedStream() override;

  int32_t GetPosition() override;
  const TKZFormat* GetFormat() override;
  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  bool Seek(const TKZSeek& ASeek) override;
  // Closes every stream, open end first, going on past failures; raises the first one.
  void Close() override;

 private:
  TStreams FStreams;
  TKZStream* FHead;
  bool FClosed = false;
};

// A TKZStream seen through the runtime's byte stream.
class TStreamStream : public TStream {
 public:
  explicit TStreamStream(TKZStream& AStream) : FStream(&AStream) {}

  int32_t Read(void* ABuffer, int32_t ACount) override;
  int32_t Write(const void* ABuffer, int32_t ACount) override;
  // Translates the runtime's origins; answers the new position, or -1 when refused.
  int32_t Seek(int32_t AOffset, uint16_t AOrigin) override;

 private:
  TKZStream* FStream;
};
