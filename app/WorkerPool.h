#pragma once

// Worker threads that share out a list: each takes the next index until every index is taken
// or the stop is set. The batch command and the window's batch run their files on it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class TWorkerPool {
 public:
  // Starts min(AJobs, ACount) threads, at least one (AJobs 0: one per core), that call AWork
  // with each index below ACount once, in the order they take them; no index is taken once
  // AStop is set. When not every thread can be started, those that did do the work; raises
  // std::system_error only when none could.
  TWorkerPool(size_t ACount, int32_t AJobs, const std::atomic<bool>& AStop,
              std::function<void(size_t)> AWork);
  // Waits for the threads.
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  void Wait();
  // Every thread has returned.
  bool Finished() const { return FWorking.load() == 0; }
  // The indices handed out so far.
  size_t Taken() const;
  int32_t Jobs() const { return static_cast<int32_t>(FWorkers.size()); }

 private:
  void Work();

  const size_t FCount;
  const std::atomic<bool>& FStop;
  const std::function<void(size_t)> FWork;
  std::atomic<size_t> FNext{0};
  std::atomic<int32_t> FWorking{0};
  std::vector<std::thread> FWorkers;
};
