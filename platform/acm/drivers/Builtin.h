#pragma once

#include <memory>
#include <vector>

#include "platform/acm/AcmDriver.h"

namespace acm {

// The drivers the manager starts with, in the order it asks them.
std::vector<std::shared_ptr<Driver>> MakeBuiltinDrivers();

}  // namespace acm
