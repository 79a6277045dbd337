// One open file descriptor, closed on every path out of the code that opened it.
#pragma once

#include <unistd.h>

#include <utility>

namespace quorvex_core::io {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
  /// Hands the descriptor on without closing it.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  /// Closes now and reports the failure: for writes, close is where some file systems report
  /// that the data did not make it.
  [[nodiscard]] int release_and_close() noexcept { return ::close(release()); }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
};

}  // namespace quorvex_core::io
