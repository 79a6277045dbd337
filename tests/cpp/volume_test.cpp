#include "quorvex/volume.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "nifti_builder.hpp"
#include "test_support.hpp"

using quorvex_core::ImageArray;
using quorvex_core::Mask;
using quorvex_core::VolumeInfo;
namespace nifti = quorvex_core::io::nifti;

namespace {

const std::string real_data = std::string(QUORVEX_SOURCE_DIR) + "/../shared/data/real";

nifti::Header decoded(const nifti_1_header& h) {
  const std::string bytes = quorvex_test::nifti_file(h, "");
  auto header = nifti::decode_header(std::as_bytes(std::span(bytes.data(), bytes.size())));
  EXPECT_TRUE(header.has_value()) << header.error().display();
  return *header;
}

VolumeInfo info_of(const nifti_1_header& h) {
  auto info = quorvex_core::from_header(decoded(h));
  EXPECT_TRUE(info.has_value()) << info.error().display();
  return *info;
}

void expect_affine(const quorvex_core::Affine& actual, const quorvex_core::Affine& expected,
                   double tolerance = 1e-12) {
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_NEAR(actual[r][c], expected[r][c], tolerance) << "entry " << r << "," << c;
    }
  }
}

ImageArray image_of(std::initializer_list<std::size_t> shape, const std::vector<float>& samples) {
  const std::vector<std::size_t> dims(shape);
  auto image = ImageArray::from_samples(dims, samples);
  EXPECT_TRUE(image.has_value());
  return std::move(*image);
}

}  // namespace

TEST(volume_test, sform_wins_over_qform) {
  auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  h.sform_code = 1;
  h.qform_code = 1;
  h.quatern_b = 1.0F;  // a 180-degree turn the sform must hide
  const float rows[3][4] = {{0, -2, 0, 10}, {3, 0, 0, -20}, {0, 0, 4, 30}};
  std::memcpy(h.srow_x, rows[0], sizeof rows[0]);
  std::memcpy(h.srow_y, rows[1], sizeof rows[1]);
  std::memcpy(h.srow_z, rows[2], sizeof rows[2]);
  expect_affine(info_of(h).affine, {{{0, -2, 0, 10}, {3, 0, 0, -20}, {0, 0, 4, 30}, {0, 0, 0, 1}}});
}

TEST(volume_test, qform_with_negative_qfac_flips_third_column) {
  auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  h.qform_code = 1;
  h.pixdim[0] = -1;
  h.pixdim[1] = 2;
  h.pixdim[2] = 2;
  h.pixdim[3] = 2.5F;
  h.qoffset_x = 1;
  h.qoffset_y = 2;
  h.qoffset_z = 3;
  expect_affine(info_of(h).affine, {{{2, 0, 0, 1}, {0, 2, 0, 2}, {0, 0, -2.5, 3}, {0, 0, 0, 1}}});
}

TEST(volume_test, qform_agrees_with_nifti_clib) {
  // nifti_clib's own quaternion conversion (f32) is the independent oracle here.
  auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  h.qform_code = 2;
  h.pixdim[0] = -1;
  h.pixdim[1] = 1.5F;
  h.pixdim[2] = 2.0F;
  h.pixdim[3] = 3.0F;
  h.quatern_b = 0.1F;
  h.quatern_c = -0.3F;
  h.quatern_d = 0.2F;
  h.qoffset_x = -90;
  h.qoffset_y = 126;
  h.qoffset_z = -72;
  const mat44 m =
      nifti_quatern_to_mat44(h.quatern_b, h.quatern_c, h.quatern_d, h.qoffset_x, h.qoffset_y,
                             h.qoffset_z, h.pixdim[1], h.pixdim[2], h.pixdim[3], h.pixdim[0]);
  quorvex_core::Affine expected{};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c)
      expected[r][c] = m.m[r][c];
  }
  expect_affine(info_of(h).affine, expected, 1e-5);
}

