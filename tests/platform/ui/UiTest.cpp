// The window and shell calls and the failure handler, without Qt.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/rtl/Exception.h"
#include "platform/ui/Forms.h"
#include "platform/ui/ShellApi.h"
#include "tests/support/ScriptedUi.h"

namespace {

// Clicks reaching the dialog's current procedure are exercised through the folder browser's
// subclassing (tests/shell); here what the call layer must survive.
TEST(Windows, ChildrenClicksAndMessagesForWindowsThatAreGone) {
  auto dialog = std::make_unique<ui::TWindow>("#32770", 0, nullptr, 0);
  const HWND handle = dialog->Handle();
  dialog->SetRect({10, 20, 310, 420});
  const HWND box =
      CreateWindowExA(0, "button", "Tick", WS_CHILD | BS_AUTOCHECKBOX, 12, 270, 75, 23, handle,
                      reinterpret_cast<HMENU>(intptr_t{255}), nullptr, nullptr);
  ASSERT_TRUE(IsWindow(box));
  RECT rect;
  ASSERT_TRUE(GetWindowRect(box, &rect));
  EXPECT_TRUE(rect.left == 22 && rect.bottom == 313);
  SendMessageA(box, BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(handle, 255), BST_CHECKED);
  EnableWindow(box, false);
  SendMessageA(box, BM_CLICK, 0, 0);  // a disabled box does not change
  EXPECT_EQ(IsDlgButtonChecked(handle, 255), BST_CHECKED);
  CheckDlgButton(handle, 255, BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(handle, 255), BST_UNCHECKED);

  // Posted messages wait for the dispatch and reach only windows that still exist; a font
  // deleted before its message arrives is not taken.
  LOGFONTA description{-11, 400, "Sans"};
  const HFONT kept = CreateFontIndirectA(&description), dropped = CreateFontIndirectA(&description);
  PostMessageA(box, WM_SETFONT, reinterpret_cast<WPARAM>(dropped), 1);
  DeleteObject(dropped);
  PostMessageA(box, WM_SETFONT, reinterpret_cast<WPARAM>(kept), 1);
  EXPECT_EQ(SendMessageA(box, WM_GETFONT, 0, 0), 0);
  ui::DispatchPostedMessages();
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(box, WM_GETFONT, 0, 0)), kept);
  PostMessageA(box, WM_SETFONT, 0, 1);
  EXPECT_TRUE(DestroyWindow(box));
  EXPECT_FALSE(IsWindow(box));
  ui::DispatchPostedMessages();
  DeleteObject(kept);
  dialog.reset();
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(SendMessageA(handle, WM_COMMAND, 1, 0) + GetWindowLongA(handle, GWL_USERDATA), 0);
}

TEST(Shell, ItemsAndPaths) {
  auto path = std::make_unique<char[]>(MAX_PATH);
  ui::TItemPtr too_long(ui::MakeFolderItem("/" + std::string(MAX_PATH, 'x')));
  EXPECT_FALSE(SHGetPathFromIDListA(too_long.get(), path.get()));
  ui::TItemPtr long_path(ui::MakeFolderItem("/" + std::string(300, 'x')));
  EXPECT_TRUE(SHGetPathFromIDListA(long_path.get(), path.get()));  // longer than 259 is fine

  LPITEMIDLIST item = reinterpret_cast<LPITEMIDLIST>(1);
  EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, 0x7F, &item), E_INVALIDARG);
  EXPECT_EQ(item, nullptr);
}

TEST(Forms, TheFailureHandlerShowsWordedTexts) {
  EXPECT_EQ(FailureText(std::make_exception_ptr(42), "adding files"),
            "Something failed while adding files, and it gave no reason.");
  TTestApplication app;
  Guarded("choosing the codec", [] { Abort(); });
  Guarded([] { return std::string("adding files"); }, [] { throw std::bad_alloc(); });
  Guarded("nothing", [] {});
  EXPECT_EQ(app.Errors, std::vector<std::string>{"There was not enough memory for adding files."});
}

}  // namespace
