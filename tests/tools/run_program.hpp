// Helpers of the kel-import tests: a scratch folder that writes plain or
// gzipped files and lists what it holds, and a run of a program in it with
// its exit status, console and error lines.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/scratch.hpp"

extern char** environ;

namespace importtest {

using files = std::map<std::string, std::string>;

class folder : public testing_support::scratch_dir {
 public:
  void write(const std::string& name, const std::string& bytes) const {
    if (name.ends_with(".gz")) {
      gzFile f = gzopen(path(name).c_str(), "wb");
      gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size()));
      gzclose(f);
    } else {
      file(name, bytes);
    }
  }
  // Every file in the folder, for comparing what a run left.
  files all() const {
    files out;
    for (const auto& entry : std::filesystem::directory_iterator(path()))
      out[entry.path().filename().string()] = read(entry.path().filename().string());
    return out;
  }
};

struct outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program in the folder, its console and error lines caught in files
// outside it.
inline outcome run(const char* program, const folder& dir, const std::vector<std::string>& args) {
  folder console;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  posix_spawn_file_actions_addopen(&actions, 1, console.path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, console.path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  outcome r;
  pid_t pid = -1;
  if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = console.read("out");
  r.err = console.read("err");
  return r;
}

}  // namespace importtest
