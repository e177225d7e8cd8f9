// The main window on Qt, off screen: the form as its description gives it.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>

#include <string>

#include "app/MainWindow.h"
#include "tests/support/QtScript.h"

namespace {

struct TIdle : TCompression {
  int32_t ChooseCodec() override { return 0; }
  void CompressFile(const std::string&, const std::string&, int32_t) override {}
};

TEST(Window, BuildsAsTheFormDescriptionSays) {
  UseOffscreenUnlessSet();
  int argc = 1;
  char name[] = "corvane", *argv[] = {name, nullptr};
  ui::qt::TQtApplication app(argc, argv);
  TIdle job;
  TForm1Window window(job);
  Ui::Form1& ui = window.Widgets();
  EXPECT_EQ(window.windowTitle(), "Corvane");
  EXPECT_EQ(window.pos(), QPoint(191, 108));
  EXPECT_EQ(window.minimumSize(), QSize(289, 240));
  EXPECT_EQ(window.maximumSize(), QSize(289, 240));

  struct TControl {
    QWidget* Widget;
    QRect Rect;
    QString Caption;
  };
  for (const TControl& c : {
           TControl{ui.GroupBox1, {0, 0, 289, 223}, " Files Selection "},
           TControl{ui.files, {6, 14, 173, 171}, ""},
           TControl{ui.AddBtn, {184, 14, 99, 21}, "&Add File(s)"},
           TControl{ui.RemoveBtn, {186, 40, 99, 21}, "&Remove File(s)"},
           TControl{ui.SelectCodecBtn, {184, 86, 99, 21}, "Select &codec"},
           TControl{ui.StartBtn, {184, 162, 99, 21}, "&Start Compress"},
           TControl{ui.AboutBtn, {184, 112, 99, 21}, "&About program"},
           TControl{ui.GroupBox2, {6, 186, 275, 31}, " Output Directory "},
           TControl{ui.output, {6, 12, 209, 13}, "None selected"},
           TControl{ui.Button1, {218, 10, 53, 17}, "Select"},
           TControl{ui.StatusBar1, {0, 222, 289, 18}, "Program Started"},
       }) {
    SCOPED_TRACE(c.Widget->objectName().toStdString());
    EXPECT_EQ(c.Widget->geometry(), c.Rect);
    QString caption;
    if (auto* box = qobject_cast<QGroupBox*>(c.Widget)) caption = box->title();
    if (auto* button = qobject_cast<QPushButton*>(c.Widget)) caption = button->text();
    if (auto* label = qobject_cast<QLabel*>(c.Widget)) caption = label->text();
    if (auto* bar = qobject_cast<QStatusBar*>(c.Widget)) caption = bar->currentMessage();
    EXPECT_EQ(caption, c.Caption);
  }
  EXPECT_EQ(ui.files->selectionMode(), QAbstractItemView::ExtendedSelection);

  // The tab order: the list, then the buttons with Start before About, then Select.
  std::vector<QWidget*> order;
  QWidget* at = ui.files;
  for (int i = 0; i < 7; ++i, at = at->nextInFocusChain()) {
    while (at->focusPolicy() == Qt::NoFocus)
      at = at->nextInFocusChain();
    order.push_back(at);
  }
  EXPECT_EQ(order, (std::vector<QWidget*>{ui.files, ui.AddBtn, ui.RemoveBtn, ui.SelectCodecBtn,
                                          ui.StartBtn, ui.AboutBtn, ui.Button1}));
}

}  // namespace
