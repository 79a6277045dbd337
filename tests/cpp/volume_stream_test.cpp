// The streamed reader against the whole-file reader: the same samples or the same error, for
// every data type, byte order and container, with chunk edges everywhere, and a stream whose
// faults sit at every member boundary.
#include "quorvex/volume_stream.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "nifti_builder.hpp"
#include "quorvex/interrupt.hpp"
#include "quorvex/tensor.hpp"
#include "tensor_feed.hpp"
#include "test_support.hpp"

using quorvex_core::StreamChunks;
namespace q = quorvex_core;

namespace {

// Tiny chunks put a chunk edge inside the header, inside samples and inside every gzip trailer.
const std::vector<StreamChunks> chunkings{{}, {7, 8}, {64, 24}};

std::string error_of(const auto& result) {
  return result ? std::string("ok") : result.error().display();
}

// Streams `path` keeping `volumes` and checks it against the whole-file read: the same error, or
// the same geometry and bit-identical samples for each kept volume (absent ones unreadable).
void expect_same(const std::string& path, std::optional<std::vector<std::size_t>> volumes) {
  const auto whole = q::read_volume_with_info(path);
  for (const StreamChunks& chunks : chunkings) {
    SCOPED_TRACE(testing::Message() << "chunks " << chunks.input << "/" << chunks.output);
    const auto streamed =
        volumes ? q::stream_volume(path, std::span<const std::size_t>(*volumes), chunks)
                : q::stream_volume(path, std::nullopt, chunks);
    ASSERT_EQ(error_of(streamed), error_of(whole));
    if (!whole) continue;
    const q::ImageArray& a = whole->first;
    const q::ImageArray& b = streamed->image;
    ASSERT_EQ(streamed->info.dims, whole->second.dims);
    ASSERT_EQ(streamed->info.affine, whole->second.affine);
    const std::size_t n = a.rank() >= 4 ? a.dim(a.rank() - 1) : 1;
    const std::size_t run = a.size() / n;
    for (std::size_t v = 0; v < n; ++v) {
      const bool kept = !volumes || a.rank() != 4 ||
                        std::find(volumes->begin(), volumes->end(), v) != volumes->end();
      ASSERT_EQ(b.volume(v) != nullptr, kept) << "volume " << v;
      if (kept) {
        EXPECT_EQ(std::memcmp(a.volume(v), b.volume(v), run * sizeof(float)), 0) << v;
      }
    }
  }
}

template <class T>
std::vector<T> ramp(std::size_t n) {
  std::vector<T> values(n);
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = static_cast<T>(static_cast<double>(i * 37 % 251) - (std::is_signed_v<T> ? 90 : 0));
  }
  if constexpr (std::is_floating_point_v<T>) {
    values[1] = std::numeric_limits<T>::quiet_NaN();
    values[2] = -0.0;
  }
  return values;
}

// Writes a 3 x 2 x 2 x 5 image of T (scaled when `slope`) at an odd data offset in every
// container and byte order, and compares the readers keeping all, some and none of the volumes.
template <class T>
void check_type(int datatype, float slope) {
  const quorvex_test::ScratchDir dir;
  const auto values = ramp<T>(3 * 2 * 2 * 5);
  auto h = quorvex_test::make_header({3, 2, 2, 5}, datatype, 8 * sizeof(T));
  h.scl_slope = slope;
  h.scl_inter = slope != 0.0F ? -2.5F : 0.0F;
  h.vox_offset = 357.0F;
  for (const bool swap : {false, true}) {
    const std::string plain =
        quorvex_test::nifti_file(h, quorvex_test::stored_bytes(values, swap), swap);
    for (const std::size_t members : {0U, 1U, 4U}) {
      SCOPED_TRACE(testing::Message() << "type " << datatype << (swap ? " swapped" : "")
                                      << " members " << members << " slope " << slope);
      const std::string path =
          dir.write("i.nii.gz", members == 0 ? plain : quorvex_test::gzip(plain, members));
      expect_same(path, std::nullopt);
      expect_same(path, std::vector<std::size_t>{4, 1, 1, 99});
      expect_same(path, std::vector<std::size_t>{});
    }
  }
}

