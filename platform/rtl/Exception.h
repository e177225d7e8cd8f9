#pragma once

#include <exception>
#include <string>

// The runtime's general failure. Most guards of the class library raise it with an empty
// message; the few worded ones say what went wrong.
class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(std::string AMessage) : FMessage(std::move(AMessage)) {}

  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// An assignment between objects of classes that do not know each other.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The silent failure: it ends what was being done, like any failure, but the application's
// failure handler shows nothing for it (the user cancelled, or was told already).
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// Raises the silent failure.
[[noreturn]] inline void Abort() {
  throw EAbort();
}
