#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "core/UKZObject.h"
#include "platform/mmio/Mmio.h"
#include "stream/UKZStream.h"

// The RIFF file layer: chunk-level and byte-level access to one multimedia file, on disk or on
// any TKZStream, and the file as a TKZStream. Every transfer is one call of the multimedia file
// I/O, which buffers them when the file was given a buffer (SetBuffer).

// One chunk's bookkeeping, filled by the multimedia file I/O.
class TKZRiffChunk : public TObject {
 public:
  TKZRiffChunk(FOURCC ACkId, FOURCC AFccType);

  MMCKINFO* GetInfo() { return &FInfo; }
  const MMCKINFO* GetInfo() const { return &FInfo; }
  // The chunk's data as a range of the file. A size that would reach past the largest 32-bit
  // offset is cut there (a stream's positions are 32-bit).
  TKZArea GetDataArea() const;
  // The size of the chunk's data: its header's, or the 64-bit one an RF64 file's ds64 chunk
  // gives for it.
  int64_t GetDataSize() const { return FDataSize >= 0 ? FDataSize : FInfo.cksize; }
  void SetDataSize(int64_t ASize) { FDataSize = ASize; }
  // For an RF64 form: the sizes of its ds64 chunk (-1 for a RIFF form).
  int64_t GetDs64DataSize() const { return FDs64DataSize; }
  int64_t GetDs64SampleCount() const { return FDs64SampleCount; }
  void SetDs64(int64_t ADataSize, int64_t ASampleCount) {
    FDs64DataSize = ADataSize;
    FDs64SampleCount = ASampleCount;
  }

 private:
  MMCKINFO FInfo;
  int64_t FDataSize = -1;
  int64_t FDs64DataSize = -1;
  int64_t FDs64SampleCount = -1;
};

enum TKZMMIOOpenMode : uint8_t { omRead = 0, omWrite = 1, omReadWrite = 2 };

// A set of open modes, written as {omRead} or {omRead, omWrite}.
class TKZMMIOOpenModes {
 public:
  constexpr TKZMMIOOpenModes() = default;
  constexpr TKZMMIOOpenModes(std::initializer_list<TKZMMIOOpenMode> AModes) {
    for (TKZMMIOOpenMode mode : AModes)
      FBits = static_cast<uint8_t>(FBits | 1u << mode);
  }
  constexpr bool Contains(TKZMMIOOpenMode AMode) const { return (FBits >> AMode) & 1u; }

 private:
  uint8_t FBits = 0;
};

// What went wrong with one file, for the person told about it: the system error (errno) of
// its first failing call, the first reason it was refused (MMIO_REFUSED_...), and for a wave
// file read, the size of its data chunk as its header says and as the file holds it. Zero
// for what is not known.
struct TKZFileReport {
  int SystemError = 0;
  uint32_t Refusal = 0;
  int64_t DeclaredDataSize = 0;
  int64_t DataSize = 0;
  // Keeps the first of each: what is known already stays.
  void Merge(int ASystemError, uint32_t ARefusal) {
    if (SystemError == 0) SystemError = ASystemError;
    if (Refusal == 0) Refusal = ARefusal;
  }
};

// Owns one open multimedia file. Platform failures raise Exception with an empty message;
// searches that find nothing answer none.
class TKZMMIO : public TKZObject {
 public:
  // Takes ownership of the handle.
  explicit TKZMMIO(HMMIO AHandle) : FHandle(AHandle) {}
  // Closes the file when nobody did; a failure to close is swallowed here.
  ~TKZMMIO() override;
  // Closes the file, raising when that fails; the handle is released either way. Closing
  // again does nothing.
  void Close();

  // A disk file; none when it cannot be opened. Always a TKZMMIO, whatever the caller wants.
  static std::unique_ptr<TKZMMIO> Open(const std::string& AFileName, TKZMMIOOpenModes AModes);
  // The open file ADescriptor from its start, through a duplicate: the descriptor stays the
  // caller's. omWrite empties the file. Why it failed goes into AReport when given.
  static std::unique_ptr<TKZMMIO> OpenDescriptor(int ADescriptor, TKZMMIOOpenModes AModes,
                                                 TKZFileReport* AReport = nullptr);
  // A file whose bytes come from and go to AStream, which stands at the file's start, stays
  // the caller's and must outlive the file.
  static std::unique_ptr<TKZMMIO> OpenOnStream(TKZStream& AStream, TKZMMIOOpenModes AModes);
  // omRead: MMIO_READ; omWrite: MMIO_WRITE | MMIO_CREATE; omReadWrite: MMIO_READWRITE.
  static uint32_t ModeFlags(TKZMMIOOpenModes AModes);
  static FOURCC StringToFOURCC(const char* AText);