// A gzip file made of separate members, with where each ends.
struct Members {
  std::string bytes;
  std::vector<std::size_t> ends;
};

Members members_of(const std::string& plain, std::size_t count) {
  Members out;
  const std::size_t step = plain.size() / count + 1;
  for (std::size_t at = 0; at < plain.size(); at += step) {
    out.bytes += quorvex_test::gzip(plain.substr(at, step));
    out.ends.push_back(out.bytes.size());
  }
  return out;
}

std::string plain_image(std::initializer_list<int> dims, std::size_t samples) {
  return quorvex_test::nifti_file(quorvex_test::make_header(dims, DT_INT16, 16),
                                  quorvex_test::stored_bytes(ramp<std::int16_t>(samples)));
}

// A 40-volume table: b0 every tenth volume, the rest alternating between b=1000 and b=2000 along
// a spiral of directions.
q::GradientTable spiral_table() {
  std::vector<q::Vec3> directions;
  std::vector<double> bvals;
  for (std::size_t v = 0; v < 40; ++v) {
    const double t = static_cast<double>(v) * 0.7;
    const double z = std::cos(static_cast<double>(v) * 0.29);
    const double r = std::sqrt(1.0 - z * z);
    const bool b0 = v % 10 == 0;
    directions.push_back(b0 ? q::Vec3{0, 0, 0} : q::Vec3{r * std::cos(t), r * std::sin(t), z});
    bvals.push_back(b0 ? 0.0 : (v % 2 == 0 ? 1000.0 : 2000.0));
  }
  return *q::GradientTable::create(directions, bvals);
}

// Tensor-shaped signals over an nx x ny x nz grid, as int16 (whole numbers, the table's logs)
// or float32 (fractions, std::log), with a dark border below the fit's signal floor.
template <class T>
std::vector<T> tensor_signals(const q::GradientTable& table, std::size_t nx, std::size_t ny,
                              std::size_t nz) {
  const std::size_t n = nx * ny * nz;
  std::vector<T> out(n * table.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double a = static_cast<double>(i % 97) / 97.0;
    const std::array<double, 6> d{1.7e-3 * a + 2e-4, 4e-4, 3e-4 + 2e-4 * a, 1e-4 * a, -5e-5, 0.0};
    const double s0 = i % nx == 0 ? 0.0 : 400.0 + static_cast<double>(i % 13) * 31.0;
    for (std::size_t v = 0; v < table.size(); ++v) {
      const q::Vec3& g = table.directions()[v];
      const double q2 = d[0] * g[0] * g[0] + d[1] * g[1] * g[1] + d[2] * g[2] * g[2] +
                        2 * (d[3] * g[0] * g[1] + d[4] * g[0] * g[2] + d[5] * g[1] * g[2]);
      const double s = s0 * std::exp(-table.bvals()[v] * q2) + static_cast<double>(i % 5);
      out[v * n + i] = static_cast<T>(std::is_integral_v<T> ? std::round(s) : s * 1.01);
    }
  }
  return out;
}

void expect_same_field(const q::TensorField& a, const q::TensorField& b) {
  ASSERT_EQ(a.v1.size(), b.v1.size());
  EXPECT_EQ(std::memcmp(a.v1.data(), b.v1.data(), a.v1.size() * sizeof(q::Vec3)), 0);
  EXPECT_EQ(std::memcmp(a.fa.data(), b.fa.data(), a.fa.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(a.s0.data(), b.s0.data(), a.s0.size() * sizeof(double)), 0);
  EXPECT_EQ(a.valid, b.valid);
}

}  // namespace

