// A scratch folder and whole files as text, for tests of every layer.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace testing_support {

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh folder, removed with its contents when the object goes.
class scratch_dir {
 public:
  scratch_dir() : dir_((std::filesystem::temp_directory_path() / "kel-test-XXXXXX").string()) {
    if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  // The folder itself for an empty name.
  std::string path(const std::string& name = "") const { return name.empty() ? dir_ : dir_ + "/" + name; }
  std::string file(const std::string& name, const std::string& bytes) const {
    write_file(path(name), bytes);
    return path(name);
  }
  std::string read(const std::string& name) const { return read_file(path(name)); }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

 private:
  std::string dir_;
};

}  // namespace testing_support