TEST(volume_test, quaternion_squares_above_one_give_zero_a) {
  auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  h.qform_code = 1;
  h.quatern_b = 0.0F;
  h.quatern_c = 0.0F;
  h.quatern_d = 1.0000001F;  // d^2 just over 1
  const auto affine = info_of(h).affine;
  // a = 0: a half turn about z, no NaN anywhere.
  EXPECT_NEAR(affine[0][0], -1.0, 1e-6);
  EXPECT_NEAR(affine[1][1], -1.0, 1e-6);
  EXPECT_NEAR(affine[2][2], 1.0, 1e-6);
}

TEST(volume_test, no_codes_fall_back_to_pixdim) {
  auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  h.pixdim[1] = -1.5F;
  h.pixdim[2] = 2;
  h.pixdim[3] = 3;
  h.qoffset_x = 50;   // ignored without a qform code
  h.sform_code = -1;  // negative codes count as unset
  const VolumeInfo info = info_of(h);
  expect_affine(info.affine, {{{-1.5, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 3, 0}, {0, 0, 0, 1}}});
  EXPECT_EQ(info.voxel_sizes, (std::array<double, 3>{-1.5, 2, 3}));
}

TEST(volume_test, dims_and_volume_count) {
  EXPECT_EQ(info_of(quorvex_test::make_header({4, 5, 6}, DT_INT16, 16)).n_volumes, 1U);
  const VolumeInfo dwi = info_of(quorvex_test::make_header({4, 5, 6, 65}, DT_INT16, 16));
  EXPECT_EQ(dwi.n_volumes, 65U);
  EXPECT_EQ(dwi.dims, (std::vector<std::size_t>{4, 5, 6, 65}));
  EXPECT_EQ(info_of(quorvex_test::make_header({4, 5, 6, 1, 3}, DT_INT16, 16)).n_volumes, 1U);
}

TEST(volume_test, header_geometry_refusals) {
  struct Case {
    const char* name;
    void (*edit)(nifti_1_header&);
    const char* message;
  };
  const Case cases[] = {
      {"rank 0", [](nifti_1_header& h) { h.dim[0] = 0; },
       "NIfTI error: inconsistent dimensions: dim[0] = 0"},
      {"rank 8", [](nifti_1_header& h) { h.dim[0] = 8; },
       "NIfTI error: inconsistent dimensions: dim[0] = 8"},
      {"zero dim", [](nifti_1_header& h) { h.dim[2] = 0; },
       "NIfTI error: inconsistent dimensions: dim[2] = 0"},
      {"negative dim", [](nifti_1_header& h) { h.dim[3] = -5; },
       "NIfTI error: inconsistent dimensions: dim[3] = -5"},
      {"NaN voxel", [](nifti_1_header& h) { h.pixdim[2] = std::nanf(""); },
       "NIfTI error: non-finite voxel size pixdim[2] = nan"},
      {"infinite voxel",
       [](nifti_1_header& h) { h.pixdim[1] = std::numeric_limits<float>::infinity(); },
       "NIfTI error: non-finite voxel size pixdim[1] = inf"},
      {"NaN sform",
       [](nifti_1_header& h) {
         h.sform_code = 1;
         h.srow_y[3] = std::nanf("");
       },
       "NIfTI error: non-finite sform affine"},
      {"NaN quaternion",
       [](nifti_1_header& h) {
         h.qform_code = 1;
         h.quatern_c = std::nanf("");
       },
       "NIfTI error: non-finite qform affine"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
    c.edit(h);
    EXPECT_ERROR(quorvex_core::from_header(decoded(h)), Nifti, c.message);
  }
}

namespace {

// Writes `values` as a 2 x 3 x 1 x (n / 6) image of type T in every container the reader
// accepts and checks the f32 samples each time.
template <class T>
void check_datatype(int datatype, const std::vector<T>& values, float slope = 0.0F,
                    float inter = 0.0F) {
  const quorvex_test::ScratchDir dir;
  auto h = quorvex_test::make_header({2, 3, 1, static_cast<int>(values.size() / 6)}, datatype,
                                     8 * sizeof(T));
  h.scl_slope = slope;
  h.scl_inter = inter;
  const bool scaled = std::isfinite(slope) && slope != 0.0F;
  for (const bool swap : {false, true}) {
    const std::string plain =
        quorvex_test::nifti_file(h, quorvex_test::stored_bytes(values, swap), swap);
    for (const bool gz : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "datatype " << datatype << (swap ? " swapped" : "") << (gz ? " gzip" : ""));
      const std::string path =
          dir.write(gz ? "image.nii.gz" : "image.nii", gz ? quorvex_test::gzip(plain, 3) : plain);
      auto loaded = quorvex_core::read_volume_with_info(path);
      ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
      const auto samples = loaded->first.samples();
      ASSERT_EQ(samples.size(), values.size());
      for (std::size_t i = 0; i < values.size(); ++i) {
        float expected = static_cast<float>(values[i]);
        if (scaled) expected = expected * slope + (std::isfinite(inter) ? inter : 0.0F);
        if (std::isnan(expected)) {
          EXPECT_TRUE(std::isnan(samples[i])) << i;
        } else {
          EXPECT_EQ(samples[i], expected) << i;
        }
      }
    }
  }
}

}  // namespace

