// The process heap on huge pages. Touching fresh memory costs a page fault
// per 4 KiB page, and on virtual machines a fault costs microseconds: reading
// a table of a few megabytes spent more time in faults than in parsing. The
// heap is therefore grown once, up front, by a large pad that is offered to
// the system as transparent huge pages (one fault per 2 MiB), blocks up to
// the largest threshold the allocator allows are taken from it, every
// thread allocates from it, and freed memory stays for reuse instead of
// going back to the system.
//
// Only advice: where huge pages are not available, or the allocator declines
// a setting, memory behaves as before. Call once, early, from the program's
// main(); libraries never call it.
#pragma once

#include <cstddef>

namespace orv::util {

// Grows the heap by `pad` bytes (rounded to 2 MiB) and advises huge pages for
// it. Answers whether the advice was taken.
bool use_huge_page_heap(std::size_t pad);

}  // namespace orv::util
