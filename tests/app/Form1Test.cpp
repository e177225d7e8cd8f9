// The main window's logic through toolkit doubles; the batch runs on its worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/WindowBatch.h"
#include "app/corvane_unit1.h"
#include "platform/rtl/Exception.h"
#include "tests/support/Peers.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/WaveFiles.h"

namespace {

namespace fs = std::filesystem;

struct TFakeList : TListBox {
  struct TEntry {
    std::string Text;
    bool Selected = false;
    std::map<int32_t, std::string> Cells;
  };
  std::vector<TEntry> Entries;
  bool Enabled = true;
  int32_t Count() const override { return static_cast<int32_t>(Entries.size()); }
  std::string Item(int32_t AIndex) const override { return Entries.at(AIndex).Text; }
  void Add(const std::string& AText) override { Entries.push_back({AText, false, {}}); }
  void Delete(int32_t AIndex) override { Entries.erase(Entries.begin() + AIndex); }
  int32_t SelCount() const override {
    return static_cast<int32_t>(
        std::count_if(Entries.begin(), Entries.end(), [](const TEntry& e) { return e.Selected; }));
  }
  bool Selected(int32_t AIndex) const override { return Entries.at(AIndex).Selected; }
  void SetCell(int32_t AIndex, int32_t AColumn, const std::string& AText) override {
    Entries.at(AIndex).Cells[AColumn] = AText;
  }
  std::string Cell(int32_t AIndex, int32_t AColumn) const override {
    const auto& cells = Entries.at(AIndex).Cells;
    return cells.count(AColumn) ? cells.at(AColumn) : std::string();
  }
  void SetEnabled(bool AEnabled) override { Enabled = AEnabled; }
  std::vector<std::string> Column(int32_t AColumn) const {
    std::vector<std::string> cells;
    for (int32_t i = 0; i < Count(); ++i)
      cells.push_back(Cell(i, AColumn));
    return cells;
  }
};

struct TFakeLabel : TLabel {
  std::string Caption = "None selected";
  std::string GetCaption() const override { return Caption; }
  void SetCaption(const std::string& AText) override { Caption = AText; }
};

struct TFakeStatus : TStatusBar {
  std::vector<std::string> Texts{"Program Started"};
  void SetSimpleText(const std::string& AText) override { Texts.push_back(AText); }
};

struct TFakeOpenDialog : TOpenDialog {
  bool Confirm = true;
  std::vector<std::string> Chosen;
  bool Execute() override { return Confirm; }
  std::vector<std::string> Files() const override { return Chosen; }
};

struct TFakeButton : TButton {
  std::string Caption = "&Start Compress";
  bool Enabled = true;
  void SetCaption(const std::string& AText) override { Caption = AText; }
  void SetEnabled(bool AEnabled) override { Enabled = AEnabled; }
};

struct TFakeCombo : TComboBox {
  std::vector<std::string> Items;
  int32_t Index = -1;
  bool Enabled = true;
  void Clear() override { Items.clear(), Index = -1; }
  void Add(const std::string& AText) override { Items.push_back(AText); }
  int32_t Count() const override { return static_cast<int32_t>(Items.size()); }
  std::string Item(int32_t AIndex) const override { return Items.at(AIndex); }
  int32_t ItemIndex() const override { return Index; }
  void SetItemIndex(int32_t AIndex) override { Index = AIndex; }
  void SetEnabled(bool AEnabled) override { Enabled = AEnabled; }
  void Choose(const std::string& AText) {
    Index = static_cast<int32_t>(std::find(Items.begin(), Items.end(), AText) - Items.begin());
    ASSERT_LT(Index, Count()) << AText;
  }
};

struct TFakeProgress : TProgressBar {
  int32_t Permille = 0;
  void SetProgress(int32_t APermille, const std::string&) override { Permille = APermille; }
};

struct TFakeTimer : TTimer {
  bool Enabled = false;
  void SetEnabled(bool AEnabled) override { Enabled = AEnabled; }
};

struct TFakeSettings : TSettings {
  std::map<std::string, std::string> Values;
  std::string Read(const std::string& AKey, const std::string& ADefault) const override {
    return Values.count(AKey) ? Values.at(AKey) : ADefault;
  }
  void Write(const std::string& AKey, const std::string& AValue) override { Values[AKey] = AValue; }
};

// Writes each destination; fails a file whose name says "bad"; holds a file whose name says
// "long" until the batch is stopped, telling the test when it holds.
struct TFakeCompression : TCompression {
  int32_t Codec = 0;
  bool Cancel = false;
  std::mutex Lock;
  std::vector<std::string> Destinations;
  std::promise<void> Holding;
  int32_t ChooseCodec(int32_t) override {
    if (Cancel) Abort();
    return Codec;
  }
  void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t,
                    const TFileOptions& AOptions) override {
    {
      std::lock_guard<std::mutex> hold(Lock);
      Destinations.push_back(ADestination);
    }
    if (ASource.find("bad") != std::string::npos)
      throw Exception("Cannot read " + ASource + " as a wave file.");
    if (ASource.find("long") != std::string::npos) {
      AOptions.Progress(10);
      Holding.set_value();
      AOptions.Stop->wait(false);
      throw Exception("Compression of " + ASource + " interrupted.");
    }
    if (ASource.find("02") != std::string::npos)
      AOptions.Warning("02.WAV: the data ends after 236 of 4,410 frames");
    std::ofstream(ADestination) << "compressed";
  }
};

