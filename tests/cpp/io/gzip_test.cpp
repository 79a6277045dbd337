#include "quorvex/io/gzip.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nifti_builder.hpp"
#include "test_support.hpp"

namespace gzip = quorvex_core::io::gzip;

namespace {

std::span<const std::byte> bytes_of(const std::string& s) {
  return std::as_bytes(std::span(s.data(), s.size()));
}

std::string text(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; s.size() < n; ++i)
    s += std::to_string(i * i) + ",";
  s.resize(n);
  return s;
}

}  // namespace

TEST(gzip_test, inflates_members_into_exact_larger_and_smaller_buffers) {
  const std::string plain = text(300000);
  for (const std::size_t members : {1U, 2U, 9U}) {
    std::vector<std::byte> out(plain.size());
    const auto n = gzip::inflate_all(bytes_of(quorvex_test::gzip(plain, members)), out);
    ASSERT_TRUE(n.has_value()) << n.error().display();
    EXPECT_EQ(*n, plain.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), plain);
  }
  const std::string packed = quorvex_test::gzip(plain, 3);
  std::vector<std::byte> roomy(plain.size() + 100);
  EXPECT_EQ(*gzip::inflate_all(bytes_of(packed), roomy), plain.size());
  // A short buffer keeps the head; the rest is still decoded and checked.
  std::vector<std::byte> head(1000);
  EXPECT_EQ(*gzip::inflate_all(bytes_of(packed), head), 1000U);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(head.data()), 1000), plain.substr(0, 1000));
  std::string late_fault = packed;
  late_fault[late_fault.size() - 5] ^= 1;  // CRC of the last member
  EXPECT_ERROR(gzip::inflate_all(bytes_of(late_fault), head), Nifti,
               "NIfTI error: gzip CRC-32 mismatch");
  EXPECT_EQ(*gzip::inflate_prefix(bytes_of(late_fault), head), 1000U);
}

TEST(gzip_test, damaged_streams) {
  const std::string plain = text(5000);
  const std::string packed = quorvex_test::gzip(plain);
  std::string wrong_length = packed;
  wrong_length[wrong_length.size() - 1] ^= 1;
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"not gzip", "plain text", "NIfTI error: not a gzip stream"},
      {"truncated", packed.substr(0, packed.size() - 20), "NIfTI error: gzip stream is truncated"},
      {"no trailer", packed.substr(0, packed.size() - 8), "NIfTI error: gzip stream is truncated"},
      {"length", wrong_length, "NIfTI error: gzip length check mismatch"},
      {"bad method", std::string("\x1f\x8b\x07\x00", 4) + std::string(20, '\0'),
       "NIfTI error: corrupt gzip stream: unknown compression method"},
      {"second member garbage", packed + "\x1f\x8b" + "zz",
       "NIfTI error: corrupt gzip stream: unknown compression method"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::byte> out(plain.size());
    EXPECT_ERROR(gzip::inflate_all(bytes_of(c.bytes), out), Nifti, c.message);
  }
}

TEST(gzip_test, size_bound) {
  EXPECT_EQ(gzip::max_inflated_size(0), 65536U);
  EXPECT_EQ(gzip::max_inflated_size(1000), 1032000U + 65536U);
  EXPECT_EQ(gzip::max_inflated_size(~std::size_t{0}), ~std::uint64_t{0});
  // A stream of zeros comes close to the bound but never past it.
  const std::string zeros(10'000'000, '\0');
  EXPECT_LE(zeros.size(), gzip::max_inflated_size(quorvex_test::gzip(zeros).size()));
}
