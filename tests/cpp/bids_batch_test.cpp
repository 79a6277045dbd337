#include "quorvex/bids_batch.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "nifti_builder.hpp"
#include "test_support.hpp"

namespace batch = quorvex_core::bids_batch;
namespace bids = quorvex_core::io::bids;
namespace fs = std::filesystem;
using quorvex_core::Status;

namespace {

constexpr int nx = 8;
constexpr int ny = 8;
constexpr int nz = 4;
constexpr int n_directions = 12;

std::vector<std::array<double, 3>> hemisphere() {
  std::vector<std::array<double, 3>> out;
  for (int k = 0; k < n_directions; ++k) {
    const double z = 1.0 - (k + 0.5) / n_directions;
    const double r = std::sqrt(1.0 - z * z);
    const double phi = k * std::numbers::pi * (3.0 - std::sqrt(5.0));
    out.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  return out;
}

// Two b0 volumes and one shell, every voxel one fibre along x: enough for the whole audit.
std::string dwi_image() {
  std::vector<float> samples;
  const auto directions = hemisphere();
  for (int v = 0; v < 2 + n_directions; ++v) {
    const double b = v < 2 ? 0.0 : 1000.0;
    const double along = v < 2 ? 0.0 : directions[v - 2][0];
    const auto signal = static_cast<float>(1000.0 * std::exp(-b * (3e-4 + 1.4e-3 * along * along)));
    samples.insert(samples.end(), std::size_t{nx * ny * nz}, signal);
  }
  return quorvex_test::nifti_file(
      quorvex_test::make_header({nx, ny, nz, 2 + n_directions}, NIFTI_TYPE_FLOAT32, 32),
      quorvex_test::stored_bytes(samples));
}

std::string mask_image(int x, int y, int z) {
  const std::vector<std::uint8_t> ones(static_cast<std::size_t>(x * y * z), 1);
  return quorvex_test::nifti_file(quorvex_test::make_header({x, y, z}, NIFTI_TYPE_UINT8, 8),
                                  quorvex_test::stored_bytes(ones));
}

std::string bvec_text(int count = n_directions) {
  const auto directions = hemisphere();
  std::string rows;
  for (int axis = 0; axis < 3; ++axis) {
    rows += "0 0";
    for (int k = 0; k < count; ++k)
      rows += fmt::format(" {:.6f}", directions[k][axis]);
    rows += '\n';
  }
  return rows;
}

std::string bval_text() {
  std::string out = "0 0";
  for (int k = 0; k < n_directions; ++k)
    out += " 1000";
  return out + "\n";
}

// A dataset builder over a scratch folder.
class Dataset {
 public:
  [[nodiscard]] std::string root() const { return dir_.file(""); }
  [[nodiscard]] std::string path(const std::string& relative) const { return dir_.file(relative); }

  std::string write(const std::string& relative, std::string_view content) const {
    fs::create_directories(fs::path(dir_.file(relative)).parent_path());
    return dir_.write(relative, content);
  }

  // A run that audits cleanly; returns its image path.
  std::string add_run(const std::string& base) const {
    write(base + ".bvec", bvec_text());
    write(base + ".bval", bval_text());
    return write(base + ".nii", dwi_image());
  }

  [[nodiscard]] bids::DwiEntry entry(const std::string& base) const {
    auto runs = bids::discover(root());
    for (auto& run : *runs) {
      if (run.dwi == path(base + ".nii")) return run;
    }
    ADD_FAILURE() << "no run " << base;
    return {};
  }

 private:
  quorvex_test::ScratchDir dir_;
};

batch::BatchOptions default_options() {
  batch::BatchOptions options;
  return options;
}

nlohmann::json read_json(const std::string& path) {
  return nlohmann::json::parse(quorvex_test::read_all(path));
}

const char* const no_runs = "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under ";

}  // namespace

TEST(bids_batch_test, run_names_output_folder_and_summary_text) {
  EXPECT_EQ(batch::run_name({"r/sub-01/dwi/sub-01_dwi.nii.gz", "", "", {}, {}}), "sub-01_dwi");
  EXPECT_EQ(batch::run_name({"r/\xFF/x_dwi.nii", "", "", {}, {}}), "x_dwi");
  EXPECT_EQ(batch::run_name({"r/x.nii", "", "", {}, {}}), "dwi");
  EXPECT_EQ(batch::output_folder("r"), "r/derivatives/quorvex");
  EXPECT_EQ(batch::output_folder("r/"), "r/derivatives/quorvex");
  // The summary's keys are sorted and its paths displayed (its layout is json_test's).
  const std::vector<batch::BatchItem> items{{"b_dwi", "r/\xFF/b_dwi.nii", Status::Flag},
                                            {"a_dwi", "r/a_dwi.nii", Status::Pass}};
  EXPECT_EQ(
      nlohmann::ordered_json::parse(batch::summary_json("r", 2, items, Status::Flag)).dump(),
      R"({"bids_root":"r","n_datasets":2,"results":[{"dwi":"r/)"
      "\xEF\xBF\xBD"
      R"(/b_dwi.nii","name":"b_dwi",)"
      R"("status":"FLAG"},{"dwi":"r/a_dwi.nii","name":"a_dwi","status":"PASS"}],"status":"FLAG",)"
      R"("tool":"quorvex"})");
}

