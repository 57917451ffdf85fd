#include "analysis/knn/tree.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <functional>
#include <limits>

#include "util/parallel.hpp"

namespace kel::detail {

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

// Parts of the tree that are built apart, each on one thread: the top is
// split until no part holds more than this share of the rows.
constexpr std::size_t partsPerTree = 16;

struct range {
  std::uint32_t node, begin, end;  // a node and its records [begin, end)
};

// One part of the tree, numbered from its own root (0).
struct part {
  std::vector<tree_node> nodes;
  std::vector<std::uint64_t> words;
  std::vector<range> leaves;  // in the same numbering
};

// The build works on records, one per row, moved as the nodes are split so
// that every node's rows lie together: the keys of the measured attributes
// (float bits of a continuous value, the position of a code in its list),
// then the row's position in the group. A split computes the descriptions
// of both sides while it moves their records.
class builder {
 public:
  builder(std::span<const measure_column> measures, std::span<const code_list> lists, std::span<const unsigned> rows)
      : lists(lists), rows(rows), m(measures.size()), width(m + 1), wordsPerNode(2 * m), measures(measures),
        records(rows.size() * width) {
    for (std::size_t j = 0; j < m; ++j) (measures[j].kind == measure_kind::continuous ? continuous : coded).push_back(j);
  }

  std::size_t words() const { return wordsPerNode; }
  const std::uint32_t* record(std::size_t i) const { return records.data() + i * width; }

  // The records of group positions [begin, end), in order.
  void fill(std::size_t begin, std::size_t end) {
    for (std::size_t j = 0; j < m; ++j) {
      const measure_column& c = measures[j];
      std::uint32_t* out = records.data() + begin * width + j;
      if (c.kind == measure_kind::continuous) {
        for (std::size_t i = begin; i < end; ++i, out += width) *out = std::bit_cast<std::uint32_t>(c.values[rows[i]]);
        continue;
      }
      // Rows repeat a few codes: a run of one code is looked up once.
      std::int32_t last = 0;
      std::uint32_t at = 0;
      for (std::size_t i = begin; i < end; ++i, out += width) {
        const std::int32_t code = c.codes[rows[i]];
        if (i == begin || code != last) {
          at = static_cast<std::uint32_t>(lists[j].indexOf(code));
          last = code;
        }
        *out = at;
      }
    }
    for (std::size_t i = begin; i < end; ++i) records[i * width + m] = static_cast<std::uint32_t>(i);
  }

  // Splits the node of records [begin, end) and then its children, one level
  // at a time, until every pending node holds at most `largest` rows; those
  // are returned, the rest of the tree is in `top`.
  std::vector<range> splitTop(part& top, std::uint32_t begin, std::uint32_t end, std::size_t largest) {
    scratch scr(m);
    std::vector<range> pending{{addNode(top), begin, end}}, done;
    describe(top, pending[0], scr);
    while (!pending.empty()) {
      std::vector<range> next;
      for (const range& r : pending) {
        if (r.end - r.begin <= largest) {
          done.push_back(r);
          continue;
        }
        const std::uint32_t l = addNode(top), rr = addNode(top);
        top.nodes[r.node].left = l;
        top.nodes[r.node].right = rr;
        const std::uint32_t mid = split(top, r, l, rr, scr);
        next.push_back({l, r.begin, mid});
        next.push_back({rr, mid, r.end});
      }
      pending = std::move(next);
    }
    return done;
  }

  // The subtree of records [begin, end), into a part of its own.
  void grow(part& p, std::uint32_t begin, std::uint32_t end) {
    scratch scr(m);
    std::vector<range> stack{{addNode(p), begin, end}};
    describe(p, stack[0], scr);
    while (!stack.empty()) {
      const range r = stack.back();
      stack.pop_back();
      if (r.end - r.begin <= leafCapacity) {
        p.leaves.push_back(r);
        continue;
      }
      const std::uint32_t l = addNode(p), rr = addNode(p);
      p.nodes[r.node].left = l;
      p.nodes[r.node].right = rr;
      const std::uint32_t mid = split(p, r, l, rr, scr);
      stack.push_back({rr, mid, r.end});
      stack.push_back({l, r.begin, mid});
    }
  }

 private:
  // What is known of the rows of one side of a split as its records pass.
  struct side {
    std::vector<float> lo, hi;
    std::vector<std::uint8_t> missing;
    std::vector<std::uint64_t> codes;

