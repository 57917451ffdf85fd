#include "analysis/knn/index.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "analysis/knn/dispatch.hpp"
#include "analysis/knn/layout.hpp"
#include "analysis/knn/scan.hpp"
#include "analysis/knn/tree.hpp"
#include "util/error.hpp"
#include "util/parallel.hpp"

namespace kel {

using detail::tree_node;

namespace {

// The queries a task takes: as many as keep their neighbour lists within
// chunkBytes, between the bounds, and enough tasks for every thread. A task
// searches its queries in the order of the protected tree, so that
// consecutive searches visit nearby nodes while they are still in the cache.
constexpr std::size_t chunkBytes = std::size_t{2} << 20;
constexpr std::size_t minChunk = 32, maxChunk = 8192;
constexpr std::size_t chunksPerThread = 8;

// The choice between index and scan is measured on the run's own table and
// queries: the processor time per query of the index on a sample of the
// queries against that of the scan on a block of them. The index must be
// clearly cheaper: the sample is a sample.
constexpr double margin = 1.5;
// The sample: queries spread evenly over the run, in rounds of growing
// size; a clear loss ends it after a round. The scan is timed on the first
// scanSample of them.
constexpr std::size_t sampleRounds[] = {4, 12, 48};
constexpr std::size_t scanSample = 32;
// Building the trees costs about as much as this many scan distances per
// row and level (140 to 220 on the hiring and bench/make_tables.py tables);
// the index is tried only when the scan would cost buildShare times the
// trees at least, that is with enough queries.
constexpr double buildCost = 200.0;
constexpr double buildShare = 16.0;

// Processor time of the calling thread, in seconds.
double cpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
double threadSeconds() { return cpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

struct frontier_entry {
  float bound;
  std::uint32_t minRow;
  std::uint32_t node;
};

// The frontier is a min-heap in (bound, smallest row) order.
struct later_order {
  bool operator()(const frontier_entry& a, const frontier_entry& b) const {
    return before({b.bound, b.minRow}, {a.bound, a.minRow});
  }
};
constexpr later_order later;

// What the hit callback needs for one leaf.
struct leaf_pass {
  topk* selection = nullptr;
  float* thr = nullptr;            // the kernel's threshold on sums
  float below = 0.0f, upTo = 0.0f;  // once the selection is full: sums below and up to its greatest distance
  const unsigned* rows = nullptr;  // the leaf's rows
  unsigned end = 0;                // the leaf's row count; later lanes are padding
  unsigned query = 0;
  float nf = 1.0f;
};

// topk decides every candidate; the threshold only spares the calls. A
// leaf's rows increase, so once the selection is full a candidate that ties
// its greatest distance can enter only while its row is below that
// neighbour's: the threshold admits ties until the rows pass it. It is set
// once per call, for the candidates after this vector's.
void onLeafHits(void* ctx, unsigned, unsigned first, std::uint32_t lanes, const float* sums) {
  leaf_pass& p = *static_cast<leaf_pass*>(ctx);
  bool changed = false;
  unsigned last = 0;
  while (lanes) {
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(lanes));
    lanes &= lanes - 1;
    const unsigned idx = first + lane;
    if (idx >= p.end) break;
    last = p.rows[idx];
    if (last == p.query) continue;
    changed |= p.selection->offer({sums[lane] / p.nf, last});
  }
  if (changed && p.selection->full()) {
    const neighbour& worst = p.selection->worst();
    p.upTo = sumBound(worst.distance, p.nf);
    p.below = sumBoundBelow(worst.distance, p.nf);
    *p.thr = last >= worst.row ? p.below : p.upTo;
  }
}

}  // namespace

struct index_search::work {
  std::uint64_t rows = 0;   // candidate distances computed
  std::uint64_t nodes = 0;  // node bounds computed
};

// Per-thread scratch: one prepared query, its terms for the bounds, the
// frontier and the selection.
class index_search::worker {
 public:
  explicit worker(const index_search& s) : search(s), m(s.columns.measures.size()), nf(static_cast<float>(m)) {
    for (std::size_t j = 0; j < m; ++j) desc.push_back(s.plan[j].desc);
    prepared = std::make_unique<detail::aligned_words>(m * detail::slotWords);
    terms.resize(m);
    std::size_t ordinals = 0;
    for (const measure_column& c : s.columns.measures) ordinals += c.kind == measure_kind::ordinal;
    tables.resize(ordinals * 64);
  }

