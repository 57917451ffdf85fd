// A tree as bytes: seven counts, then the nodes, their descriptions, the
// places and the leaves' columns, each as it lies in memory.
#include <stdexcept>
#include <type_traits>

#include "analysis/knn/tree.hpp"
#include "util/bytes.hpp"

namespace kel::detail {

namespace {

static_assert(std::is_trivially_copyable_v<tree_node>);

struct counts {
  std::uint64_t rows, measures, wordsPerNode, nodes, words, places, columnWords;
};

[[noreturn]] void bad() { throw std::invalid_argument("not a packed tree"); }

}  // namespace

std::vector<char> group_tree::pack() const {
  const counts c{rowCount, measureCount, wordsPerNode, nodes.size(), words.size(), place.size(), columnWords};
  orv::util::byte_writer out(sizeof c + nodes.size() * sizeof(tree_node) + words.size() * sizeof(std::uint64_t) +
                             (place.size() + columnWords) * sizeof(std::uint32_t));
  out.put(c);
  out.put(nodes.data(), nodes.size());
  out.put(words.data(), words.size());
  out.put(place.data(), place.size());
  out.put(columns->p, columnWords);
  return out.take();
}

group_tree group_tree::unpack(std::span<const char> bytes, std::size_t measures) {
  orv::util::byte_reader in(bytes);
  const auto c = in.get<counts>();
  // Every count is checked against the bytes before anything is allocated.
  const std::uint64_t size = bytes.size();
  if (c.measures != measures || c.wordsPerNode != 2 * measures || c.places != c.rows ||
      c.nodes > size / sizeof(tree_node) || c.words != c.nodes * c.wordsPerNode || c.words > size / 8 ||
      c.places > size / 4 || c.columnWords > size / 4)
    bad();
  group_tree t;
  t.rowCount = c.rows;
  t.measureCount = c.measures;
  t.wordsPerNode = c.wordsPerNode;
  t.nodes.resize(c.nodes);
  t.words.resize(c.words);
  t.place.resize(c.places);
  t.columnWords = c.columnWords;
  t.columns = std::make_unique<aligned_words>(c.columnWords);
  in.get(t.nodes.data(), t.nodes.size());
  in.get(t.words.data(), t.words.size());
  in.get(t.place.data(), t.place.size());
  in.get(t.columns->p, t.columnWords);
  if (!in.done()) bad();
  // A search follows children and reads leaves' columns without checks.
  const std::uint64_t width = c.measures + 1;
  for (const tree_node& n : t.nodes) {
    if (n.left == tree_node::none) {
      if (n.begin > n.end || (std::uint64_t{n.begin} + n.stride()) * width > c.columnWords) bad();
    } else if (n.left >= c.nodes || n.right >= c.nodes) {
      bad();
    }
  }
  for (const std::uint32_t p : t.place)
    if (std::uint64_t{p} * width >= c.columnWords) bad();
  return t;
}

}  // namespace kel::detail
