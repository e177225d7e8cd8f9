#pragma once

#include "core/UKZPersistent.h"

// The static type of every format object that a stream reports.
class TKZFormat : public TKZPersistent {
 public:
  std::unique_ptr<TKZPersistent> NewInstance() const override;
};