TEST(bids_batch_test, first_mask_on_the_image_grid_is_used_and_recorded) {
  const Dataset data;
  data.add_run("sub-01/dwi/sub-01_dwi");
  data.write("sub-01/dwi/a_mask.nii", mask_image(4, 4, 4));
  data.write("sub-01/dwi/b_mask.nii", "not an image");
  const std::string fitting = data.write("sub-01/dwi/c_mask.nii", mask_image(nx, ny, nz));
  data.write("sub-01/dwi/d_mask.nii", mask_image(nx, ny, nz));
  const auto entry = data.entry("sub-01/dwi/sub-01_dwi");
  ASSERT_EQ(entry.masks.size(), 4U);
  const std::string folder = data.path("out");
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ASSERT_TRUE(batch::audit_entry(folder, entry, "run", default_options()).has_value());
  const auto report = read_json(folder + "/run_report.json");
  ASSERT_EQ(report["inputs"].size(), 3U);
  EXPECT_EQ(report["inputs"][0]["path"], entry.bvec);
  EXPECT_EQ(report["inputs"][1]["path"], entry.bval);
  EXPECT_EQ(report["inputs"][2]["path"], fitting);

  // With no candidate on the grid the run is audited without a mask rather than failing.
  fs::remove(fitting);
  fs::remove(data.path("sub-01/dwi/d_mask.nii"));
  ASSERT_TRUE(
      batch::audit_entry(folder, data.entry("sub-01/dwi/sub-01_dwi"), "run", default_options())
          .has_value());
  EXPECT_EQ(read_json(folder + "/run_report.json")["inputs"].size(), 2U);
}

TEST(bids_batch_test, report_file_is_pretty_with_the_sidecar_note_last) {
  const Dataset data;
  data.add_run("sub-01/dwi/sub-01_dwi");
  data.write("sub-01/dwi/sub-01_dwi.json",
             R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0512})");
  const std::string report_path = data.write("run_report.json", "an older, longer report file");
  const auto status = batch::audit_entry(data.root(), data.entry("sub-01/dwi/sub-01_dwi"), "run",
                                         default_options());
  ASSERT_TRUE(status.has_value()) << status.error();
  const std::string text = quorvex_test::read_all(report_path);
  EXPECT_TRUE(text.starts_with("{\n  \"schema_version\": 1,\n  \"tool\": \"quorvex\",\n")) << text;
  EXPECT_TRUE(text.ends_with("\n}"));
  const auto report = nlohmann::json::parse(text);
  EXPECT_EQ(report["notes"].back(), "BIDS sidecar: PE=j-, TRT=0.0512s");
  EXPECT_EQ(report["status"], std::string(quorvex_core::status_text(*status)));
}

TEST(bids_batch_test, failing_runs_give_the_error_text_and_no_report) {
  const Dataset data;
  data.add_run("bad_dwi");
  const std::string bvec = data.write("bad_dwi.bvec", bvec_text(n_directions - 1));
  data.add_run("empty_dwi");
  data.write("empty_dwi.nii", "");
  data.add_run("fine_dwi");
  const std::string folder = data.path("");
  EXPECT_EQ(batch::audit_entry(folder, data.entry("bad_dwi"), "bad", default_options()).error(),
            "bad: failed to parse " + bvec + ": bvec shape does not match the b-value count");
  const auto empty =
      batch::audit_entry(folder, data.entry("empty_dwi"), "empty", default_options());
  ASSERT_FALSE(empty.has_value());
  EXPECT_TRUE(empty.error().starts_with("empty: " + folder + "empty_dwi.nii: NIfTI error: "))
      << empty.error();
  EXPECT_FALSE(fs::exists(folder + "bad_report.json"));
  EXPECT_FALSE(fs::exists(folder + "empty_report.json"));
  EXPECT_EQ(
      batch::audit_entry(data.path("absent"), data.entry("fine_dwi"), "fine", default_options())
          .error(),
      "fine: " + data.path("absent/fine_report.json") +
          ": I/O error: No such file or directory (os error 2)");
}

