#include "platform/acm/drivers/Builtin.h"

#include "platform/acm/drivers/G711.h"
#include "platform/acm/drivers/ImaAdpcm.h"
#include "platform/acm/drivers/MsAdpcm.h"
#include "platform/acm/drivers/PcmDriver.h"

namespace acm {

namespace {

using DriverFactory = std::shared_ptr<Driver> (*)();

// One line per codec. The PCM converter comes first: it answers every linear-to-linear request.
constexpr DriverFactory kBuiltinDrivers[] = {
    MakePcmDriver, MakeImaAdpcmDriver, MakeMsAdpcmDriver, MakeAlawDriver, MakeMulawDriver,
};

}  // namespace

std::vector<std::shared_ptr<Driver>> MakeBuiltinDrivers() {
  std::vector<std::shared_ptr<Driver>> drivers;
  for (DriverFactory make : kBuiltinDrivers)
    drivers.push_back(make());
  return drivers;
}

}  // namespace acm
