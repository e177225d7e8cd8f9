#pragma once

// The audio compression manager: the records, constants and calls that the class library uses,
// under the names and with the layouts and values that callers of such a manager know.
// It depends on nothing of the class library.

#include <cstdint>

using MMRESULT = uint32_t;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
constexpr MMRESULT ACMERR_BUSY = 513;
constexpr MMRESULT ACMERR_UNPREPARED = 514;
constexpr MMRESULT ACMERR_CANCELED = 515;

constexpr uint16_t WAVE_FORMAT_PCM = 1;

#pragma pack(push, 1)
// The wave format record: an 18-byte header, then cbSize codec-specific bytes.
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

// Handles of the manager's objects; none is nullptr.
using HACMOBJ = struct HACMOBJ__*;

constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;

// Answers a metric of the manager (with no object) into *pMetric. ACM_METRIC_MAX_SIZE_FORMAT
// stores, as a uint32_t, the size in bytes of the largest format record any codec uses.
MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric);
