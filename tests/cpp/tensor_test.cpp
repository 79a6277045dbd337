#include "quorvex/tensor.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "tensor_solve.hpp"
#include "test_support.hpp"

using namespace quorvex_core;

namespace {

constexpr double pi = 3.14159265358979323846;

// Directions spread over a hemisphere, one b0 first.
GradientTable scheme(std::size_t n, double b = 1000.0, bool with_b0 = true) {
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  if (with_b0) {
    dirs.push_back({0, 0, 0});
    bvals.push_back(0.0);
  }
  for (std::size_t k = 0; k < n; ++k) {
    const double z = 1.0 - (static_cast<double>(k) + 0.5) / static_cast<double>(n);
    const double r = std::sqrt(1.0 - z * z);
    const double phi = static_cast<double>(k) * pi * (3.0 - std::sqrt(5.0));
    dirs.push_back({r * std::cos(phi), r * std::sin(phi), z});
    bvals.push_back(b);
  }
  return *GradientTable::create(std::move(dirs), std::move(bvals));
}

// Noise-free tensor signal S0 exp(-b g'Dg) in every voxel of an n^3 grid; `d_of(x, y, z)` gives
// the tensor (xx, yy, zz, xy, xz, yz) and `s0_of` the reference signal.
template <class D, class S>
ImageArray image_of(const GradientTable& table, std::size_t n, D d_of, S s0_of) {
  const std::size_t volumes = table.size();
  std::vector<float> samples(n * n * n * volumes);
  for (std::size_t v = 0; v < volumes; ++v) {
    const Vec3& g = table.directions()[v];
    const double b = table.bvals()[v];
    for (std::size_t z = 0; z < n; ++z) {
      for (std::size_t y = 0; y < n; ++y) {
        for (std::size_t x = 0; x < n; ++x) {
          const std::array<double, 6> d = d_of(x, y, z);
          const double q = d[0] * g[0] * g[0] + d[1] * g[1] * g[1] + d[2] * g[2] * g[2] +
                           2 * (d[3] * g[0] * g[1] + d[4] * g[0] * g[2] + d[5] * g[1] * g[2]);
          samples[x + n * (y + n * (z + n * v))] =
              static_cast<float>(s0_of(x, y, z) * std::exp(-b * q));
        }
      }
    }
  }
  const std::size_t shape[] = {n, n, n, volumes};
  return std::move(*ImageArray::from_samples(shape, samples));
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = first; i < last; ++i)
    out.push_back(i);
  return out;
}

}  // namespace

TEST(tensor_test, recovers_the_principal_direction_and_fa) {
  const auto table = scheme(30);
  // Prolate along y in one half of the grid, along z in the other.
  const auto image = image_of(
      table, 4,
      [](std::size_t x, std::size_t, std::size_t) {
        return x < 2 ? std::array<double, 6>{3e-4, 1.7e-3, 3e-4, 0, 0, 0}
                     : std::array<double, 6>{3e-4, 3e-4, 1.7e-3, 0, 0, 0};
      },
      [](std::size_t, std::size_t, std::size_t) { return 1000.0; });
  const auto field = fit_dti(image, table, std::vector<std::uint64_t>{0}, range(1, 31), 1.0);
  ASSERT_TRUE(field.has_value());
  EXPECT_EQ(field->shape, (GridShape{4, 4, 4}));
  const double expected_fa = std::sqrt(0.5) * std::sqrt(2 * 1.4e-3 * 1.4e-3) /
                             std::sqrt(2 * 3e-4 * 3e-4 + 1.7e-3 * 1.7e-3);
  for (std::size_t i = 0; i < 64; ++i) {
    const std::size_t x = i / 16;
    ASSERT_TRUE(field->valid[i]);
    EXPECT_NEAR(std::fabs(field->v1[i][x < 2 ? 1 : 2]), 1.0, 1e-4) << i;
    EXPECT_NEAR(field->fa[i], expected_fa, 1e-3);
    EXPECT_NEAR(field->s0[i], 1000.0, 1e-3);
  }
}

