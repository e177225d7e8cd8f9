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

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

// ---- Format choice

MMRESULT ChooseFormat(ACMFORMATCHOOSEA& request) {
  const TFormatChooseModel model(request);
  QDialog dialog(WidgetOf(request.hwndOwner));
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
  auto show_formats = [&](int tag) {
    formats->clear();
    if (tag < 0) return;
    for (int32_t choice : model.FormatsOf(tag)) {
      auto* item = new QListWidgetItem(Q(model.Choices()[choice].format_name), formats);
      item->setData(Qt::UserRole, choice);
    }
    formats->setCurrentRow(0);
  };
  QObject::connect(tags, &QListWidget::currentRowChanged, &dialog, show_formats);
  QObject::connect(formats, &QListWidget::currentRowChanged, &dialog,
                   [&](int row) { ok->setEnabled(row >= 0); });
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
  return model.Store(request, formats->currentItem()->data(Qt::UserRole).toInt());
}

// ---- Folder browser

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kVirtualRole = Qt::UserRole + 1;
constexpr int kLoadedRole = Qt::UserRole + 2;

// A button of the folder dialog over a Qt button.
class QtButtonWindow : public TButtonWindow {
 public:
  QtButtonWindow(uint32_t style, HWND parent, int32_t id, QAbstractButton* button)
      : TButtonWindow(style, parent, id), button_(button) {}

  QAbstractButton* Button() const { return button_; }
  RECT GetRect() const override {
    if (!button_) return TButtonWindow::GetRect();
    const QPoint at = button_->mapToGlobal(QPoint(0, 0));
    return {at.x(), at.y(), at.x() + button_->width(), at.y() + button_->height()};
  }
  // The dialog's layout places the button; only its size is taken.
  void SetRect(const RECT& rect) override {
    if (button_) button_->setFixedSize(rect.right - rect.left, rect.bottom - rect.top);
  }
  std::string GetText() const override {
    return button_ ? button_->text().toStdString() : std::string();
  }
  void SetText(const std::string& text) override {
    if (button_) button_->setText(Q(text));
  }
  bool GetEnabled() const override { return button_ && button_->isEnabled(); }
  void SetEnabled(bool enabled) override {
    if (button_) button_->setEnabled(enabled);
  }
  bool GetChecked() const override { return button_ && button_->isChecked(); }
  void SetChecked(bool checked) override {
    if (button_) button_->setChecked(checked);
  }
  void FontChanged(const LOGFONTA& log_font) override {
    if (!button_) return;
    QFont font = FormFont(log_font.lfHeight < 0 ? -log_font.lfHeight : log_font.lfHeight);
    if (log_font.lfFaceName[0] && QFontDatabase::hasFamily(log_font.lfFaceName))
      font.setFamily(log_font.lfFaceName);
    button_->setFont(font);
  }

 private:
  QPointer<QAbstractButton> button_;
};

class QtBrowseView : public QDialog, public TBrowseDialogView {
 public:
  QtBrowseView(TBrowseDialog& dialog, QWidget* parent) : QDialog(parent), dialog_(&dialog) {
    setObjectName(QStringLiteral("BrowseFolderDialog"));
    setWindowTitle(QStringLiteral("Choose a Folder"));
    auto* layout = new QVBoxLayout(this);
    const BROWSEINFOA& info = dialog.Info();
    if (info.lpszTitle && *info.lpszTitle) {
      auto* title = new QLabel(Q(info.lpszTitle));
      title->setWordWrap(true);
      layout->addWidget(title);
    }
    tree_ = new QTreeView;
    tree_->setObjectName(QStringLiteral("FolderTree"));
    tree_->setModel(&model_);
    tree_->header()->hide();
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(tree_, 1);
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("StatusText"));
    status_->setVisible(info.ulFlags & BIF_STATUSTEXT);
    layout->addWidget(status_);
    buttons_ = new QHBoxLayout;
    buttons_->addStretch(1);
    layout->addLayout(buttons_);
    FillTops(info.pidlRoot);

