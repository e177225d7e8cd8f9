// Renders the README's pictures into PNG files: the codec dialog, the folder dialog, the main
// window in the middle of a batch and the summary at its end. `corvane-screenshots <folder>`,
// on a display (make screenshots runs it under Xvfb). The batch is a stand-in that holds its
// files at chosen points, so the pictures show the same states on every machine.
#include <QAbstractButton>
#include <QDialog>
#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "platform/rtl/Exception.h"

namespace {

namespace fs = std::filesystem;

// Finishes the first files, fails one, and holds the next ones part done until Release.
class TPictureBatch : public TCompression {
 public:
  int32_t ChooseCodec(int32_t) override { return 7; }  // mu-Law
  void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t,
                    const TFileOptions& AOptions) override {
    const auto size = static_cast<int64_t>(fs::file_size(ASource));
    if (ASource.find("street-noise") != std::string::npos)
      throw Exception(
          "No conversion from PCM 96,000 Hz, 24 Bit, Stereo to mu-Law, 8,000 Hz "
          "for " +
          ASource + ".");
    const double part = ASource.find("voice-memo") != std::string::npos        ? 0.63
                        : ASource.find("choir-rehearsal") != std::string::npos ? 0.28
                                                                               : 1.0;
    AOptions.Progress(static_cast<int32_t>(size * part));
    if (part < 1) {
      Held.fetch_add(1);
      Gate.wait(false);
    }
    std::ofstream(ADestination, std::ios::binary) << std::string(size / 2, '\0');
  }
  void Release() {
    Gate.store(true);
    Gate.notify_all();
  }

  std::atomic<bool> Gate{false};
  std::atomic<int> Held{0};
};

// Writes a PCM wave file of ASeconds of silence.
void WriteWave(const fs::path& APath, uint32_t ARate, uint16_t AChannels, uint32_t ASeconds) {
  const uint32_t align = AChannels * 2, data = ARate * align * ASeconds;
  std::string head = "RIFF____WAVEfmt ";
  auto put = [&](uint32_t AValue, int ABytes) {
    for (int i = 0; i < ABytes; ++i)
      head += static_cast<char>(AValue >> (8 * i));
  };
  put(16, 4), put(1, 2), put(AChannels, 2), put(ARate, 4), put(ARate * align, 4), put(align, 2),
      put(16, 2);
  head += "data";
  put(data, 4);
  const uint32_t riff = static_cast<uint32_t>(head.size()) - 8 + data;
  for (int i = 0; i < 4; ++i)
    head[4 + i] = static_cast<char>(riff >> (8 * i));
  std::ofstream file(APath, std::ios::binary);
  file << head << std::string(data, '\0');
}

// Once a dialog is up: saves it, then closes it. The poll lives as long as the program.
void ShootNextDialog(const std::string& AFile) {
  static std::function<void()> poll;
  poll = [AFile] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) return QTimer::singleShot(50, poll);
    QTimer::singleShot(300, dialog, [dialog, AFile] {
      dialog->grab().save(QString::fromStdString(AFile));
      dialog->reject();
    });
  };
  QTimer::singleShot(50, poll);
}

// Runs AOpen, which shows a dialog modally, and saves the dialog.
void ShootDialog(const std::string& AFile, const std::function<void()>& AOpen) {
  ShootNextDialog(AFile);
  AOpen();
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path out = fs::absolute(argc > 1 ? argv[1] : "docs");
  // A home folder of its own, so the pictures show the same folders on every machine.
  const fs::path home = fs::temp_directory_path() / "corvane-screenshots";
  fs::remove_all(home);
  for (const char* folder : {"Music/Interviews", "Music/Recordings/2024", "Music/Recordings/choir",
                             "Music/Compressed", "Documents", "Desktop"})
    fs::create_directories(home / folder);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  const fs::path recordings = home / "Music/Recordings";
  WriteWave(recordings / "2024/interview-part1.wav", 44100, 2, 40);
  WriteWave(recordings / "2024/interview-part2.wav", 44100, 2, 35);
  WriteWave(recordings / "2024/street-noise.wav", 48000, 2, 12);
  WriteWave(recordings / "2024/voice-memo.wav", 16000, 1, 95);
  WriteWave(recordings / "choir/choir-rehearsal.wav", 48000, 2, 61);
  WriteWave(recordings / "choir/field-recording.wav", 44100, 1, 20);

  TPictureBatch batch;
  ui::qt::TQtApplication application(argc, argv);
  application.Initialize();
  TForm1Window& window = application.CreateForm<TForm1Window>(batch);
  TForm1& form = window.Form();
  form.FilesDropped({(recordings / "2024").string(), (recordings / "choir").string()});
  form.Controls.output.SetCaption((home / "Music/Compressed").string());
  form.BrowseFolder1.Directory = (home / "Music/Compressed").string();
  form.SelectCodecBtnClick();
  form.Controls.FilesAtOnce.SetItemIndex(1);  // two at once
  window.resize(980, 520);
  window.show();

  // Once both held files are held and the bar had time to tell the time left: the window, then
  // the summary when the held files are let go.
  std::function<void()> close_when_done = [&] {
    if (form.Running() || QApplication::activeModalWidget())
      return QTimer::singleShot(50, close_when_done);
    window.close();
  };
  std::function<void()> shoot_window = [&] {
    if (batch.Held.load() < 2) return QTimer::singleShot(50, shoot_window);
    QTimer::singleShot(1200, &window, [&] {
      window.grab().save(QString::fromStdString((out / "main-window.png").string()));
      ShootNextDialog((out / "summary.png").string());
      batch.Release();
      QTimer::singleShot(50, close_when_done);
    });
  };
  QTimer::singleShot(300, &window, [&] {
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
    ShootDialog((out / "folder-dialog.png").string(), [&] { form.Button1Click(); });
    form.StartBtnClick();
    shoot_window();
  });
  const int result = application.Run();
  fs::remove_all(home);
  return result;
}
