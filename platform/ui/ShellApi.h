#pragma once

// The shell calls of the folder browser, with the names, records and message protocol their
// callers know. Shell items are folders of the file system or virtual items (such as the
// printers) that stand for a place without a path; item lists are allocated here and freed
// with CoTaskMemFree. The dialog's behaviour (selection, OK button, status line, the callback
// messages) is the TBrowseDialog below; the toolkit only shows it, through a
// TBrowseDialogView that it installs with SetBrowseDialogToolkit.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/ui/Windows.h"

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);

// Path buffers hold this platform's longest path, not the 260 characters of other hosts.
constexpr int MAX_PATH = 4096;

#pragma pack(push, 1)
struct SHITEMID {
  uint16_t cb;  // bytes of this item, cb included; 0 ends the list
  uint8_t abID[1];
};
struct ITEMIDLIST {
  SHITEMID mkid;
};
#pragma pack(pop)
using LPITEMIDLIST = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;
using PItemIDList = LPITEMIDLIST;

using BFFCALLBACK = int (*)(HWND hwnd, UINT uMsg, LPARAM lParam, LPARAM lpData);

struct BROWSEINFOA {
  HWND hwndOwner;
  LPCITEMIDLIST pidlRoot;
  char* pszDisplayName;  // MAX_PATH characters
  const char* lpszTitle;
  UINT ulFlags;
  BFFCALLBACK lpfn;
  LPARAM lParam;
  int iImage;
};

constexpr UINT BIF_RETURNONLYFSDIRS = 0x0001;
constexpr UINT BIF_DONTGOBELOWDOMAIN = 0x0002;
constexpr UINT BIF_STATUSTEXT = 0x0004;
constexpr UINT BIF_RETURNFSANCESTORS = 0x0008;
constexpr UINT BIF_BROWSEFORCOMPUTER = 0x1000;
constexpr UINT BIF_BROWSEFORPRINTER = 0x2000;

constexpr UINT BFFM_INITIALIZED = 1;
constexpr UINT BFFM_SELCHANGED = 2;
constexpr UINT BFFM_SETSTATUSTEXTA = WM_USER + 100;
constexpr UINT BFFM_ENABLEOK = WM_USER + 101;
constexpr UINT BFFM_SETSELECTIONA = WM_USER + 102;

constexpr int CSIDL_DESKTOP = 0x00;
constexpr int CSIDL_PROGRAMS = 0x02;
constexpr int CSIDL_CONTROLS = 0x03;
constexpr int CSIDL_PRINTERS = 0x04;
constexpr int CSIDL_PERSONAL = 0x05;
constexpr int CSIDL_FAVORITES = 0x06;
constexpr int CSIDL_STARTUP = 0x07;
constexpr int CSIDL_RECENT = 0x08;
constexpr int CSIDL_SENDTO = 0x09;
constexpr int CSIDL_BITBUCKET = 0x0A;
constexpr int CSIDL_STARTMENU = 0x0B;
constexpr int CSIDL_DESKTOPDIRECTORY = 0x10;
constexpr int CSIDL_DRIVES = 0x11;
constexpr int CSIDL_NETWORK = 0x12;
constexpr int CSIDL_NETHOOD = 0x13;
constexpr int CSIDL_FONTS = 0x14;
constexpr int CSIDL_TEMPLATES = 0x15;

// Shows the folder dialog modally; the chosen item (free it with CoTaskMemFree), or none when
// the user cancelled or no toolkit shows dialogs.
LPITEMIDLIST SHBrowseForFolderA(BROWSEINFOA* lpbi);
// The item's path into pszPath (MAX_PATH characters); false for an item that is not a folder
// of the file system, or whose path does not fit.
BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, char* pszPath);
// The desktop, documents and templates folders are the user's folders of the desktop's
// user-dirs settings when they exist (E_FAIL when they do not); the other special folders have
// no place in the file system here and are virtual items.
HRESULT SHGetSpecialFolderLocation(HWND hwnd, int csidl, LPITEMIDLIST* ppidl);
void CoTaskMemFree(void* pv);