class Form1Test : public ::testing::Test {
 protected:
  Form1Test() {
    fs::create_directories(Out);
    for (const char* name : {"a/01.wav", "b/01.wav", "b/c/02.WAV", "bad.wav", "long.wav"})
      Wave(In / name);
  }

  static void Wave(const fs::path& APath) {
    fs::create_directories(APath.parent_path());
    WriteFileBytes(APath, Riff("WAVE", {Chunk("fmt ", Record(1, 1, 8000, 16, 16)),
                                        Chunk("data", Bytes(32000))}));
  }

  std::unique_ptr<TForm1> NewForm() {
    return std::make_unique<TForm1>(
        TForm1Controls{Files, Output, Status, Open, Start, Codec, Rate, Channels, Bitrate, Quality,
                       BlockSize, Bits, FilesAtOnce, WhenExists, Progress, Timer, Settings,
                       std::vector<TControl*>{&Locked}},
        Job, Window.Handle());
  }

  // Starts and runs the batch to its end as the window's timer would.
  void RunBatch() {
    Form->StartBtnClick();
    Form->WaitForBatch();
    Form->TimerTick();
  }

  TTempDir Dir;
  const fs::path In = Dir.Path() / "in", Out = Dir.Path() / "out";
  TTestApplication App;
  TScriptedBrowser Browser;
  TFakeList Files;
  TFakeLabel Output, Codec;
  TFakeStatus Status;
  TFakeOpenDialog Open;
  TFakeButton Start, Locked;
  TFakeCombo Rate, Channels, Bitrate, Quality, BlockSize, Bits, FilesAtOnce, WhenExists;
  TFakeProgress Progress;
  TFakeTimer Timer;
  TFakeSettings Settings;
  TFakeCompression Job;
  ui::TWindow Window{"TForm1", 0, nullptr, 0};
  std::unique_ptr<TForm1> Form = NewForm();
};

TEST_F(Form1Test, StartChecksRunInOrderAndChangeNothing) {
  CurrentCodec = 7;
  NewForm();
  EXPECT_EQ(CurrentCodec, 0);  // creating the window resets the codec
  Form->StartBtnClick();
  Files.Add("/in/a.wav");
  Form->StartBtnClick();
  Output.Caption = Out.string();
  Files.Entries.clear();
  Form->StartBtnClick();
  Files.Add("/in/a.wav");
  Form->StartBtnClick();
  Files.Entries[0].Text = (Out / "a.wav").string();  // the output folder holds the source
  Wave(Files.Entries[0].Text);
  CurrentCodec = 0x11;
  Form->StartBtnClick();
  EXPECT_EQ(App.Messages,
            (std::vector<std::string>{
                "You must select an output directory.", "You must select an output directory.",
                "No files selected for compression.", "No compression codec selected.",
                "Cannot compress " + Files.Entries[0].Text + " into " + Files.Entries[0].Text +
                    ": it is the source file itself. Choose another output directory."}));
  EXPECT_EQ(Status.Texts, std::vector<std::string>{"Program Started"});
  EXPECT_FALSE(Form->Running());
}

