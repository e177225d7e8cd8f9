// Whole batches through the real window on a display (CI runs it under Xvfb): files added in
// the file dialog or dropped, the folder chosen in the folder dialog, the codec in the codec
// dialog, then Start; every dialog and message box is answered by a script. The waits run the
// event loop until what they wait for is seen, with a generous cap.
#include <gtest/gtest.h>

#include <signal.h>

#include <QComboBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include <string>

#include "app/CompressionJob.h"
#include "app/MainWindow.h"
#include "tests/support/Peers.h"
#include "tests/support/QtScript.h"
#include "tests/support/WaveFiles.h"

namespace {

namespace fs = std::filesystem;

QPushButton* Button(QWidget& ADialog, const QString& AText) {
  for (QPushButton* button : ADialog.findChildren<QPushButton*>())
    if (button->text().remove('&') == AText) return button;
  return nullptr;
}

bool WaitFor(const std::function<bool()>& ACondition) {
  return QTest::qWaitFor(ACondition, 120000);
}

// One application for the whole program, with settings of its own.
class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", FConfig.Path().c_str(), 1);
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    FApplication = std::make_unique<ui::qt::TQtApplication>(FArgc, FArgv);
    FApplication->Initialize();
  }
  void TearDown() override { FApplication.reset(); }

 private:
  TTempDir FConfig;
  int FArgc = 1;
  char FName[8] = "corvane";
  char* FArgv[2] = {FName, nullptr};
  std::unique_ptr<ui::qt::TQtApplication> FApplication;
};

[[maybe_unused]] auto* const Environment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

class WindowBatch : public ::testing::Test {
 protected:
  WindowBatch() {
    QSettings(QSettings::IniFormat, QSettings::UserScope, "corvane", "corvane").clear();
    fs::create_directories(In);
    fs::create_directories(Out);
  }

  std::unique_ptr<TForm1Window> NewWindow() {
    auto window = std::make_unique<TForm1Window>(Job);
    window->show();
    return window;
  }

  // The codec of that name from the codec dialog.
  void ChooseCodec(TForm1Window& AWindow, const QString& AName) {
    Script.Then([&](QWidget& ADialog) {
      EXPECT_EQ(ADialog.windowTitle(), "Choose a compression format:");
      auto* tags = ADialog.findChild<QListWidget*>("FormatTags");
      tags->setCurrentItem(tags->findItems(AName, Qt::MatchExactly).value(0));
      Button(ADialog, "OK")->click();
    });
    AWindow.Widgets().SelectCodecBtn->click();
  }

  // Out from the folder dialog.
  void ChooseOutput(TForm1Window& AWindow) {
    Script.Then([&](QWidget& ADialog) {
      const HWND handle = AWindow.Form().BrowseFolder1.DialogHandle();
      SendMessageA(handle, BFFM_SETSELECTIONA, 1, reinterpret_cast<LPARAM>(Out.c_str()));
      Button(ADialog, "OK")->click();
    });
    AWindow.Widgets().Button1->click();
  }

  // Answers the next message box with the button, keeping its text.
  void Answer(const QString& AButton) {
    Script.Then([this, AButton](QWidget& ABox) {
      EXPECT_EQ(ABox.windowTitle(), "Corvane");
      Boxes.push_back(static_cast<QMessageBox&>(ABox).text().toStdString());
      Button(ABox, AButton)->click();
    });
  }

  std::string State(TForm1Window& AWindow, int32_t ARow) {
    return AWindow.Form().Controls.files.Cell(ARow, TForm1::colState);
  }

  // The row shows a percentage: its file is being compressed.
  bool Compressing(TForm1Window& AWindow, int32_t ARow) {
    const std::string state = State(AWindow, ARow);
    return !state.empty() && state.back() == '%';
  }

