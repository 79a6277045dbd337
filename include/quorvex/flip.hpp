// The flip detector: fit once on a working shell, score the 48 signed axis permutations by
// fibre coherence, and turn the margin between the best two into a verdict.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorvex/error.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/shell.hpp"
#include "quorvex/status.hpp"
#include "quorvex/tensor.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core {

/// The detector's settings; the entries fill them from the call and the image.
struct FlipOptions {
  double b0_threshold = default_b0_threshold;
  double tolerance = default_shell_tolerance;
  /// Voxels with a lower mean b0 signal are not fitted.
  double min_signal = 1.0;
  /// FA threshold of the white-matter proxy and its fallback.
  double fa_threshold = 0.2;
  /// Coherence probe length in voxels.
  double step = 1.0;
  /// Relative margin needed for a FLAG verdict.
  double min_relative_margin = 0.02;
  /// Carries table directions onto the voxel axes.
  Mat3 frame_map = identity_matrix;
  /// The fit's sums made while the image was read; used when they are of the fit's own design
  /// (and the tiles solved on the way handed over to the first fit that can use them).
  std::shared_ptr<TensorSums> streamed_fit;
};

/// One scored candidate transform.
struct CandidateScore {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  double coherence = 0.0;
  std::uint64_t n_samples = 0;
};

/// The verdict of one detection, with the full ranking.
struct FlipResult {
  double working_b = 0.0;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
  /// All candidates, highest coherence first.
  std::vector<CandidateScore> ranking;
  CandidateScore best;
  CandidateScore runner_up;
  double identity_coherence = 0.0;
  double margin = 0.0;
  double relative_margin = 0.0;
  Status decision = Status::Pass;
  /// Set only for a FLAG decision.
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
};

/// What a detection leaves for display: the fitted field, the coherence mask and the frame map.
struct GlyphData {
  TensorField field;
  Mask mask;
  Mat3 frame_map{};
};

/// One detection with everything its callers may want: the verdict, the two stage timings
/// (fit with masking, and the ranking) and the glyph data.
struct Detection {
  FlipResult result;
  std::chrono::nanoseconds fit{0};
  std::chrono::nanoseconds coherence{0};
  GlyphData glyphs;
};

/// The fitted field with the voxels coherence is judged on.
struct FitAndMask {
  TensorField field;
  Mask mask;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
};

/// Fits the tensor on the b0 volumes and `shell_indices`, then takes the user mask unchanged or
/// else the white-matter proxy (falling back to valid voxels with FA >= the threshold). `DtiFit`
/// from the fit, or "no WM voxels above the FA threshold" when the mask is empty.
[[nodiscard]] Result<FitAndMask> fit_and_mask(const ImageArray& image, const GradientTable& table,
                                              const Mask* user_mask,
                                              std::span<const std::uint64_t> shell_indices,
                                              const FlipOptions& options);

/// Scores every candidate (frame map applied after it) over the mask, highest coherence first by
/// the IEEE total order; ties keep candidate order.
[[nodiscard]] std::vector<CandidateScore> rank_candidates(const TensorField& field,
                                                          const Mask& mask, const Mat3& frame_map,
                                                          double step);

/// Exactly equal, or exactly the negation.
[[nodiscard]] bool antipodal_or_equal(const Mat3& a, const Mat3& b) noexcept;

/// The verdict from a ranking: runner-up is the first entry neither equal nor antipodal to the
/// best; PASS for the identity or its antipode, else FLAG at `min_relative_margin`, else WARN.
[[nodiscard]] FlipResult assemble_result(std::uint64_t n_wm_voxels,
                                         std::vector<CandidateScore> ranking, double working_b,
                                         double mask_mean_fa, double min_relative_margin);

/// Detection on a given working shell. The caller has checked that the table length equals the
/// image's volume count and that a user mask covers the grid.
[[nodiscard]] Result<Detection> detect_flip_on_shell(const ImageArray& image,
                                                     const GradientTable& table, const Mask* mask,
                                                     const Shell& shell,
                                                     const FlipOptions& options);

/// The b-value the working shell is chosen nearest to when the caller names none.
inline constexpr double working_b_target = 1000.0;

/// Detection on the non-b0 shell nearest b = 1000 (`nearest_shell`); `NoUsableShell` without one.
[[nodiscard]] Result<Detection> detect_flip(const ImageArray& image, const GradientTable& table,
                                            const Mask* mask, const FlipOptions& options);

}  // namespace quorvex_core
