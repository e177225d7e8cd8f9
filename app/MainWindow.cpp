#include "app/MainWindow.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QSettings>
#include <QSocketNotifier>
#include <QStyledItemDelegate>
#include <QUrl>

namespace {

// Group boxes with their caption on the frame's top line.
constexpr char kGroupBoxStyle[] =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px;"
    " padding-top: 4px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
    " padding: 0px; }";

// Long folders lose their middle, so both ends show; names and states lose their end.
class TListCells : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* AOption, const QModelIndex& AIndex) const override {
    QStyledItemDelegate::initStyleOption(AOption, AIndex);
    AOption->textElideMode =
        AIndex.column() == TForm1::colFolder ? Qt::ElideMiddle : Qt::ElideRight;
  }
};

std::vector<std::string> LocalFiles(const QMimeData* AData) {
  std::vector<std::string> files;
  if (AData)
    for (const QUrl& url : AData->urls())
      if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
  return files;
}

// The pipe that turns a signal into an event of the window: the handler writes, the window
// reads.
int SignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (::write(SignalPipe[1], &byte, 1) < 0) {
    // A full pipe has a wake-up in it already.
  }
  errno = saved;
}

}  // namespace

TForm1Window::TSetUp::TSetUp(Ui::Form1& AUi, QWidget* AWindow) {
  AUi.setupUi(AWindow);
  // The form's size is the smallest the window takes; it grows as the user likes.
  AWindow->setMinimumSize(AWindow->size());
  AWindow->move(191, 108);
  AWindow->setFont(ui::qt::FormFont(12));
  AWindow->setStyleSheet(QString::fromLatin1(kGroupBoxStyle));
  // Message boxes and the window are titled with the product's name.
  QGuiApplication::setApplicationDisplayName(QString::fromLatin1(TForm1::Title));
  QHeaderView* header = AUi.files->header();
  header->setStretchLastSection(true);
  // Name, folder, format, duration and size; the state takes the rest.
  constexpr int kWidths[] = {150, 160, 190, 60, 70};
  for (int column = 0; column < 5; ++column)
    AUi.files->setColumnWidth(column, kWidths[column]);
  AUi.files->setItemDelegate(new TListCells(AUi.files));
  AUi.StatusBar1->showMessage(AUi.StatusBar1->property("simpleText").toString());
  AWindow->setAcceptDrops(true);
}

