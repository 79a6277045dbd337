// Tensor fit: one pseudo-inverse of the design, then per voxel a 7 x rows product and a 3 x 3
// symmetric eigendecomposition, on the shared pool.
#include "quorvex/tensor.hpp"

#include <fmt/format.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <Eigen/Dense>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "quorvex/interrupt.hpp"
#include "quorvex/pool.hpp"
#include "tensor_solve.hpp"
#include "tensor_tiles.hpp"

namespace quorvex_core {
namespace {

constexpr double min_direction_length = 1e-6;
constexpr double min_singular_value = 1e-12;
constexpr double min_log_signal = 1e-6;
// x-rows per tile, and voxels per block whose log signals are gathered volume by volume (rows x
// block doubles stay in the first-level caches' reach).
constexpr std::size_t tile_rows = 8;
constexpr std::size_t block_voxels = 256;
// Stored samples are most often integers (int16 or uint16 data without scaling); their logs
// come from a table computed once with the same std::log, so the results are unchanged.
constexpr std::size_t log_table_size = 65536;

const std::vector<double>& log_table() {
  static const std::vector<double> table = [] {
    std::vector<double> t(log_table_size);
    for (std::size_t k = 0; k < t.size(); ++k) {
      t[k] = std::log(std::fmax(static_cast<double>(k), min_log_signal));
    }
    return t;
  }();
  return table;
}

// ln(max(S, 1e-6)), with a NaN sample counted as 1e-6.
double log_signal(float sample) {
  static const double* const table = log_table().data();
  if (sample >= 0.0F && sample < static_cast<float>(log_table_size)) {
    const auto k = static_cast<std::size_t>(sample);
    if (static_cast<float>(k) == sample) return table[k];
  }
  return std::log(std::fmax(static_cast<double>(sample), min_log_signal));
}

// log_signal over a run of samples.
void log_row_plain(const float* in, double* out, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k)
    out[k] = log_signal(in[k]);
}

#if defined(__x86_64__)
// The same with eight whole samples at a time looked up by one pair of gathers; a group holding
// anything else (a fraction, a negative, NaN, 65536 or more) goes sample by sample.
[[gnu::target("avx2")]] void log_row_avx2(const float* in, double* out, std::size_t count) {
  static const double* const table = log_table().data();
  const __m256 zero = _mm256_setzero_ps();
  const __m256 top = _mm256_set1_ps(static_cast<float>(log_table_size));
  std::size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m256 s = _mm256_loadu_ps(in + k);
    const __m256i index = _mm256_cvttps_epi32(s);
    const __m256 in_range =
        _mm256_and_ps(_mm256_cmp_ps(s, zero, _CMP_GE_OQ), _mm256_cmp_ps(s, top, _CMP_LT_OQ));
    const __m256 whole = _mm256_cmp_ps(_mm256_cvtepi32_ps(index), s, _CMP_EQ_OQ);
    if (_mm256_movemask_ps(_mm256_and_ps(in_range, whole)) != 0xFF) {
      log_row_plain(in + k, out + k, 8);
      continue;
    }
    // The masked form with every lane on: the plain one starts from an undefined register,
    // which GCC 12 reports as uninitialised.
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    const __m256d none = _mm256_setzero_pd();
    _mm256_storeu_pd(out + k,
                     _mm256_mask_i32gather_pd(none, table, _mm256_castsi256_si128(index), all, 8));
    _mm256_storeu_pd(out + k + 4, _mm256_mask_i32gather_pd(
                                      none, table, _mm256_extracti128_si256(index, 1), all, 8));
  }
  log_row_plain(in + k, out + k, count - k);
}

void log_row(const float* in, double* out, std::size_t count) {
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  if (avx2) return log_row_avx2(in, out, count);
  log_row_plain(in, out, count);
}
#else
void log_row(const float* in, double* out, std::size_t count) {
  log_row_plain(in, out, count);
}
#endif

