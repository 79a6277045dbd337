#include "quorvex/repair.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "test_support.hpp"

using namespace quorvex_core;

TEST(repair_test, apply_transform_writes_positive_zeros) {
  const Mat3 mirror{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  const auto table = *GradientTable::create({{0, 0.6, 0.8}, {0, 0, 0}, {1, 0, 0}}, {1000, 0, 1000});
  const auto out = apply_transform(table, mirror);
  for (const Vec3& d : out.directions()) {
    for (const double c : d) {
      if (c == 0.0) {
        EXPECT_FALSE(std::signbit(c));
      }
    }
  }
  EXPECT_EQ(out.directions()[2], (Vec3{-1, 0, 0}));
  EXPECT_EQ(out.bvals(), table.bvals());
}

TEST(repair_test, output_check_refuses_existing_files_and_every_link) {
  const quorvex_test::ScratchDir dir;
  const std::string out = dir.file("sub-\xFF.bvec");
  EXPECT_TRUE(check_output(out, false).has_value());
  dir.write("sub-\xFF.bvec", "x");
  EXPECT_ERROR(check_output(out, false), RefuseOverwrite,
               "refusing to overwrite existing file: " + dir.file("sub-\xEF\xBF\xBD.bvec") +
                   " (pass --force to allow)");
  EXPECT_TRUE(check_output(out, true).has_value());
  ASSERT_EQ(::symlink("absent", dir.file("dangling").c_str()), 0);
  ASSERT_EQ(::symlink(out.c_str(), dir.file("linked").c_str()), 0);
  for (const char* name : {"dangling", "linked"}) {
    for (const bool in_place : {false, true}) {
      EXPECT_ERROR(check_output(dir.file(name), in_place), Io,
                   "I/O error: refusing to write through a symbolic link: " + dir.file(name));
    }
  }
  EXPECT_EQ(quorvex_test::read_all(out), "x");
}
