#include "platform/ui/qt/QtUi.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include "platform/acm/AcmDriver.h"

namespace ui::qt {

namespace {

QString Q(const std::string& AText) {
  return QString::fromStdString(AText);
}

// Carriage returns alone break lines as line feeds do.
QString MessageText(const std::string& AText) {
  QString text = Q(AText);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  return text;
}

void ScheduleDispatch() {
  QTimer::singleShot(0, qApp, [] { DispatchPostedMessages(); });
}

}  // namespace

// ---- Windows

TQtWindow::TQtWindow(QWidget* AWidget, std::string AClassName, HWND AParent, int32_t AId)
    : TWindow(std::move(AClassName), 0, AParent, AId) {
  SetWidget(AWidget);
}

void TQtWindow::SetWidget(QWidget* AWidget) {
  if (FWidget) FWidget->removeEventFilter(this);
  FWidget = AWidget;
  if (!FWidget) return;
  FWidget->installEventFilter(this);
  if (FFollowsActivation && FWidget->isActiveWindow()) SetForegroundWindow(Handle());
}

bool TQtWindow::eventFilter(QObject* AObject, QEvent* AEvent) {
  if (FFollowsActivation && AObject == FWidget && AEvent->type() == QEvent::WindowActivate)
    SetForegroundWindow(Handle());
  return false;
}

RECT TQtWindow::GetRect() const {
  if (!FWidget) return TWindow::GetRect();
  const QRect frame = FWidget->isWindow()
                          ? FWidget->frameGeometry()
                          : QRect(FWidget->mapToGlobal(QPoint(0, 0)), FWidget->size());
  return {frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
}

void TQtWindow::SetRect(const RECT& ARect) {
  if (!FWidget) return TWindow::SetRect(ARect);
  const QPoint at = FWidget->isWindow()
                        ? QPoint(ARect.left, ARect.top)
                        : FWidget->parentWidget()->mapFromGlobal(QPoint(ARect.left, ARect.top));
  FWidget->move(at);
  FWidget->resize(ARect.right - ARect.left, ARect.bottom - ARect.top);
}

std::string TQtWindow::GetText() const {
  return FWidget ? FWidget->windowTitle().toStdString() : TWindow::GetText();
}

void TQtWindow::SetText(const std::string& AText) {
  if (FWidget)
    FWidget->setWindowTitle(Q(AText));
  else
    TWindow::SetText(AText);
}

bool TQtWindow::GetEnabled() const {
  return FWidget ? FWidget->isEnabled() : TWindow::GetEnabled();
}

void TQtWindow::SetEnabled(bool AEnabled) {
  if (FWidget)
    FWidget->setEnabled(AEnabled);
  else
    TWindow::SetEnabled(AEnabled);
}

QWidget* WidgetOf(HWND AWindow) {
  auto* window = dynamic_cast<TQtWindow*>(FindWindow(AWindow));
  return window ? window->Widget() : nullptr;
}

QFont FormFont(int APixels) {
  QFont font(QStringLiteral("MS Sans Serif"));
  if (!QFontDatabase::hasFamily(font.family()))
    font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(APixels);
  return font;
}

// ---- Application

// Qt must never see a failure: one that leaves an event handler stops here.
class TQtApplication::TEventApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* AReceiver, QEvent* AEvent) override {
    try {
      return QApplication::notify(AReceiver, AEvent);
    } catch (...) {
      if (::Application)
        ::Application->HandleException(std::current_exception(), "handling a window event");
      return false;
    }
  }
};

TQtApplication::TQtApplication(int& AArgc, char** AArgv)
    : FApp(std::make_unique<TEventApplication>(AArgc, AArgv)),
      FWindow(std::make_unique<TQtWindow>(nullptr, "TApplication")) {
  FWindow->SetFollowsActivation(false);
}

TQtApplication::~TQtApplication() {
  if (FInitialized) {
    acm::SetFormatChooseDialog({});
    SetBrowseDialogToolkit({});
    SetPostWakeup(nullptr);
  }
  FForms.clear();
  FWindow.reset();
}

