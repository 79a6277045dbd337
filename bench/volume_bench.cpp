// Image loading speed: a synthetic 110 x 110 x 70 x 100 int16 .nii.gz and the largest real image,
// split into decompress and convert, against gzip -dc and igzip -dc, plus the inflaters alone.
//
// Usage: volume_bench [real-data folder]   (default ../shared/data/real)
//        volume_bench --load <file>        (one read, for the peak-RSS measurement)
#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "quorvex/volume.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double ms(std::chrono::nanoseconds d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double mb_per_s(double bytes, double millis) {
  return bytes / 1e6 / (millis / 1e3);
}

// A head-like signal plus noise, so the stream compresses like a real DWI (about 2.5:1).
std::string synthetic_image(int nx, int ny, int nz, int nv) {
  std::string header(352, '\0');
  auto put16 = [&](std::size_t at, std::int16_t v) { std::memcpy(&header[at], &v, 2); };
  auto putf = [&](std::size_t at, float v) { std::memcpy(&header[at], &v, 4); };
  const std::int32_t size = 348;
  std::memcpy(&header[0], &size, 4);
  const std::int16_t dims[8] = {4,
                                static_cast<std::int16_t>(nx),
                                static_cast<std::int16_t>(ny),
                                static_cast<std::int16_t>(nz),
                                static_cast<std::int16_t>(nv),
                                1,
                                1,
                                1};
  for (std::size_t i = 0; i < 8; ++i)
    put16(40 + 2 * i, dims[i]);
  put16(70, 4);   // datatype int16
  put16(72, 16);  // bitpix
  for (std::size_t i = 0; i < 8; ++i)
    putf(76 + 4 * i, i >= 1 && i <= 3 ? 2.0F : 1.0F);
  putf(108, 352.0F);
  std::memcpy(&header[344], "n+1", 4);

  std::string data(static_cast<std::size_t>(nx) * ny * nz * nv * 2, '\0');
  std::uint32_t state = 12345;
  std::size_t at = 0;
  for (int v = 0; v < nv; ++v) {
    const double attenuation = v % 10 == 0 ? 1.0 : 0.45;
    for (int z = 0; z < nz; ++z) {
      for (int y = 0; y < ny; ++y) {
        for (int x = 0; x < nx; ++x) {
          const double dx = (x - nx / 2.0) / (nx / 2.0);
          const double dy = (y - ny / 2.0) / (ny / 2.0);
          const double dz = (z - nz / 2.0) / (nz / 2.0);
          const bool brain = dx * dx + dy * dy + dz * dz < 0.8;
          state = state * 1664525U + 1013904223U;
          // Rician-like noise: strong inside the head, a low floor outside.
          const int noise = static_cast<int>(state >> 25) - 64;
          const int value =
              brain ? static_cast<int>(800 * attenuation) + noise : static_cast<int>(state >> 27);
          const auto sample = static_cast<std::int16_t>(std::max(0, value));
          std::memcpy(&data[at], &sample, 2);
          at += 2;
        }
      }
    }
  }
  return header + data;
}

std::string gzip_level6(const std::string& plain) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, plain.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  s.avail_in = static_cast<uInt>(plain.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `argv` with stdout to /dev/null; returns wall milliseconds and the child's peak RSS (KiB).
std::pair<double, long> run_child(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const auto t0 = Clock::now();
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return {-1.0, 0};
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double elapsed = ms_since(t0);
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {-1.0, 0};
  return {elapsed, usage.ru_maxrss};
}

template <class F>
double best_of(int runs, F&& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i)
    best = std::min(best, f());
  return best;
}

void compare_inflaters(const std::string& label, const std::string& packed, std::size_t size) {
  std::vector<unsigned char> out(size + 1024);
  const double t_zlib = best_of(3, [&] {
    const auto t0 = Clock::now();
    z_stream s{};
    inflateInit2(&s, 16 + MAX_WBITS);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    s.avail_in = static_cast<uInt>(packed.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    inflate(&s, Z_FINISH);
    inflateEnd(&s);
    return ms_since(t0);
  });
  const double t_deflate = best_of(3, [&] {
    const auto t0 = Clock::now();
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    std::size_t used = 0;
    std::size_t written = 0;
    libdeflate_gzip_decompress_ex(d, packed.data(), packed.size(), out.data(), out.size(), &used,
                                  &written);
    libdeflate_free_decompressor(d);
    return ms_since(t0);
  });
  const double t_isal = best_of(3, [&] {
    const auto t0 = Clock::now();
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP;
    state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(packed.data()));
    state.avail_in = static_cast<std::uint32_t>(packed.size());
    state.next_out = out.data();
    state.avail_out = static_cast<std::uint32_t>(out.size());
    isal_inflate(&state);
    return ms_since(t0);
  });
  std::printf("  inflate only, %s (%.1f MB -> %.1f MB), CRC checked by all three:\n", label.c_str(),
              packed.size() / 1e6, size / 1e6);
  std::printf("    zlib        %8.1f ms  %7.0f MB/s out\n", t_zlib, mb_per_s(size, t_zlib));
  std::printf("    libdeflate  %8.1f ms  %7.0f MB/s out   (used by the reader)\n", t_deflate,
              mb_per_s(size, t_deflate));
  std::printf("    ISA-L       %8.1f ms  %7.0f MB/s out\n", t_isal, mb_per_s(size, t_isal));
}