// Every shape of tensor against a general eigensolver: prolate, oblate (the two largest
// eigenvalues equal or nearly so), general, one negative eigenvalue, in random orientations.
TEST(tensor_test, direction_and_fa_agree_with_a_general_solver_on_every_shape) {
  const auto table = scheme(40);
  const std::array<std::array<double, 3>, 8> shapes{{{1.7e-3, 3e-4, 3e-4},
                                                     {1.2e-3, 1.2e-3, 2e-4},
                                                     {1.2e-3, 1.19e-3, 2e-4},
                                                     {1.5e-3, 9e-4, 3e-4},
                                                     {2e-3, 5e-4, -2e-4},
                                                     {9e-4, 8e-4, 7e-4},
                                                     {3e-3, 1e-4, 1e-5},
                                                     {1.2e-3, 1.2e-3, 1.1e-3}}};
  const std::size_t n = 4;
  std::vector<Eigen::Matrix3d> tensors;
  for (std::size_t i = 0; i < n * n * n; ++i) {
    const auto& l = shapes[i % shapes.size()];
    const double t = 0.37 * static_cast<double>(i);
    const Eigen::Matrix3d r =
        (Eigen::AngleAxisd(t, Eigen::Vector3d(std::sin(t), std::cos(2 * t), 0.5).normalized()))
            .toRotationMatrix();
    tensors.push_back(r * Eigen::Vector3d(l[0], l[1], l[2]).asDiagonal() * r.transpose());
  }
  const auto image = image_of(
      table, n,
      [&](std::size_t x, std::size_t y, std::size_t z) {
        const Eigen::Matrix3d& d = tensors[x + n * (y + n * z)];
        return std::array<double, 6>{d(0, 0), d(1, 1), d(2, 2), d(0, 1), d(0, 2), d(1, 2)};
      },
      [](std::size_t, std::size_t, std::size_t) { return 1000.0; });
  const auto field = fit_dti(image, table, std::vector<std::uint64_t>{0}, range(1, 41), 1.0);
  ASSERT_TRUE(field.has_value());
  for (std::size_t x = 0; x < n; ++x) {
    for (std::size_t y = 0; y < n; ++y) {
      for (std::size_t z = 0; z < n; ++z) {
        const std::size_t i = x + n * (y + n * z);
        const std::size_t out = (x * n + y) * n + z;
        const auto& l = shapes[i % shapes.size()];
        SCOPED_TRACE(testing::Message() << "voxel " << i << " shape " << i % shapes.size());
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(tensors[i]);
        const Eigen::Vector3d e = solver.eigenvalues().cwiseMax(0.0);
        const double mean = e.mean();
        const double fa = std::sqrt(1.5 * (e.array() - mean).square().sum() / e.squaredNorm());
        ASSERT_TRUE(field->valid[out]);
        EXPECT_NEAR(field->fa[out], fa, 1e-4);
        // The direction is defined only where the largest eigenvalue stands apart.
        if (l[0] - l[1] < 1e-4) continue;
        const Eigen::Vector3d v = solver.eigenvectors().col(2);
        const Vec3& got = field->v1[out];
        EXPECT_NEAR(std::fabs(got[0] * v(0) + got[1] * v(1) + got[2] * v(2)), 1.0, 1e-4);
        EXPECT_NEAR(norm(got), 1.0, 1e-12);
      }
    }
  }
}

