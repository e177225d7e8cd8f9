#pragma once

// The toolkit without a display, for tests: an application object that records its message
// boxes, windows that are plain records, and a folder dialog that plays a script.

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Forms.h"
#include "platform/ui/ShellApi.h"

class TTestApplication : public TApplication {
 public:
  TTestApplication() : FWindow("TApplication", 0, nullptr, 0) {}

  HWND Handle() const override { return FWindow.Handle(); }
  HWND MainFormHandle() const override { return MainForm; }
  std::string Title() const override { return "corvane"; }
  void MessageBox(const std::string& AText) override { Messages.push_back(AText); }
  void ErrorBox(const std::string& AText) override { Errors.push_back(AText); }
  // Answers with the next of Answers, or presses the question's cancel button.
  TAnswer Ask(const TQuestion& AQuestion) override {
    Questions.push_back(AQuestion);
    if (Answers.empty()) return {AQuestion.Cancel, false};
    const TAnswer answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  void OpenFolder(const std::string& APath) override { Opened.push_back(APath); }

  HWND MainForm = nullptr;
  std::vector<std::string> Messages;
  std::vector<std::string> Errors;
  std::vector<TQuestion> Questions;
  std::deque<TAnswer> Answers;
  std::vector<std::string> Opened;

 private:
  ui::TWindow FWindow;
};

// Installs a folder dialog that runs the steps in order, then cancels if no step ended it, and
// records what it was shown. A folder item is in its tree when the folder exists; virtual
// items always are.
class TScriptedBrowser {
 public:
  using TStep = std::function<void(ui::TBrowseDialog&)>;

  TScriptedBrowser();
  ~TScriptedBrowser();

  std::vector<TStep> Steps;
  // What the last dialog was given and showed.
  HWND Owner = nullptr;
  std::string Root;
  bool HadRoot = false;
  std::vector<std::string> Selections;
  std::string StatusText;
  RECT Rect{100, 100, 400, 500};

  // Steps that the user might take.
  static TStep Select(const std::string& APath);
  static TStep Click(int AId);

 private:
  ui::TBrowseDialogToolkit FPrevious;
};
