#include "containers/bitmap.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/error.hpp"

namespace orv::adt {

namespace {

constexpr std::uint32_t max_bits = 0xFFFFFFFFu;

}  // namespace

bitmap::~bitmap() {
  std::free(words);
  words = nullptr;
  length = 0;
  allocated = 0;
}

unsigned bitmap::reserve(unsigned n) {
  if (allocated >= n) return allocated;
  const std::size_t w = (std::size_t{n} + 31) >> 5;
  // calloc: fresh storage must read as zero, and a large bitmap then costs
  // memory only for the words actually touched.
  auto* fresh = static_cast<std::uint32_t*>(std::calloc(w, sizeof(std::uint32_t)));
  if (fresh == nullptr) throw std::bad_alloc();
  if (words != nullptr) {
    std::memcpy(fresh, words, covering_words() * sizeof(std::uint32_t));
    std::free(words);
  }
  words = fresh;
  // 2^27 words cover every 32-bit index but 2^32 bits do not fit the
  // counter: saturate, so that a full bitmap is recognised in push_back.
  allocated = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{w} << 5, max_bits));
  return allocated;
}

unsigned bitmap::resize(unsigned n) {
  if (n > length) reserve(n);
  length = n;
  return length;
}

void bitmap::push_back(bool bit) {
  if (length == allocated) {
    if (allocated == max_bits) throw orv::util::error("bitmap maximum length exceeded.");
    const std::uint32_t grow = std::max<std::uint32_t>(allocated / 2, 32);
    reserve(grow > max_bits - allocated ? max_bits : allocated + grow);
  }
  // A false bit is written too: after a shrink the bit may still be set.
  if (bit)
    set(length);
  else
    reset(length);
  ++length;
}

bool bitmap::and_assign(const bitmap& other) {
  if (other.length != length) return false;
  const std::uint64_t n = covering_words();
  for (std::uint64_t i = 0; i < n; ++i) words[i] &= other.words[i];
  return true;
}

bool bitmap::or_assign(const bitmap& other) {
  if (other.length != length) return false;
  const std::uint64_t n = covering_words();
  for (std::uint64_t i = 0; i < n; ++i) words[i] |= other.words[i];
  return true;
}

void bitmap::clear() {
  if (words != nullptr) std::memset(words, 0, covering_words() * sizeof(std::uint32_t));
}

bitmap::Iterator::Iterator(const bitmap& map)
    : begin(map.words),
      end(map.words == nullptr ? map.words : map.words + map.covering_words()),
      limit(map.length) {}

bool bitmap::Iterator::has_next() {
  if (!pending) return valid;
  pending = false;
  const std::int64_t next = position + 1;
  const std::uint32_t* word = begin + (next >> 5);
  if (word < end) {
    const std::uint32_t rest = *word & (~0u << (next & 31));
    std::int64_t found = -1;
    if (rest != 0) {
      found = ((word - begin) << 5) + std::countr_zero(rest);
    } else {
      for (++word; word < end; ++word) {
        if (*word != 0) {
          found = ((word - begin) << 5) + std::countr_zero(*word);
          break;
        }
      }
    }
    if (found >= 0 && found < limit) {
      position = found;
      return valid = true;
    }
  }
  // Stay on the end so that later calls without a take keep saying no.
  return valid = false;
}

unsigned bitmap::Iterator::take() {
  pending = true;
  return static_cast<unsigned>(position);
}

bool bitmap::Iterator::reset() {
  position = -1;
  pending = true;
  valid = false;
  return true;
}

}  // namespace orv::adt
