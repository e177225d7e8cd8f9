#include "app/WorkerPool.h"

#include <algorithm>

TWorkerPool::TWorkerPool(size_t ACount, int32_t AJobs, const std::atomic<bool>& AStop,
                         std::function<void(size_t)> AWork)
    : FCount(ACount), FStop(AStop), FWork(std::move(AWork)) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs =
      std::max<size_t>(1, std::min(ACount, AJobs > 0 ? static_cast<size_t>(AJobs) : cores));
  FWorking.store(static_cast<int32_t>(jobs));
  try {
    for (size_t i = 0; i < jobs; ++i)
      FWorkers.emplace_back([this] { Work(); });
  } catch (...) {
    // No thread for the rest: those that started do the work.
    FWorking.fetch_sub(static_cast<int32_t>(jobs - FWorkers.size()));
    if (FWorkers.empty()) throw;
  }
}

TWorkerPool::~TWorkerPool() {
  Wait();
}

void TWorkerPool::Wait() {
  for (std::thread& worker : FWorkers)
    if (worker.joinable()) worker.join();
}

size_t TWorkerPool::Taken() const {
  return std::min(FNext.load(), FCount);
}

void TWorkerPool::Work() {
  while (!FStop.load()) {
    const size_t index = FNext++;
    if (index >= FCount) break;
    FWork(index);
  }
  FWorking.fetch_sub(1);
}