TEST(volume_test, every_datatype_in_both_byte_orders) {
  using L = std::numeric_limits<std::int64_t>;
  check_datatype<std::uint8_t>(DT_UINT8, {0, 1, 2, 127, 128, 255});
  check_datatype<std::int8_t>(DT_INT8, {-128, -1, 0, 1, 100, 127});
  check_datatype<std::int16_t>(DT_INT16, {-32768, -1, 0, 1, 1000, 32767, 5, 6, 7, 8, 9, 10});
  check_datatype<std::uint16_t>(DT_UINT16, {0, 1, 255, 256, 40000, 65535});
  check_datatype<std::int32_t>(DT_INT32, {-2147483647 - 1, -1, 0, 16777217, 2147483647, 3});
  check_datatype<std::uint32_t>(DT_UINT32, {0, 1, 16777217, 4000000000U, 4294967295U, 7});
  check_datatype<std::int64_t>(DT_INT64, {L::min(), -1, 0, 1, L::max(), 1LL << 40});
  check_datatype<std::uint64_t>(DT_UINT64, {0, 1, 1ULL << 63, ~0ULL, 12345, 1ULL << 24});
  check_datatype<float>(DT_FLOAT32, {-1.5F, 0.0F, -0.0F, std::nanf(""), 1e30F, 3.25F});
  check_datatype<double>(DT_FLOAT64, {-1.5, 0.1, 1e300, -1e-300, std::nan(""), 2.0 / 3.0});
}

TEST(volume_test, scaling_rules) {
  const std::vector<std::int16_t> values{-3, 0, 1, 2, 1000, 32767};
  check_datatype(DT_INT16, values, 2.5F, -1.0F);
  check_datatype(DT_INT16, values, 0.0F, 7.0F);  // slope 0: no scaling, intercept ignored
  check_datatype(DT_INT16, values, std::nanf(""), 7.0F);
  check_datatype(DT_INT16, values, 0.5F, std::numeric_limits<float>::infinity());
  check_datatype<float>(DT_FLOAT32, {0.5F, 1, 2, 3, 4, 5}, 37.13F, 0.25F);
  check_datatype<std::uint8_t>(DT_UINT8, {0, 1, 2, 3, 4, 5}, -1.0F, 0.0F);
}

