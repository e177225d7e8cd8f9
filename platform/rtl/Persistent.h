#pragma once

#include "platform/rtl/Object.h"

// Base of objects that copy their state into each other. Assign asks the source to copy
// itself (AssignTo); a class that knows how to take another class's state overrides Assign,
// one that knows how to give it overrides AssignTo. Neither knowing is an EConvertError.
class TPersistent : public TObject {
 public:
  virtual void AssignTo(TPersistent* ADest) const;
  // Kept for the order of the operations; nothing here streams published properties.
  virtual void DefineProperties() {}
  // ASource may be none.
  virtual void Assign(const TPersistent* ASource);
};
