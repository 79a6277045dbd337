// Audits from the streamed image with only the volumes it uses, and from the audit's own read
// (b0 volumes kept, the fit summed on the way), against audits from the whole-file image: the
// reports must be byte-identical (bar the timestamp) on every real dataset and on phantoms,
// whatever working shell is asked for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "quorvex/documents/table_loader.hpp"
#include "quorvex/frame.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/volume_plan.hpp"
#include "quorvex/volume_stream.hpp"
#include "test_support.hpp"

namespace q = quorvex_core;
namespace fs = std::filesystem;

namespace {

const std::string source_dir = QUORVEX_SOURCE_DIR;

std::string audit_json(const q::GradientTable& table, const q::ImageArray& image,
                       const q::VolumeInfo& info, const q::Mask* mask,
                       q::pipeline::PipelineOptions options) {
  options.flip_options.frame_map = q::FrameMaps::resolve(q::InputFormat::Fsl, info).to_voxel();
  options.flip_options.step = q::pipeline::default_step(std::nullopt, info);
  auto report = q::pipeline::audit(table, &image, mask, {}, options);
  if (!report) return "error: " + report.error().display();
  const std::string text = q::to_json(*report, q::json::Layout::Compact);
  return std::regex_replace(text, std::regex("\"timestamp\":\"[^\"]*\""), "");
}

// Every `*_dwi.nii.gz` with its FSL pair under `folder`, audited both ways on each shell.
void compare_folder(const fs::path& folder, std::size_t& compared) {
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    const std::string path = item.path().string();
    if (!path.ends_with("_dwi.nii.gz")) continue;
    SCOPED_TRACE(path);
    const std::string base = path.substr(0, path.size() - 7);
    auto table = q::load_fsl(base + ".bvec", base + ".bval");
    ASSERT_TRUE(table.has_value()) << table.error().display();
    auto whole = q::read_volume_with_info(path);
    ASSERT_TRUE(whole.has_value()) << whole.error().display();
    std::optional<q::Mask> mask;
    const std::string mask_path = base.substr(0, base.size() - 4) + "_desc-wm_mask.nii.gz";
    if (fs::exists(mask_path)) mask = *q::read_mask(mask_path);
    std::vector<std::optional<double>> shells{std::nullopt};
    for (const auto& [b, count] : q::pipeline::shell_counts(table->table.bvals(), 50, 0.05)) {
      if (b > 50) shells.emplace_back(b);
    }
    for (const auto& shell : shells) {
      q::pipeline::PipelineOptions options;
      options.shell = shell;
      const auto used = q::pipeline::volumes_used(table->table, options);
      auto streamed = q::stream_volume(path, used);
      ASSERT_TRUE(streamed.has_value()) << streamed.error().display();
      auto summed = q::pipeline::read_for_audit(path, table->table, options);
      ASSERT_TRUE(summed.has_value()) << summed.error().display();
      ASSERT_NE(summed->fit, nullptr);
      q::pipeline::PipelineOptions with_sums = options;
      with_sums.flip_options.streamed_fit = summed->fit;
      std::vector<const q::Mask*> masks{nullptr};
      if (mask) masks.push_back(&*mask);
      for (const q::Mask* m : masks) {
        const std::string expected =
            audit_json(table->table, whole->first, whole->second, m, options);
        EXPECT_EQ(audit_json(table->table, streamed->image, streamed->info, m, options), expected)
            << "shell " << shell.value_or(0.0);
        EXPECT_EQ(audit_json(table->table, summed->volume.image, summed->volume.info, m, with_sums),
                  expected)
            << "summed, shell " << shell.value_or(0.0);
        EXPECT_FALSE(expected.starts_with("error")) << expected;
      }
    }
    ++compared;
  }
}

// Two phantoms with interleaved b0s and three shells, as the package writes them.
const char* const phantom_script = R"PY(
import sys
from quorvex import phantom as ph
for name, affine, shells in (("a", "ras", ((1000, 20), (2000, 12), (3000, 9))),
                             ("b", "oblique", ((700, 15), (1300, 15)))):
    p = ph.make_phantom(shape=(24, 22, 14), affine=affine, shells=shells, n_b0=5, seed=3)
    ph.write_nifti(f"{sys.argv[1]}/{name}_dwi.nii.gz", p.data, p.affine)
    ph.write_fsl(f"{sys.argv[1]}/{name}_dwi.bvec", f"{sys.argv[1]}/{name}_dwi.bval", p)
)PY";

}  // namespace

TEST(stream_report_test, real_datasets_give_identical_reports) {
  const fs::path real = fs::path(source_dir) / ".." / "shared" / "data" / "real";
  if (!fs::exists(real)) GTEST_SKIP() << "real data not found at " << real;
  std::size_t compared = 0;
  compare_folder(real, compared);
  EXPECT_EQ(compared, 9U);
}

TEST(stream_report_test, phantoms_give_identical_reports) {
  const std::string python = source_dir + "/.venv/bin/python";
  if (!fs::exists(python)) GTEST_SKIP() << "no project venv at " << python;
  const quorvex_test::ScratchDir dir;
  const std::string script = dir.write("phantom.py", phantom_script);
  const std::string command = "PYTHONPATH=" + source_dir + "/python " + python + " " + script +
                              " " + dir.file("") + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "the phantom could not be written";
  std::size_t compared = 0;
  compare_folder(dir.file(""), compared);
  EXPECT_EQ(compared, 2U);
}