TEST(volume_test, storage_order_and_odd_offsets) {
  // Samples are numbered in file order, so at(x, y, z, v) must find x + 2 * (y + 3 * (z + 4 * v)).
  std::vector<std::int16_t> values(2 * 3 * 4 * 2);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::int16_t>(i);
  const quorvex_test::ScratchDir dir;
  for (const float offset : {352.0F, 0.0F, 349.0F, 353.0F, 1024.0F}) {
    for (const int datatype : {DT_INT16, DT_FLOAT32}) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " type " << datatype);
      auto h = quorvex_test::make_header({2, 3, 4, 2}, datatype, 16);
      h.vox_offset = offset;
      const std::string data =
          datatype == DT_INT16
              ? quorvex_test::stored_bytes(values)
              : quorvex_test::stored_bytes(std::vector<float>(values.begin(), values.end()));
      for (const bool gz : {false, true}) {
        const std::string plain = quorvex_test::nifti_file(h, data);
        const std::string path = dir.write("o.nii", gz ? quorvex_test::gzip(plain) : plain);
        auto loaded = quorvex_core::read_volume_with_info(path);
        ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
        const ImageArray& image = loaded->first;
        EXPECT_EQ(image.at(1, 2, 3, 1), static_cast<float>(1 + 2 * (2 + 3 * (3 + 4 * 1))));
        EXPECT_EQ(image.at(0, 1, 0, 0), 2.0F);
        EXPECT_EQ(image.at(0, 0, 1, 0), 6.0F);
      }
    }
  }
}

TEST(volume_test, refused_datatypes_and_headers) {
  const quorvex_test::ScratchDir dir;
  struct Case {
    const char* name;
    void (*edit)(nifti_1_header&);
    const char* message;
  };
  const Case cases[] = {
      {"complex", [](nifti_1_header& h) { h.datatype = DT_COMPLEX64; },
       "NIfTI error: data type COMPLEX64 (32) cannot be read as float32"},
      {"rgb", [](nifti_1_header& h) { h.datatype = DT_RGB24; },
       "NIfTI error: data type RGB24 (128) cannot be read as float32"},
      {"float128", [](nifti_1_header& h) { h.datatype = DT_FLOAT128; },
       "NIfTI error: data type FLOAT128 (1536) cannot be read as float32"},
      {"bits", [](nifti_1_header& h) { h.datatype = DT_BINARY; },
       "NIfTI error: data type BINARY (1) cannot be read as float32"},
      {"unknown type", [](nifti_1_header& h) { h.datatype = 3; },
       "NIfTI error: data type unknown (3) cannot be read as float32"},
      {"analyze", [](nifti_1_header& h) { std::memset(h.magic, 0, 4); },
       "NIfTI error: not a NIfTI-1 file (bad magic)"},
      {"two files", [](nifti_1_header& h) { std::memcpy(h.magic, "ni1", 4); },
       "NIfTI error: header names a separate .img data file, which is not supported"},
      {"nifti-2", [](nifti_1_header& h) { h.sizeof_hdr = 540; },
       "NIfTI error: NIfTI-2 files are not supported"},
      {"size field", [](nifti_1_header& h) { h.sizeof_hdr = 1234; },
       "NIfTI error: not a NIfTI-1 file (header size field 1234)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
    c.edit(h);
    const std::string bytes = quorvex_test::nifti_file(h, std::string(64, '\0'));
    EXPECT_ERROR(quorvex_core::read_volume_with_info(dir.write("bad.nii", bytes)), Nifti,
                 c.message);
  }
}

TEST(volume_test, hostile_files_fail_cleanly) {
  const quorvex_test::ScratchDir dir;
  const auto small = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  const std::string good = quorvex_test::nifti_file(small, std::string(16, '\x01'));
  const auto overflow =
      quorvex_test::make_header({32767, 32767, 32767, 32767, 32767}, DT_FLOAT64, 64);
  const auto huge = quorvex_test::make_header({32767, 32767, 32767, 100}, DT_FLOAT64, 64);
  // vox_offset is patched into finished files so the file itself stays small.
  const auto with_offset = [&](float offset) {
    std::string bytes = good;
    std::memcpy(bytes.data() + 108, &offset, sizeof offset);
    return bytes;
  };
  std::string bad_crc = quorvex_test::gzip(good);
  bad_crc[bad_crc.size() - 6] ^= 0x40;
  std::string bad_body = quorvex_test::gzip(good);
  bad_body[bad_body.size() / 2] ^= 0x55;
  std::string bad_body2 = quorvex_test::gzip(good);
  std::fill(bad_body2.begin() + 12, bad_body2.end() - 8, '\xff');

  struct Case {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", "", "NIfTI error: file holds 0 bytes, fewer than the 348-byte header"},
      {"short header", good.substr(0, 100),
       "NIfTI error: file holds 100 bytes, fewer than the 348-byte header"},
      {"truncated data", good.substr(0, good.size() - 1),
       "NIfTI error: header implies 368 bytes of image but the file holds 367"},
      {"overflow", quorvex_test::nifti_file(overflow, ""),
       "NIfTI error: dimensions overflow the sample count"},
      {"terabytes", quorvex_test::nifti_file(huge, ""),
       "NIfTI error: header implies 28144920769330752 bytes of image but the file holds 352"},
      {"gzip terabytes", quorvex_test::gzip(quorvex_test::nifti_file(huge, "")),
       "NIfTI error: header implies 28144920769330752 bytes of image but a 53-byte gzip stream "
       "inflates to at most 120232"},
      {"offset past end", with_offset(1e9F),
       "NIfTI error: header implies 1000000016 bytes of image but the file holds 368"},
      {"offset in header", with_offset(100.0F), "NIfTI error: invalid vox_offset 100"},
      {"fractional offset", with_offset(352.5F), "NIfTI error: invalid vox_offset 352.5"},
      {"NaN offset", with_offset(std::nanf("")), "NIfTI error: invalid vox_offset nan"},
      {"negative offset", with_offset(-352.0F), "NIfTI error: invalid vox_offset -352"},
      {"gzip truncated", quorvex_test::gzip(good).substr(0, 30),
       "NIfTI error: gzip stream is truncated"},
      {"gzip short stream", quorvex_test::gzip(good.substr(0, good.size() - 2)),
       "NIfTI error: gzip stream inflates to 366 bytes but the header implies 368"},
      {"gzip crc", bad_crc, "NIfTI error: gzip CRC-32 mismatch"},
      {"gzip garbage", "\x1f\x8b" + std::string(40, 'x'), ""},
      {"gzip trailing garbage", quorvex_test::gzip(good) + "junk", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = quorvex_core::read_volume_with_info(dir.write("hostile.nii", c.bytes));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), quorvex_core::ErrorKind::Nifti);
    const std::string text = result.error().display();
    // The in-memory reader is the same decoder: same refusal, same words.
    const auto in_memory = quorvex_core::read_volume_from_bytes(
        std::as_bytes(std::span(c.bytes.data(), c.bytes.size())));
    ASSERT_FALSE(in_memory.has_value());
    EXPECT_EQ(in_memory.error().display(), text);
    if (!c.message.empty()) {
      EXPECT_EQ(text, c.message);
    }
    EXPECT_TRUE(text.starts_with("NIfTI error: ")) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
  for (const std::string& body : {bad_body, bad_body2}) {
    const auto result = quorvex_core::read_volume_with_info(dir.write("body.nii.gz", body));
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().display().starts_with("NIfTI error: ")) << result.error().display();
  }
}

