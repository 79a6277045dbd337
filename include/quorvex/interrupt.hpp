// Stopping a long call early: the embedding layer installs a check for the thread it calls the
// core on, and the long loops ask between blocks of work. The core never learns what the check
// looks at (a signal flag, a deadline, ...).
#pragma once

#include <atomic>
#include <thread>

#include "quorvex/error.hpp"

namespace quorvex_core::interrupt {

/// True when the caller wants the running call to stop. Runs only on the thread that installed
/// it, so it may touch state that belongs to that thread (an interpreter lock, say).
using Check = bool (*)() noexcept;

/// Installs `check` for the calling thread until the scope ends (scopes nest).
class Scope {
 public:
  explicit Scope(Check check) noexcept;
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
  ~Scope();

 private:
  friend class Token;
  Check check_;
  std::thread::id owner_;
  std::atomic<bool> stopped_{false};
  Scope* previous_;
};

/// A handle on the calling thread's scope that loop bodies on any thread can ask.
class Token {
 public:
  /// The scope of the calling thread, or a token that never stops when there is none.
  [[nodiscard]] static Token current() noexcept;
  /// On the thread that installed the scope this runs its check (and remembers a yes); on any
  /// other thread it only reads what that thread last found.
  [[nodiscard]] bool stop_requested() const noexcept;
  /// What the thread that installed the scope last found, without asking again.
  [[nodiscard]] bool stopped() const noexcept;

 private:
  Scope* scope_ = nullptr;
};

/// The error a stopped call returns.
[[nodiscard]] Error error();

}  // namespace quorvex_core::interrupt