TForm1Window::TForm1Window(TCompression& ACompression)
    : FSetUp(FUi, this),
      FWindow(this, "TForm1"),
      FFiles(*FUi.files),
      FOutput(*FUi.output),
      FStatusBar(*FUi.StatusBar1),
      FOpenDialog(this, "Select file(s) to add:", "Wave File|*.wav|All Files|*.*"),
      FStartBtn(*FUi.StartBtn),
      FCodec(*FUi.codec),
      FRate(*FUi.Rate),
      FChannels(*FUi.Channels),
      FBitrate(*FUi.Bitrate),
      FQuality(*FUi.Quality),
      FBlockSize(*FUi.BlockSize),
      FBits(*FUi.Bits),
      FFilesAtOnce(*FUi.FilesAtOnce),
      FWhenExists(*FUi.WhenExists),
      FProgress(*FUi.Progress, *FUi.TimeLeft),
      FTimerControl(FTimer),
      FAddBtn(*FUi.AddBtn),
      FAddFolderBtn(*FUi.AddFolderBtn),
      FRemoveBtn(*FUi.RemoveBtn),
      FClearBtn(*FUi.ClearBtn),
      FSelectBtn(*FUi.Button1),
      FSelectCodecBtn(*FUi.SelectCodecBtn),
      FForm({FFiles,
             FOutput,
             FStatusBar,
             FOpenDialog,
             FStartBtn,
             FCodec,
             FRate,
             FChannels,
             FBitrate,
             FQuality,
             FBlockSize,
             FBits,
             FFilesAtOnce,
             FWhenExists,
             FProgress,
             FTimerControl,
             FSettings,
             {&FAddBtn, &FAddFolderBtn, &FRemoveBtn, &FClearBtn, &FSelectBtn, &FSelectCodecBtn}},
            ACompression, FWindow.Handle()) {
  const QByteArray geometry =
      FSettings.Store().value(QStringLiteral("window/geometry")).toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  FTimer.setInterval(100);
  connect(&FTimer, &QTimer::timeout, this, [this] { Run(&TForm1::TimerTick); });
  connect(FUi.AddBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::AddBtnClick); });
  connect(FUi.AddFolderBtn, &QPushButton::clicked, this,
          [this] { Run(&TForm1::AddFolderBtnClick); });
  connect(FUi.RemoveBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::RemoveBtnClick); });
  connect(FUi.ClearBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::ClearBtnClick); });
  connect(FUi.SelectCodecBtn, &QPushButton::clicked, this,
          [this] { Run(&TForm1::SelectCodecBtnClick); });
  connect(FUi.AboutBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::AboutBtnClick); });
  connect(FUi.Button1, &QPushButton::clicked, this, [this] { Run(&TForm1::Button1Click); });
  connect(FUi.StartBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::StartBtnClick); });
  for (QComboBox* box : {FUi.Rate, FUi.Channels, FUi.Bitrate, FUi.Quality, FUi.BlockSize, FUi.Bits,
                         FUi.FilesAtOnce, FUi.WhenExists})
    connect(box, &QComboBox::currentIndexChanged, this, [this] { Run(&TForm1::OptionsChanged); });
  // Enter presses the button that has the focus, as Space does; Delete in the list removes.
  for (QPushButton* button : findChildren<QPushButton*>())
    button->installEventFilter(this);
  FUi.files->installEventFilter(this);
}

TForm1Window::~TForm1Window() {
  // A window destroyed without closing (tests, the end of the program) leaves no batch behind.
  Guarded("closing the window", [&] { FForm.CloseQuery(false); });
}

template <class F>
void TForm1Window::Run(F AHandler) {
  Guarded([this] { return FForm.Activity(); }, [&] { (FForm.*AHandler)(); });
}

bool TForm1Window::eventFilter(QObject* AObject, QEvent* AEvent) {
  if (AEvent->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(AEvent);
    if (AObject == FUi.files && key->matches(QKeySequence::Delete)) {
      Run(&TForm1::RemoveBtnClick);
      return true;
    }
    auto* button = qobject_cast<QPushButton*>(AObject);
    if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        key->modifiers() == Qt::NoModifier) {
      button->click();
      return true;
    }
  }
  return QWidget::eventFilter(AObject, AEvent);
}

void TForm1Window::closeEvent(QCloseEvent* AEvent) {
  bool close = true;
  Guarded("closing the window", [&] { close = FForm.CloseQuery(FAsk); });
  FAsk = true;
  if (!close) return AEvent->ignore();
  FSettings.Store().setValue(QStringLiteral("window/geometry"), saveGeometry());
  FSettings.Store().sync();
  AEvent->accept();
}

void TForm1Window::StopOnSignals() {
  // One pipe and one handler for the process; the window that asked last is closed.
  if (SignalPipe[0] < 0) {
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
      ::sigaction(signal, &action, nullptr);
  }
  delete FSignals;
  FSignals = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
  connect(FSignals, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    // A dialog or question that is up is answered as Escape answers it.
    for (int open = 0; open < 8; ++open) {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) break;
      if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
      else
        modal->close();
    }
    FAsk = false;
    close();
  });
}

void TForm1Window::dragEnterEvent(QDragEnterEvent* AEvent) {
  if (!FForm.Running() && !LocalFiles(AEvent->mimeData()).empty()) AEvent->acceptProposedAction();
}

void TForm1Window::dropEvent(QDropEvent* AEvent) {
  const std::vector<std::string> files = LocalFiles(AEvent->mimeData());
  Guarded("adding files", [&] { FForm.FilesDropped(files); });
  AEvent->acceptProposedAction();
}
