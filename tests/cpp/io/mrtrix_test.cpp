#include "quorvex/io/mrtrix.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace mrtrix = quorvex_core::io::mrtrix;
using quorvex_core::GradientTable;
using quorvex_core::Vec3;

TEST(mrtrix_test, rows_and_files_skipping_comments_and_blank_lines) {
  EXPECT_EQ(*mrtrix::parse_row("1 0 0 1000 # note", "g.b"), (std::array<double, 4>{1, 0, 0, 1000}));
  EXPECT_EQ(*mrtrix::parse_row("1 0 0 1000 anything", "g.b"),
            (std::array<double, 4>{1, 0, 0, 1000}));
  EXPECT_ERROR(mrtrix::parse_row("1 0 0", "g.b"), Parse,
               "failed to parse g.b: expected 4 values per row, found 3");
  EXPECT_ERROR(mrtrix::parse_row("", "g.b"), Parse,
               "failed to parse g.b: expected 4 values per row, found 0");
  EXPECT_ERROR(mrtrix::parse_row("1 0 zero 1000", "g.b"), Parse,
               "failed to parse g.b: invalid number: zero");
  const auto table = mrtrix::parse(
      "# command_history: x\r\n  # indented comment\n\n0 0 0 0\r\n\t1 0 0 1000  \n", "g.b");
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->directions(), (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}}));
  EXPECT_EQ(table->bvals(), (std::vector<double>{0, 1000}));
  EXPECT_EQ(mrtrix::parse("# only\n\n  # comments\n", "g.b")->size(), 0U);
  EXPECT_ERROR(mrtrix::parse("0 0 0 0\n1 0 0\n0 1 0 x\n", "g.b"), Parse,
               "failed to parse g.b: expected 4 values per row, found 3");
}

TEST(mrtrix_test, writer_text_and_round_trip) {
  const auto table = *GradientTable::create({{-0.0, 0.0078125, 1}, {0.5, -0.25, 1e-9}}, {0, 1000});
  EXPECT_EQ(mrtrix::text(table),
            "0.000000 0.007812 1.000000 0\n0.500000 -0.250000 0.000000 1000\n");
  EXPECT_EQ(mrtrix::text(*GradientTable::create({}, {})), "");
  const quorvex_test::ScratchDir dir;
  ASSERT_TRUE(mrtrix::write(dir.file("g.b"), table).has_value());
  const auto back = mrtrix::parse(quorvex_test::read_all(dir.file("g.b")), "g.b");
  EXPECT_EQ(back->bvals(), table.bvals());
}
