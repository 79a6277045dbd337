#include "io/file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

using namespace quorvex_core;
using quorvex_test::read_all;

namespace {

// Every name in the folder, hidden temporary files included.
std::set<std::string> names(const quorvex_test::ScratchDir& dir) {
  std::set<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("")))
    out.insert(entry.path().filename().string());
  return out;
}

}  // namespace

TEST(file_test, backups_take_the_next_free_number_and_refusal_writes_nothing) {
  const quorvex_test::ScratchDir dir;
  const std::string out = dir.write("out.bvec", "current");
  dir.write("out.bvec.bak", "oldest");
  dir.write("out.bvec.bak.1", "older");
  auto refused = io::write_file_staged(out, "new", io::Existing::Refuse);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().error.display(),
            "refusing to overwrite existing file: " + out + " (pass --force to allow)");
  const auto backup = io::write_file_staged(out, "new", io::Existing::Backup);
  ASSERT_TRUE(backup.has_value());
  EXPECT_EQ(*backup, out + ".bak.2");
  EXPECT_EQ(read_all(out), "new");
  EXPECT_EQ(read_all(out + ".bak.2"), "current");
  EXPECT_EQ(read_all(out + ".bak"), "oldest");
  EXPECT_EQ(*io::write_file_staged(dir.file("fresh"), "f", io::Existing::Backup), std::nullopt);
  EXPECT_EQ(names(dir), (std::set<std::string>{"out.bvec", "out.bvec.bak", "out.bvec.bak.1",
                                               "out.bvec.bak.2", "fresh"}));
}

TEST(file_test, links_are_never_written_through) {
  const quorvex_test::ScratchDir dir;
  const std::string target = dir.write("target", "keep");
  ASSERT_EQ(::symlink(target.c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("absent").c_str(), dir.file("dangling").c_str()), 0);
  for (const char* name : {"link", "dangling"}) {
    for (const auto mode : {io::Existing::Replace, io::Existing::Refuse, io::Existing::Backup}) {
      const auto written = io::write_file_staged(dir.file(name), "new", mode);
      ASSERT_FALSE(written.has_value());
      EXPECT_EQ(written.error().error.display(),
                "I/O error: refusing to write through a symbolic link: " + dir.file(name));
    }
  }
  EXPECT_EQ(read_all(target), "keep");
  EXPECT_EQ(names(dir), (std::set<std::string>{"target", "link", "dangling"}));
}

TEST(file_test, a_failed_write_leaves_the_old_file_and_no_temporary) {
  const quorvex_test::ScratchDir dir;
  std::filesystem::create_directory(dir.file("folder"));
  const auto into_folder = io::write_file_staged(dir.file("folder"), "x", io::Existing::Backup);
  ASSERT_FALSE(into_folder.has_value());
  EXPECT_EQ(into_folder.error().stage, io::WriteStage::Create);
  EXPECT_EQ(into_folder.error().error.display(), "I/O error: Is a directory (os error 21)");
  if (std::filesystem::exists("/dev/full")) {
    const auto full = io::write_file_staged("/dev/full", "x", io::Existing::Backup);
    ASSERT_FALSE(full.has_value());
    EXPECT_EQ(full.error().stage, io::WriteStage::Write);
    EXPECT_FALSE(std::filesystem::exists("/dev/full.bak"));
  }
  if (::geteuid() != 0) {
    const std::string kept = dir.write("folder/kept", "old");
    ::chmod(dir.file("folder").c_str(), 0500);
    EXPECT_FALSE(io::write_file_staged(kept, "new", io::Existing::Backup).has_value());
    ::chmod(dir.file("folder").c_str(), 0700);
    EXPECT_EQ(read_all(kept), "old");
  }
  EXPECT_EQ(names(dir), (std::set<std::string>{"folder"}));
}

// A second writer that has claimed the first backup (the file is then at both names) but not yet
// put its own file in place: the next writer must claim another name, and whichever rename
// lands last, the original is kept.
TEST(file_test, interleaved_writers_keep_the_original) {
  const quorvex_test::ScratchDir dir;
  const std::string out = dir.write("t.bval", "original");
  ASSERT_EQ(::link(out.c_str(), (out + ".bak").c_str()), 0);
  EXPECT_EQ(*io::write_file_staged(out, "first", io::Existing::Backup), out + ".bak.1");
  ASSERT_EQ(::rename(dir.write(".pending", "second").c_str(), out.c_str()), 0);
  EXPECT_EQ(read_all(out + ".bak"), "original");
  EXPECT_EQ(read_all(out + ".bak.1"), "original");
  EXPECT_EQ(read_all(out), "second");
}

TEST(file_test, concurrent_writers_keep_the_original) {
  const quorvex_test::ScratchDir dir;
  const std::string out = dir.write("t.bvec", "original");
  constexpr int writers = 4;
  constexpr int rounds = 25;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      for (int r = 0; r < rounds; ++r) {
        const std::string text = std::to_string(w) + "/" + std::to_string(r);
        EXPECT_TRUE(io::write_file_staged(out, text, io::Existing::Backup).has_value());
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  // Racing writers may replace each other's new file, but the original is always kept and
  // every name holds one whole version.
  std::set<std::string> versions{"original"};
  for (int w = 0; w < writers; ++w) {
    for (int r = 0; r < rounds; ++r)
      versions.insert(std::to_string(w) + "/" + std::to_string(r));
  }
  bool original_kept = false;
  for (const std::string& name : names(dir)) {
    const std::string text = read_all(dir.file(name));
    EXPECT_TRUE(versions.contains(text)) << name << ": " << text;
    original_kept = original_kept || (name != "t.bvec" && text == "original");
  }
  EXPECT_TRUE(original_kept);
}
