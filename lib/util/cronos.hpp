// Stopwatch: wall-clock seconds and process CPU seconds between the last
// start() and the last stop(). Each stop measures from the latest start.
#pragma once

#include <cstdint>

namespace orv::util {

class cronos {
 public:
  cronos() = default;
  virtual ~cronos() = default;

  void start();
  void stop();
  // Wall-clock seconds of the last stop(); 0 before the first.
  double elapsed() const { return elapsed_; }
  // Processor seconds (user + system) of the last stop(); 0 when unknown.
  double cpu_elapsed() const { return cpu_elapsed_; }

 private:
  double elapsed_ = 0.0;
  double cpu_elapsed_ = 0.0;
  std::int64_t ticks_at_start_ = 0;  // milliseconds of a monotonic clock
  double cpu_at_start_ = 0.0;        // microseconds
};

}  // namespace orv::util
