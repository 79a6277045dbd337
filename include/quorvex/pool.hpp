// The one worker pool shared by every data-parallel loop of the core.
#pragma once

#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <functional>

namespace quorvex_core::pool {

/// The shared oneTBB arena: one worker per available processor, created and initialised on first
/// use and kept for the life of the process. Work submitted through it never touches the
/// interpreter. Throws what oneTBB throws when it cannot be created (memory exhausted); the
/// next call then tries again.
[[nodiscard]] tbb::task_arena& shared_arena();

/// Caps the shared arena at `n` workers (0 counts as 1) when it is created. A process that is
/// one of several auditing runs side by side calls this before its first parallel loop, so the
/// processes together use the machine's cores once rather than each of them all the cores.
/// The arena's size is fixed when it is created: false when it already exists, and then
/// nothing changes. The caller passes the limit explicitly; the core reads no environment.
[[nodiscard]] bool set_worker_limit(std::size_t n) noexcept;

/// Number of workers of the shared arena (at least 1). Throws as `shared_arena` does.
[[nodiscard]] std::size_t worker_count();

/// Calls `body(begin, end)` on disjoint chunks covering [0, n), each at least `grain` long
/// (except the last), on the shared arena, and waits for all of them. A `body` that throws
/// counts as a failure of the loop.
/// Returns false when oneTBB itself failed (it throws on resource exhaustion): some chunks may
/// then have run and others not, and the caller decides whether to redo the work or give up.
[[nodiscard]] bool parallel_chunks(
    std::size_t n, std::size_t grain,
    const std::function<void(std::size_t, std::size_t)>& body) noexcept;

/// `parallel_chunks` for bodies whose chunks only write their own outputs, so running them
/// again is harmless: when oneTBB fails (memory exhausted, or no worker thread could start), the
/// whole range is redone on this thread. What the body throws then (`std::bad_alloc` from its
/// scratch space) reaches the caller, and the call's boundary reports it.
void run_chunks(std::size_t n, std::size_t grain,
                const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace quorvex_core::pool
