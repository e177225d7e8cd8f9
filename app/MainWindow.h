#pragma once

// The main window on Qt: the form description (corvane_unit1.ui) bound to the window's logic
// (TForm1). Every handler runs guarded, so a failure is shown by the application's handler and
// the window stays usable. The batch runs on worker threads; a timer shows its progress.

#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include "app/corvane_unit1.h"
#include "platform/ui/qt/QtUi.h"
#include "ui_corvane_unit1.h"

class TForm1Window : public QWidget {
 public:
  explicit TForm1Window(TCompression& ACompression);
  ~TForm1Window() override;

  HWND Handle() const { return FWindow.Handle(); }
  TForm1& Form() { return FForm; }
  Ui::Form1& Widgets() { return FUi; }

  // SIGTERM, SIGHUP and SIGINT close the window as the close button does, without the
  // question: a running batch is stopped and its temporary files removed first.
  void StopOnSignals();

 protected:
  void dragEnterEvent(QDragEnterEvent* AEvent) override;
  void dropEvent(QDropEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AObject, QEvent* AEvent) override;

 private:
  template <class F>
  void Run(F AHandler);

  // The widgets exist before the controls over them.
  struct TSetUp {
    TSetUp(Ui::Form1& AUi, QWidget* AWindow);
  };

  Ui::Form1 FUi{};
  TSetUp FSetUp;
  ui::qt::TQtWindow FWindow;
  ui::qt::TQtListBox FFiles;
  ui::qt::TQtLabel FOutput;
  ui::qt::TQtStatusBar FStatusBar;
  ui::qt::TQtOpenDialog FOpenDialog;
  ui::qt::TQtButton FStartBtn;
  ui::qt::TQtLabel FCodec;
  ui::qt::TQtComboBox FRate, FChannels, FBitrate, FQuality, FBlockSize, FBits, FFilesAtOnce,
      FWhenExists;
  ui::qt::TQtProgressBar FProgress;
  QTimer FTimer;
  ui::qt::TQtTimer FTimerControl;
  ui::qt::TQtSettings FSettings;
  ui::qt::TQtControl FAddBtn, FAddFolderBtn, FRemoveBtn, FClearBtn, FSelectBtn, FSelectCodecBtn;
  TForm1 FForm;
  bool FAsk = true;
  QSocketNotifier* FSignals = nullptr;
};
