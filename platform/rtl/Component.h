#pragma once

#include <string>
#include <utility>

#include "platform/rtl/Persistent.h"

// Base of the non-visual parts of a window: it knows its owner and its name. The owner does
// not free it; whoever creates a component holds it.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner) : FOwner(AOwner) {}

  TComponent* GetOwner() const { return FOwner; }
  const std::string& GetName() const { return FName; }
  void SetName(std::string AName) { FName = std::move(AName); }

 private:
  TComponent* FOwner;
  std::string FName;
};
