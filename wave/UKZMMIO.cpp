#include "wave/UKZMMIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core/UKZObject.h"

namespace {

// A stream's positions are 32-bit.
constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();

uint64_t GetLE64(const uint8_t* ABytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = value << 8 | ABytes[i];
  return value;
}

}  // namespace

TKZRiffChunk::TKZRiffChunk(FOURCC ACkId, FOURCC AFccType) : FInfo{ACkId, 0, AFccType, 0, 0} {}

TKZArea TKZRiffChunk::GetDataArea() const {
  const int64_t start = FInfo.dwDataOffset;
  const int64_t size = std::min<int64_t>(FInfo.cksize, std::max<int64_t>(0, kMaxOffset - start));
  return Area(static_cast<uintptr_t>(start), static_cast<int32_t>(size));
}

TKZMMIO::~TKZMMIO() {
  try {
    Close();
  } catch (...) {
  }
}

void TKZMMIO::Close() {
  if (!FHandle) return;
  // What the buffer still holds goes out first, so that why it failed is in the report.
  mmioFlush(FHandle, 0);
  Report();
  const HMMIO handle = FHandle;
  FHandle = nullptr;
  if (mmioClose(handle, 0) != 0) {
    FReport->Merge(errno, 0);
    Fail();
  }
}

void TKZMMIO::Refuse(uint32_t ARefusal) {
  mmioRefuse(FHandle, ARefusal);
  FReport->Merge(0, ARefusal);
}

TKZFileReport& TKZMMIO::Report() {
  int error = 0;
  uint32_t refusal = 0;
  if (FHandle && mmioGetFailure(FHandle, &error, &refusal) == 0) FReport->Merge(error, refusal);
  return *FReport;
}

void TKZMMIO::SetReport(TKZFileReport* AReport) {
  if (!AReport) return;
  const TKZFileReport& known = Report();
  AReport->Merge(known.SystemError, known.Refusal);
  FReport = AReport;
}

std::unique_ptr<TKZMMIO> TKZMMIO::Open(const std::string& AFileName, TKZMMIOOpenModes AModes) {
  const HMMIO handle = mmioOpenA(AFileName.c_str(), nullptr, ModeFlags(AModes));
  return handle ? std::make_unique<TKZMMIO>(handle) : nullptr;
}

std::unique_ptr<TKZMMIO> TKZMMIO::OpenDescriptor(int ADescriptor, TKZMMIOOpenModes AModes,
                                                 TKZFileReport* AReport) {
  TKZFileReport ignored;
  TKZFileReport& report = AReport ? *AReport : ignored;
  const int copy = ::fcntl(ADescriptor, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    report.Merge(errno, 0);
    return nullptr;
  }
  MMIOINFO info;
  std::memset(&info, 0, sizeof info);
  info.fccIOProc = FOURCC_DOS;
  info.adwInfo[0] = static_cast<uintptr_t>(copy);
  // The file's own record of its failure dies with a refused open; the procedure's is kept.
  const HMMIO handle = mmioOpenA(nullptr, &info, ModeFlags(AModes));
  if (!handle) {
    struct stat st;
    if (::fstat(copy, &st) == 0 && !S_ISREG(st.st_mode))
      report.Merge(S_ISDIR(st.st_mode) ? EISDIR : 0, MMIO_REFUSED_NOTREGULAR);
    ::close(copy);
    return nullptr;
  }
  auto mmio = std::make_unique<TKZMMIO>(handle);
  mmio->SetReport(AReport);
  return mmio;
}

std::unique_ptr<TKZMMIO> TKZMMIO::OpenOnStream(TKZStream& AStream, TKZMMIOOpenModes AModes) {
  MMIOINFO info;
  std::memset(&info, 0, sizeof info);
  info.fccIOProc = 0;
  info.pIOProc = &TKZMMIOIOProc::IOProc;
  auto proc = std::make_unique<TKZMMIOIOProc>(AStream);
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(proc.get());
  const HMMIO handle = mmioOpenA(nullptr, &info, ModeFlags(AModes));
  if (!handle) return nullptr;
  // From here the object belongs to the open file, which frees it when it closes.
  proc.release();
  return std::make_unique<TKZMMIO>(handle);
}

uint32_t TKZMMIO::ModeFlags(TKZMMIOOpenModes AModes) {
  uint32_t flags = 0;
  if (AModes.Contains(omRead)) flags |= MMIO_READ;
  if (AModes.Contains(omWrite)) flags |= MMIO_WRITE | MMIO_CREATE;
  if (AModes.Contains(omReadWrite)) flags |= MMIO_READWRITE;
  return flags;
}

FOURCC TKZMMIO::StringToFOURCC(const char* AText) {
  return mmioStringToFOURCCA(AText, 0);
}

