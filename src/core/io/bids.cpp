// Walking a BIDS tree and recognising DWI runs by name.
#include "quorvex/io/bids.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "file.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::io::bids {
namespace {

// Outputs of this tool and of other pipelines live in folders of this name.
constexpr std::string_view skipped_folder = "derivatives";

// A failed status query counts as absent.
std::optional<struct stat> status(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

bool is_regular_file(const std::string& path) {
  const auto info = status(path);
  return info && S_ISREG(info->st_mode);
}

// A folder's identity, whatever path reached it.
struct FolderId {
  dev_t device;
  ino_t inode;
  bool operator==(const FolderId&) const = default;
};

struct Listed {
  std::string name;
  unsigned char type;
};

// The folder's entries without "." and "..", in the order the file system gives. The folder is
// closed before the caller descends, so a deep tree never holds more than one descriptor.
Result<std::vector<Listed>> list(const std::string& folder) {
  DIR* handle = ::opendir(folder.c_str());
  if (handle == nullptr) return fail(Error::io_errno(errno));
  std::vector<Listed> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle);
    if (entry == nullptr) {
      const int code = errno;
      ::closedir(handle);
      if (code != 0) return fail(Error::io_errno(code));
      return entries;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), entry->d_type});
  }
}

Result<void> walk_below(const std::string& folder, std::vector<FolderId>& on_path,
                        std::vector<std::string>& out) {
  auto entries = list(folder);
  if (!entries) return fail(entries.error());
  for (const Listed& entry : *entries) {
    std::string path = join(folder, entry.name);
    // Regular files are the bulk of any dataset and the listing already says what they are;
    // only folders, links and file systems that do not report types need a status query.
    if (entry.type != DT_DIR && entry.type != DT_LNK && entry.type != DT_UNKNOWN) {
      out.push_back(std::move(path));
      continue;
    }
    const auto info = status(path);
    if (!info || !S_ISDIR(info->st_mode)) {
      out.push_back(std::move(path));
      continue;
    }
    if (entry.name == skipped_folder) continue;
    // A link back to a folder still being walked would recurse forever.
    const FolderId id{info->st_dev, info->st_ino};
    if (std::find(on_path.begin(), on_path.end(), id) != on_path.end()) continue;
    on_path.push_back(id);
    auto below = walk_below(path, on_path, out);
    on_path.pop_back();
    if (!below) return below;
  }
  return {};
}

std::string_view file_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The folder holding `path`: empty for a bare name, "/" for a file at the file-system root.
std::string parent(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

// Resource-fork files that macOS leaves beside every copied file.
bool is_resource_fork(std::string_view name) {
  return name.starts_with("._");
}

bool is_mask_name(std::string_view name) {
  if (name.size() <= 1 || is_resource_fork(name) || !is_valid_utf8(name)) return false;
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lower.find("mask") != std::string::npos &&
         (lower.ends_with(".nii") || lower.ends_with(".nii.gz"));
}

// The first of `base` + each suffix that is a regular file.
std::optional<std::string> sibling(const std::string& base, std::string_view first,
                                   std::string_view second) {
  for (const std::string_view suffix : {first, second}) {
    std::string path = base;
    path += suffix;
    if (is_regular_file(path)) return path;
  }
  return std::nullopt;
}

}  // namespace

std::string join(std::string_view folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path += folder;
  if (!folder.empty() && folder.back() != '/') path += '/';
  path += name;
  return path;
}

bool path_less(std::string_view a, std::string_view b) noexcept {
  // Walked paths have no empty components beyond the root they share, so comparing
  // component-wise is comparing bytes with the separator below every other byte.
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    if (x == '/') return true;
    if (y == '/') return false;
    return x < y;
  }
  return a.size() < b.size();
}

Result<void> walk(const std::string& folder, std::vector<std::string>& out) {
  const auto info = status(folder);
  if (!info || !S_ISDIR(info->st_mode)) return {};
  std::vector<FolderId> on_path{{info->st_dev, info->st_ino}};
  return walk_below(folder, on_path, out);
}

std::optional<std::string> nifti_base(std::string_view path) {
  const std::string_view name = file_name(path);
  if (name.size() < 2 || is_resource_fork(name) || !is_valid_utf8(name)) return std::nullopt;
  std::string_view stem;
  if (name.ends_with(".nii.gz")) {
    stem = name.substr(0, name.size() - 7);
  } else if (name.ends_with(".nii")) {
    stem = name.substr(0, name.size() - 4);
  } else {
    return std::nullopt;
  }
  if (!stem.ends_with("_dwi")) return std::nullopt;
  std::string base(path.substr(0, path.size() - name.size()));
  base += stem;
  return base;
}

std::vector<std::string> mask_candidates(const std::string& folder) {
  std::vector<std::string> masks;
  if (folder.empty()) return masks;
  auto entries = list(folder);
  if (!entries) return masks;
  for (const Listed& entry : *entries) {
    if (!is_mask_name(entry.name)) continue;
    std::string path = join(folder, entry.name);
    if (is_regular_file(path)) masks.push_back(std::move(path));
  }
  std::sort(masks.begin(), masks.end(), path_less);
  return masks;
}

Result<std::vector<DwiEntry>> discover(const std::string& root) {
  std::vector<std::string> paths;
  if (auto walked = walk(root, paths); !walked) return fail(walked.error());
  std::sort(paths.begin(), paths.end(), path_less);
  std::vector<DwiEntry> runs;
  for (std::string& path : paths) {
    const auto base = nifti_base(path);
    if (!base) continue;
    auto bvec = sibling(*base, ".bvec", ".bvecs");
    auto bval = sibling(*base, ".bval", ".bvals");
    if (!bvec || !bval) continue;
    std::optional<std::string> sidecar = *base + ".json";
    if (!is_regular_file(*sidecar)) sidecar.reset();
    auto masks = mask_candidates(parent(path));
    runs.push_back({std::move(path), std::move(*bvec), std::move(*bval), std::move(masks),
                    std::move(sidecar)});
  }
  return runs;
}

}  // namespace quorvex_core::io::bids
