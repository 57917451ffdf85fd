// Private to the index: one group's rows arranged in a tree for the indexed
// search.
//
// Splits come first from the coded attributes and from whether a continuous
// value is missing, so that subtrees soon hold rows that agree on every coded
// term and every missing term; then from the widest continuous attribute, at
// its median. Rows that tie on the split keep their row order, the smaller
// ones going left, so that among equal distances the early leaves hold the
// early rows. A node of at most leafCapacity rows is a leaf. Each leaf's rows
// are stored together, in increasing row order, as a small column layout of
// their own (the kernels' words, each column padded to a kernel step, then
// the row numbers), so that a leaf is one kernel pass over memory that lies
// together.
//
// Every node describes its rows, two words per measured attribute:
//   continuous: the lowest and the highest present value (float bits in the
//               low and the high half of the first word; +inf and -inf when
//               none is present), and in the second the float bits of the
//               missing term when a value is missing, of +inf otherwise;
//   coded:      bit i of the first word set when a row holds the
//               attribute's i-th code (codes past the 63rd share bit 63).
// The lower bounds the search draws from them are in index.cpp.
//
// The tree is built once and only read afterwards; the build's result does
// not depend on the thread count. A tree travels as bytes (pack, unpack) to
// processes that search the same group without building it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "analysis/knn/columns.hpp"
#include "analysis/knn/layout.hpp"

namespace kel::detail {

inline constexpr unsigned leafCapacity = 64;
inline constexpr unsigned sharedBit = 63;  // the bit of every code past the 63rd

// A coded attribute's codes as both trees number them, so that a query's
// code has the same bit in either.
struct code_list {
  std::vector<std::int32_t> codes;  // the distinct codes of both groups, increasing

  // The position of a code, or codes.size() when no row holds it.
  std::size_t indexOf(std::int32_t code) const;
  static std::uint64_t bitOf(std::size_t index) { return std::uint64_t{1} << (index < sharedBit ? index : sharedBit); }
};

// The code lists of the measured attributes (empty for continuous ones).
std::vector<code_list> codeLists(std::span<const measure_column> measures, std::span<const unsigned> protectedRows,
                                 std::span<const unsigned> unprotectedRows);

struct tree_node {
  static constexpr std::uint32_t none = 0xffffffffu;
  std::uint32_t left = none, right = none;  // children; none: a leaf
  std::uint32_t begin = 0, end = 0;         // a leaf: its places [begin, end) (see placeOf)
  std::uint32_t minRow = 0;                 // the smallest row under the node

  // A leaf's column stride: its rows rounded up to a kernel step.
  std::uint32_t stride() const { return (end - begin + stepRows - 1) / stepRows * stepRows; }
};

class group_tree {
 public:
  // REQUIRES: rows strictly increasing, fewer than 2^32 - 2^16; measures,
  // lists and plan of the same length.
  group_tree(std::span<const measure_column> measures, std::span<const code_list> lists,
             std::span<const column_plan> plan, std::span<const unsigned> rows, unsigned threads);

  // The tree as bytes, and back: unpack(t.pack()) is t. unpack throws
  // std::invalid_argument when the bytes are not a packed tree of this many
  // measured attributes.
  std::vector<char> pack() const;
  static group_tree unpack(std::span<const char> bytes, std::size_t measures);

  bool empty() const { return nodes.empty(); }
  std::size_t rows() const { return rowCount; }
  const tree_node& node(std::uint32_t i) const { return nodes[i]; }
  std::size_t nodeCount() const { return nodes.size(); }
  // The node's description: two words per measured attribute.
  const std::uint64_t* describe(std::uint32_t i) const { return words.data() + i * wordsPerNode; }
  // The place of the row at position i of the group: the leaves' rows are
  // numbered in leaf order, each leaf padded to its stride, so that rows
  // whose places are close are close in the space the tree divides.
  std::uint32_t placeOf(std::size_t i) const { return place[i]; }
  // A leaf's columns: column j at the result + j * stride().
  const std::uint32_t* leafColumns(const tree_node& leaf) const {
    return columns->p + std::size_t{leaf.begin} * (measureCount + 1);
  }
  // A leaf's rows, increasing.
  const unsigned* leafRows(const tree_node& leaf) const { return leafColumns(leaf) + measureCount * leaf.stride(); }

 private:
  group_tree() = default;

  std::size_t rowCount = 0;
  std::size_t measureCount = 0;
  std::size_t wordsPerNode = 0;
  std::vector<tree_node> nodes;  // nodes[0] is the root
  std::vector<std::uint64_t> words;
  std::vector<std::uint32_t> place;
  std::size_t columnWords = 0;
  std::unique_ptr<aligned_words> columns;
};

}  // namespace kel::detail
