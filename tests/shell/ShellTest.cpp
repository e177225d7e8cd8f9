#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "shell/BrowseFolder.h"
#include "shell/FileUtils.h"
#include "tests/support/Peers.h"
#include "tests/support/ScriptedUi.h"

namespace {

TEST(FileUtils, SplitAndShortenPaths) {
  std::vector<std::string> pieces{"old"};
  EXPECT_EQ(SplitString("a\\\\b", "\\", pieces), 3);
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitString("", "/", pieces), 1);
  EXPECT_EQ(pieces, std::vector<std::string>{""});

  for (const auto& [path, shortened] : {std::pair{"C:\\Program Files\\Common Files\\System\\Folder",
                                                  "C:\\...\\Common Files\\System\\Folder"},
                                        {"C:\\LongFolderNameLongFolderNameLongFolderName",
                                         "C:\\LongFolderNameLongFolderNameLongFolderName"}}) {
    std::string result;
    ShortenPath(path, "\\", "...", result, 35);
    EXPECT_EQ(result, shortened);
  }
  // Only the first and last pieces are sure to stay; the result may stay long.
  EXPECT_EQ(TBrowseFolder::StatusPath("/home/someone/An album name longer than the line"),
            "/.../An album name longer than the line");
}

TEST(FileUtils, PlacesAWindowOverTheForegroundWindow) {
  ui::TWindow foreground("Main", 0, nullptr, 0), dialog("Dialog", 0, nullptr, 0);
  foreground.SetRect({100, 50, 389, 290});  // 289 x 240
  dialog.SetRect({0, 0, 200, 300});
  PlaceOverForegroundWindow(dialog.Handle());  // no foreground window: it stays
  EXPECT_EQ(dialog.GetRect().left, 0);
  ASSERT_TRUE(SetForegroundWindow(foreground.Handle()));
  PlaceOverForegroundWindow(dialog.Handle());
  const RECT placed = dialog.GetRect();  // centred across, a quarter down, its size kept
  EXPECT_TRUE(placed.left == 100 + 144 - 100 && placed.top == 50 + 60 && placed.right == 344 &&
              placed.bottom == 410);
}

class BrowseFolderTest : public ::testing::Test {
 protected:
  TTestApplication App;
  TScriptedBrowser Browser;
  TTempDir Dir;
  TBrowseFolder Folder{nullptr};
};

TEST_F(BrowseFolderTest, MainWindowSettingsChooseAFolder) {
  const std::string chosen = Dir.File("Out");
  std::filesystem::create_directory(chosen);
  ui::TWindow main("TForm1", 0, nullptr, 0);
  App.MainForm = main.Handle();
  Browser.Steps = {TScriptedBrowser::Select(chosen), TScriptedBrowser::Click(IDOK)};
  ASSERT_TRUE(Folder.Execute());
  EXPECT_TRUE(Browser.Owner == main.Handle() && !Browser.HadRoot);
  EXPECT_EQ(Browser.StatusText, "");  // no path in the status line
  EXPECT_TRUE(Folder.Directory == chosen && Folder.CurrentDirectory() == chosen);

  // The next run starts on the folder chosen; cancelling keeps it.
  Browser.Steps = {TScriptedBrowser::Select(Dir.Path().string()),
                   TScriptedBrowser::Click(IDCANCEL)};
  EXPECT_FALSE(Folder.Execute());
  EXPECT_EQ(Browser.Selections.front(), chosen);
  EXPECT_EQ(Folder.Directory, chosen);
  // A folder that is gone is not selected at the start.
  std::filesystem::remove(chosen);
  Browser.Steps = {};
  EXPECT_FALSE(Folder.Execute());
  EXPECT_NE(Browser.Selections.front(), chosen);
}

