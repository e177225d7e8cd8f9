#include "platform/ui/Forms.h"

#include <new>

#include "platform/rtl/Exception.h"

TApplication* Application = nullptr;

TApplication::TApplication() {
  Application = this;
}

TApplication::~TApplication() {
  if (Application == this) Application = nullptr;
}

void TApplication::HandleException(std::exception_ptr AFailure, const std::string& AActivity) {
  if (const auto text = FailureText(AFailure, AActivity)) ErrorBox(*text);
}

void ShowMessage(const std::string& AText) {
  if (Application) Application->MessageBox(AText);
}

std::optional<std::string> FailureText(std::exception_ptr AFailure, const std::string& AActivity) {
  std::string text;
  try {
    std::rethrow_exception(AFailure);
  } catch (const EAbort&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return "There was not enough memory for " + AActivity + ".";
  } catch (const std::exception& failure) {
    text = failure.what();
  } catch (...) {
  }
  if (text.empty()) return "Something failed while " + AActivity + ", and it gave no reason.";
  return text;
}
