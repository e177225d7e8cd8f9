#pragma once

#include <exception>
#include <thread>

#include "platform/rtl/Object.h"

// A thread that runs Execute once. C++ cannot reach a derived Execute from the base
// constructor, so the most-derived constructor starts the thread as its last step (Start):
// to its users the thread starts at construction. A failure that leaves Execute is kept,
// not lost, and DoTerminate runs on the thread after Execute, however it ended.
// A derived class whose Execute uses its own fields calls WaitFor in its destructor.
class TThread : public TObject {
 public:
  ~TThread() override;

  // Blocks until the body has ended. Called from one thread, any number of times.
  void WaitFor();
  // What ended Execute with an exception, or none; read it after WaitFor.
  std::exception_ptr FatalException() const { return FFatalException; }

 protected:
  TThread() = default;
  void Start();

  virtual void DoTerminate() {}
  virtual void Execute() = 0;

 private:
  void Run();

  std::exception_ptr FFatalException;
  std::thread FThread;
};