TEST_F(BrowseFolderTest, OkOnlyForFileSystemFolders) {
  const std::string deep = Dir.File("a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s");
  std::filesystem::create_directories(deep);
  Folder.ShowPathInStatusArea = true;
  Folder.SyncCustomButton = true;
  Folder.CustomButtonVisible = true;
  Folder.RootFolder = TSHFolders::foPrinters;
  bool ok_for_printers = true, button_for_printers = true;
  std::vector<std::string> events;
  Folder.OnSelectionChanged = [&](TBrowseFolder& ASender, HWND ADialog, LPCITEMIDLIST,
                                  const std::string& ADirectory) {
    events.push_back(ADirectory);
    EXPECT_EQ(ADialog, ASender.DialogHandle());
  };
  Browser.Steps = {[&](ui::TBrowseDialog& ADialog) {
                     ok_for_printers = ADialog.OkEnabled();
                     button_for_printers = IsWindowEnabled(Folder.CustomButtonHandle());
                   },
                   TScriptedBrowser::Click(IDOK)};  // refused: not a folder
  EXPECT_FALSE(Folder.Execute());
  EXPECT_EQ(Browser.Root, "Printers");
  EXPECT_FALSE(ok_for_printers || button_for_printers);
  EXPECT_EQ(events, std::vector<std::string>{""});

  events.clear();
  Folder.RootFolder = TSHFolders::foDesktopExpanded;
  Browser.Steps = {TScriptedBrowser::Select(deep),
                   [&](ui::TBrowseDialog& ADialog) {
                     EXPECT_TRUE(ADialog.OkEnabled());
                     EXPECT_TRUE(IsWindowEnabled(Folder.CustomButtonHandle()));
                   },
                   TScriptedBrowser::Click(IDOK)};
  ASSERT_TRUE(Folder.Execute());
  EXPECT_EQ(Folder.Directory, deep);
  EXPECT_EQ(events.back(), deep);
}

TEST_F(BrowseFolderTest, CheckBoxIsReadOnOkOnly) {
  Folder.CustomButtonVisible = true;
  Folder.CustomButtonType = TCustomButtonType::btCheckBox;
  Folder.SetCustomButtonCaption("Make subfolder");
  Folder.SetCustomButtonWidth(0);
  EXPECT_EQ(Folder.GetCustomButtonWidth(), 75);
  Folder.SetCustomButtonWidth(120);
  int clicks = 0, initialized = 0;
  Folder.OnCustomButtonClick = [&](TBrowseFolder&, HWND) { ++clicks; };
  Folder.OnInitialized = [&](TBrowseFolder&, HWND) { ++initialized; };
  LOGFONTA font{};
  Browser.Steps = {TScriptedBrowser::Select(Dir.Path().string()),
                   [&](ui::TBrowseDialog& ADialog) {
                     const HWND button = GetDlgItem(ADialog.Handle(), 255);
                     EXPECT_EQ(button, Folder.CustomButtonHandle());
                     ui::TWindow& window = *ui::FindWindow(button);
                     EXPECT_EQ(window.GetText(), "Make subfolder");
                     EXPECT_EQ(window.GetRect().right - window.GetRect().left, 120);
                     // The posted font arrived while its font object was alive.
                     EXPECT_TRUE(ui::GetFontInfo(window.Font(), font));
                     Folder.SetCustomButtonCaption("Renamed");
                     EXPECT_EQ(window.GetText(), "Renamed");
                   },
                   TScriptedBrowser::Click(255), TScriptedBrowser::Click(IDCANCEL)};
  EXPECT_FALSE(Folder.Execute());
  EXPECT_TRUE(clicks == 1 && initialized == 1);
  EXPECT_EQ(font.lfHeight, -11);
  EXPECT_FALSE(Folder.CustomButtonChecked);  // ticked, then cancelled
  EXPECT_FALSE(IsWindow(Folder.CustomButtonHandle()));
}

TEST_F(BrowseFolderTest, SpecialFoldersAsRoots) {
  const std::string config = Dir.File("config"), desktop = Dir.File("Schreibtisch");
  std::filesystem::create_directories(config);
  std::filesystem::create_directories(desktop);
  std::ofstream(config + "/user-dirs.dirs")
      << "# written by a test\nXDG_DESKTOP_DIR=\"" << desktop
      << "\"\nXDG_DOCUMENTS_DIR=\"$HOME/no-such-folder-here\"\n";
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  Folder.RootFolder = TSHFolders::foDesktop;
  Browser.Steps = {TScriptedBrowser::Click(IDOK)};
  ASSERT_TRUE(Folder.Execute());  // the root is the first selection
  EXPECT_EQ(Browser.Root, desktop);
  EXPECT_EQ(Folder.Directory, desktop);
  Folder.RootFolder = TSHFolders::foPersonal;  // missing: the default tree
  Browser.Steps = {};
  EXPECT_FALSE(Folder.Execute());
  EXPECT_FALSE(Browser.HadRoot);
  ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