// Design rows: b0 volumes (intercept only), then the shell's volumes.
Eigen::MatrixXd design_matrix(const GradientTable& table, std::span<const std::uint64_t> b0,
                              std::span<const std::uint64_t> shell) {
  Eigen::MatrixXd x = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(b0.size() + shell.size()), 7);
  Eigen::Index row = 0;
  for (std::size_t k = 0; k < b0.size(); ++k)
    x(row++, 0) = 1.0;
  for (const std::uint64_t v : shell) {
    const Vec3& d = table.directions()[v];
    const double n = norm(d);
    const Vec3 g = n > min_direction_length ? Vec3{d[0] / n, d[1] / n, d[2] / n} : Vec3{0, 0, 0};
    const double b = table.bvals()[v];
    x.row(row++) << 1.0, -b * g[0] * g[0], -b * g[1] * g[1], -b * g[2] * g[2],
        -2.0 * b * g[0] * g[1], -2.0 * b * g[0] * g[2], -2.0 * b * g[1] * g[2];
  }
  return x;
}

// Four doubles in one register where the machine has them (two SSE2 halves otherwise).
using Lanes = double __attribute__((vector_size(32)));

// Adds to the six coefficient sums of `count` voxels, coefficients[k * stride + v], the terms
// of the rows j in order: weights[j * 6 + k] * logs[j * block_voxels + v]. Four voxels at a time
// with their six sums held in registers; each sum is the same sequence of separately rounded
// multiplies and adds as the plain loop, so the result does not depend on the build target nor
// on how the rows were split between calls. Inlined into one caller per instruction set.
[[gnu::always_inline]] inline void coefficient_body(const double* weights, const double* logs,
                                                    std::size_t rows, std::size_t count,
                                                    double* coefficients, std::size_t stride) {
  std::size_t v = 0;
  for (; v + 4 <= count; v += 4) {
    std::array<Lanes, 6> sum{};
    for (std::size_t k = 0; k < 6; ++k)
      std::memcpy(&sum[k], coefficients + k * stride + v, sizeof(Lanes));
    for (std::size_t j = 0; j < rows; ++j) {
      Lanes in;
      std::memcpy(&in, logs + j * block_voxels + v, sizeof(in));
      const double* w = weights + j * 6;
      for (std::size_t k = 0; k < 6; ++k)
        sum[k] += w[k] * in;
    }
    for (std::size_t k = 0; k < 6; ++k)
      std::memcpy(coefficients + k * stride + v, &sum[k], sizeof(Lanes));
  }
  for (; v < count; ++v) {
    std::array<double, 6> sum{};
    for (std::size_t k = 0; k < 6; ++k)
      sum[k] = coefficients[k * stride + v];
    for (std::size_t j = 0; j < rows; ++j) {
      for (std::size_t k = 0; k < 6; ++k)
        sum[k] += weights[j * 6 + k] * logs[j * block_voxels + v];
    }
    for (std::size_t k = 0; k < 6; ++k)
      coefficients[k * stride + v] = sum[k];
  }
}

// Chosen when first called rather than by an ifunc resolver, which would run before the
// sanitizers' runtimes are up.
void coefficient_block_plain(const double* weights, const double* logs, std::size_t rows,
                             std::size_t count, double* coefficients, std::size_t stride) {
  coefficient_body(weights, logs, rows, count, coefficients, stride);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void coefficient_block_avx2(const double* weights, const double* logs,
                                                    std::size_t rows, std::size_t count,
                                                    double* coefficients, std::size_t stride) {
  coefficient_body(weights, logs, rows, count, coefficients, stride);
}
#endif

void coefficient_block(const double* weights, const double* logs, std::size_t rows,
                       std::size_t count, double* coefficients, std::size_t stride) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  if (avx2) return coefficient_block_avx2(weights, logs, rows, count, coefficients, stride);
#endif
  coefficient_block_plain(weights, logs, rows, count, coefficients, stride);
}

}  // namespace