TEST_F(Form1Test, TheListTakesWaveFilesAndFoldersOnce) {
  std::ofstream(In / "notes.wav") << "not a wave file";
  std::ofstream(In / "b/readme.txt") << "no .wav name: not looked at";
  Open.Chosen = {(In / "a/01.wav").string(), (In / "notes.wav").string()};
  Form->AddBtnClick();
  EXPECT_EQ(Status.Texts.back(), "Added 1 file; skipped 1 (1 not RIFF WAVE).");
  Form->FilesDropped(
      {(In / "b").string(), (In / "a/01.wav").string(), (In / "missing.wav").string()});
  EXPECT_EQ(Status.Texts.back(),
            "Added 2 files; skipped 2 (1 already listed, 1 not a regular file).");
  EXPECT_EQ(Files.Column(TForm1::colName),
            (std::vector<std::string>{"01.wav", "01.wav", "02.WAV"}));
  EXPECT_EQ(Files.Cell(2, TForm1::colFolder), (In / "b/c").string());
  EXPECT_EQ(Files.Cell(0, TForm1::colFormat), "PCM 8,000 Hz 16-bit mono");
  EXPECT_EQ(Files.Cell(0, TForm1::colDuration), "0:02");
  EXPECT_EQ(Files.Cell(0, TForm1::colSize), "32.0 kB");

  Form->ClearBtnClick();
  Browser.Steps = {TScriptedBrowser::Select((In / "b").string()), TScriptedBrowser::Click(IDOK)};
  Form->FilesDropped({(In / "a/01.wav").string()});
  Form->AddFolderBtnClick();  // Add Folder: the same, through the folder dialog
  EXPECT_EQ(Status.Texts.back(), "Added 2 files.");
  EXPECT_EQ(Settings.Values["addFolder"], (In / "b").string());
  Files.Entries[1].Selected = true;
  Form->RemoveBtnClick();
  EXPECT_EQ(Files.Column(TForm1::colFolder),
            (std::vector<std::string>{(In / "a").string(), (In / "b/c").string()}));
}

TEST_F(Form1Test, ChoicesAreShownAndKeptBetweenRuns) {
  EXPECT_EQ(Codec.Caption, "No codec selected");
  Job.Codec = WAVE_FORMAT_MULAW;
  Form->SelectCodecBtnClick();
  EXPECT_EQ(Codec.Caption, "mu-Law, same rate and channels as each source");
  Rate.Choose("8,000 Hz");
  Channels.Choose("Mono");
  Form->OptionsChanged();
  EXPECT_EQ(Codec.Caption, "mu-Law, 8,000 Hz, mono");
  Job.Codec = WAVE_FORMAT_MPEGLAYER3;
  Form->SelectCodecBtnClick();
  Bitrate.Choose("64 kbit/s");
  Form->OptionsChanged();
  EXPECT_EQ(Codec.Caption, "MPEG Layer-3, 8,000 Hz, mono, 64 kbit/s");  // rate and mono kept
  EXPECT_TRUE(Bitrate.Enabled);
  Job.Codec = WAVE_FORMAT_IMA_ADPCM;  // the ADPCM codecs: quality and block size
  Form->SelectCodecBtnClick();
  Quality.Choose("High");
  BlockSize.Choose("256 bytes");
  Form->OptionsChanged();
  EXPECT_EQ(Codec.Caption, "IMA ADPCM, 8,000 Hz, mono, blocks of 256 bytes, high quality");
  Job.Codec = WAVE_FORMAT_MULAW;
  Form->SelectCodecBtnClick();
  EXPECT_EQ(Bitrate.Items, std::vector<std::string>{"Codec's choice"});  // MP3 alone has them
  EXPECT_FALSE(Bitrate.Enabled || Quality.Enabled || BlockSize.Enabled || Bits.Enabled);
  Job.Codec = WAVE_FORMAT_PCM;  // PCM and float: a bit depth
  Form->SelectCodecBtnClick();
  Bits.Choose("24-bit");
  Form->OptionsChanged();
  EXPECT_EQ(Codec.Caption, "PCM, 8,000 Hz, mono, 24-bit");
  Job.Codec = WAVE_FORMAT_MULAW;
  Form->SelectCodecBtnClick();
  Job.Cancel = true;  // a cancelled choice keeps the codec
  EXPECT_THROW(Form->SelectCodecBtnClick(), EAbort);
  EXPECT_EQ(CurrentCodec, WAVE_FORMAT_MULAW);

  Browser.Steps = {TScriptedBrowser::Select(Out.string()), TScriptedBrowser::Click(IDOK)};
  Form->Button1Click();
  Browser.Steps = {};
  Form->Button1Click();  // cancelled: the folder stays
  EXPECT_EQ(Output.Caption, Out.string());
  FilesAtOnce.Choose("3");
  WhenExists.SetItemIndex(TForm1::weSkip);
  Form->OptionsChanged();

  // The next run starts where this one ended.
  TFakeSettings kept = Settings;
  Output.Caption = "None selected";
  Rate.Clear(), Channels.Clear(), FilesAtOnce.Clear(), WhenExists.Clear();
  Form = NewForm();
  EXPECT_EQ(Output.Caption, Out.string());
  EXPECT_EQ(Codec.Caption, "mu-Law, 8,000 Hz, mono");
  EXPECT_EQ(FilesAtOnce.Item(FilesAtOnce.ItemIndex()), "3");
  EXPECT_EQ(WhenExists.ItemIndex(), TForm1::weSkip);
  EXPECT_EQ(Settings.Values, kept.Values);
}

