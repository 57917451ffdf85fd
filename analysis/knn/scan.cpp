#include "analysis/knn/scan.hpp"

#include <algorithm>
#include <cassert>
#include <limits>

#include "analysis/knn/dispatch.hpp"
#include "util/error.hpp"
#include "util/parallel.hpp"

namespace kel {

using detail::col_kind;
using detail::padRows;
using detail::slotWords;

namespace {

constexpr unsigned blockQueries = 32;  // queries a thread takes at a time

// One query's selection in one group; its rows are group positions, which
// order like the rows.
struct query_state {
  unsigned row = 0;
  topk selection;
};

// What the hit callback needs for one kernel pass.
struct pass {
  query_state* st = nullptr;  // the pass's first query
  float* thr = nullptr;       // its threshold, maxQueries at most
  const unsigned* rows = nullptr;
  std::size_t n = 0;
  float nf = 1.0f;
};

// Candidates arrive in increasing row order, so once a selection is full a
// newcomer stays only with a distance strictly below the greatest held, and
// the threshold says so.
void onHits(void* ctx, unsigned q, unsigned first, std::uint32_t lanes, const float* sums) {
  pass& p = *static_cast<pass*>(ctx);
  query_state& st = p.st[q];
  while (lanes) {
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(lanes));
    lanes &= lanes - 1;
    const unsigned idx = first + lane;
    if (idx >= p.n) break;  // padding; later lanes are padding too
    if (p.rows[idx] == st.row) continue;
    if (st.selection.offer({sums[lane] / p.nf, idx}) && st.selection.full())
      p.thr[q] = sumBoundBelow(st.selection.worst().distance, p.nf);
  }
}

// Keeps every distance: the kernels' output, unfiltered, for distances().
struct dump {
  float* out = nullptr;
  std::size_t n = 0;
  float nf = 1.0f;
};

void onDump(void* ctx, unsigned, unsigned first, std::uint32_t lanes, const float* sums) {
  dump& d = *static_cast<dump*>(ctx);
  for (unsigned lane = 0; lanes; ++lane, lanes >>= 1)
    if ((lanes & 1) && first + lane < d.n) d.out[first + lane] = sums[lane] / d.nf;
}

}  // namespace

// Per-thread scratch: the prepared queries and the selections of one block.
class scan_search::worker {
 public:
  explicit worker(const scan_search& s) : search(s), ncols(s.columns.measures.size()) {
    for (std::size_t j = 0; j < ncols; ++j) desc.push_back(s.plan[j].desc);
    prepared = std::make_unique<detail::aligned_words>(blockQueries * ncols * slotWords);
    tile = std::max<std::size_t>(padRows, std::min<std::size_t>(4096, 24576 / (4 * ncols) / padRows * padRows));
  }

  void allDistances(unsigned row, const detail::group_layout& g, detail::kernel_fn kernel, std::span<float> out) {
    prepare(row, slot(0));
    const float everything = std::numeric_limits<float>::infinity();
    dump d{out.data(), g.rows.size(), static_cast<float>(ncols)};
    detail::kernel_args a = args(g, 0, g.rows.size(), 0, 1);
    a.thr = &everything;
    a.hits = onDump;
    a.ctx = &d;
    if (!g.rows.empty()) kernel(a);
  }

  // The results of queries, the first of them at position `first` of the run.
  void run(std::span<const unsigned> queries, std::size_t first, const search_settings& settings,
           detail::kernel_fn kernel, result_block& out) {
    assert(queries.size() <= blockQueries);
    out.reset(first, queries);
    for (std::size_t i = 0; i < queries.size(); ++i) prepare(queries[i], slot(i));
    scan(group::unprotected, queries, settings, kernel, out);
    scan(group::protected_, queries, settings, kernel, out);
  }

 private:
  std::uint32_t* slot(std::size_t i) { return prepared->p + i * ncols * slotWords; }

  // A pass over candidates [begin, end) of g for the prepared queries q0 .. q0 + nq - 1.
  detail::kernel_args args(const detail::group_layout& g, std::size_t begin, std::size_t end, std::size_t q0,
                           std::size_t nq) {
    detail::kernel_args a;
    a.cols = g.words.p;
    a.stride = g.stride;
    a.desc = desc.data();
    a.ncols = static_cast<unsigned>(ncols);
    a.begin = static_cast<unsigned>(begin);
    a.end = static_cast<unsigned>(end);
    a.nq = static_cast<unsigned>(nq);
    for (unsigned q = 0; q < a.nq; ++q) a.query[q] = slot(q0 + q);
    return a;
  }

  void prepare(unsigned row, std::uint32_t* w) { detail::prepareQuery(search.columns.measures, search.plan, row, w); }

