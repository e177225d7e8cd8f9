#pragma once

#include <string>

// The root of the runtime's classes. Every object knows the name of its dynamic class; the
// library's worded messages start with it.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  // The unqualified name of the object's dynamic class, e.g. "TKZChildStream".
  std::string ClassName() const;
};
