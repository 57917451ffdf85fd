#include "memory.hpp"

#include <sys/sysinfo.h>

#include <cstdio>
#include <cstring>

namespace orv::inpout::fs {

namespace {

// The "<key>: <n> kB" figure of a /proc file, in bytes; -1 when absent.
std::int64_t proc_kb(const char* file, const char* key) {
  std::FILE* f = std::fopen(file, "re");
  if (!f) return -1;
  const std::size_t key_length = std::strlen(key);
  char line[256];
  std::int64_t result = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, key, key_length) == 0 && line[key_length] == ':') {
      long long kb;
      if (std::sscanf(line + key_length + 1, "%lld", &kb) == 1 && kb >= 0) result = kb * 1024;
      break;
    }
  }
  std::fclose(f);
  return result;
}

}  // namespace

std::int64_t process_peak_memory() { return proc_kb("/proc/self/status", "VmHWM"); }

std::int64_t process_memory() { return proc_kb("/proc/self/status", "VmRSS"); }

std::int64_t total_ram() {
  struct sysinfo si;
  if (::sysinfo(&si) != 0) return -1;
  return static_cast<std::int64_t>(si.totalram) * si.mem_unit;
}

std::int64_t available_ram() {
  const std::int64_t available = proc_kb("/proc/meminfo", "MemAvailable");
  if (available >= 0) return available;
  struct sysinfo si;
  if (::sysinfo(&si) != 0) return -1;
  return static_cast<std::int64_t>(si.freeram + si.bufferram) * si.mem_unit;
}

std::int64_t available_to_process() {
  const std::int64_t used = process_memory();
  if (used < 0) return -1;
  std::int64_t total = total_ram();
  if (total < 0) return -1;
  if (total > 2147483647) total = 2147483647;
  return total - used;
}

}  // namespace orv::inpout::fs
