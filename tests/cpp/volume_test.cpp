#include "quorvex/volume.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "nifti_builder.hpp"
#include "quorvex/volume_stream.hpp"
#include "test_support.hpp"

using quorvex_core::ImageArray;
using quorvex_core::Mask;
using quorvex_core::VolumeInfo;

namespace {

const std::string real_data = std::string(QUORVEX_SOURCE_DIR) + "/../shared/data/real";

VolumeInfo info_of(const nifti_1_header& h) {
  std::size_t samples = 1;
  for (int k = 1; k <= h.dim[0]; ++k)
    samples *= static_cast<std::size_t>(h.dim[k]);
  const std::string bytes = quorvex_test::nifti_file(h, std::string(2 * samples, '\0'));
  auto read = quorvex_core::read_volume_from_bytes(std::as_bytes(std::span(bytes)));
  EXPECT_TRUE(read.has_value()) << read.error().display();
  return read->second;
}

// A 2 x 2 x 2 INT16 header after `edit`, with 64 bytes of data.
std::string edited(void (*edit)(nifti_1_header&)) {
  auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
  edit(h);
  return quorvex_test::nifti_file(h, std::string(64, '\0'));
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

TEST(volume_test, header_affines) {
  using quorvex_core::Affine;
  // Without an expected affine, nifti_clib's own quaternion conversion (f32) is the oracle.
  const auto check = [](const char* name, short sform_code, short qform_code,
                        const std::array<float, 4>& pixdim, const std::array<float, 6>& quatern,
                        std::optional<Affine> expected, double tolerance) {
    SCOPED_TRACE(name);
    auto h = quorvex_test::make_header({2, 2, 2}, DT_INT16, 16);
    h.sform_code = sform_code;
    h.qform_code = qform_code;
    std::copy(pixdim.begin(), pixdim.end(), h.pixdim);  // qfac, then the voxel sizes
    // The quaternion and its offsets, like the three sform rows, are adjacent in the header.
    std::memcpy(&h.quatern_b, quatern.data(), sizeof quatern);
    const float rows[12] = {0, -2, 0, 10, 3, 0, 0, -20, 0, 0, 4, 30};
    std::memcpy(h.srow_x, rows, sizeof rows);
    if (!expected) {
      const mat44 m =
          nifti_quatern_to_mat44(h.quatern_b, h.quatern_c, h.quatern_d, h.qoffset_x, h.qoffset_y,
                                 h.qoffset_z, h.pixdim[1], h.pixdim[2], h.pixdim[3], h.pixdim[0]);
      expected.emplace();
      for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 4; ++c)
          (*expected)[r][c] = m.m[r][c];
      }
    }
    expect_affine(info_of(h).affine, *expected, tolerance);
  };
  // The sform (its rows are set in every case) hides the qform's half turn.
  check("sform wins", 1, 1, {1, 1, 1, 1}, {1, 0, 0, 0, 0, 0},
        Affine{{{0, -2, 0, 10}, {3, 0, 0, -20}, {0, 0, 4, 30}, {0, 0, 0, 1}}}, 1e-12);
  check("oblique qform, negative qfac", 0, 2, {-1, 1.5F, 2, 3}, {0.1F, -0.3F, 0.2F, -90, 126, -72},
        std::nullopt, 1e-5);
  // d^2 just over 1 gives a = 0: a half turn about z, no NaN anywhere.
  check("quaternion squares above one", 0, 1, {1, 1, 1, 1}, {0, 0, 1.0000001F, 0, 0, 0},
        Affine{{{-1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, 1e-6);
  // Without a code (negative ones count as unset) the offsets and rows are ignored.
  check("pixdim alone", -1, 0, {1, -1.5F, 2, 3}, {0, 0, 0, 50, 0, 0},
        Affine{{{-1.5, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 3, 0}, {0, 0, 0, 1}}}, 1e-12);
}

TEST(volume_test, dims_volume_count_and_voxel_sizes) {
  EXPECT_EQ(info_of(quorvex_test::make_header({4, 5, 6}, DT_INT16, 16)).n_volumes, 1U);
  auto h = quorvex_test::make_header({4, 5, 6, 65}, DT_INT16, 16);
  h.pixdim[1] = -1.5F;
  h.pixdim[3] = 3;
  const VolumeInfo dwi = info_of(h);
  EXPECT_EQ(dwi.n_volumes, 65U);
  EXPECT_EQ(dwi.dims, (std::vector<std::size_t>{4, 5, 6, 65}));
  EXPECT_EQ(dwi.voxel_sizes, (std::array<double, 3>{-1.5, 1, 3}));
  EXPECT_EQ(info_of(quorvex_test::make_header({4, 5, 6, 1, 3}, DT_INT16, 16)).n_volumes, 1U);
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

TEST(volume_test, every_datatype_in_both_byte_orders_and_the_scaling_rules) {
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
  // Slope 0 or NaN: no scaling, the intercept ignored; a non-finite intercept is dropped.
  const std::vector<std::int16_t> values{-3, 0, 1, 2, 1000, 32767};
  check_datatype(DT_INT16, values, 2.5F, -1.0F);
  check_datatype(DT_INT16, values, 0.0F, 7.0F);
  check_datatype(DT_INT16, values, std::nanf(""), 7.0F);
  check_datatype(DT_INT16, values, 0.5F, std::numeric_limits<float>::infinity());
  check_datatype<float>(DT_FLOAT32, {0.5F, 1, 2, 3, 4, 5}, 37.13F, 0.25F);
  check_datatype<std::uint8_t>(DT_UINT8, {0, 1, 2, 3, 4, 5}, -1.0F, 0.0F);
}

TEST(volume_test, storage_order_odd_offsets_and_every_container_from_file_and_memory) {
  // Samples are numbered in file order, so at(x, y, z, v) must find x + 2 * (y + 3 * (z + 4 * v)).
  std::vector<std::int16_t> values(2 * 3 * 4 * 2);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::int16_t>(i);
  const quorvex_test::ScratchDir dir;
  for (const float offset : {0.0F, 349.0F, 353.0F, 1024.0F}) {
    auto h = quorvex_test::make_header({2, 3, 4, 2}, DT_INT16, 16);
    h.vox_offset = offset;
    const std::string plain = quorvex_test::nifti_file(h, quorvex_test::stored_bytes(values));
    // 7 members put a boundary inside the header; zero padding after the last member is common;
    // data after the image's end is decoded (its CRC still checked) and dropped.
    for (const std::string& bytes : {plain, quorvex_test::gzip(plain, 7),
                                     quorvex_test::gzip(plain, 2) + std::string(512, '\0'),
                                     quorvex_test::gzip(plain + std::string(100000, 'x'), 3)}) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " size " << bytes.size());
      auto loaded = quorvex_core::read_volume_with_info(dir.write("o.nii", bytes));
      ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
      const ImageArray& image = loaded->first;
      EXPECT_EQ(image.at(1, 2, 3, 1), static_cast<float>(1 + 2 * (2 + 3 * (3 + 4 * 1))));
      EXPECT_EQ(image.at(0, 1, 0, 0), 2.0F);
      EXPECT_EQ(image.at(0, 0, 1, 0), 6.0F);
      auto from_memory = quorvex_core::read_volume_from_bytes(std::as_bytes(std::span(bytes)));
      ASSERT_TRUE(from_memory.has_value());
      EXPECT_EQ(from_memory->second.affine, loaded->second.affine);
      EXPECT_TRUE(std::ranges::equal(from_memory->first.samples(), image.samples()));
    }
  }
}

TEST(volume_test, refused_headers_and_hostile_files) {
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
  // The size field is the byte-order mark; the first field read in the wrong order is refused.
  std::string swapped_size = good;
  std::reverse(swapped_size.begin(), swapped_size.begin() + 4);

  struct Case {
    const char* name;
    std::string bytes;
    std::string message;
    // The streamed reader stops after the image's member and never sees what follows.
    bool streamed_reads_it = false;
  };
  const std::vector<Case> cases = {
      {"rank 0", edited([](nifti_1_header& h) { h.dim[0] = 0; }),
       "NIfTI error: inconsistent dimensions: dim[0] = 0"},
      {"rank 8", edited([](nifti_1_header& h) { h.dim[0] = 8; }),
       "NIfTI error: inconsistent dimensions: dim[0] = 8"},
      {"zero dim", edited([](nifti_1_header& h) { h.dim[2] = 0; }),
       "NIfTI error: inconsistent dimensions: dim[2] = 0"},
      {"negative dim", edited([](nifti_1_header& h) { h.dim[3] = -5; }),
       "NIfTI error: inconsistent dimensions: dim[3] = -5"},
      {"NaN voxel", edited([](nifti_1_header& h) { h.pixdim[2] = std::nanf(""); }),
       "NIfTI error: non-finite voxel size pixdim[2] = nan"},
      {"infinite voxel",
       edited([](nifti_1_header& h) { h.pixdim[1] = std::numeric_limits<float>::infinity(); }),
       "NIfTI error: non-finite voxel size pixdim[1] = inf"},
      {"NaN sform", edited([](nifti_1_header& h) {
         h.sform_code = 1;
         h.srow_y[3] = std::nanf("");
       }),
       "NIfTI error: non-finite sform affine"},
      {"NaN quaternion", edited([](nifti_1_header& h) {
         h.qform_code = 1;
         h.quatern_c = std::nanf("");
       }),
       "NIfTI error: non-finite qform affine"},
      {"complex", edited([](nifti_1_header& h) { h.datatype = DT_COMPLEX64; }),
       "NIfTI error: data type COMPLEX64 (32) cannot be read as float32"},
      {"rgb", edited([](nifti_1_header& h) { h.datatype = DT_RGB24; }),
       "NIfTI error: data type RGB24 (128) cannot be read as float32"},
      {"float128", edited([](nifti_1_header& h) { h.datatype = DT_FLOAT128; }),
       "NIfTI error: data type FLOAT128 (1536) cannot be read as float32"},
      {"bits", edited([](nifti_1_header& h) { h.datatype = DT_BINARY; }),
       "NIfTI error: data type BINARY (1) cannot be read as float32"},
      {"unknown type", edited([](nifti_1_header& h) { h.datatype = 3; }),
       "NIfTI error: data type unknown (3) cannot be read as float32"},
      {"analyze", edited([](nifti_1_header& h) { std::memset(h.magic, 0, 4); }),
       "NIfTI error: not a NIfTI-1 file (bad magic)"},
      {"two files", edited([](nifti_1_header& h) { std::memcpy(h.magic, "ni1", 4); }),
       "NIfTI error: header names a separate .img data file, which is not supported"},
      {"nifti-2", edited([](nifti_1_header& h) { h.sizeof_hdr = 540; }),
       "NIfTI error: NIfTI-2 files are not supported"},
      {"size field", edited([](nifti_1_header& h) { h.sizeof_hdr = 1234; }),
       "NIfTI error: not a NIfTI-1 file (header size field 1234)"},
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
      {"size field swapped", swapped_size, "NIfTI error: invalid vox_offset 6.3231e-41"},
      {"fractional offset", with_offset(352.5F), "NIfTI error: invalid vox_offset 352.5"},
      {"NaN offset", with_offset(std::nanf("")), "NIfTI error: invalid vox_offset nan"},
      {"negative offset", with_offset(-352.0F), "NIfTI error: invalid vox_offset -352"},
      {"gzip truncated", quorvex_test::gzip(good).substr(0, 30),
       "NIfTI error: gzip stream is truncated"},
      {"gzip short stream", quorvex_test::gzip(good.substr(0, good.size() - 2)),
       "NIfTI error: gzip stream inflates to 366 bytes but the header implies 368"},
      {"gzip crc", bad_crc, "NIfTI error: gzip CRC-32 mismatch"},
      {"gzip garbage", "\x1f\x8b" + std::string(40, 'x'), ""},
      {"gzip trailing garbage", quorvex_test::gzip(good) + "junk", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = quorvex_core::read_volume_with_info(dir.write("hostile.nii", c.bytes));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), quorvex_core::ErrorKind::Nifti);
    const std::string text = result.error().display();
    // The in-memory and the streamed readers are the same decoder: same refusal, same words.
    const auto in_memory = quorvex_core::read_volume_from_bytes(
        std::as_bytes(std::span(c.bytes.data(), c.bytes.size())));
    ASSERT_FALSE(in_memory.has_value());
    EXPECT_EQ(in_memory.error().display(), text);
    const auto streamed = quorvex_core::stream_volume(dir.file("hostile.nii"), std::nullopt);
    ASSERT_EQ(streamed.has_value(), c.streamed_reads_it);
    if (!streamed) {
      EXPECT_EQ(streamed.error().display(), text);
    }
    if (!c.message.empty()) {
      EXPECT_EQ(text, c.message);
    }
    EXPECT_TRUE(text.starts_with("NIfTI error: ")) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
}

TEST(volume_test, masks_and_masked_means) {
  // 2 x 2 x 1 grid in file order (x fastest): (0,0) (1,0) (0,1) (1,1).
  const ImageArray image =
      image_of({2, 2, 1}, {0.0F, 1.0F, 2.5F, std::numeric_limits<float>::quiet_NaN()});
  // Voxel order is x slowest: (0,0) (0,1) (1,0) (1,1).
  EXPECT_EQ(*quorvex_core::mask_from_volume(image), (Mask{false, true, true, true}));
  const ImageArray four_d = image_of({1, 2, 2, 2}, {-1.0F, 0.0F, 0.0F, 0.0F, 9, 9, 9, 9});
  EXPECT_EQ(*quorvex_core::mask_from_volume(four_d), (Mask{true, false, false, false}));
  EXPECT_ERROR(quorvex_core::mask_from_volume(image_of({2, 2}, {1, 1, 1, 1})), Nifti,
               "NIfTI error: a mask image must be 3-D or 4-D, got 2-D");
  EXPECT_ERROR(quorvex_core::mask_from_volume(image_of({1, 1, 1, 1, 1}, {1})), Nifti,
               "NIfTI error: a mask image must be 3-D or 4-D, got 5-D");
  const std::vector<float> three{1.0F, 2.0F, 4.0F};
  const Mask none{false, false, false};
  const Mask first_two{true, true};
  const Mask longer{false, true, true, true, true};
  EXPECT_EQ(quorvex_core::masked_mean(three, &none), 0.0);
  EXPECT_EQ(quorvex_core::masked_mean(std::span<const float>(), nullptr), 0.0);
  EXPECT_DOUBLE_EQ(quorvex_core::masked_mean(three, nullptr), 7.0 / 3.0);
  EXPECT_DOUBLE_EQ(quorvex_core::masked_mean(three, &first_two), 1.5);  // stops at the mask end
  EXPECT_DOUBLE_EQ(quorvex_core::masked_mean(three, &longer), 3.0);

  // A 3-D image is one volume, whatever index is asked for.
  const ImageArray flat = image_of({2, 1, 2}, {1, 2, 3, 6});
  EXPECT_EQ(quorvex_core::mean_for_volumes(flat, std::vector<std::size_t>{0, 5, 9}, nullptr),
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
  EXPECT_EQ(std::vector<double>(means.begin(), means.begin() + 4),
            (std::vector<double>{139.0, 100.0, 107.0, 107.0}));
  EXPECT_TRUE(std::isnan(means[4]));
  EXPECT_DOUBLE_EQ(quorvex_core::mean_for_volumes(dwi, wanted, nullptr)[2], (3 * 7 + 107) / 4.0);
}

// The affines of the real images are checked through their tables in frame_test.
TEST(volume_test, real_images_and_mask) {
  if (!std::filesystem::exists(real_data)) GTEST_SKIP() << "real data not found at " << real_data;
  const auto read = [](const std::string& name, const std::string& suffix = "_dwi.nii.gz") {
    auto loaded = quorvex_core::read_volume_with_info(real_data + "/" + name + "/" + name + suffix);
    EXPECT_TRUE(loaded.has_value()) << loaded.error().display();
    return std::move(*loaded);
  };
  EXPECT_EQ(read("mrtrix_multishell_crop").second.dims,
            (std::vector<std::size_t>{11, 11, 23, 113}));
  // The RAS copy holds the crop's voxels with x stored reversed.
  const auto crop = read("philips_dti_2mm_crop");
  const auto ras = read("philips_dti_2mm_crop_ras");
  for (const std::size_t v : {0U, 9U, 16U}) {
    EXPECT_EQ(crop.first.at(10, 20, 5, v), ras.first.at(83 - 10, 20, 5, v));
    EXPECT_EQ(crop.first.at(40, 50, 0, v), ras.first.at(83 - 40, 50, 0, v));
  }
  // The mask in voxel order (x slowest) against the image; the README's reference run counts
  // 601 white-matter voxels in it.
  const std::string mask_path = real_data + "/dipy_small_64d/dipy_small_64d_desc-wm_mask.nii.gz";
  const auto image = read("dipy_small_64d", "_desc-wm_mask.nii.gz").first;
  auto mask = quorvex_core::read_mask(mask_path);
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
  EXPECT_EQ(inside, 601U);
}
