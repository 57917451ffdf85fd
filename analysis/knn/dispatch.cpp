#include "analysis/knn/dispatch.hpp"

#include <atomic>
#include <string>

#include "analysis/knn/kernel.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

std::atomic<int> forcedLevel{-1};

bool supports(kernel_level level) {
  switch (level) {
    case kernel_level::scalar: return true;
#if defined(KEL_X86_KERNELS) && KEL_X86_KERNELS
    case kernel_level::avx2: return __builtin_cpu_supports("avx2");
    case kernel_level::avx512: return __builtin_cpu_supports("avx512f");
#else
    case kernel_level::avx2:
    case kernel_level::avx512: return false;
#endif
  }
  return false;
}

}  // namespace

detail::kernel_fn detail::kernelFor(kernel_level level) {
  switch (level) {
#if defined(KEL_X86_KERNELS) && KEL_X86_KERNELS
    case kernel_level::avx512: return detail::kernelAvx512;
    case kernel_level::avx2: return detail::kernelAvx2;
#else
    case kernel_level::avx512:
    case kernel_level::avx2:
#endif
    case kernel_level::scalar: break;
  }
  return detail::kernelScalar;
}

kernel_level bestKernelLevel() {
  static const kernel_level best = [] {
#if defined(KEL_X86_KERNELS) && KEL_X86_KERNELS
    __builtin_cpu_init();
#endif
    if (supports(kernel_level::avx512)) return kernel_level::avx512;
    if (supports(kernel_level::avx2)) return kernel_level::avx2;
    return kernel_level::scalar;
  }();
  return best;
}

kernel_level currentKernelLevel() {
  const int f = forcedLevel.load(std::memory_order_relaxed);
  return f < 0 ? bestKernelLevel() : static_cast<kernel_level>(f);
}

void setKernelLevel(kernel_level level) {
  bestKernelLevel();  // runs __builtin_cpu_init first
  if (!supports(level))
    throw orv::util::error(std::string("kernel level not supported by this processor: ") + kernelLevelName(level));
  forcedLevel.store(static_cast<int>(level), std::memory_order_relaxed);
}

void resetKernelLevel() { forcedLevel.store(-1, std::memory_order_relaxed); }

const char* kernelLevelName(kernel_level level) {
  switch (level) {
    case kernel_level::scalar: return "scalar";
    case kernel_level::avx2: return "avx2";
    case kernel_level::avx512: return "avx512";
  }
  return "?";
}

}  // namespace kel
