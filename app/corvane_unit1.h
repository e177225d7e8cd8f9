#pragma once

// The main window's logic: the file list, the output folder, the codec and its options, and
// the batch, which runs on worker threads beside the window. It talks to the toolkit only
// through the controls of platform/ui/Forms.h, so any toolkit, or a test, can drive it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Forms.h"
#include "shell/BrowseFolder.h"

// The chosen codec's format tag in the low 16 bits; 0 when none is chosen.
extern int32_t CurrentCodec;

// What follows the last "/" of APath; all of it when it has none.
std::string ExtractBaseName(const std::string& APath);

// What the window asks of the job for one file beside its codec.
struct TFileOptions {
  // Fixed in the destination; 0 follows from the source.
  uint32_t SampleRate = 0;
  uint16_t Channels = 0;
  // MP3's bit rate in kbit/s; 0 is the codec's own choice.
  uint32_t Bitrate = 0;
  // The ADPCM encoders' slower search, and their block size in bytes (0: follows the rate).
  bool HighQuality = false;
  uint32_t BlockSize = 0;
  // PCM's and float's bits per sample; 0 keeps the source's.
  uint16_t Bits = 0;
  // Once set, the file is abandoned: the job raises and leaves nothing on disk.
  const std::atomic<bool>* Stop = nullptr;
  // Told the source bytes of each block copied; called on the file's worker thread.
  std::function<void(int32_t)> Progress;
  // Told what the job warns of for a file it still compressed (a source cut short).
  std::function<void(const std::string&)> Warning;
};

// What the window needs of the compression job: the desktop program's does the job, tests
// stand in for it. CompressFile runs on worker threads, several at once.
class TCompression {
 public:
  virtual ~TCompression() = default;
  // APreselect: the codec chosen so far (0: none), which the dialog opens on.
  virtual int32_t ChooseCodec(int32_t APreselect) = 0;
  virtual void CompressFile(const std::string& ASource, const std::string& ADestination,
                            int32_t ACodec, const TFileOptions& AOptions) = 0;
};

// A file of the list as its first bytes describe it.
struct TWaveInfo {
  bool Wave = false;    // RIFF (or RF64) WAVE
  std::string Format;   // such as "PCM 44,100 Hz 16-bit stereo"; empty when unreadable
  double Seconds = -1;  // -1 when unknown
};
TWaveInfo ReadWaveInfo(const std::string& APath);
TWaveInfo ReadWaveInfo(std::istream& AFile);

// Texts of the list and the status line.
std::string ByteSize(int64_t ABytes);   // "1.4 MB"
std::string Duration(double ASeconds);  // "3:07", "1:02:03"

class TWindowBatch;

struct TForm1Controls {
  TListBox& files;
  TLabel& output;
  TStatusBar& StatusBar1;
  TOpenDialog& OpenDialog1;
  TButton& StartBtn;
  // The chosen codec and the destination it gives.
  TLabel& codec;
  TComboBox& Rate;
  TComboBox& Channels;
  TComboBox& Bitrate;
  TComboBox& Quality;
  TComboBox& BlockSize;
  TComboBox& Bits;
  TComboBox& FilesAtOnce;
  TComboBox& WhenExists;
  TProgressBar& Progress;
  TTimer& Timer;
  TSettings& Settings;
  // What the batch locks while it runs, beside the list and the choices above.
  std::vector<TControl*> Locked;
};

class TForm1 : public TWinControl {
 public:
  static constexpr const char* NoDirectory = "None selected";
  static constexpr const char* Title = "Corvane";
  enum TColumn : int32_t { colName, colFolder, colFormat, colDuration, colSize, colState };
  enum TWhenExists : int32_t { weAsk, weReplace, weSkip };

  // AHandle is the window the form is shown in; creating the form runs OnInit and then
  // takes the settings kept from the last run.
  TForm1(const TForm1Controls& AControls, TCompression& ACompression, HWND AHandle);
  ~TForm1() override;

  HWND Handle() const override { return FHandle; }

  void AddBtnClick();
  void AddFolderBtnClick();
  void RemoveBtnClick();
  void ClearBtnClick();
  void SelectCodecBtnClick();
  void OnInit();
  void AboutBtnClick();
  void Button1Click();
  // Start, or Stop while the batch runs.
  void StartBtnClick();
  void TimerTick();
  // A choice changed: the description follows and the setting is kept.
  void OptionsChanged();
  // Files and folders dropped on the window, or given on the command line, join the list:
  // wave files, and the .wav files of folders at any depth.
  void FilesDropped(const std::vector<std::string>& AFiles);
  // Closing the window: false when the user keeps it open. A running batch is stopped
  // (after a question when AAsk) before it answers true.
  bool CloseQuery(bool AAsk = true);

  bool Running() const { return FBatch != nullptr; }
  // Waits for the batch's workers (tests; closing does it itself).
  void WaitForBatch();

  // What the form was doing when a handler failed, for the failure handler's message.
  const std::string& Activity() const { return FActivity; }

  // The About box's text, its lines separated by carriage returns.
  static std::string AboutText();
  // The destination the codec and options give, in words.
  std::string Destination() const;

  TForm1Controls Controls;
  TBrowseFolder BrowseFolder1;
  // The folder whose wave files Add Folder adds.
  TBrowseFolder BrowseFolder2;

 private:
  struct TPlanned {
    int32_t Row;
    std::string Destination;
    bool Skip = false;  // its destination exists and is left alone
  };

  void AddPaths(const std::vector<std::string>& APaths, bool AFolders);
  void FillChoices();
  void SaveSettings();
  void Lock(bool ALocked);
  // The destinations of the list; false when the user cancelled or a check refused.
  bool Plan(std::vector<TPlanned>& APlan);
  void ShowProgress();
  void FinishBatch();
  TFileOptions Options() const;

  TCompression* FCompression;
  HWND FHandle;
  std::string FActivity;
  std::unique_ptr<TWindowBatch> FBatch;
  std::vector<TPlanned> FPlan;
  std::chrono::steady_clock::time_point FStarted;
  bool FFilling = false;
};
