#include "wave/UKZWaveStream.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "platform/acm/AcmSamples.h"
#include "platform/rtl/Exception.h"

namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();
// The largest RIFF size a plain RIFF file holds.
constexpr int64_t kMaxRiffSize = 0xFFFFFFFF;
// JUNK reserving the room of ds64: its header and the ds64 fields without a table.
constexpr int32_t kReserveSize = 28;

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
  // Samples of 12 or 20 bits fill whole-byte containers; fewer than 8 bits are no PCM we read.
  const uint16_t bits = AFormat.GetBitsPerSample();
  return bits < 8 ? 0u : AFormat.GetChannels() * ((bits + 7u) / 8u);
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
    FMetadata = source->FMetadata;
    FDataSize = source->FDataSize;
    return;
  }
  if (auto source = dynamic_cast<const TKZWaveFormat*>(ASource)) {
    source->CheckComplete();
    FWaveFormat->Assign(source);
    FFact->Assign(nullptr);
    FMetadata.clear();
    FDataSize = -1;
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
  FDataStart = static_cast<int64_t>(FDataChunk->GetInfo()->dwDataOffset);
  FWriting = (FDataChunk->GetInfo()->dwFlags & MMIO_DIRTY) != 0;
  FDataSize = FWriting ? 0 : FDataChunk->GetDataSize();
}

std::unique_ptr<TKZMMIOStream> TKZMMIOWaveStream::Buffered(std::unique_ptr<TKZMMIOStream> AFile,
                                                           int32_t ASize) {
  if (AFile) AFile->GetMMIO().SetBuffer(ASize);
  return AFile;
}

bool TKZMMIOWaveStream::NeedsReserve(int64_t ADataBound) {
  // Head and metadata chunks stay well within the margin.
  return ADataBound < 0 || ADataBound > kMaxRiffSize - (int64_t{1} << 20);
}

TKZMMIOWaveStream::~TKZMMIOWaveStream() {
  if (FClosed) return;
  try {
    Close();
  } catch (...) {
  }
}

int32_t TKZMMIOWaveStream::GetPosition() {
  return FClosed || FPosition > kMaxOffset ? -1 : static_cast<int32_t>(FPosition);
}

const TKZFormat* TKZMMIOWaveStream::GetFormat() {
  return FFormat.get();
}

int32_t TKZMMIOWaveStream::Read(const TKZArea& AArea) {
  if (FClosed || AArea.Size < 0) return -1;
  const auto count = static_cast<int32_t>(std::min<int64_t>(AArea.Size, FDataSize - FPosition));
  if (count <= 0) return 0;
  TKZMMIO& mmio = FMMIOStream->GetMMIO();
  mmio.SeekTo(FDataStart + FPosition);
  const int32_t n = mmio.Read(Area(AArea.Start, count));
  FPosition += n;
  return n;
}

int32_t TKZMMIOWaveStream::Write(const TKZArea& AArea) {
  if (FClosed || AArea.Size < 0) return -1;
  TKZMMIO& mmio = FMMIOStream->GetMMIO();
  // A plain RIFF file ends at 4 GiB: data beyond it, with no room for ds64, is refused.
  const int64_t end = FDataStart + FPosition + AArea.Size;
  if (!FReserved && end + 1 - 8 > kMaxRiffSize) {
    mmio.Refuse(MMIO_REFUSED_TOOLARGE);
    return -1;
  }
  mmio.SeekTo(FDataStart + FPosition);
  const int32_t n = mmio.Write(AArea);
  FPosition += n;
  FDataSize = std::max(FDataSize, FPosition);
  return n;
}

bool TKZMMIOWaveStream::Seek(const TKZSeek& ASeek) {
  if (FClosed) return false;
  int64_t base = 0;
  if (ASeek.Origin == soCurrent)
    base = FPosition;
  else if (ASeek.Origin == soEnd)
    base = FDataSize;
  else if (ASeek.Origin != soBegin)
    return false;
  const int64_t target = base + ASeek.Offset;
  if (target < 0 || target > FDataSize) return false;
  FPosition = target;
  return true;
}

