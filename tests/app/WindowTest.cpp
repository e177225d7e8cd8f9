// The main window on Qt, off screen: the form as its description gives it, and its keyboard.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include <set>
#include <string>

#include "app/MainWindow.h"
#include "tests/support/Peers.h"
#include "tests/support/QtScript.h"

namespace {

struct TIdle : TCompression {
  int32_t ChooseCodec(int32_t) override { return 0; }
  void CompressFile(const std::string&, const std::string&, int32_t, const TFileOptions&) override {
  }
};

TEST(Window, BuildsAsTheFormDescriptionSaysAndAnswersTheKeyboard) {
  UseOffscreenUnlessSet();
  TTempDir home;
  ::setenv("XDG_CONFIG_HOME", home.Path().c_str(), 1);
  int argc = 1;
  char name[] = "corvane", *argv[] = {name, nullptr};
  ui::qt::TQtApplication app(argc, argv);
  TIdle job;
  TForm1Window window(job);
  Ui::Form1& ui = window.Widgets();
  EXPECT_EQ(window.windowTitle(), "Corvane");
  EXPECT_EQ(window.minimumSize(), window.size());  // the form's size; larger as the user likes
  EXPECT_GT(window.maximumSize().width(), 10000);

  // Every button has an Alt key of its own.
  std::set<QChar> mnemonics;
  for (QPushButton* button : window.findChildren<QPushButton*>()) {
    const QString text = button->text();
    EXPECT_TRUE(text.contains('&') &&
                mnemonics.insert(text[text.indexOf('&') + 1].toLower()).second)
        << text.toStdString();
  }
  EXPECT_EQ(ui.StatusBar1->currentMessage(), "Program Started");
  EXPECT_EQ(window.Form().Controls.output.GetCaption(), TForm1::NoDirectory);
  QStringList columns;
  for (int c = 0; c < ui.files->columnCount(); ++c)
    columns << ui.files->headerItem()->text(c);
  EXPECT_EQ(columns, (QStringList{"Name", "Folder", "Format", "Duration", "Size", "State"}));

  // The tab order follows the work: files, output folder, codec and its options, Start.
  std::vector<QWidget*> order;
  QWidget* at = ui.files;
  for (int i = 0; i < 17; ++i, at = at->nextInFocusChain()) {
    while (at->focusPolicy() == Qt::NoFocus)
      at = at->nextInFocusChain();
    order.push_back(at);
  }
  EXPECT_EQ(order,
            (std::vector<QWidget*>{ui.files, ui.AddBtn, ui.AddFolderBtn, ui.RemoveBtn, ui.ClearBtn,
                                   ui.Button1, ui.SelectCodecBtn, ui.Rate, ui.Channels, ui.Bitrate,
                                   ui.Quality, ui.BlockSize, ui.Bits, ui.FilesAtOnce, ui.WhenExists,
                                   ui.StartBtn, ui.AboutBtn}));

  // Enter presses the focused button; Ctrl+A selects every row and Delete removes them.
  window.show();
  for (int i = 0; i < 3; ++i)
    window.Form().Controls.files.Add("/in/" + std::to_string(i) + ".wav");
  bool cleared = false;
  QObject::connect(ui.ClearBtn, &QPushButton::clicked, [&] { cleared = true; });
  QTest::keyClick(ui.ClearBtn, Qt::Key_Return);
  EXPECT_TRUE(cleared);
  EXPECT_EQ(ui.files->topLevelItemCount(), 0);
  for (int i = 0; i < 3; ++i)
    window.Form().Controls.files.Add("/in/" + std::to_string(i) + ".wav");
  ui.files->setFocus();
  QTest::keySequence(ui.files, QKeySequence::SelectAll);
  EXPECT_EQ(ui.files->selectedItems().size(), 3);
  QTest::keyClick(ui.files, Qt::Key_Delete);
  EXPECT_EQ(ui.files->topLevelItemCount(), 0);
}

}  // namespace
