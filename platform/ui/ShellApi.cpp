#include "platform/ui/ShellApi.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

// An item list here holds one item: a kind byte ('F' a folder of the file system, 'V' a
// virtual item), then its path or name; then the zero that ends the list.
constexpr uint8_t kFolder = 'F';
constexpr uint8_t kVirtual = 'V';

uint16_t ItemSize(LPCITEMIDLIST AItem) {
  uint16_t size;
  std::memcpy(&size, AItem, sizeof size);
  return size;
}

LPITEMIDLIST MakeItem(uint8_t AKind, const std::string& AText) {
  const size_t size = 2 + 1 + AText.size();
  if (size > 0xFFFF) return nullptr;
  auto* bytes = static_cast<uint8_t*>(std::malloc(size + 2));
  if (!bytes) throw std::bad_alloc();
  const auto cb = static_cast<uint16_t>(size);
  std::memcpy(bytes, &cb, 2);
  bytes[2] = AKind;
  std::memcpy(bytes + 3, AText.data(), AText.size());
  bytes[size] = bytes[size + 1] = 0;
  return reinterpret_cast<LPITEMIDLIST>(bytes);
}

uint8_t ItemKind(LPCITEMIDLIST AItem) {
  return AItem && ItemSize(AItem) >= 3 ? AItem->mkid.abID[0] : 0;
}

ui::TBrowseDialogToolkit& Toolkit() {
  static ui::TBrowseDialogToolkit toolkit;
  return toolkit;
}

std::string Environment(const char* AName) {
  const char* value = std::getenv(AName);
  return value ? value : "";
}

// The folders that have a place among the user's folders, by their user-dirs key.
const std::map<int, std::string> kUserFolders = {
    {CSIDL_DESKTOP, "DESKTOP"},
    {CSIDL_DESKTOPDIRECTORY, "DESKTOP"},
    {CSIDL_PERSONAL, "DOCUMENTS"},
    {CSIDL_TEMPLATES, "TEMPLATES"},
};

const std::map<int, std::string> kVirtualFolders = {
    {CSIDL_PROGRAMS, "Programs"},    {CSIDL_CONTROLS, "Control Panel"},
    {CSIDL_PRINTERS, "Printers"},    {CSIDL_FAVORITES, "Favorites"},
    {CSIDL_STARTUP, "Startup"},      {CSIDL_RECENT, "Recent Items"},
    {CSIDL_SENDTO, "Send To"},       {CSIDL_BITBUCKET, "Trash"},
    {CSIDL_STARTMENU, "Start Menu"}, {CSIDL_DRIVES, "Computer"},
    {CSIDL_NETWORK, "Network"},      {CSIDL_NETHOOD, "Network Places"},
    {CSIDL_FONTS, "Fonts"},
};

}  // namespace

namespace ui {

LPITEMIDLIST MakeFolderItem(const std::string& APath) {
  return MakeItem(kFolder, APath);
}

LPITEMIDLIST MakeVirtualItem(const std::string& AName) {
  return MakeItem(kVirtual, AName);
}

bool IsFolderItem(LPCITEMIDLIST AItem) {
  return ItemKind(AItem) == kFolder;
}

std::string ItemText(LPCITEMIDLIST AItem) {
  if (!ItemKind(AItem)) return "";
  const auto* bytes = reinterpret_cast<const char*>(AItem);
  return std::string(bytes + 3, ItemSize(AItem) - 3u);
}

std::string ItemDisplayName(LPCITEMIDLIST AItem) {
  const std::string text = ItemText(AItem);
  if (!IsFolderItem(AItem)) return text;
  const std::string name = std::filesystem::path(text).filename().string();
  return name.empty() ? text : name;
}

LPITEMIDLIST CloneItem(LPCITEMIDLIST AItem) {
  if (!ItemKind(AItem)) return nullptr;
  return MakeItem(ItemKind(AItem), ItemText(AItem));
}

TBrowseDialogToolkit SetBrowseDialogToolkit(TBrowseDialogToolkit AToolkit) {
  std::swap(Toolkit(), AToolkit);
  return AToolkit;
}

std::string UserDirectory(const std::string& AKey) {
  const std::string home = Environment("HOME");
  std::string config = Environment("XDG_CONFIG_HOME");
  if (config.empty()) config = home + "/.config";
  std::ifstream settings(config + "/user-dirs.dirs");
  const std::string prefix = "XDG_" + AKey + "_DIR=\"";
  for (std::string line; std::getline(settings, line);) {
    if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1 || line.back() != '"')
      continue;
    std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
    return value;
  }
  return AKey == "DESKTOP" && !home.empty() ? home + "/Desktop" : "";
}

TBrowseDialog::TBrowseDialog(const BROWSEINFOA& AInfo)
    : TWindow("#32770", 0, nullptr, 0), FInfo(AInfo) {}

TBrowseDialog::~TBrowseDialog() {
  // The buttons are the view's widgets.
  DestroyChildren();
}

bool TBrowseDialog::OkEnabled() const {
  return IsWindowEnabled(GetDlgItem(Handle(), IDOK));
}

