#include "run_binary.hpp"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelcmd::testing {

scratch::scratch() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelcmd-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

scratch::~scratch() {
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

std::string scratch::file(const std::string& name, const std::string& bytes) const {
  std::ofstream f(path(name), std::ios::binary);
  f << bytes;
  return path(name).string();
}

std::string scratch::read(const std::string& name) const {
  std::ifstream f(path(name), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool scratch::exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

namespace {
std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}
}  // namespace

outcome run_kelcmd(const scratch& where, const std::vector<std::string>& args) {
  std::string command = "cd ";
  command.append(quote(where.path("").string())).append(" && ").append(quote(KELCMD_PATH));
  for (const auto& a : args) command.append(" ").append(quote(a));
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) throw std::runtime_error("popen failed");
  outcome result;
  std::array<char, 4096> chunk;
  std::size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), p)) > 0) result.out.append(chunk.data(), n);
  const int status = pclose(p);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace kelcmd::testing
