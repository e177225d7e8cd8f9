#include "platform/ui/Windows.h"

#include <strings.h>
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

namespace {

// Handles are never reused, so a stale one names no window instead of another one.
struct TWindowTable {
  std::map<HWND, ui::TWindow*> Windows;
  uintptr_t Next = 0x10000;
  HWND Foreground = nullptr;
};

TWindowTable& Table() {
  static TWindowTable table;
  return table;
}

struct TPosted {
  HWND Window;
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
};

std::deque<TPosted>& Posted() {
  static std::deque<TPosted> posted;
  return posted;
}

void (*PostWakeup)() = nullptr;

struct TFontTable {
  std::map<HFONT, LOGFONTA> Fonts;
  uintptr_t Next = 0x20000;
};

TFontTable& Fonts() {
  static TFontTable fonts;
  return fonts;
}

ui::TButtonWindow* FindButton(HWND ADialog, int AId) {
  ui::TWindow* dialog = ui::FindWindow(ADialog);
  return dialog ? dynamic_cast<ui::TButtonWindow*>(dialog->Child(AId)) : nullptr;
}

}  // namespace

namespace ui {

TWindow::TWindow(std::string AClassName, uint32_t AStyle, HWND AParent, int32_t AId)
    : FClassName(std::move(AClassName)), FStyle(AStyle), FParent(AParent), FId(AId) {
  TWindowTable& table = Table();
  FHandle = reinterpret_cast<HWND>(table.Next);
  table.Next += 0x10;
  table.Windows[FHandle] = this;
}

TWindow::~TWindow() {
  // Children go first, while their parent's handle is still valid.
  DestroyChildren();
  TWindowTable& table = Table();
  table.Windows.erase(FHandle);
  if (table.Foreground == FHandle) table.Foreground = nullptr;
}

LRESULT TWindow::ClassProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
  return DefaultProc(AMsg, AWParam, ALParam);
}

LRESULT TWindow::DefaultProc(UINT AMsg, WPARAM AWParam, LPARAM) {
  switch (AMsg) {
    case WM_SETFONT: {
      // A font deleted before the message arrives is no font: the window keeps its own.
      LOGFONTA info;
      const HFONT font = reinterpret_cast<HFONT>(AWParam);
      if (GetFontInfo(font, info)) {
        FFont = font;
        FontChanged(info);
      }
      return 0;
    }
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(FFont);
    default:
      return 0;
  }
}

std::unique_ptr<TWindow> TWindow::MakeChild(const std::string& AClassName, uint32_t AStyle,
                                            int32_t AId) {
  if (strcasecmp(AClassName.c_str(), "BUTTON") == 0)
    return std::make_unique<TButtonWindow>(AStyle, FHandle, AId);
  return std::make_unique<TWindow>(AClassName, AStyle, FHandle, AId);
}

TWindow& TWindow::Adopt(std::unique_ptr<TWindow> AChild) {
  FChildren.push_back(std::move(AChild));
  return *FChildren.back();
}

void TWindow::Release(const TWindow& AChild) {
  auto it = std::find_if(FChildren.begin(), FChildren.end(),
                         [&](const auto& child) { return child.get() == &AChild; });
  if (it != FChildren.end()) FChildren.erase(it);
}

void TWindow::DestroyChildren() {
  while (!FChildren.empty())
    FChildren.pop_back();
}

TWindow* TWindow::Child(int32_t AId) const {
  for (const auto& child : FChildren)
    if (child->Id() == AId) return child.get();
  return nullptr;
}

TButtonWindow::TButtonWindow(uint32_t AStyle, HWND AParent, int32_t AId)
    : TWindow("BUTTON", AStyle, AParent, AId) {}

bool TButtonWindow::IsCheckBox() const {
  const uint32_t type = Style() & BS_TYPEMASK;
  return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX;
}

