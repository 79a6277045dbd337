// The dataset audit loop, the per-run audit with its mask search and sidecar note, and the
// dataset summary.
#include "quorvex/bids_batch.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "io/file.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/documents/table_loader.hpp"
#include "quorvex/frame.hpp"
#include "quorvex/input_file.hpp"
#include "quorvex/json.hpp"
#include "quorvex/pipeline_confirm.hpp"
#include "quorvex/text.hpp"
#include "quorvex/volume.hpp"
#include "quorvex/volume_plan.hpp"

namespace quorvex_core::bids_batch {
namespace {

using io::bids::DwiEntry;

// Walk, folder and summary failures are shown as the operating system put them, without the
// kind's prefix that a single run's failure keeps.
std::unexpected<std::string> os_failure(const Error& error) {
  return std::unexpected(error.kind() == ErrorKind::Io ? error.without_kind() : error.display());
}

std::size_t voxels_per_volume(const VolumeInfo& info) {
  std::size_t voxels = 1;
  for (std::size_t axis = 0; axis < 3 && axis < info.dims.size(); ++axis)
    voxels *= info.dims[axis];
  return voxels;
}

struct ChosenMask {
  std::string path;
  Mask mask;
};

// Masks in a dataset folder are often for another space (T1w, a template), so a candidate that
// does not fit this image is passed over rather than failing the run.
std::optional<ChosenMask> first_fitting_mask(const std::vector<std::string>& candidates,
                                             std::size_t voxels) {
  for (const std::string& path : candidates) {
    auto mask = read_mask(path);
    if (mask && mask->size() == voxels) return ChosenMask{path, std::move(*mask)};
  }
  return std::nullopt;
}

// A run's failure names the run and, for a file that could not be read or written, the file
// (a parse failure names its file already).
std::unexpected<std::string> run_failure(std::string_view run, const std::string& file,
                                         const Error& error) {
  const ErrorKind kind = error.kind();
  if (kind == ErrorKind::Io || kind == ErrorKind::Nifti || kind == ErrorKind::Json) {
    return std::unexpected(fmt::format("{}: {}: {}", run, display_text(file), error.display()));
  }
  return std::unexpected(fmt::format("{}: {}", run, error.display()));
}

// A `derivatives` or `quorvex` folder that is a link out of the dataset would have every report
// written elsewhere; the output folder must resolve to a folder below the resolved root.
Result<void> inside_dataset(const std::string& root, const std::string& folder) {
  const auto real_root = io::real_path(root);
  const auto real_folder = io::real_path(folder);
  if (!real_root || !real_folder) return fail(Error::io_errno(errno));
  const std::string prefix = *real_root == "/" ? "/" : *real_root + "/";
  if (real_folder->starts_with(prefix)) return {};
  return fail(
      Error::io_message(fmt::format("refusing to write outside the dataset: {} resolves to {}",
                                    display_text(folder), display_text(*real_folder))));
}

}  // namespace

std::string run_name(const DwiEntry& entry) {
  const auto base = io::bids::nifti_base(entry.dwi);
  if (!base) return "dwi";
  const std::size_t slash = base->rfind('/');
  return display_text(slash == std::string::npos ? *base
                                                 : std::string_view(*base).substr(slash + 1));
}

std::string output_folder(std::string_view root) {
  return io::bids::join(io::bids::join(root, "derivatives"), "quorvex");
}

Outcome<Status> audit_entry(const std::string& folder, const DwiEntry& entry,
                            std::string_view run_name, const BatchOptions& options) {
  std::string table_file;
  auto table = read_fsl_pair(entry.bvec, entry.bval, &table_file);
  if (!table) return run_failure(run_name, table_file, table.error());
  // Only the volumes the audit looks at are read, and the fit is summed on the way.
  auto read = pipeline::read_for_audit(entry.dwi, *table, options.pipeline);
  if (!read) return run_failure(run_name, entry.dwi, read.error());
  const ImageArray& image = read->volume.image;
  const VolumeInfo& info = read->volume.info;

  pipeline::PipelineOptions run_options = options.pipeline;
  run_options.flip_options.streamed_fit = std::move(read->fit);
  run_options.flip_options.frame_map = FrameMaps::resolve(InputFormat::Fsl, info).to_voxel();
  run_options.flip_options.step = pipeline::default_step(options.step, info);

  const auto mask = first_fitting_mask(entry.masks, voxels_per_volume(info));
  std::vector<InputFile> inputs;
  for (const std::string* path : {&entry.bvec, &entry.bval, mask ? &mask->path : nullptr}) {
    if (path == nullptr) break;
    auto record = InputFile::of(*path);
    if (!record) return run_failure(run_name, *path, record.error());
    inputs.push_back(std::move(*record));
  }

  const Mask* run_mask = mask ? &mask->mask : nullptr;
  Result<Report> report = fail(Error::no_usable_shell());
  if (options.confirmed) {
    auto run = pipeline::audit_confirmed(*table, image, info, run_mask, std::move(inputs),
                                         run_options, false);
    if (!run) return run_failure(run_name, entry.dwi, run.error());
    report = std::move(run->run.report);
    report->confirmed = std::move(run->confirmation);
    report->confirmed_status = run->status;
  } else {
    report = pipeline::audit(*table, &image, run_mask, std::move(inputs), run_options);
  }
  if (!report) return run_failure(run_name, entry.dwi, report.error());
  if (entry.sidecar) {
    // A sidecar is informational: one that cannot be read or understood adds nothing.
    if (const auto sidecar = io::bids::BidsSidecar::read(*entry.sidecar)) {
      if (auto note = sidecar->note()) *report = std::move(*report).with_note(std::move(*note));
    }
  }
  const std::string path = io::bids::join(folder, fmt::format("{}_report.json", run_name));
  // Written old-or-new, never through a link planted at the report's name.
  if (auto written = write_pretty(*report, path); !written) {
    return run_failure(run_name, path, written.error());
  }
  return report->confirmed_status.value_or(report->status);
}

std::string summary_json(std::string_view root, std::size_t n_runs,
                         const std::vector<BatchItem>& items, Status status) {
  json::Writer w(json::Layout::Pretty);
  w.begin_object();
  w.key("bids_root").string(display_text(root));
  w.key("n_datasets").integer(n_runs);
  w.key("results").begin_array();
  for (const BatchItem& item : items) {
    w.begin_object();
    w.key("dwi").string(display_text(item.dwi));
    w.key("name").string(item.name);
    w.key("status").string(status_text(item.status));
    w.end_object();
  }
  w.end_array();
  w.key("status").string(status_text(status));
  w.key("tool").string("quorvex");
  w.end_object();
  return w.take();
}

Outcome<Dataset> prepare(const std::string& root) {
  auto entries = io::bids::discover(root);
  if (!entries) return os_failure(entries.error());
  if (entries->empty()) {
    return std::unexpected(
        fmt::format("no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under {}",
                    display_text(root)));
  }
  Dataset dataset{output_folder(root), std::move(*entries)};
  // Each level is checked before anything is created inside it.
  for (const std::string& folder : {io::bids::join(root, "derivatives"), dataset.folder}) {
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
      return os_failure(Error::io_errno(errno));
    }
    if (auto inside = inside_dataset(root, folder); !inside) return os_failure(inside.error());
  }
  return dataset;
}

