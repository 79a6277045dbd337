#include "quorvex/input_file.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

using quorvex_core::InputFile;

TEST(input_file_test, digests_and_paths) {
  const quorvex_test::ScratchDir dir;
  const auto empty = InputFile::of(dir.write("empty", ""));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->bytes, 0U);
  EXPECT_EQ(empty->sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const auto abc = InputFile::of(dir.write("abc", "abc"));
  ASSERT_TRUE(abc.has_value());
  EXPECT_EQ(abc->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(abc->path, dir.file("abc"));
  // One million 'a' (a FIPS 180-2 test vector) spans many chunks.
  const auto million = InputFile::of(dir.write("million", std::string(1000000, 'a')));
  ASSERT_TRUE(million.has_value());
  EXPECT_EQ(million->bytes, 1000000U);
  EXPECT_EQ(million->sha256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // A path that is not UTF-8 is read by its bytes and shown with a replacement character.
  EXPECT_ERROR(InputFile::of("/nonexistent/quorvex.bval"), Io,
               "I/O error: No such file or directory (os error 2)");
  const std::string path = dir.write("sub-\xFF.bval", "0 1000\n");
  const auto record = InputFile::of(path);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->bytes, 7U);
  EXPECT_EQ(record->path, dir.file("sub-\xEF\xBF\xBD.bval"));
}
