// Rows reach the sums in volume order, each batch in full before the next, so every voxel's
// sums see exactly the operations of the whole-image fit.
#include "tensor_feed.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
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
  reference_means_.assign(sums_.solved_reference.size(), std::numeric_limits<double>::quiet_NaN());
}

Result<void> TensorFeeder::start(std::span<const std::size_t> dims) {
  if (dims.size() < 3) return fail(Error::nifti("the fit's sums need a 4-D image"));
  shape_ = {dims[0], dims[1], dims[2]};
  const std::size_t samples = voxel_count(shape_);
  sums_.voxels = samples;
  const std::size_t rows = sums_.design.volumes.size();
  const auto refused = [&] {
    return fail(Error::nifti(fmt::format("cannot allocate the fit's sums for {} voxels", samples)));
  };
  auto storage = detail::PageBuffer::allocate(6 * samples * sizeof(double));
  if (!storage) return refused();
  sums_.storage = std::move(*storage);
  // Set s serves batches s, s + set_count, ...: slots for as many rows as the largest holds.
  for (std::size_t set = 0; set < set_count && set * batch_rows < rows; ++set) {
    auto slots = detail::PageBuffer::allocate(std::min(batch_rows, rows - set * batch_rows) *
                                              samples * sizeof(float));
    if (!slots) return refused();
    slots_[set] = std::move(*slots);
  }
  return {};
}

std::size_t TensorFeeder::row_of(std::size_t v) const noexcept {
  const auto& volumes = sums_.design.volumes;
  return static_cast<std::size_t>(std::lower_bound(volumes.begin(), volumes.end(), v) -
                                  volumes.begin());
}

std::size_t TensorFeeder::batch_count() const noexcept {
  return (sums_.design.volumes.size() + batch_rows - 1) / batch_rows;
}