void TQtApplication::Initialize() {
  acm::SetFormatChooseDialog(&ChooseFormat);
  SetBrowseDialogToolkit(&MakeBrowseDialogView);
  SetPostWakeup(&ScheduleDispatch);
  FInitialized = true;
}

void TQtApplication::AddForm(std::unique_ptr<QWidget> AForm, HWND AHandle) {
  if (FForms.empty()) {
    FMainFormHandle = AHandle;
    // Dialogs owned by the application sit over the main form.
    FWindow->SetWidget(AForm.get());
  }
  FForms.push_back(std::move(AForm));
}

int TQtApplication::Run() {
  if (FForms.empty()) return 0;
  FForms.front()->show();
  return QApplication::exec();
}

HWND TQtApplication::Handle() const {
  return FWindow->Handle();
}

std::string TQtApplication::Title() const {
  return QApplication::applicationDisplayName().toStdString();
}

void TQtApplication::MessageBox(const std::string& AText) {
  QMessageBox box(QMessageBox::NoIcon, Q(Title()), MessageText(AText), QMessageBox::Ok,
                  WidgetOf(Handle()));
  box.exec();
}

void TQtApplication::ErrorBox(const std::string& AText) {
  QMessageBox box(QMessageBox::Critical, Q(Title()), MessageText(AText), QMessageBox::Ok,
                  WidgetOf(Handle()));
  box.exec();
}

TAnswer TQtApplication::Ask(const TQuestion& AQuestion) {
  QMessageBox box(QMessageBox::Question, Q(Title()), MessageText(AQuestion.Text),
                  QMessageBox::NoButton, WidgetOf(Handle()));
  std::vector<QPushButton*> buttons;
  for (size_t i = 0; i < AQuestion.Buttons.size(); ++i) {
    const bool cancel = static_cast<int32_t>(i) == AQuestion.Cancel;
    buttons.push_back(box.addButton(Q(AQuestion.Buttons[i]),
                                    cancel ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    if (cancel) box.setEscapeButton(buttons.back());
  }
  if (!buttons.empty()) box.setDefaultButton(buttons.front());
  QCheckBox* check = nullptr;
  if (!AQuestion.Check.empty()) {
    check = new QCheckBox(Q(AQuestion.Check));
    box.setCheckBox(check);
  }
  box.exec();
  TAnswer answer{AQuestion.Cancel, check && check->isChecked()};
  for (size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) answer.Button = static_cast<int32_t>(i);
  return answer;
}

void TQtApplication::OpenFolder(const std::string& APath) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(Q(APath)));
}

// ---- Controls

int32_t TQtListBox::Count() const {
  return FList->topLevelItemCount();
}

std::string TQtListBox::Item(int32_t AIndex) const {
  const QTreeWidgetItem* item = FList->topLevelItem(AIndex);
  return item ? item->data(0, Qt::UserRole).toString().toStdString() : std::string();
}

void TQtListBox::Add(const std::string& AText) {
  auto* item = new QTreeWidgetItem;
  item->setData(0, Qt::UserRole, Q(AText));
  item->setText(0, Q(AText));
  item->setToolTip(0, Q(AText));
  FList->addTopLevelItem(item);
}

void TQtListBox::Delete(int32_t AIndex) {
  delete FList->takeTopLevelItem(AIndex);
}

int32_t TQtListBox::SelCount() const {
  return static_cast<int32_t>(FList->selectedItems().size());
}

bool TQtListBox::Selected(int32_t AIndex) const {
  const QTreeWidgetItem* item = FList->topLevelItem(AIndex);
  return item && item->isSelected();
}

void TQtListBox::SetCell(int32_t AIndex, int32_t AColumn, const std::string& AText) {
  if (QTreeWidgetItem* item = FList->topLevelItem(AIndex)) {
    item->setText(AColumn, Q(AText));
    // A long reason is read whole in the tool tip.
    if (AColumn > 0) item->setToolTip(AColumn, Q(AText));
  }
}

std::string TQtListBox::Cell(int32_t AIndex, int32_t AColumn) const {
  const QTreeWidgetItem* item = FList->topLevelItem(AIndex);
  return item ? item->text(AColumn).toStdString() : std::string();
}

