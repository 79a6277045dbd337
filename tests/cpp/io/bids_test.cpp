#include "quorvex/io/bids.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace bids = quorvex_core::io::bids;
namespace fs = std::filesystem;

namespace {

// Creates `relative` (and its folders) empty, as the shared layouts do.
std::string touch(const quorvex_test::ScratchDir& dir, const std::string& relative) {
  const fs::path path = dir.file(relative);
  fs::create_directories(path.parent_path());
  return dir.write(relative, "");
}

// A run with the usual FSL siblings.
void add_run(const quorvex_test::ScratchDir& dir, const std::string& base,
             const std::string& image_suffix = ".nii.gz") {
  touch(dir, base + image_suffix);
  touch(dir, base + ".bvec");
  touch(dir, base + ".bval");
}

std::vector<std::string> dwi_paths(const std::vector<bids::DwiEntry>& runs) {
  std::vector<std::string> out;
  for (const auto& run : runs)
    out.push_back(run.dwi);
  return out;
}

std::vector<bids::DwiEntry> discover_ok(const std::string& root) {
  auto runs = bids::discover(root);
  EXPECT_TRUE(runs.has_value()) << (runs ? "" : runs.error().display());
  return runs ? std::move(*runs) : std::vector<bids::DwiEntry>{};
}

}  // namespace

TEST(bids_test, naming_rules_path_order_and_join) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"sub-01/dwi/sub-01_dwi.nii.gz", "sub-01/dwi/sub-01_dwi"},
      {"sub-01/dwi/sub-01_dwi.nii", "sub-01/dwi/sub-01_dwi"},
      {"_dwi.nii", "_dwi"},
      {"\xFF/sub-01_dwi.nii", "\xFF/sub-01_dwi"},
      {"sub-01_dwi.NII.GZ", std::nullopt},
      {"sub-01_DWI.nii.gz", std::nullopt},
      {"sub-01_T1w.nii.gz", std::nullopt},
      {"dwi/._sub-01_dwi.nii.gz", std::nullopt},
      {"sub-01_dwi.nii.gz.bak", std::nullopt},
      {"sub-01_dwi.gz", std::nullopt},
      {"sub-01_dwi\xFF.nii", std::nullopt},
      {".nii.gz", std::nullopt},
  };
  for (const auto& [path, base] : cases)
    EXPECT_EQ(bids::nifti_base(path), base) << path;
  // Paths order component-wise by bytes; join adds one separator.
  std::vector<std::string> paths{"a-b", "a/b/c", "a.b/x", "a/b", "B", "a", "\xC3\xA9", "a/b-c"};
  std::sort(paths.begin(), paths.end(), bids::path_less);
  EXPECT_EQ(paths, (std::vector<std::string>{"B", "a", "a/b", "a/b/c", "a/b-c", "a-b", "a.b/x",
                                             "\xC3\xA9"}));
  EXPECT_FALSE(bids::path_less("a/b", "a/b"));
  EXPECT_EQ(bids::join("root", "x"), "root/x");
  EXPECT_EQ(bids::join("root/", "x"), "root/x");
  EXPECT_EQ(bids::join("", "x"), "x");
}

