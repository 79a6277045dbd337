// Image arrays, header geometry, the mask rule and masked means.
#include "quorvex/volume.hpp"

#include <fmt/format.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "quorvex/pool.hpp"
#include "quorvex/volume_stream.hpp"
#include "volume_access.hpp"

namespace quorvex_core {
namespace detail {

namespace {
// Below this a huge page would mostly hold nothing.
constexpr std::size_t huge_page_threshold = std::size_t{2} << 20;
}  // namespace

std::optional<PageBuffer> PageBuffer::allocate(std::size_t bytes) noexcept {
  PageBuffer buffer;
  if (bytes == 0) return buffer;
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return std::nullopt;
  if (bytes >= huge_page_threshold) ::madvise(memory, bytes, MADV_HUGEPAGE);
  buffer.data_ = static_cast<std::byte*>(memory);
  buffer.size_ = bytes;
  buffer.mapped_ = bytes;
  return buffer;
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

PageBuffer::~PageBuffer() {
  release();
}

void PageBuffer::release() noexcept {
  if (data_ != nullptr) ::munmap(data_, mapped_);
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

ImageArray ImageArrayAccess::adopt(std::span<const std::size_t> shape, PageBuffer storage,
                                   std::size_t byte_offset, std::size_t count) noexcept {
  ImageArray image;
  image.rank_ = shape.size();
  std::copy(shape.begin(), shape.end(), image.shape_.begin());
  image.samples_ =
      count == 0 ? nullptr : reinterpret_cast<const float*>(storage.data() + byte_offset);
  image.size_ = count;
  image.storage_ = std::move(storage);
  return image;
}

void ImageArrayAccess::keep_volumes(ImageArray& image, std::vector<std::size_t> slots) noexcept {
  image.slots_ = std::move(slots);
}

}  // namespace detail

namespace {

// Calls `visit(sample)` for the `shape`-shaped array stored at `base` (first index fastest) in
// logical order: first index slowest, last fastest. Stops when `visit` returns false.
template <class Visit>
void visit_logical(const float* base, std::span<const std::size_t> shape, Visit&& visit) {
  const std::size_t rank = shape.size();
  if (rank == 0) return;
  std::array<std::size_t, ImageArray::max_rank> stride{};
  std::array<std::size_t, ImageArray::max_rank> index{};
  stride[0] = 1;
  for (std::size_t k = 0; k < rank; ++k) {
    if (shape[k] == 0) return;
    if (k > 0) stride[k] = stride[k - 1] * shape[k - 1];
  }
  const std::size_t inner_length = shape[rank - 1];
  const std::size_t inner_stride = stride[rank - 1];
  std::size_t offset = 0;
  for (;;) {
    const float* run = base + offset;
    for (std::size_t i = 0; i < inner_length; ++i) {
      if (!visit(run[i * inner_stride])) return;
    }
    // Odometer over the outer axes, the one before the last turning fastest.
    std::size_t k = rank - 1;
    for (;;) {
      if (k == 0) return;
      --k;
      if (++index[k] < shape[k]) {
        offset += stride[k];
        break;
      }
      offset -= stride[k] * (shape[k] - 1);
      index[k] = 0;
    }
  }
}

// Masked mean of one array visited in logical order.
double masked_mean_logical(const float* base, std::span<const std::size_t> shape,
                           const Mask* mask) noexcept {
  double sum = 0.0;
  std::size_t count = 0;
  std::size_t position = 0;
  const std::size_t mask_size = mask != nullptr ? mask->size() : 0;
  visit_logical(base, shape, [&](float sample) {
    if (mask != nullptr) {
      if (position == mask_size) return false;
      if (!(*mask)[position++]) return true;
    }
    sum += static_cast<double>(sample);
    ++count;
    return true;
  });
  return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

Error geometry_error(std::string message) {
  return Error::nifti(std::move(message));
}

bool all_finite(const Affine& affine) {
  for (const auto& row : affine) {
    for (double value : row) {
      if (!std::isfinite(value)) return false;
    }
  }
  return true;
}

Affine quaternion_affine(const io::nifti::Header& h) {
  const double b = h.quatern_b;
  const double c = h.quatern_c;
  const double d = h.quatern_d;
  // Rounding in the stored components can push the squares a little past 1.
  const double a = std::sqrt(std::max(0.0, 1.0 - (b * b + c * c + d * d)));
  const double qfac = h.pixdim[0] < 0.0F ? -1.0 : 1.0;
  const double dx = h.pixdim[1];
  const double dy = h.pixdim[2];
  const double dz = h.pixdim[3];
  return {{
      {(a * a + b * b - c * c - d * d) * dx, 2 * (b * c - a * d) * dy,
       qfac * 2 * (b * d + a * c) * dz, static_cast<double>(h.qoffset_x)},
      {2 * (b * c + a * d) * dx, (a * a + c * c - b * b - d * d) * dy,
       qfac * 2 * (c * d - a * b) * dz, static_cast<double>(h.qoffset_y)},
      {2 * (b * d - a * c) * dx, 2 * (c * d + a * b) * dy,
       qfac * (a * a + d * d - b * b - c * c) * dz, static_cast<double>(h.qoffset_z)},
      {0.0, 0.0, 0.0, 1.0},
  }};
}

}  // namespace

ImageArray::ImageArray(ImageArray&& other) noexcept
    : storage_(std::move(other.storage_)),
      samples_(std::exchange(other.samples_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      shape_(other.shape_),
      rank_(std::exchange(other.rank_, 0)),
      slots_(std::move(other.slots_)) {}

ImageArray& ImageArray::operator=(ImageArray&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    samples_ = std::exchange(other.samples_, nullptr);
    size_ = std::exchange(other.size_, 0);
    shape_ = other.shape_;
    rank_ = std::exchange(other.rank_, 0);
    slots_ = std::move(other.slots_);
  }
  return *this;
}

const float* ImageArray::volume(std::size_t v) const noexcept {
  if (rank_ < 4) return v == 0 ? samples_ : nullptr;
  const std::size_t last = shape_[rank_ - 1];
  if (v >= last) return nullptr;
  std::size_t run = 1;
  for (std::size_t axis = 0; axis + 1 < rank_; ++axis)
    run *= shape_[axis];
  if (slots_.empty()) return samples_ + v * run;
  const std::size_t slot = slots_[v];
  return slot == detail::ImageArrayAccess::absent ? nullptr : samples_ + slot * run;
}

Result<ImageArray> ImageArray::from_samples(std::span<const std::size_t> shape,
                                            std::span<const float> samples) {
  if (shape.empty() || shape.size() > max_rank) {
    return fail(Error::nifti(fmt::format("an image has 1 to 7 axes, not {}", shape.size())));
  }
  std::size_t count = 1;
  for (std::size_t length : shape) {
    if (length != 0 && count > std::numeric_limits<std::size_t>::max() / length) {
      return fail(Error::nifti("image shape overflows"));
    }
    count *= length;
  }
  if (count != samples.size()) {
    return fail(Error::nifti(
        fmt::format("shape holds {} samples but {} were given", count, samples.size())));
  }
  auto storage = detail::PageBuffer::allocate(count * sizeof(float));
  if (!storage) return fail(Error::nifti("out of memory for the image"));
  if (count != 0) std::memcpy(storage->data(), samples.data(), count * sizeof(float));
  return detail::ImageArrayAccess::adopt(shape, std::move(*storage), 0, count);
}

Result<VolumeInfo> from_header(const io::nifti::Header& header) {
  const int rank = header.dim[0];
  if (rank < 1 || rank > 7) {
    return fail(geometry_error(fmt::format("inconsistent dimensions: dim[0] = {}", rank)));
  }
  VolumeInfo info;
  std::size_t count = 1;
  for (int i = 1; i <= rank; ++i) {
    const int length = header.dim[static_cast<std::size_t>(i)];
    if (length <= 0) {
      return fail(geometry_error(fmt::format("inconsistent dimensions: dim[{}] = {}", i, length)));
    }
    const auto n = static_cast<std::size_t>(length);
    if (count > std::numeric_limits<std::size_t>::max() / n) {
      return fail(geometry_error("dimensions overflow the sample count"));
    }
    count *= n;
    info.dims.push_back(n);
  }
  info.n_volumes = info.dims.size() >= 4 ? info.dims[3] : 1;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const float size = header.pixdim[axis + 1];
    // A NaN or infinite voxel size would silently poison every step and distance downstream.
    if (!std::isfinite(size)) {
      return fail(
          geometry_error(fmt::format("non-finite voxel size pixdim[{}] = {}", axis + 1, size)));
    }
    info.voxel_sizes[axis] = size;
  }

  if (header.sform_code > 0) {
    const std::array<const std::array<float, 4>*, 3> rows{&header.srow_x, &header.srow_y,
                                                          &header.srow_z};
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 4; ++c)
        info.affine[r][c] = (*rows[r])[c];
    }
    info.affine[3] = {0.0, 0.0, 0.0, 1.0};
  } else if (header.qform_code > 0) {
    info.affine = quaternion_affine(header);
  } else {
    info.affine = {{{info.voxel_sizes[0], 0.0, 0.0, 0.0},
                    {0.0, info.voxel_sizes[1], 0.0, 0.0},
                    {0.0, 0.0, info.voxel_sizes[2], 0.0},
                    {0.0, 0.0, 0.0, 1.0}}};
  }
  if (!all_finite(info.affine)) {
    return fail(geometry_error(header.sform_code > 0 ? "non-finite sform affine"
                                                     : "non-finite qform affine"));
  }
  return info;
}

Result<Mask> mask_from_volume(const ImageArray& image) {
  if (image.rank() != 3 && image.rank() != 4) {
    return fail(
        Error::nifti(fmt::format("a mask image must be 3-D or 4-D, got {}-D", image.rank())));
  }
  const std::array<std::size_t, 3> grid{image.dim(0), image.dim(1), image.dim(2)};
  Mask mask;
  mask.reserve(grid[0] * grid[1] * grid[2]);
  // Volume 0 is the first run of the storage; NaN != 0 holds, so NaN counts as inside.
  visit_logical(image.volume(0), grid, [&](float sample) {
    mask.push_back(sample != 0.0F);
    return true;
  });
  return mask;
}

Result<Mask> read_mask(const std::string& path) {
  // The rule looks at volume 0 alone, so only it is read.
  const std::array<std::size_t, 1> first{0};
  auto loaded = stream_volume(path, first);
  if (!loaded) return fail(loaded.error());
  return mask_from_volume(loaded->image);
}

double masked_mean(std::span<const float> samples, const Mask* mask) noexcept {
  const std::size_t shape = samples.size();
  return masked_mean_logical(samples.data(), {&shape, 1}, mask);
}

double volume_mean(const float* volume, std::span<const std::size_t> shape) noexcept {
  return masked_mean_logical(volume, shape, nullptr);
}

double masked_mean(const ImageArray& image, const Mask* mask) noexcept {
  return masked_mean_logical(image.samples().data(), image.shape(), mask);
}

std::vector<double> mean_for_volumes(const ImageArray& image, std::span<const std::size_t> volumes,
                                     const Mask* mask) {
  if (image.rank() < 4) {
    return std::vector<double>(volumes.size(), masked_mean(image, mask));
  }
  std::vector<double> means(volumes.size(), 0.0);
  const auto shape = image.shape();
  const auto sub_shape = shape.first(shape.size() - 1);
  const auto run = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const float* samples = image.volume(volumes[i]);
      means[i] = samples != nullptr ? masked_mean_logical(samples, sub_shape, mask)
                                    : std::numeric_limits<double>::quiet_NaN();
    }
  };
  // Each task writes only its own slots, so a redo after a pool failure gives the same answer.
  pool::run_chunks(volumes.size(), 1, run);
  return means;
}

}  // namespace quorvex_core
