#include "analysis/knn/tree.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <limits>
#include <optional>

#include "util/parallel.hpp"

namespace kel::detail {

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

// Parts of the tree that are built apart, each on one thread: the top is
// split until no part holds more than this share of the rows.
constexpr std::size_t partsPerTree = 16;

struct range {
  std::uint32_t node, begin, end;  // a node and its rows at perm[begin, end)
};

// One part of the tree, numbered from its own root (0).
struct part {
  std::vector<tree_node> nodes;
  std::vector<std::uint64_t> words;
  std::vector<range> leaves;  // in the same numbering
};

class builder {
 public:
  builder(std::span<const measure_column> measures, std::span<const code_list> lists, std::span<const unsigned> rows)
      : measures(measures), lists(lists), rows(rows), m(measures.size()), wordsPerNode(2 * m),
        keys(m), perm(rows.size()) {
    for (std::uint32_t i = 0; i < perm.size(); ++i) perm[i] = i;
  }

  std::size_t words() const { return wordsPerNode; }
  std::vector<std::uint32_t>& order() { return perm; }

  // Column j's keys by group position: float bits of continuous values,
  // code positions of coded ones.
  void fillKeys(std::size_t j) {
    const measure_column& c = measures[j];
    std::vector<std::uint32_t>& k = keys[j];
    k.resize(rows.size());
    if (c.kind == measure_kind::continuous) {
      for (std::size_t i = 0; i < rows.size(); ++i) k[i] = std::bit_cast<std::uint32_t>(c.values[rows[i]]);
      return;
    }
    // Rows repeat a few codes: remember the last one found.
    std::int32_t last = 0;
    std::uint32_t at = 0;
    bool any = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::int32_t code = c.codes[rows[i]];
      if (!any || code != last) {
        at = static_cast<std::uint32_t>(lists[j].indexOf(code));
        last = code;
        any = true;
      }
      k[i] = at;
    }
  }

  // Splits the node of rows [begin, end) and then its children, one level at
  // a time, until every pending node holds at most `largest` rows; those
  // are returned, the rest of the tree is in `top`.
  std::vector<range> splitTop(part& top, std::uint32_t begin, std::uint32_t end, std::size_t largest) {
    std::vector<range> pending{{0, begin, end}}, done;
    addNode(top);
    scratch scr;
    while (!pending.empty()) {
      std::vector<range> next;
      for (const range& r : pending) {
        if (r.end - r.begin <= largest) {
          done.push_back(r);
          continue;
        }
        describe(top, r, scr);
        const std::uint32_t mid = split(top, r, scr);
        const std::uint32_t l = addNode(top), rr = addNode(top);
        top.nodes[r.node].left = l;
        top.nodes[r.node].right = rr;
        next.push_back({l, r.begin, mid});
        next.push_back({rr, mid, r.end});
      }
      pending = std::move(next);
    }
    return done;
  }

  // The subtree of rows [begin, end), into a part of its own.
  void grow(part& p, std::uint32_t begin, std::uint32_t end) {
    scratch scr;
    std::vector<range> stack{{addNode(p), begin, end}};
    while (!stack.empty()) {
      const range r = stack.back();
      stack.pop_back();
      describe(p, r, scr);
      if (r.end - r.begin <= leafCapacity) {
        p.leaves.push_back(r);
        continue;
      }
      const std::uint32_t mid = split(p, r, scr);
      const std::uint32_t l = addNode(p), rr = addNode(p);
      p.nodes[r.node].left = l;
      p.nodes[r.node].right = rr;
      stack.push_back({rr, mid, r.end});
      stack.push_back({l, r.begin, mid});
    }
  }

 private:
  struct scratch {
    std::vector<std::uint32_t> spill;  // the right side of a partition
    std::vector<std::uint32_t> values;
  };

  std::uint32_t addNode(part& p) const {
    p.nodes.emplace_back();
    p.words.resize(p.words.size() + wordsPerNode, 0);
    return static_cast<std::uint32_t>(p.nodes.size() - 1);
  }

  float value(std::size_t j, std::uint32_t pos) const { return std::bit_cast<float>(keys[j][pos]); }

