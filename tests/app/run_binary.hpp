// Runs the real kelcmd binary in a scratch folder and captures what it prints.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelcmd::testing {

struct outcome {
  int status = 0;  // the process exit status (0-255), 128 + signal when killed
  std::string out;
};

// A fresh temporary folder, removed when the object goes.
class scratch {
 public:
  scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelcmd-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
  }
  ~scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;

  std::filesystem::path path(const std::string& name) const { return dir_ / name; }
  void file(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) const {
    std::ifstream f(path(name), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

 private:
  std::filesystem::path dir_;
};

inline std::string shell_quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) c == '\'' ? q.append("'\\''") : q.append(1, c);
  return q + "'";
}

// Runs kelcmd with the arguments, in the folder.
inline outcome run_kelcmd(const scratch& where, const std::vector<std::string>& args) {
  std::string command = "cd ";
  command.append(shell_quoted(where.path("").string())).append(" && ").append(shell_quoted(KELCMD_PATH));
  for (const auto& a : args) command.append(" ").append(shell_quoted(a));
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) throw std::runtime_error("popen failed");
  outcome result;
  std::array<char, 4096> chunk;
  for (std::size_t n; (n = fread(chunk.data(), 1, chunk.size(), p)) > 0;) result.out.append(chunk.data(), n);
  const int status = pclose(p);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace kelcmd::testing
