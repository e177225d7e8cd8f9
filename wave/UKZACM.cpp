#include "wave/UKZACM.h"

#include <limits>

#include "platform/acm/Acm.h"
#include "platform/rtl/Exception.h"

int32_t HKZACM::MaxFormatSize() {
  uint32_t size = 0;
  const MMRESULT result = acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size);
  if (result != MMSYSERR_NOERROR) throw Exception();
  if (size > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) throw Exception();
  return static_cast<int32_t>(size);
}