// Four voxels side by side give the bits of one at a time, on the tensors that take the plain
// path and on those that leave it (zero, not finite, isotropic, a double largest eigenvalue).
TEST(tensor_test, four_voxels_side_by_side_match_one_at_a_time) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::array<double, 6>> tensors{{0, 0, 0, 0, 0, 0},
                                             {1e-3, 1e-3, 1e-3, 0, 0, 0},
                                             {1.2e-3, 1.2e-3, 2e-4, 0, 0, 0},
                                             {std::nan(""), 1e-3, 1e-3, 0, 0, 0},
                                             {inf, 1e-3, 1e-3, 0, 0, 0},
                                             {-1e-3, -2e-3, -1e-3, 1e-4, 0, 0},
                                             {1e-300, 2e-300, 0, 0, 0, 0}};
  for (std::size_t i = 0; tensors.size() < 64; ++i) {
    const auto x = static_cast<double>(i);
    tensors.push_back({1e-3 * std::sin(x), 1e-3 * std::cos(1.3 * x), 8e-4, 3e-4 * std::sin(2 * x),
                       2e-4 * std::cos(x), 1e-4 * x / 64});
  }
  const std::size_t n = tensors.size();
  std::vector<double> coefficients(6 * n);
  for (std::size_t v = 0; v < n; ++v) {
    for (std::size_t k = 0; k < 6; ++k)
      coefficients[k * n + v] = tensors[v][k];
  }
  for (std::size_t v = 0; v + 4 <= n; v += 4) {
    const auto four = fit_voxels4(coefficients.data() + v, n);
    for (std::size_t lane = 0; lane < 4; ++lane) {
      const VoxelFit one = fit_voxel(coefficients.data() + v + lane, n);
      SCOPED_TRACE(testing::Message() << "voxel " << v + lane);
      EXPECT_EQ(std::memcmp(&four[lane].v1, &one.v1, sizeof(Vec3)), 0);
      EXPECT_EQ(std::memcmp(&four[lane].fa, &one.fa, sizeof(double)), 0);
      EXPECT_EQ(four[lane].valid, one.valid);
    }
  }
}

TEST(tensor_test, invalid_voxels_and_isotropic_tensors) {
  const auto table = scheme(12);
  const auto image = image_of(
      table, 3,
      [](std::size_t x, std::size_t, std::size_t) {
        // x = 2: an isotropic tensor; elsewhere prolate.
        return x == 2 ? std::array<double, 6>{1e-3, 1e-3, 1e-3, 0, 0, 0}
                      : std::array<double, 6>{2e-3, 2e-4, 2e-4, 0, 0, 0};
      },
      [](std::size_t x, std::size_t, std::size_t) { return x == 0 ? 0.5 : 800.0; });
  const auto field = fit_dti(image, table, std::vector<std::uint64_t>{0}, range(1, 13), 1.0);
  ASSERT_TRUE(field.has_value());
  for (std::size_t i = 0; i < 27; ++i) {
    const std::size_t x = i / 9;
    if (x == 0) {  // below the minimum reference signal: not fitted, s0 kept
      EXPECT_FALSE(field->valid[i]);
      EXPECT_EQ(field->v1[i], (Vec3{0, 0, 0}));
      EXPECT_NEAR(field->s0[i], 0.5, 1e-6);
    } else if (x == 2) {  // isotropic: FA 0 but a positive eigenvalue, so valid
      EXPECT_TRUE(field->valid[i]);
      EXPECT_NEAR(field->fa[i], 0.0, 1e-6);
    }
  }
  // Signal rising with b: all eigenvalues negative, clamped to zero, not valid.
  const auto growing = image_of(
      table, 2,
      [](std::size_t, std::size_t, std::size_t) {
        return std::array<double, 6>{-1e-3, -1e-3, -2e-3, 0, 0, 0};
      },
      [](std::size_t, std::size_t, std::size_t) { return 100.0; });
  const auto none = fit_dti(growing, table, std::vector<std::uint64_t>{0}, range(1, 13), 1.0);
  for (const auto v : none->valid)
    EXPECT_FALSE(v);
}

