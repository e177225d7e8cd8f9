#pragma once

// The audio compression manager: the records, constants and calls that the class library uses,
// under the names and with the layouts and values that callers of such a manager know.
// It depends on nothing of the class library. Every call is synchronous; different streams may
// be used at the same time from different threads. Drivers and the codec-choice dialog are
// plugged in through platform/acm/AcmDriver.h.

#include <cstdint>

using MMRESULT = uint32_t;

// The identifier that names a sub-format of WAVEFORMATEXTENSIBLE.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
constexpr MMRESULT ACMERR_BUSY = 513;
constexpr MMRESULT ACMERR_UNPREPARED = 514;
constexpr MMRESULT ACMERR_CANCELED = 515;

// Format tags.
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_ADPCM = 2;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_ALAW = 6;
constexpr uint16_t WAVE_FORMAT_MULAW = 7;
constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x11;
constexpr uint16_t WAVE_FORMAT_GSM610 = 0x31;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x55;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// Sub-formats of WAVEFORMATEXTENSIBLE.
constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Speaker positions of dwChannelMask.
constexpr uint32_t SPEAKER_FRONT_LEFT = 0x1;
constexpr uint32_t SPEAKER_FRONT_RIGHT = 0x2;
constexpr uint32_t SPEAKER_FRONT_CENTER = 0x4;
constexpr uint32_t SPEAKER_LOW_FREQUENCY = 0x8;
constexpr uint32_t SPEAKER_BACK_LEFT = 0x10;
constexpr uint32_t SPEAKER_BACK_RIGHT = 0x20;
constexpr uint32_t SPEAKER_FRONT_LEFT_OF_CENTER = 0x40;
constexpr uint32_t SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80;
constexpr uint32_t SPEAKER_BACK_CENTER = 0x100;
constexpr uint32_t SPEAKER_SIDE_LEFT = 0x200;
constexpr uint32_t SPEAKER_SIDE_RIGHT = 0x400;

#pragma pack(push, 1)
// The wave format record: an 18-byte header, then cbSize codec-specific bytes. A PCM record
// (tag 1) is 18 bytes whatever its cbSize says.
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};

// Linear audio with more than two channels or more than 16 bits: cbSize 22 or more.
struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    uint16_t wValidBitsPerSample;
    uint16_t wSamplesPerBlock;
    uint16_t wReserved;
  } Samples;
  uint32_t dwChannelMask;
  GUID SubFormat;
};

// IMA ADPCM (tag 0x11): cbSize 2.
struct IMAADPCMWAVEFORMAT {
  WAVEFORMATEX wfx;
  uint16_t wSamplesPerBlock;
};

struct ADPCMCOEFSET {
  int16_t iCoef1;
  int16_t iCoef2;
};

// MS ADPCM (tag 2) with its seven standard predictors: cbSize 32. A record may carry more
// coefficient pairs (wNumCoef up to 256); they follow aCoef in memory.
struct ADPCMWAVEFORMAT {
  WAVEFORMATEX wfx;
  uint16_t wSamplesPerBlock;
  uint16_t wNumCoef;
  ADPCMCOEFSET aCoef[7];
};

// GSM 6.10 (tag 0x31): cbSize 2; 65-byte blocks of 320 samples (two frames).
struct GSM610WAVEFORMAT {
  WAVEFORMATEX wfx;
  uint16_t wSamplesPerBlock;
};

// MPEG Layer-3 (tag 0x55): cbSize 12.
struct MPEGLAYER3WAVEFORMAT {
  WAVEFORMATEX wfx;
  uint16_t wID;         // MPEGLAYER3_ID_MPEG
  uint32_t fdwFlags;    // MPEGLAYER3_FLAG_PADDING_*
  uint16_t nBlockSize;  // bytes of a frame without its padding byte
  uint16_t nFramesPerBlock;
  uint16_t nCodecDelay;  // samples the encoder puts before the signal
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(sizeof(IMAADPCMWAVEFORMAT) == 20);
static_assert(sizeof(ADPCMWAVEFORMAT) == 50);
static_assert(sizeof(GSM610WAVEFORMAT) == 20);
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);