TEST_F(Form1Test, AFailedFileIsReportedAndTheBatchGoesOnWithWarningsShown) {
  Form->FilesDropped(
      {(In / "a/01.wav").string(), (In / "bad.wav").string(), (In / "b/c/02.WAV").string()});
  Output.Caption = Out.string();
  CurrentCodec = WAVE_FORMAT_MULAW;
  FilesAtOnce.Choose("2");
  Form->StartBtnClick();
  EXPECT_EQ(Start.Caption, "&Stop");
  EXPECT_FALSE(Locked.Enabled || Files.Enabled || Rate.Enabled || FilesAtOnce.Enabled);
  EXPECT_TRUE(Timer.Enabled);
  Form->WaitForBatch();
  App.Answers = {{0, false}};  // open the output folder
  Form->TimerTick();

  EXPECT_EQ(Files.Column(TForm1::colState),
            (std::vector<std::string>{
                "done, 10 bytes", "failed: Cannot read bad.wav as a wave file.",
                "done, 10 bytes (02.WAV: the data ends after 236 of 4,410 frames)"}));
  EXPECT_EQ(Status.Texts.back(), "Compression completed with 1 failure");
  EXPECT_EQ(Progress.Permille, 1000);
  EXPECT_EQ(Window.GetText(), "Corvane");
  ASSERT_EQ(App.Questions.size(), 1u);
  EXPECT_EQ(App.Questions[0].Text,
            "Compression completed: 2 files done, 0 skipped, 1 failed.\r\rWarnings:\r02.WAV: the "
            "data ends after 236 of 4,410 frames\r\rFailed:\rCannot read " +
                (In / "bad.wav").string() + " as a wave file.");
  EXPECT_EQ(App.Opened, std::vector<std::string>{Out.string()});
  EXPECT_EQ(Start.Caption, "&Start Compress");
  EXPECT_TRUE(Locked.Enabled && Files.Enabled && Rate.Enabled);
  EXPECT_FALSE(Timer.Enabled);
}

