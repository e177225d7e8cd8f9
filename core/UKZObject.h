#pragma once

#include "platform/rtl/Exception.h"
#include "platform/rtl/Object.h"

// How objects are created throughout the class library.
//
// A class reference is the class itself, given as a template argument. Every class function
// that makes an object is a static template on the class it makes, defaulting to the class
// it belongs to, and constructs through that argument: `TKZMMIOStream::Open<TMyStream>(...)`
// answers a TMyStream, so a derived class gets instances of itself. A creation operation
// with arguments is a constructor of that class; the one without arguments is its default
// constructor.
//
// Where an object must create another of its own dynamic class at run time (Clone), it does so
// through the virtual NewInstance of TKZPersistent, which every concrete persistent class
// overrides; Clone checks that the override made the receiver's class.
//
// Virtual operations are declared in the order of the classes' dispatch tables; a new object
// handed out is a std::unique_ptr, and none is nullptr.
class TKZObject : public TObject {};

// What the class library's guards raise for a broken precondition or a platform error that
// leaves an object unusable: the runtime's general Exception with an empty message.
[[noreturn]] inline void Fail() {
  throw Exception();
}