constexpr uint16_t MPEGLAYER3_WFX_EXTRA_BYTES = 12;
constexpr uint16_t MPEGLAYER3_ID_MPEG = 1;
constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ISO = 0;
constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ON = 1;
constexpr uint32_t MPEGLAYER3_FLAG_PADDING_OFF = 2;

// Handles of the manager's objects; none is nullptr.
using HACMOBJ = struct HACMOBJ__*;
using HACMDRIVER = struct HACMDRIVER__*;
using HACMDRIVERID = struct HACMDRIVERID__*;
using HACMSTREAM = struct HACMSTREAM__*;
using HWND = struct HWND__*;

// ---- Metrics

constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;

// Answers a metric of the manager (with no object) into *pMetric. ACM_METRIC_MAX_SIZE_FORMAT
// stores, as a uint32_t, the size in bytes of the largest format record any registered driver
// uses.
MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric);

// ---- Format suggestion

constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;

// Completes the template in pwfxDst (capacity cbwfxDst bytes) into a format that pwfxSrc
// converts to in one stream. The fields named by the flags are fixed; the others are chosen
// from the source. A template without a fixed tag asks for PCM. Answers ACMERR_NOTPOSSIBLE when
// no driver makes such a format, MMSYSERR_INVALPARAM when it does not fit cbwfxDst.
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);

// ---- Conversion streams

// The conversion header. Callers set cbStruct to 84 (the record's size on the 32-bit host its
// layout comes from); any value from 84 up is taken.
struct ACMSTREAMHEADER {
  uint32_t cbStruct;
  uint32_t fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  uint32_t cbSrcLength;
  uint32_t cbSrcLengthUsed;
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  uint32_t cbDstLength;
  uint32_t cbDstLengthUsed;
  uintptr_t dwDstUser;
  uint32_t dwReservedDriver[10];
};
constexpr uint32_t ACMSTREAMHEADER_MIN_CBSTRUCT = 84;

constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;
constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x00000002;
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;

constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;

constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

// Opens a conversion from pwfxSrc to pwfxDst. With ACM_STREAMOPENF_QUERY only answers whether
// it can (phas may then be null and gets none). No driver handle, filter or callback is taken.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);
// ACM_STREAMSIZEF_SOURCE: the most destination bytes that cbInput source bytes produce.
// ACM_STREAMSIZEF_DESTINATION: the most source bytes whose output fits cbInput bytes (0 when
// not even one block fits). ACMERR_NOTPOSSIBLE when the answer exceeds 32 bits.
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);
// The header's buffers and lengths must be those it was prepared with.
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);
// Converts cbSrcLength bytes at pbSrc into at most cbDstLength bytes at pbDst. Output that does
// not fit stays in the stream and comes first in the next call. ACM_STREAMCONVERTF_END flushes
// what the stream still holds; repeat it (a source length of 0 is fine) until it produces
// nothing. ACM_STREAMCONVERTF_START begins a new signal.
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);

// ---- Format tags and formats, for the codec-choice dialog

constexpr uint32_t ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;
constexpr uint32_t ACMFORMATDETAILS_FORMAT_CHARS = 128;

constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;

struct ACMFORMATTAGDETAILSA {
  uint32_t cbStruct;
  uint32_t dwFormatTagIndex;
  uint32_t dwFormatTag;
  uint32_t cbFormatSize;
  uint32_t fdwSupport;
  uint32_t cStandardFormats;
  char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};

struct ACMFORMATDETAILSA {
  uint32_t cbStruct;
  uint32_t dwFormatIndex;
  uint32_t dwFormatTag;
  uint32_t fdwSupport;
  WAVEFORMATEX* pwfx;
  uint32_t cbwfx;
  char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
};

constexpr uint32_t ACM_FORMATTAGDETAILSF_INDEX = 0x00000000;
constexpr uint32_t ACM_FORMATTAGDETAILSF_FORMATTAG = 0x00000001;
constexpr uint32_t ACM_FORMATTAGDETAILSF_LARGESTSIZE = 0x00000002;
constexpr uint32_t ACM_FORMATDETAILSF_INDEX = 0x00000000;
constexpr uint32_t ACM_FORMATDETAILSF_FORMAT = 0x00000001;

