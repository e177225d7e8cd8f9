#pragma once

// The PCM converter: any linear format to any other in one stream (sample width and type,
// channels, rate).

#include <memory>

#include "platform/acm/AcmDriver.h"

namespace acm {

std::shared_ptr<Driver> MakePcmDriver();

}  // namespace acm
