// The desktop program: one window on Qt until the window is closed; the files and folders
// given on the command line are in its list at start ("Open with" gives them so).
#include "app/CompressionJob.h"
#include "app/MainWindow.h"

int main(int argc, char** argv) {
  TCompressionJob job;
  ui::qt::TQtApplication application(argc, argv);
  application.Initialize();
  TForm1Window& window = application.CreateForm<TForm1Window>(job);
  window.StopOnSignals();
  // Qt took its own options out of the arguments.
  const std::vector<std::string> paths(argv + 1, argv + argc);
  if (!paths.empty()) Guarded("adding files", [&] { window.Form().FilesDropped(paths); });
  return application.Run();
}
