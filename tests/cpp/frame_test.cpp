#include "quorvex/frame.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <limits>

#include "quorvex/documents/table_loader.hpp"
#include "quorvex/io/fsl.hpp"
#include "quorvex/io/mrtrix.hpp"

using quorvex_core::FrameMaps;
using quorvex_core::InputFormat;
using quorvex_core::Mat3;
using quorvex_core::VolumeInfo;

namespace {

// Matrices written out row by row, nine numbers, for compact tables.
using Flat = std::array<double, 9>;

constexpr Flat identity{1, 0, 0, 0, 1, 0, 0, 0, 1};

VolumeInfo with_block(const Flat& a3) {
  VolumeInfo info;
  info.dims = {2, 2, 2};
  for (std::size_t r = 0; r < 3; ++r) {
    info.affine[r] = {a3[3 * r], a3[3 * r + 1], a3[3 * r + 2], 10.0 * static_cast<double>(r)};
  }
  info.affine[3] = {0, 0, 0, 1};
  return info;
}

Flat diag(double x, double y, double z) {
  return {x, 0, 0, 0, y, 0, 0, 0, z};
}

void expect_mat(const Mat3& actual, const Flat& expected, double tolerance = 1e-12) {
  for (std::size_t i = 0; i < 9; ++i)
    EXPECT_NEAR(actual[i / 3][i % 3], expected[i], tolerance) << i;
}

}  // namespace

TEST(frame_test, diagonal_affines_and_cross_format_maps) {
  struct Case {
    Flat a3;
    Flat fsl;
    Flat world;
    double sign;
    bool divergent;
  };
  const Case cases[] = {
      {diag(2, 2, 2), diag(-1, 1, 1), identity, 1.0, false},
      {diag(-2, 2, 2), identity, diag(-1, 1, 1), -1.0, false},
      {diag(-2, -2, 2), diag(-1, 1, 1), diag(-1, -1, 1), 1.0, true},
      // All three axes reversed, but det < 0: FSL's rule already agrees with the world.
      {diag(-2, -2, -2), identity, diag(-1, -1, -1), -1.0, false},
  };
  for (const Case& c : cases) {
    const VolumeInfo info = with_block(c.a3);
    const FrameMaps maps = FrameMaps::resolve(InputFormat::Fsl, info);
    expect_mat(maps.fsl_voxel_map, c.fsl);
    expect_mat(maps.world_voxel_map, c.world);
    EXPECT_EQ(maps.affine_determinant_sign, c.sign);
    EXPECT_EQ(maps.frames_divergent, c.divergent);
    EXPECT_EQ(quorvex_core::frames_divergent(info), c.divergent);
    expect_mat(FrameMaps::resolve(InputFormat::Fsl, info).to_voxel(), c.fsl);
    expect_mat(FrameMaps::resolve(InputFormat::Mrtrix, info).to_voxel(), c.world);
    expect_mat(maps.to_fsl(), identity);  // FSL input stays in the FSL frame
    expect_mat(FrameMaps::resolve(InputFormat::Mrtrix, info).to_world(), identity);
  }
  // Across formats on a positive determinant.
  const VolumeInfo info = with_block(diag(2, 2, 2));
  expect_mat(FrameMaps::resolve(InputFormat::Mrtrix, info).to_fsl(), diag(-1, 1, 1));
  expect_mat(FrameMaps::resolve(InputFormat::Fsl, info).to_world(), diag(-1, 1, 1));
  EXPECT_STREQ(quorvex_core::input_format_name(InputFormat::Mrtrix), "mrtrix");
  EXPECT_STREQ(quorvex_core::input_format_name(InputFormat::Fsl), "fsl");
}

