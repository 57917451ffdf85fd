// Memory figures of the process and the machine, in bytes, each -1 when the
// system cannot be asked. Read from Linux's own figures: the process's
// resident set (VmRSS, VmHWM in /proc/self/status) and the machine's physical
// memory (sysinfo; MemAvailable in /proc/meminfo for what is available).
#pragma once

#include <cstdint>

namespace orv::inpout::fs {

// Peak resident set of the process.
std::int64_t process_peak_memory();
// Current resident set of the process.
std::int64_t process_memory();
std::int64_t total_ram();
// Memory the machine can give without swapping (MemAvailable, or free plus
// buffers on kernels that lack it).
std::int64_t available_ram();
// min(total_ram(), 2,147,483,647) - process_memory(): what a process may
// still take within a 31-bit budget.
std::int64_t available_to_process();

}  // namespace orv::inpout::fs