void report_read(const std::string& label, const std::string& path, std::size_t stored_bytes) {
  double best_total = 1e300;
  double decompress = 0;
  double convert = 0;
  for (int i = 0; i < 5; ++i) {
    auto timed = quorvex_core::read_volume_with_info_timed(path);
    if (!timed) {
      std::printf("  %s: %s\n", label.c_str(), timed.error().display().c_str());
      return;
    }
    const double total = ms(timed->decompress) + ms(timed->convert);
    if (total < best_total) {
      best_total = total;
      decompress = ms(timed->decompress);
      convert = ms(timed->convert);
    }
  }
  std::printf(
      "  %s: read+convert %.1f ms = decompress %.1f ms (%.0f MB/s stored) + convert "
      "%.1f ms (%.0f MB/s stored)\n",
      label.c_str(), best_total, decompress, mb_per_s(stored_bytes, decompress), convert,
      mb_per_s(stored_bytes, convert));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--load") {
    return quorvex_core::read_volume_with_info(argv[2]).has_value() ? 0 : 1;
  }
  const std::string real_root = argc > 1 ? argv[1] : "../shared/data/real";
  const fs::path scratch =
      fs::temp_directory_path() / ("quorvex-volume-bench-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  const std::string synthetic = (scratch / "synthetic_dwi.nii.gz").string();

  std::printf("volume_bench: generating 110 x 110 x 70 x 100 int16 .nii.gz ...\n");
  const std::string plain = synthetic_image(110, 110, 70, 100);
  {
    const std::string packed = gzip_level6(plain);
    std::ofstream(synthetic, std::ios::binary) << packed;
  }
  const std::size_t stored = plain.size() - 352;
  const std::size_t samples = stored / 2;
  const std::string packed = read_file(synthetic);
  std::printf("  %zu samples, %.1f MB stored, %.1f MB compressed\n", samples, plain.size() / 1e6,
              packed.size() / 1e6);

  // Peak RSS first, in a fresh process, before this one has touched the pool.
  const auto [load_ms, rss_kib] = run_child({"/proc/self/exe", "--load", synthetic});
  const double budget = (stored + samples * 4.0) * 1.10 / 1024.0;
  std::printf(
      "  peak RSS of one read (own process): %.1f MB, budget (stored + f32 + 10%%) %.1f MB%s\n",
      rss_kib / 1024.0, budget / 1024.0, rss_kib <= budget ? "" : "  OVER BUDGET");

  report_read("synthetic", synthetic, stored);
  const auto [gzip_ms, gzip_rss] =
      run_child({"sh", "-c", "gzip -dc '" + synthetic + "' >/dev/null"});
  double gzip_best = gzip_ms;
  double igzip_best = 1e300;
  for (int i = 0; i < 2; ++i) {
    gzip_best = std::min(gzip_best,
                         run_child({"sh", "-c", "gzip -dc '" + synthetic + "' >/dev/null"}).first);
  }
  for (int i = 0; i < 3; ++i) {
    const double t = run_child({"sh", "-c", "igzip -dc '" + synthetic + "' >/dev/null"}).first;
    if (t >= 0) igzip_best = std::min(igzip_best, t);
  }
  std::printf("  gzip -dc >/dev/null:  %.1f ms\n", gzip_best);
  if (igzip_best < 1e300) {
    std::printf("  igzip -dc >/dev/null: %.1f ms\n", igzip_best);
  } else {
    std::printf("  igzip -dc: not available (install the isal package)\n");
  }
  compare_inflaters("synthetic", packed, plain.size());

  // The largest real image.
  std::string largest;
  std::uintmax_t largest_size = 0;
  std::error_code ec;
  if (fs::is_directory(real_root, ec)) {
    for (const auto& entry : fs::recursive_directory_iterator(real_root, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with("_dwi.nii.gz") && entry.file_size() > largest_size) {
        largest_size = entry.file_size();
        largest = entry.path().string();
      }
    }
  }
  if (largest.empty()) {
    std::printf("real data: none found under %s\n", real_root.c_str());
  } else {
    auto info = quorvex_core::read_volume_with_info(largest);
    if (info) {
      std::size_t count = 1;
      for (auto d : info->second.dims)
        count *= d;
      std::printf("real: %s\n", largest.c_str());
      std::string real_packed = read_file(largest);
      std::vector<unsigned char> probe(count * 8 + 4096);
      std::size_t used = 0;
      std::size_t written = 0;
      libdeflate_decompressor* d = libdeflate_alloc_decompressor();
      libdeflate_gzip_decompress_ex(d, real_packed.data(), real_packed.size(), probe.data(),
                                    probe.size(), &used, &written);
      libdeflate_free_decompressor(d);
      report_read("real", largest, written - 352);
      compare_inflaters("real", real_packed, written);
    }
  }
  fs::remove_all(scratch, ec);
  return 0;
}
