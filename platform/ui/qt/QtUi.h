#pragma once

// The Qt 6 Widgets binding of the toolkit: the application object, windows of the call layer
// over widgets, the controls of platform/ui/Forms.h over Qt's, and the two dialogs that the
// codec manager and the shell run (installed by the application object).

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/ui/Forms.h"
#include "platform/ui/ShellApi.h"
#include "platform/ui/Windows.h"

class QAbstractButton;
class QComboBox;
class QLabel;
class QProgressBar;
class QSettings;
class QStatusBar;
class QTimer;
class QTreeWidget;

namespace ui::qt {

// A window of the call layer whose state is a widget's. It follows the widget: activating it
// makes it the foreground window.
class TQtWindow : public TWindow, public QObject {
 public:
  TQtWindow(QWidget* AWidget, std::string AClassName, HWND AParent = nullptr, int32_t AId = 0);
  // A window that stands for another one's widget does not take the foreground from it.
  void SetFollowsActivation(bool AFollows) { FFollowsActivation = AFollows; }

  QWidget* Widget() const { return FWidget; }
  void SetWidget(QWidget* AWidget);

  RECT GetRect() const override;
  void SetRect(const RECT& ARect) override;
  std::string GetText() const override;
  void SetText(const std::string& AText) override;
  bool GetEnabled() const override;
  void SetEnabled(bool AEnabled) override;

 protected:
  bool eventFilter(QObject* AObject, QEvent* AEvent) override;

 private:
  QPointer<QWidget> FWidget;
  bool FFollowsActivation = true;
};

// The widget of a window, or none; dialogs use it as their parent.
QWidget* WidgetOf(HWND AWindow);

// The application object: initialise, create the main form, run the message loop. While it
// lives the codec manager's format-choice dialog and the shell's folder dialog are Qt's.
// Failures that leave an event handler are shown by the default failure handler.
class TQtApplication : public TApplication {
 public:
  TQtApplication(int& AArgc, char** AArgv);
  ~TQtApplication() override;

  // Installs the dialogs and the posted-message dispatch.
  void Initialize();
  // Creates the form (a widget with a Handle); the first one made is the main form.
  template <class TForm, class... TArgs>
  TForm& CreateForm(TArgs&&... AArgs) {
    auto form = std::make_unique<TForm>(std::forward<TArgs>(AArgs)...);
    TForm& result = *form;
    AddForm(std::move(form), result.Handle());
    return result;
  }
  // Shows the main form and runs until it is closed; the process's exit code.
  int Run();

  HWND Handle() const override;
  HWND MainFormHandle() const override { return FMainFormHandle; }
  std::string Title() const override;
  void MessageBox(const std::string& AText) override;
  void ErrorBox(const std::string& AText) override;
  TAnswer Ask(const TQuestion& AQuestion) override;
  void OpenFolder(const std::string& APath) override;

 private:
  class TEventApplication;

  void AddForm(std::unique_ptr<QWidget> AForm, HWND AHandle);

  std::unique_ptr<TEventApplication> FApp;
  std::unique_ptr<TQtWindow> FWindow;
  std::vector<std::unique_ptr<QWidget>> FForms;
  HWND FMainFormHandle = nullptr;
  bool FInitialized = false;
};

// The codec manager's format-choice dialog.
MMRESULT ChooseFormat(ACMFORMATCHOOSEA& ARequest);
// The shell's folder dialog.
std::unique_ptr<TBrowseDialogView> MakeBrowseDialogView(TBrowseDialog& ADialog);

// The font of the main window: "MS Sans Serif" where the desktop has it, else its sans-serif
// font, APixels high.
QFont FormFont(int APixels);

// Rows of a tree without branches; the item's text is kept apart from the cells it shows.
// Locked, the list still scrolls and selects, but takes no drops.
class TQtListBox : public TListBox {
 public:
  explicit TQtListBox(QTreeWidget& AList) : FList(&AList) {}
  int32_t Count() const override;
  std::string Item(int32_t AIndex) const override;
  void Add(const std::string& AText) override;
  void Delete(int32_t AIndex) override;
  int32_t SelCount() const override;
  bool Selected(int32_t AIndex) const override;
  void SetCell(int32_t AIndex, int32_t AColumn, const std::string& AText) override;
  std::string Cell(int32_t AIndex, int32_t AColumn) const override;
  void SetEnabled(bool AEnabled) override;