TEST(bids_test, a_run_is_an_image_with_both_gradient_files) {
  const quorvex_test::ScratchDir dir;
  add_run(dir, "sub-01/dwi/sub-01_dwi");
  touch(dir, "sub-02/dwi/sub-02_dwi.nii.gz");
  touch(dir, "sub-02/dwi/sub-02_dwi.bvecs");
  touch(dir, "sub-02/dwi/sub-02_dwi.bvals");
  touch(dir, "sub-03/dwi/sub-03_dwi.nii.gz");
  touch(dir, "sub-03/dwi/sub-03_dwi.bvec");
  // Both spellings: the singular one wins, each file on its own.
  add_run(dir, "sub-04/dwi/sub-04_dwi");
  touch(dir, "sub-04/dwi/sub-04_dwi.bvecs");
  touch(dir, "sub-05/dwi/sub-05_dwi.nii");
  touch(dir, "sub-05/dwi/sub-05_dwi.bvecs");
  touch(dir, "sub-05/dwi/sub-05_dwi.bval");
  // A folder is not a gradient file.
  touch(dir, "sub-06/dwi/sub-06_dwi.nii.gz");
  touch(dir, "sub-06/dwi/sub-06_dwi.bvec/x");
  touch(dir, "sub-06/dwi/sub-06_dwi.bval");
  // Names that are not DWI images, each with a table.
  for (const std::string base : {"sub-07_dwi.NII", "sub-07_DWI", "sub-07_T1w", "._sub-07_dwi"}) {
    touch(dir, "sub-07/dwi/" + base + (base.ends_with("NII") ? ".GZ" : ".nii.gz"));
    touch(dir, "sub-07/dwi/" + base + ".bvec");
    touch(dir, "sub-07/dwi/" + base + ".bval");
  }
  // A sidecar counts only as a regular file.
  touch(dir, "sub-01/dwi/sub-01_dwi.json");
  touch(dir, "sub-02/dwi/sub-02_dwi.json/inside");

  const auto runs = discover_ok(dir.file("."));
  ASSERT_EQ(runs.size(), 4U);
  const std::string root = dir.file(".");
  EXPECT_EQ(runs[0].dwi, root + "/sub-01/dwi/sub-01_dwi.nii.gz");
  EXPECT_EQ(runs[0].bvec, root + "/sub-01/dwi/sub-01_dwi.bvec");
  EXPECT_EQ(runs[0].bval, root + "/sub-01/dwi/sub-01_dwi.bval");
  EXPECT_EQ(runs[1].bvec, root + "/sub-02/dwi/sub-02_dwi.bvecs");
  EXPECT_EQ(runs[1].bval, root + "/sub-02/dwi/sub-02_dwi.bvals");
  EXPECT_EQ(runs[2].bvec, root + "/sub-04/dwi/sub-04_dwi.bvec");
  EXPECT_EQ(runs[3].dwi, root + "/sub-05/dwi/sub-05_dwi.nii");
  EXPECT_EQ(runs[3].bvec, root + "/sub-05/dwi/sub-05_dwi.bvecs");
  EXPECT_EQ(runs[3].bval, root + "/sub-05/dwi/sub-05_dwi.bval");
  EXPECT_EQ(runs[0].sidecar, root + "/sub-01/dwi/sub-01_dwi.json");
  EXPECT_EQ(runs[1].sidecar, std::nullopt);
  EXPECT_EQ(runs[2].sidecar, std::nullopt);
}

TEST(bids_test, derivatives_are_never_entered) {
  const quorvex_test::ScratchDir dir;
  add_run(dir, "derivatives/sub-01/dwi/sub-01_dwi");
  add_run(dir, "sub-01/derivatives/sub-01_dwi");
  add_run(dir, "sub-01/ses-1/derivatives/x/sub-01_dwi");
  add_run(dir, "sub-01/derivativesX/sub-01_dwi");
  std::vector<std::string> walked;
  ASSERT_TRUE(bids::walk(dir.file("."), walked).has_value());
  for (const auto& path : walked)
    EXPECT_EQ(path.find("/derivatives/"), std::string::npos) << path;
  EXPECT_EQ(walked.size(), 3U);
  EXPECT_EQ(dwi_paths(discover_ok(dir.file("."))),
            std::vector<std::string>{dir.file("./sub-01/derivativesX/sub-01_dwi.nii.gz")});
  // A file called derivatives is an ordinary file.
  touch(dir, "sub-02/derivatives");
  walked.clear();
  ASSERT_TRUE(bids::walk(dir.file("sub-02"), walked).has_value());
  EXPECT_EQ(walked, std::vector<std::string>{dir.file("sub-02/derivatives")});
}

TEST(bids_test, runs_come_in_path_order_and_empty_roots_give_none) {
  const quorvex_test::ScratchDir dir;
  for (const std::string base : {"a-b/x_dwi", "a/b/x_dwi", "a/x_dwi", "a/B_dwi", "a.b/x_dwi"})
    add_run(dir, base);
  EXPECT_EQ(dwi_paths(discover_ok(dir.file(""))),
            (std::vector<std::string>{dir.file("a/B_dwi.nii.gz"), dir.file("a/b/x_dwi.nii.gz"),
                                      dir.file("a/x_dwi.nii.gz"), dir.file("a-b/x_dwi.nii.gz"),
                                      dir.file("a.b/x_dwi.nii.gz")}));
  // A missing or plain-file root yields nothing.
  EXPECT_TRUE(discover_ok(dir.file("absent")).empty());
  EXPECT_TRUE(discover_ok(dir.write("file", "")).empty());
  EXPECT_TRUE(discover_ok("").empty());
}

