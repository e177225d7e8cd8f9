#pragma once

// The main window's logic: the file list, the output folder, the codec and the batch. It talks
// to the toolkit only through the controls of platform/ui/Forms.h, so any toolkit, or a test,
// can drive it.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/Forms.h"
#include "shell/BrowseFolder.h"

// The chosen codec's format tag in the low 16 bits; 0 when none is chosen.
extern int32_t CurrentCodec;

// What follows the last "/" of APath; all of it when it has none.
std::string ExtractBaseName(const std::string& APath);

// What the window needs of the compression job: the desktop program's does the job, tests
// stand in for it.
class TCompression {
 public:
  virtual ~TCompression() = default;
  virtual int32_t ChooseCodec() = 0;
  virtual void CompressFile(const std::string& ASource, const std::string& ADestination,
                            int32_t ACodec) = 0;
};

struct TForm1Controls {
  TListBox& files;
  TLabel& output;
  TStatusBar& StatusBar1;
  TOpenDialog& OpenDialog1;
};

class TForm1 : public TWinControl {
 public:
  static constexpr const char* NoDirectory = "None selected";

  // AHandle is the window the form is shown in; creating the form runs OnInit.
  TForm1(const TForm1Controls& AControls, TCompression& ACompression, HWND AHandle);

  HWND Handle() const override { return FHandle; }

  void AddBtnClick();
  void RemoveBtnClick();
  void SelectCodecBtnClick();
  void OnInit();
  void AboutBtnClick();
  void Button1Click();
  void StartBtnClick();
  // Files dropped on the window join the list as the Add button adds them.
  void FilesDropped(const std::vector<std::string>& AFiles);

  // What the form was doing when a handler failed, for the failure handler's message.
  const std::string& Activity() const { return FActivity; }

  // The About box's text, its lines separated by carriage returns.
  static std::string AboutText();

  TForm1Controls Controls;
  TBrowseFolder BrowseFolder1;

 private:
  TCompression* FCompression;
  HWND FHandle;
  std::string FActivity;
};