    connect(tree_, &QTreeView::expanded, this,
            [this](const QModelIndex& index) { Load(model_.itemFromIndex(index)); });
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) {
              if (!selecting_) Guard([&] { Report(model_.itemFromIndex(index)); });
            });
    resize(360, 420);
  }

  std::unique_ptr<TWindow> MakeButton(uint32_t style, int32_t id) override {
    const uint32_t type = style & BS_TYPEMASK;
    QAbstractButton* button;
    if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) {
      button = new QCheckBox(this);
    } else {
      auto* push = new QPushButton(this);
      push->setDefault(type == BS_DEFPUSHBUTTON);
      push->setAutoDefault(type == BS_DEFPUSHBUTTON);
      button = push;
    }
    if (id == IDOK || id == IDCANCEL)
      buttons_->addWidget(button);
    else
      buttons_->insertWidget(custom_++, button);
    auto window = std::make_unique<QtButtonWindow>(style, dialog_->Handle(), id, button);
    QtButtonWindow* target = window.get();
    connect(button, &QAbstractButton::clicked, this,
            [this, target] { Guard([&] { target->Clicked(); }); });
    return window;
  }

  bool Select(LPCITEMIDLIST id_list) override {
    QStandardItem* item = Find(id_list);
    if (!item) return false;
    selecting_ = true;
    tree_->setCurrentIndex(item->index());
    tree_->scrollTo(item->index());
    selecting_ = false;
    Report(item);
    return true;
  }

  void ShowStatusText(const std::string& text) override { status_->setText(Q(text)); }

  RECT GetRect() const override {
    const QRect frame = frameGeometry();
    return {frame.left(), frame.top(), frame.right() + 1, frame.bottom() + 1};
  }
  void SetRect(const RECT& rect) override {
    move(rect.left, rect.top);
    resize(rect.right - rect.left, rect.bottom - rect.top);
  }

  void RunModal() override {
    exec();
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }
  void EndModal() override { done(QDialog::Rejected); }

  // Closing the window or Escape is the Cancel button.
  void reject() override {
    Guard(
        [&] { SendMessageA(dialog_->Handle(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); });
  }

 private:
  // A failure of the caller's callback ends the dialog and leaves it after the loop.
  template <class F>
  void Guard(F&& action) {
    try {
      action();
    } catch (...) {
      failure_ = std::current_exception();
      done(QDialog::Rejected);
    }
  }

  QStandardItem* AddNode(QStandardItem* parent, const QString& text, const std::string& path,
                         bool is_virtual) {
    auto* item = new QStandardItem(text);
    item->setData(Q(path), kPathRole);
    item->setData(is_virtual, kVirtualRole);
    item->setData(is_virtual, kLoadedRole);
    item->setToolTip(Q(path));
    if (!is_virtual) item->appendRow(new QStandardItem);  // shows the expander until loaded
    (parent ? parent : model_.invisibleRootItem())->appendRow(item);
    return item;
  }

  void FillTops(LPCITEMIDLIST root) {
    if (root && !IsFolderItem(root)) {
      AddNode(nullptr, Q(ItemText(root)), ItemText(root), true);
    } else if (root) {
      AddNode(nullptr, Q(ItemDisplayName(root)), ItemText(root), false);
    } else {
      const char* home = std::getenv("HOME");
      if (home && *home) AddNode(nullptr, QStringLiteral("Home"), home, false);
      AddNode(nullptr, QStringLiteral("File System"), "/", false);
    }
  }

  void Load(QStandardItem* item) {
    if (!item || item->data(kLoadedRole).toBool()) return;
    item->setData(true, kLoadedRole);
    item->removeRows(0, item->rowCount());
    const std::filesystem::path folder = item->data(kPathRole).toString().toStdString();
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
      AddNode(item, Q(name), (folder / name).string(), false);
  }

  // The node of an item: virtual items among the top nodes, folders by walking down from the
  // top node whose path holds them most closely.
  QStandardItem* Find(LPCITEMIDLIST id_list) {
    const std::string text = ItemText(id_list);
    QStandardItem* best = nullptr;
    size_t best_length = 0;
    for (int row = 0; row < model_.rowCount(); ++row) {
      QStandardItem* top = model_.item(row);
      const std::string path = top->data(kPathRole).toString().toStdString();
      if (top->data(kVirtualRole).toBool() != !IsFolderItem(id_list)) continue;
      if (!IsFolderItem(id_list)) {
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
      tree_->expand(node->index());
      node = next;
    }
    return node;
  }

  void Report(QStandardItem* node) {
    if (!node) return dialog_->SelectionChanged(nullptr);
    const std::string path = node->data(kPathRole).toString().toStdString();
    TItemPtr item(node->data(kVirtualRole).toBool() ? MakeVirtualItem(path) : MakeFolderItem(path));
    dialog_->SelectionChanged(item.get());
  }

  TBrowseDialog* dialog_;
  QStandardItemModel model_;
  QTreeView* tree_;
  QLabel* status_;
  QHBoxLayout* buttons_;
  int custom_ = 0;
  bool selecting_ = false;
  std::exception_ptr failure_;
};

}  // namespace

std::unique_ptr<TBrowseDialogView> MakeBrowseDialogView(TBrowseDialog& dialog) {
  return std::make_unique<QtBrowseView>(dialog, WidgetOf(dialog.Info().hwndOwner));
}

}  // namespace ui::qt
