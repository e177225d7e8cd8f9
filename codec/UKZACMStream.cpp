#include "codec/UKZACMStream.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "codec/UKZACMFormat.h"
#include "core/UKZObject.h"
#include "platform/acm/AcmSamples.h"

namespace {

// Keeps the first failure of a sequence of steps that must all run.
class TFirstFailure {
 public:
  template <class Step>
  void Run(Step AStep) {
    try {
      AStep();
    } catch (...) {
      Note();
    }
  }
  void Note() {
    if (!FFailure) FFailure = std::current_exception();
  }
  void Raise() const {
    if (FFailure) std::rethrow_exception(FFailure);
  }

 private:
  std::exception_ptr FFailure;
};

int32_t Int32(uint32_t AValue) {
  if (AValue > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) Fail();
  return static_cast<int32_t>(AValue);
}

const TKZWaveStreamFormat& WaveStreamFormatOf(TKZStream& AStream) {
  const auto* format = dynamic_cast<const TKZWaveStreamFormat*>(AStream.GetFormat());
  if (!format) Fail();
  return *format;
}

}  // namespace

// ---- TKZACMStreamHeader

TKZACMStreamHeader::TKZACMStreamHeader() : FHeader() {
  FHeader.cbStruct = HeaderSize;
}

TKZACMStreamHeader::~TKZACMStreamHeader() = default;

