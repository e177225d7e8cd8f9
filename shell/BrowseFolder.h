#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/rtl/Component.h"
#include "platform/rtl/Set.h"
#include "platform/ui/ShellApi.h"

enum class TBrowseInfoFlags : uint8_t {
  bfFileSysDirsOnly,
  bfDontGoBelowDomain,
  bfStatusText,
  bfFileSysAncestors,
  bfBrowseForComputer,
  bfBrowseForPrinter,
};
using TBrowseInfoFlagSet = TSet<TBrowseInfoFlags>;

enum class TSHFolders : uint8_t {
  foDesktop,
  foDesktopExpanded,
  foPrograms,
  foControlPanel,
  foPrinters,
  foPersonal,
  foFavorites,
  foStartup,
  foRecent,
  foSendto,
  foRecycleBin,
  foStartMenu,
  foDesktopDirectory,
  foMyComputer,
  foNetwork,
  foNetworkNeighborhood,
  foFonts,
  foTemplates,
};

enum class TCustomButtonType : uint8_t { btPushButton, btCheckBox };

class TBrowseFolder;
using TBrowserInitializedEvent = std::function<void(TBrowseFolder& Sender, HWND DialogHandle)>;
using TSelectionChangedEvent =
    std::function<void(TBrowseFolder& Sender, HWND DialogHandle, LPCITEMIDLIST ItemIDList,
                       const std::string& Directory)>;
using TCustomButtonClickEvent = std::function<void(TBrowseFolder& Sender, HWND DialogHandle)>;

// Lets the user pick a folder in the shell's folder dialog: a starting selection, a root, the
// current path in the dialog's status line, the dialog placed over the foreground window, and
// an optional push button or check box of the caller's in the dialog.
class TBrowseFolder : public TComponent {
 public:
  // The control identifier of the custom button.
  static constexpr int32_t CustomButtonId = 255;

  explicit TBrowseFolder(TComponent* AOwner);

  // Modal; true when the user confirmed a folder, which Directory then holds.
  bool Execute();

  std::string Directory;
  std::string Title;
  TBrowseInfoFlagSet Flags{TBrowseInfoFlags::bfFileSysDirsOnly, TBrowseInfoFlags::bfStatusText};
  bool ShowPathInStatusArea = false;
  TSHFolders RootFolder = TSHFolders::foDesktopExpanded;
  bool CustomButtonVisible = false;
  TCustomButtonType CustomButtonType = TCustomButtonType::btPushButton;
  bool CustomButtonChecked = false;
  bool SyncCustomButton = false;
  TBrowserInitializedEvent OnInitialized;
  TSelectionChangedEvent OnSelectionChanged;
  TCustomButtonClickEvent OnCustomButtonClick;

  bool GetCustomButtonEnabled() const { return FCustomButtonEnabled; }
  // Also enables or disables the button while the dialog shows it.
  void SetCustomButtonEnabled(bool AValue);
  const std::string& GetCustomButtonCaption() const { return FCustomButtonCaption; }
  void SetCustomButtonCaption(const std::string& AValue);
  int32_t GetCustomButtonWidth() const { return FCustomButtonWidth; }
  // Values of 0 or less store 75; a button already shown keeps its width.
  void SetCustomButtonWidth(int32_t AValue);

  // An explicit owner window for the dialog, used when it names an existing window.
  HWND OwnerHandle = nullptr;
  // The shell's flag word for Flags.
  UINT ShellFlags() const;
  // The dialog's status-line text for a path: shortened with "/" to 35 characters.
  static std::string StatusPath(const std::string& APath);

  // While the dialog shows, and after it (they are not cleared).
  HWND DialogHandle() const { return FDialogHandle; }
  HWND CustomButtonHandle() const { return FCustomButtonHandle; }
  const std::string& CurrentDirectory() const { return FCurrentDirectory; }
  std::string DisplayName() const { return FDisplayName.c_str(); }
  int32_t ImageIndex() const { return FImageIndex; }

 private:
  static int BrowseCallback(HWND AWnd, UINT AMsg, LPARAM AParam, LPARAM AData);
  static LRESULT DialogWindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam);
  void CreateCustomButton();
  HWND OwnerWindow() const;

  HWND FDialogHandle = nullptr;
  HWND FCustomButtonHandle = nullptr;
  std::string FDisplayName;
  int32_t FImageIndex = 0;
  std::string FCurrentDirectory;
  bool FCustomButtonEnabled = true;
  std::string FCustomButtonCaption;
  int32_t FCustomButtonWidth = 75;
  // The custom button's font, alive while the button may use it.
  HFONT FFont = nullptr;
};
