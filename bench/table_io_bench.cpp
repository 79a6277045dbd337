// Parsing a 10,000-volume FSL pair and an MRtrix file and writing them back, timed end to end.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "quorvex/documents/table_loader.hpp"
#include "quorvex/io/fsl.hpp"
#include "quorvex/io/mrtrix.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double best_ms(int repeats, const auto& run) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    run();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    best = ms < best ? ms : best;
  }
  return best;
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  using namespace quorvex_core;
  constexpr std::size_t volumes = 10000;
  std::mt19937_64 rng(1);
  std::normal_distribution<double> normal;
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  for (std::size_t i = 0; i < volumes; ++i) {
    Vec3 d{normal(rng), normal(rng), normal(rng)};
    const double n = norm(d);
    dirs.push_back({d[0] / n, d[1] / n, d[2] / n});
    bvals.push_back(i % 10 == 0 ? 0.0 : 1000.0 * static_cast<double>(1 + i % 3));
  }
  const auto table = *GradientTable::create(std::move(dirs), std::move(bvals));
  const fs::path dir = fs::temp_directory_path() / "quorvex-bench";
  fs::create_directories(dir);
  const std::string bvec = (dir / "t.bvec").string();
  const std::string bval = (dir / "t.bval").string();
  const std::string grad = (dir / "t.b").string();
  if (!io::fsl::write(bvec, bval, table) || !io::mrtrix::write(grad, table)) {
    std::fputs("cannot write the benchmark tables\n", stderr);
    return 1;
  }
  const double fsl_load = best_ms(20, [&] { (void)load_fsl(bvec, bval); });
  const double fsl_write = best_ms(20, [&] { (void)io::fsl::write(bvec, bval, table); });
  const double mrtrix_load = best_ms(20, [&] { (void)load_mrtrix(grad); });
  const double mrtrix_write = best_ms(20, [&] { (void)io::mrtrix::write(grad, table); });
  std::printf("table_io (%zu volumes, best of 20)\n", volumes);
  std::printf("  fsl    load+hash %7.2f ms   write %7.2f ms\n", fsl_load, fsl_write);
  std::printf("  mrtrix load+hash %7.2f ms   write %7.2f ms\n", mrtrix_load, mrtrix_write);
  fs::remove_all(dir);
  return 0;
}