  // The results of queries, the first of them at position `first` of the run.
  void run(std::span<const unsigned> queries, std::size_t first, const search_settings& settings,
           detail::kernel_fn kernel, result_block& out) {
    out.reset(first, queries);
    // Nearby queries one after the other; rows outside the protected group
    // (which the program never asks for) last.
    const std::vector<unsigned>& members = search.protectedRows;
    visit.clear();
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const auto at = std::lower_bound(members.begin(), members.end(), queries[i]);
      const bool member = at != members.end() && *at == queries[i];
      const std::uint64_t place =
          member ? search.protectedTree->placeOf(static_cast<std::size_t>(at - members.begin())) : 0xffffffffu;
      visit.push_back(place << 32 | i);
    }
    std::sort(visit.begin(), visit.end());
    for (const std::uint64_t v : visit) {
      const std::size_t i = static_cast<std::uint32_t>(v);
      prepare(queries[i]);
      for (group g : {group::unprotected, group::protected_}) {
        find(search.tree(g), queries[i], settings, kernel);
        const std::span<neighbour> chosen = selection.take();
        const class_column& cls = search.columns.outcome;
        unsigned matching = 0;
        for (const neighbour& e : chosen) matching += cls.matches(queries[i], e.row);
        out.set(i, g, chosen, matching);
      }
    }
  }

  // Both searches of one query, for their work only.
  void sample(unsigned query, const search_settings& settings, detail::kernel_fn kernel) {
    prepare(query);
    for (group g : {group::unprotected, group::protected_}) find(search.tree(g), query, settings, kernel);
  }

  work done;

 private:
  enum class term : std::uint8_t { present, missing, nominal, ordinal, valley };
  struct query_term {
    term kind = term::present;
    float value = 0.0f;         // present: the query's value
    std::uint64_t bit = 0;         // nominal: the query's code bit, 0 when missing; valley: the missing code's bit
    unsigned low = 0;              // valley: the bit of the least term
    const float* table = nullptr;  // ordinal, valley: the term against each code bit
  };

  void prepare(unsigned row) {
    const std::span<const measure_column> measures = search.columns.measures;
    detail::prepareQuery(measures, search.plan, row, prepared->p);
    float* table = tables.data();
    for (std::size_t j = 0; j < m; ++j) {
      const measure_column& c = measures[j];
      query_term& t = terms[j];
      switch (c.kind) {
        case measure_kind::continuous:
          t.kind = c.values[row] == missingValue ? term::missing : term::present;
          t.value = c.values[row];
          break;
        case measure_kind::nominal: {
          t.kind = term::nominal;
          const detail::code_list& list = search.lists[j];
          const std::size_t at = list.indexOf(c.codes[row]);
          t.bit = c.codes[row] == c.missingCode || at == list.codes.size() ? 0 : detail::code_list::bitOf(at);
          break;
        }
        case measure_kind::ordinal: {
          t.kind = term::ordinal;
          t.table = table;
          const std::vector<std::int32_t>& codes = search.lists[j].codes;
          const std::size_t n = std::min<std::size_t>(codes.size(), 64);
          for (std::size_t b = 0; b < n; ++b)
            table[b] = ordinalTerm(static_cast<std::uint32_t>(c.codes[row]), static_cast<std::uint32_t>(codes[b]),
                                   static_cast<std::uint32_t>(c.missingCode), c.maxCode);
          // The shared bit stands for many codes: nothing is known of them.
          if (codes.size() > 64) {
            table[detail::sharedBit] = 0.0f;
          } else {
            valley(t, codes, c.missingCode);
          }
          table += 64;
          break;
        }
      }
    }
  }