Outcome<BatchOutcome> finish(std::string_view root, std::size_t n_runs,
                             std::vector<BatchItem> items) {
  BatchOutcome outcome;
  for (const BatchItem& item : items)
    outcome.status = std::max(outcome.status, item.status);
  outcome.items = std::move(items);
  const std::string folder = output_folder(root);
  if (auto inside = inside_dataset(std::string(root), folder); !inside) {
    return os_failure(inside.error());
  }
  outcome.summary_path = io::bids::join(folder, "dataset_summary.json");
  const std::string summary = summary_json(root, n_runs, outcome.items, outcome.status);
  if (auto written = io::write_file(outcome.summary_path, summary); !written) {
    return os_failure(written.error());
  }
  return outcome;
}

Outcome<BatchOutcome> run(const std::string& root, const BatchOptions& options) {
  auto dataset = prepare(root);
  if (!dataset) return std::unexpected(std::move(dataset.error()));
  std::vector<BatchItem> items;
  items.reserve(dataset->entries.size());
  for (const DwiEntry& entry : dataset->entries) {
    std::string name = run_name(entry);
    auto status = audit_entry(dataset->folder, entry, name, options);
    if (!status) return std::unexpected(std::move(status.error()));
    items.push_back({std::move(name), entry.dwi, *status});
  }
  return finish(root, dataset->entries.size(), std::move(items));
}

}  // namespace quorvex_core::bids_batch