  // perm is increasing within every node: partitions keep the order.
  void describe(part& p, const range& r, scratch&) const {
    p.nodes[r.node].minRow = rows[perm[r.begin]];
    std::uint64_t* w = p.words.data() + std::size_t{r.node} * wordsPerNode;
    for (std::size_t j = 0; j < m; ++j) {
      const std::vector<std::uint32_t>& k = keys[j];
      if (measures[j].kind == measure_kind::continuous) {
        float lo = inf, hi = -inf;
        bool missing = false;
        for (std::uint32_t i = r.begin; i < r.end; ++i) {
          const float v = std::bit_cast<float>(k[perm[i]]);
          if (v == missingValue) {
            missing = true;
          } else {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
          }
        }
        w[2 * j] = std::bit_cast<std::uint32_t>(lo) | std::uint64_t{std::bit_cast<std::uint32_t>(hi)} << 32;
        w[2 * j + 1] = std::bit_cast<std::uint32_t>(missing ? missingTerm : inf);
      } else {
        std::uint64_t mask = 0;
        for (std::uint32_t i = r.begin; i < r.end; ++i) mask |= code_list::bitOf(k[perm[i]]);
        w[2 * j] = mask;
        w[2 * j + 1] = 0;
      }
    }
  }

  // Moves the rows of r for which goesLeft holds to its front, both sides in
  // their order, and answers where the right side starts.
  template <class F>
  std::uint32_t partition(const range& r, scratch& scr, F goesLeft) {
    scr.spill.clear();
    std::uint32_t out = r.begin;
    for (std::uint32_t i = r.begin; i < r.end; ++i) {
      const std::uint32_t pos = perm[i];
      if (goesLeft(pos)) {
        perm[out++] = pos;
      } else {
        scr.spill.push_back(pos);
      }
    }
    std::copy(scr.spill.begin(), scr.spill.end(), perm.begin() + out);
    return out;
  }

  // Of the two cuts around a run of equal keys (left sizes below and
  // through), the one nearer the middle that leaves both sides non-empty;
  // 0 when neither does.
  static std::uint32_t nearerCut(std::uint32_t n, std::uint32_t below, std::uint32_t through) {
    const auto off = [n](std::uint32_t left) {
      return left == 0 || left == n ? std::numeric_limits<std::uint32_t>::max()
                                    : (2 * left > n ? 2 * left - n : n - 2 * left);
    };
    if (off(below) == std::numeric_limits<std::uint32_t>::max() && off(through) == off(below)) return 0;
    return off(below) <= off(through) ? below : through;
  }

