// The streamed image read: a few reused buffers pass between the thread that reads and inflates
// and the one that converts, so the image's stored bytes are never held whole, and the f32
// samples of the kept volumes are written once, where they stay.
#include "quorvex/volume_stream.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "image_file.hpp"
#include "quorvex/interrupt.hpp"
#include "quorvex/io/gzip.hpp"
#include "quorvex/io/gzip_stream.hpp"
#include "volume_access.hpp"

namespace quorvex_core {
namespace {

namespace nifti = io::nifti;
using detail::PageBuffer;
using Clock = std::chrono::steady_clock;
constexpr std::size_t absent = detail::ImageArrayAccess::absent;
// Enough buffers that the reader fills one while the converter works on another and a third
// waits, without the pair ever holding more than a few chunks.
constexpr std::size_t ring_size = 3;

std::chrono::nanoseconds since(Clock::time_point from) {
  return std::max(std::chrono::nanoseconds{0},
                  std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - from));
}

Result<PageBuffer> allocate(std::size_t bytes) {
  auto buffer = PageBuffer::allocate(bytes);
  if (!buffer) return fail(Error::nifti(fmt::format("cannot allocate {} bytes", bytes)));
  return std::move(*buffer);
}

// Where the converted samples go: volume v (a run of `volume_bytes` stored bytes from the data
// offset) lands at run `slots[v]` of `target`, or, when the sink wants it and the image does
// not keep it, where the sink places it; or nowhere.
struct Layout {
  nifti::Header header;
  std::size_t width = 0;
  std::size_t volume_bytes = 0;
  std::size_t samples_per_volume = 0;
  std::vector<std::size_t> slots;
  float* target = nullptr;
  VolumeSink* sink = nullptr;
  std::vector<std::uint8_t> wanted;
  // The sink's place for the volume being converted, and the time the sink took to make room;
  // only the converting thread touches them.
  float* placed = nullptr;
  std::chrono::nanoseconds placing{0};

  [[nodiscard]] bool read(std::size_t v) const noexcept {
    return slots[v] != absent || (sink != nullptr && wanted[v] != 0);
  }

