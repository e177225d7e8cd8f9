#include "core/UKZFormat.h"

std::unique_ptr<TKZPersistent> TKZFormat::NewInstance() const {
  return std::make_unique<TKZFormat>();
}