  // Temporary files the job left in the output folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(Out))
      if (entry.path().extension() == ".part") names.push_back(entry.path().string());
    return names;
  }

  void WriteLong(const std::string& AName) {
    // Two minutes of stereo noise: MP3 takes a good while over it.
    WriteWaveFile(In + "/" + AName, *MakeLinear(WAVE_FORMAT_PCM, 2, 44100, 16),
                  PseudoRandomBytes(44100 * 4 * 120, 3));
  }

  TTempDir Dir;
  const std::string In = Dir.File("in"), Out = Dir.File("out");
  TCompressionJob Job;
  TModalScript Script;
  std::vector<std::string> Boxes;
};

TEST_F(WindowBatch, ABadFileInTheMiddleIsReportedAndTheRestIsDone) {
  ASSERT_TRUE(std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"))
      << "this test runs on a display: xvfb-run " << ::testing::internal::GetArgvs()[0];
  WriteWaveFile(In + "/one.wav", *MakeLinear(WAVE_FORMAT_PCM, 1, 22050, 16),
                PseudoRandomBytes(11024, 1));
  WriteWaveFile(In + "/two.wav", *MakeLinear(WAVE_FORMAT_PCM, 2, 44100, 16),
                PseudoRandomBytes(44100, 2));
  // A wave file of a codec nobody offers: listed, but no conversion reaches it.
  WriteFileBytes(In + "/bad.wav", Riff("WAVE", {Chunk("fmt ", Record(0x7777, 1, 8000, 8, 16)),
                                                Chunk("data", Bytes(800))}));
  std::unique_ptr<TForm1Window> window = NewWindow();
  Ui::Form1& form = window->Widgets();

  Script.Then([&](QWidget& AModal) {
    auto& dialog = static_cast<QFileDialog&>(AModal);
    EXPECT_EQ(dialog.windowTitle(), "Select file(s) to add:");
    EXPECT_EQ(dialog.nameFilters(), (QStringList{"Wave File (*.wav)", "All Files (*)"}));
    dialog.setDirectory(QString::fromStdString(In));
    dialog.selectFile("\"one.wav\" \"bad.wav\" \"two.wav\"");
    static_cast<QDialog&>(dialog).accept();
  });
  form.AddBtn->click();
  ASSERT_EQ(form.files->topLevelItemCount(), 3);
  ChooseOutput(*window);
  ChooseCodec(*window, "IMA ADPCM");

  Answer("OK");
  form.StartBtn->click();
  ASSERT_TRUE(WaitFor([&] { return !window->Form().Running() && Script.Done(); }));
  EXPECT_EQ(State(*window, 1).substr(0, 7), "failed:");
  ASSERT_EQ(Boxes.size(), 1u);  // the summary, whose words the window-logic tests check
  for (const char* file : {"/one.wav", "/two.wav"}) {  // in the codec chosen in the dialog
    auto wave = TKZMMIOWaveStream::OpenReadFile(Out + file);
    EXPECT_TRUE(wave && WaveOf(*wave).GetFormatTag() == WAVE_FORMAT_IMA_ADPCM) << file;
  }
  EXPECT_FALSE(fs::exists(Out + "/bad.wav"));

  // The About box names the build's version.
  Answer("OK");
  form.AboutBtn->click();
  ASSERT_EQ(Boxes.size(), 2u);
  EXPECT_EQ(Boxes[1].substr(0, 13), "Corvane 0.1.0");
  EXPECT_TRUE(Script.Done());
}

TEST_F(WindowBatch, TheWindowAnswersDuringALongFileAndClosingStopsTheBatch) {
  WriteWaveFile(In + "/short.wav", *MakeLinear(WAVE_FORMAT_PCM, 1, 8000, 16),
                PseudoRandomBytes(16000, 4));
  WriteLong("long.wav");
  std::unique_ptr<TForm1Window> window = NewWindow();
  Ui::Form1& form = window->Widgets();
  window->Form().FilesDropped({In + "/short.wav", In + "/long.wav"});
  window->Form().Controls.output.SetCaption(Out);
  ChooseCodec(*window, "MPEG Layer-3");
  form.FilesAtOnce->setCurrentIndex(0);  // one file at a time

  // While the long file is compressed, a timer of the window's thread fires and the window
  // paints.
  int ticks = 0, paints = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(10);
  struct TPaints : QObject {
    int* Count;
    bool eventFilter(QObject*, QEvent* AEvent) override {
      if (AEvent->type() == QEvent::Paint) ++*Count;
      return false;
    }
  } counter;
  counter.Count = &paints;
  form.Progress->installEventFilter(&counter);

  form.StartBtn->click();
  ASSERT_TRUE(WaitFor([&] { return Compressing(*window, 1); }));
  EXPECT_EQ(State(*window, 0).substr(0, 5), "done,");
  ticks = paints = 0;
  ASSERT_TRUE(WaitFor([&] { return ticks >= 3 && paints >= 1; }));
  EXPECT_TRUE(Compressing(*window, 1)) << "the long file ended before the window answered";

  // Closing stops the job as the Stop button does, which the window-logic tests press.
  Answer("Yes");
  window->close();
  EXPECT_EQ(Boxes, std::vector<std::string>{"Stop the batch and quit?"});
  EXPECT_FALSE(window->isVisible() || window->Form().Running());
  EXPECT_TRUE(fs::exists(Out + "/short.wav"));
  EXPECT_FALSE(fs::exists(Out + "/long.wav"));
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// SIGTERM: no question; a box that is up, here the About box, goes first.
TEST_F(WindowBatch, ASignalStopsTheBatch) {
  WriteLong("long.wav");
  std::unique_ptr<TForm1Window> window = NewWindow();
  window->Form().FilesDropped({In + "/long.wav"});
  window->Form().Controls.output.SetCaption(Out);
  ChooseCodec(*window, "MPEG Layer-3");
  window->StopOnSignals();
  window->Widgets().StartBtn->click();
  ASSERT_TRUE(WaitFor([&] { return Compressing(*window, 0); }));
  Script.Then([](QWidget&) { ::raise(SIGTERM); });
  window->Widgets().AboutBtn->click();
  ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }));
  EXPECT_FALSE(window->Form().Running());
  EXPECT_FALSE(fs::exists(Out + "/long.wav"));
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  EXPECT_TRUE(Boxes.empty());
}