  // Converts the stored bytes [from, from + size) of the data (from a sample boundary) that
  // fall in volumes read, and hands each volume the sink wants over once it is complete.
  void convert(const std::byte* bytes, std::size_t from, std::size_t size) noexcept {
    const std::size_t to = from + size;
    std::size_t at = from;
    while (at < to) {
      const std::size_t v = at / volume_bytes;
      const std::size_t end = std::min(to, (v + 1) * volume_bytes);
      float* run = nullptr;
      if (slots[v] != absent) {
        run = target + slots[v] * samples_per_volume;
      } else if (read(v)) {
        if (at == v * volume_bytes) {
          const auto start = Clock::now();
          placed = sink->place(v);
          placing += since(start);
        }
        run = placed;
      }
      if (run != nullptr) {
        nifti::convert_samples(header, bytes + (at - from), run + (at - v * volume_bytes) / width,
                               (end - at) / width);
        if (end == (v + 1) * volume_bytes && sink != nullptr && wanted[v] != 0) sink->take(v, run);
      }
      at = end;
    }
  }
};

// The converting side: a thread of its own taking filled buffers in order, or the calling
// thread itself when no thread can be started.
class Converter {
 public:
  Converter(Layout& layout, PageBuffer ring, std::size_t buffer_bytes)
      : layout_(layout), ring_(std::move(ring)), buffer_bytes_(buffer_bytes) {
    for (std::size_t k = 0; k < ring_size; ++k)
      free_.push_back(ring_.data() + k * buffer_bytes_);
    try {
      worker_ = std::thread([this] { work(); });
    } catch (...) {
      // Converting inline is slower, never wrong.
    }
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() { stop(); }

  [[nodiscard]] std::size_t buffer_bytes() const noexcept { return buffer_bytes_; }

  // A free buffer, waiting for the converter to hand one back if need be.
  std::byte* acquire() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty(); });
    std::byte* buffer = free_.front();
    free_.pop_front();
    return buffer;
  }

  // Hands back a buffer without converting it.
  void release(std::byte* buffer) {
    const std::lock_guard lock(mutex_);
    free_.push_back(buffer);
  }

  // Converts `size` bytes of `buffer` holding the data from offset `from`; the buffer returns
  // to the free list once done.
  void submit(std::byte* buffer, std::size_t from, std::size_t size) {
    if (!worker_.joinable()) {
      run({buffer, from, size});
      release(buffer);
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      jobs_.push_back({buffer, from, size});
    }
    changed_.notify_all();
  }

  // Waits until every submitted chunk is converted, and the sink's work done, and the thread
  // has ended; the time it spent converting.
  std::chrono::nanoseconds stop() {
    if (worker_.joinable()) {
      {
        const std::lock_guard lock(mutex_);
        closing_ = true;
      }
      changed_.notify_all();
      worker_.join();
    } else {
      finish_sink();
    }
    return busy_;
  }

 private:
  struct Job {
    std::byte* buffer;
    std::size_t from;
    std::size_t size;
  };

  void finish_sink() {
    if (layout_.sink == nullptr) return;
    while (layout_.sink->step(false)) {
    }
  }

  // The sink's time is its own, not converting.
  void run(const Job& job) {
    const auto start = Clock::now();
    const auto placing = layout_.placing;
    layout_.convert(job.buffer, job.from, job.size);
    busy_ += std::max(std::chrono::nanoseconds{0}, since(start) - (layout_.placing - placing));
  }

  // Conversions first; the sink's work fills the time the reader leaves between them, and what
  // it must still do is done once the read has ended.
  void work() {
    bool sink_busy = false;
    for (;;) {
      Job job{};
      {
        std::unique_lock lock(mutex_);
        if (!sink_busy) changed_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty()) {
          const bool closing = closing_;
          lock.unlock();
          if (closing) {
            finish_sink();
            return;
          }
          sink_busy = layout_.sink->step(true);
          continue;
        }
        job = jobs_.front();
        jobs_.pop_front();
      }
      run(job);
      sink_busy = layout_.sink != nullptr;
      {
        const std::lock_guard lock(mutex_);
        free_.push_back(job.buffer);
      }
      changed_.notify_all();
    }
  }

  Layout& layout_;
  PageBuffer ring_;
  std::size_t buffer_bytes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::byte*> free_;
  std::deque<Job> jobs_;
  bool closing_ = false;
  std::chrono::nanoseconds busy_{0};
  std::thread worker_;
};

// The image's byte stream, from its first byte: inflated, or read from a plain file.
class Stream {
 public:
  Stream(int fd, std::size_t file_size, std::optional<io::gzip::Inflater> inflater)
      : fd_(fd), file_size_(file_size), inflater_(std::move(inflater)) {}

  [[nodiscard]] bool gzip() const noexcept { return inflater_.has_value(); }
  [[nodiscard]] std::size_t position() const noexcept { return position_; }