TEST(bids_test, mask_candidates_of_the_image_folder) {
  const quorvex_test::ScratchDir dir;
  add_run(dir, "sub-01/dwi/sub-01_dwi");
  for (const std::string name : {"brain_mask.nii.gz", "sub-01_desc-brain_MASK.nii", "Mask.NII.GZ",
                                 "mask.txt", "._mask.nii", "mask.nii.gz.bak", "\xFFmask.nii"}) {
    touch(dir, "sub-01/dwi/" + name);
  }
  touch(dir, "sub-01/dwi/masks.nii/inside");  // a folder, whatever its name
  touch(dir, "sub-01/anat/brain_mask.nii.gz");
  ASSERT_EQ(::symlink("brain_mask.nii.gz", dir.file("sub-01/dwi/linked_mask.nii").c_str()), 0);
  ASSERT_EQ(::symlink("absent", dir.file("sub-01/dwi/broken_mask.nii").c_str()), 0);
  const auto runs = discover_ok(dir.file(""));
  ASSERT_EQ(runs.size(), 1U);
  const std::string folder = dir.file("sub-01/dwi/");
  EXPECT_EQ(runs[0].masks, (std::vector<std::string>{
                               folder + "Mask.NII.GZ", folder + "brain_mask.nii.gz",
                               folder + "linked_mask.nii", folder + "sub-01_desc-brain_MASK.nii"}));
}

TEST(bids_test, link_cycles_end_and_other_links_are_followed) {
  const quorvex_test::ScratchDir dir;
  add_run(dir, "sub-01/dwi/sub-01_dwi");
  touch(dir, "shared/x_dwi.nii");
  touch(dir, "shared/x_dwi.bvec");
  touch(dir, "shared/x_dwi.bval");
  ASSERT_EQ(::symlink("..", dir.file("sub-01/loop").c_str()), 0);
  ASSERT_EQ(::symlink("../..", dir.file("sub-01/dwi/up").c_str()), 0);
  ASSERT_EQ(::symlink("../shared", dir.file("sub-01/shared").c_str()), 0);
  ASSERT_EQ(::symlink("missing", dir.file("sub-01/broken").c_str()), 0);
  ASSERT_EQ(::symlink("sub-01_dwi.bvec", dir.file("sub-01/dwi/linked.bvec").c_str()), 0);
  std::vector<std::string> walked;
  ASSERT_TRUE(bids::walk(dir.file(""), walked).has_value());
  std::sort(walked.begin(), walked.end(), bids::path_less);
  EXPECT_EQ(walked,
            (std::vector<std::string>{
                dir.file("shared/x_dwi.bval"), dir.file("shared/x_dwi.bvec"),
                dir.file("shared/x_dwi.nii"), dir.file("sub-01/broken"),
                dir.file("sub-01/dwi/linked.bvec"), dir.file("sub-01/dwi/sub-01_dwi.bval"),
                dir.file("sub-01/dwi/sub-01_dwi.bvec"), dir.file("sub-01/dwi/sub-01_dwi.nii.gz"),
                // A link to a folder outside the current path is walked like a folder.
                dir.file("sub-01/shared/x_dwi.bval"), dir.file("sub-01/shared/x_dwi.bvec"),
                dir.file("sub-01/shared/x_dwi.nii")}));
  EXPECT_EQ(discover_ok(dir.file("")).size(), 3U);
}

TEST(bids_test, deep_trees_do_not_exhaust_descriptors) {
  const quorvex_test::ScratchDir dir;
  std::string relative;
  for (int depth = 0; depth < 200; ++depth)
    relative += "d/";
  const std::string deepest = touch(dir, relative + "x_dwi.nii");
  // Far fewer descriptors than levels: a walk holding one open folder per level fails here.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 32;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<std::string> walked;
  const auto result = bids::walk(dir.file(""), walked);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(walked, std::vector<std::string>{deepest});
}

TEST(bids_test, shared_layouts_give_their_runs) {
  const fs::path layouts = fs::path(QUORVEX_SOURCE_DIR) / ".." / "shared" / "data" / "bids-layouts";
  if (!fs::is_directory(layouts)) GTEST_SKIP() << "../shared/data/bids-layouts is not present";
  const struct {
    const char* dataset;
    std::size_t runs;
    std::ptrdiff_t with_sidecar;
  } cases[] = {{"ds000117", 11, 11}, {"ds004215-pheno_source", 7, 7},
               {"ds114", 0, 0},      {"genetics_ukbb", 0, 0},
               {"dwi_deriv", 1, 1},  {"eeg_rest_fmri", 6, 0},
               {"ipdwi002", 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataset);
    const auto runs = discover_ok((layouts / c.dataset).string());
    EXPECT_EQ(runs.size(), c.runs);
    EXPECT_EQ(std::count_if(runs.begin(), runs.end(),
                            [](const auto& r) { return r.sidecar.has_value(); }),
              c.with_sidecar);
    for (const auto& run : runs) {
      EXPECT_TRUE(run.masks.empty()) << run.dwi;
      EXPECT_EQ(run.dwi.find("derivatives"), std::string::npos);
      EXPECT_EQ(*bids::nifti_base(run.dwi) + ".bvec", run.bvec);
    }
    EXPECT_TRUE(std::is_sorted(runs.begin(), runs.end(), [](const auto& a, const auto& b) {
      return bids::path_less(a.dwi, b.dwi);
    }));
  }
}