// The window-logic tests check what a drop adds (folders, their subfolders); here the drop
// reaches the list.
TEST_F(WindowBatch, DroppedFilesAreAdded) {
  WriteWaveFile(In + "/y.WAV", *MakeLinear(WAVE_FORMAT_PCM, 1, 8000, 16), Bytes(160));
  std::unique_ptr<TForm1Window> window = NewWindow();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(In + "/y.WAV"))});
  const QPoint at = window->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &drop);
  TListBox& files = window->Form().Controls.files;
  ASSERT_EQ(files.Count(), 1);
  EXPECT_EQ(files.Item(0), In + "/y.WAV");
}

TEST_F(WindowBatch, SettingsSurviveARestart) {
  {
    std::unique_ptr<TForm1Window> window = NewWindow();
    Ui::Form1& form = window->Widgets();
    ChooseCodec(*window, "mu-Law");
    form.Rate->setCurrentText("8,000 Hz");
    window->resize(800, 600);
    window->close();
  }
  CurrentCodec = 0;
  std::unique_ptr<TForm1Window> window = NewWindow();
  Ui::Form1& form = window->Widgets();
  EXPECT_EQ(CurrentCodec, WAVE_FORMAT_MULAW);
  EXPECT_EQ(form.Rate->currentText(), "8,000 Hz");
  EXPECT_EQ(window->size(), QSize(800, 600));
  // The codec dialog opens on the codec chosen before.
  Script.Then([&](QWidget& ADialog) {
    EXPECT_EQ(ADialog.findChild<QListWidget*>("FormatTags")->currentItem()->text(), "mu-Law");
    Button(ADialog, "Cancel")->click();
  });
  form.SelectCodecBtn->click();
}

}  // namespace