 private:
  QTreeWidget* FList;
};

class TQtButton : public TButton {
 public:
  explicit TQtButton(QAbstractButton& AButton) : FButton(&AButton) {}
  void SetCaption(const std::string& AText) override;
  void SetEnabled(bool AEnabled) override;

 private:
  QAbstractButton* FButton;
};

// Any widget as a control that can be locked.
class TQtControl : public TControl {
 public:
  explicit TQtControl(QWidget& AWidget) : FWidget(&AWidget) {}
  void SetEnabled(bool AEnabled) override;

 private:
  QWidget* FWidget;
};

class TQtComboBox : public TComboBox {
 public:
  explicit TQtComboBox(QComboBox& ABox) : FBox(&ABox) {}
  void Clear() override;
  void Add(const std::string& AText) override;
  int32_t Count() const override;
  std::string Item(int32_t AIndex) const override;
  int32_t ItemIndex() const override;
  void SetItemIndex(int32_t AIndex) override;
  void SetEnabled(bool AEnabled) override;

 private:
  QComboBox* FBox;
};

class TQtProgressBar : public TProgressBar {
 public:
  TQtProgressBar(QProgressBar& ABar, QLabel& AText) : FBar(&ABar), FText(&AText) {}
  void SetProgress(int32_t APermille, const std::string& AText) override;

 private:
  QProgressBar* FBar;
  QLabel* FText;
};

class TQtTimer : public TTimer {
 public:
  explicit TQtTimer(QTimer& ATimer) : FTimer(&ATimer) {}
  void SetEnabled(bool AEnabled) override;

 private:
  QTimer* FTimer;
};

// The desktop's place for settings: $XDG_CONFIG_HOME/corvane/corvane.ini.
class TQtSettings : public TSettings {
 public:
  TQtSettings();
  ~TQtSettings() override;
  std::string Read(const std::string& AKey, const std::string& ADefault) const override;
  void Write(const std::string& AKey, const std::string& AValue) override;
  QSettings& Store() { return *FSettings; }

 private:
  std::unique_ptr<QSettings> FSettings;
};

// Keeps the whole caption; shows it shortened in the middle when it does not fit, with the
// whole of it as the tool tip.
class TQtLabel : public TLabel, public QObject {
 public:
  explicit TQtLabel(QLabel& ALabel);
  std::string GetCaption() const override { return FCaption; }
  void SetCaption(const std::string& AText) override;

 protected:
  bool eventFilter(QObject* AObject, QEvent* AEvent) override;

 private:
  void Show();

  QLabel* FLabel;
  std::string FCaption;
};

// The batch runs beside the window, so the text is painted with the rest of it.
class TQtStatusBar : public TStatusBar {
 public:
  explicit TQtStatusBar(QStatusBar& ABar) : FBar(&ABar) {}
  void SetSimpleText(const std::string& AText) override;

 private:
  QStatusBar* FBar;
};

// The file-open dialog: a title, a filter ("Name|pattern|..."), several files at a time.
class TQtOpenDialog : public TOpenDialog {
 public:
  TQtOpenDialog(QWidget* AParent, std::string ATitle, const std::string& AFilter);
  bool Execute() override;
  std::vector<std::string> Files() const override { return FFiles; }

 private:
  QPointer<QWidget> FParent;
  std::string FTitle;
  QString FFilter;
  QString FDirectory;
  std::vector<std::string> FFiles;
};

}  // namespace ui::qt
