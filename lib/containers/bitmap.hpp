// A growable set of bits packed into 32-bit words; bit i is bit i % 32 of word
// i / 32. The bitmap owns its words. `length` is the number of bits in use,
// `allocated` the number of bits the words hold (a multiple of 32, saturated
// at 4294967295 when the words cover every 32-bit index).
//
// Fresh storage is zero. Shrinking the length keeps the bits beyond it, so a
// later resize() upward shows them again; push_back() always writes its bit.
// test/get/set/reset do not check the index against the length.
// REQUIRES: i < capacity() for test, get, set and reset.
//
// bitmap::Iterator walks the set bits below the length in increasing order,
// reading only the words that cover the length when it was built and skipping
// zero words whole. It borrows the words: the bitmap must outlive it and must
// not grow (reallocate) while it is in use.
#pragma once

#include <cstdint>

#include "containers/iterator.hpp"
#include "util/nocopy.hpp"

namespace orv::adt {

class bitmap : private orv::util::nocopy {
 public:
  class Iterator;

  bitmap() = default;
  virtual ~bitmap();

  // Makes room for n bits. Throws std::bad_alloc (bitmap unchanged) when the
  // words cannot be allocated. Returns capacity().
  virtual unsigned reserve(unsigned n);
  // Grows through reserve(), or shrinks keeping the bits. Returns size().
  virtual unsigned resize(unsigned n);
  virtual unsigned size() const { return length; }
  virtual unsigned capacity() const { return allocated; }
  // Appends one bit, growing by max(capacity / 2, 32) bits when full.
  // Throws orv::util::error once 4294967295 bits are in use.
  virtual void push_back(bool bit);
  virtual bool test(unsigned i) const { return (words[i >> 5] >> (i & 31)) & 1u; }
  virtual void set(unsigned i) { words[i >> 5] |= 1u << (i & 31); }
  virtual bool get(unsigned i) const { return test(i); }
  virtual void reset(unsigned i) { words[i >> 5] &= ~(1u << (i & 31)); }
  // Word-wise AND / OR of another bitmap of the same length; false (and
  // nothing changed) when the lengths differ.
  virtual bool and_assign(const bitmap& other);
  virtual bool or_assign(const bitmap& other);
  // Zeroes the covering words; the length stays.
  virtual void clear();

  // The words, for readers that work a word at a time; null when none.
  const std::uint32_t* data() const { return words; }
  // Number of words that cover the length.
  std::uint64_t covering_words() const { return (std::uint64_t{length} + 31) >> 5; }

 private:
  std::uint32_t* words = nullptr;
  std::uint32_t length = 0;
  std::uint32_t allocated = 0;
};

class bitmap::Iterator : public orv::it::Iiterator<unsigned> {
 public:
  explicit Iterator(const bitmap& map);

  bool has_next() override;
  unsigned take() override;
  bool reset() override;

 private:
  const std::uint32_t* begin;
  const std::uint32_t* end;
  // The length when built: a shrink keeps set bits past it in the last word.
  std::int64_t limit;
  // Bit index of the last element found; -1 before the first move.
  std::int64_t position = -1;
  bool pending = true;
  bool valid = false;
};

}  // namespace orv::adt
