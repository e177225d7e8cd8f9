// The Qt dialogs of the codec manager and the shell, driven off screen.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTreeView>

#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/acm/AcmDriver.h"
#include "platform/ui/qt/QtUi.h"
#include "shell/BrowseFolder.h"
#include "tests/support/Peers.h"
#include "tests/support/QtScript.h"

namespace {

QPushButton* Button(QWidget& ADialog, const QString& AText) {
  for (QPushButton* button : ADialog.findChildren<QPushButton*>())
    if (button->text().remove('&') == AText) return button;
  return nullptr;
}

TEST(QtDialogs, CodecAndFolderDialogsStoreTheChoiceAndCancel) {
  UseOffscreenUnlessSet();
  int argc = 1;
  char name[] = "corvane", *argv[] = {name, nullptr};
  ui::qt::TQtApplication app(argc, argv);
  app.Initialize();
  std::vector<uint8_t> buffer(256);
  ACMFORMATCHOOSEA request{};
  request.cbStruct = ACMFORMATCHOOSEA_MIN_CBSTRUCT;
  request.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  request.cbwfx = static_cast<uint32_t>(buffer.size());
  request.pszTitle = "Choose a compression format:";
  // Open on the third IMA ADPCM format.
  std::vector<acm::FormatChoice> ima;
  for (const acm::FormatChoice& choice : acm::ListFormatChoices(request))
    if (choice.format.Get().wFormatTag == WAVE_FORMAT_IMA_ADPCM) ima.push_back(choice);
  ASSERT_GT(ima.size(), 3u);
  std::memcpy(buffer.data(), ima[2].format.Bytes(), ima[2].format.Size());
  request.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;

  TModalScript script;
  script.Then([&](QWidget& ADialog) {
    auto* tags = ADialog.findChild<QListWidget*>("FormatTags");
    auto* formats = ADialog.findChild<QListWidget*>("Formats");
    ASSERT_TRUE(tags && formats);
    EXPECT_EQ(tags->currentItem()->text().toStdString(), ima[2].tag_name);
    EXPECT_EQ(formats->currentItem()->text().toStdString(), ima[2].format_name);
    formats->setCurrentRow(1);
    Button(ADialog, "OK")->click();
  });
  ASSERT_EQ(acmFormatChooseA(&request), MMSYSERR_NOERROR);
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(std::memcmp(buffer.data(), ima[1].format.Bytes(), ima[1].format.Size()), 0);
  EXPECT_EQ(std::string(request.szFormatTag), ima[1].tag_name);
  EXPECT_EQ(std::string(request.szFormat), ima[1].format_name);

  request.pszTitle = nullptr;
  request.fdwStyle = 0;
  script.Then([&](QWidget& ADialog) {
    EXPECT_EQ(ADialog.windowTitle(), "Sound Format");  // the dialog's own title
    Button(ADialog, "Cancel")->click();
  });
  EXPECT_EQ(acmFormatChooseA(&request), ACMERR_CANCELED);

  // The folder dialog starts on the folder and reads its check box on OK.
  TTempDir dir;
  const std::string first = dir.File("first"), second = dir.File("first/second");
  std::filesystem::create_directories(second);
  TBrowseFolder folder(nullptr);
  folder.Title = "Select output directory:";
  folder.Directory = second;
  folder.ShowPathInStatusArea = true;
  folder.CustomButtonVisible = true;
  folder.CustomButtonType = TCustomButtonType::btCheckBox;
  folder.SetCustomButtonCaption("Keep");
  script.Then([&](QWidget& ADialog) {
    auto* tree = ADialog.findChild<QTreeView*>("FolderTree");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->currentIndex().data().toString(), "second");
    EXPECT_EQ(ADialog.findChild<QLabel*>("StatusText")->text().toStdString(),
              TBrowseFolder::StatusPath(second));
    EXPECT_TRUE(ADialog.findChild<QLabel*>()->text() == "Select output directory:");
    tree->setCurrentIndex(tree->currentIndex().parent());  // the user picks "first"
    auto* keep = ADialog.findChild<QCheckBox*>();
    ASSERT_TRUE(keep);
    keep->click();
    Button(ADialog, "OK")->click();
  });
  ASSERT_TRUE(folder.Execute());
  EXPECT_EQ(folder.Directory, first);
  EXPECT_TRUE(folder.CustomButtonChecked);

  script.Then([&](QWidget& ADialog) {
    ADialog.findChild<QCheckBox*>()->click();
    static_cast<QDialog&>(ADialog).reject();  // Escape or the window's close button
  });
  EXPECT_FALSE(folder.Execute());
  EXPECT_TRUE(folder.CustomButtonChecked);
}

}  // namespace
