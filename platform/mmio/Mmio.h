#pragma once

// Multimedia file I/O: RIFF files read and written chunk by chunk, on disk files or on any
// source of bytes served by an I/O procedure, under the names, records and values that callers
// of such a service know. It depends on nothing of the class library.
//
// A file opened with MMIO_ALLOCBUF (or given a buffer by mmioSetBuffer) moves its bytes through
// that buffer: the I/O procedure is called once per buffer, not once per transfer, and written
// bytes reach it when the buffer is full, on a seek away, on mmioFlush and at close. A file
// without a buffer calls its procedure once per read, write and seek (for a disk file, one POSIX
// read, write or lseek); the chunk search reads through a buffer in either case. Offsets and
// chunk positions are 64-bit, so that files of 4 GiB (RIFF) and beyond (RF64) are reached;
// counts per call stay 32-bit.
//
// Each open file keeps why it failed, for a person to be told: the system error of its first
// failing call and the reason it was refused (mmioGetFailure).

#include <cstdint>
#include <cstdio>

using MMRESULT = uint32_t;
using FOURCC = uint32_t;
// Pointer-sized, so that a procedure's parameter carries a buffer address.
using LPARAM = intptr_t;
using LRESULT = intptr_t;

using HMMIO = struct HMMIO__*;

struct MMIOINFO;
// An I/O procedure: serves one message for the file whose record it is given.
using MMIOPROC = LRESULT (*)(MMIOINFO* lpmmioinfo, uint32_t uMsg, LPARAM lParam1, LPARAM lParam2);
using LPMMIOPROC = MMIOPROC;

// The record of an open file. A caller fills it to open a file through its own procedure; the
// file keeps its own copy, which is the one the procedure receives.
struct MMIOINFO {
  uint32_t dwFlags;     // the open flags
  FOURCC fccIOProc;     // 0 or "DOS " for disk files
  LPMMIOPROC pIOProc;   // the file's procedure; none for disk files
  uint32_t wErrorRet;   // why mmioOpenA failed
  int64_t lDiskOffset;  // the current offset, kept up to date by the procedure
  // Words of the procedure's own; wide enough to hold a reference.
  uintptr_t adwInfo[3];
  HMMIO hmmio;  // the file's handle
  // With MMIO_ALLOCBUF: the buffer's size (0: MMIO_DEFAULTBUFFER), and the caller's own buffer
  // of that size to use instead of one of the file's (none: the file allocates it).
  int32_t cchBuffer;
  char* pchBuffer;
};

// One chunk: its id, the size of its data, its form type (RIFF and LIST), the file offset of
// its data (for RIFF and LIST, of the form type), and MMIO_DIRTY for a chunk being written.
// A parent of size 0xFFFFFFFF (an RF64 form, whose real size is in its ds64 chunk) is searched
// to the end of the file.
struct MMCKINFO {
  FOURCC ckid;
  uint32_t cksize;
  FOURCC fccType;
  uint64_t dwDataOffset;
  uint32_t dwFlags;
};

constexpr FOURCC mmioFOURCC(char c0, char c1, char c2, char c3) {
  return static_cast<FOURCC>(static_cast<uint8_t>(c0)) |
         static_cast<FOURCC>(static_cast<uint8_t>(c1)) << 8 |
         static_cast<FOURCC>(static_cast<uint8_t>(c2)) << 16 |
         static_cast<FOURCC>(static_cast<uint8_t>(c3)) << 24;
}

constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
constexpr FOURCC FOURCC_DOS = mmioFOURCC('D', 'O', 'S', ' ');
constexpr FOURCC FOURCC_RF64 = mmioFOURCC('R', 'F', '6', '4');
constexpr FOURCC FOURCC_BW64 = mmioFOURCC('B', 'W', '6', '4');

// Open flags.
constexpr uint32_t MMIO_READ = 0x0000;
constexpr uint32_t MMIO_WRITE = 0x0001;
constexpr uint32_t MMIO_READWRITE = 0x0002;
constexpr uint32_t MMIO_CREATE = 0x1000;
// Transfers go through a buffer of MMIOINFO.cchBuffer bytes.
constexpr uint32_t MMIO_ALLOCBUF = 0x00010000;
constexpr int32_t MMIO_DEFAULTBUFFER = 8192;

// Descend, create and string flags.
constexpr uint32_t MMIO_TOUPPER = 0x0010;
constexpr uint32_t MMIO_FINDCHUNK = 0x0010;
constexpr uint32_t MMIO_FINDRIFF = 0x0020;
constexpr uint32_t MMIO_FINDLIST = 0x0040;
constexpr uint32_t MMIO_CREATERIFF = 0x0020;
constexpr uint32_t MMIO_CREATELIST = 0x0040;
// In MMCKINFO.dwFlags: the chunk was created here and its size may have to be rewritten.
constexpr uint32_t MMIO_DIRTY = 0x10000000;

// I/O procedure messages. MMIOM_OPEN gets the file name (or none) in lParam1; MMIOM_READ and
// MMIOM_WRITE the buffer and the count; MMIOM_SEEK the offset and SEEK_SET, SEEK_CUR or
// SEEK_END; MMIOM_CLOSE the close flags. READ, WRITE and SEEK answer a count or an offset, -1
// on failure; OPEN and CLOSE answer 0 on success.
constexpr uint32_t MMIOM_READ = 0;
constexpr uint32_t MMIOM_WRITE = 1;
constexpr uint32_t MMIOM_SEEK = 2;
constexpr uint32_t MMIOM_OPEN = 3;
constexpr uint32_t MMIOM_CLOSE = 4;
constexpr uint32_t MMIOM_WRITEFLUSH = 5;

