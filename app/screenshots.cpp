// Renders the main window, the codec dialog and the folder dialog into PNG files for the
// README: `corvane-screenshots <folder>`, on a display (make screenshots runs it under Xvfb).
#include <QAbstractButton>
#include <QDialog>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "app/MainWindow.h"

namespace {

class TNoCompression : public TCompression {
 public:
  int32_t ChooseCodec(int32_t) override { return 0; }
  void CompressFile(const std::string&, const std::string&, int32_t, const TFileOptions&) override {
  }
};

// Once the dialog that AOpen runs is up: saves it, then closes it.
void ShootDialog(const std::string& AFile, const std::function<void()>& AOpen) {
  std::function<void()> poll;
  poll = [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) return QTimer::singleShot(50, poll);
    QTimer::singleShot(300, dialog, [dialog, AFile] {
      dialog->grab().save(QString::fromStdString(AFile));
      dialog->reject();
    });
  };
  QTimer::singleShot(50, poll);
  AOpen();
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path out = fs::absolute(argc > 1 ? argv[1] : "docs");
  // A home folder of its own, so the pictures show the same folders on every machine.
  const fs::path home = fs::temp_directory_path() / "corvane-screenshots";
  fs::remove_all(home);
  for (const char* folder :
       {"Music/Interviews", "Music/Recordings/2024", "Music/Compressed", "Documents", "Desktop"})
    fs::create_directories(home / folder);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);

  TNoCompression job;
  ui::qt::TQtApplication application(argc, argv);
  application.Initialize();
  TForm1Window& window = application.CreateForm<TForm1Window>(job);
  for (const char* name :
       {"interview-part1.wav", "interview-part2.wav", "street-noise.wav", "voice-memo.wav"})
    window.Form().Controls.files.Add((home / "Music/Recordings/2024" / name).string());
  window.Form().Controls.output.SetCaption((home / "Music/Compressed").string());
  window.Form().BrowseFolder1.Directory = (home / "Music/Compressed").string();
  window.show();

  QTimer::singleShot(300, &window, [&] {
    window.grab().save(QString::fromStdString((out / "main-window.png").string()));
    ShootDialog((out / "codec-dialog.png").string(), [&] {
      ACMFORMATCHOOSEA request{};
      request.cbStruct = ACMFORMATCHOOSEA_MIN_CBSTRUCT;
      std::vector<uint8_t> record(1024);
      request.pwfx = reinterpret_cast<WAVEFORMATEX*>(record.data());
      request.cbwfx = static_cast<uint32_t>(record.size());
      request.pszTitle = "Choose a compression format:";
      request.hwndOwner = application.Handle();
      acmFormatChooseA(&request);
    });
    ShootDialog((out / "folder-dialog.png").string(), [&] { window.Form().Button1Click(); });
    window.close();
  });
  const int result = application.Run();
  fs::remove_all(home);
  return result;
}