bool TBrowseDialog::Open() {
  if (!Toolkit()) return false;
  FView = Toolkit()(*this);
  if (!FView) return false;
  Adopt(FView->MakeButton(BS_DEFPUSHBUTTON, IDOK)).SetText("OK");
  Adopt(FView->MakeButton(BS_PUSHBUTTON, IDCANCEL)).SetText("Cancel");
  return true;
}

TItemPtr TBrowseDialog::Run() {
  Callback(BFFM_INITIALIZED, 0);
  if (!FSelection) {
    // The tree's own first selection: its root, or the user's home folder.
    TItemPtr start(Root() ? CloneItem(Root()) : MakeFolderItem(Environment("HOME")));
    if (!FView->Select(start.get())) SelectionChanged(nullptr);
  }
  DispatchPostedMessages();
  FView->RunModal();
  return TItemPtr(FAccepted ? CloneItem(Selection()) : nullptr);
}

void TBrowseDialog::SelectionChanged(LPCITEMIDLIST AItem) {
  FSelection.reset(CloneItem(AItem));
  const bool usable = AItem && (!(FInfo.ulFlags & BIF_RETURNONLYFSDIRS) || IsFolderItem(AItem));
  EnableWindow(GetDlgItem(Handle(), IDOK), usable);
  if (AItem) Callback(BFFM_SELCHANGED, reinterpret_cast<LPARAM>(FSelection.get()));
}

LRESULT TBrowseDialog::ClassProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
  switch (AMsg) {
    case BFFM_SETSTATUSTEXTA:
      FStatusText = ALParam ? reinterpret_cast<const char*>(ALParam) : "";
      if (FInfo.ulFlags & BIF_STATUSTEXT) FView->ShowStatusText(FStatusText);
      return 0;
    case BFFM_ENABLEOK:
      EnableWindow(GetDlgItem(Handle(), IDOK), ALParam != 0);
      return 0;
    case BFFM_SETSELECTIONA: {
      if (!ALParam) return 0;
      TItemPtr item(AWParam ? MakeFolderItem(reinterpret_cast<const char*>(ALParam))
                            : CloneItem(reinterpret_cast<LPCITEMIDLIST>(ALParam)));
      FView->Select(item.get());
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(AWParam) == IDOK && OkEnabled() && FSelection) End(true);
      if (LOWORD(AWParam) == IDCANCEL) End(false);
      return 0;
    default:
      return DefaultProc(AMsg, AWParam, ALParam);
  }
}

RECT TBrowseDialog::GetRect() const {
  return FView ? FView->GetRect() : TWindow::GetRect();
}

void TBrowseDialog::SetRect(const RECT& ARect) {
  if (FView)
    FView->SetRect(ARect);
  else
    TWindow::SetRect(ARect);
}

std::unique_ptr<TWindow> TBrowseDialog::MakeChild(const std::string& AClassName, uint32_t AStyle,
                                                  int32_t AId) {
  if (FView && AClassName == "BUTTON") return FView->MakeButton(AStyle, AId);
  return TWindow::MakeChild(AClassName, AStyle, AId);
}

int TBrowseDialog::Callback(UINT AMsg, LPARAM AParam) {
  return FInfo.lpfn ? FInfo.lpfn(Handle(), AMsg, AParam, FInfo.lParam) : 0;
}

void TBrowseDialog::End(bool AAccepted) {
  FAccepted = AAccepted;
  FView->EndModal();
}

}  // namespace ui

LPITEMIDLIST SHBrowseForFolderA(BROWSEINFOA* lpbi) {
  if (!lpbi) return nullptr;
  ui::TBrowseDialog dialog(*lpbi);
  if (!dialog.Open()) return nullptr;
  ui::TItemPtr chosen = dialog.Run();
  if (!chosen) return nullptr;
  if (lpbi->pszDisplayName) {
    const std::string name = ui::ItemDisplayName(chosen.get()).substr(0, MAX_PATH - 1);
    std::memcpy(lpbi->pszDisplayName, name.c_str(), name.size() + 1);
  }
  lpbi->iImage = 0;  // there is no system image list here
  return chosen.release();
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, char* pszPath) {
  if (!pszPath) return false;
  pszPath[0] = 0;
  if (!ui::IsFolderItem(pidl)) return false;
  const std::string path = ui::ItemText(pidl);
  if (path.size() >= static_cast<size_t>(MAX_PATH) || path.find('\0') != std::string::npos)
    return false;
  std::memcpy(pszPath, path.c_str(), path.size() + 1);
  return true;
}

HRESULT SHGetSpecialFolderLocation(HWND, int csidl, LPITEMIDLIST* ppidl) {
  if (!ppidl) return E_INVALIDARG;
  *ppidl = nullptr;
  if (auto user = kUserFolders.find(csidl); user != kUserFolders.end()) {
    const std::string path = ui::UserDirectory(user->second);
    std::error_code error;
    if (path.empty() || !std::filesystem::is_directory(path, error)) return E_FAIL;
    *ppidl = ui::MakeFolderItem(path);
    return S_OK;
  }
  if (auto place = kVirtualFolders.find(csidl); place != kVirtualFolders.end()) {
    *ppidl = ui::MakeVirtualItem(place->second);
    return S_OK;
  }
  return E_INVALIDARG;
}

void CoTaskMemFree(void* pv) {
  std::free(pv);
}
