#include "app/corvane_unit1.h"

int32_t CurrentCodec = 0;

std::string ExtractBaseName(const std::string& APath) {
  const size_t slash = APath.rfind('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

TForm1::TForm1(const TForm1Controls& AControls, TCompression& ACompression, HWND AHandle)
    : TWinControl(nullptr),
      Controls(AControls),
      BrowseFolder1(this),
      FCompression(&ACompression),
      FHandle(AHandle) {
  SetName("Form1");
  BrowseFolder1.SetName("BrowseFolder1");
  BrowseFolder1.Title = "Select output directory:";
  BrowseFolder1.Flags = {TBrowseInfoFlags::bfFileSysDirsOnly, TBrowseInfoFlags::bfStatusText};
  BrowseFolder1.ShowPathInStatusArea = false;
  BrowseFolder1.SyncCustomButton = false;
  OnInit();
}

void TForm1::OnInit() {
  CurrentCodec = 0;
}

void TForm1::AddBtnClick() {
  FActivity = "adding files";
  if (!Controls.OpenDialog1.Execute()) return;
  FilesDropped(Controls.OpenDialog1.Files());
}

void TForm1::FilesDropped(const std::vector<std::string>& AFiles) {
  FActivity = "adding files";
  for (const std::string& file : AFiles)
    Controls.files.Add(file);
}

void TForm1::RemoveBtnClick() {
  FActivity = "removing files";
  if (Controls.files.SelCount() == 0) return;
  for (int32_t i = Controls.files.Count() - 1; i >= 0; --i)
    if (Controls.files.Selected(i)) Controls.files.Delete(i);
}

void TForm1::SelectCodecBtnClick() {
  FActivity = "choosing the codec";
  CurrentCodec = FCompression->ChooseCodec();
}

std::string TForm1::AboutText() {
  return "Corvane v1.00\r"
         "\r"
         "Corvane is a batch tool that compresses PCM wave files into\r"
         "Any audio-codec available on the system.\r"
         "Just select the files to compress, output-dir, the codec and start.\r"
         "The destination file bitrate/quality will be auto-based on source file.\r"
         "\r"
         "\r"
         "Report problems to the issue tracker of the repository this copy was built from.\r"
         "Home page: the README.md at the top of that repository.";
}

void TForm1::AboutBtnClick() {
  FActivity = "showing the About box";
  ShowMessage(AboutText());
}

void TForm1::Button1Click() {
  FActivity = "choosing the output directory";
  Controls.output.SetCaption(BrowseFolder1.Execute() ? BrowseFolder1.Directory : NoDirectory);
}

void TForm1::StartBtnClick() {
  FActivity = "starting the compression";
  if (Controls.output.GetCaption() == NoDirectory) {
    ShowMessage("You must select an output directory.");
    return;
  }
  if (Controls.files.Count() == 0) {
    ShowMessage("No files selected for compression.");
    return;
  }
  if (CurrentCodec == 0) {
    ShowMessage("No compression codec selected.");
    return;
  }
  Controls.StatusBar1.SetSimpleText("Starting compression...");
  const int32_t count = Controls.files.Count();
  for (int32_t i = 0; i < count; ++i) {
    const std::string source = Controls.files.Item(i);
    FActivity = "compressing " + source;
    Controls.StatusBar1.SetSimpleText("Compressing " + source);
    const std::string destination = Controls.output.GetCaption() + "/" + ExtractBaseName(source);
    FCompression->CompressFile(source, destination, CurrentCodec);
  }
  Controls.StatusBar1.SetSimpleText("Compression completed");
}