LRESULT TButtonWindow::ClassProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
  switch (AMsg) {
    case BM_GETCHECK:
      return GetChecked() ? BST_CHECKED : BST_UNCHECKED;
    case BM_SETCHECK:
      if (IsCheckBox()) SetChecked(AWParam == BST_CHECKED);
      return 0;
    case BM_CLICK:
      if (!GetEnabled()) return 0;
      if ((Style() & BS_TYPEMASK) == BS_AUTOCHECKBOX) SetChecked(!GetChecked());
      Clicked();
      return 0;
    default:
      return TWindow::ClassProc(AMsg, AWParam, ALParam);
  }
}

void TButtonWindow::Clicked() {
  SendMessageA(Parent(), WM_COMMAND, MAKEWPARAM(static_cast<uint32_t>(Id()), BN_CLICKED),
               reinterpret_cast<LPARAM>(Handle()));
}

TWindow* FindWindow(HWND AHandle) {
  auto& windows = Table().Windows;
  auto it = windows.find(AHandle);
  return it == windows.end() ? nullptr : it->second;
}

void DispatchPostedMessages() {
  auto& posted = Posted();
  while (!posted.empty()) {
    const TPosted message = posted.front();
    posted.pop_front();
    if (FindWindow(message.Window))
      SendMessageA(message.Window, message.Msg, message.WParam, message.LParam);
  }
}

void SetPostWakeup(void (*AWakeup)()) {
  PostWakeup = AWakeup;
}

bool GetFontInfo(HFONT AFont, LOGFONTA& AInfo) {
  auto& fonts = Fonts().Fonts;
  auto it = fonts.find(AFont);
  if (it == fonts.end()) return false;
  AInfo = it->second;
  return true;
}

}  // namespace ui

using ui::FindWindow;
using ui::TWindow;

BOOL IsWindow(HWND hWnd) {
  return FindWindow(hWnd) != nullptr;
}

BOOL GetWindowRect(HWND hWnd, RECT* lpRect) {
  TWindow* window = FindWindow(hWnd);
  if (!window || !lpRect) return false;
  *lpRect = window->GetRect();
  return true;
}

HWND GetForegroundWindow() {
  const HWND foreground = Table().Foreground;
  return FindWindow(foreground) ? foreground : nullptr;
}

BOOL SetForegroundWindow(HWND hWnd) {
  if (!FindWindow(hWnd)) return false;
  Table().Foreground = hWnd;
  return true;
}

BOOL SetWindowPos(HWND hWnd, HWND, int X, int Y, int cx, int cy, UINT uFlags) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return false;
  RECT rect = window->GetRect();
  const int32_t width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (!(uFlags & SWP_NOMOVE)) rect.left = X, rect.top = Y;
  rect.right = rect.left + ((uFlags & SWP_NOSIZE) ? width : cx);
  rect.bottom = rect.top + ((uFlags & SWP_NOSIZE) ? height : cy);
  window->SetRect(rect);
  return true;
}

HWND CreateWindowExA(uint32_t, const char* lpClassName, const char* lpWindowName, uint32_t dwStyle,
                     int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE,
                     void*) {
  TWindow* parent = FindWindow(hWndParent);
  if (!parent || !lpClassName || !(dwStyle & WS_CHILD)) return nullptr;
  const auto id = static_cast<int32_t>(reinterpret_cast<intptr_t>(hMenu));
  TWindow& child = parent->Adopt(parent->MakeChild(lpClassName, dwStyle, id));
  child.SetText(lpWindowName ? lpWindowName : "");
  // Child positions are in the parent's client area.
  const RECT origin = parent->GetRect();
  child.SetRect(
      {origin.left + X, origin.top + Y, origin.left + X + nWidth, origin.top + Y + nHeight});
  return child.Handle();
}

