#pragma once

#include <functional>
#include <string>

#include "platform/rtl/Exception.h"

// The message of the exception a call raises; "(nothing raised)" when it returns.
inline std::string RaisedMessage(const std::function<void()>& ACall) {
  try {
    ACall();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(nothing raised)";
}