  // Over the present codes, in increasing order, an ordinal term falls to
  // its least and then rises (|a - b| / m around the query's code; for a
  // missing query, the larger of r and 1 - r around the middle of the
  // scale), so the least over a node's codes is at the code present nearest
  // below or above that point; the missing code is looked at apart. The
  // terms are checked to have that shape; if not, every code present is.
  static void valley(query_term& t, const std::vector<std::int32_t>& codes, std::int32_t missingCode) {
    const std::size_t n = codes.size();
    std::size_t low = n;
    for (std::size_t b = 0; b < n; ++b)
      if (codes[b] != missingCode && (low == n || t.table[b] < t.table[low])) low = b;
    if (low == n) return;
    float last = std::numeric_limits<float>::infinity();
    for (std::size_t b = 0; b < n; ++b) {
      if (codes[b] == missingCode) continue;
      if (b <= low ? t.table[b] > last : t.table[b] < last) return;
      last = t.table[b];
    }
    t.kind = term::valley;
    t.low = static_cast<unsigned>(low);
    t.bit = 0;
    for (std::size_t b = 0; b < n; ++b)
      if (codes[b] == missingCode) t.bit = detail::code_list::bitOf(b);
  }

  static float valleyTerm(std::uint64_t codes, const query_term& q) {
    float t = std::numeric_limits<float>::infinity();
    const std::uint64_t present = codes & ~q.bit;
    const std::uint64_t upTo = q.low >= 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << q.low) - 1;
    if (const std::uint64_t below = present & upTo) t = q.table[63 - std::countl_zero(below)];
    if (const std::uint64_t above = present & ~(upTo >> 1)) t = std::min(t, q.table[std::countr_zero(above)]);
    if (codes & q.bit) t = std::min(t, q.table[std::countr_zero(q.bit)]);
    return t;
  }

  // The least term of a continuous attribute over a node's rows for a
  // present query value: |q - the nearer edge| as the kernels compute
  // |q - b| (fl(lo - q) = |fl(q - lo)|), 0 inside, the missing term if
  // that is less and some value is missing.
  static float boxTerm(float q, const std::uint64_t* w) {
    const float lo = std::bit_cast<float>(static_cast<std::uint32_t>(w[0]));
    const float hi = std::bit_cast<float>(static_cast<std::uint32_t>(w[0] >> 32));
    const float cap = std::bit_cast<float>(static_cast<std::uint32_t>(w[1]));
    const float t = std::max(std::max(lo - q, q - hi), 0.0f);
    return std::min(t, cap);
  }

  static float leastTerm(std::uint64_t codes, const float* table) {
    float t = std::numeric_limits<float>::infinity();
    for (; codes != 0; codes &= codes - 1) t = std::min(t, table[std::countr_zero(codes)]);
    return t;
  }

  // No row of either described node is nearer than its bound. Two chains of
  // additions, one per node, side by side.
  void bounds(const std::uint64_t* a, const std::uint64_t* b, float& boundA, float& boundB) const {
    float sa = 0.0f, sb = 0.0f;
    for (std::size_t j = 0; j < m; ++j, a += 2, b += 2) {
      const query_term& q = terms[j];
      float ta = missingTerm, tb = missingTerm;
      switch (q.kind) {
        case term::present:
          ta = boxTerm(q.value, a);
          tb = boxTerm(q.value, b);
          break;
        case term::missing:
          break;
        case term::nominal:
          ta = (a[0] & q.bit) != 0 ? 0.0f : 1.0f;
          tb = (b[0] & q.bit) != 0 ? 0.0f : 1.0f;
          break;
        case term::ordinal:
          ta = leastTerm(a[0], q.table);
          tb = leastTerm(b[0], q.table);
          break;
        case term::valley:
          ta = valleyTerm(a[0], q);
          tb = valleyTerm(b[0], q);
          break;
      }
      sa = sa + ta;
      sb = sb + tb;
    }
    boundA = sa / nf;
    boundB = sb / nf;
  }

  // The selection of one group for the prepared query.
  void find(const detail::group_tree& t, unsigned query, const search_settings& settings, detail::kernel_fn kernel) {
    selection.start(settings.k, settings.maxDistance);
    if (t.empty()) return;
    const float maxDistance = settings.maxDistance;
    // Whether a node of this bound and smallest row may hold a row that
    // enters the selection.
    const auto admits = [&](float d, std::uint32_t minRow) {
      if (!selection.full()) return !(maxDistance < d);
      const neighbour& w = selection.worst();
      return d < w.distance || (d == w.distance && minRow < w.row);
    };
    float thr = 0.0f;
    leaf_pass pass;
    pass.selection = &selection;
    pass.thr = &thr;
    pass.upTo = sumBound(maxDistance, nf);
    pass.query = query;
    pass.nf = nf;
    detail::kernel_args a;
    a.desc = desc.data();
    a.ncols = static_cast<unsigned>(m);
    a.nq = 1;
    a.query[0] = prepared->p;
    a.thr = &thr;
    a.hits = onLeafHits;
    a.ctx = &pass;

    frontier.clear();
    float rootBound, unused;
    bounds(t.describe(0), t.describe(0), rootBound, unused);
    ++done.nodes;
    std::uint32_t node = admits(rootBound, t.node(0).minRow) ? 0 : tree_node::none;
    while (node != tree_node::none) {
      // Down the nearer side, the other one left for later.
      for (;;) {
        const tree_node& n = t.node(node);
        if (n.left == tree_node::none) {
          thr = selection.full() && n.minRow > selection.worst().row ? pass.below : pass.upTo;
          pass.rows = t.leafRows(n);
          pass.end = n.end - n.begin;
          a.cols = t.leafColumns(n);
          a.stride = n.stride();
          a.begin = 0;
          a.end = n.end - n.begin;
          kernel(a);
          done.rows += n.end - n.begin;
          break;
        }
        frontier_entry near{0.0f, t.node(n.left).minRow, n.left};
        frontier_entry far{0.0f, t.node(n.right).minRow, n.right};
        bounds(t.describe(n.left), t.describe(n.right), near.bound, far.bound);
        done.nodes += 2;
        if (later(near, far)) std::swap(near, far);
        if (admits(far.bound, far.minRow)) {
          frontier.push_back(far);
          std::push_heap(frontier.begin(), frontier.end(), later);
        }
        if (!admits(near.bound, near.minRow)) break;
        node = near.node;
      }
      // The nearest node left, unless even it holds nothing that may enter:
      // then neither does any other.
      node = tree_node::none;
      if (!frontier.empty()) {
        std::pop_heap(frontier.begin(), frontier.end(), later);
        const frontier_entry e = frontier.back();
        frontier.pop_back();
        if (admits(e.bound, e.minRow)) node = e.node;
      }
    }
  }

  const index_search& search;
  std::size_t m;
  float nf;
  std::vector<detail::col_desc> desc;
  std::unique_ptr<detail::aligned_words> prepared;
  std::vector<query_term> terms;
  std::vector<float> tables;
  std::vector<frontier_entry> frontier;
  std::vector<std::uint64_t> visit;  // (place, query) in the order searched
  topk selection;
};