namespace ui {

// A new item list for a folder of the file system, or for a virtual item of that name.
LPITEMIDLIST MakeFolderItem(const std::string& APath);
LPITEMIDLIST MakeVirtualItem(const std::string& AName);
// What an item stands for.
bool IsFolderItem(LPCITEMIDLIST AItem);
// The path of a folder item, or the name of a virtual one.
std::string ItemText(LPCITEMIDLIST AItem);
// The name the dialog shows for an item: a folder's own name, "/" for the root.
std::string ItemDisplayName(LPCITEMIDLIST AItem);
LPITEMIDLIST CloneItem(LPCITEMIDLIST AItem);

struct TItemFree {
  void operator()(ITEMIDLIST* AItem) const { CoTaskMemFree(AItem); }
};
using TItemPtr = std::unique_ptr<ITEMIDLIST, TItemFree>;

class TBrowseDialog;

// How a toolkit shows the folder dialog.
class TBrowseDialogView {
 public:
  virtual ~TBrowseDialogView() = default;
  // A button of the dialog (OK, Cancel, or one added by the caller), placed as the toolkit
  // sees fit; its state is the toolkit's widget's.
  virtual std::unique_ptr<TWindow> MakeButton(uint32_t AStyle, int32_t AId) = 0;
  // Shows the item selected; false when the tree does not hold it. The view reports every
  // selection, this one included, with TBrowseDialog::SelectionChanged.
  virtual bool Select(LPCITEMIDLIST AItem) = 0;
  virtual void ShowStatusText(const std::string& AText) = 0;
  virtual RECT GetRect() const = 0;
  virtual void SetRect(const RECT& ARect) = 0;
  // Runs until EndModal.
  virtual void RunModal() = 0;
  virtual void EndModal() = 0;
};

// The folder dialog as a window: it keeps the selection, the OK button's state and the
// status line, answers the BFFM_ messages and calls the caller's callback.
class TBrowseDialog : public TWindow {
 public:
  explicit TBrowseDialog(const BROWSEINFOA& AInfo);
  ~TBrowseDialog() override;

  const BROWSEINFOA& Info() const { return FInfo; }
  // The item the tree starts from; none for the default tree.
  LPCITEMIDLIST Root() const { return FInfo.pidlRoot; }
  LPCITEMIDLIST Selection() const { return FSelection.get(); }
  const std::string& StatusText() const { return FStatusText; }
  bool OkEnabled() const;

  // Builds the view through the installed toolkit; false when there is none.
  bool Open();
  // Runs the dialog; the chosen item, or none.
  TItemPtr Run();
  // What the view calls when the user selected an item.
  void SelectionChanged(LPCITEMIDLIST AItem);

  LRESULT ClassProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam) override;
  RECT GetRect() const override;
  void SetRect(const RECT& ARect) override;
  std::unique_ptr<TWindow> MakeChild(const std::string& AClassName, uint32_t AStyle,
                                     int32_t AId) override;

 private:
  int Callback(UINT AMsg, LPARAM AParam);
  void End(bool AAccepted);

  BROWSEINFOA FInfo;
  std::unique_ptr<TBrowseDialogView> FView;
  TItemPtr FSelection;
  std::string FStatusText;
  bool FAccepted = false;
};

using TBrowseDialogToolkit = std::function<std::unique_ptr<TBrowseDialogView>(TBrowseDialog&)>;
// Installs the toolkit that shows folder dialogs and answers the one installed before.
TBrowseDialogToolkit SetBrowseDialogToolkit(TBrowseDialogToolkit AToolkit);

// The user's folder of an XDG user-dirs key such as "DESKTOP", as the desktop's settings name
// it (or its default); empty when the settings name none.
std::string UserDirectory(const std::string& AKey);

}  // namespace ui