bool TKZACMStreamHeader::Prepared() const {
  return (FHeader.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0;
}

void TKZACMStreamHeader::CheckPrepared() const {
  if (!Prepared()) Fail();
}

void TKZACMStreamHeader::CheckNotPrepared() const {
  if (Prepared()) Fail();
}

void TKZACMStreamHeader::SetSource(const TKZArea& AArea) {
  CheckAreaNotEmpty(AArea);
  CheckNotPrepared();
  FHeader.pbSrc = AreaBytes(AArea);
  FHeader.cbSrcLength = static_cast<uint32_t>(AArea.Size);
}

void TKZACMStreamHeader::SetDestination(const TKZArea& AArea) {
  CheckAreaNotEmpty(AArea);
  CheckNotPrepared();
  FHeader.pbDst = AreaBytes(AArea);
  FHeader.cbDstLength = static_cast<uint32_t>(AArea.Size);
}

int32_t TKZACMStreamHeader::SourceLength() const {
  return static_cast<int32_t>(FHeader.cbSrcLength);
}

void TKZACMStreamHeader::SetSourceLength(int32_t ALength) {
  if (Prepared() && ALength > FPreparedSourceLength) Fail();
  FHeader.cbSrcLength = static_cast<uint32_t>(ALength);
}

int32_t TKZACMStreamHeader::SourceLengthUsed() const {
  CheckPrepared();
  return static_cast<int32_t>(FHeader.cbSrcLengthUsed);
}

int32_t TKZACMStreamHeader::DestinationLengthUsed() const {
  CheckPrepared();
  return static_cast<int32_t>(FHeader.cbDstLengthUsed);
}

void TKZACMStreamHeader::SaveLengths() {
  CheckPrepared();
  FPreparedSourceLength = static_cast<int32_t>(FHeader.cbSrcLength);
  FPreparedDestinationLength = static_cast<int32_t>(FHeader.cbDstLength);
}

void TKZACMStreamHeader::RestoreLengths() {
  CheckPrepared();
  FHeader.cbSrcLength = static_cast<uint32_t>(FPreparedSourceLength);
  FHeader.cbDstLength = static_cast<uint32_t>(FPreparedDestinationLength);
}

// ---- Buffers

TKZACMStreamBuffer::TKZACMStreamBuffer(int32_t ASize)
    : FData(EmptyArea()), FMemory(TKZMemChunk::CreateSized(ASize)) {}

TKZACMStreamBuffer::~TKZACMStreamBuffer() = default;

TKZArea TKZACMStreamBuffer::GetFree() const {
  if (!AreaNotEmpty(FData)) return GetMemory();
  return MemAreaFromBounds(MemAreaEnd(FData), MemAreaEnd(GetMemory()));
}

void TKZACMStreamBuffer::SetData(const TKZArea& AArea) {
  if (AreaNotEmpty(AArea) && !AreaContains(GetMemory(), AArea)) Fail();
  FData = AArea;
}

void TKZACMStreamSourceBuffer::Produced(int32_t ACount) {
  if (ACount <= 0) Fail();
  const int64_t size = int64_t{GetData().Size} + ACount;
  if (size > GetMemory().Size) Fail();
  SetData(MemArea(GetMemory().Start, static_cast<int32_t>(size)));
}

void TKZACMStreamSourceBuffer::Consumed(int32_t ACount) {
  const TKZArea data = GetData();
  if (ACount <= 0 || ACount > data.Size) Fail();
  const int32_t rest = data.Size - ACount;
  // The remainder moves to the front, where the prepared header's source starts.
  if (rest != 0) HKZMemory::Move(AreaBytes(data) + ACount, AreaBytes(data), rest);
  SetData(MemArea(data.Start, rest));
}

void TKZACMStreamDestinationBuffer::Produced(int32_t ACount) {
  if (ACount <= 0 || AreaNotEmpty(GetData())) return;
  SetData(MemArea(GetMemory().Start, ACount));
}

void TKZACMStreamDestinationBuffer::Consumed(int32_t ACount) {
  TKZArea data = GetData();
  if (ACount <= 0 || ACount > data.Size) return;
  AreaSkip(data, ACount);
  SetData(data);
}

// ---- TKZACMStream

TKZACMStream::TKZACMStream(HACMSTREAM AHandle) : FHandle(AHandle) {}

TKZACMStream::~TKZACMStream() {
  try {
    Close();
  } catch (...) {
  }
}

uint32_t TKZACMStream::OpenFlags(bool ANonRealTime) {
  return ANonRealTime ? ACM_STREAMOPENF_NONREALTIME : 0;
}

HACMSTREAM TKZACMStream::OpenHandle(const TKZWaveFormat& ASource, const TKZWaveFormat& ADest,
                                    bool ANonRealTime) {
  HACMSTREAM handle = nullptr;
  if (acmStreamOpen(&handle, nullptr, WaveRecordOf(ASource), WaveRecordOf(ADest), nullptr, 0, 0,
                    OpenFlags(ANonRealTime)) != MMSYSERR_NOERROR)
    return nullptr;
  return handle;
}

bool TKZACMStream::CanOpen(const TKZWaveFormat& ASource, const TKZWaveFormat& ADest,
                           bool ANonRealTime) {
  return acmStreamOpen(nullptr, nullptr, WaveRecordOf(ASource), WaveRecordOf(ADest), nullptr, 0, 0,
                       OpenFlags(ANonRealTime) | ACM_STREAMOPENF_QUERY) == MMSYSERR_NOERROR;
}

void TKZACMStream::Close() {
  if (!FHandle) return;
  HACMSTREAM handle = FHandle;
  FHandle = nullptr;
  if (acmStreamClose(handle, 0) != MMSYSERR_NOERROR) Fail();
}

bool TKZACMStream::PrepareHeader(TKZACMStreamHeader& AHeader) {
  if (AHeader.Prepared()) return false;
  if (acmStreamPrepareHeader(FHandle, AHeader.HeaderRecord(), 0) != MMSYSERR_NOERROR) return false;
  AHeader.SaveLengths();
  return true;
}

bool TKZACMStream::UnprepareHeader(TKZACMStreamHeader& AHeader) {
  if (!AHeader.Prepared()) return false;
  AHeader.RestoreLengths();
  return acmStreamUnprepareHeader(FHandle, AHeader.HeaderRecord(), 0) == MMSYSERR_NOERROR;
}

bool TKZACMStream::Convert(TKZACMStreamHeader& AHeader) {
  AHeader.CheckPrepared();
  if (AHeader.SourceLength() == 0) Fail();
  if (acmStreamConvert(FHandle, AHeader.HeaderRecord(), ACM_STREAMCONVERTF_BLOCKALIGN) !=
      MMSYSERR_NOERROR)
    return false;
  if (AHeader.SourceLengthUsed() != 0) return true;
  // Output without input is what the last call made beyond its destination, delivered first;
  // the source waits for the next call.
  if (AHeader.DestinationLengthUsed() != 0) return true;
  // Less than one whole block.
  return acmStreamConvert(FHandle, AHeader.HeaderRecord(), 0) == MMSYSERR_NOERROR;
}

bool TKZACMStream::Flush(TKZACMStreamHeader& AHeader) {
  AHeader.CheckPrepared();
  return acmStreamConvert(FHandle, AHeader.HeaderRecord(), ACM_STREAMCONVERTF_END) ==
         MMSYSERR_NOERROR;
}

int32_t TKZACMStream::Size(int32_t AInput, uint32_t AFlags) {
  if (AInput < 0) Fail();
  uint32_t output = 0;
  if (acmStreamSize(FHandle, static_cast<uint32_t>(AInput), &output, AFlags) != MMSYSERR_NOERROR)
    Fail();
  return Int32(output);
}

int32_t TKZACMStream::DestinationSizeFor(int32_t ASourceSize) {
  return Size(ASourceSize, ACM_STREAMSIZEF_SOURCE);
}

int32_t TKZACMStream::SourceSizeFor(int32_t ADestinationSize) {
  return Size(ADestinationSize, ACM_STREAMSIZEF_DESTINATION);
}

void TKZACMStream::GetBufferSizes(const TKZWaveFormat& ASource, const TKZWaveFormat& ADestination,
                                  int32_t& ASourceSize, int32_t& ADestinationSize) {
  const int32_t sourceBlocks = 2 * int32_t{ASource.GetBlockAlign()};
  const int32_t destinationBlocks = 2 * int32_t{ADestination.GetBlockAlign()};
  int32_t source = BufferSize;
  int32_t destination = DestinationSizeFor(source);
  if (destination > BufferSize) {
    destination = BufferSize;
    source = SourceSizeFor(BufferSize);
  }
  if (source < sourceBlocks) {
    source = sourceBlocks;
    destination = DestinationSizeFor(source);
  }
  if (destination < destinationBlocks) {
    destination = destinationBlocks;
    source = SourceSizeFor(destination);
    if (source < sourceBlocks) source = sourceBlocks;
  }
  ASourceSize = source;
  ADestinationSize = destination;
}

int32_t TKZACMStream::SourceBufferSize(const TKZWaveFormat& ASource,
                                       const TKZWaveFormat& ADestination) {
  int32_t source, destination;
  GetBufferSizes(ASource, ADestination, source, destination);
  return source;
}

int32_t TKZACMStream::DestinationBufferSize(const TKZWaveFormat& ASource,
                                            const TKZWaveFormat& ADestination) {
  int32_t source, destination;
  GetBufferSizes(ASource, ADestination, source, destination);
  return destination;
}

// ---- TKZACMConversionState

TKZACMConversionState::~TKZACMConversionState() {
  try {
    TKZACMConversionStream::FreeState(*this);
  } catch (...) {
  }
}

// ---- TKZACMConversionStream

TKZACMConversionStream::TKZACMConversionStream(TKZACMConversionState AState)
    : FState(std::move(AState)),
      FStreamFormat(TKZWaveStreamFormat::CreateFromFormat(FState.Format.get())) {
  if (!FState.Stream || !FState.ACMStream || !FState.SourceBuffer || !FState.DestinationBuffer ||
      !FState.Header || !FState.Header->Prepared())
    Fail();
}

TKZACMConversionStream::~TKZACMConversionStream() {
  try {
    Close();
  } catch (...) {
  }
}

const TKZFormat* TKZACMConversionStream::GetFormat() {
  return FStreamFormat.get();
}

void TKZACMConversionStream::InitState(bool AWriting, TKZACMConversionState& AState) {
  FreeState(AState);
  AState.Writing = AWriting;
  AState.Stream = nullptr;
  AState.Format = TKZWaveFormat::CreateDefault();
}

void TKZACMConversionStream::FreeState(TKZACMConversionState& AState) {
  TFirstFailure failure;
  if (AState.ACMStream && AState.Header && AState.Header->Prepared()) {
    failure.Run([&] {
      if (!AState.ACMStream->UnprepareHeader(*AState.Header)) Fail();
    });
  }
  AState.SourceBuffer.reset();
  AState.DestinationBuffer.reset();
  AState.Header.reset();
  if (AState.ACMStream) failure.Run([&] { AState.ACMStream->Close(); });
  AState.ACMStream.reset();
  AState.Format.reset();
  failure.Raise();
}

bool TKZACMConversionStream::OpenConversion(TKZACMConversionState& AState,
                                            const TKZWaveFormat& ASource,
                                            const TKZWaveFormat& ADestination, bool ANonRealTime) {
  AState.ACMStream = TKZACMStream::Open(ASource, ADestination, ANonRealTime);
  if (!AState.ACMStream) return false;
  int32_t source, destination;
  AState.ACMStream->GetBufferSizes(ASource, ADestination, source, destination);
  AState.SourceBuffer = TKZACMStreamSourceBuffer::CreateBuffer(source);
  AState.DestinationBuffer = TKZACMStreamDestinationBuffer::CreateBuffer(destination);
  AState.Header = std::make_unique<TKZACMStreamHeader>();
  AState.Header->SetSource(AState.SourceBuffer->GetMemory());
  AState.Header->SetDestination(AState.DestinationBuffer->GetMemory());
  return AState.ACMStream->PrepareHeader(*AState.Header);
}

bool TKZACMConversionStream::BuildReader(TKZACMConversionState& AState, TKZStream& AStream,
                                         const TKZWaveFormat& AFormat, bool ANonRealTime) {
  InitState(false, AState);
  const TKZWaveFormat& source = WaveStreamFormatOf(AStream).WaveFormat();
  auto suggested = HKZACMFormat::SuggestFormat(source, AFormat);
  if (!suggested) return false;
  AState.Stream = &AStream;
  AState.Format->Assign(suggested.get());
  return OpenConversion(AState, source, *AState.Format, ANonRealTime);
}

bool TKZACMConversionStream::BuildWriter(TKZACMConversionState& AState,
                                         const TKZWaveFormat& AFormat, TKZStream& AStream,
                                         bool ANonRealTime) {
  AFormat.CheckComplete();
  InitState(true, AState);
  AState.Format->Assign(&AFormat);
  AState.Stream = &AStream;
  return OpenConversion(AState, *AState.Format, WaveStreamFormatOf(AStream).WaveFormat(),
                        ANonRealTime);
}

// One conversion of the pending source bytes; called only while no output is pending.
bool TKZACMConversionStream::ConvertBuffer() {
  TKZACMStreamHeader& header = *FState.Header;
  header.SetSourceLength(FState.SourceBuffer->GetData().Size);
  if (!FState.ACMStream->Convert(header)) return false;
  if (FState.DestinationBuffer->GetMemory().Size < header.DestinationLengthUsed() ||
      FState.SourceBuffer->GetMemory().Size < header.SourceLengthUsed())
    Fail();
  // Held output alone is progress too; a call that neither uses nor makes a byte would be
  // repeated for ever.
  if (header.SourceLengthUsed() == 0 && header.DestinationLengthUsed() == 0) Fail();
  if (header.SourceLengthUsed() > 0) FState.SourceBuffer->Consumed(header.SourceLengthUsed());
  FState.DestinationBuffer->Produced(header.DestinationLengthUsed());
  return true;
}

// One step of the end of the signal over the pending source bytes; when it neither used nor
// made a byte, the conversion holds nothing more.
bool TKZACMConversionStream::FlushBuffer() {
  TKZACMStreamHeader& header = *FState.Header;
  header.SetSourceLength(FState.SourceBuffer->GetData().Size);
  if (!FState.ACMStream->Flush(header)) return false;
  const int32_t used = header.SourceLengthUsed(), made = header.DestinationLengthUsed();
  if (FState.DestinationBuffer->GetMemory().Size < made ||
      FState.SourceBuffer->GetData().Size < used || used < 0 || made < 0)
    Fail();
  if (used > 0) FState.SourceBuffer->Consumed(used);
  FState.DestinationBuffer->Produced(made);
  if (used == 0 && made == 0) FFlushed = true;
  return true;
}

// Fills the source buffer until it is full or the inner stream ends: a short read is not the
// end, and a conversion of less than its blocks would cut the signal into padded pieces. Once
// the inner stream has ended, each call makes one step of the end of the signal.
bool TKZACMConversionStream::FillAndConvert() {
  TKZACMStreamSourceBuffer& source = *FState.SourceBuffer;
  while (!FInnerEnded && AreaNotEmpty(source.GetFree())) {
    const int32_t n = FState.Stream->Read(source.GetFree());
    if (n < 0) return false;
    if (n == 0)
      FInnerEnded = true;
    else
      source.Produced(n);
  }
  if (!FInnerEnded) return ConvertBuffer();
  return FFlushed || FlushBuffer();
}

int32_t TKZACMConversionStream::Read(const TKZArea& AArea) {
  if (FState.Writing || AArea.Start == 0 || AArea.Size < 0) Fail();
  if (FClosed) return -1;
  TKZACMStreamDestinationBuffer& output = *FState.DestinationBuffer;
  int32_t total = 0;
  uint8_t* target = AreaBytes(AArea);
  while (total < AArea.Size) {
    if (!AreaNotEmpty(output.GetData()) && !FillAndConvert()) return -1;
    const TKZArea data = output.GetData();
    if (!AreaNotEmpty(data)) {
      if (FFlushed) break;
      continue;  // a step that made nothing yet: the next one may
    }
    const int32_t n = std::min(data.Size, AArea.Size - total);
    HKZMemory::Copy(AreaBytes(data), target, n);
    output.Consumed(n);
    target += n;
    total += n;
  }
  return total;
}

bool TKZACMConversionStream::WriteDestination() {
  const TKZArea data = FState.DestinationBuffer->GetData();
  if (!AreaNotEmpty(data)) return true;
  if (FState.Stream->Write(data) != data.Size) return false;
  FState.DestinationBuffer->Consumed(data.Size);
  return true;
}

bool TKZACMConversionStream::ConvertAndWrite() {
  return ConvertBuffer() && WriteDestination();
}

int32_t TKZACMConversionStream::Write(const TKZArea& AArea) {
  if (!FState.Writing || AArea.Start == 0 || AArea.Size < 0) Fail();
  // After a failure the pending bytes can no longer be put in order.
  if (FClosed || FFailed) return -1;
  TKZACMStreamSourceBuffer& input = *FState.SourceBuffer;
  int32_t total = 0;
  const uint8_t* source = AreaBytes(AArea);
  while (total < AArea.Size) {
    if (!AreaNotEmpty(input.GetFree())) {
      FFailed = true;  // also when the inner stream raises
      if (!ConvertAndWrite()) return -1;
      FFailed = false;
      continue;  // a conversion that delivered only held output freed no room
    }
    const TKZArea free = input.GetFree();
    const int32_t n = std::min(free.Size, AArea.Size - total);
    HKZMemory::Copy(source, AreaBytes(free), n);
    input.Produced(n);
    source += n;
    total += n;
  }
  FAccepted += static_cast<uint64_t>(total);
  return total;
}

// A writer's end: everything pending converted, the conversion's hold released, all of it
// written into the inner stream.
void TKZACMConversionStream::Finish() {
  if (FFailed) Fail();
  while (!FFlushed) {
    if (!FlushBuffer() || !WriteDestination()) {
      FFailed = true;
      Fail();
    }
  }
  TellFrameCount();
}

// A wave file below is told the frames that went into it (in its rate), for its fact chunk:
// the codec pads its last block, and a source's own count may not be what its data held.
void TKZACMConversionStream::TellFrameCount() {
  auto* file = dynamic_cast<TKZMMIOWaveStream*>(FState.Stream);
  const auto* inner = dynamic_cast<const TKZWaveStreamFormat*>(FState.Stream->GetFormat());
  const auto linear = acm::ReadLinearFormat(*FState.Format->GetWaveFormatEx());
  if (!file || !inner || !linear || linear->rate == 0) return;
  const uint64_t frames = FAccepted / linear->FrameBytes(),
                 to = inner->WaveFormat().GetSamplesPerSec();
  const uint64_t scaled = (frames * to + linear->rate / 2) / linear->rate;
  file->SetFrameCount(static_cast<uint32_t>(std::min<uint64_t>(scaled, UINT32_MAX)));
}

void TKZACMConversionStream::Close() {
  if (FClosed) return;
  FClosed = true;
  TFirstFailure failure;
  if (FState.Writing) failure.Run([this] { Finish(); });
  failure.Run([this] { FreeState(FState); });
  failure.Raise();
}