  // The next bytes into `out`; fewer only where the stream ends.
  Result<std::size_t> read(std::span<std::byte> out) {
    std::size_t got = 0;
    if (inflater_) {
      auto n = inflater_->read(out);
      if (!n) return fail(n.error());
      got = *n;
    } else {
      while (got < out.size()) {
        const ssize_t n =
            ::pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(position_ + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(Error::nifti_errno(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
      }
    }
    position_ += got;
    return got;
  }

  // Moves on to `offset`: a plain file seeks, a gzip stream inflates into `scratch` and drops
  // it. Stops early only where the stream ends.
  Result<void> skip_to(std::size_t offset, std::span<std::byte> scratch,
                       const interrupt::Token& token) {
    if (!inflater_) {
      position_ = std::max(position_, offset);
      return {};
    }
    while (position_ < offset) {
      if (token.stop_requested()) return fail(interrupt::error());
      const std::size_t step = std::min(scratch.size(), offset - position_);
      auto n = read(scratch.first(step));
      if (!n) return fail(n.error());
      if (*n < step) break;
    }
    return {};
  }

  // Checks the rest of the member holding the last byte read.
  Result<void> finish(std::span<std::byte> scratch) {
    return inflater_ ? inflater_->finish_member(scratch) : Result<void>{};
  }

  [[nodiscard]] std::size_t file_size() const noexcept { return file_size_; }

 private:
  int fd_;
  std::size_t file_size_;
  std::optional<io::gzip::Inflater> inflater_;
  std::size_t position_ = 0;
};

// Volume v is kept (slot in increasing volume order) or absent. Every volume of an image that
// is not 4-D, or without a list.
std::vector<std::size_t> plan_slots(const VolumeInfo& info,
                                    std::optional<std::span<const std::size_t>> volumes) {
  const std::size_t n = info.dims.size() == 4 ? info.dims[3] : 1;
  std::vector<std::size_t> slots(n, absent);
  if (info.dims.size() != 4 || !volumes) {
    for (std::size_t v = 0; v < n; ++v)
      slots[v] = v;
    return slots;
  }
  std::vector<bool> keep(n, false);
  for (const std::size_t v : *volumes) {
    if (v < n) keep[v] = true;
  }
  std::size_t next = 0;
  for (std::size_t v = 0; v < n; ++v) {
    if (keep[v]) slots[v] = next++;
  }
  return slots;
}

// Everything after the header: the kept runs of volumes through the converter, the rest
// skipped, then the end of the image and of its member checked.
Result<void> pump(Stream& stream, const detail::DecodedHeader& d, const Layout& layout,
                  Converter& converter, const interrupt::Token& token,
                  std::chrono::nanoseconds& reading) {
  const std::size_t data = d.header.data_offset;
  const std::size_t end = data + d.stored_bytes;
  const std::size_t n = layout.slots.size();
  const std::size_t chunk = converter.buffer_bytes();
  std::size_t v = 0;
  while (v < n) {
    if (!layout.read(v)) {
      ++v;
      continue;
    }
    std::size_t last = v;
    while (last < n && layout.read(last))
      ++last;
    // Kept volumes [v, last): their bytes stream through the converter in chunk-sized pieces.
    std::byte* scratch = converter.acquire();
    auto t = Clock::now();
    auto skipped = stream.skip_to(data + v * layout.volume_bytes, {scratch, chunk}, token);
    reading += since(t);
    converter.release(scratch);
    if (!skipped) return fail(skipped.error());
    if (stream.position() < data + v * layout.volume_bytes) break;
    const std::size_t run_end = data + last * layout.volume_bytes;
    while (stream.position() < run_end) {
      if (token.stop_requested()) return fail(interrupt::error());
      std::byte* buffer = converter.acquire();
      const std::size_t from = stream.position();
      const std::size_t want = std::min(chunk, run_end - from);
      t = Clock::now();
      auto got = stream.read({buffer, want});
      reading += since(t);
      if (!got) {
        converter.release(buffer);
        return fail(got.error());
      }
      // A whole number of samples: the converter never sees half of one.
      const std::size_t usable = *got - *got % layout.width;
      if (usable > 0) {
        converter.submit(buffer, from - data, usable);
      } else {
        converter.release(buffer);
      }
      if (*got < want) break;
    }
    if (stream.position() < run_end) break;
    v = last;
  }
  std::byte* scratch = converter.acquire();
  const auto t = Clock::now();
  Result<void> tail = stream.skip_to(end, {scratch, chunk}, token);
  if (tail && stream.position() >= end) tail = stream.finish({scratch, chunk});
  reading += since(t);
  converter.release(scratch);
  if (!tail) return fail(tail.error());
  if (stream.position() < end) {
    if (!stream.gzip()) return fail(Error::nifti("file ended before its reported size"));
    return fail(Error::nifti(fmt::format(
        "gzip stream inflates to {} bytes but the header implies {}", stream.position(), end)));
  }
  return {};
}

}  // namespace

Result<TimedVolume> stream_volume(const std::string& path,
                                  std::optional<std::span<const std::size_t>> volumes,
                                  const StreamChunks& chunks, VolumeSink* sink) {
  const auto t0 = Clock::now();
  const interrupt::Token token = interrupt::Token::current();
  auto file = detail::open_image_file(path);
  if (!file) return fail(file.error());

  std::array<std::byte, 2> magic{};
  const ssize_t peeked = ::pread(file->fd(), magic.data(), std::min(file->size(), magic.size()), 0);
  if (peeked < 0) return fail(Error::nifti_errno(errno));
  std::optional<io::gzip::Inflater> inflater;
  if (io::gzip::is_gzip({magic.data(), static_cast<std::size_t>(peeked)})) {
    auto opened = io::gzip::Inflater::open(file->fd(), file->size(), chunks.input, token);
    if (!opened) return fail(opened.error());
    inflater = std::move(*opened);
  }
  Stream stream(file->fd(), file->size(), std::move(inflater));

  std::array<std::byte, nifti::header_size> head{};
  auto head_size = stream.read(head);
  if (!head_size) return fail(head_size.error());
  auto decoded = detail::decode_image_header({head.data(), *head_size});
  if (!decoded) return fail(decoded.error());
  const std::size_t end = decoded->header.data_offset + decoded->stored_bytes;
  if (stream.gzip()) {
    const std::uint64_t most = io::gzip::max_inflated_size(file->size());
    if (end > most) {
      return fail(Error::nifti(fmt::format(
          "header implies {} bytes of image but a {}-byte gzip stream inflates to at most {}", end,
          file->size(), most)));
    }
  } else if (end > file->size()) {
    return fail(Error::nifti(
        fmt::format("header implies {} bytes of image but the file holds {}", end, file->size())));
  }

  Layout layout;
  layout.header = decoded->header;
  layout.width = nifti::sample_bytes(decoded->header.datatype);
  layout.slots = plan_slots(decoded->info, volumes);
  layout.volume_bytes = decoded->stored_bytes / layout.slots.size();
  layout.samples_per_volume = decoded->count / layout.slots.size();
  const auto kept = static_cast<std::size_t>(
      std::count_if(layout.slots.begin(), layout.slots.end(), [](auto s) { return s != absent; }));
  auto target = allocate(kept * layout.samples_per_volume * sizeof(float));
  if (!target) return fail(target.error());
  if (sink != nullptr && decoded->info.dims.size() == 4) {
    auto started = sink->start(decoded->info.dims);
    if (!started) return fail(started.error());
    layout.sink = sink;
    layout.wanted.assign(layout.slots.size(), 0);
    for (const std::uint64_t v : sink->wanted()) {
      if (v < layout.wanted.size()) layout.wanted[v] = 1;
    }
  }
  layout.target = reinterpret_cast<float*>(target->data());
  const std::size_t buffer_bytes = std::max<std::size_t>(8, (chunks.output + 7) / 8 * 8);
  auto ring = allocate(ring_size * buffer_bytes);
  if (!ring) return fail(ring.error());

  std::chrono::nanoseconds reading = since(t0);
  std::chrono::nanoseconds converting{0};
  {
    Converter converter(layout, std::move(*ring), buffer_bytes);
    auto pumped = pump(stream, *decoded, layout, converter, token, reading);
    converting = converter.stop();
    if (!pumped) return fail(pumped.error());
  }
  ImageArray image = detail::ImageArrayAccess::adopt(decoded->info.dims, std::move(*target), 0,
                                                     kept * layout.samples_per_volume);
  if (kept < layout.slots.size()) {
    detail::ImageArrayAccess::keep_volumes(image, std::move(layout.slots));
  }
  return TimedVolume{std::move(image), std::move(decoded->info), reading, converting};
}

}  // namespace quorvex_core