int32_t TKZMMIO::Read(const TKZArea& AArea) {
  if (AArea.Size <= 0) return 0;
  const int32_t n = mmioRead(FHandle, reinterpret_cast<char*>(AArea.Start), AArea.Size);
  if (n == -1) Fail();
  return n;
}

int32_t TKZMMIO::Write(const TKZArea& AArea) {
  if (AArea.Size <= 0) return 0;
  const int32_t n = mmioWrite(FHandle, reinterpret_cast<const char*>(AArea.Start), AArea.Size);
  if (n == -1) Fail();
  return n;
}

int64_t TKZMMIO::Seek(const TKZSeek& ASeek) {
  int origin;
  switch (ASeek.Origin) {
    case soBegin:
      origin = SEEK_SET;
      break;
    case soEnd:
      origin = SEEK_END;
      break;
    case soCurrent:
      origin = SEEK_CUR;
      break;
    default:
      Fail();
  }
  const int64_t position = mmioSeek(FHandle, ASeek.Offset, origin);
  if (position == -1) Fail();
  return position;
}

void TKZMMIO::SeekTo(int64_t AOffset) {
  if (mmioSeek(FHandle, AOffset, SEEK_SET) != AOffset) Fail();
}

int64_t TKZMMIO::Tell() const {
  return mmioSeek(FHandle, 0, SEEK_CUR);
}

std::unique_ptr<TKZRiffChunk> TKZMMIO::CreateRiff(FOURCC AFccType) {
  auto chunk = std::make_unique<TKZRiffChunk>(0, AFccType);
  if (mmioCreateChunk(FHandle, chunk->GetInfo(), MMIO_CREATERIFF) != 0) Fail();
  return chunk;
}

std::unique_ptr<TKZRiffChunk> TKZMMIO::CreateChunk(const TKZRiffChunk& AParent, FOURCC ACkId) {
  auto chunk = std::make_unique<TKZRiffChunk>(ACkId, AParent.GetInfo()->fccType);
  if (mmioCreateChunk(FHandle, chunk->GetInfo(), 0) != 0) return nullptr;
  return chunk;
}

std::unique_ptr<TKZRiffChunk> TKZMMIO::DescendRiff(FOURCC AFccType) {
  // A RIFF file begins with its header: one look, never a search through whatever follows.
  auto chunk = std::make_unique<TKZRiffChunk>(0, 0);
  MMCKINFO& info = *chunk->GetInfo();
  const bool found = mmioDescend(FHandle, &info, nullptr, 0) == 0;
  const bool rf64 = found && (info.ckid == FOURCC_RF64 || info.ckid == FOURCC_BW64);
  if (!found || (info.ckid != FOURCC_RIFF && !rf64)) {
    Refuse(MMIO_REFUSED_NOTRIFF);
    return nullptr;
  }
  if (info.fccType != AFccType) {
    Refuse(MMIO_REFUSED_FORM);
    return nullptr;
  }
  if (!rf64) return chunk;
  // ds64: RIFF size, data size and sample count (64-bit each), then a table of other sizes.
  uint8_t ds64[8 + 24];
  const int64_t start = Tell();
  int32_t got = 0;
  while (got < static_cast<int32_t>(sizeof ds64)) {
    const int32_t n = mmioRead(FHandle, reinterpret_cast<char*>(ds64 + got),
                               static_cast<int32_t>(sizeof ds64) - got);
    if (n <= 0) break;
    got += n;
  }
  const uint32_t size = uint32_t{ds64[4]} | uint32_t{ds64[5]} << 8 | uint32_t{ds64[6]} << 16 |
                        uint32_t{ds64[7]} << 24;
  if (got < static_cast<int32_t>(sizeof ds64) || std::memcmp(ds64, "ds64", 4) != 0 || size < 24) {
    Refuse(MMIO_REFUSED_RF64);
    return nullptr;
  }
  const uint64_t riffSize = GetLE64(ds64 + 8), dataSize = GetLE64(ds64 + 16),
                 samples = GetLE64(ds64 + 24);
  constexpr uint64_t kLargest = uint64_t{1} << 62;
  if (riffSize > kLargest || dataSize > kLargest) {
    Refuse(MMIO_REFUSED_RF64);
    return nullptr;
  }
  chunk->SetDataSize(std::max<int64_t>(static_cast<int64_t>(riffSize) - 4, 0));
  chunk->SetDs64(static_cast<int64_t>(dataSize),
                 samples > kLargest ? -1 : static_cast<int64_t>(samples));
  // A ds64 chunk that claims more than the file holds makes no RF64 file.
  const int64_t after = start + 8 + size + (size & 1);
  if (mmioSeek(FHandle, after, SEEK_SET) != after) {
    Refuse(MMIO_REFUSED_RF64);
    return nullptr;
  }
  return chunk;
}

