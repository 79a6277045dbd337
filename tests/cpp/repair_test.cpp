#include "quorvex/repair.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "quorvex/candidate.hpp"
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

TEST(repair_test, force_from_best_skips_identity_and_its_negation) {
  const auto table = *GradientTable::create({{1, 0, 0}}, {1000});
  const auto all = all_candidates();
  FlipResult flip;
  for (const std::size_t index : {0, 7}) {  // "+x+y+z" and "-x-y-z"
    flip.best = {all[index].label, all[index].matrix, all[index].is_identity, 0.5, 1};
    EXPECT_FALSE(Repair::force_from_best(table, flip).has_value()) << all[index].label;
  }
  flip.best = {all[1].label, all[1].matrix, false, 0.5, 1};
  const auto forced = Repair::force_from_best(table, flip);
  ASSERT_TRUE(forced.has_value());
  EXPECT_EQ(forced->label, "-x+y+z");
  EXPECT_EQ(forced->table.directions()[0], (Vec3{-1, 0, 0}));
}

TEST(repair_test, backup_chain_and_refusal) {
  const quorvex_test::ScratchDir dir;
  const std::string out = dir.file("out.bvec");
  EXPECT_EQ(*prepare_output(out, false), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(out));
  dir.write("out.bvec", "current");
  dir.write("out.bvec.bak", "oldest");
  dir.write("out.bvec.bak.1", "older");
  EXPECT_EQ(next_backup_path(out), out + ".bak.2");
  EXPECT_ERROR(prepare_output(out, false), RefuseOverwrite,
               "refusing to overwrite existing file: " + out + " (pass --force to allow)");
  const auto moved = prepare_output(out, true);
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(*moved, out + ".bak.2");
  EXPECT_EQ(quorvex_test::read_all(out + ".bak.2"), "current");
  EXPECT_EQ(quorvex_test::read_all(out + ".bak"), "oldest");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(repair_test, invalid_utf8_path_is_moved_by_its_bytes_and_shown_replaced) {
  const quorvex_test::ScratchDir dir;
  const std::string out = dir.write("sub-\xFF.bvec", "x");
  EXPECT_ERROR(prepare_output(out, false), RefuseOverwrite,
               "refusing to overwrite existing file: " + dir.file("sub-\xEF\xBF\xBD.bvec") +
                   " (pass --force to allow)");
  EXPECT_EQ(*prepare_output(out, true), out + ".bak");
  EXPECT_EQ(quorvex_test::read_all(out + ".bak"), "x");
}

TEST(repair_test, only_regular_files_are_moved_aside) {
  const quorvex_test::ScratchDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(*prepare_output(fifo, true), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(fifo + ".bak"));
  std::filesystem::create_directory(dir.file("folder"));
  EXPECT_EQ(*prepare_output(dir.file("folder"), true), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
}

TEST(repair_test, failed_rename_keeps_the_file) {
  if (::geteuid() == 0) GTEST_SKIP() << "root renames inside read-only folders";
  const quorvex_test::ScratchDir dir;
  std::filesystem::create_directory(dir.file("locked"));
  const std::string out = dir.file("locked/out.bvec");
  std::ofstream(out) << "keep";
  ::chmod(dir.file("locked").c_str(), 0500);
  EXPECT_ERROR(prepare_output(out, true), Io, "I/O error: Permission denied (os error 13)");
  ::chmod(dir.file("locked").c_str(), 0700);
  EXPECT_EQ(quorvex_test::read_all(out), "keep");
}