  HMMIO GetHandle() const { return FHandle; }
  // Moves the bytes through a buffer of ASize bytes (0: none); false when it cannot be had.
  bool SetBuffer(int32_t ASize) { return mmioSetBuffer(FHandle, nullptr, ASize, 0) == 0; }
  // The count moved (0 at the end); raises on failure.
  int32_t Read(const TKZArea& AArea);
  int32_t Write(const TKZArea& AArea);
  // The new offset from the start of the file; raises on failure.
  int64_t Seek(const TKZSeek& ASeek);
  // To AOffset from the start of the file, which may pass 2 GiB; raises on failure.
  void SeekTo(int64_t AOffset);
  // The offset the file stands at.
  int64_t Tell() const;

  // Writes a RIFF header (size 0) at the current offset; raises when it cannot.
  std::unique_ptr<TKZRiffChunk> CreateRiff(FOURCC AFccType);
  // Writes a chunk header (size 0) at the current offset; none when it cannot.
  std::unique_ptr<TKZRiffChunk> CreateChunk(const TKZRiffChunk& AParent, FOURCC ACkId);
  // The RIFF chunk at the current offset when it is of that form type, standing after its
  // type; none otherwise (the reason is noted: no RIFF header, another form). An RF64 (or
  // BW64) form is taken with its ds64 chunk, which must follow the form type: its 64-bit sizes
  // go to the form's chunk, and the file stands after the ds64 chunk.
  std::unique_ptr<TKZRiffChunk> DescendRiff(FOURCC AFccType);
  // Finds a chunk inside AParent from the current offset and stands at its data; when none is
  // found the file stays where it was.
  std::unique_ptr<TKZRiffChunk> Descend(const TKZRiffChunk& AParent, FOURCC ACkId);
  // Leaves the chunk (for one created here: fixes its size and pads odd data) and frees it,
  // whether or not that worked.
  bool Ascend(std::unique_ptr<TKZRiffChunk> AChunk);

  // Notes why the file is refused (MMIO_REFUSED_...), unless a reason is noted already.
  void Refuse(uint32_t ARefusal);
  // Why the file failed so far. From SetReport on, that goes to AReport (which must outlive
  // this file) as well, and stays there once the file is closed.
  TKZFileReport& Report();
  void SetReport(TKZFileReport* AReport);

 private:
  HMMIO FHandle;
  TKZFileReport FOwnReport;
  TKZFileReport* FReport = &FOwnReport;
};

// Serves the I/O procedure messages of one multimedia file from a stream it does not own.
// It lives in the file's adwInfo[0] from the file's opening and frees itself when the file
// closes.
class TKZMMIOIOProc : public TObject {
 public:
  explicit TKZMMIOIOProc(TKZStream& AStream) : FStream(&AStream) {}

  LRESULT HandleMessage(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2);
  // The procedure given to the multimedia file I/O; passes each message to the object in the
  // record's adwInfo[0], and answers 0 when there is none.
  static LRESULT IOProc(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2);

 private:
  TKZStream* FStream;
};

// A multimedia file as a stream. Platform failures raise instead of answering -1; the stream
// tells no position and has no format.
class TKZMMIOStream : public TKZStream {
 public:
  // Over a file that stays its owner's.
  explicit TKZMMIOStream(TKZMMIO& AMMIO) : FMMIO(&AMMIO) {}
  // Over a file that this stream owns and closes.
  explicit TKZMMIOStream(std::unique_ptr<TKZMMIO> AMMIO)
      : FMMIO(AMMIO.get()), FOwnedMMIO(std::move(AMMIO)) {}

  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  bool Seek(const TKZSeek& ASeek) override;
  // Closes an owned file, raising when that fails.
  void Close() override;

  template <class T = TKZMMIOStream>
  static std::unique_ptr<T> Open(const std::string& AFileName, TKZMMIOOpenModes AModes) {
    auto mmio = TKZMMIO::Open(AFileName, AModes);
    return mmio ? std::make_unique<T>(std::move(mmio)) : nullptr;
  }
  template <class T = TKZMMIOStream>
  static std::unique_ptr<T> OpenDescriptor(int ADescriptor, TKZMMIOOpenModes AModes,
                                           TKZFileReport* AReport = nullptr) {
    auto mmio = TKZMMIO::OpenDescriptor(ADescriptor, AModes, AReport);
    return mmio ? std::make_unique<T>(std::move(mmio)) : nullptr;
  }
  template <class T = TKZMMIOStream>
  static std::unique_ptr<T> OpenOnStream(TKZStream& AStream, TKZMMIOOpenModes AModes) {
    auto mmio = TKZMMIO::OpenOnStream(AStream, AModes);
    return mmio ? std::make_unique<T>(std::move(mmio)) : nullptr;
  }

  TKZMMIO& GetMMIO() const { return *FMMIO; }
  // The chunk's data as a stream over this one: reads stop at the chunk's end, writes grow it.
  std::unique_ptr<TKZChildStream> CreateChunkStream(const TKZRiffChunk& AChunk);

 private:
  TKZMMIO* FMMIO;
  std::unique_ptr<TKZMMIO> FOwnedMMIO;
};
