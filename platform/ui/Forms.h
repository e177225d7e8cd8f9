#pragma once

// What the logic behind a window asks of the widget toolkit: its controls, the application's
// message boxes and the default failure handler. No toolkit type appears here; the Qt binding
// (platform/ui/qt) implements these classes, and tests implement them in memory.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/rtl/Component.h"
#include "platform/ui/Windows.h"

// A component that has a window.
class TWinControl : public TComponent {
 public:
  using TComponent::TComponent;
  virtual HWND Handle() const = 0;
};

// Something the user works with that can be locked.
class TControl {
 public:
  virtual ~TControl() = default;
  virtual void SetEnabled(bool AEnabled) = 0;
};

// A list whose items are texts (the files' paths) shown in columns of their own: a cell's
// text is the logic's to set.
class TListBox : public TControl {
 public:
  virtual int32_t Count() const = 0;
  virtual std::string Item(int32_t AIndex) const = 0;
  virtual void Add(const std::string& AText) = 0;
  virtual void Delete(int32_t AIndex) = 0;
  virtual int32_t SelCount() const = 0;
  virtual bool Selected(int32_t AIndex) const = 0;
  virtual void SetCell(int32_t AIndex, int32_t AColumn, const std::string& AText) = 0;
  virtual std::string Cell(int32_t AIndex, int32_t AColumn) const = 0;
};

class TButton : public TControl {
 public:
  virtual void SetCaption(const std::string& AText) = 0;
};

// A drop-down list of texts; -1 when none is chosen.
class TComboBox : public TControl {
 public:
  virtual void Clear() = 0;
  virtual void Add(const std::string& AText) = 0;
  virtual int32_t Count() const = 0;
  virtual std::string Item(int32_t AIndex) const = 0;
  virtual int32_t ItemIndex() const = 0;
  virtual void SetItemIndex(int32_t AIndex) = 0;
};

// A bar of how much is done, 0 to 1000, with a text beside it.
class TProgressBar {
 public:
  virtual ~TProgressBar() = default;
  virtual void SetProgress(int32_t APermille, const std::string& AText) = 0;
};

// Calls the form's timer handler on the thread of the user interface while it is enabled.
class TTimer {
 public:
  virtual ~TTimer() = default;
  virtual void SetEnabled(bool AEnabled) = 0;
};

// What is kept between runs: texts under keys.
class TSettings {
 public:
  virtual ~TSettings() = default;
  virtual std::string Read(const std::string& AKey, const std::string& ADefault) const = 0;
  virtual void Write(const std::string& AKey, const std::string& AValue) = 0;
};

// A question with buttons of its own, and an optional check box under it.
struct TQuestion {
  std::string Text;
  std::vector<std::string> Buttons;
  // The button that Escape and the window's close button press.
  int32_t Cancel = 0;
  // The check box's text; none when empty.
  std::string Check;
};

struct TAnswer {
  int32_t Button = 0;
  bool Checked = false;
};

class TLabel {
 public:
  virtual ~TLabel() = default;
  virtual std::string GetCaption() const = 0;
  virtual void SetCaption(const std::string& AText) = 0;
};

// A status bar in simple mode: one text. Setting it shows it at once, also while the
// program is busy.
class TStatusBar {
 public:
  virtual ~TStatusBar() = default;
  virtual void SetSimpleText(const std::string& AText) = 0;
};

class TOpenDialog {
 public:
  virtual ~TOpenDialog() = default;
  // Modal; true when the user confirmed.
  virtual bool Execute() = 0;
  // The chosen names, in the dialog's order.
  virtual std::vector<std::string> Files() const = 0;
};

// The application object as the logic sees it. One exists while the program runs (tests make
// their own); it sets Application to itself.
class TApplication {
 public:
  TApplication();
  virtual ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // The application-level window: the owner of dialogs that belong to no form.
  virtual HWND Handle() const = 0;
  // The main form's window; none before it exists.
  virtual HWND MainFormHandle() const = 0;
  virtual std::string Title() const = 0;
  // A modal box with the text and an OK button, titled with Title; carriage returns in the
  // text break lines.
  virtual void MessageBox(const std::string& AText) = 0;
  // The same as an error box.
  virtual void ErrorBox(const std::string& AText) = 0;
  // A modal question titled with Title.
  virtual TAnswer Ask(const TQuestion& AQuestion) = 0;
  // Shows a folder in the desktop's file manager.
  virtual void OpenFolder(const std::string& APath) = 0;

  // The default failure handler, for a failure that left a handler of the user interface:
  // shows its text in an error box, nothing for EAbort, and for an empty text a sentence that
  // names AActivity, what was being done ("compressing /music/a.wav").
  void HandleException(std::exception_ptr AFailure, const std::string& AActivity);
};

extern TApplication* Application;

// Shows AText in the application's message box.
void ShowMessage(const std::string& AText);

// What the default failure handler shows for a failure; none for EAbort.
std::optional<std::string> FailureText(std::exception_ptr AFailure, const std::string& AActivity);

// Runs AHandler and hands any failure that leaves it to the application's handler, so that no
// failure reaches the toolkit's event loop. AActivity is the activity's text, or a function
// that tells it when a failure needs it.
template <class A, class F>
void Guarded(A&& AActivity, F&& AHandler) noexcept {
  try {
    AHandler();
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    try {
      if constexpr (std::is_invocable_v<A>) {
        if (Application) Application->HandleException(failure, AActivity());
      } else {
        if (Application) Application->HandleException(failure, AActivity);
      }
    } catch (...) {
      // The handler itself failed (no memory for a message box): nothing more can be shown.
    }
  }
}
