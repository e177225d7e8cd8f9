#pragma once

#include <cstdint>
#include <memory>

#include "core/UKZArea.h"
#include "core/UKZMemory.h"
#include "platform/acm/Acm.h"
#include "stream/UKZStream.h"
#include "wave/UKZWaveFormat.h"
#include "wave/UKZWaveStream.h"

// The machinery of one conversion of the audio compression manager: its header, its two
// buffers, the open conversion itself, and the stream that converts on the fly.
//
// Unless said otherwise every failure raises Exception with an empty message.

// One ACMSTREAMHEADER and the manager's rules for it: prepared before a conversion, its
// buffers fixed while prepared, and its prepared lengths back in place when it is unprepared.
// The manager keeps the header's address while it is prepared, so a header never moves.
class TKZACMStreamHeader {
 public:
  TKZACMStreamHeader();
  // Destructors never raise: the owner unprepares the header before it lets it go.
  virtual ~TKZACMStreamHeader();
  TKZACMStreamHeader(const TKZACMStreamHeader&) = delete;
  TKZACMStreamHeader& operator=(const TKZACMStreamHeader&) = delete;

  bool Prepared() const;
  void CheckPrepared() const;
  void CheckNotPrepared() const;
  // Each raises for an empty area and on a prepared header.
  void SetSource(const TKZArea& AArea);
  void SetDestination(const TKZArea& AArea);
  int32_t SourceLength() const;
  // Raises on a prepared header for a length above the one it was prepared with.
  void SetSourceLength(int32_t ALength);
  // These raise on a header that is not prepared.
  int32_t SourceLengthUsed() const;
  int32_t DestinationLengthUsed() const;
  void SaveLengths();
  void RestoreLengths();
  ACMSTREAMHEADER* HeaderRecord() { return &FHeader; }

  static constexpr uint32_t HeaderSize = 84;

 private:
  ACMSTREAMHEADER FHeader;
  int32_t FPreparedSourceLength = 0;
  int32_t FPreparedDestinationLength = 0;
};

// A memory block of one conversion, allocated once, and the valid bytes in it (FData), which
// always lie inside the block.
class TKZACMStreamBuffer {
 public:
  explicit TKZACMStreamBuffer(int32_t ASize);
  virtual ~TKZACMStreamBuffer();
  TKZACMStreamBuffer(const TKZACMStreamBuffer&) = delete;
  TKZACMStreamBuffer& operator=(const TKZACMStreamBuffer&) = delete;

  // ACount bytes have entered the buffer / left it.
  virtual void Produced(int32_t ACount) = 0;
  virtual void Consumed(int32_t ACount) = 0;
  // A buffer of the class it is called for, with a block of ASize bytes, not cleared.
  template <class T>
  static std::unique_ptr<T> CreateBuffer(int32_t ASize) {
    return std::make_unique<T>(ASize);
  }

  TKZArea GetData() const { return FData; }
  TKZArea GetMemory() const { return FMemory->FArea; }
  // The space behind the data; the whole block while there is no data.
  TKZArea GetFree() const;
  // Raises for a non-empty area that does not lie inside the block.
  void SetData(const TKZArea& AArea);

 private:
  TKZArea FData;
  std::unique_ptr<TKZMemChunk> FMemory;
};

// Bytes waiting to be converted, always packed at the start of the block. Counts of 0 or less,
// and counts beyond the data or the block, raise.
class TKZACMStreamSourceBuffer : public TKZACMStreamBuffer {
 public:
  using TKZACMStreamBuffer::TKZACMStreamBuffer;

  template <class T = TKZACMStreamSourceBuffer>
  static std::unique_ptr<T> CreateBuffer(int32_t ASize) {
    return TKZACMStreamBuffer::CreateBuffer<T>(ASize);
  }

  void Produced(int32_t ACount) override;
  void Consumed(int32_t ACount) override;
};

// Converted bytes waiting to be delivered: the undelivered tail of what the last conversion
// wrote at the start of the block. Output while earlier output is pending, and bad counts,
// are ignored without a word.
class TKZACMStreamDestinationBuffer : public TKZACMStreamBuffer {
 public:
  using TKZACMStreamBuffer::TKZACMStreamBuffer;

