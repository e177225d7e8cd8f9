// The codec manager's format-choice dialog and the shell's folder dialog, in Qt widgets.

#include <QAbstractButton>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <filesystem>

#include "platform/ui/FormatChoose.h"
#include "platform/ui/qt/QtUi.h"

namespace ui::qt {

namespace {

QString Q(const std::string& AText) {
  return QString::fromStdString(AText);
}

}  // namespace

// ---- Format choice

MMRESULT ChooseFormat(ACMFORMATCHOOSEA& ARequest) {
  const TFormatChooseModel model(ARequest);
  QDialog dialog(WidgetOf(ARequest.hwndOwner));
  dialog.setObjectName(QStringLiteral("FormatChooseDialog"));
  dialog.setWindowTitle(Q(model.Title()));
  auto* tags = new QListWidget;
  tags->setObjectName(QStringLiteral("FormatTags"));
  auto* formats = new QListWidget;
  formats->setObjectName(QStringLiteral("Formats"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);

  auto* layout = new QVBoxLayout(&dialog);
  auto* lists = new QHBoxLayout;
  auto* tag_column = new QVBoxLayout;
  tag_column->addWidget(new QLabel(QStringLiteral("Format &tag:")));
  tag_column->addWidget(tags);
  auto* format_column = new QVBoxLayout;
  format_column->addWidget(new QLabel(QStringLiteral("&Format:")));
  format_column->addWidget(formats);
  lists->addLayout(tag_column, 2);
  lists->addLayout(format_column, 3);
  layout->addLayout(lists);
  layout->addWidget(buttons);
  for (QLabel* label : dialog.findChildren<QLabel*>())
    label->setBuddy(label->text().startsWith(QStringLiteral("Format &t")) ? tags : formats);

  for (int32_t t = 0; t < model.TagCount(); ++t)
    tags->addItem(Q(model.TagName(t)));
  auto show_formats = [&](int ATag) {
    formats->clear();
    if (ATag < 0) return;
    for (int32_t choice : model.FormatsOf(ATag)) {
      auto* item = new QListWidgetItem(Q(model.Choices()[choice].format_name), formats);
      item->setData(Qt::UserRole, choice);
    }
    formats->setCurrentRow(0);
  };
  QObject::connect(tags, &QListWidget::currentRowChanged, &dialog, show_formats);
  QObject::connect(formats, &QListWidget::currentRowChanged, &dialog,
                   [&](int ARow) { ok->setEnabled(ARow >= 0); });
  QObject::connect(formats, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

  ok->setEnabled(false);
  if (const int32_t initial = model.InitialChoice(); initial >= 0) {
    tags->setCurrentRow(model.TagOf(initial));
    const auto& listed = model.FormatsOf(model.TagOf(initial));
    formats->setCurrentRow(
        static_cast<int>(std::find(listed.begin(), listed.end(), initial) - listed.begin()));
  }
  dialog.resize(520, 320);
  if (dialog.exec() != QDialog::Accepted || !formats->currentItem()) return ACMERR_CANCELED;
  return model.Store(ARequest, formats->currentItem()->data(Qt::UserRole).toInt());
}

// ---- Folder browser

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kVirtualRole = Qt::UserRole + 1;
constexpr int kLoadedRole = Qt::UserRole + 2;

// A button of the folder dialog over a Qt button.
class TQtButton : public TButtonWindow {
 public:
  TQtButton(uint32_t AStyle, HWND AParent, int32_t AId, QAbstractButton* AButton)
      : TButtonWindow(AStyle, AParent, AId), FButton(AButton) {}

  QAbstractButton* Button() const { return FButton; }
  RECT GetRect() const override {
    if (!FButton) return TButtonWindow::GetRect();
    const QPoint at = FButton->mapToGlobal(QPoint(0, 0));
    return {at.x(), at.y(), at.x() + FButton->width(), at.y() + FButton->height()};
  }
  // The dialog's layout places the button; only its size is taken.
  void SetRect(const RECT& ARect) override {
    if (FButton) FButton->setFixedSize(ARect.right - ARect.left, ARect.bottom - ARect.top);
  }
  std::string GetText() const override {
    return FButton ? FButton->text().toStdString() : std::string();
  }
  void SetText(const std::string& AText) override {
    if (FButton) FButton->setText(Q(AText));
  }
  bool GetEnabled() const override { return FButton && FButton->isEnabled(); }
  void SetEnabled(bool AEnabled) override {
    if (FButton) FButton->setEnabled(AEnabled);
  }
  bool GetChecked() const override { return FButton && FButton->isChecked(); }
  void SetChecked(bool AChecked) override {
    if (FButton) FButton->setChecked(AChecked);
  }
  void FontChanged(const LOGFONTA& AFont) override {
    if (!FButton) return;
    QFont font = FormFont(AFont.lfHeight < 0 ? -AFont.lfHeight : AFont.lfHeight);
    if (AFont.lfFaceName[0] && QFontDatabase::hasFamily(AFont.lfFaceName))
      font.setFamily(AFont.lfFaceName);
    FButton->setFont(font);
  }

 private:
  QPointer<QAbstractButton> FButton;
};

class TQtBrowseView : public QDialog, public TBrowseDialogView {
 public:
  TQtBrowseView(TBrowseDialog& ADialog, QWidget* AParent) : QDialog(AParent), FDialog(&ADialog) {
    setObjectName(QStringLiteral("BrowseFolderDialog"));
    setWindowTitle(QStringLiteral("Choose a Folder"));
    auto* layout = new QVBoxLayout(this);
    const BROWSEINFOA& info = ADialog.Info();
    if (info.lpszTitle && *info.lpszTitle) {
      auto* title = new QLabel(Q(info.lpszTitle));
      title->setWordWrap(true);
      layout->addWidget(title);
    }
    FTree = new QTreeView;
    FTree->setObjectName(QStringLiteral("FolderTree"));
    FTree->setModel(&FModel);
    FTree->header()->hide();
    FTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(FTree, 1);
    FStatus = new QLabel;
    FStatus->setObjectName(QStringLiteral("StatusText"));
    FStatus->setVisible(info.ulFlags & BIF_STATUSTEXT);
    layout->addWidget(FStatus);
    FButtons = new QHBoxLayout;
    FButtons->addStretch(1);
    layout->addLayout(FButtons);
    FillTops(info.pidlRoot);

    connect(FTree, &QTreeView::expanded, this,
            [this](const QModelIndex& AIndex) { Load(FModel.itemFromIndex(AIndex)); });
    connect(FTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& AIndex) {
              if (!FSelecting) Guard([&] { Report(FModel.itemFromIndex(AIndex)); });
            });
    resize(360, 420);
  }

  std::unique_ptr<TWindow> MakeButton(uint32_t AStyle, int32_t AId) override {
    const uint32_t type = AStyle & BS_TYPEMASK;
    QAbstractButton* button;
    if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) {
      button = new QCheckBox(this);
    } else {
      auto* push = new QPushButton(this);
      push->setDefault(type == BS_DEFPUSHBUTTON);
      push->setAutoDefault(type == BS_DEFPUSHBUTTON);
      button = push;
    }
    if (AId == IDOK || AId == IDCANCEL)
      FButtons->addWidget(button);
    else
      FButtons->insertWidget(FCustom++, button);
    auto window = std::make_unique<TQtButton>(AStyle, FDialog->Handle(), AId, button);
    TQtButton* target = window.get();
    connect(button, &QAbstractButton::clicked, this,
            [this, target] { Guard([&] { target->Clicked(); }); });
    return window;
  }

  bool Select(LPCITEMIDLIST AItem) override {
    QStandardItem* item = Find(AItem);
    if (!item) return false;
    FSelecting = true;
    FTree->setCurrentIndex(item->index());
    FTree->scrollTo(item->index());
    FSelecting = false;
    Report(item);
    return true;
  }

  void ShowStatusText(const std::string& AText) override { FStatus->setText(Q(AText)); }

  RECT GetRect() const override {
    const QRect frame = frameGeometry();
    return {frame.left(), frame.top(), frame.right() + 1, frame.bottom() + 1};
  }
  void SetRect(const RECT& ARect) override {
    move(ARect.left, ARect.top);
    resize(ARect.right - ARect.left, ARect.bottom - ARect.top);
  }

  void RunModal() override {
    exec();
    if (FFailure) std::rethrow_exception(std::exchange(FFailure, nullptr));
  }
  void EndModal() override { done(QDialog::Rejected); }

  // Closing the window or Escape is the Cancel button.
  void reject() override {
    Guard(
        [&] { SendMessageA(FDialog->Handle(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); });
  }

 private:
  // A failure of the caller's callback ends the dialog and leaves it after the loop.
  template <class F>
  void Guard(F&& AAction) {
    try {
      AAction();
    } catch (...) {
      FFailure = std::current_exception();
      done(QDialog::Rejected);
    }
  }

  QStandardItem* AddNode(QStandardItem* AParent, const QString& AText, const std::string& APath,
                         bool AVirtual) {
    auto* item = new QStandardItem(AText);
    item->setData(Q(APath), kPathRole);
    item->setData(AVirtual, kVirtualRole);
    item->setData(AVirtual, kLoadedRole);
    item->setToolTip(Q(APath));
    if (!AVirtual) item->appendRow(new QStandardItem);  // shows the expander until loaded
    (AParent ? AParent : FModel.invisibleRootItem())->appendRow(item);
    return item;
  }

  void FillTops(LPCITEMIDLIST ARoot) {
    if (ARoot && !IsFolderItem(ARoot)) {
      AddNode(nullptr, Q(ItemText(ARoot)), ItemText(ARoot), true);
    } else if (ARoot) {
      AddNode(nullptr, Q(ItemDisplayName(ARoot)), ItemText(ARoot), false);
    } else {
      const char* home = std::getenv("HOME");
      if (home && *home) AddNode(nullptr, QStringLiteral("Home"), home, false);
      AddNode(nullptr, QStringLiteral("File System"), "/", false);
    }
  }

  void Load(QStandardItem* AItem) {
    if (!AItem || AItem->data(kLoadedRole).toBool()) return;
    AItem->setData(true, kLoadedRole);
    AItem->removeRows(0, AItem->rowCount());
    const std::filesystem::path folder = AItem->data(kPathRole).toString().toStdString();
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      std::error_code kind_error;
      if (!name.empty() && name[0] != '.' && it->is_directory(kind_error)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return QString::compare(Q(a), Q(b), Qt::CaseInsensitive) < 0;
    });
    for (const std::string& name : names)
      AddNode(AItem, Q(name), (folder / name).string(), false);
  }

  // The node of an item: virtual items among the top nodes, folders by walking down from the
  // top node whose path holds them most closely.
  QStandardItem* Find(LPCITEMIDLIST AItem) {
    const std::string text = ItemText(AItem);
    QStandardItem* best = nullptr;
    size_t best_length = 0;
    for (int row = 0; row < FModel.rowCount(); ++row) {
      QStandardItem* top = FModel.item(row);
      const std::string path = top->data(kPathRole).toString().toStdString();
      if (top->data(kVirtualRole).toBool() != !IsFolderItem(AItem)) continue;
      if (!IsFolderItem(AItem)) {
        if (path == text) return top;
        continue;
      }
      const std::filesystem::path relative = std::filesystem::path(text).lexically_relative(path);
      if (relative.empty() || *relative.begin() == "..") continue;
      if (!best || path.size() > best_length) best = top, best_length = path.size();
    }
    if (!best) return nullptr;
    const std::filesystem::path relative = std::filesystem::path(text).lexically_relative(
        best->data(kPathRole).toString().toStdString());
    QStandardItem* node = best;
    for (const auto& part : relative) {
      if (part == "." || part.empty()) continue;
      Load(node);
      QStandardItem* next = nullptr;
      for (int row = 0; row < node->rowCount() && !next; ++row)
        if (node->child(row)->text() == Q(part.string())) next = node->child(row);
      if (!next) return nullptr;
      FTree->expand(node->index());
      node = next;
    }
    return node;
  }

  void Report(QStandardItem* AItem) {
    if (!AItem) return FDialog->SelectionChanged(nullptr);
    const std::string path = AItem->data(kPathRole).toString().toStdString();
    TItemPtr item(AItem->data(kVirtualRole).toBool() ? MakeVirtualItem(path)
                                                     : MakeFolderItem(path));
    FDialog->SelectionChanged(item.get());
  }

  TBrowseDialog* FDialog;
  QStandardItemModel FModel;
  QTreeView* FTree;
  QLabel* FStatus;
  QHBoxLayout* FButtons;
  int FCustom = 0;
  bool FSelecting = false;
  std::exception_ptr FFailure;
};

}  // namespace

std::unique_ptr<TBrowseDialogView> MakeBrowseDialogView(TBrowseDialog& ADialog) {
  return std::make_unique<TQtBrowseView>(ADialog, WidgetOf(ADialog.Info().hwndOwner));
}

}  // namespace ui::qt