constexpr uint32_t ACM_FORMATENUMF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATENUMF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATENUMF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATENUMF_WBITSPERSAMPLE = 0x00080000;
constexpr uint32_t ACM_FORMATENUMF_CONVERT = 0x00100000;
constexpr uint32_t ACM_FORMATENUMF_SUGGEST = 0x00200000;
constexpr uint32_t ACM_FORMATENUMF_HARDWARE = 0x00400000;
constexpr uint32_t ACM_FORMATENUMF_INPUT = 0x00800000;
constexpr uint32_t ACM_FORMATENUMF_OUTPUT = 0x01000000;

// Enumeration callbacks answer nonzero to go on, 0 to stop.
using ACMFORMATTAGENUMCBA = int (*)(HACMDRIVERID hadid, ACMFORMATTAGDETAILSA* paftd,
                                    uintptr_t dwInstance, uint32_t fdwSupport);
using ACMFORMATENUMCBA = int (*)(HACMDRIVERID hadid, ACMFORMATDETAILSA* pafd, uintptr_t dwInstance,
                                 uint32_t fdwSupport);

// One call per format tag of the registered drivers, in table order; fdwEnum must be 0.
MMRESULT acmFormatTagEnumA(HACMDRIVER had, ACMFORMATTAGDETAILSA* paftd,
                           ACMFORMATTAGENUMCBA fnCallback, uintptr_t dwInstance, uint32_t fdwEnum);
// ACM_FORMATTAGDETAILSF_INDEX (dwFormatTagIndex), _FORMATTAG (dwFormatTag) or _LARGESTSIZE
// (dwFormatTag, or WAVE_FORMAT_UNKNOWN 0 for any tag).
MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILSA* paftd, uint32_t fdwDetails);
// One call per listed format, each stored into pafd->pwfx (capacity pafd->cbwfx). The
// restriction flags read their fields from the record pafd->pwfx holds on entry; _CONVERT and
// _SUGGEST list what that record converts to. No
// format is listed for _HARDWARE, _INPUT or _OUTPUT: there are no devices.
MMRESULT acmFormatEnumA(HACMDRIVER had, ACMFORMATDETAILSA* pafd, ACMFORMATENUMCBA fnCallback,
                        uintptr_t dwInstance, uint32_t fdwEnum);
// ACM_FORMATDETAILSF_FORMAT: the description of the record in pafd->pwfx;
// ACM_FORMATDETAILSF_INDEX: the dwFormatIndex-th listed format of dwFormatTag.
MMRESULT acmFormatDetailsA(HACMDRIVER had, ACMFORMATDETAILSA* pafd, uint32_t fdwDetails);

// ---- The format-choice dialog

constexpr uint32_t ACMFORMATCHOOSE_STYLEF_SHOWHELP = 0x00000004;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_ENABLEHOOK = 0x00000008;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATE = 0x00000010;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATEHANDLE = 0x00000020;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT = 0x00000040;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_CONTEXTHELP = 0x00000080;

using ACMFORMATCHOOSEHOOKPROCA = uint32_t (*)(HWND hwnd, uint32_t uMsg, uintptr_t wParam,
                                              intptr_t lParam);

// Callers set cbStruct to 232 (the record's size on the host its layout comes from); any
// value from 232 up is taken.
struct ACMFORMATCHOOSEA {
  uint32_t cbStruct;
  uint32_t fdwStyle;
  HWND hwndOwner;
  WAVEFORMATEX* pwfx;
  uint32_t cbwfx;
  const char* pszTitle;
  char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
  char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
  char* pszName;
  uint32_t cchName;
  uint32_t fdwEnum;
  WAVEFORMATEX* pwfxEnum;
  void* hInstance;
  const char* pszTemplateName;
  intptr_t lCustData;
  ACMFORMATCHOOSEHOOKPROCA pfnHook;
};
constexpr uint32_t ACMFORMATCHOOSEA_MIN_CBSTRUCT = 232;

// Runs the dialog that the desktop program installed (acm::SetFormatChooseDialog): 0 when the
// user confirmed, with the chosen record in pwfx and its names in szFormatTag and szFormat.
// Without a dialog, or when the user cancels: ACMERR_CANCELED.
MMRESULT acmFormatChooseA(ACMFORMATCHOOSEA* pafmtc);
