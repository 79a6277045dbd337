// POSIX whole-file reads and old-or-new writes; every failing system call becomes an `Io`
// error.
#include "file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>

#include "descriptor.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::io {
namespace {

constexpr std::size_t chunk_size = std::size_t{1} << 20;

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

bool write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    const std::size_t want = content.size() < chunk_size ? content.size() : chunk_size;
    const ssize_t n = ::write(fd, content.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The folder part of `path` ("." for a bare name) and the name itself.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The new content on its way to its final name: a hidden file beside it (a rename never
// crosses file systems then), removed again unless it was placed.
class TempFile {
 public:
  static std::expected<TempFile, int> create(const std::string& target) {
    static std::atomic<std::uint64_t> counter{0};
    auto [folder, name] = split_path(target);
    // Room for the decoration within the usual 255-byte name limit.
    constexpr std::size_t longest_stem = 200;
    if (name.size() > longest_stem) name.resize(longest_stem);
    for (int attempt = 0;; ++attempt) {
      const auto stamp =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      std::string path = fmt::format("{}/.{}.{:x}{:x}{:x}.tmp", folder, name, ::getpid(),
                                     counter.fetch_add(1), stamp & 0xffffff);
      int fd = -1;
      do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
      } while (fd < 0 && errno == EINTR);
      if (fd >= 0) return TempFile(std::move(path), fd);
      if (errno != EEXIST || attempt == 100) return std::unexpected(errno);
    }
  }
  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)),
        fd_(std::move(other.fd_)),
        owned_(std::exchange(other.owned_, false)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    if (owned_) ::unlink(path_.c_str());
  }

  [[nodiscard]] const std::string& path() const { return path_; }

  // Writes, flushes to the disk and closes; the error number, or 0. The flush is what makes a
  // rename after a crash show the whole content rather than an empty file.
  [[nodiscard]] int fill(std::string_view content) {
    if (!write_all(fd_.get(), content) || ::fsync(fd_.get()) != 0) return errno;
    if (fd_.release_and_close() != 0 && errno != EINTR) return errno;
    return 0;
  }

  void placed() { owned_ = false; }

 private:
  TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd), owned_(true) {}

  std::string path_;
  Descriptor fd_;
  bool owned_;
};

// Renames `from` to `to` unless `to` exists (EEXIST then). File systems without the atomic
// no-replace rename get the same guarantee from link(), which never replaces either.
int place_new(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

bool links_unsupported(int code) {
  return code == EPERM || code == ENOTSUP || code == EOPNOTSUPP || code == EMLINK;
}

// Claims the first free backup name for the file at `path`. A hard link leaves the file at its
// own name too, so a crash before the new content is renamed over it loses nothing; where hard
// links are not supported the file is moved with the no-replace rename instead. Neither ever
// replaces a name, so two writers cannot claim the same backup.
std::expected<std::optional<std::string>, int> claim_backup(const std::string& path) {
  bool linking = true;
  for (std::uint32_t n = 0;; ++n) {
    std::string candidate = backup_path(path, n);
    const int code = linking ? (::link(path.c_str(), candidate.c_str()) == 0 ? 0 : errno)
                             : place_new(path, candidate);
    if (code == 0) return candidate;
    // Gone since it was seen (moved away by someone else): there is nothing left to keep.
    if (code == ENOENT) return std::optional<std::string>{};
    if (linking && links_unsupported(code)) {
      linking = false;
      --n;
      continue;
    }
    if (code != EEXIST || n == std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(code);
    }
  }
}

// After a failed final rename: the backup was a second name of the file still in place (or,
// without hard links, the file itself), so dropping or returning it restores the state before.
void undo_backup(const std::string& path, const std::string& backup) {
  struct stat at_path {};
  struct stat at_backup {};
  if (::lstat(path.c_str(), &at_path) == 0 && ::lstat(backup.c_str(), &at_backup) == 0 &&
      at_path.st_dev == at_backup.st_dev && at_path.st_ino == at_backup.st_ino) {
    ::unlink(backup.c_str());
  } else {
    ::renameat2(AT_FDCWD, backup.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  }
}

// Makes the renames themselves durable. Best effort: the data are complete either way, and
// some file systems refuse to flush a folder.
void sync_folder(const std::string& path) {
  const Descriptor folder(
      ::open(split_path(path).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.is_open()) ::fsync(folder.get());
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

Result<int> open_input(const std::string& path) {
  return open_for_reading(path);
}

Result<std::size_t> read_chunks(const std::string& path,
                                const std::function<void(std::string_view)>& on_chunk) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(fd.error());
  const Descriptor file(*fd);
  return drain(file.get(), on_chunk);
}

std::optional<std::string> real_path(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

std::string backup_path(const std::string& path, std::uint32_t n) {
  return n == 0 ? path + ".bak" : path + ".bak." + std::to_string(n);
}

Error symlink_refused(const std::string& path) {
  return Error::io_message("refusing to write through a symbolic link: " + display_text(path));
}

std::expected<std::optional<std::string>, WriteError> write_file_staged(const std::string& path,
                                                                        std::string_view content,
                                                                        Existing existing) {
  const auto failed = [](WriteStage stage, int code) {
    return std::unexpected<WriteError>(WriteError{stage, Error::io_errno(code)});
  };
  const auto refused = [&] {
    return std::unexpected<WriteError>(
        WriteError{WriteStage::Create, Error::refuse_overwrite(display_text(path))});
  };
  // An empty name would otherwise only fail at the rename, after a temporary file was made.
  if (path.empty()) return failed(WriteStage::Create, ENOENT);
  struct stat info {};
  const bool present = ::lstat(path.c_str(), &info) == 0;
  if (present && S_ISLNK(info.st_mode)) {
    return std::unexpected<WriteError>(WriteError{WriteStage::Create, symlink_refused(path)});
  }
  if (present && existing == Existing::Refuse) return refused();
  if (present && !S_ISREG(info.st_mode)) {
    // A device or FIFO is not the user's data to move aside, and a folder then fails to open
    // with the system's own error.
    int fd = -1;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed(WriteStage::Create, errno);
    Descriptor file(fd);
    if (!write_all(file.get(), content) || file.release_and_close() != 0) {
      if (errno != EINTR) return failed(WriteStage::Write, errno);
    }
    return std::optional<std::string>{};
  }

  auto temp = TempFile::create(path);
  if (!temp) return failed(WriteStage::Create, temp.error());
  if (const int code = temp->fill(content); code != 0) return failed(WriteStage::Write, code);

  std::optional<std::string> backup;
  if (existing == Existing::Refuse) {
    if (const int code = place_new(temp->path(), path); code != 0) {
      if (code == EEXIST) return refused();
      return failed(WriteStage::Create, code);
    }
  } else {
    // Tried even when nothing was there at first: another writer may have put a file in place
    // since, and it is kept like any other.
    if (existing == Existing::Backup) {
      auto claimed = claim_backup(path);
      if (!claimed) return failed(WriteStage::Create, claimed.error());
      backup = std::move(*claimed);
    }
    if (::rename(temp->path().c_str(), path.c_str()) != 0) {
      const int code = errno;
      if (backup) undo_backup(path, *backup);
      return failed(WriteStage::Create, code);
    }
  }
  temp->placed();
  sync_folder(path);
  return backup;
}

Result<void> write_file(const std::string& path, std::string_view content) {
  auto written = write_file_staged(path, content);
  if (!written) return fail(std::move(written.error().error));
  return {};
}

}  // namespace quorvex_core::io
