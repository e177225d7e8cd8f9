#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/UKZObject.h"
#include "stream/UKZStream.h"
#include "wave/UKZWaveFormat.h"
#include "wave/UKZWaveStream.h"

// Chain assembly. A reading chain turns a RIFF WAVE file into a stream that delivers its audio
// in a target format; a writing chain takes audio in a given format and stores it, converted,
// as a RIFF WAVE file in the target format. Each chain is a stack built bottom-up: the wave file
// stream, one conversion stream per step of the conversion path, and, with the threaded option,
// a threaded stream at the open end. A chain of one stream is that stream; a longer one is a
// TKZCombinedStream that owns them all and closes and destroys them from the open end inward,
// so a writing chain's Close leaves a complete file or raises.
//
// A chain that cannot be built is none; everything pushed for it has been destroyed by then
// and no file stays open. Failures raised by the parts called pass through.

// The stack on which one chain is built. It holds the pushed streams until GetResult hands
// them out; whatever it still holds when it is destroyed (a build that raised) is unwound.
class TKZStreamFactory : public TKZObject {
 public:
  // A chain over the named file, or over AStream, which stays the caller's: a stream with a
  // format is used as it is, one without is read or written as a wave file.
  explicit TKZStreamFactory(const std::string& AFileName);
  explicit TKZStreamFactory(TKZStream& AStream);
  // A chain over the open file ADescriptor, which stays the caller's; why its file fails goes
  // into AReport when given (see TKZMMIO::OpenDescriptor).
  TKZStreamFactory(int ADescriptor, TKZFileReport* AReport);
  ~TKZStreamFactory() override;

  // The threaded stream over AStream with a FIFO of ABufferSize bytes, or none.
  virtual std::unique_ptr<TKZStream> CreateThreadStream(TKZStream& AStream,
                                                        int32_t ABufferSize) = 0;

  int32_t Count() const { return FStreams.Count(); }
  // The open end, or none.
  TKZStream* GetCurrent() const { return FCurrent; }
  // A copy of the open end's wave format as of the last push; empty for a stream without one.
  const TKZWaveFormat& GetFormat() const { return *FFormat; }

  void Push(std::unique_ptr<TKZStream> AStream);
  // Destroys the pushed streams, the open end first. The format stays as it was.
  void Unwind();
  // None for no stream, the stream itself for one, else a combined stream over all of them.
  // The stack is empty afterwards.
  std::unique_ptr<TKZStream> GetResult();
  // The bottom stream of a reading chain / of a writing chain in AFormat; none when the file
  // cannot be opened or created.
  std::unique_ptr<TKZStream> OpenWaveReader();
  // ADataBound: the most audio bytes the writer gets, -1 when not known (see
  // TKZMMIOWaveStream::OpenWrite).
  std::unique_ptr<TKZStream> OpenWaveWriter(const TKZWaveStreamFormat& AFormat,
                                            int64_t ADataBound = -1);
  // Pushes a threaded stream whose FIFO holds AMilliseconds of the open end's format; nothing
  // on an empty stack. Raises when that format is not complete.
  void AddThreadStream(int32_t AMilliseconds);

 private:
  TKZCombinedStream::TStreams FStreams;
  TKZStream* FCurrent = nullptr;
  std::unique_ptr<TKZWaveFormat> FFormat;
  std::string FFileName;
  TKZStream* FStream = nullptr;
  int FDescriptor = -1;
  TKZFileReport* FReport = nullptr;
};

// The stack of reading chains: its threaded stream reads ahead.
class TKZReadStreamFactory : public TKZStreamFactory {
 public:
  using TKZStreamFactory::TKZStreamFactory;

  template <class T = TKZReadStreamFactory>
  static std::unique_ptr<T> CreateFileName(const std::string& AFileName) {
    return std::make_unique<T>(AFileName);
  }
  template <class T = TKZReadStreamFactory>
  static std::unique_ptr<T> CreateStream(TKZStream& AStream) {
    return std::make_unique<T>(AStream);
  }
  template <class T = TKZReadStreamFactory>
  static std::unique_ptr<T> CreateDescriptor(int ADescriptor, TKZFileReport* AReport) {
    return std::make_unique<T>(ADescriptor, AReport);
  }

