// The per-thread stop check and the tokens loops carry to their workers.
#include "quorvex/interrupt.hpp"

namespace quorvex_core::interrupt {
namespace {

thread_local Scope* current_scope = nullptr;

}  // namespace

Scope::Scope(Check check) noexcept
    : check_(check), owner_(std::this_thread::get_id()), previous_(current_scope) {
  current_scope = this;
}

Scope::~Scope() {
  current_scope = previous_;
}

Token Token::current() noexcept {
  Token token;
  token.scope_ = current_scope;
  return token;
}

bool Token::stop_requested() const noexcept {
  if (scope_ == nullptr) return false;
  if (scope_->stopped_.load(std::memory_order_relaxed)) return true;
  if (scope_->check_ == nullptr || std::this_thread::get_id() != scope_->owner_) return false;
  if (!scope_->check_()) return false;
  scope_->stopped_.store(true, std::memory_order_relaxed);
  return true;
}

bool Token::stopped() const noexcept {
  return scope_ != nullptr && scope_->stopped_.load(std::memory_order_relaxed);
}

Error error() {
  return Error::io_message("interrupted");
}

}  // namespace quorvex_core::interrupt
