// The dataset audit loop, the per-run audit with its mask search and sidecar note, and the
// dataset summary.
#include "quorvex/bids_batch.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "quorvex/frame.hpp"
#include "quorvex/input_file.hpp"
#include "quorvex/io/file.hpp"
#include "quorvex/io/table_loader.hpp"
#include "quorvex/json.hpp"
#include "quorvex/report.hpp"
#include "quorvex/text.hpp"
#include "quorvex/volume.hpp"
#include "quorvex/volume_plan.hpp"
#include "quorvex/volume_stream.hpp"

namespace quorvex_core::bids_batch {
namespace {

using io::bids::DwiEntry;

std::unexpected<std::string> failure(const Error& error) {
  return std::unexpected(error.display());
}

// Walk, folder and summary failures are shown as the operating system put them, without the
// kind's prefix that a single run's failure keeps.
std::unexpected<std::string> os_failure(const Error& error) {
  constexpr std::string_view prefix = "I/O error: ";
  std::string text = error.display();
  if (text.starts_with(prefix)) text.erase(0, prefix.size());
  return std::unexpected(std::move(text));
}

bool is_folder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The folder holding `path`, trailing separators ignored; empty when there is none.
std::string parent_folder(const std::string& path) {
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return {};
  return path.substr(0, slash == 0 ? 1 : slash);
}

// `path` and any missing parents (mode 0777 before the creation mask); an existing folder is
// fine, an existing file is not.
Result<void> create_folders(const std::string& path) {
  if (path.empty() || ::mkdir(path.c_str(), 0777) == 0) return {};
  int code = errno;
  if (const std::string parent = parent_folder(path); code == ENOENT && !parent.empty()) {
    if (auto made = create_folders(parent); !made) return made;
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    code = errno;
  }
  if (code == EEXIST && is_folder(path)) return {};
  return fail(Error::io_errno(code));
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

// A folder we may not write into is an I/O problem; a write cut short is the document's. So the
// file is created first on its own.
Result<void> write_report(const Report& report, const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::io_errno(errno));
  ::close(fd);
  return write_pretty(report, path);
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
  auto table = io::read_fsl_pair(entry.bvec, entry.bval);
  if (!table) return failure(table.error());
  // Only the volumes the audit looks at are read.
  const std::vector<std::size_t> used = pipeline::volumes_used(*table, options.pipeline);
  auto read = stream_volume(entry.dwi, used);
  if (!read) return failure(read.error());
  const ImageArray& image = read->image;
  const VolumeInfo& info = read->info;

  pipeline::PipelineOptions run_options = options.pipeline;
  run_options.flip_options.frame_map = voxel_frame_map(/*from_grad=*/false, info);
  run_options.flip_options.step = pipeline::default_step(options.step, info);

  const auto mask = first_fitting_mask(entry.masks, voxels_per_volume(info));
  std::vector<InputFile> inputs;
  for (const std::string* path : {&entry.bvec, &entry.bval, mask ? &mask->path : nullptr}) {
    if (path == nullptr) break;
    auto record = InputFile::of(*path);
    if (!record) return failure(record.error());
    inputs.push_back(std::move(*record));
  }

  auto report =
      pipeline::audit(*table, &image, mask ? &mask->mask : nullptr, std::move(inputs), run_options);
  if (!report) return failure(report.error());
  if (entry.sidecar) {
    // A sidecar is informational: one that cannot be read or understood adds nothing.
    if (const auto sidecar = io::bids::BidsSidecar::read(*entry.sidecar)) {
      if (auto note = sidecar->note()) *report = std::move(*report).with_note(std::move(*note));
    }
  }
  const std::string path = io::bids::join(folder, fmt::format("{}_report.json", run_name));
  if (auto written = write_report(*report, path); !written) return failure(written.error());
  return report->status;
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
  if (auto made = create_folders(dataset.folder); !made) return os_failure(made.error());
  return dataset;
}

Outcome<BatchOutcome> finish(std::string_view root, std::size_t n_runs,
                             std::vector<BatchItem> items) {
  BatchOutcome outcome;
  for (const BatchItem& item : items)
    outcome.status = std::max(outcome.status, item.status);
  outcome.items = std::move(items);
  outcome.summary_path = io::bids::join(output_folder(root), "dataset_summary.json");
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
