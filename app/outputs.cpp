#include "outputs.hpp"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "io/fs.hpp"
#include "util/error.hpp"

namespace kelcmd {

namespace {

// Where a name's data lives: the file itself (empty leaf), or the directory
// and the last component of a file yet to be made.
struct place {
  dev_t dev;
  ino_t ino;
  std::string leaf;
  bool operator==(const place& o) const { return std::tie(dev, ino, leaf) == std::tie(o.dev, o.ino, o.leaf); }
};

std::optional<place> regular_file(const std::string& name) {
  struct stat st;
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return place{st.st_dev, st.st_ino, {}};
}

// The place of an input: only a regular file can be overwritten. A pipe
// name is the reading end of a FIFO, never a file by that name.
std::optional<place> input_place(const std::string& name) {
  if (orv::inpout::fs::is_pipe_name(name)) return std::nullopt;
  return regular_file(name);
}

// The place of an output: the regular file it names, or where opening it
// would create one.
std::optional<place> output_place(std::string name) {
  for (int links = 0; links < 40; ++links) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0)
      return S_ISREG(st.st_mode) ? std::optional<place>(place{st.st_dev, st.st_ino, {}}) : std::nullopt;
    if (::lstat(name.c_str(), &st) == 0) {
      // A dangling symbolic link: the file would be made where it points.
      if (!S_ISLNK(st.st_mode)) return std::nullopt;
      std::vector<char> target(PATH_MAX + 1);
      const ssize_t n = ::readlink(name.c_str(), target.data(), target.size() - 1);
      if (n <= 0) return std::nullopt;
      std::string to(target.data(), static_cast<std::size_t>(n));
      const std::size_t slash = name.rfind('/');
      name = to[0] == '/' || slash == std::string::npos ? to : name.substr(0, slash + 1) + to;
      continue;
    }
    const std::size_t slash = name.rfind('/');
    const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    if (leaf.empty() || leaf == "." || leaf == ".." || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return std::nullopt;
    return place{st.st_dev, st.st_ino, leaf};
  }
  return std::nullopt;
}

struct named {
  std::string role;
  std::optional<place> where;
};

}  // namespace

void check_output_names(const settings& s) {
  std::vector<named> taken = {{"metadata file", input_place(s.metadata)},
                              {"data file", input_place(s.data)},
                              {"select-options file", input_place(s.select)}};
  std::vector<std::pair<std::string, std::string>> outputs;  // name, role
  if (s.metadata_out_given) outputs.emplace_back(s.metadata_out, "metadata output file");
  outputs.emplace_back(s.output, "output data file");
  if (s.distribution_on) outputs.emplace_back(s.distribution_out, "distribution file");
  if (s.neighbours_on) outputs.emplace_back(s.neighbours_out, "neighbours file");
  if (s.summary_on) outputs.emplace_back(s.summary_out, "summary file");
  for (const auto& [name, role] : outputs) {
    const std::optional<place> where = output_place(name);
    if (where) {
      for (const named& other : taken)
        if (other.where == where) throw orv::util::error("output file " + name + " is the " + other.role);
    }
    taken.push_back({role, where});
  }
}

}  // namespace kelcmd
