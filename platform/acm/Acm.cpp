#include "platform/acm/Acm.h"

namespace {

// The largest record of the codecs planned for the manager: an MS ADPCM record, 18 + 32 bytes.
constexpr uint32_t kLargestFormat = 50;

}  // namespace

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric) {
  if (hao != nullptr) return MMSYSERR_INVALHANDLE;
  if (pMetric == nullptr) return MMSYSERR_INVALPARAM;
  if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT) return MMSYSERR_NOTSUPPORTED;
  *static_cast<uint32_t*>(pMetric) = kLargestFormat;
  return MMSYSERR_NOERROR;
}