// mmioClose: a file opened on a descriptor leaves the descriptor open.
constexpr uint32_t MMIO_FHOPEN = 0x0010;

// Result codes.
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

// Why a file was refused (none, 0, when it was not), beyond the result codes. The file layer
// notes the first three; those of RIFF and wave files are noted by their readers.
constexpr uint32_t MMIO_REFUSED_NOTREGULAR = 1;  // a folder, FIFO or device read as a file
constexpr uint32_t MMIO_REFUSED_TOOLARGE = 2;    // it would pass the largest size its form holds
constexpr uint32_t MMIO_REFUSED_NOTRIFF = 3;     // no RIFF header at its start
constexpr uint32_t MMIO_REFUSED_RF64 = 4;        // an RF64 header without a ds64 chunk
constexpr uint32_t MMIO_REFUSED_FORM = 5;        // a RIFF file of another form type
constexpr uint32_t MMIO_REFUSED_NOFORMAT = 6;    // no format chunk
constexpr uint32_t MMIO_REFUSED_BADFORMAT = 7;   // a format chunk that cannot be read
constexpr uint32_t MMIO_REFUSED_NODATA = 8;      // no data chunk

// Opens a disk file by name with MMIO_READ, MMIO_WRITE or MMIO_READWRITE, and MMIO_CREATE to
// create or truncate it; or, with no name, the file that pmmioinfo->pIOProc serves; or, with
// no name, no procedure and fccIOProc FOURCC_DOS, the open descriptor in adwInfo[0], which the
// file closes when it closes (but with MMIO_FHOPEN). Only regular files are read: a folder, a
// FIFO or a device opened by name for reading is refused without waiting for a writer.
// Answers none on failure, with the reason in pmmioinfo->wErrorRet when a record was given.
HMMIO mmioOpenA(const char* pszFileName, MMIOINFO* pmmioinfo, uint32_t fdwOpen);
// Writes what the buffer holds and closes the file; the handle is released in any case.
// Non-zero when the procedure failed to close, or when any written bytes could not be handed
// to it, then or at an earlier flush (MMIOERR_CANNOTWRITE).
MMRESULT mmioClose(HMMIO hmmio, uint32_t fuClose);
// Hands the written bytes the buffer holds to the procedure; MMIOERR_CANNOTWRITE when that
// fails (the bytes are dropped, the system error noted, and mmioClose fails too).
MMRESULT mmioFlush(HMMIO hmmio, uint32_t fuFlush);
// Gives the file a buffer of cchBuffer bytes: pchBuffer, which stays the caller's and must
// outlive its use, or one of the file's own when none; cchBuffer 0 leaves the file without a
// buffer. What the old buffer held is flushed first; the file stays where it stood.
MMRESULT mmioSetBuffer(HMMIO hmmio, char* pchBuffer, int32_t cchBuffer, uint32_t fuBuffer);
// The system error (errno) of the file's first failing call, 0 for none, and the first reason
// it was refused (MMIO_REFUSED_...), 0 for none. Either pointer may be none.
MMRESULT mmioGetFailure(HMMIO hmmio, int* pSystemError, uint32_t* pRefusal);
// Notes why the caller refuses the file, unless a reason is noted already.
MMRESULT mmioRefuse(HMMIO hmmio, uint32_t uRefusal);
// The count moved (0 at the end of the file), or -1.
int32_t mmioRead(HMMIO hmmio, char* pch, int32_t cch);
int32_t mmioWrite(HMMIO hmmio, const char* pch, int32_t cch);
// The new offset from the start of the file, or -1.
int64_t mmioSeek(HMMIO hmmio, int64_t lOffset, int iOrigin);
// Finds a chunk from the current offset: MMIO_FINDCHUNK by pmmcki->ckid, MMIO_FINDRIFF and
// MMIO_FINDLIST by pmmcki->fccType, no flag the next chunk; within the data of pmmckiParent
// when given. Headers are read through a buffer; the search ends at a chunk id that is not
// four printable characters (zeros, or bytes that are no RIFF file) and after 65,536 chunks.
// On success the file stands at the chunk's data (after a form type).
MMRESULT mmioDescend(HMMIO hmmio, MMCKINFO* pmmcki, const MMCKINFO* pmmckiParent,
                     uint32_t fuDescend);
// Leaves the chunk: for one created here, rewrites its size when it changed (0xFFFFFFFF, the
// RF64 mark, for a size beyond 32 bits) and writes a pad byte after odd data. The file then stands
// after the chunk and its pad byte.
MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* pmmcki, uint32_t fuAscend);
// Writes a chunk header at the current offset (MMIO_CREATERIFF and MMIO_CREATELIST add the form
// type) and stands at the chunk's data.
MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* pmmcki, uint32_t fuCreate);
// The code of up to four characters, padded with blanks; MMIO_TOUPPER converts to upper case.
FOURCC mmioStringToFOURCCA(const char* sz, uint32_t uFlags);
