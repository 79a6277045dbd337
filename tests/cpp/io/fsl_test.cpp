#include "quorvex/io/fsl.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "test_support.hpp"

namespace fsl = quorvex_core::io::fsl;
using quorvex_core::GradientTable;
using quorvex_core::Vec3;

TEST(fsl_test, parse_floats_tokens_and_errors) {
  EXPECT_EQ(*fsl::parse_floats(" 0\t1000 \r\n 995.5\xC2\xA0"
                               "2e3",
                               "x.bval"),
            (std::vector<double>{0, 1000, 995.5, 2000}));
  EXPECT_TRUE(fsl::parse_floats(" \n\t", "x.bval")->empty());
  EXPECT_ERROR(fsl::parse_floats("0 abc 1000", "sub-01_dwi.bvec"), Parse,
               "failed to parse sub-01_dwi.bvec: invalid number: abc");
  EXPECT_ERROR(fsl::parse_floats("1,0,0", "a.bvec"), Parse,
               "failed to parse a.bvec: invalid number: 1,0,0");
  EXPECT_ERROR(fsl::parse_floats("# comment", "a.bvec"), Parse,
               "failed to parse a.bvec: invalid number: #");
  EXPECT_ERROR(fsl::parse_floats("x", "bad\xFFpath"), Parse,
               "failed to parse bad\xEF\xBF\xBDpath: invalid number: x");
  EXPECT_ERROR(fsl::parse_floats(std::string(300000, 'x'), "a.bval"), Parse,
               "failed to parse a.bval: invalid number: " + std::string(200, 'x') + "\u2026");
}

TEST(fsl_test, rows_skip_blank_lines_read_crlf_and_take_either_shape) {
  const auto rows = fsl::parse_rows("1 0 0\r\n\r\n  \t\n0\t1   0\n0 0 1", "a.bvec");
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(*rows, (std::vector<std::vector<double>>{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
  EXPECT_ERROR(fsl::parse_rows("1 0 0\n0 x 0\n", "a.bvec"), Parse,
               "failed to parse a.bvec: invalid number: x");
  // Three by three reads as axis rows.
  EXPECT_EQ(*fsl::to_directions({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, 3, "a.bvec"),
            (std::vector<Vec3>{{1, 4, 7}, {2, 5, 8}, {3, 6, 9}}));
  const std::vector<std::vector<double>> n_by_3(64, std::vector<double>{1, 0, 0});
  EXPECT_EQ(fsl::to_directions(n_by_3, 64, "a.bvec")->size(), 64U);
  EXPECT_ERROR(fsl::to_directions(n_by_3, 63, "a.bvec"), Parse,
               "failed to parse a.bvec: bvec shape does not match the b-value count");
  const std::vector<std::vector<double>> ragged{{1, 2}, {3, 4, 5}, {6, 7}};
  EXPECT_ERROR(fsl::to_directions(ragged, 2, "a.bvec"), Parse,
               "failed to parse a.bvec: bvec shape does not match the b-value count");
  EXPECT_TRUE(fsl::to_directions({}, 0, "a.bvec")->empty());
}

TEST(fsl_test, writer_text_and_round_trip) {
  const auto table =
      *GradientTable::create({{0.0078125, -0.0, -1e-9}, {1, NAN, -HUGE_VAL}}, {995.5, 1e-7});
  EXPECT_EQ(fsl::bvec_text(table), "0.007812 1.000000\n0.000000 NaN\n-0.000000 -inf\n");
  EXPECT_EQ(fsl::bval_text(table), "995.5 0.0000001\n");
  const auto empty = *GradientTable::create({}, {});
  EXPECT_EQ(fsl::bvec_text(empty), "\n\n\n");
  EXPECT_EQ(fsl::bval_text(empty), "\n");

  const quorvex_test::ScratchDir dir;
  const auto original =
      *GradientTable::create({{0.123456789, -0.5, 0.70710678}, {0, 0, 0}}, {1000, 0.1 + 0.2});
  ASSERT_TRUE(fsl::write(dir.file("t.bvec"), dir.file("t.bval"), original).has_value());
  const auto rows = fsl::parse_rows(quorvex_test::read_all(dir.file("t.bvec")), "t.bvec");
  const auto bvals = fsl::parse_floats(quorvex_test::read_all(dir.file("t.bval")), "t.bval");
  EXPECT_EQ(*bvals, original.bvals());
  EXPECT_EQ(*fsl::to_directions(*rows, 2, "t.bvec"),
            (std::vector<Vec3>{{0.123457, -0.5, 0.707107}, {0, 0, 0}}));
}

TEST(fsl_test, failed_bvec_write_leaves_bval_untouched) {
  const quorvex_test::ScratchDir dir;
  const std::string bval = dir.write("keep.bval", "original");
  const auto table = *GradientTable::create({{1, 0, 0}}, {1000});
  EXPECT_ERROR(fsl::write(dir.file("missing/x.bvec"), bval, table), Io,
               "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(quorvex_test::read_all(bval), "original");
  struct stat info {};
  if (::stat("/dev/full", &info) == 0) {
    EXPECT_ERROR(fsl::write(dir.file("ok.bvec"), "/dev/full", table), Io,
                 "I/O error: No space left on device (os error 28)");
    EXPECT_EQ(quorvex_test::read_all(dir.file("ok.bvec")), "1.000000\n0.000000\n0.000000\n");
  }
}
