// The desktop program: one window on Qt, on one thread, until the window is closed.
#include "app/CompressionJob.h"
#include "app/MainWindow.h"

int main(int argc, char** argv) {
  TCompressionJob job;
  ui::qt::TQtApplication application(argc, argv);
  application.Initialize();
  application.CreateForm<TForm1Window>(job);
  return application.Run();
}
