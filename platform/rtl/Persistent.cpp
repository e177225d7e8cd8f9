#include "platform/rtl/Persistent.h"

#include "platform/rtl/Exception.h"

namespace {

[[noreturn]] void AssignError(const TPersistent* ASource, const TPersistent* ADest) {
  const std::string source = ASource ? ASource->ClassName() : std::string("nil");
  throw EConvertError("Cannot assign a " + source + " to a " + ADest->ClassName());
}

}  // namespace

void TPersistent::AssignTo(TPersistent* ADest) const {
  AssignError(this, ADest);
}

void TPersistent::Assign(const TPersistent* ASource) {
  if (!ASource) AssignError(nullptr, this);
  ASource->AssignTo(this);
}
