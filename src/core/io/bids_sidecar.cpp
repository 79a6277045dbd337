// The sidecar fields a run's report mentions, picked out of the JSON while it streams past: a
// sidecar can hold megabytes of slice timings or vendor arrays that are never looked at, and a
// document tree of them would cost many times the file's size.
#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "descriptor.hpp"
#include "file.hpp"
#include "quorvex/io/bids.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::io::bids {
namespace {

using nlohmann::json;

enum class Field : std::uint8_t { None, PhaseEncoding, ReadoutTime, Multiband };

Field field_of(std::string_view key) {
  if (key == "PhaseEncodingDirection") return Field::PhaseEncoding;
  if (key == "TotalReadoutTime") return Field::ReadoutTime;
  if (key == "MultibandAccelerationFactor") return Field::Multiband;
  return Field::None;
}

// Keeps the three fields of the top-level object and nothing else. Only the keys of the
// objects still open are held, to refuse a repeated one: the library would keep the last
// without a word, and which value the scanner meant is unknowable.
class Picker final : public json::json_sax_t {
 public:
  BidsSidecar sidecar;

  bool null() override {
    return scalar([](Field) { return true; });
  }
  bool boolean(bool /*value*/) override {
    return scalar([](Field f) { return f == Field::None; });
  }
  bool number_integer(json::number_integer_t value) override {
    return scalar([&](Field f) {
      if (f == Field::ReadoutTime) sidecar.total_readout_time = static_cast<double>(value);
      if (f != Field::Multiband) return f != Field::PhaseEncoding;
      // "-0" arrives as a signed integer.
      if (value < 0 || value > json::number_integer_t{most}) return false;
      sidecar.multiband_acceleration_factor = static_cast<std::uint32_t>(value);
      return true;
    });
  }
  bool number_unsigned(json::number_unsigned_t value) override {
    return scalar([&](Field f) {
      if (f == Field::ReadoutTime) sidecar.total_readout_time = static_cast<double>(value);
      if (f != Field::Multiband) return f != Field::PhaseEncoding;
      if (value > most) return false;
      sidecar.multiband_acceleration_factor = static_cast<std::uint32_t>(value);
      return true;
    });
  }
  bool number_float(json::number_float_t value, const json::string_t& /*text*/) override {
    return scalar([&](Field f) {
      if (f == Field::ReadoutTime) sidecar.total_readout_time = value;
      return f == Field::None || f == Field::ReadoutTime;
    });
  }
  bool string(json::string_t& value) override {
    return scalar([&](Field f) {
      if (f == Field::PhaseEncoding) sidecar.phase_encoding_direction = std::move(value);
      return f == Field::None || f == Field::PhaseEncoding;
    });
  }
  bool binary(json::binary_t& /*value*/) override { return false; }
  bool start_object(std::size_t /*elements*/) override {
    if (!container(/*object=*/true)) return false;
    open_keys_.emplace_back();
    return true;
  }
  bool key(json::string_t& name) override {
    if (!open_keys_.back().insert(name).second) return false;
    pending_ = depth_ == 1 ? field_of(name) : Field::None;
    return true;
  }
  bool end_object() override {
    open_keys_.pop_back();
    --depth_;
    return true;
  }
  bool start_array(std::size_t /*elements*/) override { return container(/*object=*/false); }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  static constexpr auto most = std::numeric_limits<std::uint32_t>::max();

  // A value: the document must be an object, and a used field must have its type.
  template <class Accept>
  bool scalar(Accept&& accept) {
    if (depth_ == 0) return false;
    const Field f = depth_ == 1 ? std::exchange(pending_, Field::None) : Field::None;
    return accept(f);
  }

  bool container(bool object) {
    if (depth_ == 0 && !object) return false;
    const Field f = depth_ == 1 ? std::exchange(pending_, Field::None) : Field::None;
    if (f != Field::None) return false;
    ++depth_;
    return true;
  }

  std::vector<std::unordered_set<std::string>> open_keys_;
  std::size_t depth_ = 0;
  Field pending_ = Field::None;
};

// A byte-at-a-time view of a file read in fixed chunks, for the parser's iterator input.
class ChunkedFile {
 public:
  explicit ChunkedFile(int fd) : fd_(fd) {}
  // Whether a byte is available at the current position, reading the next chunk if needed.
  bool ready() {
    while (pos_ == len_ && !done_) {
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        done_ = true;
        break;
      }
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
    }
    return pos_ < len_;
  }
  [[nodiscard]] const char& current() const { return buffer_[pos_]; }
  void advance() { ++pos_; }

 private:
  int fd_;
  std::array<char, std::size_t{1} << 16> buffer_{};
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool done_ = false;
};

class ChunkIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ChunkIterator() = default;
  explicit ChunkIterator(ChunkedFile* file) : file_(file) {}
  reference operator*() const { return file_->current(); }
  ChunkIterator& operator++() {
    file_->advance();
    return *this;
  }
  bool operator==(const ChunkIterator& other) const { return at_end() == other.at_end(); }

 private:
  [[nodiscard]] bool at_end() const { return file_ == nullptr || !file_->ready(); }
  ChunkedFile* file_ = nullptr;
};

template <class Iterator>
std::optional<BidsSidecar> pick(Iterator first, Iterator last) {
  Picker picker;
  if (!json::sax_parse(first, last, &picker, json::input_format_t::json, /*strict=*/true)) {
    return std::nullopt;
  }
  return std::move(picker.sidecar);
}

}  // namespace

std::optional<BidsSidecar> BidsSidecar::parse(std::string_view text) {
  return pick(text.begin(), text.end());
}

std::optional<BidsSidecar> BidsSidecar::read(const std::string& path) {
  auto fd = open_input(path);
  if (!fd) return std::nullopt;
  const Descriptor owned(*fd);
  ChunkedFile file(owned.get());
  return pick(ChunkIterator(&file), ChunkIterator());
}

std::optional<std::string> BidsSidecar::note() const {
  std::vector<std::string> parts;
  // The value comes from a file: keep the note on one line whatever it holds.
  if (phase_encoding_direction) parts.push_back("PE=" + one_line(*phase_encoding_direction));
  if (total_readout_time) parts.push_back(fmt::format("TRT={:.4f}s", *total_readout_time));
  if (multiband_acceleration_factor) {
    parts.push_back(fmt::format("MB={}", *multiband_acceleration_factor));
  }
  if (parts.empty()) return std::nullopt;
  return fmt::format("BIDS sidecar: {}", fmt::join(parts, ", "));
}

}  // namespace quorvex_core::io::bids
