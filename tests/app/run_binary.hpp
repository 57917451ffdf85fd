// Runs the real kelcmd binary in a scratch folder and captures what it prints.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kelcmd::testing {

struct outcome {
  int status = 0;  // the process exit status (0-255)
  std::string out;
};

// A fresh temporary folder, removed when the object goes.
class scratch {
 public:
  scratch();
  ~scratch();
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;

  std::filesystem::path path(const std::string& name) const { return dir_ / name; }
  std::string file(const std::string& name, const std::string& bytes) const;  // writes, returns path
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::filesystem::path dir_;
};

// Runs kelcmd with the arguments (each one shell-quoted), in the folder.
outcome run_kelcmd(const scratch& where, const std::vector<std::string>& args);

}  // namespace kelcmd::testing
