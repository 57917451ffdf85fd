// The huge-page heap: the advice lands on the heap, and the heap still
// serves every size afterwards.
#include "util/heap.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Whether some heap mapping of this process carries the huge-page advice.
bool heap_advised() {
  std::ifstream maps("/proc/self/smaps");
  std::string line;
  bool in_heap = false;
  while (std::getline(maps, line)) {
    if (line.find("[heap]") != std::string::npos)
      in_heap = true;
    else if (line.rfind("VmFlags:", 0) == 0) {
      if (in_heap && line.find(" hg") != std::string::npos) return true;
      in_heap = false;
    }
  }
  return false;
}

TEST(heap, huge_page_advice) {
  EXPECT_FALSE(orv::util::use_huge_page_heap(0));
  EXPECT_FALSE(orv::util::use_huge_page_heap(std::size_t{1} << 40));
  // Without huge-page support (or under a sanitizer's allocator) the call may
  // decline; when it accepts, the advice must be there.
  if (orv::util::use_huge_page_heap(std::size_t{64} << 20)) {
    EXPECT_TRUE(heap_advised());
  }
  // Small, medium and beyond-the-pad blocks, written to their ends.
  std::vector<char*> blocks;
  for (std::size_t bytes : {std::size_t{16}, std::size_t{300} << 10, std::size_t{40} << 20, std::size_t{100} << 20}) {
    char* p = static_cast<char*>(std::malloc(bytes));
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, bytes);
    EXPECT_EQ(p[bytes - 1], 1);
    blocks.push_back(p);
  }
  for (char* p : blocks) std::free(p);
}

}  // namespace
