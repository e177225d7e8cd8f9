#include "tests/support/ScriptedUi.h"

#include <filesystem>

namespace {

class TScriptedView : public ui::TBrowseDialogView {
 public:
  TScriptedView(ui::TBrowseDialog& ADialog, TScriptedBrowser& AScript)
      : FDialog(&ADialog), FScript(&AScript) {
    const BROWSEINFOA& info = ADialog.Info();
    AScript.Owner = info.hwndOwner;
    AScript.HadRoot = info.pidlRoot != nullptr;
    AScript.Root = ui::ItemText(info.pidlRoot);
    AScript.Selections.clear();
    AScript.StatusText.clear();
  }

  std::unique_ptr<ui::TWindow> MakeButton(uint32_t AStyle, int32_t AId) override {
    return std::make_unique<ui::TButtonWindow>(AStyle, FDialog->Handle(), AId);
  }
  bool Select(LPCITEMIDLIST AItem) override {
    if (!InTree(AItem)) return false;
    FScript->Selections.push_back(ui::ItemText(AItem));
    FDialog->SelectionChanged(AItem);
    return true;
  }
  // The tree holds the virtual root alone, or the folders that exist under a folder root or
  // anywhere for the default tree.
  bool InTree(LPCITEMIDLIST AItem) const {
    const LPCITEMIDLIST root = FDialog->Root();
    if (!ui::IsFolderItem(AItem))
      return root && !ui::IsFolderItem(root) && ui::ItemText(root) == ui::ItemText(AItem);
    if (root && !ui::IsFolderItem(root)) return false;
    const std::filesystem::path path = ui::ItemText(AItem);
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) return false;
    if (!root) return true;
    const auto relative = path.lexically_relative(ui::ItemText(root));
    return !relative.empty() && *relative.begin() != "..";
  }
  void ShowStatusText(const std::string& AText) override { FScript->StatusText = AText; }
  RECT GetRect() const override { return FScript->Rect; }
  void SetRect(const RECT& ARect) override { FScript->Rect = ARect; }
  void RunModal() override {
    for (const auto& step : FScript->Steps) {
      if (FEnded) break;
      step(*FDialog);
      ui::DispatchPostedMessages();
    }
    if (!FEnded) SendMessageA(FDialog->Handle(), WM_COMMAND, IDCANCEL, 0);
  }
  void EndModal() override { FEnded = true; }

 private:
  ui::TBrowseDialog* FDialog;
  TScriptedBrowser* FScript;
  bool FEnded = false;
};

}  // namespace

TScriptedBrowser::TScriptedBrowser() {
  FPrevious = ui::SetBrowseDialogToolkit([this](ui::TBrowseDialog& ADialog) {
    return std::make_unique<TScriptedView>(ADialog, *this);
  });
}

TScriptedBrowser::~TScriptedBrowser() {
  ui::SetBrowseDialogToolkit(std::move(FPrevious));
}

TScriptedBrowser::TStep TScriptedBrowser::Select(const std::string& APath) {
  return [APath](ui::TBrowseDialog& ADialog) {
    ui::TItemPtr item(ui::MakeFolderItem(APath));
    SendMessageA(ADialog.Handle(), BFFM_SETSELECTIONA, 0, reinterpret_cast<LPARAM>(item.get()));
  };
}

TScriptedBrowser::TStep TScriptedBrowser::Click(int AId) {
  return [AId](ui::TBrowseDialog& ADialog) {
    SendMessageA(GetDlgItem(ADialog.Handle(), AId), BM_CLICK, 0, 0);
  };
}
