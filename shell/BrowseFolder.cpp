#include "shell/BrowseFolder.h"

#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/ui/Forms.h"
#include "shell/FileUtils.h"

namespace {

// The shell flag of each TBrowseInfoFlags value, by ordinal.
constexpr UINT kShellFlags[] = {
    BIF_RETURNONLYFSDIRS,  BIF_DONTGOBELOWDOMAIN, BIF_STATUSTEXT,
    BIF_RETURNFSANCESTORS, BIF_BROWSEFORCOMPUTER, BIF_BROWSEFORPRINTER,
};

// The special folder of each TSHFolders value, by ordinal; foDesktopExpanded has none.
constexpr int kSpecialFolders[] = {
    CSIDL_DESKTOP,
    -1,
    CSIDL_PROGRAMS,
    CSIDL_CONTROLS,
    CSIDL_PRINTERS,
    CSIDL_PERSONAL,
    CSIDL_FAVORITES,
    CSIDL_STARTUP,
    CSIDL_RECENT,
    CSIDL_SENDTO,
    CSIDL_BITBUCKET,
    CSIDL_STARTMENU,
    CSIDL_DESKTOPDIRECTORY,
    CSIDL_DRIVES,
    CSIDL_NETWORK,
    CSIDL_NETHOOD,
    CSIDL_FONTS,
    CSIDL_TEMPLATES,
};

constexpr uint32_t kButtonStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP;

TBrowseFolder* FromData(LPARAM AData) {
  return reinterpret_cast<TBrowseFolder*>(AData);
}

// The file-system path of an item, or empty.
std::string PathOf(LPCITEMIDLIST AItem, bool& AFound) {
  auto buffer = std::make_unique<char[]>(MAX_PATH);
  AFound = SHGetPathFromIDListA(AItem, buffer.get());
  return buffer.get();
}

}  // namespace

TBrowseFolder::TBrowseFolder(TComponent* AOwner)
    : TComponent(AOwner), FDisplayName(MAX_PATH, '\0') {}

UINT TBrowseFolder::ShellFlags() const {
  UINT flags = 0;
  for (size_t i = 0; i < std::size(kShellFlags); ++i)
    if (Flags.Contains(static_cast<TBrowseInfoFlags>(i))) flags |= kShellFlags[i];
  return flags;
}

std::string TBrowseFolder::StatusPath(const std::string& APath) {
  std::string shortened;
  ShortenPath(APath, "/", "...", shortened, 35);
  return shortened;
}

HWND TBrowseFolder::OwnerWindow() const {
  if (IsWindow(OwnerHandle)) return OwnerHandle;
  if (auto* owner = dynamic_cast<const TWinControl*>(GetOwner())) return owner->Handle();
  return Application ? Application->MainFormHandle() : nullptr;
}

bool TBrowseFolder::Execute() {
  ui::TItemPtr root, chosen;
  if (const int folder = kSpecialFolders[static_cast<size_t>(RootFolder)]; folder >= 0) {
    LPITEMIDLIST item = nullptr;
    // A folder the shell cannot resolve leaves no root: the default tree shows.
    SHGetSpecialFolderLocation(Application ? Application->Handle() : nullptr, folder, &item);
    root.reset(item);
  }
  BROWSEINFOA info{};
  info.hwndOwner = OwnerWindow();
  info.pidlRoot = root.get();
  info.pszDisplayName = FDisplayName.data();
  info.lpszTitle = Title.c_str();
  info.ulFlags = ShellFlags();
  info.lpfn = &BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(this);
  info.iImage = 0;
  // The custom button's font lives as long as the dialog, whatever ends it.
  struct TFontRelease {
    HFONT& Font;
    ~TFontRelease() {
      if (Font) DeleteObject(Font);
      Font = nullptr;
    }
  } font_release{FFont};
  chosen.reset(SHBrowseForFolderA(&info));
  if (!chosen) return false;
  bool found = false;
  Directory = PathOf(chosen.get(), found);
  FCurrentDirectory = Directory;
  FImageIndex = info.iImage;
  return true;
}

