// Rows reach the sums in volume order, each batch in full before the next, so every voxel's
// sums see exactly the operations of the whole-image fit.
#include "tensor_feed.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <new>

namespace quorvex_core {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds since(Clock::time_point from) {
  return std::max(std::chrono::nanoseconds{0},
                  std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - from));
}

}  // namespace

TensorFeeder::TensorFeeder(TensorDesign design, std::vector<std::uint64_t> reference,
                           double min_signal) {
  sums_.design = std::move(design);
  sums_.solved_reference = std::move(reference);
  sums_.solved_min_signal = min_signal;
  reference_rows_.assign(sums_.solved_reference.size(), nullptr);
}

Result<void> TensorFeeder::start(std::span<const std::size_t> dims) {
  if (dims.size() < 3) return fail(Error::nifti("the fit's sums need a 4-D image"));
  shape_ = {dims[0], dims[1], dims[2]};
  const std::size_t samples = voxel_count(shape_);
  sums_.voxels = samples;
  const std::size_t rows = sums_.design.volumes.size();
  auto storage = detail::PageBuffer::allocate(6 * samples * sizeof(double));
  // Slots only for as many rows as the two sets can hold at once.
  auto slots = detail::PageBuffer::allocate(std::min(rows, set_count * batch_rows) * samples *
                                            sizeof(float));
  if (!storage || !slots) {
    return fail(Error::nifti(fmt::format("cannot allocate the fit's sums for {} voxels", samples)));
  }
  sums_.storage = std::move(*storage);
  slots_ = std::move(*slots);
  return {};
}

std::size_t TensorFeeder::row_of(std::size_t v) const noexcept {
  const auto& volumes = sums_.design.volumes;
  return static_cast<std::size_t>(std::lower_bound(volumes.begin(), volumes.end(), v) -
                                  volumes.begin());
}

TensorFeeder::Batch& TensorFeeder::batch_for(std::size_t row) {
  const std::size_t index = row / batch_rows;
  Batch& batch = sets_[index % set_count];
  if (batch.index != index) {
    // The set last held batch index - set_count, complete since its rows all came earlier.
    while (batch.index != absent_batch && batch.added_to < sums_.voxels && add_slice()) {
    }
    batch = Batch{};
    batch.index = index;
    batch.rows = std::min(batch_rows, sums_.design.volumes.size() - index * batch_rows);
  }
  return batch;
}

float* TensorFeeder::place(std::size_t v) {
  const auto start = Clock::now();
  const std::size_t row = row_of(v);
  const Batch& batch = batch_for(row);
  busy_ += since(start);
  const std::size_t slot = (batch.index % set_count) * batch_rows + row % batch_rows;
  return reinterpret_cast<float*>(slots_.data()) + slot * sums_.voxels;
}

void TensorFeeder::take(std::size_t v, const float* samples) {
  const auto& reference = sums_.solved_reference;
  const auto at = std::lower_bound(reference.begin(), reference.end(), v);
  if (at != reference.end() && *at == v) {
    reference_rows_[static_cast<std::size_t>(at - reference.begin())] = samples;
  }
  const std::size_t row = row_of(v);
  Batch& batch = batch_for(row);
  batch.samples[row % batch_rows] = samples;
  if (++batch.taken == batch.rows) ready_.push_back(batch.index % set_count);
}

bool TensorFeeder::add_slice() {
  if (ready_.empty()) return false;
  Batch& batch = sets_[ready_.front()];
  const std::size_t end = std::min(sums_.voxels, batch.added_to + slice_voxels);
  add_tensor_rows(sums_.design, batch.index * batch_rows,
                  std::span<const float* const>(batch.samples.data(), batch.rows), batch.added_to,
                  end, sums_);
  batch.added_to = end;
  if (end == sums_.voxels) {
    rows_added_ += batch.rows;
    ready_.pop_front();
  }
  return true;
}

bool TensorFeeder::solve_tile() {
  if (solving_failed_ || rows_added_ != sums_.design.volumes.size() ||
      sums_.tiles_solved >= tile_count(shape_)) {
    return false;
  }
  if (!solver_) {
    // s0 needs every reference volume, which the image keeps: a reference outside the rows the
    // stream delivered leaves the whole field to the fit.
    if (std::find(reference_rows_.begin(), reference_rows_.end(), nullptr) !=
        reference_rows_.end()) {
      solving_failed_ = true;
      return false;
    }
    slots_.release();
    tile_inputs_ = TileInputs{shape_,          &sums_.design, {},
                              reference_rows_, sums_.data(),  sums_.solved_min_signal};
    try {
      sums_.field = empty_field(shape_);
      solver_.emplace(tile_inputs_);
    } catch (const std::bad_alloc&) {
      // The fit makes the field itself later, or reports the shortage then.
      sums_.field = TensorField{};
      solving_failed_ = true;
      return false;
    }
  }
  solver_->solve(sums_.tiles_solved++, sums_.field);
  return true;
}

bool TensorFeeder::step(bool reading) {
  const auto start = Clock::now();
  const bool worked = add_slice() || (reading && solve_tile());
  busy_ += since(start);
  return worked;
}

std::optional<TensorSums> TensorFeeder::result() && {
  if (rows_added_ != sums_.design.volumes.size() || sums_.voxels == 0) return std::nullopt;
  slots_.release();
  solver_.reset();
  return std::move(sums_);
}

}  // namespace quorvex_core
