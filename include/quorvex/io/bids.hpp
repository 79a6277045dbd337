// BIDS datasets: finding the diffusion runs under a root by name and file type, and the few
// sidecar fields a run's report mentions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex/error.hpp"

namespace quorvex_core::io::bids {

/// One discovered run. Every path is the walked path (root joined with the names as found),
/// byte for byte: file names need not be valid UTF-8.
struct DwiEntry {
  std::string dwi;
  std::string bvec;
  std::string bval;
  /// Candidate brain masks from the image's folder, in path order; possibly empty.
  std::vector<std::string> masks;
  std::optional<std::string> sidecar;
};

/// `folder` joined with `name`: one separator between them, none added after an empty folder
/// or one that already ends in '/'.
[[nodiscard]] std::string join(std::string_view folder, std::string_view name);

/// Path order: component by component, each compared as a byte string, a path that is a prefix
/// of another first. So "a/b" sorts before "a-b", unlike plain byte order.
[[nodiscard]] bool path_less(std::string_view a, std::string_view b) noexcept;

/// Appends every non-folder path below `folder` (links followed; broken links and other
/// non-folders included) to `out`, in the order the file system lists them. Folders named
/// `derivatives` are never entered, at any depth. A folder reached again through a link while
/// it is still being walked is skipped, so link cycles end. A `folder` that is not a folder adds
/// nothing. `Io` when a folder cannot be listed; the walk stops there and `out` keeps what was
/// found before.
[[nodiscard]] Result<void> walk(const std::string& folder, std::vector<std::string>& out);

/// The run base of a DWI image path ("sub-01/dwi/sub-01_dwi" for
/// "sub-01/dwi/sub-01_dwi.nii.gz"), or nothing when the file name is not valid UTF-8, is
/// shorter than 2 bytes, starts with "._", or is not "<stem>_dwi.nii[.gz]" (case-sensitive).
[[nodiscard]] std::optional<std::string> nifti_base(std::string_view path);

/// Every run under `root` in path order: a DWI image with a sibling ".bvec" (else ".bvecs") and
/// ".bval" (else ".bvals") regular file, its ".json" sidecar when present and the mask
/// candidates of its folder. Looks at names and file types only; opens no file. A root that is
/// not a folder gives no runs. `Io` when the walk fails.
[[nodiscard]] Result<std::vector<DwiEntry>> discover(const std::string& root);

/// The mask candidates in `folder`: regular files (links followed) whose valid UTF-8 name, with
/// ASCII letters lower-cased, contains "mask" and ends in ".nii" or ".nii.gz"; single-byte and
/// "._" names excluded. In path order; empty when the folder cannot be listed.
[[nodiscard]] std::vector<std::string> mask_candidates(const std::string& folder);

/// The fields a run's report mentions from its JSON sidecar; informational only.
struct BidsSidecar {
  std::optional<std::string> phase_encoding_direction;
  /// Seconds.
  std::optional<double> total_readout_time;
  std::optional<std::uint32_t> multiband_acceleration_factor;

  /// The sidecar from one JSON object, or nothing when the text is not exactly one JSON value,
  /// is not an object, repeats a key in any object, or holds one of the three fields with the
  /// wrong type (an acceleration factor must be an integer from 0 to 2^32 - 1: 2.0 is refused).
  /// Absent and null fields stay absent; other keys are ignored.
  [[nodiscard]] static std::optional<BidsSidecar> parse(std::string_view text);

  /// `parse` of the file's bytes; nothing when it cannot be read either.
  [[nodiscard]] static std::optional<BidsSidecar> read(const std::string& path);

  /// "BIDS sidecar: PE=j-, TRT=0.0512s, MB=3" with only the fields present, or nothing when
  /// none is.
  [[nodiscard]] std::optional<std::string> note() const;
};

}  // namespace quorvex_core::io::bids