Result<TensorDesign> tensor_design(const GradientTable& table,
                                   std::span<const std::uint64_t> b0_indices,
                                   std::span<const std::uint64_t> shell_indices) {
  if (shell_indices.empty()) return fail(Error::dti_fit("no DWI volumes in the working shell"));
  for (const auto list : {b0_indices, shell_indices}) {
    for (const std::uint64_t v : list) {
      if (v >= table.size()) {
        return fail(Error::dti_fit(
            fmt::format("volume {} is outside the {}-volume table", v, table.size())));
      }
    }
  }
  const Eigen::MatrixXd x = design_matrix(table, b0_indices, shell_indices);
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(x, Eigen::ComputeThinU | Eigen::ComputeThinV);
  if (svd.info() != Eigen::Success) {
    return fail(Error::dti_fit("singular design matrix: the SVD did not converge"));
  }
  Eigen::VectorXd inverse_sigma = svd.singularValues();
  for (Eigen::Index k = 0; k < inverse_sigma.size(); ++k) {
    inverse_sigma(k) = inverse_sigma(k) > min_singular_value ? 1.0 / inverse_sigma(k) : 0.0;
  }
  const Eigen::MatrixXd pinv =
      svd.matrixV() * inverse_sigma.asDiagonal() * svd.matrixU().transpose();
  // The design's own columns run b0 first; the rows are taken in volume order, the order a
  // stream delivers them.
  std::vector<std::pair<std::uint64_t, Eigen::Index>> order;
  for (const std::uint64_t v : b0_indices)
    order.emplace_back(v, static_cast<Eigen::Index>(order.size()));
  for (const std::uint64_t v : shell_indices)
    order.emplace_back(v, static_cast<Eigen::Index>(order.size()));
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  TensorDesign design;
  design.weights.reserve(order.size() * 6);
  for (const auto& [volume, column] : order) {
    design.volumes.push_back(volume);
    for (Eigen::Index k = 1; k <= 6; ++k)
      design.weights.push_back(pinv(k, column));
  }
  return design;
}

void add_tensor_rows(const TensorDesign& design, std::size_t first_row,
                     std::span<const float* const> samples, std::size_t begin, std::size_t end,
                     TensorSums& sums) {
  // Eight rows of one block's logs at a time: 16 KiB, in the first-level cache.
  constexpr std::size_t group = 8;
  std::array<double, group * block_voxels> logs;
  for (std::size_t start = begin; start < end; start += block_voxels) {
    const std::size_t count = std::min(block_voxels, end - start);
    for (std::size_t r = 0; r < samples.size(); r += group) {
      const std::size_t rows = std::min(group, samples.size() - r);
      for (std::size_t j = 0; j < rows; ++j)
        log_row(samples[r + j] + start, logs.data() + j * block_voxels, count);
      coefficient_block(design.weights.data() + (first_row + r) * 6, logs.data(), rows, count,
                        sums.data() + start, sums.voxels);
    }
  }
}

std::size_t tile_count(const GridShape& shape) noexcept {
  return shape[2] * ((shape[1] + tile_rows - 1) / tile_rows);
}

namespace {

// A field of `shape` with its arrays sized but unwritten: solving every tile writes them all.
TensorField empty_field(const GridShape& shape) {
  const std::size_t n = voxel_count(shape);
  TensorField field;
  field.shape = shape;
  field.v1.resize(n);
  field.fa.resize(n);
  field.s0.resize(n);
  field.valid.resize(n);
  return field;
}

}  // namespace

TileSolver::TileSolver(const TileInputs& in)
    : in_(in),
      logs_(in.sums == nullptr ? in.rows.size() * block_voxels : 0),
      s_ref_(block_voxels),
      coefficients_(in.sums == nullptr ? 6 * block_voxels : 0) {}