const char* choiceName(index_report::choice c) {
  switch (c) {
    case index_report::choice::none: return "none";
    case index_report::choice::forced: return "index (forced)";
    case index_report::choice::index: return "index";
    case index_report::choice::small: return "scan (too few queries for the index)";
    case index_report::choice::sample: return "scan (the sample found the index not clearly cheaper)";
    case index_report::choice::scan: return "scan (forced)";
  }
  return "?";
}

index_search::index_search(const search_columns& cols, std::span<const unsigned> protectedList,
                           std::span<const unsigned> unprotectedList)
    : columns(cols), protectedRows(protectedList.begin(), protectedList.end()),
      unprotectedRows(unprotectedList.begin(), unprotectedList.end()) {
  if (columns.measures.empty()) throw orv::util::error("neighbour search: no measured attributes");
  // Layout positions, padding included, are 32-bit.
  for (const auto* rows : {&protectedRows, &unprotectedRows})
    if (rows->size() > (std::uint64_t{1} << 31)) throw orv::util::error("neighbour search: too many rows in a group");
}

index_search::~index_search() = default;

std::uint64_t index_search::evaluations() const {
  std::lock_guard<std::mutex> lock(guard);
  return counted.load() + (scan ? scan->evaluations() : 0);
}

index_report index_search::report() const {
  std::lock_guard<std::mutex> lock(guard);
  return last;
}