  void scan(group which, std::span<const unsigned> queries, const search_settings& settings,
            detail::kernel_fn kernel, result_block& out) {
    const detail::group_layout& g = search.layout(which);
    const std::size_t nq = queries.size();
    const float nf = static_cast<float>(ncols);
    const float start = sumBound(settings.maxDistance, nf);
    for (std::size_t i = 0; i < nq; ++i) {
      states[i].row = queries[i];
      states[i].selection.start(settings.k, settings.maxDistance);
      thr[i] = start;
    }
    const std::size_t n = g.rows.size();
    for (std::size_t t = 0; t < n; t += tile) {
      const std::size_t end = std::min(n, t + tile);
      for (std::size_t q0 = 0; q0 < nq; q0 += detail::maxQueries) {
        pass p;
        p.st = &states[q0];
        p.thr = &thr[q0];
        p.rows = g.rows.data();
        p.n = n;
        p.nf = nf;
        detail::kernel_args a = args(g, t, end, q0, std::min<std::size_t>(detail::maxQueries, nq - q0));
        a.thr = &thr[q0];
        a.hits = onHits;
        a.ctx = &p;
        kernel(a);
      }
    }
    const class_column& cls = search.columns.outcome;
    for (std::size_t i = 0; i < nq; ++i) {
      const std::span<neighbour> chosen = states[i].selection.take();
      unsigned matching = 0;
      if (cls.nominal) {
        const std::int32_t c = cls.codes[queries[i]];
        for (const neighbour& e : chosen) matching += outcomeMatches(c, g.classCodes[e.row]);
      } else {
        const float v = cls.values[queries[i]];
        for (const neighbour& e : chosen) matching += outcomeMatches(v, g.classValues[e.row]);
      }
      for (neighbour& e : chosen) e.row = g.rows[e.row];
      out.set(i, which, chosen, matching);
    }
  }

  const scan_search& search;
  std::size_t ncols;
  std::vector<detail::col_desc> desc;
  std::unique_ptr<detail::aligned_words> prepared;
  std::size_t tile;
  query_state states[blockQueries];
  float thr[blockQueries] = {};
};

scan_search::scan_search(const search_columns& cols, std::span<const unsigned> protectedRows,
                         std::span<const unsigned> unprotectedRows, unsigned threads)
    : columns(cols) {
  if (columns.measures.empty()) throw orv::util::error("neighbour search: no measured attributes");
  // Candidate indexes, padding included, are 32-bit in the kernels.
  for (auto rows : {protectedRows, unprotectedRows})
    if (rows.size() > std::numeric_limits<unsigned>::max() - 2 * padRows)
      throw orv::util::error("neighbour search: too many rows in a group");
  const std::size_t m = columns.measures.size();
  plan.resize(m);
  unprotectedLayout = std::make_unique<detail::group_layout>(unprotectedRows, m);
  protectedLayout = std::make_unique<detail::group_layout>(protectedRows, m);
  // The columns are independent: each task plans one and copies it into both
  // groups; the last copies the class.
  orv::util::parallel_for(m + 1, threads, [&](std::size_t j) {
    if (j == m) {
      unprotectedLayout->fillClass(columns.outcome);
      protectedLayout->fillClass(columns.outcome);
      return;
    }
    plan[j] = detail::planColumn(columns.measures[j], protectedRows, unprotectedRows);
    unprotectedLayout->fillColumn(j, columns.measures[j], plan[j]);
    protectedLayout->fillColumn(j, columns.measures[j], plan[j]);
  });
}

scan_search::~scan_search() = default;

void scan_search::distances(unsigned queryRow, group g, std::span<float> out) const {
  assert(out.size() == layout(g).rows.size());
  worker(*this).allDistances(queryRow, layout(g), detail::kernelFor(currentKernelLevel()), out);
}

void scan_search::run(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink) {
  if (settings.k == 0) throw orv::util::error("neighbour search: k must be at least 1");
  if (queries.empty()) return;
  const detail::kernel_fn kernel = detail::kernelFor(currentKernelLevel());
  const std::size_t blocks = (queries.size() + blockQueries - 1) / blockQueries;
  const unsigned threads = static_cast<unsigned>(std::clamp<std::size_t>(settings.threads, 1, blocks));
  // Blocks may run ahead of the hand-over as far as their neighbour lists
  // fit in a budget, so that a thread the system holds back stalls no other;
  // a block's storage serves again once it was handed over.
  const std::size_t largest = std::max(unprotectedLayout->rows.size(), protectedLayout->rows.size());
  const std::uint64_t perBlock =
      2 * blockQueries * std::min<std::uint64_t>(settings.k, largest) * sizeof(neighbour) + 1024;
  constexpr std::uint64_t budget = std::uint64_t{64} << 20;
  const std::uint64_t window = std::max<std::uint64_t>(budget / perBlock, 2 * std::uint64_t{threads} + 2);
  std::vector<result_block> slots(static_cast<std::size_t>(std::min<std::uint64_t>(window, blocks)));
  std::vector<std::unique_ptr<worker>> workers(threads);
  orv::util::ordered_parallel_for(
      blocks, threads, slots.size(),
      [&](std::size_t b, unsigned thread) {
        if (!workers[thread]) workers[thread] = std::make_unique<worker>(*this);
        const std::size_t first = b * blockQueries;
        const auto part = queries.subspan(first, std::min<std::size_t>(blockQueries, queries.size() - first));
        workers[thread]->run(part, first, settings, kernel, slots[b % slots.size()]);
        counted.fetch_add(part.size() * (unprotectedLayout->rows.size() + protectedLayout->rows.size()),
                          std::memory_order_relaxed);
      },
      [&](std::size_t b) { sink(slots[b % slots.size()]); });
}

}  // namespace kel