TEST(bids_test, sidecar_fields_and_note) {
  const auto note = [](std::string_view text) -> std::optional<std::string> {
    const auto sidecar = bids::BidsSidecar::parse(text);
    if (!sidecar) return "(unusable)";
    return sidecar->note();
  };
  EXPECT_EQ(note(R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0512,
                     "MultibandAccelerationFactor": 3, "EchoTime": 0.089})"),
            "BIDS sidecar: PE=j-, TRT=0.0512s, MB=3");
  EXPECT_EQ(note(R"({"TotalReadoutTime": 0.05})"), "BIDS sidecar: TRT=0.0500s");
  EXPECT_EQ(note(R"({"TotalReadoutTime": 1})"), "BIDS sidecar: TRT=1.0000s");
  EXPECT_EQ(note(R"({"MultibandAccelerationFactor": 4294967295})"), "BIDS sidecar: MB=4294967295");
  EXPECT_EQ(note(R"({"MultibandAccelerationFactor": -0})"), "BIDS sidecar: MB=0");
  // A value from the file cannot break the note onto several lines (or smuggle a NUL into it).
  EXPECT_EQ(note(" {\"PhaseEncodingDirection\": \"i\\u0000\"} \n"),
            "BIDS sidecar: PE=i\xEF\xBF\xBD");
  EXPECT_EQ(note(R"({"PhaseEncodingDirection": "j-\nstatus: PASS\u2028x"})"),
            "BIDS sidecar: PE=j-\xEF\xBF\xBDstatus: PASS\xEF\xBF\xBDx");
  EXPECT_EQ(note(R"({"PhaseEncodingDirection": null, "TotalReadoutTime": null})"), std::nullopt);
  EXPECT_EQ(note("{}"), std::nullopt);
  EXPECT_EQ(note(R"({"EchoTime": [1, {"a": 2}]})"), std::nullopt);
}

TEST(bids_test, sidecars_that_are_not_used_and_one_read_from_a_file) {
  for (const std::string_view text : {
           R"({"MultibandAccelerationFactor": 2.0})",
           R"({"MultibandAccelerationFactor": "3"})",
           R"({"MultibandAccelerationFactor": -1})",
           R"({"MultibandAccelerationFactor": 4294967296})",
           R"({"MultibandAccelerationFactor": true})",
           R"({"TotalReadoutTime": "0.05"})",
           R"({"PhaseEncodingDirection": 1})",
           R"({"PhaseEncodingDirection": "j", "PhaseEncodingDirection": "j-"})",
           R"({"EchoTime": 1, "EchoTime": 2, "TotalReadoutTime": 0.05})",
           R"({"TotalReadoutTime": 0.05, "Extra": {"a": 1, "a": 2}})",
           R"({"TotalReadoutTime": 0.05} x)",
           R"({"TotalReadoutTime": 0.05}{})",
           R"({"TotalReadoutTime": 0.05,})",
           R"(["j-", 0.05, 3])",
           "",
           "{\"PhaseEncodingDirection\": \"\xFF\"}",
       }) {
    EXPECT_FALSE(bids::BidsSidecar::parse(text).has_value()) << text;
  }
  const quorvex_test::ScratchDir dir;
  EXPECT_FALSE(bids::BidsSidecar::read(dir.file("absent.json")).has_value());
  const auto read =
      bids::BidsSidecar::read(dir.write("s.json", R"({"MultibandAccelerationFactor": 2})"));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->multiband_acceleration_factor, 2U);
  // The same key in sibling objects is not a repeat.
  EXPECT_EQ(bids::BidsSidecar::parse(R"({"a": {"k": 1}, "b": {"k": 2}, "TotalReadoutTime": 2})")
                ->total_readout_time,
            2.0);
}
