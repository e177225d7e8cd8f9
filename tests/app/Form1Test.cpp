// The main window's logic through toolkit doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/corvane_unit1.h"
#include "platform/rtl/Exception.h"
#include "tests/support/Peers.h"
#include "tests/support/ScriptedUi.h"

namespace {

struct TFakeList : TListBox {
  struct TEntry {
    std::string Text;
    bool Selected;
    bool operator==(const TEntry&) const = default;
  };
  std::vector<TEntry> Entries;
  int32_t Count() const override { return static_cast<int32_t>(Entries.size()); }
  std::string Item(int32_t AIndex) const override { return Entries.at(AIndex).Text; }
  void Add(const std::string& AText) override { Entries.push_back({AText, false}); }
  void Delete(int32_t AIndex) override { Entries.erase(Entries.begin() + AIndex); }
  int32_t SelCount() const override {
    return static_cast<int32_t>(
        std::count_if(Entries.begin(), Entries.end(), [](const TEntry& e) { return e.Selected; }));
  }
  bool Selected(int32_t AIndex) const override { return Entries.at(AIndex).Selected; }
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

struct TFakeCompression : TCompression {
  int32_t Codec = 0;
  bool Cancel = false;
  std::string FailOn;
  std::vector<std::vector<std::string>> Calls;
  int32_t ChooseCodec() override {
    if (Cancel) Abort();
    return Codec;
  }
  void CompressFile(const std::string& ASource, const std::string& ADestination,
                    int32_t ACodec) override {
    Calls.push_back({ASource, ADestination, std::to_string(ACodec)});
    if (ASource == FailOn) throw Exception();
  }
};

class Form1Test : public ::testing::Test {
 protected:
  TTestApplication App;
  TScriptedBrowser Browser;
  TFakeList Files;
  TFakeLabel Output;
  TFakeStatus Status;
  TFakeOpenDialog Open;
  TFakeCompression Job;
  ui::TWindow Window{"TForm1", 0, nullptr, 0};
  TForm1 Form{{Files, Output, Status, Open}, Job, Window.Handle()};
};

TEST_F(Form1Test, StartChecksRunInOrderAndChangeNothing) {
  CurrentCodec = 7;
  TForm1 fresh({Files, Output, Status, Open}, Job, Window.Handle());
  EXPECT_EQ(CurrentCodec, 0);  // creating the window resets the codec
  Form.StartBtnClick();
  Files.Add("/in/a.wav");
  Form.StartBtnClick();
  Output.Caption = "/out";
  Files.Entries.clear();
  Form.StartBtnClick();
  Files.Add("/in/a.wav");
  Form.StartBtnClick();
  EXPECT_EQ(App.Messages,
            (std::vector<std::string>{
                "You must select an output directory.", "You must select an output directory.",
                "No files selected for compression.", "No compression codec selected."}));
  EXPECT_EQ(Status.Texts, std::vector<std::string>{"Program Started"});
  EXPECT_TRUE(Job.Calls.empty());
}

TEST_F(Form1Test, FilesAreAddedAndRemovedAsSelected) {
  Open.Chosen = {"/in/b.wav", "/in/a.wav", "/in/notes.txt"};
  Form.AddBtnClick();
  Form.AddBtnClick();  // twice is listed twice
  Open.Confirm = false;
  Open.Chosen = {"/in/c.wav"};
  Form.AddBtnClick();
  Form.FilesDropped({"/dropped/d.wav"});
  ASSERT_EQ(Files.Count(), 7);
  for (int i : {1, 2, 3, 6})
    Files.Entries[i].Selected = true;
  Form.RemoveBtnClick();
  EXPECT_EQ(Files.Entries,
            (std::vector<TFakeList::TEntry>{
                {"/in/b.wav", false}, {"/in/a.wav", false}, {"/in/notes.txt", false}}));
}

TEST_F(Form1Test, CodecAndFolderChoices) {
  Job.Codec = 0x11;
  Form.SelectCodecBtnClick();
  EXPECT_EQ(CurrentCodec, 0x11);
  Job.Cancel = true;  // a cancelled choice keeps the codec
  EXPECT_THROW(Form.SelectCodecBtnClick(), EAbort);
  EXPECT_EQ(CurrentCodec, 0x11);

  TTempDir dir;
  Browser.Steps = {TScriptedBrowser::Select(dir.Path().string()), TScriptedBrowser::Click(IDOK)};
  Form.Button1Click();
  EXPECT_EQ(Output.Caption, dir.Path().string());
  EXPECT_EQ(Browser.Flags, 0x0005u);
  EXPECT_EQ(Browser.Title, "Select output directory:");
  EXPECT_EQ(Browser.Owner, Window.Handle());  // the form owns its browser
  Browser.Steps = {};
  Form.Button1Click();  // cancelled: no folder any more
  EXPECT_EQ(Output.Caption, "None selected");
}

TEST_F(Form1Test, BatchNamesDestinationsReportsProgressAndStopsAtAFailure) {
  Files.Add("/in/a.wav");
  Files.Add("relative.wav");
  Files.Add("/in/a.wav");
  Files.Entries[1].Selected = true;  // selection does not matter
  Output.Caption = "/";
  CurrentCodec = 0x10011;
  Form.StartBtnClick();
  EXPECT_EQ(Job.Calls,
            (std::vector<std::vector<std::string>>{{"/in/a.wav", "//a.wav", "65553"},
                                                   {"relative.wav", "//relative.wav", "65553"},
                                                   {"/in/a.wav", "//a.wav", "65553"}}));
  EXPECT_EQ(Status.Texts,
            (std::vector<std::string>{"Program Started", "Starting compression...",
                                      "Compressing /in/a.wav", "Compressing relative.wav",
                                      "Compressing /in/a.wav", "Compression completed"}));

  // A failure ends the batch and is shown with what was being done; the window stays usable,
  // its list, folder and codec as they were.
  Job.Calls.clear();
  Job.FailOn = "relative.wav";
  Guarded([&] { return Form.Activity(); }, [&] { Form.StartBtnClick(); });
  EXPECT_EQ(Job.Calls.size(), 2u);
  EXPECT_EQ(Status.Texts.back(), "Compressing relative.wav");
  EXPECT_EQ(App.Errors, std::vector<std::string>{"Something failed while compressing "
                                                 "relative.wav, and it gave no reason."});
  Job.FailOn.clear();
  Form.StartBtnClick();
  EXPECT_EQ(Status.Texts.back(), "Compression completed");
}

}  // namespace