// The fit summed while the image streams in, from its b0 volumes alone, against the fit of the
// whole image: bit for bit, for whole-number and fractional samples, plain and multi-member
// gzip, every chunking, and a grid larger than one slice of the sums (both batch sets cycle).
TEST(volume_stream_test, the_fit_summed_on_the_way_is_the_whole_image_fit) {
  const quorvex_test::ScratchDir dir;
  const q::GradientTable table = spiral_table();
  const std::vector<std::uint64_t> b0{0, 10, 20, 30};
  // The stream is a while bringing row 30 after row 20: a pass may start on a batch before the
  // batch is complete.
  const std::vector<std::uint64_t> shell{2, 4, 6, 8, 12, 14, 16, 18, 34, 38};
  const std::vector<std::size_t> keep(b0.begin(), b0.end());
  struct Grid {
    std::size_t nx, ny, nz;
    std::vector<StreamChunks> chunks;
  };
  for (const Grid& grid : {Grid{5, 4, 3, chunkings}, Grid{41, 26, 17, {{}, {4096, 1000}}}}) {
    const std::size_t n = grid.nx * grid.ny * grid.nz;
    const int nx = static_cast<int>(grid.nx), ny = static_cast<int>(grid.ny);
    const int nz = static_cast<int>(grid.nz);
    for (const bool fractional : {false, true}) {
      const std::string data =
          fractional
              ? quorvex_test::stored_bytes(tensor_signals<float>(table, grid.nx, grid.ny, grid.nz))
              : quorvex_test::stored_bytes(
                    tensor_signals<std::int16_t>(table, grid.nx, grid.ny, grid.nz));
      const std::string plain = quorvex_test::nifti_file(
          quorvex_test::make_header({nx, ny, nz, 40}, fractional ? DT_FLOAT32 : DT_INT16,
                                    fractional ? 32 : 16),
          data);
      for (const std::size_t members : {0U, 3U}) {
        const std::string path =
            dir.write("f.nii.gz", members == 0 ? plain : quorvex_test::gzip(plain, members));
        const auto whole = q::read_volume_with_info(path);
        ASSERT_TRUE(whole.has_value());
        const auto expected = q::fit_dti(whole->first, table, b0, shell, 1.0);
        ASSERT_TRUE(expected.has_value());
        // Fed by hand. Idle time between rows starts passes early and makes the field; a known
        // number of idle steps after the last row leaves the field unmade, or solves some or
        // all of its tiles. The fit takes over whatever there is.
        const q::TensorDesign design = *q::tensor_design(table, b0, shell);
        constexpr std::size_t all = 1U << 20;
        for (const auto& [between, after] :
             {std::pair<std::size_t, std::size_t>{0, 3}, {0, 12}, {all, all}}) {
          q::TensorFeeder feeder(design, b0, 1.0);
          ASSERT_TRUE(feeder.start(whole->second.dims).has_value());
          for (const std::uint64_t v : design.volumes) {
            const float* samples = whole->first.volume(v);
            if (std::find(b0.begin(), b0.end(), v) == b0.end()) {
              float* place = feeder.place(v);
              std::memcpy(place, samples, n * sizeof(float));
              samples = place;
            }
            feeder.take(v, samples);
            for (std::size_t k = 0; k < between && feeder.step(true); ++k) {
            }
          }
          for (std::size_t k = 0; k < after && feeder.step(true); ++k) {
          }
          while (feeder.step(false)) {
          }
          auto sums = std::move(feeder).result();
          ASSERT_TRUE(sums.has_value());
          if (after == all) {
            EXPECT_EQ(sums->tiles_solved, q::tile_count({grid.nx, grid.ny, grid.nz}));
          }
          const auto field = q::fit_dti(whole->first, table, b0, shell, 1.0, &*sums);
          ASSERT_TRUE(field.has_value());
          EXPECT_EQ(sums->tiles_solved, 0U);
          expect_same_field(*field, *expected);
        }
        for (const StreamChunks& chunks : grid.chunks) {
          SCOPED_TRACE(testing::Message()
                       << n << " voxels" << (fractional ? " float" : " int16") << " members "
                       << members << " chunks " << chunks.input << "/" << chunks.output);
          q::TensorFeeder feeder(*q::tensor_design(table, b0, shell), b0, 1.0);
          const auto streamed = q::stream_volume(path, keep, chunks, &feeder);
          ASSERT_TRUE(streamed.has_value());
          EXPECT_EQ(streamed->image.volume(2), nullptr);
          auto sums = std::move(feeder).result();
          ASSERT_TRUE(sums.has_value());
          const auto field = q::fit_dti(streamed->image, table, b0, shell, 1.0, &*sums);
          ASSERT_TRUE(field.has_value()) << field.error().display();
          expect_same_field(*field, *expected);
        }
      }
    }
  }
  // A header claiming fewer volumes than the design's rows leaves the sums incomplete.
  const std::string short_image = quorvex_test::nifti_file(
      quorvex_test::make_header({2, 2, 2, 25}, DT_INT16, 16),
      quorvex_test::stored_bytes(tensor_signals<std::int16_t>(table, 2, 2, 2))
          .substr(0, 8 * 25 * 2));
  q::TensorFeeder feeder(*q::tensor_design(table, b0, shell), b0, 1.0);
  ASSERT_TRUE(q::stream_volume(dir.write("s.nii", short_image), keep, {}, &feeder).has_value());
  EXPECT_FALSE(std::move(feeder).result().has_value());
}

