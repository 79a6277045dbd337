#include "quorvex/documents/table_loader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.hpp"

using quorvex_core::load_fsl;
using quorvex_core::load_mrtrix;

TEST(table_loader_test, fsl_pair_errors_in_order) {
  const quorvex_test::ScratchDir dir;
  EXPECT_ERROR(load_fsl(dir.file("none.bvec"), dir.file("none.bval")), Io,
               "I/O error: No such file or directory (os error 2)");
  // The bval is read first: a bad one is reported even though the bvec is missing too.
  const std::string bad = dir.write("bad.bval", "0 x");
  EXPECT_ERROR(load_fsl(dir.file("none.bvec"), bad), Parse,
               "failed to parse " + bad + ": invalid number: x");
  const std::string bval = dir.write("a.bval", "0 1000 1000");
  EXPECT_ERROR(load_fsl(dir.write("latin1.bvec", "1 0 0\n\xE9\n"), bval), Io,
               "I/O error: stream did not contain valid UTF-8");
  const std::string wrong = dir.write("wrong.bvec", "1 0\n0 1\n0 0\n");
  EXPECT_ERROR(load_fsl(wrong, bval), Parse,
               "failed to parse " + wrong + ": bvec shape does not match the b-value count");
}

TEST(table_loader_test, tables_record_their_files_and_format_and_unreadable_files_fail) {
  const quorvex_test::ScratchDir dir;
  const std::string bvec = dir.write("a.bvec", "0 1\n0 0\n0 0\n");
  const std::string bval = dir.write("a.bval", "0 1000\n");
  const auto loaded = load_fsl(bvec, bval);
  ASSERT_TRUE(loaded.has_value());
  ASSERT_EQ(loaded->inputs.size(), 2U);
  EXPECT_EQ(loaded->inputs[0].path, bvec);
  EXPECT_EQ(loaded->inputs[0].bytes, 12U);
  EXPECT_EQ(loaded->inputs[1].path, bval);
  EXPECT_EQ(loaded->table.size(), 2U);
  EXPECT_EQ(loaded->format, quorvex_core::InputFormat::Fsl);
  const std::string grad = dir.write("only_comments.b", "# a\n\n   # b\n");
  const auto empty = load_mrtrix(grad);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->table.size(), 0U);
  ASSERT_EQ(empty->inputs.size(), 1U);
  EXPECT_EQ(empty->inputs[0].path, grad);
  EXPECT_EQ(empty->format, quorvex_core::InputFormat::Mrtrix);
  // Missing, folder, FIFO and device refusals through every reader are test_hostile's; /dev/zero
  // would never end.
  EXPECT_ERROR(load_fsl(dir.write("t.bvec", "1\n0\n0\n"), "/dev/zero"), Io,
               "I/O error: not a regular file");
  if (::geteuid() != 0) {  // root reads through any mode
    const std::string locked = dir.write("locked.b", "0 0 0 0\n");
    ::chmod(locked.c_str(), 0);
    EXPECT_ERROR(load_mrtrix(locked), Io, "I/O error: Permission denied (os error 13)");
  }
}
