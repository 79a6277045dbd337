#include "quorvex/pool.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/info.h>
#include <sys/resource.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <string>
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

// oneTBB creates an arena behind a once-flag that stays pending for ever when the creation
// throws, and every later loop then spins on it. The arena must come up on a later call once
// memory is back. Address space is capped to make the first creation fail; the sanitizers
// reserve far more address space than any cap leaves, so they skip this.
TEST(pool_test, an_arena_that_failed_to_start_starts_on_a_later_call) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the cap leaves";
#else
  ASSERT_TRUE(pool::set_worker_limit(2));
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &original), 0);
  std::size_t used = 0;
  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmSize:")) used = std::stoull(line.substr(7)) * 1024;
    }
  }
  ASSERT_GT(used, 0U);
  std::vector<std::atomic<int>> seen(1000);
  const auto body = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      seen[i].fetch_add(1);
  };
  rlimit capped = original;
  capped.rlim_cur = used + (std::size_t{1} << 20);
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &capped), 0);
  const bool under_cap = pool::parallel_chunks(seen.size(), 7, body);
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &original), 0);
  EXPECT_FALSE(under_cap);
  for (auto& count : seen)
    count.store(0);
  EXPECT_TRUE(pool::parallel_chunks(seen.size(), 7, body));
  for (const auto& count : seen)
    EXPECT_EQ(count.load(), 1);
#endif
}