    explicit side(std::size_t m) : lo(m), hi(m), missing(m), codes(m) {}
    void reset() {
      std::fill(lo.begin(), lo.end(), inf);
      std::fill(hi.begin(), hi.end(), -inf);
      std::fill(missing.begin(), missing.end(), 0);
      std::fill(codes.begin(), codes.end(), 0);
    }
  };

  struct scratch {
    explicit scratch(std::size_t m) : left(m), right(m) {}
    std::vector<std::uint32_t> spill;  // the right side's records during a partition
    std::vector<std::uint32_t> values;
    std::vector<std::uint32_t> counts;  // per coded attribute, per code bit
    side left, right;
  };

  std::uint32_t addNode(part& p) const {
    p.nodes.emplace_back();
    p.words.resize(p.words.size() + wordsPerNode, 0);
    return static_cast<std::uint32_t>(p.nodes.size() - 1);
  }

  void add(side& s, const std::uint32_t* x) const {
    for (const std::size_t j : continuous) {
      const float v = std::bit_cast<float>(x[j]);
      if (v == missingValue) {
        s.missing[j] = 1;
      } else {
        s.lo[j] = std::min(s.lo[j], v);
        s.hi[j] = std::max(s.hi[j], v);
      }
    }
    for (const std::size_t j : coded) s.codes[j] |= code_list::bitOf(x[j]);
  }

  // Records keep their order within a node (every partition is stable), so
  // the first holds the smallest row.
  void store(part& p, std::uint32_t node, const side& s, std::uint32_t first) const {
    p.nodes[node].minRow = rows[record(first)[m]];
    std::uint64_t* w = p.words.data() + std::size_t{node} * wordsPerNode;
    for (const std::size_t j : continuous) {
      w[2 * j] = std::bit_cast<std::uint32_t>(s.lo[j]) | std::uint64_t{std::bit_cast<std::uint32_t>(s.hi[j])} << 32;
      w[2 * j + 1] = std::bit_cast<std::uint32_t>(s.missing[j] ? missingTerm : inf);
    }
    for (const std::size_t j : coded) {
      w[2 * j] = s.codes[j];
      w[2 * j + 1] = 0;
    }
  }

  void describe(part& p, const range& r, scratch& scr) const {
    scr.left.reset();
    for (std::uint32_t i = r.begin; i < r.end; ++i) add(scr.left, record(i));
    store(p, r.node, scr.left, r.begin);
  }

  // Moves the records of r for which goesLeft holds to its front, both
  // sides in their order, describes both sides, and answers where the right
  // one starts.
  template <class F>
  std::uint32_t partition(part& p, const range& r, std::uint32_t leftNode, std::uint32_t rightNode, scratch& scr,
                          F goesLeft) {
    scr.left.reset();
    scr.right.reset();
    scr.spill.clear();
    std::uint32_t out = r.begin;
    for (std::uint32_t i = r.begin; i < r.end; ++i) {
      std::uint32_t* x = records.data() + std::size_t{i} * width;
      if (goesLeft(x)) {
        add(scr.left, x);
        if (out != i) std::memcpy(records.data() + std::size_t{out} * width, x, width * sizeof(std::uint32_t));
        ++out;
      } else {
        add(scr.right, x);
        scr.spill.insert(scr.spill.end(), x, x + width);
      }
    }
    std::copy(scr.spill.begin(), scr.spill.end(), records.begin() + static_cast<std::ptrdiff_t>(out * width));
    assert(out > r.begin && out < r.end);
    store(p, leftNode, scr.left, r.begin);
    store(p, rightNode, scr.right, out);
    return out;
  }

  // Of the two cuts around a run of equal keys (left sizes below and
  // through), the one nearer the middle that leaves both sides non-empty;
  // 0 when neither does.
  static std::uint32_t nearerCut(std::uint32_t n, std::uint32_t below, std::uint32_t through) {
    constexpr std::uint32_t never = std::numeric_limits<std::uint32_t>::max();
    const auto off = [n](std::uint32_t left) {
      return left == 0 || left == n ? never : (2 * left > n ? 2 * left - n : n - 2 * left);
    };
    if (off(below) == never && off(through) == never) return 0;
    return off(below) <= off(through) ? below : through;
  }