  // Splits the described node r in two non-empty sides; answers the cut.
  std::uint32_t split(part& p, const range& r, scratch& scr) {
    const std::uint32_t n = r.end - r.begin;
    const std::uint64_t* w = p.words.data() + std::size_t{r.node} * wordsPerNode;

    // 1. A coded attribute, or whether a continuous value is missing: the
    // most even such split.
    std::size_t best = m;
    std::uint32_t bestLeft = 0, bestCut = 0;
    const auto consider = [&](std::size_t j, std::uint32_t left, std::uint32_t cut) {
      if (left == 0 || left == n) return;
      if (best == m || std::min(left, n - left) > std::min(bestLeft, n - bestLeft)) {
        best = j;
        bestLeft = left;
        bestCut = cut;
      }
    };
    for (std::size_t j = 0; j < m; ++j) {
      const std::vector<std::uint32_t>& k = keys[j];
      if (measures[j].kind == measure_kind::continuous) {
        const bool missing = std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j + 1])) == missingTerm;
        const float lo = std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j]));
        if (!missing || lo == inf) continue;
        std::uint32_t present = 0;
        for (std::uint32_t i = r.begin; i < r.end; ++i) present += std::bit_cast<float>(k[perm[i]]) != missingValue;
        consider(j, present, 0);
        continue;
      }
      const bool shared = lists[j].codes.size() > sharedBit + 1 && (w[2 * j] >> sharedBit) != 0;
      if (std::popcount(w[2 * j]) < 2 && !shared) continue;
      // The median code, and the cut before or after its run.
      scr.values.clear();
      for (std::uint32_t i = r.begin; i < r.end; ++i) scr.values.push_back(k[perm[i]]);
      std::nth_element(scr.values.begin(), scr.values.begin() + n / 2, scr.values.end());
      const std::uint32_t med = scr.values[n / 2];
      std::uint32_t below = 0, through = 0;
      for (const std::uint32_t c : scr.values) {
        below += c < med;
        through += c <= med;
      }
      const std::uint32_t left = nearerCut(n, below, through);
      if (left != 0) consider(j, left, left == below ? med : med + 1);
    }
    if (best < m) {
      const std::vector<std::uint32_t>& k = keys[best];
      if (measures[best].kind == measure_kind::continuous)
        return partition(r, scr, [&](std::uint32_t pos) { return std::bit_cast<float>(k[pos]) != missingValue; });
      return partition(r, scr, [&](std::uint32_t pos) { return k[pos] < bestCut; });
    }

    // 2. The widest continuous attribute (every one is now all present or
    // all missing): at a change of value near the median, else at the
    // median itself, ties in row order.
    double widest = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      if (measures[j].kind != measure_kind::continuous) continue;
      const float lo = std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j]));
      const float hi = std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j] >> 32));
      if (lo < hi && static_cast<double>(hi) - static_cast<double>(lo) > widest) {
        widest = static_cast<double>(hi) - static_cast<double>(lo);
        best = j;
      }
    }
    if (best < m) {
      const std::size_t j = best;
      scr.values.clear();
      for (std::uint32_t i = r.begin; i < r.end; ++i) scr.values.push_back(keys[j][perm[i]]);
      const auto less = [](std::uint32_t a, std::uint32_t b) {
        return std::bit_cast<float>(a) < std::bit_cast<float>(b);
      };
      std::nth_element(scr.values.begin(), scr.values.begin() + n / 2, scr.values.end(), less);
      const float med = std::bit_cast<float>(scr.values[n / 2]);
      std::uint32_t below = 0, through = 0;
      for (const std::uint32_t c : scr.values) {
        below += std::bit_cast<float>(c) < med;
        through += std::bit_cast<float>(c) <= med;
      }
      const std::uint32_t left = nearerCut(n, below, through);
      if (left != 0 && std::min(left, n - left) >= n / 4) {
        if (left == below) return partition(r, scr, [&](std::uint32_t pos) { return value(j, pos) < med; });
        return partition(r, scr, [&](std::uint32_t pos) { return value(j, pos) <= med; });
      }
      std::uint32_t equalLeft = n / 2 - below;  // of the values equal to the median, the first go left
      return partition(r, scr, [&](std::uint32_t pos) {
        const float v = value(j, pos);
        if (v < med) return true;
        if (v == med && equalLeft > 0) {
          --equalLeft;
          return true;
        }
        return false;
      });
    }

    // 3. Every row alike: halves in row order.
    return r.begin + n / 2;
  }

  std::span<const measure_column> measures;
  std::span<const code_list> lists;
  std::span<const unsigned> rows;
  std::size_t m;
  std::size_t wordsPerNode;
  std::vector<std::vector<std::uint32_t>> keys;
  std::vector<std::uint32_t> perm;  // group positions, in tree order
};

}  // namespace

std::size_t code_list::indexOf(std::int32_t code) const {
  const auto at = std::lower_bound(codes.begin(), codes.end(), code);
  return at != codes.end() && *at == code ? static_cast<std::size_t>(at - codes.begin()) : codes.size();
}

std::vector<code_list> codeLists(std::span<const measure_column> measures, std::span<const unsigned> protectedRows,
                                 std::span<const unsigned> unprotectedRows) {
  std::vector<code_list> lists(measures.size());
  for (std::size_t j = 0; j < measures.size(); ++j) {
    if (measures[j].kind == measure_kind::continuous) continue;
    std::vector<std::int32_t>& v = lists[j].codes;
    // Codes of a real column are few: a run of equal codes is looked up once.
    for (auto rows : {protectedRows, unprotectedRows}) {
      for (const unsigned r : rows) {
        const std::int32_t c = measures[j].codes[r];
        if (!v.empty() && v.back() == c) continue;
        if (std::find(v.begin(), v.end(), c) == v.end()) {
          v.push_back(c);
          if (v.size() > 4096) {  // many codes: sort them all at once
            for (auto all : {protectedRows, unprotectedRows})
              for (const unsigned x : all) v.push_back(measures[j].codes[x]);
            break;
          }
        }
      }
      if (v.size() > 4096) break;
    }
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
  }
  return lists;
}