TEST(bids_batch_test, datasets_without_runs) {
  const Dataset data;
  data.add_run("derivatives/quorvex/sub-01_dwi");
  data.write("sub-01/dwi/sub-01_dwi.nii", dwi_image());
  data.write("sub-01/dwi/sub-01_dwi.bvec", bvec_text());
  for (const std::string& root : {data.root(), data.path("absent"), data.path("sub-01")}) {
    EXPECT_EQ(batch::run(root, default_options()).error(), no_runs + root);
    EXPECT_EQ(batch::prepare(root).error(), no_runs + root);
  }
  EXPECT_EQ(batch::run("r\xFF", default_options()).error(), std::string(no_runs) + "r\xEF\xBF\xBD");
}

TEST(bids_batch_test, batch_and_its_steps_write_reports_and_summary_in_discovery_order) {
  const Dataset data;
  const std::string second = data.add_run("sub-02/dwi/sub-02_dwi");
  const std::string first = data.add_run("sub-01/dwi/sub-01_dwi");
  const std::string third = data.add_run("sub-01-x/dwi/sub-01_dwi");
  // Earlier outputs are never taken for runs.
  data.add_run("derivatives/quorvex/old_dwi");
  const auto outcome = batch::run(data.root(), default_options());
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  const std::string folder = data.path("derivatives/quorvex/");
  EXPECT_EQ(outcome->summary_path, folder + "dataset_summary.json");
  ASSERT_EQ(outcome->items.size(), 3U);
  EXPECT_EQ(outcome->items[0].dwi, first);
  EXPECT_EQ(outcome->items[1].dwi, third);
  EXPECT_EQ(outcome->items[2].dwi, second);
  EXPECT_EQ(outcome->items[2].name, "sub-02_dwi");
  const std::string summary = quorvex_test::read_all(outcome->summary_path);
  EXPECT_EQ(summary, batch::summary_json(data.root(), 3, outcome->items, outcome->status));
  // Two runs named sub-01_dwi share one report file; the later one is written last.
  EXPECT_EQ(read_json(folder + "sub-01_dwi_report.json")["inputs"][0]["path"],
            data.path("sub-01-x/dwi/sub-01_dwi.bvec"));
  EXPECT_TRUE(fs::exists(folder + "sub-02_dwi_report.json"));
  EXPECT_FALSE(fs::exists(folder + "old_dwi_report.json"));

  // The steps one by one, the runs audited last to first as other processes might finish them,
  // replace the outputs with the batch's own.
  data.write("derivatives/quorvex/dataset_summary.json", "stale");
  const auto dataset = batch::prepare(data.root());
  ASSERT_TRUE(dataset.has_value()) << dataset.error();
  EXPECT_EQ(dataset->folder, data.path("derivatives/quorvex"));
  std::vector<batch::BatchItem> items(dataset->entries.size());
  for (std::size_t k = items.size(); k-- > 0;) {
    const auto& entry = dataset->entries[k];
    const auto status =
        batch::audit_entry(dataset->folder, entry, batch::run_name(entry), default_options());
    ASSERT_TRUE(status.has_value()) << status.error();
    items[k] = {batch::run_name(entry), entry.dwi, *status};
  }
  const auto finished = batch::finish(data.root(), items.size(), items);
  ASSERT_TRUE(finished.has_value()) << finished.error();
  EXPECT_EQ(finished->summary_path, outcome->summary_path);
  EXPECT_EQ(quorvex_test::read_all(finished->summary_path), summary);
  // The dataset's status is its highest.
  items[0].status = Status::Warn;
  items[2].status = Status::Flag;
  EXPECT_EQ(batch::finish(data.root(), items.size(), items)->status, Status::Flag);
  EXPECT_EQ(quorvex_test::read_all(outcome->summary_path),
            batch::summary_json(data.root(), 3, items, Status::Flag));
}

