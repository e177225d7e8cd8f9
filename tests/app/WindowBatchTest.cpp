// A whole batch through the real window on a display (CI runs it under Xvfb): files added in
// the file dialog, the folder chosen in the folder dialog, the codec in the codec dialog, then
// Start; every dialog and message box is answered by a script.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

#include <fstream>
#include <string>

#include "app/CompressionJob.h"
#include "app/MainWindow.h"
#include "tests/support/Peers.h"
#include "tests/support/QtScript.h"
#include "tests/support/WaveFiles.h"

namespace {

QPushButton* Button(QWidget& ADialog, const QString& AText) {
  for (QPushButton* button : ADialog.findChildren<QPushButton*>())
    if (button->text().remove('&') == AText) return button;
  return nullptr;
}

TEST(WindowBatch, CompressesTheListedFilesWithTheChosenCodec) {
  REQUIRE_PEER("ffprobe");
  ASSERT_TRUE(std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"))
      << "this test runs on a display: xvfb-run " << ::testing::internal::GetArgvs()[0];
  TTempDir dir;
  const std::string in = dir.File("in"), out = dir.File("out");
  std::filesystem::create_directories(in);
  std::filesystem::create_directories(out);
  WriteWaveFile(in + "/one.wav", *MakeLinear(WAVE_FORMAT_PCM, 1, 22050, 16),
                PseudoRandomBytes(11024, 1));
  WriteWaveFile(in + "/two.wav", *MakeLinear(WAVE_FORMAT_PCM, 2, 44100, 16),
                PseudoRandomBytes(44100, 2));
  std::ofstream(in + "/notes.wav") << "not a wave file";

  int argc = 1;
  char name[] = "corvane";
  char* argv[] = {name, nullptr};
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  ui::qt::TQtApplication application(argc, argv);
  application.Initialize();
  TCompressionJob job;
  TForm1Window& window = application.CreateForm<TForm1Window>(job);
  Ui::Form1& form = window.Widgets();
  window.show();

  TModalScript script;
  std::vector<QString> boxes;
  auto answer_box = [&](QWidget& ABox) {
    EXPECT_EQ(ABox.windowTitle(), "corvane");  // the application's title
    boxes.push_back(static_cast<QMessageBox&>(ABox).text());
    static_cast<QMessageBox&>(ABox).accept();
  };
  // Two files from the file dialog.
  script.Then([&](QWidget& AModal) {
    auto& dialog = static_cast<QFileDialog&>(AModal);
    EXPECT_EQ(dialog.windowTitle(), "Select file(s) to add:");
    EXPECT_EQ(dialog.nameFilters(), (QStringList{"Wave File (*.wav)", "All Files (*)"}));
    dialog.setDirectory(QString::fromStdString(in));
    dialog.selectFile("\"one.wav\" \"two.wav\"");
    static_cast<QDialog&>(dialog).accept();
  });
  form.AddBtn->click();
  ASSERT_EQ(form.files->count(), 2);
  // The output folder from the folder dialog.
  script.Then([&](QWidget& ADialog) {
    const HWND handle = window.Form().BrowseFolder1.DialogHandle();
    SendMessageA(handle, BFFM_SETSELECTIONA, 1, reinterpret_cast<LPARAM>(out.c_str()));
    Button(ADialog, "OK")->click();
  });
  form.Button1->click();
  EXPECT_EQ(window.Form().Controls.output.GetCaption(), out);
  // IMA ADPCM from the codec dialog.
  script.Then([&](QWidget& ADialog) {
    EXPECT_EQ(ADialog.windowTitle(), "Choose a compression format:");
    auto* tags = ADialog.findChild<QListWidget*>("FormatTags");
    tags->setCurrentItem(tags->findItems("IMA ADPCM", Qt::MatchExactly).value(0));
    Button(ADialog, "OK")->click();
  });
  form.SelectCodecBtn->click();
  EXPECT_EQ(CurrentCodec, WAVE_FORMAT_IMA_ADPCM);

  form.StartBtn->click();
  EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].toStdString());
  EXPECT_EQ(form.StatusBar1->currentMessage(), "Compression completed");
  for (const char* file : {"/one.wav", "/two.wav"}) {
    const TCommandResult probe = RunCommand(
        "ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 " +
        ShellQuote(out + file) + " && ffmpeg -v error -i " + ShellQuote(out + file) + " -f null -");
    EXPECT_EQ(probe.ExitCode, 0) << probe.Output;
    EXPECT_EQ(probe.Output, "adpcm_ima_wav\n") << file;
  }

  // The About box breaks its lines; a file that is no wave file ends the batch with a worded
  // message.
  script.Then(answer_box);
  form.AboutBtn->click();
  form.files->addItem(QString::fromStdString(in + "/notes.wav"));
  form.files->addItem(QString::fromStdString(in + "/one.wav"));
  script.Then(answer_box);
  form.StartBtn->click();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], QString::fromStdString(TForm1::AboutText()).replace('\r', '\n'));
  EXPECT_EQ(boxes[1].toStdString(), in + "/notes.wav is not a wave file (no RIFF header).");
  EXPECT_EQ(form.StatusBar1->currentMessage().toStdString(), "Compressing " + in + "/notes.wav");
  EXPECT_TRUE(script.Done());
}

}  // namespace
