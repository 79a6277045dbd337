// The dataset audit: every discovered run audited in turn into its own report file under
// <root>/derivatives/quorvex/, then the dataset summary beside them.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex/io/bids.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/status.hpp"

namespace quorvex_core::bids_batch {

/// What the batch call hands to every run. Each run replaces the detector's step and frame map
/// with its own, from its image.
struct BatchOptions {
  pipeline::PipelineOptions pipeline;
  /// The probe step for every run; absent lets each run derive it from its voxel size.
  std::optional<double> step;
  /// Adds the confirmed verdict to each run's report and makes its status the run's status.
  bool confirmed = false;
};

/// One audited run.
struct BatchItem {
  std::string name;
  /// The image path as walked (bytes, not display text).
  std::string dwi;
  Status status = Status::Pass;
};

struct BatchOutcome {
  std::string summary_path;
  /// In audit (discovery) order.
  std::vector<BatchItem> items;
  /// The highest run status.
  Status status = Status::Pass;
};

/// Failures of the batch are the one line the caller shows, already formatted.
template <class T>
using Outcome = std::expected<T, std::string>;

/// The run's report name: the file-name part of its run base as display text, "dwi" when the
/// image has no run base.
[[nodiscard]] std::string run_name(const io::bids::DwiEntry& entry);

/// The output folder of a dataset: `root`/derivatives/quorvex.
[[nodiscard]] std::string output_folder(std::string_view root);

/// Audits one run: its FSL table, its image, the first mask candidate on the image's grid (a
/// candidate that cannot be read or has another voxel count is passed over), the input records
/// (bvec, bval, chosen mask), the audit pipeline with this run's frame map and step, and the
/// sidecar note. Writes "<run name>_report.json" into `folder` (replacing any earlier one
/// old-or-new; a symbolic link at that name is refused, never written through) and returns the
/// report's status. On failure, "<run name>: " and the core error's display text, with the file
/// in between ("<run name>: <file>: <text>") for a file that could not be read or written; no
/// report file is written for a run that fails before that, and a report file that cannot be
/// created is the `Io` text, one that cannot be written the `Json` text.
[[nodiscard]] Outcome<Status> audit_entry(const std::string& folder,
                                          const io::bids::DwiEntry& entry,
                                          std::string_view run_name, const BatchOptions& options);

/// The pretty dataset summary: keys in alphabetical order, results in audit order.
[[nodiscard]] std::string summary_json(std::string_view root, std::size_t n_runs,
                                       const std::vector<BatchItem>& items, Status status);

/// A discovered dataset, ready for its runs to be audited.
struct Dataset {
  /// The output folder, already created.
  std::string folder;
  /// In discovery (path) order; never empty.
  std::vector<io::bids::DwiEntry> entries;
};

/// The steps of `run` before the first audit: discovery, refusing a dataset without runs, and
/// creating the output folder, which must resolve to a folder inside the resolved root
/// ("refusing to write outside the dataset: <folder> resolves to <path>"). Fails with the same
/// texts as `run`.
[[nodiscard]] Outcome<Dataset> prepare(const std::string& root);

/// The step of `run` after the last audit: the overall status of `items` (in audit order) and
/// the summary file in the dataset's output folder, `n_runs` being the number of discovered
/// runs. Fails with the operating system's text when the summary cannot be written, and as
/// `prepare` when the output folder no longer resolves inside the dataset.
[[nodiscard]] Outcome<BatchOutcome> finish(std::string_view root, std::size_t n_runs,
                                           std::vector<BatchItem> items);

/// The whole dataset: discovery, the output folder, each run in discovery order, then the
/// summary file. Stops at the first failing run with its text: reports already written stay and
/// no summary is written. Other failures: the operating system's text of a failed walk, folder
/// creation or summary write, or "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found
/// under <root>". The same as `prepare`, `audit_entry` for each entry in order, then `finish`:
/// callers that spread the runs over other threads or processes use those steps directly.
[[nodiscard]] Outcome<BatchOutcome> run(const std::string& root, const BatchOptions& options);

}  // namespace quorvex_core::bids_batch
