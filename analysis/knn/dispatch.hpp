// Which distance kernel the scan runs: the best instruction set this
// processor has (AVX-512F, AVX2, or the portable scalar kernel), unless a
// level is forced, as the tests and benchmarks do to compare the kernels.
// The choice is process-wide; forcing is for tests, not for concurrent use.
#pragma once

#include <cstdint>

namespace kel {

enum class kernel_level : std::uint8_t { scalar, avx2, avx512 };

// The best level this processor supports.
kernel_level bestKernelLevel();
// The level searches use: the best one unless forced.
kernel_level currentKernelLevel();
// Throws orv::util::error for a level the processor (or this build) lacks.
void setKernelLevel(kernel_level level);
// Back to the best supported level.
void resetKernelLevel();
const char* kernelLevelName(kernel_level level);

}  // namespace kel
