// The shared oneTBB arena and the one chunked loop every parallel stage goes through.
#include "quorvex/pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>

namespace quorvex_core::pool {
namespace {

// The limit and whether the arena has been sized yet change together, so a limit set while the
// arena is being created either counts or is reported as too late, never lost.
struct Sizing {
  std::mutex mutex;
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  bool fixed = false;
};

Sizing& sizing() {
  static Sizing state;
  return state;
}

int initial_concurrency() {
  Sizing& state = sizing();
  const std::lock_guard lock(state.mutex);
  state.fixed = true;
  const auto available = static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency()));
  return static_cast<int>(std::max<std::size_t>(1, std::min(available, state.limit)));
}

// Debian's libtbb is not built with ThreadSanitizer, so the hand-over of a loop to the workers
// and the join after it happen where TSan cannot see them. These calls state both edges
// explicitly under TSan and compile to nothing in every other build.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
void publish(const void* token) {
  __tsan_release(const_cast<void*>(token));
}
void observe(const void* token) {
  __tsan_acquire(const_cast<void*>(token));
}
#else
void publish(const void* /*token*/) {}
void observe(const void* /*token*/) {}
#endif

// The functor oneTBB copies into its task objects. Those objects come from libtbb's own
// recycled pool, so under TSan each copy states that its members were written before any
// thread reads them; outside TSan this is a plain pointer holder.
class LoopBody {
 public:
  explicit LoopBody(const std::function<void(std::size_t, std::size_t)>* body) : body_(body) {
    publish(this);
  }
  LoopBody(const LoopBody& other) : body_((observe(&other), other.body_)) { publish(this); }
  LoopBody& operator=(const LoopBody&) = delete;
  ~LoopBody() = default;

  void operator()(const tbb::blocked_range<std::size_t>& range) const {
    observe(this);
    observe(body_);
    (*body_)(range.begin(), range.end());
    publish(body_);
  }

 private:
  const std::function<void(std::size_t, std::size_t)>* body_;
};

}  // namespace

tbb::task_arena& shared_arena() {
  // oneTBB creates an arena on first use behind a once-flag that stays "pending" for ever when
  // the creation throws (memory exhausted), so every later loop would spin on it. The arena is
  // therefore created and initialised here, under our own lock: a failed attempt is abandoned
  // (never touched again, so never destroyed) and the next call tries afresh.
  static std::mutex creating;
  static std::atomic<tbb::task_arena*> created{nullptr};
  if (tbb::task_arena* arena = created.load(std::memory_order_acquire)) return *arena;
  const std::lock_guard lock(creating);
  if (tbb::task_arena* arena = created.load(std::memory_order_relaxed)) return *arena;
  auto arena = std::make_unique<tbb::task_arena>(initial_concurrency());
  try {
    arena->initialize();
  } catch (...) {
    static_cast<void>(arena.release());
    throw;
  }
  created.store(arena.get(), std::memory_order_release);
  // Kept for the life of the process, as the loops that use it may run until exit.
  return *arena.release();
}

bool set_worker_limit(std::size_t n) noexcept {
  Sizing& state = sizing();
  const std::lock_guard lock(state.mutex);
  if (state.fixed) return false;
  state.limit = std::max<std::size_t>(n, 1);
  return true;
}

std::size_t worker_count() {
  return static_cast<std::size_t>(std::max(1, shared_arena().max_concurrency()));
}

bool parallel_chunks(std::size_t n, std::size_t grain,
                     const std::function<void(std::size_t, std::size_t)>& body) noexcept {
  if (n == 0) return true;
  grain = std::max<std::size_t>(grain, 1);
  try {
    if (n <= grain) {
      // Not worth waking the workers for one chunk.
      body(0, n);
      return true;
    }
    // The body and everything it reads were written before this point; the loop's tasks
    // observe that, and the caller observes the tasks' writes after the join.
    publish(&body);
    const auto loop = [&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain), LoopBody(&body));
    };
    shared_arena().execute(loop);
    observe(&body);
    return true;
  } catch (...) {
    return false;
  }
}

void run_chunks(std::size_t n, std::size_t grain,
                const std::function<void(std::size_t, std::size_t)>& body) {
  if (!parallel_chunks(n, grain, body)) body(0, n);
}

}  // namespace quorvex_core::pool