TEST(tensor_test, table_without_b0_uses_the_shell_mean) {
  // Two b-values: with one b-value and no b0 the intercept and the trace cannot be told apart.
  auto low = scheme(12, 1000.0, false);
  auto dirs = low.directions();
  auto bvals = low.bvals();
  const auto high = scheme(12, 2000.0, false);
  dirs.insert(dirs.end(), high.directions().begin(), high.directions().end());
  bvals.insert(bvals.end(), high.bvals().begin(), high.bvals().end());
  const auto table = *GradientTable::create(dirs, bvals);
  const auto image = image_of(
      table, 2,
      [](std::size_t, std::size_t, std::size_t) {
        return std::array<double, 6>{1.7e-3, 3e-4, 3e-4, 0, 0, 0};
      },
      [](std::size_t, std::size_t, std::size_t) { return 1000.0; });
  const auto field = fit_dti(image, table, {}, range(0, 24), 1.0);
  ASSERT_TRUE(field.has_value());
  EXPECT_TRUE(field->valid[0]);
  EXPECT_NEAR(std::fabs(field->v1[0][0]), 1.0, 1e-3);
  EXPECT_LT(field->s0[0], 1000.0);  // the mean attenuated signal, not S0
}

TEST(tensor_test, fit_errors) {
  const auto table = scheme(6);
  const std::size_t shape3[] = {2, 2, 2};
  const auto flat = ImageArray::from_samples(shape3, std::vector<float>(8, 1.0F));
  EXPECT_ERROR(fit_dti(*flat, table, std::vector<std::uint64_t>{0}, range(1, 7), 1.0), DtiFit,
               "DTI fit failed: expected 4-D DWI, got 3-D");
  const auto image = image_of(
      table, 2,
      [](std::size_t, std::size_t, std::size_t) {
        return std::array<double, 6>{1e-3, 1e-3, 1e-3, 0, 0, 0};
      },
      [](std::size_t, std::size_t, std::size_t) { return 10.0; });
  EXPECT_ERROR(fit_dti(image, table, std::vector<std::uint64_t>{0}, {}, 1.0), DtiFit,
               "DTI fit failed: no DWI volumes in the working shell");
  EXPECT_FALSE(fit_dti(image, table, std::vector<std::uint64_t>{0}, range(1, 9), 1.0).has_value());
}

TEST(tensor_test, otsu_threshold_cases) {
  EXPECT_EQ(otsu_threshold({}), 0.0);
  const std::vector<double> constant(50, 7.5);
  EXPECT_EQ(otsu_threshold(constant), 7.5);
  std::vector<double> bimodal;
  for (int i = 0; i < 500; ++i)
    bimodal.push_back(0.01 * (i % 10));
  for (int i = 0; i < 300; ++i)
    bimodal.push_back(1000.0 + (i % 20));
  bimodal.push_back(NAN);
  const double t = otsu_threshold(bimodal);
  EXPECT_GT(t, 0.1);
  EXPECT_LT(t, 1000.0);
  // An infinite s0 (an inf sample in a float image) once indexed far past the histogram.
  const double inf = std::numeric_limits<double>::infinity();
  for (const std::vector<double>& odd : std::vector<std::vector<double>>{
           {1.0, 2.0, inf}, {-inf, 1.0, 2.0}, {-inf, inf, NAN}, {inf, inf}}) {
    static_cast<void>(otsu_threshold(odd));
  }
}

TEST(tensor_test, wm_proxy_keeps_bright_anisotropic_valid_voxels) {
  TensorField field;
  field.shape = {4, 1, 1};
  field.v1.assign(4, Vec3{1, 0, 0});
  field.fa = {0.5, 0.1, 0.5, 0.5};
  field.s0 = {1000, 1000, 5, 1000};
  field.valid = {1, 1, 1, 0};
  EXPECT_EQ(field.wm_proxy(0.2), (Mask{true, false, false, false}));
  field.s0 = {20, 20, 20, 20};  // equal signals: the threshold is that value
  EXPECT_EQ(field.wm_proxy(0.2), (Mask{true, false, true, false}));
}
