#include "fs.hpp"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "io/posix.hpp"

extern char** environ;

namespace orv::inpout::fs {

namespace {

constexpr char pipe_prefix[] = "\\\\.\\pipe\\";
constexpr std::size_t pipe_prefix_length = sizeof pipe_prefix - 1;

// Children started by spawn() that have not been reaped yet.
std::mutex children_mutex;
std::vector<pid_t> children;

void reap_finished_children() {
  std::lock_guard<std::mutex> lock(children_mutex);
  std::erase_if(children, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

void close_if_open(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

// ---- iofd ----

iofd::~iofd() { close(); }

void iofd::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool iofd::open(int fd, int mode) {
  close();
  fd_ = fd;
  mode_ = mode;
  last_error_ = 0;
  return fd >= 0;
}

bool iofd::eof() {
  if (fd_ < 0) return true;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return true;
  if (S_ISREG(st.st_mode)) {
    const off_t here = ::lseek(fd_, 0, SEEK_CUR);
    return here < 0 || here >= st.st_size;
  }
  return detail::stream_at_end(fd_);
}

bool iofd::rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

int iofd::read(void* buf, int n) {
  if (n <= 0) return 0;
  const int r = detail::read_fd(fd_, buf, n);
  if (r < 0) last_error_ = errno;
  return r;
}

int iofd::write(const void* buf, int n) {
  if (n <= 0) return 0;
  const int w = detail::write_fd(fd_, buf, n);
  if (w < 0) last_error_ = errno;
  return w;
}

std::string iofd::error_text() const { return last_error_ ? detail::errno_text(last_error_) : std::string(); }

// ---- names and files ----

bool is_pipe_name(const std::string& name) { return name.compare(0, pipe_prefix_length, pipe_prefix) == 0; }

std::string pipe_path(const std::string& name) {
  if (!is_pipe_name(name)) return {};
  const std::string rest = name.substr(pipe_prefix_length);
  if (rest.empty() || rest == "." || rest == ".." || rest.find('/') != std::string::npos ||
      rest.find('\0') != std::string::npos)
    return {};
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir && *dir) ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path + rest;
}

bool create_pipe(const std::string& name) {
  const std::string path = pipe_path(name);
  if (path.empty()) return false;
  if (::mkfifo(path.c_str(), 0600) == 0) {
    ::unlink(path.c_str());
    return true;
  }
  struct stat st;
  return errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

int move_file(const std::string& from, const std::string& to) {
  if (is_pipe_name(from) || is_pipe_name(to)) return 1;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return 1;
  // File systems without the no-replace rename: check, then rename.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return 1;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : 1;
}

int delete_file(const std::string& name) {
  if (is_pipe_name(name)) return 1;
  return ::unlink(name.c_str()) == 0 ? 0 : 1;
}

// ---- pipes and processes ----

bool make_pipe(connection_pair& pair) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pair.first = std::make_unique<iofd>();
  pair.second = std::make_unique<iofd>();
  pair.first->open(fds[0], READ);
  pair.second->open(fds[1], WRITE);
  return true;
}

bool spawn(connection_pair& pair, const std::string& program, const std::vector<std::string>& argv,
           int flags) {
  reap_finished_children();

  // Every end is close-on-exec: the child keeps only what is duplicated onto
  // its standard streams, so it sees the end of its input when we close ours.
  int out_pipe[2] = {-1, -1};  // child's standard output -> us
  int in_pipe[2] = {-1, -1};   // us -> child's standard input
  auto close_all = [&] {
    close_if_open(out_pipe[0]);
    close_if_open(out_pipe[1]);
    close_if_open(in_pipe[0]);
    close_if_open(in_pipe[1]);
  };
  if ((flags & READ) && ::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if ((flags & WRITE) && ::pipe2(in_pipe, O_CLOEXEC) != 0) {
    close_all();
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (flags & READ) posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  if (flags & WRITE) posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  // The child starts with no blocked signals and the default SIGPIPE, whatever
  // the caller did to its own.
  sigset_t none, pipe_only;
  sigemptyset(&none);
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipe_only);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> args = argv.empty() ? std::vector<std::string>{program} : argv;
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, cargs.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);

  close_if_open(out_pipe[1]);
  close_if_open(in_pipe[0]);
  if (rc != 0) {
    close_all();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(children_mutex);
    children.push_back(pid);
  }

  pair.first.reset();
  pair.second.reset();
  if (flags & READ) {
    pair.first = std::make_unique<iofd>();
    pair.first->open(out_pipe[0], READ);
  }
  if (flags & WRITE) {
    pair.second = std::make_unique<iofd>();
    pair.second->open(in_pipe[1], WRITE);
  }
  return true;
}

int allocation_granularity() {
  static const int granularity = [] {
    long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    const long want = 65536;
    return static_cast<int>((want + page - 1) / page * page);
  }();
  return granularity;
}

}  // namespace orv::inpout::fs