TEST(bids_batch_test, first_failing_run_stops_the_batch) {
  const Dataset data;
  data.add_run("a/a_dwi");
  data.add_run("b/b_dwi");
  const std::string bvec = data.write("b/b_dwi.bvec", "1 0\n");
  data.add_run("c/c_dwi");
  EXPECT_EQ(batch::run(data.root(), default_options()).error(),
            "b_dwi: failed to parse " + bvec + ": bvec shape does not match the b-value count");
  const std::string folder = data.path("derivatives/quorvex/");
  EXPECT_TRUE(fs::exists(folder + "a_dwi_report.json"));
  EXPECT_FALSE(fs::exists(folder + "c_dwi_report.json"));
  EXPECT_FALSE(fs::exists(folder + "dataset_summary.json"));
  // A shared layout stops at its first empty image.
  const fs::path layouts = fs::path(QUORVEX_SOURCE_DIR) / ".." / "shared" / "data" / "bids-layouts";
  if (!fs::is_directory(layouts)) GTEST_SKIP() << "../shared/data/bids-layouts is not present";
  // The layouts are read-only data: the batch runs over a copy so its outputs land in scratch.
  const quorvex_test::ScratchDir dir;
  fs::copy(layouts / "ds000117", dir.file("ds000117"), fs::copy_options::recursive);
  const auto result = batch::run(dir.file("ds000117"), default_options());
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().starts_with("sub-01_ses-mri_dwi: " + dir.file("ds000117/sub-01/")))
      << result.error();
  EXPECT_NE(result.error().find(": NIfTI error: "), std::string::npos) << result.error();
  EXPECT_TRUE(fs::is_empty(dir.file("ds000117/derivatives/quorvex")));
}

TEST(bids_batch_test, output_and_listing_failures_give_the_system_text) {
  const Dataset data;
  data.add_run("sub-01/sub-01_dwi");
  // The summary's place is taken by a folder: every run report is still written.
  ASSERT_TRUE(fs::create_directories(data.path("derivatives/quorvex/dataset_summary.json")));
  EXPECT_EQ(batch::run(data.root(), default_options()).error(), "Is a directory (os error 21)");
  EXPECT_TRUE(fs::exists(data.path("derivatives/quorvex/sub-01_dwi_report.json")));

  const Dataset blocked;
  blocked.add_run("sub-01/sub-01_dwi");
  blocked.write("derivatives", "a file where the output folder should go");
  EXPECT_EQ(batch::run(blocked.root(), default_options()).error(), "Not a directory (os error 20)");
  EXPECT_EQ(batch::prepare(blocked.root()).error(), "Not a directory (os error 20)");

  if (::geteuid() == 0) return;  // permissions do not stop root from listing a folder
  const Dataset locked;
  locked.add_run("a/a_dwi");
  locked.write("z/locked/x", "");
  ASSERT_EQ(::chmod(locked.path("z/locked").c_str(), 0), 0);
  EXPECT_EQ(batch::run(locked.root(), default_options()).error(),
            "Permission denied (os error 13)");
  EXPECT_FALSE(fs::exists(locked.path("derivatives")));
  ASSERT_EQ(::chmod(locked.path("z/locked").c_str(), 0700), 0);
}

// A link planted in the dataset must not carry any output out of it: the link target outside
// stays as it was, and the failure says which name was refused.
struct PlantedLink {
  const char* name;
  // Where the link is planted, below the dataset root.
  const char* at;
  // The failure text after the root (the outside folder's path follows it for folders).
  const char* failure;
};

class planted_link_test : public ::testing::TestWithParam<PlantedLink> {};

TEST_P(planted_link_test, nothing_is_written_outside_the_dataset) {
  const Dataset data;
  const quorvex_test::ScratchDir outside;
  const std::string victim = outside.write("victim.json", "keep");
  data.add_run("sub-01/sub-01_dwi");
  const PlantedLink& link = GetParam();
  const bool folder = std::string_view(link.at) == "derivatives";
  fs::create_directories(data.path("derivatives/quorvex"));
  if (folder) fs::remove_all(data.path("derivatives"));
  const std::string target = folder ? outside.file("") : victim;
  ASSERT_EQ(::symlink(target.c_str(), data.path(link.at).c_str()), 0);
  const auto result = batch::run(data.root(), default_options());
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().starts_with(link.failure + data.path(link.at)) ||
              result.error().starts_with(link.failure + data.path("derivatives/quorvex")))
      << result.error();
  EXPECT_EQ(quorvex_test::read_all(victim), "keep");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.file("")), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    bids_batch_test, planted_link_test,
    ::testing::Values(
        PlantedLink{"derivatives", "derivatives", "refusing to write outside the dataset: "},
        PlantedLink{"report", "derivatives/quorvex/sub-01_dwi_report.json", "sub-01_dwi: "},
        PlantedLink{"summary", "derivatives/quorvex/dataset_summary.json",
                    "refusing to write through a symbolic link: "}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