void TQtListBox::SetEnabled(bool AEnabled) {
  FList->setProperty("locked", !AEnabled);
}

void TQtButton::SetCaption(const std::string& AText) {
  FButton->setText(Q(AText));
}

void TQtButton::SetEnabled(bool AEnabled) {
  FButton->setEnabled(AEnabled);
}

void TQtControl::SetEnabled(bool AEnabled) {
  FWidget->setEnabled(AEnabled);
}

void TQtComboBox::Clear() {
  FBox->clear();
}

void TQtComboBox::Add(const std::string& AText) {
  FBox->addItem(Q(AText));
}

int32_t TQtComboBox::Count() const {
  return FBox->count();
}

std::string TQtComboBox::Item(int32_t AIndex) const {
  return FBox->itemText(AIndex).toStdString();
}

int32_t TQtComboBox::ItemIndex() const {
  return FBox->currentIndex();
}

void TQtComboBox::SetItemIndex(int32_t AIndex) {
  FBox->setCurrentIndex(AIndex);
}

void TQtComboBox::SetEnabled(bool AEnabled) {
  FBox->setEnabled(AEnabled);
}

void TQtProgressBar::SetProgress(int32_t APermille, const std::string& AText) {
  FBar->setValue(APermille);
  FText->setText(Q(AText));
}

void TQtTimer::SetEnabled(bool AEnabled) {
  if (AEnabled)
    FTimer->start();
  else
    FTimer->stop();
}

TQtSettings::TQtSettings()
    : FSettings(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                            QStringLiteral("corvane"), QStringLiteral("corvane"))) {
}

TQtSettings::~TQtSettings() = default;

std::string TQtSettings::Read(const std::string& AKey, const std::string& ADefault) const {
  return FSettings->value(Q(AKey), Q(ADefault)).toString().toStdString();
}

void TQtSettings::Write(const std::string& AKey, const std::string& AValue) {
  FSettings->setValue(Q(AKey), Q(AValue));
}

TQtLabel::TQtLabel(QLabel& ALabel) : FLabel(&ALabel), FCaption(ALabel.text().toStdString()) {
  FLabel->installEventFilter(this);
  Show();
}

void TQtLabel::SetCaption(const std::string& AText) {
  FCaption = AText;
  Show();
}

bool TQtLabel::eventFilter(QObject* AObject, QEvent* AEvent) {
  if (AObject == FLabel && AEvent->type() == QEvent::Resize) Show();
  return false;
}

void TQtLabel::Show() {
  const QString caption = Q(FCaption);
  const QString shown =
      FLabel->fontMetrics().elidedText(caption, Qt::ElideMiddle, FLabel->contentsRect().width());
  FLabel->setText(shown);
  FLabel->setToolTip(shown == caption ? QString() : caption);
}

void TQtStatusBar::SetSimpleText(const std::string& AText) {
  FBar->showMessage(Q(AText));
}

TQtOpenDialog::TQtOpenDialog(QWidget* AParent, std::string ATitle, const std::string& AFilter)
    : FParent(AParent), FTitle(std::move(ATitle)) {
  // "Wave File|*.wav|All Files|*.*" becomes "Wave File (*.wav);;All Files (*)".
  const QStringList parts = Q(AFilter).split(QChar('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString pattern = parts[i + 1];
    if (pattern == QStringLiteral("*.*")) pattern = QStringLiteral("*");
    filters << parts[i] + QStringLiteral(" (") + pattern.replace(QChar(';'), QChar(' ')) +
                   QStringLiteral(")");
  }
  FFilter = filters.join(QStringLiteral(";;"));
}

bool TQtOpenDialog::Execute() {
  QFileDialog dialog(FParent, Q(FTitle), FDirectory, FFilter);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setObjectName(QStringLiteral("OpenDialog1"));
  if (dialog.exec() != QDialog::Accepted) return false;
  FFiles.clear();
  for (const QString& file : dialog.selectedFiles())
    FFiles.push_back(file.toStdString());
  FDirectory = dialog.directory().absolutePath();
  return true;
}

}  // namespace ui::qt
