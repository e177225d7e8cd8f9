#include "wave/UKZWaveStream.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "platform/acm/AcmSamples.h"
#include "platform/rtl/Exception.h"

namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();

FOURCC Code(const char* AText) {
  return TKZMMIO::StringToFOURCC(AText);
}

// A chunk size as a record size: anything beyond 32-bit signed is simply too large.
int32_t SizeOf(const TKZRiffChunk& AChunk) {
  return static_cast<int32_t>(std::min<int64_t>(AChunk.GetInfo()->cksize, kMaxOffset));
}

// Leaves the RIFF chunk of a head that could not be completed, so that what was written is a
// well-formed file, noting why a read one is refused; it answers the failure.
bool Abandon(TKZMMIO& AMMIO, std::unique_ptr<TKZRiffChunk>& ARiff, uint32_t ARefusal = 0) {
  if (ARefusal != 0) AMMIO.Refuse(ARefusal);
  AMMIO.Ascend(std::move(ARiff));
  return false;
}

// The bytes of one frame of a linear format (PCM, float, or either as WAVE_FORMAT_EXTENSIBLE);
// 0 for a codec's format. PCM of odd sizes counts its whole bytes.
uint32_t LinearFrameBytes(TKZWaveFormat& AFormat) {
  if (const auto linear = acm::ReadLinearFormat(*AFormat.GetWaveFormatEx()))
    return linear->FrameBytes();
  if (AFormat.GetFormatTag() != WAVE_FORMAT_PCM) return 0;
  return AFormat.GetChannels() * (AFormat.GetBitsPerSample() / 8u);
}

}  // namespace

TKZWaveStreamFormat::TKZWaveStreamFormat()
    : FWaveFormat(TKZWaveFormat::CreateDefault()), FFact(std::make_unique<TKZWaveFact>()) {}

std::unique_ptr<TKZPersistent> TKZWaveStreamFormat::NewInstance() const {
  return std::make_unique<TKZWaveStreamFormat>();
}

void TKZWaveStreamFormat::AssignTo(TPersistent* ADest) const {
  if (auto dest = dynamic_cast<TKZWaveFormat*>(ADest)) return dest->Assign(FWaveFormat.get());
  TKZFormat::AssignTo(ADest);
}

void TKZWaveStreamFormat::Assign(const TPersistent* ASource) {
  if (auto source = dynamic_cast<const TKZWaveStreamFormat*>(ASource)) {
    FWaveFormat->Assign(source->FWaveFormat.get());
    FFact->Assign(source->FFact.get());
    return;
  }
  if (auto source = dynamic_cast<const TKZWaveFormat*>(ASource)) {
    source->CheckComplete();
    FWaveFormat->Assign(source);
    FFact->Assign(nullptr);
    return;
  }
  TKZFormat::Assign(ASource);
}

void TKZWaveStreamFormat::SetWaveFormat(const TKZWaveFormat* AWaveFormat) {
  if (!AWaveFormat) throw Exception();
  AWaveFormat->CheckComplete();
  FWaveFormat->Assign(AWaveFormat);
}

void TKZWaveStreamFormat::SetFact(const TKZWaveFact* AFact) {
  FFact->Assign(AFact);
}

TKZMMIOWaveStream::TKZMMIOWaveStream(std::unique_ptr<TKZMMIOStream> AMMIOStream,
                                     std::unique_ptr<TKZRiffChunk> ARiffChunk,
                                     std::unique_ptr<TKZRiffChunk> ADataChunk,
                                     const TKZFormat& AFormat)
    : FMMIOStream(std::move(AMMIOStream)),
      FRiffChunk(std::move(ARiffChunk)),
      FDataChunk(std::move(ADataChunk)),
      FFormat(std::make_unique<TKZWaveStreamFormat>()) {
  if (!FMMIOStream || !FRiffChunk || !FDataChunk) throw Exception();
  FFormat->Assign(&AFormat);
  FDataStream = FMMIOStream->CreateChunkStream(*FDataChunk);
}

