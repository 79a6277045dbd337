// Output and input paths compared as files, not as spellings.
#include "quorvex/io/aliasing.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include "file.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::io {
namespace {

// Which file a path names: the device and inode of an existing one, otherwise the resolved
// folder and the name it would be created under.
struct Identity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string resolved;

  bool operator==(const Identity& other) const {
    if (exists != other.exists) return false;
    return exists ? device == other.device && inode == other.inode : resolved == other.resolved;
  }
};

Identity identity(const std::string& path) {
  Identity id;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    id.exists = true;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    return id;
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // A folder that cannot be resolved cannot be written into either; its spelling will do.
  id.resolved = real_path(folder).value_or(folder) + "/" + name;
  return id;
}

Error clash(const RolePath& output, const RolePath& other, std::string_view kind) {
  return Error::io_message(fmt::format("output {} ({}) is the same file as {} {} ({})", output.role,
                                       display_text(output.path), kind, other.role,
                                       display_text(other.path)));
}

}  // namespace

Result<void> refuse_aliasing(const std::vector<RolePath>& outputs,
                             const std::vector<RolePath>& inputs) {
  std::vector<Identity> input_ids;
  input_ids.reserve(inputs.size());
  for (const RolePath& input : inputs)
    input_ids.push_back(identity(input.path));
  std::vector<Identity> output_ids;
  output_ids.reserve(outputs.size());
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    const RolePath& output = outputs[k];
    struct stat info {};
    if (::lstat(output.path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      return fail(symlink_refused(output.path));
    }
    output_ids.push_back(identity(output.path));
    for (std::size_t j = 0; j < k; ++j) {
      if (output_ids[k] == output_ids[j]) return fail(clash(output, outputs[j], "output"));
    }
    for (std::size_t j = 0; j < inputs.size(); ++j) {
      if (output_ids[k] == input_ids[j] && inputs[j].role != output.replaces) {
        return fail(clash(output, inputs[j], "input"));
      }
    }
  }
  return {};
}

}  // namespace quorvex_core::io
