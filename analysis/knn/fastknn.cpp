#include "analysis/knn/fastknn.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "analysis/knn/fastknn_kernel.hpp"
#include "util/error.hpp"
#include "util/parallel.hpp"

namespace kel {

using detail::col_desc;
using detail::col_kind;
using detail::kPad;
using detail::kSlot;

// ---------------------------------------------------------------------------
// Reference distance

float reference_distance(std::span<const measure_column> cols, unsigned a, unsigned b) {
  assert(!cols.empty());
  float sum = 0.0f;
  for (const measure_column& c : cols) {
    float d = 0.0f;
    switch (c.kind) {
      case measure_kind::continuous:
        d = detail::continuous_distance(c.values[a], c.values[b]);
        break;
      case measure_kind::nominal:
        d = detail::nominal_distance(c.codes[a], c.codes[b], c.missing_code);
        break;
      case measure_kind::ordinal:
        d = detail::ordinal_distance(static_cast<std::uint32_t>(c.codes[a]),
                                     static_cast<std::uint32_t>(c.codes[b]),
                                     static_cast<std::uint32_t>(c.missing_code), c.max_code);
        break;
    }
    sum = sum + d;
  }
  return sum / static_cast<float>(cols.size());
}

// ---------------------------------------------------------------------------
// Kernel level

namespace {

std::atomic<int> forced_level{-1};

bool supports(kernel_level level) {
  switch (level) {
    case kernel_level::scalar: return true;
    case kernel_level::avx2: return __builtin_cpu_supports("avx2");
    case kernel_level::avx512: return __builtin_cpu_supports("avx512f");
  }
  return false;
}

using kernel_fn = void (*)(const detail::kernel_args&);

kernel_fn kernel_for(kernel_level level) {
  switch (level) {
    case kernel_level::avx512: return detail::kernel_avx512;
    case kernel_level::avx2: return detail::kernel_avx2;
    case kernel_level::scalar: break;
  }
  return detail::kernel_scalar;
}

}  // namespace

kernel_level best_kernel_level() {
  static const kernel_level best = [] {
    __builtin_cpu_init();
    if (supports(kernel_level::avx512)) return kernel_level::avx512;
    if (supports(kernel_level::avx2)) return kernel_level::avx2;
    return kernel_level::scalar;
  }();
  return best;
}

kernel_level current_kernel_level() {
  const int f = forced_level.load(std::memory_order_relaxed);
  return f < 0 ? best_kernel_level() : static_cast<kernel_level>(f);
}

void set_kernel_level(kernel_level level) {
  best_kernel_level();  // runs __builtin_cpu_init first
  if (!supports(level))
    throw orv::util::error(std::string("kernel level not supported by this processor: ") +
                           kernel_level_name(level));
  forced_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

void reset_kernel_level() { forced_level.store(-1, std::memory_order_relaxed); }

const char* kernel_level_name(kernel_level level) {
  switch (level) {
    case kernel_level::scalar: return "scalar";
    case kernel_level::avx2: return "avx2";
    case kernel_level::avx512: return "avx512";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Layout

struct fastknn::column_plan {
  col_desc desc;
  std::int32_t sentinel = 0;          // nominal: stands for a missing query code
  std::vector<std::uint32_t> values;  // table: the candidate code of each index
};

namespace {

// 64-byte aligned words, left for their users to fill. They come from the
// heap, which hands back the memory the reading freed: fresh pages would cost
// a fault and a clearing each, and the threads copying the columns would
// queue on the same ones.
struct aligned_words {
  static constexpr std::align_val_t alignment{64};
  struct release {
    void operator()(std::uint32_t* w) const { ::operator delete(w, alignment); }
  };
  std::unique_ptr<std::uint32_t[], release> owner;
  std::uint32_t* p;
  explicit aligned_words(std::size_t n)
      : owner(static_cast<std::uint32_t*>(::operator new(n * sizeof(std::uint32_t), alignment))), p(owner.get()) {}
};

}  // namespace

struct fastknn::group {
  std::vector<unsigned> rows;
  std::size_t stride = 0;  // rows rounded up to kPad
  aligned_words words;     // column j at words.p + j * stride
  std::vector<std::int32_t> class_codes;
  std::vector<float> class_values;

  // Room for `columns` columns and the class; the fill_ operations copy them.
  group(std::span<const unsigned> r, std::size_t columns)
      : rows(r.begin(), r.end()), stride((r.size() + kPad - 1) / kPad * kPad), words(stride * columns) {}

  void fill_column(std::size_t j, const measure_column& m, const column_plan& p) {
    const std::size_t n = rows.size();
    std::uint32_t* out = words.p + j * stride;
    // The kernels read the padding too (a table index must stay in range);
    // the searches skip it.
    std::fill(out + n, out + stride, 0u);
    switch (p.desc.kind) {
      case col_kind::continuous:
        for (std::size_t i = 0; i < n; ++i) out[i] = detail::as_word(m.values[rows[i]]);
        break;
      case col_kind::nominal:
      case col_kind::generic:
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint32_t>(m.codes[rows[i]]);
        break;
      case col_kind::table: {
        // Every code of the groups is among the few table values. Codes of
        // a real scale are small, so a direct index replaces the search.
        const auto index = [&p](std::uint32_t code) {
          return static_cast<std::uint32_t>(std::lower_bound(p.values.begin(), p.values.end(), code) -
                                            p.values.begin());
        };
        if (p.values.back() < (1u << 16)) {
          std::vector<std::uint32_t> position(std::size_t{p.values.back()} + 1, 0);
          for (std::uint32_t v : p.values) position[v] = index(v);
          for (std::size_t i = 0; i < n; ++i) out[i] = position[static_cast<std::uint32_t>(m.codes[rows[i]])];
        } else {
          for (std::size_t i = 0; i < n; ++i) out[i] = index(static_cast<std::uint32_t>(m.codes[rows[i]]));
        }
        break;
      }
    }
  }

  void fill_class(const class_column& cls) {
    if (cls.nominal) {
      class_codes.resize(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) class_codes[i] = cls.codes[rows[i]];
    } else {
      class_values.resize(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) class_values[i] = cls.values[rows[i]];
    }
  }
};

namespace {

// A code no candidate holds, so that a missing query code matches nothing.
std::int32_t free_code(const measure_column& m, std::span<const unsigned> a,
                       std::span<const unsigned> b) {
  std::int64_t lo = std::numeric_limits<std::int32_t>::max();
  std::int64_t hi = std::numeric_limits<std::int32_t>::min();
  for (auto rows : {a, b})
    for (unsigned r : rows) {
      lo = std::min<std::int64_t>(lo, m.codes[r]);
      hi = std::max<std::int64_t>(hi, m.codes[r]);
    }
  if (hi < std::numeric_limits<std::int32_t>::max()) return static_cast<std::int32_t>(hi + 1);
  if (lo > std::numeric_limits<std::int32_t>::min()) return static_cast<std::int32_t>(lo - 1);
  std::vector<std::int32_t> all;
  for (auto rows : {a, b})
    for (unsigned r : rows) all.push_back(m.codes[r]);
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  for (std::size_t i = 0; i + 1 < all.size(); ++i)
    if (all[i + 1] != all[i] + 1) return all[i] + 1;
  assert(false && "fewer than 2^32 rows leave a code free");
  return 0;
}

// The distinct candidate codes of an ordinal column when there are few enough
// for a per-query table; empty when there are more.
std::vector<std::uint32_t> table_values(const measure_column& m, std::span<const unsigned> a,
                                        std::span<const unsigned> b) {
  std::vector<std::uint32_t> v;
  // Codes of a real scale are small: a flag per code says in one step
  // whether it was met before; larger codes (the missing one) are looked up.
  constexpr std::uint32_t flagged = 1u << 16;
  std::vector<std::uint8_t> seen(flagged, 0);
  std::uint32_t last = 0;
  bool any = false;
  for (auto rows : {a, b})
    for (unsigned r : rows) {
      const auto c = static_cast<std::uint32_t>(m.codes[r]);
      if (any && c == last) continue;
      any = true;
      last = c;
      if (c < flagged) {
        if (seen[c]) continue;
        seen[c] = 1;
      } else if (std::find(v.begin(), v.end(), c) != v.end()) {
        continue;
      }
      if (v.size() == detail::kTable) return {};
      v.push_back(c);
    }
  if (v.empty()) v.push_back(0);
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

// How the kernels see one measured column of these groups.
fastknn::column_plan fastknn::plan_column(const measure_column& m, std::span<const unsigned> protected_rows,
                                          std::span<const unsigned> unprotected_rows) {
  column_plan p;
  switch (m.kind) {
    case measure_kind::continuous:
      p.desc.kind = col_kind::continuous;
      break;
    case measure_kind::nominal:
      p.desc.kind = col_kind::nominal;
      p.sentinel = free_code(m, protected_rows, unprotected_rows);
      break;
    case measure_kind::ordinal:
      p.values = table_values(m, protected_rows, unprotected_rows);
      p.desc.kind = p.values.empty() ? col_kind::generic : col_kind::table;
      p.desc.table_size = static_cast<std::uint32_t>(p.values.size());
      p.desc.missing_code = static_cast<std::uint32_t>(m.missing_code);
      p.desc.max_code = m.max_code;
      break;
  }
  return p;
}

fastknn::fastknn(std::span<const measure_column> measures, const class_column& cls,
                 std::span<const unsigned> protected_rows, std::span<const unsigned> unprotected_rows,
                 unsigned threads)
    : measures_(measures.begin(), measures.end()), cls_(cls) {
  if (measures_.empty()) throw orv::util::error("neighbour search: no measured attributes");
  // Candidate indexes, padding included, are 32-bit in the kernels.
  for (auto rows : {protected_rows, unprotected_rows})
    if (rows.size() > std::numeric_limits<unsigned>::max() - 2 * kPad)
      throw orv::util::error("neighbour search: too many rows in a group");
  const std::size_t m = measures_.size();
  plan_.resize(m);
  unprotected_ = std::make_unique<group>(unprotected_rows, m);
  protected_ = std::make_unique<group>(protected_rows, m);
  // The columns are independent: each task plans one and copies it into both
  // groups; the last copies the class.
  orv::util::parallel_for(m + 1, threads, [&](std::size_t j) {
    if (j == m) {
      unprotected_->fill_class(cls_);
      protected_->fill_class(cls_);
      return;
    }
    plan_[j] = plan_column(measures_[j], protected_rows, unprotected_rows);
    unprotected_->fill_column(j, measures_[j], plan_[j]);
    protected_->fill_column(j, measures_[j], plan_[j]);
  });
}

fastknn::~fastknn() = default;

// ---------------------------------------------------------------------------
// Search

namespace {

// The kernels filter on sums, not distances: division by the count is
// monotone, so d = sum / n satisfies d <= bound exactly when sum <= the
// largest float s with s / n <= bound. That float is found by stepping from
// bound * n, which is at most a few units in the last place away.
float sum_bound(float bound, float n) {
  constexpr float inf = std::numeric_limits<float>::infinity();
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
float sum_bound_below(float bound, float n) {
  if (!(bound > 0.0f)) return -std::numeric_limits<float>::infinity();
  return sum_bound(std::nextafter(bound, 0.0f), n);
}

struct neighbour {
  float d;
  unsigned idx;  // candidate index in the group: orders like the row number
};

// The (distance, row) order of the selection; the heap keeps its greatest on top.
inline bool before(const neighbour& a, const neighbour& b) {
  return a.d < b.d || (a.d == b.d && a.idx < b.idx);
}

struct query_state {
  unsigned row = 0;
  std::vector<neighbour> heap;
};

// What the hit callback needs for one kernel pass.
struct pass {
  query_state* st = nullptr;  // the pass's first query
  float* thr = nullptr;       // its threshold, kMaxQ at most
  const unsigned* rows = nullptr;
  std::size_t n = 0;
  std::uint64_t k = 0;
  float nf = 1.0f;
  float max_distance = 0.0f;
};

// Candidates arrive in increasing row order, so once the heap is full a newcomer
// enters only with a distance strictly below the top's, and the threshold says so.
void on_hits(void* ctx, unsigned q, unsigned first, std::uint32_t lanes, const float* sums) {
  pass& p = *static_cast<pass*>(ctx);
  query_state& st = p.st[q];
  while (lanes) {
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(lanes));
    lanes &= lanes - 1;
    const unsigned idx = first + lane;
    if (idx >= p.n) break;  // padding; later lanes are padding too
    if (p.rows[idx] == st.row) continue;
    const neighbour c{sums[lane] / p.nf, idx};
    auto& h = st.heap;
    if (h.size() < p.k) {
      if (!(c.d <= p.max_distance)) continue;
      h.push_back(c);
      std::push_heap(h.begin(), h.end(), before);
      if (h.size() == p.k) p.thr[q] = sum_bound_below(h.front().d, p.nf);
    } else if (before(c, h.front())) {
      std::pop_heap(h.begin(), h.end(), before);
      h.back() = c;
      std::push_heap(h.begin(), h.end(), before);
      p.thr[q] = sum_bound_below(h.front().d, p.nf);
    }
  }
}

// Keeps every distance: the kernels' output, unfiltered, for distances().
struct dump {
  float* out = nullptr;
  std::size_t n = 0;
  float nf = 1.0f;
};

void on_dump(void* ctx, unsigned, unsigned first, std::uint32_t lanes, const float* sums) {
  dump& d = *static_cast<dump*>(ctx);
  for (unsigned lane = 0; lanes; ++lane, lanes >>= 1)
    if ((lanes & 1) && first + lane < d.n) d.out[first + lane] = sums[lane] / d.nf;
}

constexpr unsigned kChunk = 32;  // queries a thread takes at a time

}  // namespace

// Per-thread scratch: the prepared queries and the heaps of one chunk.
class fastknn::worker {
 public:
  explicit worker(const fastknn& f) : f_(f), ncols_(f.measures_.size()) {
    for (std::size_t j = 0; j < ncols_; ++j) desc_.push_back(f.plan_[j].desc);
    prepared_ = std::make_unique<aligned_words>(kChunk * ncols_ * kSlot);
    tile_ = std::max<std::size_t>(kPad, std::min<std::size_t>(4096, 24576 / (4 * ncols_) / kPad * kPad));
  }

  void all_distances(unsigned row, const group& g, kernel_fn kernel, std::span<float> out) {
    prepare(row, slot(0));
    const float everything = std::numeric_limits<float>::infinity();
    dump d{out.data(), g.rows.size(), static_cast<float>(ncols_)};
    detail::kernel_args a = args(g, 0, g.rows.size(), 0, 1);
    a.thr = &everything;
    a.hits = on_dump;
    a.ctx = &d;
    if (!g.rows.empty()) kernel(a);
  }

  void run(std::span<const unsigned> queries, unsigned k, float max_distance, kernel_fn kernel,
           knn_result* unprotected, knn_result* protected_) {
    assert(queries.size() <= kChunk);
    for (std::size_t i = 0; i < queries.size(); ++i) prepare(queries[i], slot(i));
    scan(*f_.unprotected_, queries, k, max_distance, kernel, unprotected);
    scan(*f_.protected_, queries, k, max_distance, kernel, protected_);
  }

 private:
  std::uint32_t* slot(std::size_t i) { return prepared_->p + i * ncols_ * kSlot; }

  // A pass over candidates [begin, end) of g for the prepared queries q0.. q0+nq-1.
  detail::kernel_args args(const group& g, std::size_t begin, std::size_t end, std::size_t q0,
                           std::size_t nq) {
    detail::kernel_args a;
    a.cols = g.words.p;
    a.stride = g.stride;
    a.desc = desc_.data();
    a.ncols = static_cast<unsigned>(ncols_);
    a.begin = static_cast<unsigned>(begin);
    a.end = static_cast<unsigned>(end);
    a.nq = static_cast<unsigned>(nq);
    for (unsigned q = 0; q < a.nq; ++q) a.query[q] = slot(q0 + q);
    return a;
  }

  void prepare(unsigned row, std::uint32_t* w) {
    std::fill_n(w, ncols_ * kSlot, 0u);
    for (std::size_t j = 0; j < ncols_; ++j, w += kSlot) {
      const measure_column& m = f_.measures_[j];
      const column_plan& p = f_.plan_[j];
      switch (p.desc.kind) {
        case col_kind::continuous:
          w[0] = detail::as_word(m.values[row]);
          w[1] = m.values[row] == FLT_MIN ? 0u : ~0u;
          break;
        case col_kind::nominal:
          w[0] = static_cast<std::uint32_t>(m.codes[row] == m.missing_code ? p.sentinel : m.codes[row]);
          break;
        case col_kind::table:
          for (std::size_t i = 0; i < p.values.size(); ++i)
            w[i] = detail::as_word(detail::ordinal_distance(static_cast<std::uint32_t>(m.codes[row]),
                                                            p.values[i], p.desc.missing_code,
                                                            p.desc.max_code));
          break;
        case col_kind::generic:
          w[0] = static_cast<std::uint32_t>(m.codes[row]);
          break;
      }
    }
  }

  void scan(const group& g, std::span<const unsigned> queries, unsigned k, float max_distance,
            kernel_fn kernel, knn_result* out) {
    const std::size_t nq = queries.size();
    const float nf = static_cast<float>(ncols_);
    const float start = sum_bound(max_distance, nf);
    for (std::size_t i = 0; i < nq; ++i) {
      states_[i].row = queries[i];
      states_[i].heap.clear();
      thr_[i] = start;
    }
    const std::size_t n = g.rows.size();
    for (std::size_t t = 0; t < n; t += tile_) {
      const std::size_t end = std::min(n, t + tile_);
      for (std::size_t q0 = 0; q0 < nq; q0 += detail::kMaxQ) {
        pass p;
        p.st = &states_[q0];
        p.thr = &thr_[q0];
        p.rows = g.rows.data();
        p.n = n;
        p.k = k;
        p.nf = nf;
        p.max_distance = max_distance;
        detail::kernel_args a = args(g, t, end, q0, std::min<std::size_t>(detail::kMaxQ, nq - q0));
        a.thr = &thr_[q0];
        a.hits = on_hits;
        a.ctx = &p;
        kernel(a);
      }
    }
    for (std::size_t i = 0; i < nq; ++i) {
      const auto& h = states_[i].heap;
      unsigned matching = 0;
      if (f_.cls_.nominal) {
        const std::int32_t c = f_.cls_.codes[queries[i]];
        for (const neighbour& e : h) matching += g.class_codes[e.idx] == c;
      } else {
        const float v = f_.cls_.values[queries[i]];
        for (const neighbour& e : h) matching += g.class_values[e.idx] >= v;
      }
      out[i] = knn_result{static_cast<unsigned>(h.size()), matching};
    }
  }

  const fastknn& f_;
  std::size_t ncols_;
  std::vector<col_desc> desc_;
  std::unique_ptr<aligned_words> prepared_;
  std::size_t tile_;
  query_state states_[kChunk];
  float thr_[kChunk] = {};
};

void fastknn::distances(unsigned query_row, bool protected_group, std::span<float> out) const {
  const group& g = protected_group ? *protected_ : *unprotected_;
  assert(out.size() == g.rows.size());
  worker(*this).all_distances(query_row, g, kernel_for(current_kernel_level()), out);
}

void fastknn::search(unsigned query_row, unsigned k, float max_distance, knn_result& unprotected,
                     knn_result& protected_) const {
  search_many(std::span<const unsigned>(&query_row, 1), k, max_distance, &unprotected, &protected_, 1);
}

void fastknn::search_many(std::span<const unsigned> queries, unsigned k, float max_distance,
                          knn_result* unprotected, knn_result* protected_, unsigned threads) const {
  search_ordered(queries, k, max_distance, unprotected, protected_, threads, [](std::size_t) {});
}

void fastknn::search_ordered(std::span<const unsigned> queries, unsigned k, float max_distance,
                             knn_result* unprotected, knn_result* protected_, unsigned threads,
                             const std::function<void(std::size_t)>& ready) const {
  if (k == 0) throw orv::util::error("neighbour search: k must be at least 1");
  if (std::isnan(max_distance)) max_distance = std::numeric_limits<float>::infinity();
  if (queries.empty()) {
    ready(0);
    return;
  }
  const kernel_fn kernel = kernel_for(current_kernel_level());
  const std::size_t chunks = (queries.size() + kChunk - 1) / kChunk;

  // Chunks of kChunk queries are taken in order from `next` by every thread.
  // done[c] becomes 1 when chunk c's results are written, 2 when its search
  // failed. Each query's result depends on nothing but the query, so the split
  // cannot change any result, and failures surface in chunk order.
  std::atomic<std::size_t> next{0};
  const auto done = std::make_unique<std::atomic<std::uint8_t>[]>(chunks);
  std::atomic<bool> stop{false};
  std::exception_ptr failed;  // the helpers' first failure
  std::mutex failed_lock;

  auto search_chunk = [&](worker& w, std::size_t c) {
    const std::size_t first = c * kChunk;
    const auto part = queries.subspan(first, std::min<std::size_t>(kChunk, queries.size() - first));
    w.run(part, k, max_distance, kernel, unprotected + first, protected_ + first);
  };
  auto helper = [&] {
    std::size_t c = chunks;
    try {
      worker w(*this);
      while (!stop.load(std::memory_order_relaxed)) {
        c = next.fetch_add(1, std::memory_order_relaxed);
        if (c >= chunks) return;
        search_chunk(w, c);
        done[c].store(1, std::memory_order_release);
        done[c].notify_one();
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> hold(failed_lock);
        if (!failed) failed = std::current_exception();
      }
      stop.store(true, std::memory_order_relaxed);
      if (c < chunks) {
        done[c].store(2, std::memory_order_release);
        done[c].notify_one();
      }
    }
  };

  std::vector<std::thread> pool;
  // Stops and joins the helpers however this function is left.
  struct joiner {
    std::atomic<bool>& stop;
    std::vector<std::thread>& pool;
    ~joiner() {
      stop.store(true, std::memory_order_relaxed);
      for (auto& t : pool) t.join();
    }
  } join_all{stop, pool};
  const std::size_t helpers = std::clamp<std::size_t>(threads, 1, chunks) - 1;
  pool.reserve(helpers);
  for (std::size_t i = 0; i < helpers; ++i) {
    try {
      pool.emplace_back(helper);
    } catch (const std::system_error&) {
      break;  // fewer threads, same results
    }
  }

  // This thread hands over finished chunks first, so rows go out as early as
  // possible, and searches when nothing is waiting.
  worker w(*this);
  std::size_t handed = 0;
  while (handed < chunks) {
    std::uint8_t state = done[handed].load(std::memory_order_acquire);
    if (state == 0) {
      const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
      if (c < chunks) {
        search_chunk(w, c);
        done[c].store(1, std::memory_order_relaxed);
        continue;
      }
      // Everything is taken: wait for the chunk a helper is finishing.
      done[handed].wait(0, std::memory_order_acquire);
      state = done[handed].load(std::memory_order_acquire);
    }
    if (state == 2) {
      std::lock_guard<std::mutex> hold(failed_lock);
      std::rethrow_exception(failed);
    }
    ++handed;
    ready(std::min(handed * kChunk, queries.size()));
  }
}

}  // namespace kel
