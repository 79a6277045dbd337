#include "quorvex/pool.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/info.h>

#include <atomic>
#include <cstddef>
#include <vector>

namespace pool = quorvex_core::pool;

// The arena is one per process and ctest runs every test in a process of its own, so the limit
// below is set before anything else has touched the arena.
TEST(pool_test, worker_limit_applies_before_first_use_only) {
  ASSERT_TRUE(pool::set_worker_limit(0));
  ASSERT_TRUE(pool::set_worker_limit(1));
  EXPECT_EQ(pool::worker_count(), 1U);
  EXPECT_FALSE(pool::set_worker_limit(4));
  EXPECT_EQ(pool::worker_count(), 1U);

  // One worker still covers every index once.
  std::vector<std::atomic<int>> seen(1000);
  ASSERT_TRUE(pool::parallel_chunks(seen.size(), 7, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      seen[i].fetch_add(1);
  }));
  for (const auto& count : seen)
    EXPECT_EQ(count.load(), 1);
}

TEST(pool_test, a_limit_above_the_machine_changes_nothing) {
  const int available = tbb::info::default_concurrency();
  ASSERT_TRUE(pool::set_worker_limit(static_cast<std::size_t>(available) + 8));
  EXPECT_EQ(pool::worker_count(), static_cast<std::size_t>(available));
}