std::unique_ptr<TKZRiffChunk> TKZMMIO::Descend(const TKZRiffChunk& AParent, FOURCC ACkId) {
  auto chunk = std::make_unique<TKZRiffChunk>(ACkId, 0);
  const int64_t saved = Tell();
  if (saved < 0) Fail();
  if (mmioDescend(FHandle, chunk->GetInfo(), AParent.GetInfo(), MMIO_FINDCHUNK) == 0) {
    // In an RF64 file the data chunk's size is the ds64 chunk's.
    if (ACkId == mmioFOURCC('d', 'a', 't', 'a') && AParent.GetDs64DataSize() >= 0 &&
        chunk->GetInfo()->cksize == 0xFFFFFFFF)
      chunk->SetDataSize(AParent.GetDs64DataSize());
    return chunk;
  }
  // The next search starts where this one did.
  SeekTo(saved);
  return nullptr;
}

bool TKZMMIO::Ascend(std::unique_ptr<TKZRiffChunk> AChunk) {
  if (!AChunk) return false;
  const MMCKINFO& info = *AChunk->GetInfo();
  // A chunk read with a size of its ds64 chunk ends where that size says.
  if (!(info.dwFlags & MMIO_DIRTY) && AChunk->GetDataSize() != info.cksize) {
    const int64_t size = AChunk->GetDataSize();
    const int64_t end = static_cast<int64_t>(info.dwDataOffset) + size + (size & 1);
    return mmioSeek(FHandle, end, SEEK_SET) == end;
  }
  return mmioAscend(FHandle, AChunk->GetInfo(), 0) == 0;
}

LRESULT TKZMMIOIOProc::IOProc(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2) {
  auto proc = reinterpret_cast<TKZMMIOIOProc*>(AInfo->adwInfo[0]);
  return proc ? proc->HandleMessage(AInfo, AMessage, AParam1, AParam2) : 0;
}

LRESULT TKZMMIOIOProc::HandleMessage(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1,
                                     LPARAM AParam2) {
  // Offsets and counts stay within 32-bit signed values; anything that would leave them is a
  // failure, before the stream is touched.
  const int64_t offset = AInfo->lDiskOffset;
  switch (AMessage) {
    case MMIOM_READ:
    case MMIOM_WRITE:
    case MMIOM_WRITEFLUSH: {
      if (AParam2 < 0 || AParam2 > kMaxOffset) return -1;
      int64_t count = AParam2;
      if (AMessage == MMIOM_READ)
        count = std::min(count, kMaxOffset - offset);
      else if (offset + count > kMaxOffset)
        return -1;
      const TKZArea area = Area(static_cast<uintptr_t>(AParam1), static_cast<int32_t>(count));
      const int32_t n = AMessage == MMIOM_READ ? FStream->Read(area) : FStream->Write(area);
      if (n < 0 || n > count) return -1;
      AInfo->lDiskOffset = offset + n;
      return n;
    }
    case MMIOM_SEEK: {
      if (AParam1 < std::numeric_limits<int32_t>::min() || AParam1 > kMaxOffset) return -1;
      const auto distance = static_cast<int32_t>(AParam1);
      switch (AParam2) {
        case SEEK_SET:
          if (distance < 0 || !FStream->Seek(SeekFromBegin(distance))) return -1;
          AInfo->lDiskOffset = distance;
          return distance;
        case SEEK_CUR: {
          const int64_t target = offset + distance;
          if (target < 0 || target > kMaxOffset || !FStream->Seek(SeekFromCurrent(distance)))
            return -1;
          AInfo->lDiskOffset = target;
          return target;
        }
        case SEEK_END: {
          if (!FStream->Seek(SeekFromEnd(distance))) return -1;
          const int32_t position = FStream->GetPosition();
          if (position < 0) return -1;
          AInfo->lDiskOffset = position;
          return position;
        }
        default:
          return 0;
      }
    }
    case MMIOM_OPEN:
      AInfo->lDiskOffset = 0;
      return 0;
    case MMIOM_CLOSE:
      AInfo->adwInfo[0] = 0;
      std::unique_ptr<TKZMMIOIOProc>{this}.reset();
      return 0;
    default:
      return 0;
  }
}

int32_t TKZMMIOStream::Read(const TKZArea& AArea) {
  return FMMIO->Read(AArea);
}

int32_t TKZMMIOStream::Write(const TKZArea& AArea) {
  return FMMIO->Write(AArea);
}

bool TKZMMIOStream::Seek(const TKZSeek& ASeek) {
  FMMIO->Seek(ASeek);
  return true;
}

void TKZMMIOStream::Close() {
  if (FOwnedMMIO) FOwnedMMIO->Close();
}

std::unique_ptr<TKZChildStream> TKZMMIOStream::CreateChunkStream(const TKZRiffChunk& AChunk) {
  return std::make_unique<TKZChildStream>(*this, AChunk.GetDataArea());
}