TEST(volume_stream_test, every_datatype_byte_order_and_container) {
  check_type<std::uint8_t>(DT_UINT8, 0.0F);
  check_type<std::int8_t>(DT_INT8, 0.0F);
  check_type<std::int16_t>(DT_INT16, 0.0F);
  check_type<std::int16_t>(DT_INT16, 37.13F);
  check_type<std::uint16_t>(DT_UINT16, 0.0F);
  check_type<std::int32_t>(DT_INT32, 0.0F);
  check_type<std::uint32_t>(DT_UINT32, 0.0F);
  check_type<std::int64_t>(DT_INT64, 0.0F);
  check_type<std::uint64_t>(DT_UINT64, 0.0F);
  check_type<float>(DT_FLOAT32, 0.0F);
  check_type<float>(DT_FLOAT32, 0.5F);
  check_type<double>(DT_FLOAT64, 0.0F);
}

TEST(volume_stream_test, faults_at_every_member_boundary) {
  const quorvex_test::ScratchDir dir;
  const Members m = members_of(plain_image({4, 3, 2, 6}, 4 * 3 * 2 * 6), 6);
  std::vector<std::pair<std::string, std::string>> cases;
  std::size_t start = 0;
  for (std::size_t k = 0; k < m.ends.size(); ++k) {
    const std::size_t end = m.ends[k];
    const std::string tag = std::to_string(k);
    cases.emplace_back("cut after member " + tag, m.bytes.substr(0, end));
    cases.emplace_back("cut inside member " + tag, m.bytes.substr(0, (start + end) / 2));
    cases.emplace_back("cut inside trailer " + tag, m.bytes.substr(0, end - 3));
    for (const std::size_t from_end : {8U, 1U}) {  // a CRC-32 byte, a length byte
      std::string bad = m.bytes;
      bad[end - from_end] = static_cast<char>(bad[end - from_end] ^ 0x10);
      cases.emplace_back("trailer byte -" + std::to_string(from_end) + " of " + tag, bad);
    }
    std::string garbled = m.bytes;
    garbled[start + 12] = static_cast<char>(garbled[start + 12] ^ 0xff);
    cases.emplace_back("deflate data of " + tag, garbled);
    std::string no_magic = m.bytes;
    no_magic[start + 1] = 'x';
    if (k > 0) cases.emplace_back("bad magic of " + tag, no_magic);
    start = end;
  }
  cases.emplace_back("zero padding", m.bytes + std::string(300, '\0'));
  cases.emplace_back("padding before the end", m.bytes.substr(0, m.ends[2]) + std::string(9, '\0'));
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    const std::string path = dir.write("f.nii.gz", bytes);
    expect_same(path, std::nullopt);
    expect_same(path, std::vector<std::size_t>{0, 5});
  }
}

