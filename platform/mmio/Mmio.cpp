#include "platform/mmio/Mmio.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

struct HMMIO__ {
  MMIOINFO Info;
  // Why the file failed: the first of each kind wins.
  int SystemError = 0;
  uint32_t Refusal = 0;

  // The buffer, none for a file without one. It holds the file's bytes from BufferOffset: Valid
  // of them read from the procedure, or Dirty of them written and not yet handed to it (never
  // both). The file stands at BufferOffset + Next.
  std::unique_ptr<char[]> OwnBuffer;
  char* Buffer = nullptr;
  int32_t BufferSize = 0;
  int64_t BufferOffset = 0;
  int32_t Next = 0;
  int32_t Valid = 0;
  int32_t Dirty = 0;
  // Written bytes were lost on their way to the procedure: the file is not what was written.
  bool FlushFailed = false;
};

namespace {

// Far beyond any file; it keeps offset arithmetic from overflowing.
constexpr int64_t kMaxOffset = int64_t{1} << 62;
constexpr uint32_t kAccessMask = 0x0003;
constexpr uint32_t kKnownOpenFlags = kAccessMask | MMIO_CREATE | MMIO_ALLOCBUF;
constexpr int32_t kMaxChunksWalked = 65536;
// The buffer a chunk search lends a file that has none.
constexpr int32_t kWalkBuffer = 16384;

LRESULT Send(HMMIO hmmio, uint32_t uMsg, LPARAM lParam1, LPARAM lParam2) {
  return hmmio->Info.pIOProc(&hmmio->Info, uMsg, lParam1, lParam2);
}

// The disk file procedure keeps the file descriptor in adwInfo[0].
int Descriptor(const MMIOINFO* AInfo) {
  return static_cast<int>(AInfo->adwInfo[0]);
}

void NoteError(MMIOINFO* AInfo, int AError) {
  if (AInfo->hmmio && AInfo->hmmio->SystemError == 0) AInfo->hmmio->SystemError = AError;
}

void NoteRefusal(HMMIO hmmio, uint32_t ARefusal) {
  if (hmmio && hmmio->Refusal == 0) hmmio->Refusal = ARefusal;
}

// A descriptor fit for the access asked: a regular file for reading (a FIFO or a device is no
// file to parse); anything but a folder for writing.
LRESULT CheckDescriptor(MMIOINFO* AInfo, int AFile) {
  struct stat st;
  if (::fstat(AFile, &st) != 0) {
    NoteError(AInfo, errno);
    return MMIOERR_CANNOTOPEN;
  }
  const bool reading = (AInfo->dwFlags & kAccessMask) != MMIO_WRITE;
  if (S_ISDIR(st.st_mode) || (reading && !S_ISREG(st.st_mode))) {
    NoteError(AInfo, S_ISDIR(st.st_mode) ? EISDIR : 0);
    NoteRefusal(AInfo->hmmio, MMIO_REFUSED_NOTREGULAR);
    return MMIOERR_CANNOTOPEN;
  }
  return 0;
}

// The disk file procedure's mark, in adwInfo[1], of a descriptor the caller opened.
constexpr uintptr_t kCallersDescriptor = 1;

// A descriptor the caller opened; MMIO_CREATE empties it.
LRESULT OpenDescriptor(MMIOINFO* AInfo) {
  const int fd = Descriptor(AInfo);
  AInfo->adwInfo[1] = kCallersDescriptor;
  if (const LRESULT refused = CheckDescriptor(AInfo, fd)) return refused;
  if ((AInfo->dwFlags & MMIO_CREATE) && ::ftruncate(fd, 0) != 0) {
    NoteError(AInfo, errno);
    return MMIOERR_CANNOTOPEN;
  }
  if (::lseek(fd, 0, SEEK_SET) < 0) {
    NoteError(AInfo, errno);
    return MMIOERR_CANNOTSEEK;
  }
  AInfo->lDiskOffset = 0;
  return 0;
}

LRESULT OpenFile(MMIOINFO* AInfo, const char* AName) {
  if (!AName) return AInfo->fccIOProc == FOURCC_DOS ? OpenDescriptor(AInfo) : MMIOERR_CANNOTOPEN;
  int flags = O_CLOEXEC;
  switch (AInfo->dwFlags & kAccessMask) {
    case MMIO_WRITE:
      flags |= O_WRONLY;
      break;
    case MMIO_READWRITE:
      flags |= O_RDWR;
      break;
    default:
      // A FIFO without a writer would hold the open; the check below refuses it anyway.
      flags |= O_RDONLY | O_NONBLOCK;
  }
  if (AInfo->dwFlags & MMIO_CREATE) flags |= O_CREAT | O_TRUNC;
  int fd;
  do {
    fd = ::open(AName, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    NoteError(AInfo, errno);
    return errno == ENOENT ? MMIOERR_FILENOTFOUND : MMIOERR_CANNOTOPEN;
  }
  if (const LRESULT refused = CheckDescriptor(AInfo, fd)) {
    ::close(fd);
    return refused;
  }
  if (flags & O_NONBLOCK) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  AInfo->adwInfo[0] = static_cast<uintptr_t>(fd);
  AInfo->lDiskOffset = 0;
  return 0;
}

LRESULT ReadFile(MMIOINFO* AInfo, char* ABuffer, int64_t ACount) {
  ssize_t n;
  do {
    n = ::read(Descriptor(AInfo), ABuffer, static_cast<size_t>(ACount));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    NoteError(AInfo, errno);
    return -1;
  }
  AInfo->lDiskOffset += n;
  return n;
}

LRESULT WriteFile(MMIOINFO* AInfo, const char* ABuffer, int64_t ACount) {
  if (ACount < 0 || AInfo->lDiskOffset + ACount > kMaxOffset) return -1;
  int64_t done = 0;
  while (done < ACount) {
    const ssize_t n =
        ::write(Descriptor(AInfo), ABuffer + done, static_cast<size_t>(ACount - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteError(AInfo, errno);
    if (n <= 0) break;
    done += n;
  }
  if (done == 0 && ACount > 0) return -1;
  AInfo->lDiskOffset += done;
  return done;
}

LRESULT SeekFile(MMIOINFO* AInfo, int64_t AOffset, LPARAM AOrigin) {
  int64_t base;
  switch (AOrigin) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = AInfo->lDiskOffset;
      break;
    case SEEK_END: {
      struct stat st;
      if (::fstat(Descriptor(AInfo), &st) != 0) {
        NoteError(AInfo, errno);
        return -1;
      }
      base = st.st_size;
      break;
    }
    default:
      return -1;
  }
  const int64_t target = base + AOffset;
  if (target < 0 || target > kMaxOffset) return -1;
  // Only this procedure moves the descriptor, so the offset it keeps is the descriptor's: a
  // seek to where the file stands (before every transfer of a chunk stream) costs no call.
  if (target == AInfo->lDiskOffset) return target;
  if (::lseek(Descriptor(AInfo), static_cast<off_t>(target), SEEK_SET) < 0) {
    NoteError(AInfo, errno);
    return -1;
  }
  AInfo->lDiskOffset = target;
  return target;
}

// The procedure of disk files.
LRESULT FileIOProc(MMIOINFO* AInfo, uint32_t uMsg, LPARAM lParam1, LPARAM lParam2) {
  switch (uMsg) {
    case MMIOM_OPEN:
      return OpenFile(AInfo, reinterpret_cast<const char*>(lParam1));
    case MMIOM_CLOSE:
      if (AInfo->adwInfo[1] == kCallersDescriptor && (lParam1 & MMIO_FHOPEN)) return 0;
      if (::close(Descriptor(AInfo)) == 0) return 0;
      NoteError(AInfo, errno);
      return MMIOERR_CANNOTCLOSE;
    case MMIOM_READ:
      return ReadFile(AInfo, reinterpret_cast<char*>(lParam1), lParam2);
    case MMIOM_WRITE:
    case MMIOM_WRITEFLUSH:
      return WriteFile(AInfo, reinterpret_cast<const char*>(lParam1), lParam2);
    case MMIOM_SEEK:
      return SeekFile(AInfo, lParam1, lParam2);
    default:
      return 0;
  }
}

// Moves the procedure itself, past any buffer.
bool SeekProcedure(HMMIO hmmio, int64_t AOffset) {
  if (AOffset < 0 || AOffset > kMaxOffset) return false;
  return Send(hmmio, MMIOM_SEEK, static_cast<LPARAM>(AOffset), SEEK_SET) == AOffset;
}

// Headers are written whole, whatever counts the procedure moves per call.
bool WriteAll(HMMIO hmmio, const uint8_t* ABuffer, int32_t ACount) {
  int32_t done = 0;
  while (done < ACount) {
    const int32_t n =
        mmioWrite(hmmio, reinterpret_cast<const char*>(ABuffer + done), ACount - done);
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

// The offset the file stands at: the procedure's, or the buffer's cursor.
int64_t Position(const HMMIO__* hmmio) {
  return hmmio->Buffer ? hmmio->BufferOffset + hmmio->Next : hmmio->Info.lDiskOffset;
}

// Moves the procedure to AOffset, unless it stands there.
bool PlaceProcedure(HMMIO hmmio, int64_t AOffset) {
  return hmmio->Info.lDiskOffset == AOffset || SeekProcedure(hmmio, AOffset);
}

// Hands ACount bytes at the procedure's offset to it, whatever counts it moves per call; the
// count handed over.
int64_t SendAll(HMMIO hmmio, uint32_t AMessage, const char* ABytes, int64_t ACount) {
  int64_t done = 0;
  while (done < ACount) {
    const LRESULT n = Send(hmmio, AMessage, reinterpret_cast<LPARAM>(ABytes + done), ACount - done);
    if (n <= 0 || n > ACount - done) break;
    done += n;
  }
  return done;
}

// Empties the buffer where the file stands: read bytes are dropped, written ones handed to the
// procedure. False when they could not all be, which the file keeps.
bool Flush(HMMIO hmmio) {
  bool flushed = true;
  if (hmmio->Dirty > 0) {
    flushed = PlaceProcedure(hmmio, hmmio->BufferOffset) &&
              SendAll(hmmio, MMIOM_WRITEFLUSH, hmmio->Buffer, hmmio->Dirty) == hmmio->Dirty;
    if (!flushed) hmmio->FlushFailed = true;
  }
  hmmio->BufferOffset += hmmio->Next;
  hmmio->Next = hmmio->Valid = hmmio->Dirty = 0;
  return flushed;
}

int32_t ReadBuffered(HMMIO hmmio, char* pch, int64_t ACount) {
  if (hmmio->Dirty > 0 && !Flush(hmmio)) return -1;
  int64_t done = 0;
  while (done < ACount) {
    const int64_t held = hmmio->Valid - hmmio->Next;
    if (held > 0) {
      const int64_t take = std::min(held, ACount - done);
      std::memcpy(pch + done, hmmio->Buffer + hmmio->Next, static_cast<size_t>(take));
      hmmio->Next += static_cast<int32_t>(take);
      done += take;
      continue;
    }
    Flush(hmmio);
    if (!PlaceProcedure(hmmio, hmmio->BufferOffset)) return -1;
    // A request of a buffer or more goes straight to the caller's memory.
    const bool direct = ACount - done >= hmmio->BufferSize;
    char* into = direct ? pch + done : hmmio->Buffer;
    const LRESULT n = Send(hmmio, MMIOM_READ, reinterpret_cast<LPARAM>(into),
                           direct ? ACount - done : hmmio->BufferSize);
    if (n < 0 || n > (direct ? ACount - done : hmmio->BufferSize)) return -1;
    if (n == 0) break;
    if (direct) {
      hmmio->BufferOffset += n;
      done += n;
    } else {
      hmmio->Valid = static_cast<int32_t>(n);
    }
  }
  return static_cast<int32_t>(done);
}

int32_t WriteBuffered(HMMIO hmmio, const char* pch, int32_t ACount) {
  // Read bytes are dropped: the buffer takes the written ones from where the file stands.
  if (hmmio->Dirty == 0) Flush(hmmio);
  int32_t done = 0;
  while (done < ACount) {
    if (hmmio->Dirty == 0 && ACount - done >= hmmio->BufferSize) {
      // A buffer's worth or more goes straight from the caller's memory.
      if (!PlaceProcedure(hmmio, hmmio->BufferOffset)) return -1;
      const int64_t n = SendAll(hmmio, MMIOM_WRITE, pch + done, ACount - done);
      hmmio->BufferOffset += n;
      done += static_cast<int32_t>(n);
      return done > 0 ? done : -1;
    }
    const int32_t take = std::min(hmmio->BufferSize - hmmio->Next, ACount - done);
    std::memcpy(hmmio->Buffer + hmmio->Next, pch + done, static_cast<size_t>(take));
    hmmio->Next += take;
    hmmio->Dirty = hmmio->Next;
    done += take;
    if (hmmio->Next == hmmio->BufferSize && !Flush(hmmio)) return -1;
  }
  return done;
}

int64_t SeekBuffered(HMMIO hmmio, int64_t AOffset, int AOrigin) {
  if (AOrigin == SEEK_END) {
    // Only the procedure knows where the file ends; the bytes read before stay good.
    if (hmmio->Dirty > 0 && !Flush(hmmio)) return -1;
    const LRESULT offset = Send(hmmio, MMIOM_SEEK, static_cast<LPARAM>(AOffset), SEEK_END);
    if (offset < 0 || offset > kMaxOffset) return -1;
    if (offset < hmmio->BufferOffset || offset > hmmio->BufferOffset + hmmio->Valid) {
      hmmio->BufferOffset = offset;
      hmmio->Valid = 0;
    }
    hmmio->Next = static_cast<int32_t>(offset - hmmio->BufferOffset);
    return offset;
  }
  const int64_t target = (AOrigin == SEEK_CUR ? Position(hmmio) : 0) + AOffset;
  if (target < 0 || target > kMaxOffset) return -1;
  // A writer stands where it wrote last: its buffer is kept.
  if (target == Position(hmmio)) return target;
  if (hmmio->Dirty == 0 && target >= hmmio->BufferOffset &&
      target <= hmmio->BufferOffset + hmmio->Valid) {
    hmmio->Next = static_cast<int32_t>(target - hmmio->BufferOffset);
    return target;
  }
  if (!Flush(hmmio) || !SeekProcedure(hmmio, target)) return -1;
  hmmio->BufferOffset = target;
  return target;
}

// Lends a file without a buffer one for a chunk search, and takes it back.
class TWalkBuffer {
 public:
  explicit TWalkBuffer(HMMIO hmmio)
      : FFile(hmmio), FLent(!hmmio->Buffer && mmioSetBuffer(hmmio, nullptr, kWalkBuffer, 0) == 0) {}
  ~TWalkBuffer() {
    if (FLent) mmioSetBuffer(FFile, nullptr, 0, 0);
  }
  TWalkBuffer(const TWalkBuffer&) = delete;
  TWalkBuffer& operator=(const TWalkBuffer&) = delete;

 private:
  HMMIO FFile;
  bool FLent;
};

bool SeekTo(HMMIO hmmio, int64_t AOffset) {
  return mmioSeek(hmmio, AOffset, SEEK_SET) == AOffset;
}

// ACount bytes at AOffset, through the buffer.
bool ReadAt(HMMIO hmmio, int64_t AOffset, uint8_t* ABytes, int32_t ACount) {
  if (!SeekTo(hmmio, AOffset)) return false;
  int32_t done = 0;
  while (done < ACount) {
    const int32_t n = mmioRead(hmmio, reinterpret_cast<char*>(ABytes + done), ACount - done);
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

uint32_t GetLE32(const uint8_t* ABytes) {
  return uint32_t{ABytes[0]} | uint32_t{ABytes[1]} << 8 | uint32_t{ABytes[2]} << 16 |
         uint32_t{ABytes[3]} << 24;
}

void PutLE32(uint8_t* ABytes, uint32_t AValue) {
  for (int i = 0; i < 4; ++i)
    ABytes[i] = static_cast<uint8_t>(AValue >> (8 * i));
}

bool Matches(const MMCKINFO& AWanted, uint32_t AFlags, FOURCC AId, FOURCC AType) {
  if (AFlags & MMIO_FINDCHUNK) return AId == AWanted.ckid;
  if (AFlags & MMIO_FINDRIFF) return AId == FOURCC_RIFF && AType == AWanted.fccType;
  if (AFlags & MMIO_FINDLIST) return AId == FOURCC_LIST && AType == AWanted.fccType;
  return true;
}

}  // namespace

HMMIO mmioOpenA(const char* pszFileName, MMIOINFO* pmmioinfo, uint32_t fdwOpen) {
  auto fail = [pmmioinfo](MMRESULT AReason) -> HMMIO {
    if (pmmioinfo) pmmioinfo->wErrorRet = AReason;
    return nullptr;
  };
  if ((fdwOpen & ~kKnownOpenFlags) != 0 || (fdwOpen & kAccessMask) == kAccessMask)
    return fail(MMIOERR_CANNOTOPEN);
  auto handle = std::make_unique<HMMIO__>();
  std::memset(&handle->Info, 0, sizeof handle->Info);
  if (pmmioinfo) handle->Info = *pmmioinfo;
  MMIOINFO& info = handle->Info;
  if (!info.pIOProc) {
    const bool descriptor = !pszFileName && info.fccIOProc == FOURCC_DOS;
    if ((!pszFileName && !descriptor) || (info.fccIOProc != 0 && info.fccIOProc != FOURCC_DOS))
      return fail(MMIOERR_INVALIDFILE);
    if (!descriptor) info.adwInfo[1] = 0;
    info.pIOProc = &FileIOProc;
  }
  info.dwFlags = fdwOpen;
  info.wErrorRet = 0;
  info.lDiskOffset = 0;
  info.hmmio = handle.get();
  const LRESULT opened = Send(handle.get(), MMIOM_OPEN, reinterpret_cast<LPARAM>(pszFileName), 0);
  if (opened != 0) return fail(static_cast<MMRESULT>(opened));
  if (fdwOpen & MMIO_ALLOCBUF) {
    const int32_t size = info.cchBuffer > 0 ? info.cchBuffer : MMIO_DEFAULTBUFFER;
    // A buffer of the caller's comes with its size.
    const bool sized = info.cchBuffer > 0 || (info.cchBuffer == 0 && !info.pchBuffer);
    if (!sized || mmioSetBuffer(handle.get(), info.pchBuffer, size, 0) != 0) {
      Send(handle.get(), MMIOM_CLOSE, MMIO_FHOPEN, 0);
      return fail(MMIOERR_OUTOFMEMORY);
    }
  }
  if (pmmioinfo) {
    pmmioinfo->wErrorRet = 0;
    pmmioinfo->hmmio = handle.get();
  }
  return handle.release();
}

MMRESULT mmioClose(HMMIO hmmio, uint32_t fuClose) {
  if (!hmmio) return MMIOERR_INVALIDFILE;
  std::unique_ptr<HMMIO__> handle(hmmio);
  if (hmmio->Buffer) Flush(hmmio);
  const LRESULT closed = Send(hmmio, MMIOM_CLOSE, static_cast<LPARAM>(fuClose), 0);
  if (closed == 0) return hmmio->FlushFailed ? MMIOERR_CANNOTWRITE : 0;
  const bool code = closed > 0 && closed <= std::numeric_limits<int32_t>::max();
  return code ? static_cast<MMRESULT>(closed) : MMIOERR_CANNOTCLOSE;
}

MMRESULT mmioFlush(HMMIO hmmio, uint32_t /*fuFlush*/) {
  if (!hmmio) return MMIOERR_INVALIDFILE;
  if (!hmmio->Buffer || hmmio->Dirty == 0) return 0;
  return Flush(hmmio) ? 0 : MMIOERR_CANNOTWRITE;
}

MMRESULT mmioSetBuffer(HMMIO hmmio, char* pchBuffer, int32_t cchBuffer, uint32_t /*fuBuffer*/) {
  if (!hmmio || cchBuffer < 0) return MMIOERR_INVALIDFILE;
  const int64_t position = Position(hmmio);
  if (hmmio->Buffer) {
    if (!Flush(hmmio)) return MMIOERR_CANNOTWRITE;
    // Without a buffer the procedure's offset is the file's.
    if (cchBuffer == 0 && !PlaceProcedure(hmmio, position)) return MMIOERR_CANNOTSEEK;
  }
  std::unique_ptr<char[]> own;
  if (cchBuffer > 0 && !pchBuffer) {
    own.reset(new (std::nothrow) char[static_cast<size_t>(cchBuffer)]);
    if (!own) return MMIOERR_OUTOFMEMORY;
    pchBuffer = own.get();
  }
  hmmio->OwnBuffer = std::move(own);
  hmmio->Buffer = cchBuffer > 0 ? pchBuffer : nullptr;
  hmmio->BufferSize = cchBuffer;
  hmmio->BufferOffset = position;
  hmmio->Next = hmmio->Valid = hmmio->Dirty = 0;
  return 0;
}

int32_t mmioRead(HMMIO hmmio, char* pch, int32_t cch) {
  if (!hmmio || cch < 0) return -1;
  // Never past the largest offset, so that the procedure's offset cannot wrap.
  const int64_t count = std::min<int64_t>(cch, kMaxOffset - Position(hmmio));
  if (hmmio->Buffer) return count > 0 ? ReadBuffered(hmmio, pch, count) : 0;
  const LRESULT n = Send(hmmio, MMIOM_READ, reinterpret_cast<LPARAM>(pch), count);
  return n < 0 || n > count ? -1 : static_cast<int32_t>(n);
}

int32_t mmioWrite(HMMIO hmmio, const char* pch, int32_t cch) {
  if (!hmmio || cch < 0) return -1;
  if (Position(hmmio) + cch > kMaxOffset) {
    NoteRefusal(hmmio, MMIO_REFUSED_TOOLARGE);
    return -1;
  }
  if (hmmio->Buffer) return cch > 0 ? WriteBuffered(hmmio, pch, cch) : 0;
  const LRESULT n = Send(hmmio, MMIOM_WRITE, reinterpret_cast<LPARAM>(pch), cch);
  return n < 0 || n > cch ? -1 : static_cast<int32_t>(n);
}

int64_t mmioSeek(HMMIO hmmio, int64_t lOffset, int iOrigin) {
  if (!hmmio || (iOrigin != SEEK_SET && iOrigin != SEEK_CUR && iOrigin != SEEK_END)) return -1;
  if (lOffset < -kMaxOffset || lOffset > kMaxOffset) return -1;
  if (hmmio->Buffer) return SeekBuffered(hmmio, lOffset, iOrigin);
  const LRESULT offset = Send(hmmio, MMIOM_SEEK, static_cast<LPARAM>(lOffset), iOrigin);
  return offset < 0 || offset > kMaxOffset ? -1 : offset;
}

MMRESULT mmioDescend(HMMIO hmmio, MMCKINFO* pmmcki, const MMCKINFO* pmmckiParent,
                     uint32_t fuDescend) {
  if (!hmmio || !pmmcki) return MMIOERR_INVALIDFILE;
  // An RF64 form's size is in its ds64 chunk: it is searched to the end of the file.
  const bool bounded = pmmckiParent && pmmckiParent->cksize != 0xFFFFFFFF;
  const int64_t end = bounded
                          ? static_cast<int64_t>(pmmckiParent->dwDataOffset) + pmmckiParent->cksize
                          : kMaxOffset;
  // Headers are read through a buffer: a file of many small chunks (or of zeros) costs one
  // call per buffer, not one per header.
  const TWalkBuffer walk(hmmio);
  uint8_t header[8];
  int64_t position = Position(hmmio);
  // Files hold tens of chunks: a search through more is a search through no RIFF file, and
  // would otherwise take as long as the file is large.
  for (int32_t walked = 0;; ++walked) {
    if (position + 8 > end || walked == kMaxChunksWalked) return MMIOERR_CHUNKNOTFOUND;
    if (!ReadAt(hmmio, position, header, 8)) return MMIOERR_CHUNKNOTFOUND;
    if (!std::all_of(header, header + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; }))
      return MMIOERR_CHUNKNOTFOUND;
    const FOURCC id = GetLE32(header);
    const uint32_t size = GetLE32(header + 4);
    const int64_t data = position + 8;
    const bool form =
        id == FOURCC_RIFF || id == FOURCC_LIST || id == FOURCC_RF64 || id == FOURCC_BW64;
    FOURCC type = 0;
    if (form) {
      if (data + 4 > end) return MMIOERR_CHUNKNOTFOUND;
      uint8_t field[4];
      if (!ReadAt(hmmio, data, field, 4)) return MMIOERR_CHUNKNOTFOUND;
      type = GetLE32(field);
    }
    if (Matches(*pmmcki, fuDescend, id, type)) {
      if (!SeekTo(hmmio, data + (form ? 4 : 0))) return MMIOERR_CANNOTSEEK;
      pmmcki->ckid = id;
      pmmcki->cksize = size;
      if (form) pmmcki->fccType = type;
      pmmcki->dwDataOffset = static_cast<uint64_t>(data);
      pmmcki->dwFlags = 0;
      return 0;
    }
    position = data + size + (size & 1);
  }
}

MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* pmmcki, uint32_t /*fuAscend*/) {
  if (!hmmio || !pmmcki) return MMIOERR_INVALIDFILE;
  const auto data = static_cast<int64_t>(pmmcki->dwDataOffset);
  if (!(pmmcki->dwFlags & MMIO_DIRTY))
    return SeekTo(hmmio, data + pmmcki->cksize + (pmmcki->cksize & 1)) ? 0 : MMIOERR_CANNOTSEEK;

  // The chunk ends where the file stands.
  const int64_t end = Position(hmmio);
  const int64_t size = end - data;
  if (data < 8 || size < 0) return MMIOERR_CANNOTWRITE;
  const auto stored = static_cast<uint32_t>(std::min<int64_t>(size, 0xFFFFFFFF));
  if (stored != pmmcki->cksize) {
    uint8_t field[4];
    PutLE32(field, stored);
    if (!SeekTo(hmmio, data - 4)) return MMIOERR_CANNOTSEEK;
    if (!WriteAll(hmmio, field, 4)) return MMIOERR_CANNOTWRITE;
    pmmcki->cksize = stored;
    if (!SeekTo(hmmio, end)) return MMIOERR_CANNOTSEEK;
  }
  if (size & 1) {
    const uint8_t pad = 0;
    if (!WriteAll(hmmio, &pad, 1)) return MMIOERR_CANNOTWRITE;
  }
  pmmcki->dwFlags &= ~MMIO_DIRTY;
  return 0;
}

MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* pmmcki, uint32_t fuCreate) {
  if (!hmmio || !pmmcki) return MMIOERR_INVALIDFILE;
  if (fuCreate & MMIO_CREATERIFF) pmmcki->ckid = FOURCC_RIFF;
  if (fuCreate & MMIO_CREATELIST) pmmcki->ckid = FOURCC_LIST;
  const bool form = (fuCreate & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0;
  uint8_t header[12];
  PutLE32(header, pmmcki->ckid);
  PutLE32(header + 4, pmmcki->cksize);
  PutLE32(header + 8, pmmcki->fccType);
  const int64_t position = Position(hmmio);
  if (!WriteAll(hmmio, header, form ? 12 : 8)) return MMIOERR_CANNOTWRITE;
  pmmcki->dwDataOffset = static_cast<uint64_t>(position + 8);
  pmmcki->dwFlags = MMIO_DIRTY;
  return 0;
}

MMRESULT mmioGetFailure(HMMIO hmmio, int* pSystemError, uint32_t* pRefusal) {
  if (!hmmio) return MMIOERR_INVALIDFILE;
  if (pSystemError) *pSystemError = hmmio->SystemError;
  if (pRefusal) *pRefusal = hmmio->Refusal;
  return 0;
}

MMRESULT mmioRefuse(HMMIO hmmio, uint32_t uRefusal) {
  if (!hmmio) return MMIOERR_INVALIDFILE;
  NoteRefusal(hmmio, uRefusal);
  return 0;
}

FOURCC mmioStringToFOURCCA(const char* sz, uint32_t uFlags) {
  char code[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; sz && i < 4 && sz[i]; ++i) {
    const auto c = static_cast<unsigned char>(sz[i]);
    code[i] = static_cast<char>((uFlags & MMIO_TOUPPER) ? std::toupper(c) : c);
  }
  return mmioFOURCC(code[0], code[1], code[2], code[3]);
}