group_tree::group_tree(std::span<const measure_column> measures, std::span<const code_list> lists,
                       std::span<const column_plan> plan, std::span<const unsigned> rows, unsigned threads)
    : rowCount(rows.size()), measureCount(measures.size()) {
  const std::size_t m = measures.size();
  builder b(measures, lists, rows);
  wordsPerNode = b.words();
  if (!rows.empty()) {
    orv::util::parallel_for(m, threads, [&](std::size_t j) { b.fillKeys(j); });

    // The top, then its parts one per task, stitched together in order.
    part top;
    const std::size_t largest = std::max<std::size_t>(leafCapacity, (rows.size() + partsPerTree - 1) / partsPerTree);
    const std::vector<range> todo = b.splitTop(top, 0, static_cast<std::uint32_t>(rows.size()), largest);
    std::vector<part> parts(todo.size());
    orv::util::parallel_for(todo.size(), threads, [&](std::size_t i) { b.grow(parts[i], todo[i].begin, todo[i].end); });

    nodes = std::move(top.nodes);
    words = std::move(top.words);
    std::vector<range> leaves;
    for (std::size_t i = 0; i < todo.size(); ++i) {
      part& p = parts[i];
      const std::uint32_t offset = static_cast<std::uint32_t>(nodes.size()) - 1;  // local 1 goes to offset + 1
      const auto global = [&](std::uint32_t local) { return local == 0 ? todo[i].node : offset + local; };
      for (std::size_t local = 0; local < p.nodes.size(); ++local) {
        tree_node t = p.nodes[local];
        if (t.left != tree_node::none) {
          t.left = global(t.left);
          t.right = global(t.right);
        }
        const std::uint32_t at = global(static_cast<std::uint32_t>(local));
        if (local == 0) {
          nodes[at] = t;
          std::copy_n(p.words.begin(), wordsPerNode, words.begin() + std::size_t{at} * wordsPerNode);
        } else {
          nodes.push_back(t);
        }
      }
      words.insert(words.end(), p.words.begin() + static_cast<std::ptrdiff_t>(wordsPerNode), p.words.end());
      for (const range& leaf : p.leaves) leaves.push_back({global(leaf.node), leaf.begin, leaf.end});
    }

    // Leaves in row-range order, each padded to a kernel step, its columns
    // side by side.
    std::sort(leaves.begin(), leaves.end(), [](const range& x, const range& y) { return x.begin < y.begin; });
    const std::vector<std::uint32_t>& perm = b.order();
    place.resize(rows.size());
    std::uint32_t places = 0;
    for (const range& leaf : leaves) {
      tree_node& t = nodes[leaf.node];
      t.begin = places;
      for (std::uint32_t i = leaf.begin; i < leaf.end; ++i) place[perm[i]] = places++;
      t.end = places;
      places = t.begin + t.stride();
    }
    columns = std::make_unique<aligned_words>(std::size_t{places} * (m + 1));
    // Column j of every leaf, then (as j = m) the rows.
    orv::util::parallel_for(m + 1, threads, [&](std::size_t j) {
      const std::optional<column_words> word =
          j < m ? std::optional<column_words>(std::in_place, measures[j], plan[j]) : std::nullopt;
      for (const range& leaf : leaves) {
        const tree_node& t = nodes[leaf.node];
        std::uint32_t* out = columns->p + std::size_t{t.begin} * (m + 1) + j * t.stride();
        for (std::uint32_t i = leaf.begin; i < leaf.end; ++i) {
          const unsigned row = rows[perm[i]];
          *out++ = word ? (*word)(row) : row;
        }
        // Padding the kernels read and the search skips: a valid table index.
        std::fill_n(out, t.stride() - (t.end - t.begin), 0u);
      }
    });
  } else {
    columns = std::make_unique<aligned_words>(0);
  }
}

}  // namespace kel::detail