  template <class T = TKZACMStreamDestinationBuffer>
  static std::unique_ptr<T> CreateBuffer(int32_t ASize) {
    return TKZACMStreamBuffer::CreateBuffer<T>(ASize);
  }

  void Produced(int32_t ACount) override;
  void Consumed(int32_t ACount) override;
};

// One open conversion of the manager. The formats passed in are completed on the way (a PCM
// format derives its fields).
class TKZACMStream {
 public:
  // Takes the handle.
  explicit TKZACMStream(HACMSTREAM AHandle);
  // Closes the handle when nobody did; a failure is swallowed here.
  virtual ~TKZACMStream();
  TKZACMStream(const TKZACMStream&) = delete;
  TKZACMStream& operator=(const TKZACMStream&) = delete;

  // A conversion from ASource to ADestination, or none when the manager cannot make it.
  template <class T = TKZACMStream>
  static std::unique_ptr<T> Open(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination,
                                 bool ANonRealTime) {
    HACMSTREAM handle = OpenHandle(ASource, ADestination, ANonRealTime);
    if (!handle) return nullptr;
    try {
      return std::make_unique<T>(handle);
    } catch (...) {
      acmStreamClose(handle, 0);
      throw;
    }
  }
  // Whether Open would succeed; opens nothing.
  static bool CanOpen(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination,
                      bool ANonRealTime);
  static uint32_t OpenFlags(bool ANonRealTime);

  // Closes the handle, raising when the manager refuses; it is given up either way.
  void Close();
  HACMSTREAM GetHandle() const { return FHandle; }

  // False, without asking the manager, for a header already prepared (or not prepared).
  bool PrepareHeader(TKZACMStreamHeader& AHeader);
  bool UnprepareHeader(TKZACMStreamHeader& AHeader);
  // One conversion of the header's source length, whole blocks first; when not one whole block
  // is there, the part of a block. A conversion may deliver only what it held from the call
  // before and use no input: the caller comes again with the same source. False when the
  // manager fails. Raises for an unprepared header and a source length of 0.
  bool Convert(TKZACMStreamHeader& AHeader);
  // One step of the end of the signal: converts the header's source (which may be empty) and
  // releases what the conversion still holds. Repeated until a step neither uses nor makes a
  // byte. False when the manager fails.
  bool Flush(TKZACMStreamHeader& AHeader);

  // The destination bytes ASourceSize source bytes make, and the source bytes whose output fits
  // ADestinationSize bytes. Raise when the manager cannot tell or the answer exceeds 32 bits.
  int32_t DestinationSizeFor(int32_t ASourceSize);
  int32_t SourceSizeFor(int32_t ADestinationSize);
  // About BufferSize bytes each, and never less than two blocks of its format.
  void GetBufferSizes(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination,
                      int32_t& ASourceSize, int32_t& ADestinationSize);
  int32_t SourceBufferSize(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination);
  int32_t DestinationBufferSize(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination);

  static constexpr int32_t BufferSize = 8192;

 private:
  static HACMSTREAM OpenHandle(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination,
                               bool ANonRealTime);
  int32_t Size(int32_t AInput, uint32_t AFlags);

  HACMSTREAM FHandle;
};

// The parts of one conversion while it is built; then handed whole to the conversion stream.
// What it holds is released as FreeState releases it, quietly, when nobody did.
struct TKZACMConversionState {
  TKZACMConversionState() = default;
  TKZACMConversionState(TKZACMConversionState&&) = default;
  TKZACMConversionState& operator=(TKZACMConversionState&&) = default;
  ~TKZACMConversionState();

  bool Writing = false;
  // The inner stream; not owned.
  TKZStream* Stream = nullptr;
  // What Read delivers (a reader) or Write accepts (a writer).
  std::unique_ptr<TKZWaveFormat> Format;
  std::unique_ptr<TKZACMStream> ACMStream;
  std::unique_ptr<TKZACMStreamSourceBuffer> SourceBuffer;
  std::unique_ptr<TKZACMStreamDestinationBuffer> DestinationBuffer;
  // Prepared on ACMStream over the whole memory of both buffers.
  std::unique_ptr<TKZACMStreamHeader> Header;
};

