#include "iogz.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "util/error.hpp"

namespace orv::inpout {

iogz::~iogz() { close(); }

std::string iogz::mode_text(int flags, int level) {
  std::string m = "r";
  if (flags & WRITE) m[0] = 'w';
  if (flags & APPEND) m[0] = 'a';
  m += 'b';
  if (level != -1) m += static_cast<char>('0' + level);
  return m;
}

void iogz::close() {
  if (file_) gzclose(file_);
  file_ = nullptr;
  mode_ = 0;
}

bool iogz::open(const std::string& name, int flags, int level, int strategy) {
  close();
  const std::string m = mode_text(flags, level);
  // The file is opened here rather than by zlib so that a directory can be
  // refused and the descriptor is not inherited by spawned programs.
  int oflags = O_CLOEXEC | O_NOCTTY;
  if (m[0] == 'r')
    oflags |= O_RDONLY;
  else if (m[0] == 'w')
    oflags |= O_WRONLY | O_CREAT | O_TRUNC;
  else
    oflags |= O_WRONLY | O_CREAT | O_APPEND;
  int fd;
  do {
    fd = ::open(name.c_str(), oflags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  gzFile f = gzdopen(fd, m.c_str());
  if (!f) {
    ::close(fd);
    return false;
  }
  // Larger than zlib's 8 KiB default: inputs run to gigabytes.
  gzbuffer(f, 128 * 1024);
  gzsetparams(f, level, strategy);
  file_ = f;
  mode_ = flags;
  name_ = name;
  return true;
}

bool iogz::eof() { return file_ && gzeof(file_) != 0; }

bool iogz::rewind() { return file_ && gzrewind(file_) == 0; }

int iogz::read(void* buf, int n) {
  if (!file_) return -1;
  if (n <= 0) return 0;
  const int r = gzread(file_, buf, static_cast<unsigned>(n));
  if (r > 0) return r;
  // zlib reports a stream cut short as a plain end; ask it whether this end
  // is a real one.
  int err = Z_OK;
  gzerror(file_, &err);
  if (r < 0 || err != Z_OK) return -1;
  return 0;
}

int iogz::write(const void* buf, int n) {
  if (!file_ || n <= 0) return 0;
  return gzwrite(file_, buf, static_cast<unsigned>(n));
}

std::int64_t iogz::lseek(std::int64_t offset, int whence) {
  if (whence == LSEEK_END) throw orv::util::error("iogz::lseek LSEEK_END not supported");
  if (whence != LSEEK_SET && whence != LSEEK_CUR) throw orv::util::error("iogz::lseek position not supported");
  if (!file_) return -1;
  return gzseek(file_, static_cast<z_off_t>(offset), whence == LSEEK_SET ? SEEK_SET : SEEK_CUR);
}

std::int64_t iogz::tell() { return file_ ? static_cast<std::int64_t>(gztell(file_)) : -1; }

std::string iogz::error_text() const {
  if (!file_) return {};
  int err = Z_OK;
  const char* text = gzerror(file_, &err);
  if (err == Z_OK) return {};
  std::string what = text ? text : "";
  // zlib prefixes its own name for the file, "<fd:N>: " here.
  if (what.rfind("<fd:", 0) == 0) {
    const auto colon = what.find(": ");
    if (colon != std::string::npos) what.erase(0, colon + 2);
  }
  if (what.empty()) what = err == Z_ERRNO ? "read error" : "corrupt data";
  return name_ + ": " + what;
}

}  // namespace orv::inpout
