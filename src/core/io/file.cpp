// POSIX whole-file reads and writes; every failing system call becomes an `Io` error.
#include "quorvex/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "quorvex/text.hpp"

namespace quorvex_core::io {
namespace {

constexpr std::size_t chunk_size = std::size_t{1} << 20;

// Closes the descriptor on every path out of a read.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const { return fd_; }
  // Hands the descriptor on without closing it.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes now and reports the failure: for writes, close is where some file systems report
  // that the data did not make it.
  [[nodiscard]] int release_and_close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// Inputs must be regular files: a FIFO without a writer would block open() for ever (hence
// O_NONBLOCK until the type is known), and a device such as /dev/zero never ends.
Result<int> open_for_reading(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::io_errno(errno));
  Descriptor file(fd);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return fail(Error::io_errno(errno));
  if (S_ISDIR(info.st_mode)) return fail(Error::io_errno(EISDIR));
  if (!S_ISREG(info.st_mode)) return fail(Error::io_message("not a regular file"));
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(Error::io_errno(errno));
  }
  return file.release();
}

// Reads until end of file into `sink`; returns the byte count.
template <class Sink>
Result<std::size_t> drain(int fd, Sink&& sink) {
  std::size_t total = 0;
  std::array<char, 1 << 16> buffer{};
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::io_errno(errno));
    }
    if (n == 0) return total;
    sink(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    total += static_cast<std::size_t>(n);
  }
}

}  // namespace

Result<std::string> read_bytes(const std::string& path) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(fd.error());
  const Descriptor file(*fd);
  std::string content;
  struct stat info {};
  // The size is only a hint: the file may grow while it is read, so reading goes on to the end.
  if (::fstat(file.get(), &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  auto read = drain(file.get(), [&](std::string_view chunk) { content.append(chunk); });
  if (!read) return fail(read.error());
  return content;
}

Result<std::string> read_text(const std::string& path) {
  auto bytes = read_bytes(path);
  if (!bytes) return bytes;
  if (!is_valid_utf8(*bytes)) return fail(Error::io_invalid_utf8());
  return bytes;
}

Result<std::size_t> read_chunks(const std::string& path,
                                const std::function<void(std::string_view)>& on_chunk) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(fd.error());
  const Descriptor file(*fd);
  return drain(file.get(), on_chunk);
}

std::expected<void, WriteError> write_file_staged(const std::string& path,
                                                  std::string_view content) {
  const auto failed = [](WriteStage stage) {
    return std::unexpected<WriteError>(WriteError{stage, Error::io_errno(errno)});
  };
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return failed(WriteStage::Create);
  Descriptor file(fd);
  while (!content.empty()) {
    const std::size_t want = content.size() < chunk_size ? content.size() : chunk_size;
    const ssize_t n = ::write(file.get(), content.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(WriteStage::Write);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  if (file.release_and_close() != 0 && errno != EINTR) return failed(WriteStage::Write);
  return {};
}

Result<void> write_file(const std::string& path, std::string_view content) {
  auto written = write_file_staged(path, content);
  if (!written) return fail(std::move(written.error().error));
  return {};
}

}  // namespace quorvex_core::io
