// Table transforms and safe output paths.
#include "quorvex/repair.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "quorvex/text.hpp"

namespace quorvex_core {
namespace {

// The status of `path` (following links), or nothing when it cannot be read.
std::optional<struct stat> status(const std::string& path) {
  // An interior NUL cannot name a file; treating it as free makes the caller's write fail
  // with the system's own error instead.
  if (path.find('\0') != std::string::npos) return std::nullopt;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

bool exists(const std::string& path) {
  return status(path).has_value();
}

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

std::string with_suffix(const std::string& path, std::string_view suffix) {
  std::string out = path;
  out.push_back('.');
  out.append(suffix);
  return out;
}

std::string next_backup_path(const std::string& path) {
  std::string candidate = with_suffix(path, "bak");
  for (std::uint32_t n = 1; exists(candidate) && n != 0; ++n) {
    candidate = with_suffix(path, "bak." + std::to_string(n));
  }
  return candidate;
}

Result<std::optional<std::string>> prepare_output(const std::string& path, bool in_place) {
  const auto info = status(path);
  if (!info) return std::optional<std::string>{};
  if (!in_place) return fail(Error::refuse_overwrite(display_text(path)));
  // Only regular files are moved aside. Renaming a device such as /dev/stdout, a FIFO or a
  // folder would move something that is not the user's data; a device or FIFO is written
  // through, and a folder then fails to open with the system's own error.
  if (!S_ISREG(info->st_mode)) return std::optional<std::string>{};
  std::string backup = next_backup_path(path);
  if (std::rename(path.c_str(), backup.c_str()) != 0) return fail(Error::io_errno(errno));
  return std::optional<std::string>{std::move(backup)};
}

}  // namespace quorvex_core