TensorFeeder::Batch& TensorFeeder::batch_for(std::size_t row) {
  const std::size_t index = row / batch_rows;
  Batch& batch = sets_[index % set_count];
  if (batch.index != index) {
    // The set last held batch index - set_count, complete since its rows all came earlier.
    while (batch.index != absent_batch && batch.rows_done < batch.rows && add_slice(false)) {
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
  return reinterpret_cast<float*>(slots_[batch.index % set_count].data()) +
         (row % batch_rows) * sums_.voxels;
}

void TensorFeeder::take(std::size_t v, const float* samples) {
  const auto& reference = sums_.solved_reference;
  const auto at = std::lower_bound(reference.begin(), reference.end(), v);
  if (at != reference.end() && *at == v) {
    const auto k = static_cast<std::size_t>(at - reference.begin());
    reference_rows_[k] = samples;
    pending_means_.push_back(k);
  }
  const std::size_t row = row_of(v);
  Batch& batch = batch_for(row);
  batch.samples[row % batch_rows] = samples;
  ++batch.taken;
}

// A pass costs about a batch's worth of conversions; started early only when the stream has
// at least that long to go before the next row, so it never delays one.
bool TensorFeeder::long_wait(const Batch& batch) const noexcept {
  const auto& volumes = sums_.design.volumes;
  const std::size_t taken = batch.index * batch_rows + batch.taken;
  return taken > 0 && taken < volumes.size() && volumes[taken] - volumes[taken - 1] > batch_rows;
}

bool TensorFeeder::add_slice(bool early) {
  const std::size_t index = rows_added_ / batch_rows;
  Batch& batch = sets_[index % set_count];
  if (batch.index != index) return false;
  if (batch.pass_end == batch.rows_done) {
    const bool complete = batch.taken == batch.rows;
    if (batch.taken == batch.rows_done || (!complete && !(early && long_wait(batch)))) {
      return false;
    }
    batch.pass_end = batch.taken;
  }
  const std::size_t end = std::min(sums_.voxels, batch.added_to + slice_voxels);
  add_tensor_rows(sums_.design, index * batch_rows + batch.rows_done,
                  std::span<const float* const>(batch.samples.data() + batch.rows_done,
                                                batch.pass_end - batch.rows_done),
                  batch.added_to, end, sums_);
  batch.added_to = end;
  if (end == sums_.voxels) {
    rows_added_ += batch.pass_end - batch.rows_done;
    batch.rows_done = batch.pass_end;
    batch.added_to = 0;
    if (batch.rows_done == batch.rows && index + set_count >= batch_count()) {
      slots_[index % set_count].release();
    }
  }
  return true;
}

// While the volume may still be in the caches its conversion filled.
bool TensorFeeder::take_mean() {
  if (pending_means_.empty()) return false;
  const std::size_t k = pending_means_.front();
  pending_means_.pop_front();
  reference_means_[k] = volume_mean(reference_rows_[k], shape_);
  return true;
}

// About a millisecond of fresh pages at a time.
bool TensorFeeder::grow_field() {
  if (field_ready_ || solving_failed_) return false;
  TensorField& field = sums_.field;
  const std::size_t n = sums_.voxels;
  constexpr std::size_t slice_bytes = std::size_t{1} << 20;
  // Written, so that the pages are faulted in now.
  const auto grow = [&](auto& values) {
    if (values.size() == n) return false;
    values.resize(std::min(n, values.size() + slice_bytes / sizeof(values[0])), {});
    return true;
  };
  try {
    if (field.fa.capacity() < n) {
      field.v1.reserve(n);
      field.fa.reserve(n);
      field.s0.reserve(n);
      field.valid.reserve(n);
    }
    if (grow(field.v1) || grow(field.fa) || grow(field.s0) || grow(field.valid)) return true;
  } catch (const std::bad_alloc&) {
    // The fit makes the field itself later, or reports the shortage then.
    field = TensorField{};
    solving_failed_ = true;
    return false;
  }
  field.shape = shape_;
  field_ready_ = true;
  return false;
}

bool TensorFeeder::solve_tile() {
  if (solving_failed_ || rows_added_ != sums_.design.volumes.size() ||
      sums_.tiles_solved >= tile_count(shape_)) {
    return false;
  }
  if (!field_ready_) return grow_field() || field_ready_;
  if (!solver_) {
    // s0 needs every reference volume, which the image keeps: a reference outside the rows the
    // stream delivered leaves the whole field to the fit.
    if (std::find(reference_rows_.begin(), reference_rows_.end(), nullptr) !=
        reference_rows_.end()) {
      solving_failed_ = true;
      return false;
    }
    for (auto& slots : slots_)
      slots.release();
    tile_inputs_ = TileInputs{shape_,          &sums_.design, {},
                              reference_rows_, sums_.data(),  sums_.solved_min_signal};
    try {
      solver_.emplace(tile_inputs_);
    } catch (const std::bad_alloc&) {
      solving_failed_ = true;
      return false;
    }
  }
  solver_->solve(sums_.tiles_solved++, sums_.field);
  return true;
}

bool TensorFeeder::step(bool reading) {
  const auto start = Clock::now();
  // The field is made once the last batch is the one being added: the other set of slots is
  // returned by then, so the field takes its place rather than adding to the peak.
  const bool last_batch = rows_added_ / batch_rows + 1 >= batch_count();
  const bool worked = take_mean() || add_slice(reading) ||
                      (reading && (solve_tile() || (last_batch && grow_field())));
  busy_ += since(start);
  return worked;
}

std::optional<TensorSums> TensorFeeder::result() && {
  if (rows_added_ != sums_.design.volumes.size() || sums_.voxels == 0) return std::nullopt;
  for (auto& slots : slots_)
    slots.release();
  solver_.reset();
  if (!field_ready_) sums_.field = TensorField{};
  while (take_mean()) {
  }
  if (std::find(reference_rows_.begin(), reference_rows_.end(), nullptr) == reference_rows_.end()) {
    sums_.reference_means = std::move(reference_means_);
  }
  return std::move(sums_);
}

}  // namespace quorvex_core
