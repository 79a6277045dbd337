// Table transforms and the output-path check every table writer makes first.
#include "quorvex/repair.hpp"

#include <sys/stat.h>

#include "io/file.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core {
namespace {

constexpr Mat3 negated_identity{{{-1.0, 0.0, 0.0}, {0.0, -1.0, 0.0}, {0.0, 0.0, -1.0}}};

}  // namespace

GradientTable apply_transform(const GradientTable& table, const Mat3& m) {
  std::vector<Vec3> dirs;
  dirs.reserve(table.size());
  for (const Vec3& d : table.directions()) {
    Vec3 out{};
    for (std::size_t r = 0; r < 3; ++r) {
      const double value = (m[r][0] * d[0] + m[r][1] * d[1]) + m[r][2] * d[2];
      out[r] = value == 0.0 ? 0.0 : value;
    }
    dirs.push_back(out);
  }
  return *GradientTable::create(std::move(dirs), table.bvals());
}

std::optional<Repair> Repair::force_from_best(const GradientTable& table, const FlipResult& flip) {
  if (flip.best.is_identity || flip.best.matrix == negated_identity) return std::nullopt;
  return Repair{apply_transform(table, flip.best.matrix), flip.best.label, flip.best.matrix};
}

Result<void> check_output(const std::string& path, bool in_place) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return {};
  if (S_ISLNK(info.st_mode)) return fail(io::symlink_refused(path));
  if (!in_place) return fail(Error::refuse_overwrite(display_text(path)));
  return {};
}

}  // namespace quorvex_core