TEST(frame_test, degenerate_and_sheared_affines) {
  const VolumeInfo zero_column = with_block({2, 0, 0, 0, 0, 0, 0, 0, 2});
  const FrameMaps maps = FrameMaps::resolve(InputFormat::Mrtrix, zero_column);
  expect_mat(maps.world_voxel_map, identity);
  expect_mat(maps.fsl_voxel_map, identity);
  EXPECT_FALSE(maps.frames_divergent);
  EXPECT_EQ(std::abs(maps.affine_determinant_sign), 1.0);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const FrameMaps broken =
      FrameMaps::resolve(InputFormat::Fsl, with_block({nan, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_TRUE(std::isnan(broken.affine_determinant_sign));
  expect_mat(broken.fsl_voxel_map, identity);
  expect_mat(broken.world_voxel_map, identity);
  EXPECT_FALSE(broken.frames_divergent);
  const VolumeInfo info = with_block({2, 1, 0, 0, 2, 0, 0, 0, 2});
  const Mat3 w = FrameMaps::resolve(InputFormat::Mrtrix, info).to_voxel();
  const double s = 1.0 / std::sqrt(5.0);
  expect_mat(w, {1, 0, 0, s, 2 * s, 0, 0, 0, 1});
  // to_world for grad input is W^T W, no longer the identity.
  EXPECT_NEAR(FrameMaps::resolve(InputFormat::Mrtrix, info).to_world()[0][1], 2 * s * s, 1e-12);
}

TEST(frame_test, dominant_component_ties) {
  // det > 0 throughout; only the columns' dominant signs vary.
  struct Case {
    const char* name;
    Flat a3;  // columns are the voxel axes
    bool divergent;
  };
  const Case cases[] = {
      // Column 0 (0.6, -0.6, 0.2): x and y tie and y wins, negative; column 1 points down z.
      {"xy tie", {0.6, 0, 1, -0.6, 0, 0, 0.2, -1, 0}, true},
      // Column 0 (0.5, 0.1, -0.5): z ties with x and wins, negative; column 2 points down y.
      {"xz tie", {0.5, 1, 0, 0.1, 0, -1, -0.5, 0, 0}, true},
      // Column 0 (-0.5, 0.1, 0.5): z wins the tie again, now positive, leaving one negative.
      {"xz tie positive", {-0.5, 0, 1, 0.1, -1, 0, 0.5, 0, 0}, false},
      // Column 0 (-0.5, 0.1, 0.4999): z strictly smaller, x wins, negative.
      {"z strictly smaller", {-0.5, 0, 1, 0.1, -1, 0, 0.4999, 0, 0}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeInfo info = with_block(c.a3);
    EXPECT_EQ(FrameMaps::resolve(InputFormat::Fsl, info).affine_determinant_sign, 1.0);
    EXPECT_EQ(quorvex_core::frames_divergent(info), c.divergent);
  }
}

TEST(frame_test, real_tables_agree_across_frames) {
  // Each dataset's MRtrix table was written from its FSL table and affine independently (by
  // MRtrix3); carrying the bvecs to the world frame must reproduce it.
  const std::string root = std::string(QUORVEX_SOURCE_DIR) + "/../shared/data/real";
  if (!std::filesystem::exists(root)) GTEST_SKIP() << "real data not found at " << root;
  for (const char* name : {"philips_dti_2mm_crop", "philips_dti_2mm_crop_ras", "mrtrix_msmt_crop",
                           "mrtrix_b3000_tiny", "dipy_small_64d"}) {
    SCOPED_TRACE(name);
    const std::string base = root + "/" + name + "/" + name + "_dwi";
    auto image = quorvex_core::read_volume_with_info(base + ".nii.gz");
    ASSERT_TRUE(image.has_value()) << image.error().display();
    auto fsl = quorvex_core::load_fsl(base + ".bvec", base + ".bval");
    auto grad = quorvex_core::load_mrtrix(base + ".b");
    ASSERT_TRUE(fsl.has_value() && grad.has_value());
    const Mat3 m = FrameMaps::resolve(fsl->format, image->second).to_world();
    EXPECT_EQ(grad->format, InputFormat::Mrtrix);
    const auto& from = fsl->table.directions();
    const auto& to = grad->table.directions();
    ASSERT_EQ(from.size(), to.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
      const auto& g = from[i];
      const double n = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
      if (n < 1e-6) continue;  // b0 rows carry no direction
      for (std::size_t r = 0; r < 3; ++r) {
        const double world = (m[r][0] * g[0] + m[r][1] * g[1] + m[r][2] * g[2]) / n;
        const double t = std::sqrt(to[i][0] * to[i][0] + to[i][1] * to[i][1] + to[i][2] * to[i][2]);
        EXPECT_NEAR(world, to[i][r] / t, 2e-3) << "volume " << i << " axis " << r;
      }
    }
  }
}
