// Preloaded into one rank of a test job: operator new fails for blocks above
// KEL_ALLOC_LIMIT bytes, so that one rank fails where the others go on.
#include "support/limited_new.hpp"

std::size_t allocation_limit() {
  static const std::size_t bytes = [] {
    const char* text = std::getenv("KEL_ALLOC_LIMIT");
    return text ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : ~std::size_t{0};
  }();
  return bytes;
}
