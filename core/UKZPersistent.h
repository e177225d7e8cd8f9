#pragma once

#include <memory>

#include "platform/rtl/Exception.h"
#include "platform/rtl/Persistent.h"

// Root of the value-like objects of the class library: they copy into each other (Assign)
// and clone themselves.
class TKZPersistent : public TPersistent {
 public:
  // A fresh object of the receiver's dynamic class, in its initial state.
  virtual std::unique_ptr<TKZPersistent> NewInstance() const;
  // A new object of the receiver's dynamic class into which Assign copied the receiver.
  virtual std::unique_ptr<TKZPersistent> Clone() const;
};

// Clone with the static type kept: the clone of a T is a T.
template <class T>
std::unique_ptr<T> CloneOf(const T& AObject) {
  std::unique_ptr<TKZPersistent> clone = AObject.Clone();
  return std::unique_ptr<T>(static_cast<T*>(clone.release()));
}