  // The key of attribute j of records [begin, end) at the middle, and how
  // many are below it and up to it.
  template <class Less>
  void median(const range& r, std::size_t j, scratch& scr, Less less, std::uint32_t& med, std::uint32_t& below,
              std::uint32_t& through) const {
    const std::uint32_t n = r.end - r.begin;
    scr.values.clear();
    for (std::uint32_t i = r.begin; i < r.end; ++i) scr.values.push_back(record(i)[j]);
    std::nth_element(scr.values.begin(), scr.values.begin() + n / 2, scr.values.end(), less);
    med = scr.values[n / 2];
    below = through = 0;
    for (const std::uint32_t k : scr.values) {
      below += less(k, med);
      through += !less(med, k);
    }
  }

  // Splits the described node r in two non-empty sides, the given nodes,
  // and describes them; answers the cut.
  std::uint32_t split(part& p, const range& r, std::uint32_t l, std::uint32_t rr, scratch& scr) {
    const std::uint32_t n = r.end - r.begin;
    const std::uint64_t* w = p.words.data() + std::size_t{r.node} * wordsPerNode;

    // 1. A coded attribute, or whether a continuous value is missing: the
    // most even such split. Of the coded attributes of at most 64 codes,
    // the one with the most codes here is counted, in the same pass as the
    // present values of the others.
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
    std::vector<std::size_t> counted, many;
    std::vector<std::size_t> mixed;
    int most = 1;
    for (const std::size_t j : coded) {
      const bool shared = lists[j].codes.size() > sharedBit + 1;
      if (shared && (w[2 * j] >> sharedBit) != 0) {
        many.push_back(j);
      } else if (std::popcount(w[2 * j]) > most) {
        most = std::popcount(w[2 * j]);
        counted.assign(1, j);
      }
    }
    for (const std::size_t j : continuous)
      if (std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j + 1])) == missingTerm &&
          std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j])) != inf)
        mixed.push_back(j);
    if (!counted.empty() || !mixed.empty()) {
      scr.counts.assign(counted.size() * 64 + mixed.size(), 0);
      for (std::uint32_t i = r.begin; i < r.end; ++i) {
        const std::uint32_t* x = record(i);
        for (std::size_t c = 0; c < counted.size(); ++c) ++scr.counts[c * 64 + x[counted[c]]];
        for (std::size_t c = 0; c < mixed.size(); ++c)
          scr.counts[counted.size() * 64 + c] += std::bit_cast<float>(x[mixed[c]]) != missingValue;
      }
      for (std::size_t c = 0; c < counted.size(); ++c) {
        std::uint32_t left = 0, bestHere = 0, cutHere = 0;
        for (std::uint32_t bit = 0; bit < 64; ++bit) {
          left += scr.counts[c * 64 + bit];
          if (left != 0 && left != n && (bestHere == 0 || (2 * left > n ? 2 * left - n : n - 2 * left) <
                                                               (2 * bestHere > n ? 2 * bestHere - n : n - 2 * bestHere))) {
            bestHere = left;
            cutHere = bit + 1;
          }
        }
        consider(counted[c], bestHere, cutHere);
      }
      for (std::size_t c = 0; c < mixed.size(); ++c) consider(mixed[c], scr.counts[counted.size() * 64 + c], 0);
    }
    for (const std::size_t j : many) {
      std::uint32_t med = 0, below = 0, through = 0;
      median(r, j, scr, std::less<std::uint32_t>(), med, below, through);
      const std::uint32_t left = nearerCut(n, below, through);
      if (left != 0) consider(j, left, left == below ? med : med + 1);
    }
    if (best < m) {
      const std::size_t j = best;
      if (measures[j].kind == measure_kind::continuous)
        return partition(p, r, l, rr, scr,
                         [j](const std::uint32_t* x) { return std::bit_cast<float>(x[j]) != missingValue; });
      const std::uint32_t cut = bestCut;
      return partition(p, r, l, rr, scr, [j, cut](const std::uint32_t* x) { return x[j] < cut; });
    }

    // 2. The widest continuous attribute (every one is now all present or
    // all missing): at a change of value near the median, else at the
    // median itself, ties in row order.
    double widest = 0.0;
    for (const std::size_t j : continuous) {
      const float lo = std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j]));
      const float hi = std::bit_cast<float>(static_cast<std::uint32_t>(w[2 * j] >> 32));
      if (lo < hi && static_cast<double>(hi) - static_cast<double>(lo) > widest) {
        widest = static_cast<double>(hi) - static_cast<double>(lo);
        best = j;
      }
    }
    if (best < m) {
      const std::size_t j = best;
      const auto less = [](std::uint32_t a, std::uint32_t b) {
        return std::bit_cast<float>(a) < std::bit_cast<float>(b);
      };
      std::uint32_t key = 0, below = 0, through = 0;
      median(r, j, scr, less, key, below, through);
      const float med = std::bit_cast<float>(key);
      const std::uint32_t left = nearerCut(n, below, through);
      if (left != 0 && std::min(left, n - left) >= n / 4) {
        if (left == below)
          return partition(p, r, l, rr, scr, [j, med](const std::uint32_t* x) { return std::bit_cast<float>(x[j]) < med; });
        return partition(p, r, l, rr, scr, [j, med](const std::uint32_t* x) { return std::bit_cast<float>(x[j]) <= med; });
      }
      std::uint32_t equalLeft = n / 2 - below;  // of the values equal to the median, the first go left
      return partition(p, r, l, rr, scr, [j, med, &equalLeft](const std::uint32_t* x) {
        const float v = std::bit_cast<float>(x[j]);
        if (v < med) return true;
        if (v == med && equalLeft > 0) {
          --equalLeft;
          return true;
        }
        return false;
      });
    }

    // 3. Every row alike: halves in row order.
    std::uint32_t first = n / 2;
    return partition(p, r, l, rr, scr, [&first](const std::uint32_t*) { return first > 0 && first-- > 0; });
  }

  std::span<const code_list> lists;
  std::span<const unsigned> rows;
  std::size_t m;
  std::size_t width;  // words per record
  std::size_t wordsPerNode;
  std::span<const measure_column> measures;
  std::vector<std::size_t> continuous, coded;  // attribute positions by kind
  std::vector<std::uint32_t> records;
};

