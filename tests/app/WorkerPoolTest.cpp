// The worker pool both batches run on: every index once whatever the threads, none taken after
// the stop, and a count of what was taken that the batch's "not compressed" rests on.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "app/WorkerPool.h"

namespace {

TEST(WorkerPool, TakesEachIndexOnceAndNoneAfterTheStop) {
  // One thread, a few, more asked for than there are indices, one per core, nothing to share.
  for (const auto& [count, jobs] :
       {std::pair<size_t, int32_t>{200, 1}, {200, 3}, {3, 64}, {200, 0}, {0, 4}}) {
    SCOPED_TRACE(std::to_string(count) + " indices, jobs " + std::to_string(jobs));
    const std::atomic<bool> stop{false};
    std::vector<std::atomic<int>> calls(count);
    TWorkerPool pool(count, jobs, stop, [&](size_t AIndex) { ++calls[AIndex]; });
    pool.Wait();
    EXPECT_TRUE(pool.Finished());
    EXPECT_EQ(pool.Taken(), count);
    for (const std::atomic<int>& called : calls)
      EXPECT_EQ(called.load(), 1);
  }

  std::atomic<bool> stop{false};
  std::vector<size_t> ran;
  TWorkerPool pool(100, 1, stop, [&](size_t AIndex) {
    ran.push_back(AIndex);
    if (AIndex == 9) stop.store(true);
  });
  pool.Wait();
  EXPECT_EQ(ran.size(), 10u);
  EXPECT_EQ(pool.Taken(), 10u);
}

}  // namespace
