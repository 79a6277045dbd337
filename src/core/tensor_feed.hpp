// The tensor fit's sums, made while the image streams in: only the rows' sums are held, never
// the rows themselves.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "quorvex/tensor.hpp"
#include "quorvex/volume_stream.hpp"
#include "tensor_tiles.hpp"

namespace quorvex_core {

/// Feeds a design's rows into per-voxel sums as a streamed read converts them. Rows are added
/// in volume order, in passes over every voxel made of short slices between conversions: a
/// batch's rows in one pass once it is complete, or, when the next row is far off in the
/// stream, the rows already in. A row the image does not keep is converted into one of two sets
/// of batch slots, one filling while the other is added. Once the last batch is under way the
/// time the read leaves idle makes the field, and once every row is in it solves tiles of the
/// field, s0 averaged over `reference` (volumes the image keeps) with `min_signal` as the fit's
/// floor.
class TensorFeeder final : public VolumeSink {
 public:
  TensorFeeder(TensorDesign design, std::vector<std::uint64_t> reference, double min_signal);

  [[nodiscard]] std::span<const std::uint64_t> wanted() const noexcept override {
    return sums_.design.volumes;
  }
  [[nodiscard]] Result<void> start(std::span<const std::size_t> dims) override;
  [[nodiscard]] float* place(std::size_t v) override;
  void take(std::size_t v, const float* samples) override;
  bool step(bool reading) override;

  /// The sums once every row was added; nullopt when the stream did not deliver them all.
  [[nodiscard]] std::optional<TensorSums> result() &&;
  /// The time spent adding rows.
  [[nodiscard]] std::chrono::nanoseconds busy() const noexcept { return busy_; }

 private:
  static constexpr std::size_t batch_rows = 8;
  static constexpr std::size_t slice_voxels = 16384;
  static constexpr std::size_t set_count = 2;

  // Rows arrive in volume order, so the rows taken are always the batch's first `taken`.
  struct Batch {
    std::size_t index = absent_batch;
    std::size_t rows = 0;
    std::size_t taken = 0;
    // Rows [0, rows_done) are in every voxel's sums; the pass under way adds [rows_done,
    // pass_end) and has reached voxel `added_to`.
    std::size_t rows_done = 0;
    std::size_t pass_end = 0;
    std::size_t added_to = 0;
    std::array<const float*, batch_rows> samples{};
  };
  static constexpr std::size_t absent_batch = static_cast<std::size_t>(-1);

  [[nodiscard]] std::size_t row_of(std::size_t v) const noexcept;
  [[nodiscard]] std::size_t batch_count() const noexcept;
  // The batch of `row`, its set made ready for it first (the set's previous batch is added in
  // full).
  Batch& batch_for(std::size_t row);
  // Whether the stream will be a while bringing the batch's next row.
  [[nodiscard]] bool long_wait(const Batch& batch) const noexcept;
  // Adds one slice of the oldest batch not yet added: its whole rows once complete, or with
  // `early`, the rows it has so far when the next is far off. False when there is none to add.
  bool add_slice(bool early);
  // Takes the mean of one reference volume that arrived; false when none waits.
  bool take_mean();
  // Makes a slice of the field's memory; false once it is all made, or when it cannot be.
  bool grow_field();
  // Solves the next tile of the field once every row is in; false when there is none to solve.
  bool solve_tile();

  TensorSums sums_;
  // Each set's slots, returned once no later batch will use them.
  std::array<detail::PageBuffer, set_count> slots_;
  std::array<Batch, set_count> sets_{};
  std::size_t rows_added_ = 0;
  std::chrono::nanoseconds busy_{0};
  GridShape shape_{};
  std::vector<const float*> reference_rows_;
  // Reference volumes whose mean is still to be taken (indices into the reference), and the
  // means taken.
  std::deque<std::size_t> pending_means_;
  std::vector<double> reference_means_;
  TileInputs tile_inputs_;
  std::optional<TileSolver> solver_;
  bool field_ready_ = false;
  bool solving_failed_ = false;
};

}  // namespace quorvex_core