// The same block of the next tile lies a plane further on, where the hardware prefetcher does
// not look, so its inputs are asked for while this block is solved.
void TileSolver::prefetch_next(std::size_t start, std::size_t count, std::size_t n) const {
  if (start + count > n) return;
  constexpr std::size_t line_doubles = 64 / sizeof(double);
  constexpr std::size_t line_floats = 64 / sizeof(float);
  if (in_.sums != nullptr) {
    for (std::size_t k = 0; k < 6; ++k)
      for (std::size_t v = 0; v < count; v += line_doubles)
        __builtin_prefetch(in_.sums + k * n + start + v);
  } else {
    for (const float* row : in_.rows)
      for (std::size_t v = 0; v < count; v += line_floats)
        __builtin_prefetch(row + start + v);
  }
  for (const float* volume : in_.reference)
    for (std::size_t v = 0; v < count; v += line_floats)
      __builtin_prefetch(volume + start + v);
}

// A tile is `tile_rows` consecutive x-rows at one z, one run of storage in every volume, so a
// volume is read in runs of that many rows, in blocks that run across the rows' ends. The next tile
// is the next z over the same rows: the field's lines a tile writes (each holds neighbours in z)
// are still in cache when the tiles after it fill them, where writing voxels in storage order would
// leave each line for a whole plane.
void TileSolver::solve(std::size_t tile, TensorField& field) {
  const auto [nx, ny, nz] = in_.shape;
  const std::size_t n = nx * ny * nz;
  const std::size_t rows = in_.rows.size();
  const double n_reference = static_cast<double>(in_.reference.size());
  const std::size_t zi = tile % nz;
  const std::size_t y_begin = (tile / nz) * tile_rows;
  const std::size_t begin = nx * (y_begin + ny * zi);
  const std::size_t end = nx * (std::min(ny, y_begin + tile_rows) + ny * zi);
  // The grid position of the next voxel to write.
  std::size_t x_next = 0;
  std::size_t y_next = y_begin;
  for (std::size_t start = begin; start < end; start += block_voxels) {
    const std::size_t count = std::min(block_voxels, end - start);
    prefetch_next(start + nx * ny, count, n);
    // 1. Reference signals, one volume at a time: each pass streams a contiguous run of one
    //    volume instead of hopping between volumes per voxel.
    std::fill_n(s_ref_.begin(), count, 0.0);
    for (const float* volume : in_.reference) {
      const float* v = volume + start;
      for (std::size_t k = 0; k < count; ++k)
        s_ref_[k] += v[k];
    }
    // Background blocks (every voxel below the signal floor) need no fit at all.
    const bool any_fitted = std::any_of(s_ref_.begin(), s_ref_.begin() + count, [&](double s) {
      return !(s / n_reference < in_.min_signal);
    });
    // 2. The six tensor coefficients of every voxel: summed on the way in, or from the log
    //    signals row by row.
    const double* coefficient = in_.sums != nullptr ? in_.sums + start : coefficients_.data();
    const std::size_t stride = in_.sums != nullptr ? n : block_voxels;
    if (any_fitted && in_.sums == nullptr) {
      for (std::size_t j = 0; j < rows; ++j)
        log_row(in_.rows[j] + start, logs_.data() + j * block_voxels, count);
      std::fill(coefficients_.begin(), coefficients_.end(), 0.0);
      coefficient_block(in_.design->weights.data(), logs_.data(), rows, count, coefficients_.data(),
                        block_voxels);
    }
    // 3. One eigendecomposition per fitted voxel, four side by side.
    std::array<VoxelFit, 4> fits{};
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t out = (x_next * ny + y_next) * nz + zi;
      if (++x_next == nx) {
        x_next = 0;
        ++y_next;
      }
      const double reference_signal = s_ref_[k] / n_reference;
      field.s0[out] = reference_signal;
      if (k % 4 == 0 && any_fitted) {
        if (k + 4 <= count) {
          fits = fit_voxels4(coefficient + k, stride);
        } else {
          for (std::size_t lane = 0; k + lane < count; ++lane)
            fits[lane] = fit_voxel(coefficient + k + lane, stride);
        }
      }
      // Every voxel is written, so the field needs no zeros beforehand.
      const VoxelFit& fit = fits[k % 4];
      const bool kept = !(reference_signal < in_.min_signal) && fit.valid;
      field.v1[out] = kept ? fit.v1 : Vec3{0.0, 0.0, 0.0};
      field.fa[out] = kept ? fit.fa : 0.0;
      field.valid[out] = kept ? 1 : 0;
    }
  }
}

