// The tensor fit alone, on an image already in memory, as dipy's TensorModel.fit is timed by
// bench/audit_bench.py: the b0 volumes and the shell nearest b = 1000, every voxel of the grid.
// Prints one JSON line: {"voxels": ..., "seconds": ...} (the best of the runs).
//
// Usage: fit_bench <dwi> <bvec> <bval> [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "quorvex/documents/table_loader.hpp"
#include "quorvex/flip.hpp"
#include "quorvex/shell.hpp"
#include "quorvex/tensor.hpp"
#include "quorvex/volume.hpp"

namespace q = quorvex_core;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: fit_bench <dwi> <bvec> <bval> [runs]\n");
    return 2;
  }
  const int runs = argc > 4 ? std::max(1, std::stoi(argv[4])) : 3;
  auto table = q::read_fsl_pair(argv[2], argv[3]);
  auto image = q::read_volume_with_info(argv[1]);
  if (!table || !image) {
    std::fprintf(stderr, "fit_bench: %s\n",
                 (!table ? table.error() : image.error()).display().c_str());
    return 1;
  }
  const q::FlipOptions options;
  const auto b0 = table->b0_indices(options.b0_threshold);
  const auto shell = q::nearest_shell(table->bvals(), options.b0_threshold, options.tolerance,
                                      q::working_b_target);
  if (!shell) {
    std::fprintf(stderr, "fit_bench: the table has no shell to fit\n");
    return 1;
  }
  double best = 1e300;
  std::size_t voxels = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const auto field = q::fit_dti(image->first, *table, b0, shell->indices, options.min_signal);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!field) {
      std::fprintf(stderr, "fit_bench: %s\n", field.error().display().c_str());
      return 1;
    }
    voxels = field->fa.size();
    best = std::min(best, seconds);
  }
  std::printf("{\"voxels\": %zu, \"seconds\": %.6f}\n", voxels, best);
  return 0;
}