int TBrowseFolder::BrowseCallback(HWND AWnd, UINT AMsg, LPARAM AParam, LPARAM AData) {
  TBrowseFolder& self = *FromData(AData);
  switch (AMsg) {
    case BFFM_INITIALIZED: {
      self.FDialogHandle = AWnd;
      PlaceOverForegroundWindow(AWnd);
      SetWindowLongA(AWnd, GWL_USERDATA, AData);
      std::error_code error;
      if (!self.Directory.empty() && std::filesystem::is_directory(self.Directory, error))
        SendMessageA(AWnd, BFFM_SETSELECTIONA, 1, reinterpret_cast<LPARAM>(self.Directory.c_str()));
      if (self.CustomButtonVisible) self.CreateCustomButton();
      if (self.OnInitialized) self.OnInitialized(self, AWnd);
      break;
    }
    case BFFM_SELCHANGED: {
      const auto item = reinterpret_cast<LPCITEMIDLIST>(AParam);
      bool is_folder = false;
      self.FCurrentDirectory = PathOf(item, is_folder);
      if (self.ShowPathInStatusArea) {
        const std::string status = StatusPath(self.FCurrentDirectory);
        SendMessageA(AWnd, BFFM_SETSTATUSTEXTA, 0, reinterpret_cast<LPARAM>(status.c_str()));
      }
      SendMessageA(AWnd, BFFM_ENABLEOK, 0, is_folder ? 1 : 0);
      if (self.SyncCustomButton) self.SetCustomButtonEnabled(is_folder);
      if (self.OnSelectionChanged)
        self.OnSelectionChanged(self, AWnd, item, self.FCurrentDirectory);
      break;
    }
    default:
      break;
  }
  return 0;
}

void TBrowseFolder::CreateCustomButton() {
  const uint32_t type =
      CustomButtonType == TCustomButtonType::btCheckBox ? BS_AUTOCHECKBOX : BS_PUSHBUTTON;
  const HWND button = CreateWindowExA(
      0, "BUTTON", FCustomButtonCaption.c_str(), kButtonStyle | type, 12, 270, FCustomButtonWidth,
      23, FDialogHandle, reinterpret_cast<HMENU>(intptr_t{CustomButtonId}),
      GetModuleHandleA(nullptr), nullptr);
  // The toolkit's default font. The button uses the font object after this call returns, so
  // it is released only when the dialog has closed (Execute).
  LOGFONTA font{};
  font.lfHeight = -11;
  font.lfWeight = 400;
  std::strcpy(font.lfFaceName, "MS Sans Serif");
  if (FFont) DeleteObject(FFont);
  FFont = CreateFontIndirectA(&font);
  PostMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), 1);
  EnableWindow(button, FCustomButtonEnabled);
  if (CustomButtonType == TCustomButtonType::btCheckBox)
    CheckDlgButton(FDialogHandle, CustomButtonId,
                   CustomButtonChecked ? BST_CHECKED : BST_UNCHECKED);
  SetWindowLongA(FDialogHandle, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(&DialogWindowProc));
  FCustomButtonHandle = button;
}

LRESULT TBrowseFolder::DialogWindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
  TBrowseFolder& self = *FromData(GetWindowLongA(AWnd, GWL_USERDATA));
  if (AMsg == WM_COMMAND && (AWParam & 0xFF) == IDOK &&
      self.CustomButtonType == TCustomButtonType::btCheckBox) {
    self.CustomButtonChecked = IsDlgButtonChecked(AWnd, CustomButtonId) == BST_CHECKED;
    return DefDlgProcA(AWnd, AMsg, AWParam, ALParam);
  }
  if (AMsg == WM_COMMAND && (AWParam & 0xFF) == CustomButtonId) {
    if (self.OnCustomButtonClick) self.OnCustomButtonClick(self, AWnd);
    return 0;
  }
  return DefDlgProcA(AWnd, AMsg, AWParam, ALParam);
}

void TBrowseFolder::SetCustomButtonEnabled(bool AValue) {
  FCustomButtonEnabled = AValue;
  if (IsWindow(FCustomButtonHandle)) EnableWindow(FCustomButtonHandle, AValue);
}

void TBrowseFolder::SetCustomButtonCaption(const std::string& AValue) {
  FCustomButtonCaption = AValue;
  if (IsWindow(FCustomButtonHandle)) SetWindowTextA(FCustomButtonHandle, AValue.c_str());
}

void TBrowseFolder::SetCustomButtonWidth(int32_t AValue) {
  FCustomButtonWidth = AValue > 0 ? AValue : 75;
}
