// A path removed if the process is stopped by SIGINT, SIGTERM or SIGHUP
// while the guard lives: for a FIFO this process made and is waiting on, so
// that an interrupted wait does not leave the name taken. The signal then
// takes its default course (the process ends by that signal). Signals the
// process ignores stay ignored, and a handler someone else installed is left
// alone (the path is then not removed on that signal).
//
// Up to eight paths at once; beyond that a guard does nothing. Guards may be
// made and dropped on any thread.
#pragma once

#include <string>

namespace orv::inpout::detail {

class unlink_on_signal {
 public:
  explicit unlink_on_signal(const std::string& path);
  ~unlink_on_signal();
  unlink_on_signal(const unlink_on_signal&) = delete;
  unlink_on_signal& operator=(const unlink_on_signal&) = delete;

 private:
  int slot_ = -1;
};

}  // namespace orv::inpout::detail
