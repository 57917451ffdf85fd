// The selection every neighbour search makes, and the one order it makes it
// in: the k smallest neighbours by (distance, row) within a maximum distance.
//
// topk applies the selection rule of the per-pair search: a candidate is
// skipped when bound < d, where the bound starts at the maximum distance and
// becomes the distance of each pair evicted; a candidate is pushed, and once
// more than k are held the greatest is evicted. Whatever order the
// candidates come in, the pairs left are the k smallest by before() among
// those within the maximum distance; a NaN maximum distance is no limit.
// Its storage is kept from one selection to the next, so a search that
// reuses one topk allocates only while the largest neighbourhood grows.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace kel {

struct neighbour {
  float distance;
  unsigned row;
};

// Nearer first; among equal distances the smaller row. A distance that is
// not a number, which no search produces (every term is a number and the
// measure list is never empty), comes after every number, so that the order
// stays total.
inline bool before(const neighbour& a, const neighbour& b) {
  if (a.distance < b.distance) return true;
  if (b.distance < a.distance) return false;
  const bool aNan = std::isnan(a.distance), bNan = std::isnan(b.distance);
  if (aNan != bNan) return bNan;
  return a.row < b.row;
}

// before() as a function object, so that the heap algorithms inline it.
struct before_order {
  bool operator()(const neighbour& a, const neighbour& b) const { return before(a, b); }
};

class topk {
 public:
  // REQUIRES: k >= 1.
  void start(std::uint64_t k, float maxDistance) {
    limit = k;
    bound = maxDistance;
    heap.clear();
  }

  // Answers whether the held set changed (a candidate pushed and evicted at
  // once leaves it as it was, with the bound lowered to its distance).
  bool offer(neighbour c) {
    if (bound < c.distance) return false;
    if (heap.size() < limit) {
      heap.push_back(c);
      std::push_heap(heap.begin(), heap.end(), before_order{});
      return true;
    }
    // Full: pushing c would evict the greater of c and the top, so the
    // candidate either goes at once or takes the top's place.
    if (!before(c, heap.front())) {
      bound = c.distance;
      return false;
    }
    bound = heap.front().distance;
    replaceTop(c);
    return true;
  }

  bool full() const { return heap.size() >= limit; }
  std::size_t size() const { return heap.size(); }
  // The greatest pair held. REQUIRES: size() > 0.
  const neighbour& worst() const { return heap.front(); }
  // The pairs held, in (distance, row) order; ends the selection. The caller
  // may rewrite them (the scan turns group positions into rows).
  std::span<neighbour> take() {
    std::sort_heap(heap.begin(), heap.end(), before_order{});
    return heap;
  }

 private:
  // The top gives way to c, which sinks to its place.
  void replaceTop(neighbour c) {
    const std::size_t n = heap.size();
    std::size_t i = 0;
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= n) break;
      if (child + 1 < n && before(heap[child], heap[child + 1])) ++child;
      if (!before(c, heap[child])) break;
      heap[i] = heap[child];
      i = child;
    }
    heap[i] = c;
  }

  std::uint64_t limit = 0;
  float bound = 0.0f;
  std::vector<neighbour> heap;  // a max-heap under before()
};

// The scan filters on sums, not distances: division by the count is
// monotone, so d = sum / n satisfies d <= bound exactly when sum <= the
// largest float s with s / n <= bound. That float is found by stepping from
// bound * n, which is at most a few units in the last place away. NaN and
// +inf bounds admit everything.
inline float sumBound(float bound, float n) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  // The common case steps the bits of positive finite floats (one up or
  // down is the next float that way), which the searches do at every change
  // of their k-th distance; the general steps below give the same answers.
  if (bound > 0.0f && bound <= std::numeric_limits<float>::max()) {
    float s = bound * n;
    if (s > 0.0f && s <= std::numeric_limits<float>::max()) {
      while (s / n > bound) s = std::bit_cast<float>(std::bit_cast<std::uint32_t>(s) - 1);
      for (;;) {
        const float up = std::bit_cast<float>(std::bit_cast<std::uint32_t>(s) + 1);
        if (!(up / n <= bound)) return s;
        s = up;
      }
    }
  }
  if (std::isnan(bound) || bound == inf) return inf;
  if (!(0.0f / n <= bound)) return -inf;
  float s = std::min(bound * n, std::numeric_limits<float>::max());
  while (s / n > bound) s = std::nextafter(s, 0.0f);
  for (;;) {
    const float up = std::nextafter(s, inf);
    if (!(up / n <= bound)) return s;
    s = up;
  }
}

// The same for d < bound.
inline float sumBoundBelow(float bound, float n) {
  if (!(bound > 0.0f)) return -std::numeric_limits<float>::infinity();
  if (bound == std::numeric_limits<float>::infinity()) return sumBound(std::numeric_limits<float>::max(), n);
  return sumBound(std::bit_cast<float>(std::bit_cast<std::uint32_t>(bound) - 1), n);
}

}  // namespace kel