// The kernels' word of each code position of a coded attribute.
std::vector<std::uint32_t> codeWords(const code_list& list, const column_plan& plan) {
  std::vector<std::uint32_t> w;
  for (const std::int32_t code : list.codes) {
    const auto c = static_cast<std::uint32_t>(code);
    w.push_back(plan.desc.kind == col_kind::table
                    ? static_cast<std::uint32_t>(std::lower_bound(plan.values.begin(), plan.values.end(), c) -
                                                 plan.values.begin())
                    : c);
  }
  return w;
}

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
  if (rows.empty()) {
    columns = std::make_unique<aligned_words>(0);
    return;
  }
  constexpr std::size_t fillRows = 1 << 16;
  orv::util::parallel_for((rows.size() + fillRows - 1) / fillRows, threads, [&](std::size_t i) {
    b.fill(i * fillRows, std::min(rows.size(), (i + 1) * fillRows));
  });

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

  // Leaves in record order, each padded to a kernel step, its columns side
  // by side, then its rows.
  std::sort(leaves.begin(), leaves.end(), [](const range& x, const range& y) { return x.begin < y.begin; });
  place.resize(rows.size());
  std::uint32_t places = 0;
  for (const range& leaf : leaves) {
    tree_node& t = nodes[leaf.node];
    t.begin = places;
    for (std::uint32_t i = leaf.begin; i < leaf.end; ++i) place[b.record(i)[m]] = places++;
    t.end = places;
    places = t.begin + t.stride();
  }
  columnWords = std::size_t{places} * (m + 1);
  columns = std::make_unique<aligned_words>(columnWords);
  orv::util::parallel_for(m + 1, threads, [&](std::size_t j) {
    std::vector<std::uint32_t> word;  // coded: by code position
    if (j < m && measures[j].kind != measure_kind::continuous) word = codeWords(lists[j], plan[j]);
    for (const range& leaf : leaves) {
      const tree_node& t = nodes[leaf.node];
      std::uint32_t* out = columns->p + std::size_t{t.begin} * (m + 1) + j * t.stride();
      for (std::uint32_t i = leaf.begin; i < leaf.end; ++i) {
        const std::uint32_t key = b.record(i)[j];
        *out++ = j == m ? rows[key] : (word.empty() ? key : word[key]);
      }
      // Padding the kernels read and the search skips: a valid table index.
      std::fill_n(out, t.stride() - (t.end - t.begin), 0u);
    }
  });
}

}  // namespace kel::detail