void index_search::planColumns(unsigned threads) {
  if (!plan.empty()) return;
  const std::size_t m = columns.measures.size();
  std::vector<detail::column_plan> planned(m);
  orv::util::parallel_for(m, threads, [&](std::size_t j) {
    planned[j] = detail::planColumn(columns.measures[j], protectedRows, unprotectedRows);
  });
  lists = detail::codeLists(columns.measures, protectedRows, unprotectedRows);
  plan = std::move(planned);
}

void index_search::buildTrees(unsigned threads, index_report& r) {
  std::lock_guard<std::mutex> lock(guard);
  if (protectedTree && unprotectedTree) return;
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  planColumns(threads);
  // The trees side by side, each on half the threads.
  const unsigned each = protectedTree || unprotectedTree ? threads : std::max(1u, threads / 2);
  orv::util::parallel_for(2, threads, [&](std::size_t i) {
    const group g = i == 0 ? group::unprotected : group::protected_;
    if (!slot(g))
      slot(g) = std::make_unique<detail::group_tree>(columns.measures, lists, plan, rowsOf(g), each);
  });
  r.buildCpuSeconds = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
  r.buildSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void index_search::buildTree(group g, unsigned threads) {
  std::lock_guard<std::mutex> lock(guard);
  if (slot(g)) return;
  planColumns(threads);
  slot(g) = std::make_unique<detail::group_tree>(columns.measures, lists, plan, rowsOf(g), threads);
}

std::vector<char> index_search::packTree(group g) const {
  std::lock_guard<std::mutex> lock(guard);
  const auto& t = g == group::protected_ ? protectedTree : unprotectedTree;
  if (!t) throw std::logic_error("packTree: the tree is not built");
  return t->pack();
}

void index_search::adoptTree(group g, std::span<const char> bytes) {
  auto t = std::make_unique<detail::group_tree>(detail::group_tree::unpack(bytes, columns.measures.size()));
  if (t->rows() != rowsOf(g).size())
    throw std::invalid_argument("adoptTree: a tree of another group");
  std::lock_guard<std::mutex> lock(guard);
  planColumns(1);
  if (!slot(g)) slot(g) = std::move(t);
}

scan_search& index_search::scanner(unsigned threads) {
  std::lock_guard<std::mutex> lock(guard);
  if (!scan) scan = std::make_unique<scan_search>(columns, protectedRows, unprotectedRows, threads);
  return *scan;
}

bool index_search::wantsTrees(std::size_t queries, const search_settings& settings) const {
  if (settings.method != search_method::automatic) return settings.method == search_method::index;
  const double rows = static_cast<double>(protectedRows.size() + unprotectedRows.size());
  const double levels = std::max(1.0, std::log2(rows / detail::leafCapacity));
  // The trees must cost little beside the scan they may spare.
  const std::size_t planned = std::max(queries, settings.plannedQueries);
  return static_cast<double>(planned) >= buildShare * buildCost * levels;
}

index_report index_search::choose(std::span<const unsigned> queries, const search_settings& settings) {
  index_report r;
  if (settings.method == search_method::scan) {
    r.chosen = index_report::choice::scan;
    return r;
  }
  if (settings.method == search_method::index) {
    r.chosen = index_report::choice::forced;
    return r;
  }
  if (!wantsTrees(queries.size(), settings)) {
    r.chosen = index_report::choice::small;
    return r;
  }
  buildTrees(settings.threads, r);
  const std::size_t want = std::min<std::size_t>(4 + 12 + 48, queries.size());
  std::vector<unsigned> picked;
  for (std::size_t i = 0; i < want; ++i) picked.push_back(queries[i * queries.size() / want]);
  const detail::kernel_fn kernel = detail::kernelFor(currentKernelLevel());
  {
    // The scan, on one thread, over a block of the sample.
    scan_search& s = scanner(settings.threads);
    search_settings one = settings;
    one.threads = 1;
    const auto block = std::span(picked).first(std::min(picked.size(), scanSample));
    const std::uint64_t before = s.evaluations();
    const double start = threadSeconds();
    s.run(block, one, [](const result_block&) {});
    r.scanSeconds = (threadSeconds() - start) / static_cast<double>(block.size());
    r.scanRows = s.evaluations() - before;
  }
  worker w(*this);
  r.chosen = index_report::choice::index;
  double seconds = 0.0;
  std::size_t begin = 0;
  for (const std::size_t round : sampleRounds) {
    if (begin >= picked.size()) break;
    const std::size_t end = std::min(picked.size(), begin + round);
    const double start = threadSeconds();
    for (std::size_t i = begin; i < end; ++i) w.sample(picked[i], settings, kernel);
    seconds += threadSeconds() - start;
    r.sampled = end;
    r.indexSeconds = seconds / static_cast<double>(end);
    // A clear loss stops the sample early; a close call waits for all of it.
    const bool last = end == picked.size();
    if (r.indexSeconds * margin > r.scanSeconds * (last ? 1.0 : 2.0)) {
      r.chosen = index_report::choice::sample;
      break;
    }
    begin = end;
  }
  r.sampleRows = w.done.rows;
  r.sampleNodes = w.done.nodes;
  counted += r.sampleRows;
  if (r.chosen == index_report::choice::index) {
    // The scan served its purpose: its copies of the columns go.
    std::lock_guard<std::mutex> lock(guard);
    counted += scan->evaluations();
    scan.reset();
  }
  return r;
}

void index_search::run(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink) {
  if (settings.k == 0) throw orv::util::error("neighbour search: k must be at least 1");
  if (queries.empty()) return;
  const index_report r = choose(queries, settings);
  {
    std::lock_guard<std::mutex> lock(guard);
    last = r;
  }
  switch (r.chosen) {
    case index_report::choice::forced: {
      index_report built;
      buildTrees(settings.threads, built);
      {
        std::lock_guard<std::mutex> lock(guard);
        last.buildSeconds = built.buildSeconds;
        last.buildCpuSeconds = built.buildCpuSeconds;
      }
      runIndex(queries, settings, sink);
      return;
    }
    case index_report::choice::index:
      runIndex(queries, settings, sink);
      return;
    default:
      scanner(settings.threads).run(queries, settings, sink);
      return;
  }
}

void index_search::runIndex(std::span<const unsigned> queries, const search_settings& settings,
                            const result_sink& sink) {
  const detail::kernel_fn kernel = detail::kernelFor(currentKernelLevel());
  const std::size_t largest = std::max(unprotectedRows.size(), protectedRows.size());
  const std::uint64_t perQuery = 2 * std::min<std::uint64_t>(settings.k, largest) * sizeof(neighbour) + 64;
  const std::size_t forThreads = queries.size() / (chunksPerThread * std::max(1u, settings.threads));
  const std::size_t chunk = std::max<std::size_t>(
      minChunk, std::min<std::uint64_t>({chunkBytes / perQuery, maxChunk, std::max<std::size_t>(forThreads, 1)}));
  const std::size_t blocks = (queries.size() + chunk - 1) / chunk;
  const unsigned threads = static_cast<unsigned>(std::clamp<std::size_t>(settings.threads, 1, blocks));
  // As in the scan: blocks run ahead of the hand-over within a budget of
  // neighbour lists.
  const std::uint64_t perBlock = chunk * perQuery + 1024;
  constexpr std::uint64_t budget = std::uint64_t{64} << 20;
  const std::uint64_t window = std::max<std::uint64_t>(budget / perBlock, 2 * std::uint64_t{threads} + 2);
  std::vector<result_block> slots(static_cast<std::size_t>(std::min<std::uint64_t>(window, blocks)));
  std::vector<std::unique_ptr<worker>> workers(threads);
  try {
    orv::util::ordered_parallel_for(
        blocks, threads, slots.size(),
        [&](std::size_t b, unsigned thread) {
          if (!workers[thread]) workers[thread] = std::make_unique<worker>(*this);
          const std::size_t first = b * chunk;
          const auto part = queries.subspan(first, std::min<std::size_t>(chunk, queries.size() - first));
          workers[thread]->run(part, first, settings, kernel, slots[b % slots.size()]);
        },
        [&](std::size_t b) { sink(slots[b % slots.size()]); });
  } catch (...) {
    for (const auto& w : workers)
      if (w) counted += w->done.rows;
    throw;
  }
  for (const auto& w : workers)
    if (w) counted += w->done.rows;
}

}  // namespace kel