Result<TensorField> fit_dti(const ImageArray& image, const GradientTable& table,
                            std::span<const std::uint64_t> b0_indices,
                            std::span<const std::uint64_t> shell_indices, double min_signal,
                            TensorSums* streamed) {
  if (image.rank() != 4) {
    return fail(Error::dti_fit(fmt::format("expected 4-D DWI, got {}-D", image.rank())));
  }
  if (shell_indices.empty()) return fail(Error::dti_fit("no DWI volumes in the working shell"));
  const std::size_t volumes = image.dim(3);
  for (const auto list : {b0_indices, shell_indices}) {
    for (const std::uint64_t v : list) {
      if (v >= volumes || v >= table.size()) {
        return fail(Error::dti_fit(
            fmt::format("volume {} is outside the {}-volume image and table", v, volumes)));
      }
    }
  }
  auto made = tensor_design(table, b0_indices, shell_indices);
  if (!made) return fail(made.error());
  const TensorDesign& design = *made;

  const GridShape shape{image.dim(0), image.dim(1), image.dim(2)};
  const std::size_t n = voxel_count(shape);
  const bool use_streamed = streamed != nullptr && streamed->voxels == n &&
                            streamed->storage.size() >= 6 * n * sizeof(double) &&
                            streamed->design == design;
  const std::span<const std::uint64_t> reference = b0_indices.empty() ? shell_indices : b0_indices;
  // Where the reference volumes, and the rows unless summed on the way, lie in the image.
  const auto samples_of =
      [&](std::span<const std::uint64_t> list) -> Result<std::vector<const float*>> {
    std::vector<const float*> out;
    for (const std::uint64_t v : list) {
      if (image.volume(v) == nullptr) {
        return fail(Error::dti_fit(fmt::format("volume {} of the image was not read", v)));
      }
      out.push_back(image.volume(v));
    }
    return out;
  };
  auto reference_rows = samples_of(reference);
  if (!reference_rows) return fail(reference_rows.error());
  auto rows = use_streamed ? Result<std::vector<const float*>>{} : samples_of(design.volumes);
  if (!rows) return fail(rows.error());
  // The field the stream made is taken over, with the tiles its idle tail already solved when
  // they come from these very inputs.
  std::size_t first_tile = 0;
  TensorField field;
  if (use_streamed && streamed->field.shape == shape &&
      (streamed->tiles_solved == 0 ||
       (streamed->solved_min_signal == min_signal &&
        std::ranges::equal(streamed->solved_reference, reference)))) {
    field = std::exchange(streamed->field, TensorField{});
    first_tile = std::exchange(streamed->tiles_solved, 0);
  } else {
    field = empty_field(shape);
  }

  const TileInputs inputs{
      shape,     &design, *rows, *reference_rows, use_streamed ? streamed->data() : nullptr,
      min_signal};
  const std::size_t tiles = tile_count(shape);
  const interrupt::Token token = interrupt::Token::current();
  const auto run = [&](std::size_t first, std::size_t last) {
    // Per-task scratch, reused by every tile of the task.
    TileSolver solver(inputs);
    for (std::size_t c = first; c < last; ++c) {
      if (token.stop_requested()) return;
      solver.solve(first_tile + c, field);
    }
  };
  // Each task writes the same values to its own voxels however often it runs.
  pool::run_chunks(tiles - std::min(first_tile, tiles), 1, run);
  if (token.stopped()) return fail(interrupt::error());
  return field;
}