void TKZMMIOWaveStream::Close() {
  if (FClosed) return;
  FClosed = true;
  // Chunks created here carry MMIO_DIRTY until their size is in the file.
  const bool writing = FWriting;
  TKZMMIO& mmio = FMMIOStream->GetMMIO();
  std::exception_ptr failure;
  bool ascended = true;
  // The data chunk ends where the last byte was written.
  if (writing) {
    try {
      mmio.SeekTo(FDataStart + FDataSize);
    } catch (...) {
      failure = std::current_exception();
    }
  }
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
      ascended = PutFrameCount(FDataSize) && ascended;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    if (writing && ascended && !failure) ascended = WriteRF64(mmio);
  } catch (...) {
    failure = std::current_exception();
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
  const int64_t end = mmioSeek(mmio.GetHandle(), 0, SEEK_END);
  const auto start = static_cast<int64_t>(info.dwDataOffset);
  TKZFileReport& report = mmio.Report();
  report.DeclaredDataSize = data->GetDataSize();
  const int64_t size =
      end >= 0 ? std::min(data->GetDataSize(), std::max<int64_t>(0, end - start)) : 0;
  data->SetDataSize(size);
  report.DataSize = size;
  auto metadata = ReadMetadata(mmio, *riff);
  mmio.SeekTo(start);

  // An RF64 file's count beyond 32 bits is in its ds64 chunk.
  if (fact && static_cast<uint32_t>(fact->GetSampleCount()) == 0xFFFFFFFF &&
      riff->GetDs64SampleCount() >= 0)
    fact->SetSampleCount(
        static_cast<int32_t>(std::min<int64_t>(riff->GetDs64SampleCount(), kMaxOffset)));
  // A linear file's frames are what its data holds, whatever a fact chunk says (a truncated
  // file keeps the count of the whole); a count beyond 32 bits is cut (counts are 32-bit). A
  // frame of no whole bytes gives no count rather than a division by zero.
  if (const uint32_t frame = LinearFrameBytes(*wave)) {
    fact = std::make_unique<TKZWaveFact>();
    fact->SetSampleCount(static_cast<int32_t>(std::min<int64_t>(size / frame, kMaxOffset)));
  }
  AHead.Format = TKZWaveStreamFormat::CreateFromFormatAndFact(wave.get(), fact.get());
  AHead.Format->Metadata() = std::move(metadata);
  AHead.Format->SetDataSize(size);
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
    std::unique_ptr<TKZRiffChunk> chunk;
    if (AHead.Reserved) {
      // The room ds64 takes should the file pass 4 GiB.
      chunk = mmio.CreateChunk(*riff, Code("JUNK"));
      const uint8_t zeros[kReserveSize] = {};
      const bool reserved = chunk && view.Write(zeros, kReserveSize) == kReserveSize;
      if (!mmio.Ascend(std::move(chunk)) || !reserved) return Abandon(mmio, riff);
    }
    chunk = mmio.CreateChunk(*riff, Code("fmt "));
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

    // Tags go before the data, where readers look for them.
    for (const TKZWaveChunk& carried : format->Metadata()) {
      chunk = mmio.CreateChunk(*riff, carried.Id);
      if (!chunk) return Abandon(mmio, riff);
      const auto size = static_cast<int32_t>(carried.Data.size());
      written = view.Write(carried.Data.data(), size) == size;
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

std::vector<TKZWaveChunk> TKZMMIOWaveStream::ReadMetadata(TKZMMIO& AMMIO,
                                                          const TKZRiffChunk& ARiff) {
  // Tags are small: larger chunks, or more of them, are no tags worth carrying.
  constexpr uint32_t kLargest = 256 * 1024;
  constexpr int kMostChunks = 256;
  std::vector<TKZWaveChunk> found;
  const bool rf64 = ARiff.GetDs64DataSize() >= 0;
  int64_t position = static_cast<int64_t>(ARiff.GetInfo()->dwDataOffset) + 4;
  for (int walked = 0; walked < kMostChunks && found.size() < 16; ++walked) {
    if (mmioSeek(AMMIO.GetHandle(), position, SEEK_SET) != position) break;
    MMCKINFO info{};
    if (mmioDescend(AMMIO.GetHandle(), &info, ARiff.GetInfo(), 0) != 0) break;
    // The data of an RF64 file has its size elsewhere: nothing after it is looked for.
    if (info.ckid == Code("data") && rf64) break;
    const bool list = info.ckid == FOURCC_LIST && info.fccType == Code("INFO");
    if ((list || info.ckid == Code("bext")) && info.cksize <= kLargest) {
      TKZWaveChunk chunk{info.ckid, std::vector<uint8_t>(info.cksize)};
      const auto offset = static_cast<int64_t>(info.dwDataOffset);
      int32_t got = 0;
      if (mmioSeek(AMMIO.GetHandle(), offset, SEEK_SET) == offset) {
        while (got < static_cast<int32_t>(info.cksize)) {
          const int32_t n =
              mmioRead(AMMIO.GetHandle(), reinterpret_cast<char*>(chunk.Data.data()) + got,
                       static_cast<int32_t>(info.cksize) - got);
          if (n <= 0) break;
          got += n;
        }
      }
      if (got == static_cast<int32_t>(info.cksize)) found.push_back(std::move(chunk));
    }
    position = static_cast<int64_t>(info.dwDataOffset) + info.cksize + (info.cksize & 1);
  }
  return found;
}

bool TKZMMIOWaveStream::WriteRF64(TKZMMIO& AMMIO) {
  const int64_t fileEnd = AMMIO.Tell();
  if (fileEnd < 0) return false;
  const int64_t riffSize = fileEnd - 8;
  if (riffSize <= kMaxRiffSize) return true;
  if (!FReserved) return false;
  const TKZWaveFormat& wave = FFormat->WaveFormat();
  // Formats whose block is one frame count their frames by the block; others keep their fact.
  const uint16_t tag = wave.GetFormatTag();
  const bool framed = tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT ||
                      tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW ||
                      tag == WAVE_FORMAT_EXTENSIBLE;
  const int64_t frames = framed && wave.GetBlockAlign() > 0 ? FDataSize / wave.GetBlockAlign()
                                                            : FFormat->Fact().GetSampleCount();
  uint8_t head[12 + 8 + kReserveSize] = {'R', 'F', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF,        'W',
                                         'A', 'V', 'E', 'd', 's',  '6',  '4',  kReserveSize};
  const auto put64 = [&head](int32_t AAt, int64_t AValue) {
    for (int i = 0; i < 8; ++i)
      head[AAt + i] = static_cast<uint8_t>(static_cast<uint64_t>(AValue) >> (8 * i));
  };
  put64(20, riffSize);
  put64(28, FDataSize);
  put64(36, frames);
  AMMIO.SeekTo(0);
  const bool written = AMMIO.Write(Area(reinterpret_cast<uintptr_t>(head), sizeof head)) ==
                       static_cast<int32_t>(sizeof head);
  // The data chunk's own size field already holds 0xFFFFFFFF (set when it was left).
  AMMIO.SeekTo(fileEnd);
  return written;
}