  std::unique_ptr<TKZStream> CreateThreadStream(TKZStream& AStream, int32_t ABufferSize) override;
};

// The stack of writing chains: its threaded stream writes behind.
class TKZWriteStreamFactory : public TKZStreamFactory {
 public:
  using TKZStreamFactory::TKZStreamFactory;

  template <class T = TKZWriteStreamFactory>
  static std::unique_ptr<T> CreateFileName(const std::string& AFileName) {
    return std::make_unique<T>(AFileName);
  }
  template <class T = TKZWriteStreamFactory>
  static std::unique_ptr<T> CreateStream(TKZStream& AStream) {
    return std::make_unique<T>(AStream);
  }
  template <class T = TKZWriteStreamFactory>
  static std::unique_ptr<T> CreateDescriptor(int ADescriptor, TKZFileReport* AReport) {
    return std::make_unique<T>(ADescriptor, AReport);
  }

  std::unique_ptr<TKZStream> CreateThreadStream(TKZStream& AStream, int32_t ABufferSize) override;
};

// The public entry: a target format and the chain options, and the chains built with them.
// Options apply to every chain built after they are set; Reset does not touch built chains.
class TKZWaveStreamFactory : public TKZObject {
 public:
  TKZWaveStreamFactory();
  ~TKZWaveStreamFactory() override;

  template <class T = TKZWaveStreamFactory>
  static std::unique_ptr<T> Create() {
    return std::make_unique<T>();
  }

  // Empties the target format and sets the options back: not real time, not threaded, 3000 ms.
  void Reset();
  // The target format: a chain converts when at least one of its fields is set.
  TKZWaveFormat& GetFormat() { return *FFormat; }
  bool GetRealTime() const { return FRealTime; }
  void SetRealTime(bool AValue) { FRealTime = AValue; }
  bool GetThreaded() const { return FThreaded; }
  void SetThreaded(bool AValue) { FThreaded = AValue; }
  int32_t GetThreadBufferTime() const { return FThreadBufferTime; }
  void SetThreadBufferTime(int32_t AValue) { FThreadBufferTime = AValue; }
  // What every conversion stream is opened with.
  bool NonRealTime() const { return !FRealTime; }

  // A reading chain over a wave file (or a stream, which stays the caller's).
  std::unique_ptr<TKZStream> CreateReadStream(const std::string& AFileName);
  std::unique_ptr<TKZStream> CreateReadStream(TKZStream& AStream);
  // A writing chain that stores a wave file (or writes into a stream) from data in
  // ASourceFormat: the GetFormat of the stream whose data will be written, a
  // TKZWaveStreamFormat or a complete TKZWaveFormat. A file is created or truncated.
  std::unique_ptr<TKZStream> CreateWriteStream(const std::string& AFileName,
                                               const TKZFormat& ASourceFormat);
  std::unique_ptr<TKZStream> CreateWriteStream(TKZStream& AStream, const TKZFormat& ASourceFormat);
  // The same over an open descriptor, which stays the caller's: the file is never looked up
  // by name again. Why it fails goes into AReport, which must outlive the chain.
  std::unique_ptr<TKZStream> CreateReadStream(int ADescriptor, TKZFileReport* AReport);
  std::unique_ptr<TKZStream> CreateWriteStream(int ADescriptor, const TKZFormat& ASourceFormat,
                                               TKZFileReport* AReport);

  // Fill the given stack and answer its result.
  std::unique_ptr<TKZStream> BuildReadChain(TKZStreamFactory& AFactory);
  std::unique_ptr<TKZStream> BuildWriteChain(TKZStreamFactory& AFactory,
                                             const TKZFormat& ASourceFormat);

  static constexpr int32_t DefaultThreadBufferTime = 3000;

 private:
  void AddThreadStream(TKZStreamFactory& AFactory) const;

  std::unique_ptr<TKZWaveFormat> FFormat;
  bool FRealTime = false;
  bool FThreaded = false;
  int32_t FThreadBufferTime = DefaultThreadBufferTime;
};
