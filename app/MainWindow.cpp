#include "app/MainWindow.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QListWidget>
#include <QMimeData>
#include <QStyledItemDelegate>
#include <QUrl>

namespace {

// The list's rows are 13 pixels high, as the form gives them, and as wide as the list, so a
// long path is shortened in the middle instead of scrolling sideways.
class TListRows : public QStyledItemDelegate {
 public:
  explicit TListRows(QListWidget* AList) : QStyledItemDelegate(AList), FList(AList) {}
  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
    return {FList->viewport()->width(), 13};
  }

 private:
  QListWidget* FList;
};

// Group boxes with their caption on the frame's top line, where the form's layout expects it.
constexpr char kGroupBoxStyle[] =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
    " padding: 0px; }";

std::vector<std::string> LocalFiles(const QMimeData* AData) {
  std::vector<std::string> files;
  if (AData)
    for (const QUrl& url : AData->urls())
      if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
  return files;
}

}  // namespace

TForm1Window::TSetUp::TSetUp(Ui::Form1& AUi, QWidget* AWindow) {
  // A border that offers minimising but no maximising, and a fixed client area.
  AWindow->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint);
  AUi.setupUi(AWindow);
  AWindow->setFixedSize(AWindow->size());
  // The form's place on the screen (the form's code sizes the window but does not place it).
  AWindow->move(191, 108);
  AWindow->setFont(ui::qt::FormFont(11));
  AWindow->setStyleSheet(QString::fromLatin1(kGroupBoxStyle));
  AUi.files->setItemDelegate(new TListRows(AUi.files));
  AUi.files->setTextElideMode(Qt::ElideMiddle);
  AUi.files->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
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
      FForm({FFiles, FOutput, FStatusBar, FOpenDialog}, ACompression, FWindow.Handle()) {
  connect(FUi.AddBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::AddBtnClick); });
  connect(FUi.RemoveBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::RemoveBtnClick); });
  connect(FUi.SelectCodecBtn, &QPushButton::clicked, this,
          [this] { Run(&TForm1::SelectCodecBtnClick); });
  connect(FUi.AboutBtn, &QPushButton::clicked, this, [this] { Run(&TForm1::AboutBtnClick); });
  connect(FUi.Button1, &QPushButton::clicked, this, [this] { Run(&TForm1::Button1Click); });
  connect(FUi.StartBtn, &QPushButton::clicked, this, [this] {
    // The window takes no input while the batch runs; the pointer says so.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    Run(&TForm1::StartBtnClick);
    QGuiApplication::restoreOverrideCursor();
  });
}

TForm1Window::~TForm1Window() = default;

template <class F>
void TForm1Window::Run(F AHandler) {
  Guarded([this] { return FForm.Activity(); }, [&] { (FForm.*AHandler)(); });
}

void TForm1Window::dragEnterEvent(QDragEnterEvent* AEvent) {
  if (!LocalFiles(AEvent->mimeData()).empty()) AEvent->acceptProposedAction();
}

void TForm1Window::dropEvent(QDropEvent* AEvent) {
  const std::vector<std::string> files = LocalFiles(AEvent->mimeData());
  Guarded("adding files", [&] { FForm.FilesDropped(files); });
  AEvent->acceptProposedAction();
}
