#include "platform/rtl/Thread.h"

TThread::~TThread() {
  WaitFor();
}

void TThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TThread::Start() {
  FThread = std::thread(&TThread::Run, this);
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    FFatalException = std::current_exception();
  }
  try {
    DoTerminate();
  } catch (...) {
    if (!FFatalException) FFatalException = std::current_exception();
  }
}