TEST(volume_test, files_that_are_not_images) {
  const quorvex_test::ScratchDir dir;
  EXPECT_ERROR(quorvex_core::read_volume_with_info(dir.file("missing.nii.gz")), Nifti,
               "NIfTI error: No such file or directory (os error 2)");
  EXPECT_ERROR(quorvex_core::read_volume_with_info(dir.file("")), Nifti,
               "NIfTI error: Is a directory (os error 21)");
  EXPECT_ERROR(quorvex_core::read_volume_with_info("/dev/null"), Nifti,
               "NIfTI error: not a regular file");
  // A FIFO nobody writes to used to block open() for ever.
  const std::string fifo = dir.file("pipe.nii");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_ERROR(quorvex_core::read_volume_with_info(fifo), Nifti, "NIfTI error: not a regular file");
  EXPECT_ERROR(quorvex_core::read_mask(fifo), Nifti, "NIfTI error: not a regular file");
}

TEST(volume_test, reads_from_memory_like_from_a_file) {
  const quorvex_test::ScratchDir dir;
  std::vector<std::int16_t> values(3 * 4 * 2 * 2);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::int16_t>(3 * i - 20);
  const std::string plain = quorvex_test::nifti_file(
      quorvex_test::make_header({3, 4, 2, 2}, DT_INT16, 16), quorvex_test::stored_bytes(values));
  for (const std::string& bytes : {plain, quorvex_test::gzip(plain, 3)}) {
    auto from_file = quorvex_core::read_volume_with_info(dir.write("f.nii", bytes));
    auto from_memory =
        quorvex_core::read_volume_from_bytes(std::as_bytes(std::span(bytes.data(), bytes.size())));
    ASSERT_TRUE(from_file.has_value() && from_memory.has_value());
    EXPECT_EQ(from_memory->second.dims, from_file->second.dims);
    EXPECT_EQ(from_memory->second.affine, from_file->second.affine);
    ASSERT_EQ(from_memory->first.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
      EXPECT_EQ(from_memory->first.samples()[i], static_cast<float>(values[i]));
  }
}

TEST(volume_test, multi_member_gzip_and_padding) {
  const quorvex_test::ScratchDir dir;
  std::vector<std::uint16_t> values(4 * 5 * 6 * 3);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::uint16_t>(i * 7);
  const std::string plain = quorvex_test::nifti_file(
      quorvex_test::make_header({4, 5, 6, 3}, DT_UINT16, 16), quorvex_test::stored_bytes(values));
  // 7 members put a boundary inside the header; zero padding after the last member is common.
  for (const std::string& bytes :
       {quorvex_test::gzip(plain, 7), quorvex_test::gzip(plain, 2) + std::string(512, '\0')}) {
    auto loaded = quorvex_core::read_volume_with_info(dir.write("m.nii.gz", bytes));
    ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
    EXPECT_EQ(loaded->first.at(3, 4, 5, 2), static_cast<float>(values.back()));
  }
  // Data after the image's end is decoded (its CRC still checked) and dropped.
  auto longer = quorvex_core::read_volume_with_info(
      dir.write("l.nii.gz", quorvex_test::gzip(plain + std::string(100000, 'x'), 3)));
  ASSERT_TRUE(longer.has_value()) << longer.error().display();
  EXPECT_EQ(longer->first.size(), values.size());
}

TEST(volume_test, mask_rule_in_voxel_order) {
  // 2 x 2 x 1 grid in file order (x fastest): (0,0) (1,0) (0,1) (1,1).
  const ImageArray image =
      image_of({2, 2, 1}, {0.0F, 1.0F, 2.5F, std::numeric_limits<float>::quiet_NaN()});
  // Voxel order is x slowest: (0,0) (0,1) (1,0) (1,1).
  EXPECT_EQ(*quorvex_core::mask_from_volume(image), (Mask{false, true, true, true}));
  const ImageArray dwi = image_of({1, 2, 2, 2}, {-1.0F, 0.0F, 0.0F, 0.0F, 9, 9, 9, 9});
  EXPECT_EQ(*quorvex_core::mask_from_volume(dwi), (Mask{true, false, false, false}));
  EXPECT_ERROR(quorvex_core::mask_from_volume(image_of({2, 2}, {1, 1, 1, 1})), Nifti,
               "NIfTI error: a mask image must be 3-D or 4-D, got 2-D");
  EXPECT_ERROR(quorvex_core::mask_from_volume(image_of({1, 1, 1, 1, 1}, {1})), Nifti,
               "NIfTI error: a mask image must be 3-D or 4-D, got 5-D");
}

TEST(volume_test, masked_mean_edges) {
  const std::vector<float> samples{1.0F, 2.0F, 4.0F};
  const Mask none{false, false, false};
  const Mask first_two{true, true};
  EXPECT_EQ(quorvex_core::masked_mean(samples, &none), 0.0);
  EXPECT_EQ(quorvex_core::masked_mean(std::span<const float>(), nullptr), 0.0);
  EXPECT_DOUBLE_EQ(quorvex_core::masked_mean(samples, nullptr), 7.0 / 3.0);
  EXPECT_DOUBLE_EQ(quorvex_core::masked_mean(samples, &first_two), 1.5);  // stops at the mask end
  const Mask longer{false, true, true, true, true};
  EXPECT_DOUBLE_EQ(quorvex_core::masked_mean(samples, &longer), 3.0);
}

TEST(volume_test, mean_for_volumes_order_and_rank) {
  const ImageArray flat = image_of({2, 1, 2}, {1, 2, 3, 6});
  const std::vector<std::size_t> indices{0, 5, 9};
  EXPECT_EQ(quorvex_core::mean_for_volumes(flat, indices, nullptr),
            (std::vector<double>{3.0, 3.0, 3.0}));
  EXPECT_TRUE(quorvex_core::mean_for_volumes(flat, {}, nullptr).empty());

  // 40 volumes of 2 x 2 x 1 so the pool has work to split; volume v holds v, v, v, 100 + v.
  std::vector<float> samples;
  for (int v = 0; v < 40; ++v)
    samples.insert(samples.end(), {1.0F * v, 1.0F * v, 1.0F * v, 100.0F + v});
  const ImageArray dwi = image_of({2, 2, 1, 40}, samples);
  const Mask corner{false, false, false, true};  // voxel (1, 1) is last in voxel order too
  const std::vector<std::size_t> wanted{39, 0, 7, 7, 40};
  const auto means = quorvex_core::mean_for_volumes(dwi, wanted, &corner);
  ASSERT_EQ(means.size(), 5U);
  EXPECT_EQ(means[0], 139.0);
  EXPECT_EQ(means[1], 100.0);
  EXPECT_EQ(means[2], 107.0);
  EXPECT_EQ(means[3], 107.0);
  EXPECT_TRUE(std::isnan(means[4]));
  EXPECT_DOUBLE_EQ(quorvex_core::mean_for_volumes(dwi, wanted, nullptr)[2], (3 * 7 + 107) / 4.0);
}

TEST(volume_test, mask_grid_follows_voxel_order_on_real_mask) {
  const std::string path = real_data + "/dipy_small_64d/dipy_small_64d_desc-wm_mask.nii.gz";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "real data not found at " << real_data;
  auto loaded = quorvex_core::read_volume_with_info(path);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  const ImageArray& image = loaded->first;
  auto mask = quorvex_core::read_mask(path);
  ASSERT_TRUE(mask.has_value());
  ASSERT_EQ(mask->size(), 1000U);
  std::size_t inside = 0;
  for (std::size_t x = 0; x < 10; ++x) {
    for (std::size_t y = 0; y < 10; ++y) {
      for (std::size_t z = 0; z < 10; ++z) {
        EXPECT_EQ((*mask)[(x * 10 + y) * 10 + z], image.at(x, y, z) != 0.0F);
        inside += image.at(x, y, z) != 0.0F;
      }
    }
  }
  // The README's reference run counts 601 white-matter voxels in this mask.
  EXPECT_EQ(inside, 601U);
}

TEST(volume_test, real_images_have_documented_shapes) {
  struct Case {
    const char* name;
    std::vector<std::size_t> dims;
    bool positive_det;
  };
  const Case cases[] = {
      {"philips_dti_2mm_crop", {84, 94, 12, 17}, false},
      {"philips_dti_2mm_crop_ras", {84, 94, 12, 17}, true},
      {"mrtrix_multishell_crop", {11, 11, 23, 113}, false},
      {"mrtrix_b3000_tiny", {6, 8, 9, 68}, true},
      {"dipy_small_64d", {10, 10, 10, 65}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = real_data + "/" + c.name + "/" + c.name + "_dwi.nii.gz";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "real data not found at " << real_data;
    auto loaded = quorvex_core::read_volume_with_info(path);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
    EXPECT_EQ(loaded->second.dims, c.dims);
    EXPECT_EQ(loaded->second.n_volumes, c.dims[3]);
    const auto& a = loaded->second.affine;
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    EXPECT_EQ(det > 0, c.positive_det);
  }
  // The RAS copy holds the crop's voxels with x stored reversed.
  const std::string crop = real_data + "/philips_dti_2mm_crop/philips_dti_2mm_crop_dwi.nii.gz";
  const std::string ras =
      real_data + "/philips_dti_2mm_crop_ras/philips_dti_2mm_crop_ras_dwi.nii.gz";
  auto a = quorvex_core::read_volume_with_info(crop);
  auto b = quorvex_core::read_volume_with_info(ras);
  ASSERT_TRUE(a.has_value() && b.has_value());
  for (const std::size_t v : {0U, 9U, 16U}) {
    EXPECT_EQ(a->first.at(10, 20, 5, v), b->first.at(83 - 10, 20, 5, v));
    EXPECT_EQ(a->first.at(40, 50, 0, v), b->first.at(83 - 40, 50, 0, v));
  }
}

namespace {

// nibabel writes every data type (with scaling, an oblique sform and both byte orders) and
// reports the float values and affine it reads back; the loader must agree.
const char* const nibabel_script = R"PY(
import sys, numpy as np, nibabel as nib
out = sys.argv[1]
rng = np.random.default_rng(4)
aff = np.array([[-1.9, 0.2, 0.1, 90], [0.15, 2.1, -0.3, -120], [0.05, 0.25, 2.4, -60], [0, 0, 0, 1]])
types = ['uint8', 'int8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64', 'float32', 'float64']
lines = []
for i, t in enumerate(types):
    info = np.iinfo(t) if np.dtype(t).kind in 'iu' else None
    lo, hi = (max(info.min, -10**6), min(info.max, 10**6)) if info else (-1e4, 1e4)
    data = rng.uniform(lo, hi, size=(5, 4, 3, 2)).astype(t)
    for order in '<>':
        typed = data.astype(np.dtype(t).newbyteorder(order))
        img = nib.Nifti1Image(typed, aff, dtype=typed.dtype)
        img.header.set_slope_inter(*((1.5, -2.0) if i % 2 else (None, None)))
        img.set_qform(aff, 1)
        name = f'{out}/{t}{"_be" if order == ">" else ""}.nii' + ('.gz' if i % 3 == 0 else '')
        nib.save(img, name)
        back = nib.load(name)
        vals = np.asarray(back.dataobj, dtype=np.float64)
        lines.append(name + ' ' + ' '.join(repr(float(x)) for x in back.affine.ravel()) + ' | ' +
                     ' '.join(repr(float(x)) for x in vals.ravel(order='F')))
open(f'{out}/expected.txt', 'w').write('\n'.join(lines) + '\n')
)PY";

}  // namespace

TEST(volume_test, agrees_with_nibabel_for_every_datatype) {
  const std::string python = std::string(QUORVEX_SOURCE_DIR) + "/.venv/bin/python";
  if (!std::filesystem::exists(python)) GTEST_SKIP() << "no project venv at " << python;
  const quorvex_test::ScratchDir dir;
  const std::string script = dir.write("write.py", nibabel_script);
  const std::string command = python + " " + script + " " + dir.file("") + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "nibabel could not write the images";
  std::ifstream expected(dir.file("expected.txt"));
  std::string line;
  std::size_t files = 0;
  while (std::getline(expected, line)) {
    std::istringstream in(line);
    std::string name;
    in >> name;
    SCOPED_TRACE(name);
    quorvex_core::Affine affine{};
    for (auto& row : affine) {
      for (double& value : row)
        in >> value;
    }
    std::string bar;
    in >> bar;
    std::vector<double> values;
    for (double value; in >> value;)
      values.push_back(value);
    auto loaded = quorvex_core::read_volume_with_info(name);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
    expect_affine(loaded->second.affine, affine, 1e-6);
    const auto samples = loaded->first.samples();
    ASSERT_EQ(samples.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      // f32 against nibabel's f64: one rounding of the stored value and one of the scaling.
      EXPECT_NEAR(samples[i], values[i], 1e-6 * std::abs(values[i]) + 1e-6) << i;
    }
    ++files;
  }
  EXPECT_EQ(files, 20U);
}