namespace {

// Values per task of the threshold's and the proxy's passes; a multiple of the bits in a word
// of a Mask, so no two tasks write the same word.
constexpr std::size_t otsu_chunk = 65536;

std::size_t chunks_of(std::size_t n) {
  return (n + otsu_chunk - 1) / otsu_chunk;
}

// The position of `v` among 256 bins over [lo, hi]. An infinite end of the range makes the
// scale 0 and the position NaN: the top value still goes in the top bin, and nothing is ever
// cast from NaN to an index.
std::size_t otsu_bin(double v, double lo, double hi, double scale) {
  const double at = scale * (v - lo);
  if (v >= hi || at >= 255.0) return 255;
  return at > 0.0 ? static_cast<std::size_t>(std::floor(at)) : 0;
}

}  // namespace

// The range and the histogram are made by chunks on the pool and merged: comparisons and
// integer counts merge exactly, so the threshold does not depend on the chunking.
double otsu_threshold(std::span<const double> values) {
  if (values.empty()) return 0.0;
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::size_t chunks = chunks_of(values.size());
  const auto chunk = [&](std::size_t c) {
    return values.subspan(c * otsu_chunk)
        .first(std::min(otsu_chunk, values.size() - c * otsu_chunk));
  };
  // A NaN compares false both ways and is passed over, as fmin and fmax pass it over.
  std::vector<std::pair<double, double>> ranges(chunks, {inf, -inf});
  pool::run_chunks(chunks, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      double lo = inf;
      double hi = -inf;
      for (const double v : chunk(c)) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
      }
      ranges[c] = {lo, hi};
    }
  });
  double lo = inf;
  double hi = -inf;
  for (const auto& [chunk_lo, chunk_hi] : ranges) {
    lo = chunk_lo < lo ? chunk_lo : lo;
    hi = chunk_hi > hi ? chunk_hi : hi;
  }
  if (!(hi > lo)) return lo;
  const double scale = 256.0 / (hi - lo);
  std::vector<std::array<std::uint64_t, 256>> histograms(chunks);
  pool::run_chunks(chunks, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      std::array<std::uint64_t, 256> counts{};
      for (const double v : chunk(c)) {
        ++counts[otsu_bin(v, lo, hi, scale)];
      }
      histograms[c] = counts;
    }
  });
  std::array<std::uint64_t, 256> histogram{};
  for (const auto& counts : histograms) {
    for (std::size_t t = 0; t < 256; ++t)
      histogram[t] += counts[t];
  }
  const auto total = static_cast<double>(values.size());
  double sum_all = 0.0;
  for (std::size_t t = 0; t < 256; ++t)
    sum_all += static_cast<double>(t * histogram[t]);
  double w0 = 0.0;
  double sum0 = 0.0;
  double best = -1.0;
  std::size_t t_best = 0;
  for (std::size_t t = 0; t < 256; ++t) {
    w0 += static_cast<double>(histogram[t]);
    if (w0 == 0.0) continue;
    const double w1 = total - w0;
    if (w1 == 0.0) break;
    sum0 += static_cast<double>(t * histogram[t]);
    const double m0 = sum0 / w0;
    const double m1 = (sum_all - sum0) / w1;
    const double between = w0 * w1 * (m0 - m1) * (m0 - m1);
    if (between > best) {
      best = between;
      t_best = t;
    }
  }
  return lo + (static_cast<double>(t_best) + 0.5) / scale;
}

Mask TensorField::wm_proxy(double fa_threshold) const {
  const double threshold = otsu_threshold(s0);
  Mask mask(s0.size(), false);
  pool::run_chunks(chunks_of(s0.size()), 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first * otsu_chunk; i < std::min(s0.size(), last * otsu_chunk); ++i)
      mask[i] = valid[i] != 0 && fa[i] >= fa_threshold && s0[i] >= threshold;
  });
  return mask;
}

}  // namespace quorvex_core
