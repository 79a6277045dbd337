// Internal: what both image readers share: opening the file and decoding its header into the
// sizes every later check relies on.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <limits>
#include <span>
#include <string>

#include "quorvex/io/nifti.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core::detail {

/// An open image file, closed when it goes.
class ImageFile {
 public:
  ImageFile(int fd, std::size_t size) : fd_(fd), size_(size) {}
  ImageFile(ImageFile&& other) noexcept : fd_(other.fd_), size_(other.size_) { other.fd_ = -1; }
  ImageFile& operator=(ImageFile&&) = delete;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  void set_size(std::size_t size) { size_ = size; }

 private:
  int fd_;
  std::size_t size_;
};

/// Opens a regular file for reading. Non-blocking at first, so that a FIFO without a writer is
/// refused instead of hanging the caller in open(); the flag is cleared once the file is known
/// to be regular.
inline Result<ImageFile> open_image_file(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::nifti_errno(errno));
  struct stat status {};
  ImageFile file(fd, 0);
  if (::fstat(fd, &status) != 0) return fail(Error::nifti_errno(errno));
  if (S_ISDIR(status.st_mode)) return fail(Error::nifti_errno(EISDIR));
  if (!S_ISREG(status.st_mode)) return fail(Error::nifti("not a regular file"));
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(Error::nifti_errno(errno));
  }
  file.set_size(static_cast<std::size_t>(status.st_size));
  return file;
}

/// A decoded header with the sizes it implies.
struct DecodedHeader {
  io::nifti::Header header;
  VolumeInfo info;
  std::size_t count = 0;
  std::size_t stored_bytes = 0;
};

/// `decode_header` and `from_header`, then the sample count and stored size, refused when they
/// overflow.
inline Result<DecodedHeader> decode_image_header(std::span<const std::byte> header_bytes) {
  auto header = io::nifti::decode_header(header_bytes);
  if (!header) return fail(header.error());
  auto info = from_header(*header);
  if (!info) return fail(info.error());
  DecodedHeader decoded{*header, std::move(*info), 1, 0};
  for (std::size_t length : decoded.info.dims)
    decoded.count *= length;  // checked by from_header
  const std::size_t width = io::nifti::sample_bytes(header->datatype);
  if (width != 0 && decoded.count > std::numeric_limits<std::size_t>::max() / width) {
    return fail(Error::nifti("dimensions overflow the data size"));
  }
  decoded.stored_bytes = decoded.count * width;
  if (decoded.stored_bytes > std::numeric_limits<std::size_t>::max() - header->data_offset) {
    return fail(Error::nifti("dimensions overflow the data size"));
  }
  return decoded;
}

}  // namespace quorvex_core::detail
