#include "cronos.hpp"

#include <sys/resource.h>

#include <chrono>

namespace orv::util {

namespace {

std::int64_t now_ticks() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// User plus system time of the process in microseconds, 0 when unknown.
double cpu_micros() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
  auto micros = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

}  // namespace

void cronos::start() {
  ticks_at_start_ = now_ticks();
  cpu_at_start_ = cpu_micros();
}

void cronos::stop() {
  elapsed_ = static_cast<double>(now_ticks() - ticks_at_start_) / 1000.0;
  cpu_elapsed_ = (cpu_micros() - cpu_at_start_) / 1000000.0;
}

}  // namespace orv::util