TEST(volume_stream_test, header_dims_that_disagree_with_the_stream) {
  const quorvex_test::ScratchDir dir;
  // The same 2 x 2 x 2 x 4 samples under headers claiming fewer and more volumes.
  const std::string data = quorvex_test::stored_bytes(ramp<std::int16_t>(32));
  for (const int volumes : {1, 3, 4, 5, 9}) {
    const std::string plain =
        quorvex_test::nifti_file(quorvex_test::make_header({2, 2, 2, volumes}, DT_INT16, 16), data);
    for (const bool gz : {false, true}) {
      SCOPED_TRACE(testing::Message() << volumes << " volumes" << (gz ? " gzip" : ""));
      const std::string path = dir.write("d.nii", gz ? quorvex_test::gzip(plain, 2) : plain);
      expect_same(path, std::vector<std::size_t>{0, 2});
    }
  }
}

TEST(volume_stream_test, nothing_after_the_image_member_is_read) {
  const quorvex_test::ScratchDir dir;
  const std::string image = quorvex_test::gzip(plain_image({3, 3, 3, 2}, 54));
  // Each tail makes the whole-file reader fail (or work for nothing); the streamed read stops
  // once the member holding the image is checked and never sees it.
  std::string bad_member = quorvex_test::gzip(std::string(5000, 'z'));
  bad_member[bad_member.size() - 6] ^= 1;
  for (const std::string& tail : {std::string("trailing junk"), bad_member,
                                  quorvex_test::gzip(std::string(std::size_t{1} << 24, '\0'))}) {
    const std::string path = dir.write("t.nii.gz", image + tail);
    for (const StreamChunks& chunks : chunkings) {
      const auto streamed = q::stream_volume(path, std::nullopt, chunks);
      ASSERT_TRUE(streamed.has_value()) << streamed.error().display();
      EXPECT_EQ(streamed->image.volume(1)[26], static_cast<float>(ramp<std::int16_t>(54)[53]));
    }
  }
}

TEST(volume_stream_test, an_interrupt_stops_the_read_and_the_fit) {
  const quorvex_test::ScratchDir dir;
  const std::string path =
      dir.write("s.nii.gz", quorvex_test::gzip(plain_image({8, 8, 8, 4}, 2048)));
  static int calls = 0;
  const auto after_three = []() noexcept { return ++calls > 3; };
  {
    calls = 0;
    const q::interrupt::Scope scope(after_three);
    EXPECT_ERROR(q::stream_volume(path, std::nullopt, {7, 8}), Io, "I/O error: interrupted");
  }
  auto image = q::stream_volume(path, std::nullopt);
  ASSERT_TRUE(image.has_value());
  const auto table = *q::GradientTable::create({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                                               {0, 1000, 1000, 1000});
  const std::vector<std::uint64_t> b0{0};
  const std::vector<std::uint64_t> shell{1, 2, 3};
  calls = 0;
  const q::interrupt::Scope scope([]() noexcept { return true; });
  EXPECT_ERROR(q::fit_dti(image->image, table, b0, shell, 1.0), Io, "I/O error: interrupted");
}

TEST(volume_stream_test, absent_volumes_are_refused_where_they_would_be_used) {
  const quorvex_test::ScratchDir dir;
  const std::string path = dir.write("p.nii", plain_image({2, 2, 2, 4}, 32));
  const std::vector<std::size_t> keep{0, 2};
  auto read = q::stream_volume(path, std::span<const std::size_t>(keep));
  ASSERT_TRUE(read.has_value());
  const std::vector<std::size_t> asked{2, 1, 0};
  const auto means = q::mean_for_volumes(read->image, asked, nullptr);
  EXPECT_TRUE(std::isnan(means[1]) && !std::isnan(means[0]) && !std::isnan(means[2]));
  const auto table = *q::GradientTable::create({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                                               {0, 1000, 1000, 1000});
  const std::vector<std::uint64_t> b0{0};
  const std::vector<std::uint64_t> shell{1, 2, 3};
  EXPECT_ERROR(q::fit_dti(read->image, table, b0, shell, 1.0), DtiFit,
               "DTI fit failed: volume 1 of the image was not read");
}
