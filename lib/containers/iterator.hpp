// The library's abstract forward iterator. A caller asks has_next() and then
// take()s the element; has_next() moves only after a take, so asking twice
// never skips an element. next() and fetch() combine the two, skip() drops
// one element, reset() starts the walk again.
//
// Implementations are built on the heap by whoever walks a collection and
// deleted through this interface. They usually borrow the collection: it must
// outlive the iterator and stay unchanged while the iterator is in use.
#pragma once

#include <cstdint>

namespace orv::it {

template <class T>
class Iiterator {
 public:
  virtual ~Iiterator() = default;

  // Moves to the next element if the current one was taken; tells whether
  // there is a current element.
  virtual bool has_next() = 0;

  virtual bool next(T& out) {
    if (!has_next()) return false;
    out = take();
    return true;
  }

  // REQUIRES: the last has_next() returned true.
  virtual T take() = 0;

  // Number of elements, or -1 when the iterator cannot tell.
  virtual std::int64_t count() { return -1; }

  // Back to before the first element.
  virtual bool reset() = 0;

  virtual bool fetch(T& out) { return next(out); }

  virtual bool skip() {
    if (!has_next()) return false;
    take();
    return true;
  }
};

}  // namespace orv::it
