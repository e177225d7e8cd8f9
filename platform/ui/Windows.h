#pragma once

// The window calls that the folder browser uses, with the names, values and message protocol
// their callers know: window handles, messages sent through a window's current procedure,
// user data and procedure slots, dialog items, placement and fonts. A window here is a
// TWindow; the toolkit binding (platform/ui/qt) makes windows whose state is its widgets'.
// Without a toolkit, windows are plain records, which is what tests script.
// Everything runs on the thread of the user interface.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using HWND = struct HWND__*;
using HMENU = struct HMENU__*;
using HINSTANCE = struct HINSTANCE__*;
using HFONT = struct HFONT__*;
using HGDIOBJ = void*;
using UINT = uint32_t;
using BOOL = int;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
// The window slots hold pointer-sized values on this platform, procedures included.
using LONG_PTR = intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct RECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

struct LOGFONTA {
  int32_t lfHeight;  // negative: the character height in pixels
  int32_t lfWeight;
  char lfFaceName[32];
};

constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_GETFONT = 0x0031;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_USER = 0x0400;
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_CLICK = 0x00F5;

constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;
constexpr UINT BN_CLICKED = 0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_CLIPSIBLINGS = 0x04000000;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t BS_PUSHBUTTON = 0x0;
constexpr uint32_t BS_DEFPUSHBUTTON = 0x1;
constexpr uint32_t BS_CHECKBOX = 0x2;
constexpr uint32_t BS_AUTOCHECKBOX = 0x3;
constexpr uint32_t BS_TYPEMASK = 0xF;

constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;

constexpr int GWL_WNDPROC = -4;
constexpr int GWL_ID = -12;
constexpr int GWL_USERDATA = -21;

constexpr WPARAM MAKEWPARAM(uint32_t ALow, uint32_t AHigh) {
  return (ALow & 0xFFFF) | (AHigh & 0xFFFF) << 16;
}
constexpr uint32_t LOWORD(uintptr_t AValue) {
  return AValue & 0xFFFF;
}
constexpr uint32_t HIWORD(uintptr_t AValue) {
  return (AValue >> 16) & 0xFFFF;
}

BOOL IsWindow(HWND hWnd);
BOOL GetWindowRect(HWND hWnd, RECT* lpRect);
HWND GetForegroundWindow();
BOOL SetForegroundWindow(HWND hWnd);
BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
// Only child windows are made here: a parent is required. hMenu is the control identifier.
HWND CreateWindowExA(uint32_t dwExStyle, const char* lpClassName, const char* lpWindowName,
                     uint32_t dwStyle, int X, int Y, int nWidth, int nHeight, HWND hWndParent,
                     HMENU hMenu, HINSTANCE hInstance, void* lpParam);
BOOL DestroyWindow(HWND hWnd);
// Runs the window's current procedure and answers its result; 0 for no window.
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Queues the message; it is sent when the queue is dispatched, if the window still exists.
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL EnableWindow(HWND hWnd, BOOL bEnable);
BOOL IsWindowEnabled(HWND hWnd);
HWND GetDlgItem(HWND hDlg, int nIDDlgItem);
BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck);
UINT IsDlgButtonChecked(HWND hDlg, int nIDButton);
BOOL SetWindowTextA(HWND hWnd, const char* lpString);
// Copies at most nMaxCount - 1 characters and a zero; answers how many it copied.
int GetWindowTextA(HWND hWnd, char* lpString, int nMaxCount);
LONG_PTR SetWindowLongA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
LONG_PTR GetWindowLongA(HWND hWnd, int nIndex);
LRESULT CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// The procedure of the window's class: a dialog's runs the dialog itself.
LRESULT DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
HINSTANCE GetModuleHandleA(const char* lpModuleName);

HFONT CreateFontIndirectA(const LOGFONTA* lplf);
BOOL DeleteObject(HGDIOBJ ho);

namespace ui {

// One window of the call layer. The base keeps its state in fields; a toolkit's window
// overrides the state operations to read and change its widget.
class TWindow {
 public:
  // Registers the window: from here on it has a handle that the calls above accept.
  TWindow(std::string AClassName, uint32_t AStyle, HWND AParent, int32_t AId);
  virtual ~TWindow();
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;

  HWND Handle() const { return FHandle; }
  HWND Parent() const { return FParent; }
  int32_t Id() const { return FId; }
  uint32_t Style() const { return FStyle; }
  const std::string& ClassName() const { return FClassName; }
  HFONT Font() const { return FFont; }
  // The slots of GWL_WNDPROC (none: the class procedure) and GWL_USERDATA.
  WNDPROC WndProc() const { return FWndProc; }
  void SetWndProc(WNDPROC AProc) { FWndProc = AProc; }
  LONG_PTR UserData() const { return FUserData; }
  void SetUserData(LONG_PTR AData) { FUserData = AData; }

  // What the window does with a message when no procedure replaced its class procedure.
  virtual LRESULT ClassProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam);
  // The handling every window shares: fonts.
  LRESULT DefaultProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam);

  // Screen coordinates.
  virtual RECT GetRect() const { return FRect; }
  virtual void SetRect(const RECT& ARect) { FRect = ARect; }
  virtual std::string GetText() const { return FText; }
  virtual void SetText(const std::string& AText) { FText = AText; }
  virtual bool GetEnabled() const { return FEnabled; }
  virtual void SetEnabled(bool AEnabled) { FEnabled = AEnabled; }
  // A font was set with WM_SETFONT; its description.
  virtual void FontChanged(const LOGFONTA&) {}

  // What CreateWindowExA asks of the parent: a child of the class, in this window's toolkit.
  virtual std::unique_ptr<TWindow> MakeChild(const std::string& AClassName, uint32_t AStyle,
                                             int32_t AId);
  // Takes a child made by MakeChild; it lives until DestroyWindow or until this window goes.
  TWindow& Adopt(std::unique_ptr<TWindow> AChild);
  void Release(const TWindow& AChild);
  void DestroyChildren();
  TWindow* Child(int32_t AId) const;

 private:
  HWND FHandle;
  std::string FClassName;
  uint32_t FStyle;
  HWND FParent;
  int32_t FId;
  RECT FRect{0, 0, 0, 0};
  std::string FText;
  bool FEnabled = true;
  HFONT FFont = nullptr;
  WNDPROC FWndProc = nullptr;
  LONG_PTR FUserData = 0;
  std::vector<std::unique_ptr<TWindow>> FChildren;
};

// A push button or check box: BM_GETCHECK, BM_SETCHECK and BM_CLICK, which notifies the
// parent with WM_COMMAND as a click does.
class TButtonWindow : public TWindow {
 public:
  TButtonWindow(uint32_t AStyle, HWND AParent, int32_t AId);

  LRESULT ClassProc(UINT AMsg, WPARAM AWParam, LPARAM ALParam) override;
  virtual bool GetChecked() const { return FChecked; }
  virtual void SetChecked(bool AChecked) { FChecked = AChecked; }
  bool IsCheckBox() const;
  // What the toolkit calls when the user clicked (after it toggled a check box itself).
  void Clicked();

 private:
  bool FChecked = false;
};

// The registered window of a handle, or none.
TWindow* FindWindow(HWND AHandle);

// Sends the queued messages; the toolkit calls it from its loop, tests after each step.
void DispatchPostedMessages();
// Called when a message is queued, so that the toolkit can schedule the dispatch.
void SetPostWakeup(void (*AWakeup)());

// The description of a font that exists, or false.
bool GetFontInfo(HFONT AFont, LOGFONTA& AInfo);

}  // namespace ui
