// Discovery over a generated BIDS tree of 100,000 files, most of them not diffusion data.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "quorvex/io/bids.hpp"

namespace {

using Clock = std::chrono::steady_clock;

void touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd >= 0) ::close(fd);
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  namespace bids = quorvex_core::io::bids;
  // 1000 subjects x 2 sessions x 50 files: 30 functional, 10 anatomical, 6 field maps and one
  // diffusion run (image, bvec, bval, sidecar); every tenth run also has a brain mask in place of
  // one functional file.
  constexpr int subjects = 1000;
  const fs::path root = fs::temp_directory_path() / "quorvex-bids-bench";
  fs::remove_all(root);
  std::size_t files = 0;
  std::size_t expected_runs = 0;
  for (int s = 1; s <= subjects; ++s) {
    for (int session = 1; session <= 2; ++session) {
      const std::string label = "sub-" + std::to_string(s) + "_ses-" + std::to_string(session);
      const fs::path folder =
          root / ("sub-" + std::to_string(s)) / ("ses-" + std::to_string(session));
      for (const char* kind : {"func", "anat", "fmap", "dwi"})
        fs::create_directories(folder / kind);
      const bool masked = s % 10 == 0;
      for (int k = 0; k < (masked ? 29 : 30); ++k) {
        touch((folder / "func" / (label + "_task-rest_run-" + std::to_string(k) + "_bold.nii.gz"))
                  .string());
      }
      for (int k = 0; k < 10; ++k)
        touch((folder / "anat" / (label + "_run-" + std::to_string(k) + "_T1w.nii.gz")).string());
      for (int k = 0; k < 6; ++k) {
        touch((folder / "fmap" / (label + "_acq-dwi_dir-" + std::to_string(k) + "_epi.nii.gz"))
                  .string());
      }
      const std::string base = (folder / "dwi" / (label + "_dwi")).string();
      for (const char* suffix : {".nii.gz", ".bvec", ".bval", ".json"})
        touch(base + suffix);
      if (masked) touch((folder / "dwi" / (label + "_desc-brain_mask.nii.gz")).string());
      files += 50;
      ++expected_runs;
    }
  }
  // Outputs of earlier audits, which discovery must not even list.
  fs::create_directories(root / "derivatives" / "quorvex");
  for (int k = 0; k < 2000; ++k)
    touch((root / "derivatives" / "quorvex" / ("r" + std::to_string(k) + "_report.json")).string());

  double first_ms = 0.0;
  double best_ms = 1e300;
  std::size_t runs = 0;
  for (int repeat = 0; repeat < 5; ++repeat) {
    const auto start = Clock::now();
    const auto found = bids::discover(root.string());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!found) {
      std::fprintf(stderr, "discovery failed: %s\n", found.error().display().c_str());
      return 1;
    }
    runs = found->size();
    if (repeat == 0) first_ms = ms;
    best_ms = ms < best_ms ? ms : best_ms;
  }
  fs::remove_all(root);
  std::printf("bids discovery (%zu files, %zu runs found of %zu)\n", files, runs, expected_runs);
  std::printf("  first %8.1f ms   best of 5 %8.1f ms\n", first_ms, best_ms);
  return runs == expected_runs ? 0 : 1;
}
