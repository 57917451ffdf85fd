// Preloaded into one rank of a test job: operator new fails for blocks above
// KEL_ALLOC_LIMIT bytes, as it would on a machine short of memory, so that
// one rank fails where the others go on.
#include <cstdlib>
#include <new>

namespace {

std::size_t limit() {
  static const std::size_t bytes = [] {
    const char* text = std::getenv("KEL_ALLOC_LIMIT");
    return text ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : ~std::size_t{0};
  }();
  return bytes;
}

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (n > limit()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