TKZMMIOWaveStream::~TKZMMIOWaveStream() {
  if (FClosed) return;
  try {
    Close();
  } catch (...) {
  }
}

int32_t TKZMMIOWaveStream::GetPosition() {
  return FDataStream ? FDataStream->GetPosition() : -1;
}

const TKZFormat* TKZMMIOWaveStream::GetFormat() {
  return FFormat.get();
}

int32_t TKZMMIOWaveStream::Read(const TKZArea& AArea) {
  return FDataStream ? FDataStream->Read(AArea) : -1;
}

int32_t TKZMMIOWaveStream::Write(const TKZArea& AArea) {
  return FDataStream ? FDataStream->Write(AArea) : -1;
}

bool TKZMMIOWaveStream::Seek(const TKZSeek& ASeek) {
  return FDataStream && FDataStream->Seek(ASeek);
}

void TKZMMIOWaveStream::Close() {
  if (FClosed) return;
  FClosed = true;
  FDataStream.reset();
  // Chunks created here carry MMIO_DIRTY until their size is in the file.
  const bool writing = (FDataChunk->GetInfo()->dwFlags & MMIO_DIRTY) != 0;
  TKZMMIO& mmio = FMMIOStream->GetMMIO();
  const int64_t data_end = mmioSeek(mmio.GetHandle(), 0, SEEK_CUR);
  const int64_t data_bytes = data_end - FDataChunk->GetInfo()->dwDataOffset;
  std::exception_ptr failure;
  bool ascended = true;
  // The data chunk ends where the last transfer left the file; the RIFF chunk after its pad.
  for (auto* chunk : {&FDataChunk, &FRiffChunk}) {
    try {
      ascended = mmio.Ascend(std::move(*chunk)) && ascended;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (writing && FFactOffset >= 0 && !failure) {
    try {
      ascended = PutFrameCount(data_end >= 0 ? data_bytes : -1) && ascended;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    FMMIOStream->Close();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
  // A reader's chunks need not be left cleanly; a writer's sizes must be in the file.
  if (writing && !ascended) throw Exception();
}

void TKZMMIOWaveStream::SetFrameCount(uint32_t AFrames) {
  FFrames = AFrames;
}

bool TKZMMIOWaveStream::PutFrameCount(int64_t ADataBytes) {
  // A linear format's frames are its data; a codec's are what was converted into it, never
  // more than the head announced (a source's count excludes the padding of its last block).
  auto count = static_cast<uint32_t>(FFormat->Fact().GetSampleCount());
  if (const uint32_t frame = LinearFrameBytes(FFormat->WaveFormat()); frame && ADataBytes >= 0)
    count = static_cast<uint32_t>(std::min<int64_t>(ADataBytes / frame, UINT32_MAX));
  else if (FFrames >= 0)
    count =
        count ? std::min(count, static_cast<uint32_t>(FFrames)) : static_cast<uint32_t>(FFrames);
  const uint8_t bytes[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                            static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
  TKZMMIO& mmio = FMMIOStream->GetMMIO();
  return mmio.Seek(SeekFromBegin(static_cast<int32_t>(FFactOffset))) == FFactOffset &&
         mmio.Write(AreaOf(bytes, 4)) == 4;
}

bool TKZMMIOWaveStream::ReadHead(TKZMMIOStream& AFile, THead& AHead) {
  TKZMMIO& mmio = AFile.GetMMIO();
  TStream& view = *AFile.AsStream();
  auto riff = mmio.DescendRiff(Code("WAVE"));
  if (!riff) return false;

  auto chunk = mmio.Descend(*riff, Code("fmt "));
  if (!chunk) return Abandon(mmio, riff, MMIO_REFUSED_NOFORMAT);
  auto wave = TKZWaveFormat::ReadFrom(view, SizeOf(*chunk));
  // A chunk that cannot be left (its size points beyond any offset) makes a malformed file.
  if (!wave || !mmio.Ascend(std::move(chunk))) return Abandon(mmio, riff, MMIO_REFUSED_BADFORMAT);

  std::unique_ptr<TKZWaveFact> fact;
  chunk = mmio.Descend(*riff, Code("fact"));
  if (chunk) {
    fact = TKZWaveFact::ReadFrom(SizeOf(*chunk), view);
    if (!mmio.Ascend(std::move(chunk))) return Abandon(mmio, riff);
  }

  auto data = mmio.Descend(*riff, Code("data"));
  if (!data) return Abandon(mmio, riff, MMIO_REFUSED_NODATA);
  // Writers that cannot seek back leave a data size larger than the file (up to 0xFFFFFFFF):
  // the data is what the file holds.
  MMCKINFO& info = *data->GetInfo();
  const int32_t end = mmioSeek(mmio.GetHandle(), 0, SEEK_END);
  const int64_t limit = end >= 0 ? end : kMaxOffset;
  TKZFileReport& report = mmio.Report();
  report.DeclaredDataSize = info.cksize;
  info.cksize = static_cast<uint32_t>(
      std::min<int64_t>(info.cksize, std::max<int64_t>(0, limit - info.dwDataOffset)));
  report.DataSize = info.cksize;
  mmio.Seek(SeekFromBegin(static_cast<int32_t>(info.dwDataOffset)));

  // A linear file's frames are what its data holds, whatever a fact chunk says (a truncated
  // file keeps the count of the whole). A frame of no whole bytes gives no count rather than a
  // division by zero.
  if (const uint32_t frame = LinearFrameBytes(*wave)) {
    fact = std::make_unique<TKZWaveFact>();
    fact->SetSampleCount(static_cast<int32_t>(info.cksize / frame));
  }
  AHead.Format = TKZWaveStreamFormat::CreateFromFormatAndFact(wave.get(), fact.get());
  AHead.Riff = std::move(riff);
  AHead.Data = std::move(data);
  return true;
}

bool TKZMMIOWaveStream::WriteHead(TKZMMIOStream& AFile, const TKZFormat& AFormat, THead& AHead) {
  auto format = std::make_unique<TKZWaveStreamFormat>();
  format->Assign(&AFormat);
  TKZMMIO& mmio = AFile.GetMMIO();
  TStream& view = *AFile.AsStream();
  auto riff = mmio.CreateRiff(Code("WAVE"));
  try {
    auto chunk = mmio.CreateChunk(*riff, Code("fmt "));
    if (!chunk) return Abandon(mmio, riff);
    bool written = format->WaveFormat().WriteTo(view);
    written = mmio.Ascend(std::move(chunk)) && written;
    if (!written) return Abandon(mmio, riff);

    // Every format but PCM carries fact; Close puts in the frames actually written.
    if (format->Fact().HasSampleCount() || format->WaveFormat().GetFormatTag() != WAVE_FORMAT_PCM) {
      chunk = mmio.CreateChunk(*riff, Code("fact"));
      if (!chunk) return Abandon(mmio, riff);
      AHead.FactOffset = chunk->GetInfo()->dwDataOffset;
      static constexpr uint8_t kNone[4] = {};
      written = format->Fact().HasSampleCount() ? format->Fact().WriteTo(view)
                                                : view.Write(kNone, 4) == 4;
      written = mmio.Ascend(std::move(chunk)) && written;
      if (!written) return Abandon(mmio, riff);
    }

    auto data = mmio.CreateChunk(*riff, Code("data"));
    if (!data) return Abandon(mmio, riff);
    AHead.Format = std::move(format);
    AHead.Riff = std::move(riff);
    AHead.Data = std::move(data);
    return true;
  } catch (...) {
    // Whatever was written still gets its RIFF size.
    try {
      if (riff) mmio.Ascend(std::move(riff));
    } catch (...) {
    }
    throw;
  }
}