TEST_F(Form1Test, SharedDestinationsAndExistingOutputsAreAskedAbout) {
  Form->FilesDropped({(In / "a").string(), (In / "b").string()});
  Output.Caption = Out.string();
  CurrentCodec = WAVE_FORMAT_MULAW;
  Form->StartBtnClick();  // a/01.wav and b/01.wav clash: cancelled
  ASSERT_EQ(App.Questions.size(), 1u);
  EXPECT_NE(App.Questions[0].Text.find("    " + (In / "b/01.wav").string() + "\r"),
            std::string::npos);
  EXPECT_FALSE(Form->Running());

  App.Answers = {{0, false}, {0, false}};  // keep the folder tree; summary: OK
  RunBatch();
  EXPECT_TRUE(fs::exists(Out / "a/01.wav") && fs::exists(Out / "b/01.wav") &&
              fs::exists(Out / "b/c/02.WAV"));
  EXPECT_EQ(Status.Texts.back(), "Compression completed");
}

TEST_F(Form1Test, SkipAndReplaceFollowTheAnswerAndTheSetting) {
  Form->FilesDropped({(In / "a/01.wav").string(), (In / "bad.wav").string()});
  Output.Caption = Out.string();
  CurrentCodec = WAVE_FORMAT_MULAW;
  std::ofstream(Out / "01.wav") << "kept";
  App.Answers = {{1, true}, {1, false}};  // skip existing, every time; summary: OK
  RunBatch();
  EXPECT_EQ(App.Questions[0].Text, "1 of the 2 outputs exists already in " + Out.string() +
                                       ".\rReplace them, or leave them as they are and skip "
                                       "those files?");
  EXPECT_EQ(App.Questions[0].Buttons,
            (std::vector<std::string>{"&Replace", "S&kip existing", "Cancel"}));
  EXPECT_EQ(Files.Column(TForm1::colState)[0], "skipped: the output exists");
  EXPECT_EQ(WhenExists.ItemIndex(), TForm1::weSkip);
  EXPECT_EQ(Settings.Values["whenExists"], "skip");
  EXPECT_EQ(ReadFileBytes(Out / "01.wav"), (Bytes{'k', 'e', 'p', 't'}));

  WhenExists.SetItemIndex(TForm1::weReplace);  // no question: replaced
  App.Questions.clear();
  App.Answers = {{1, false}};
  RunBatch();
  ASSERT_EQ(App.Questions.size(), 1u);  // the summary alone
  EXPECT_EQ(Files.Column(TForm1::colState)[0], "done, 10 bytes");
}

TEST_F(Form1Test, StopEndsTheRunningFilesAndClosingAsksFirst) {
  Form->FilesDropped({(In / "a/01.wav").string(), (In / "long.wav").string()});
  Output.Caption = Out.string();
  CurrentCodec = WAVE_FORMAT_MULAW;
  FilesAtOnce.Choose("1");
  std::future<void> holding = Job.Holding.get_future();
  Form->StartBtnClick();
  holding.wait();
  Form->TimerTick();
  EXPECT_EQ(Files.Column(TForm1::colState), (std::vector<std::string>{"done, 10 bytes", "0%"}));
  EXPECT_EQ(Status.Texts.back(), "Compressing long.wav");
  EXPECT_EQ(Window.GetText(), "50% - Corvane");

  EXPECT_FALSE(Form->CloseQuery());  // "Stop the batch and quit?" No
  EXPECT_TRUE(Form->Running() && Timer.Enabled);
  Form->StartBtnClick();  // Stop
  Form->WaitForBatch();
  Form->TimerTick();
  EXPECT_EQ(Files.Column(TForm1::colState),
            (std::vector<std::string>{"done, 10 bytes", "stopped"}));
  EXPECT_EQ(Status.Texts.back(), "Stopped: 1 of 2 files done");
  EXPECT_EQ(App.Questions.size(), 1u);  // no summary after a stop
}

TEST(WindowBatch, AVanishedOutputFolderIsNotMadeAgain) {
  TTempDir dir;
  TFakeCompression job;
  const std::string out = dir.File("out");
  TWindowBatch batch(job, {{dir.File("a.wav"), out + "/tree/a.wav"}}, WAVE_FORMAT_MULAW, {}, 1,
                     out);
  batch.Wait();
  const std::vector<TFileReport> reports = batch.Reports();
  EXPECT_EQ(reports[0].State, TFileState::Failed);
  EXPECT_EQ(reports[0].Reason, dir.File("a.wav") + ": Cannot write " + out + "/tree/a.wav: " + out +
                                   ": No such file or directory.");
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
