#include "textout.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <thread>
#include <utility>
#include <cstring>
#include <new>
#include <system_error>

#include "io/posix.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {

// The system's reason, when it gave one.
std::string reason(int code) { return code != 0 ? ": " + detail::errno_text(code) : std::string(); }

[[noreturn]] void cannot_create(const std::string& name, int code) {
  throw orv::util::error("cannot create output file " + name + reason(code));
}

// Opens the file for writing and empties it, but only once this process
// holds it alone: two runs writing one file would splice their rows together,
// and a run must not empty a file that another run is still reading. Only
// regular files are locked and emptied; a device, FIFO or terminal is written
// as it is.
int open_alone(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) cannot_create(name, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    cannot_create(name, code);
  }
  if (!S_ISREG(st.st_mode)) return fd;
  // A file system without locks (some network ones) cannot say: write anyway.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    // Readers share their lock: if a shared one can be had, only readers hold it.
    const bool read = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
    ::close(fd);
    throw orv::util::error("output file " + name + (read ? " is being read by another run"
                                                         : " is being written by another run"));
  }
  if (::ftruncate(fd, 0) != 0) {
    const int code = errno;
    ::close(fd);
    cannot_create(name, code);
  }
  return fd;
}

}  // namespace

// The helper thread: it writes the batches whose first row has waited
// batch_wait, for every textout of the process. It is started at the first
// batch and stops when the process ends. Lock order: its mutex, then a
// textout's.
class batch_writer {
 public:
  static batch_writer& instance() {
    static batch_writer writer;
    return writer;
  }

  // The rows t holds will be due at `when`. REQUIRES: t's mutex not held.
  // False when no helper can be started.
  bool due(textout* t, textout::clock::time_point when) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { loop(); });
      } catch (const std::system_error&) {
        return false;
      }
    }
    waiting_.emplace_back(when, t);
    wake_.notify_one();
    return true;
  }

  // t goes away: from now on it is not looked at.
  void forget(textout* t) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(waiting_, [t](const auto& w) { return w.second == t; });
  }

 private:
  batch_writer() = default;
  ~batch_writer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (waiting_.empty()) {
        wake_.wait(lock);
        continue;
      }
      const auto first = std::min_element(waiting_.begin(), waiting_.end());
      const auto now = textout::clock::now();
      if (now < first->first) {
        // A copy: the wait lets go of the lock, and another file's due() may
        // move the list while it waits.
        const textout::clock::time_point until = first->first;
        wake_.wait_until(lock, until);
        continue;
      }
      textout* t = first->second;
      waiting_.erase(first);
      if (const auto later = t->write_if_due(now)) waiting_.emplace_back(*later, t);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::pair<textout::clock::time_point, textout*>> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

textout::line_buffer::line_buffer() : storage_(4096) { clear(); }

textout::line_buffer::int_type textout::line_buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  grow(1);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize textout::line_buffer::xsputn(const char* s, std::streamsize n) {
  if (n <= 0) return 0;
  const auto count = static_cast<std::size_t>(n);
  if (static_cast<std::size_t>(epptr() - pptr()) < count) grow(count);
  std::memcpy(pptr(), s, count);
  pbump(static_cast<int>(n));
  return n;
}

void textout::line_buffer::grow(std::size_t more) {
  const std::size_t used = size();
  storage_.resize(std::max(2 * storage_.size(), used + more));
  setp(storage_.data(), storage_.data() + storage_.size());
  pbump(static_cast<int>(used));
}

textout::textout(const std::string& name) : name_(name), fd_(open_alone(name)) {}

textout::~textout() {
  batch_writer::instance().forget(this);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    write_held();
  }
  ::close(fd_);  // the lock goes with the descriptor
}

void textout::fail(int code) const { throw orv::util::error("cannot write output file " + name_ + reason(code)); }

// The line's text lives in memory that grows as needed; a stream that failed
// could only have failed to grow it.
void textout::check_stream() {
  if (!file_) {
    file_.clear();
    throw std::bad_alloc();
  }
}

void textout::write_held() {
  std::size_t done = 0;
  while (done < held_.size() && !failed_) {
    const std::size_t part = std::min<std::size_t>(held_.size() - done, std::size_t{1} << 30);
    errno = 0;
    const int n = detail::write_fd(fd_, held_.data() + done, static_cast<int>(part));
    if (n <= 0) {
      failed_ = true;
      error_ = n < 0 ? errno : 0;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  held_.clear();
}

void textout::end_line() {
  file_.put('\n');
  check_stream();
  std::lock_guard<std::mutex> lock(mutex_);
  held_.append(line_.data(), line_.size());
  line_.clear();
  write_held();
  if (failed_) fail(error_);
}

void textout::end_row() {
  file_.put('\n');
  check_stream();
  bool first = false;
  clock::time_point due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) fail(error_);
    first = held_.empty();
    if (first) held_since_ = clock::now();
    due = held_since_ + batch_wait;
    held_.append(line_.data(), line_.size());
    line_.clear();
    if (held_.size() >= batch_bytes || !wrote_row_) {
      wrote_row_ = true;
      write_held();
      if (failed_) fail(error_);
      return;
    }
  }
  if (first && !batch_writer::instance().due(this, due)) {
    // No helper: every row at once, as end_line does.
    std::lock_guard<std::mutex> lock(mutex_);
    write_held();
    if (failed_) fail(error_);
  }
}

std::optional<textout::clock::time_point> textout::write_if_due(clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_.empty()) return std::nullopt;
  if (held_since_ + batch_wait <= now) {
    write_held();
    return std::nullopt;
  }
  return held_since_ + batch_wait;
}

void textout::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.append(line_.data(), line_.size());
  line_.clear();
  write_held();
  if (failed_) fail(error_);
}

}  // namespace orv::inpout