// A stream that converts audio from one wave format to another on the fly, over an inner
// stream whose format is a TKZWaveStreamFormat. A reader reads the inner stream and delivers
// its data converted; a writer takes data in its own format and writes it converted into the
// inner stream, which it does not own and which must outlive it.
//
//   Read   (readers) fills the area across as many conversions as needed; short only at the
//          end, where everything the conversion still holds is delivered first. -1 when the
//          inner stream or the conversion fails.
//   Write  (writers) converts whenever its source buffer is full. -1 when the conversion or
//          the inner stream fails; from then on every Write answers -1.
//   Close  a writer converts what is pending, releases what the conversion holds and writes
//          it all into the inner stream; both kinds then unprepare and close the conversion.
//          Raises when any of it fails, and for a writer whose Write failed earlier (its output
//          is incomplete). The destructor closes when nobody did and swallows the failure.
//
// Read on a writer, Write on a reader, and an area without address or with a negative size
// raise.
class TKZACMConversionStream : public TKZStream {
 public:
  // Takes over a state whose header is prepared; raises when its format is not complete.
  explicit TKZACMConversionStream(TKZACMConversionState AState);
  ~TKZACMConversionStream() override;

  // The delivered format (a reader: the manager's suggestion, every field set) or the accepted
  // one (a writer: the one it was made with); no sample count.
  const TKZFormat* GetFormat() override;
  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  void Close() override;

  // A reader of AStream's data converted into the format the manager suggests for the fields
  // AFormat fixes; none when it suggests nothing or cannot convert. Raises when AStream's
  // format is not a complete wave stream format.
  template <class T = TKZACMConversionStream>
  static std::unique_ptr<T> CreateReader(TKZStream& AStream, const TKZWaveFormat& AFormat,
                                         bool ANonRealTime) {
    TKZACMConversionState state;
    if (!BuildReader(state, AStream, AFormat, ANonRealTime)) return nullptr;
    return std::make_unique<T>(std::move(state));
  }
  // A writer that accepts the complete format AFormat and writes into AStream in AStream's
  // format; none when the manager cannot convert. Raises for an incomplete AFormat and when
  // AStream has no wave stream format.
  template <class T = TKZACMConversionStream>
  static std::unique_ptr<T> CreateWriter(const TKZWaveFormat& AFormat, TKZStream& AStream,
                                         bool ANonRealTime) {
    TKZACMConversionState state;
    if (!BuildWriter(state, AFormat, AStream, ANonRealTime)) return nullptr;
    return std::make_unique<T>(std::move(state));
  }

  static void InitState(bool AWriting, TKZACMConversionState& AState);
  // Unprepares the header, then frees the buffers, the header, the conversion (closing it) and
  // the format; raises the first failure after releasing everything.
  static void FreeState(TKZACMConversionState& AState);

 private:
  static bool BuildReader(TKZACMConversionState& AState, TKZStream& AStream,
                          const TKZWaveFormat& AFormat, bool ANonRealTime);
  static bool BuildWriter(TKZACMConversionState& AState, const TKZWaveFormat& AFormat,
                          TKZStream& AStream, bool ANonRealTime);
  static bool OpenConversion(TKZACMConversionState& AState, const TKZWaveFormat& ASource,
                             const TKZWaveFormat& ADestination, bool ANonRealTime);

  bool ConvertBuffer();
  bool FlushBuffer();
  bool FillAndConvert();
  bool ConvertAndWrite();
  bool WriteDestination();
  void Finish();
  void TellFrameCount();

  TKZACMConversionState FState;
  std::unique_ptr<TKZWaveStreamFormat> FStreamFormat;
  bool FInnerEnded = false;  // a reader's inner stream has reported its end
  bool FFlushed = false;     // the end of the signal has been converted and released
  bool FFailed = false;      // a writer's Write failed; its output is incomplete
  bool FClosed = false;
  uint64_t FAccepted = 0;  // bytes a writer took
};