BOOL DestroyWindow(HWND hWnd) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return false;
  TWindow* parent = FindWindow(window->Parent());
  if (!parent) return false;  // top-level windows belong to whoever made them
  parent->Release(*window);
  return true;
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return 0;
  if (WNDPROC proc = window->WndProc()) return proc(hWnd, Msg, wParam, lParam);
  return window->ClassProc(Msg, wParam, lParam);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (!FindWindow(hWnd)) return false;
  Posted().push_back({hWnd, Msg, wParam, lParam});
  if (PostWakeup) PostWakeup();
  return true;
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return false;
  const bool was_disabled = !window->GetEnabled();
  window->SetEnabled(bEnable != 0);
  return was_disabled;
}

BOOL IsWindowEnabled(HWND hWnd) {
  TWindow* window = FindWindow(hWnd);
  return window && window->GetEnabled();
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
  TWindow* dialog = FindWindow(hDlg);
  TWindow* item = dialog ? dialog->Child(nIDDlgItem) : nullptr;
  return item ? item->Handle() : nullptr;
}

BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
  ui::TButtonWindow* button = FindButton(hDlg, nIDButton);
  if (!button) return false;
  SendMessageA(button->Handle(), BM_SETCHECK, uCheck, 0);
  return true;
}

UINT IsDlgButtonChecked(HWND hDlg, int nIDButton) {
  ui::TButtonWindow* button = FindButton(hDlg, nIDButton);
  return button ? static_cast<UINT>(SendMessageA(button->Handle(), BM_GETCHECK, 0, 0)) : 0;
}

BOOL SetWindowTextA(HWND hWnd, const char* lpString) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return false;
  window->SetText(lpString ? lpString : "");
  return true;
}

int GetWindowTextA(HWND hWnd, char* lpString, int nMaxCount) {
  TWindow* window = FindWindow(hWnd);
  if (!window || !lpString || nMaxCount <= 0) return 0;
  const std::string text = window->GetText();
  const size_t count = std::min(text.size(), static_cast<size_t>(nMaxCount - 1));
  std::memcpy(lpString, text.data(), count);
  lpString[count] = 0;
  return static_cast<int>(count);
}

LONG_PTR SetWindowLongA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return 0;
  const LONG_PTR old = GetWindowLongA(hWnd, nIndex);
  switch (nIndex) {
    case GWL_WNDPROC:
      window->SetWndProc(reinterpret_cast<WNDPROC>(dwNewLong));
      break;
    case GWL_USERDATA:
      window->SetUserData(dwNewLong);
      break;
    default:
      return 0;
  }
  return old;
}

LONG_PTR GetWindowLongA(HWND hWnd, int nIndex) {
  TWindow* window = FindWindow(hWnd);
  if (!window) return 0;
  switch (nIndex) {
    case GWL_WNDPROC:
      return reinterpret_cast<LONG_PTR>(window->WndProc());
    case GWL_USERDATA:
      return window->UserData();
    case GWL_ID:
      return window->Id();
    default:
      return 0;
  }
}

LRESULT CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (lpPrevWndFunc) return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
  TWindow* window = FindWindow(hWnd);
  return window ? window->ClassProc(Msg, wParam, lParam) : 0;
}

LRESULT DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
  TWindow* window = FindWindow(hDlg);
  return window ? window->ClassProc(Msg, wParam, lParam) : 0;
}

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  TWindow* window = FindWindow(hWnd);
  return window ? window->DefaultProc(Msg, wParam, lParam) : 0;
}

HINSTANCE GetModuleHandleA(const char*) {
  // One module: the program. Its handle only has to be distinct from none.
  return reinterpret_cast<HINSTANCE>(uintptr_t{1});
}

HFONT CreateFontIndirectA(const LOGFONTA* lplf) {
  if (!lplf) return nullptr;
  TFontTable& fonts = Fonts();
  const auto font = reinterpret_cast<HFONT>(fonts.Next);
  fonts.Next += 0x10;
  LOGFONTA copy = *lplf;
  copy.lfFaceName[sizeof copy.lfFaceName - 1] = 0;
  fonts.Fonts[font] = copy;
  return font;
}

BOOL DeleteObject(HGDIOBJ ho) {
  return Fonts().Fonts.erase(static_cast<HFONT>(ho)) != 0;
}
