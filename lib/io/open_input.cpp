#include "open_input.hpp"

#include <cerrno>

#include "io/fs.hpp"
#include "io/iodigest.hpp"
#include "io/iofile.hpp"
#include "io/iogz.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {
constexpr int initial_capacity = 16384;

bool is_gz_name(const std::string& name) {
  return name.size() >= 3 && name.compare(name.size() - 3, 3, ".gz") == 0;
}
}  // namespace

std::unique_ptr<stream> open_input(const std::string& name, char separator, orv::util::sha256* digest) {
  std::unique_ptr<ioconn> conn;
  if (is_gz_name(name)) {
    auto gz = std::make_unique<iogz>();
    if (gz->open(name, SEQUENTIAL | READ, 1, 0)) conn = std::move(gz);
  } else {
    auto file = std::make_unique<iofile>();
    if (file->open(name, SEQUENTIAL | READ | SHARE, 0644)) {
      conn = std::move(file);
    } else if (fs::is_pipe_name(name)) {
      // Two refusals of a named pipe that the user can act on.
      const int code = errno;
      if (code == EBUSY) throw orv::util::error("named pipe " + name + " is being read by another run");
      if (code == EPERM)
        throw orv::util::error("named pipe " + name + " refused: " + fs::pipe_path(name) +
                               " is not a FIFO of this user closed to other writers");
    }
  }
  if (!conn) throw orv::util::error("File: " + name + " not found or inaccessible");
  if (digest) conn = std::make_unique<iodigest>(std::move(conn), *digest);
  auto s = std::make_unique<stream>(conn.get(), true, separator, initial_capacity);
  conn.release();
  return s;
}

}  // namespace orv::inpout
