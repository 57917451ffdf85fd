#include "mpi/spread_search.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "analysis/knn/index.hpp"
#include "analysis/table/dataset.hpp"
#include "cli.hpp"
#include "mpi/share.hpp"
#include "mpi/shared_trees.hpp"
#include "mpi/wire.hpp"
#include "run.hpp"
#include "util/error.hpp"

namespace kelcmd::mpi {

namespace {

constexpr std::uint32_t referenceFlag = 1;  // build: the per-pair search
constexpr std::uint32_t treesFlag = 2;      // run: the index's trees are shared first (shared_trees.hpp),
constexpr std::uint32_t largerFlag = 4;     // and the protected group is the larger

// A worker sends what it has once it holds this much, or once its oldest
// result waited this long, so that the leader is never kept waiting long
// and a message costs little per result.
constexpr std::size_t sendBytes = std::size_t{1} << 20;
constexpr auto sendAfter = std::chrono::milliseconds(20);

// The index's sample queries lie far apart and find the trees cold; a run
// searches its queries in tree order, and each costs about half as much
// (7.1 against 14.6 microseconds on the 200,000-row hiring table, 7.6
// against 14.8 on the 1,000,000-row one).
constexpr double indexRunShare = 0.5;

// Row sets travel as bits, one per row of the table.
std::vector<std::uint64_t> rowBits(std::span<const unsigned> rows, std::uint64_t count) {
  std::vector<std::uint64_t> bits((count + 63) / 64);
  for (const unsigned r : rows) bits[r / 64] |= std::uint64_t{1} << (r % 64);
  return bits;
}

std::vector<unsigned> rowsOf(const std::vector<std::uint64_t>& bits) {
  std::vector<unsigned> rows;
  for (std::size_t w = 0; w < bits.size(); ++w)
    for (std::uint64_t b = bits[w]; b != 0; b &= b - 1)
      rows.push_back(static_cast<unsigned>(w * 64 + static_cast<unsigned>(__builtin_ctzll(b))));
  return rows;
}

void broadcastBits(job& team, std::vector<std::uint64_t>& bits) {
  team.broadcast(reinterpret_cast<char*>(bits.data()), bits.size() * sizeof(std::uint64_t));
}

// A worker's side of the same broadcast: the row set of a table of `rows`
// rows, or the failure to hold it, after taking part all the same.
std::vector<unsigned> receiveRows(job& team, std::uint64_t rows, std::exception_ptr& failed) {
  const std::size_t words = static_cast<std::size_t>((rows + 63) / 64);
  std::vector<std::uint64_t> bits;
  if (!failed) {
    try {
      bits.resize(words);
    } catch (...) {
      failed = std::current_exception();
    }
  }
  team.broadcast(failed ? nullptr : reinterpret_cast<char*>(bits.data()), words * sizeof(std::uint64_t));
  if (failed) return {};
  try {
    return rowsOf(bits);
  } catch (...) {
    failed = std::current_exception();
    return {};
  }
}

// Row sets travel as bits, which keep only ascending order: a set given in
// any other order (or with a row twice) is searched by the leader alone.
bool ascending(std::span<const unsigned> rows) {
  return std::adjacent_find(rows.begin(), rows.end(), std::greater_equal<>()) == rows.end();
}

std::span<const char> bytesOf(const std::uint64_t& number) {
  return {reinterpret_cast<const char*>(&number), sizeof number};
}

// The leader's side of one run: the workers' messages, taken in query order.
class gather {
 public:
  gather(job& team, std::uint64_t run, const kel::result_sink& sink)
      : team(team), run(run), sink(sink), ended(team.ranks(), false) {}

  // Hands over what the worker in turn has sent, and then what the next
  // ones have, in order: what has arrived, or everything when `all`.
  // Raises a worker's failure once everything before it was handed over.
  void pump(bool all) {
    while (next < team.ranks()) {
      if (!all && !team.waiting(next, resultsTag)) return;
      const std::vector<char> m = team.receive(next, resultsTag);
      switch (kindOf(m)) {
        case message::results:
          unpackResults(m, scratch, sink);
          break;
        case message::end:
          ended[next++] = true;
          break;
        case message::failed:
          ended[next++] = true;
          failure::unpack(m).raise();
      }
    }
  }

  // After a failure: every worker still searching is told to stop, and
  // what the workers still send is taken and dropped until each has ended.
  void stop() {
    for (unsigned w = 1; w < team.ranks(); ++w)
      if (!ended[w]) team.send(w, stopTag, bytesOf(run));
    for (unsigned w = 1; w < team.ranks(); ++w)
      while (!ended[w]) {
        const message m = kindOf(team.receive(w, resultsTag));
        ended[w] = m == message::end || m == message::failed;
      }
  }

 private:
  job& team;
  std::uint64_t run;
  const kel::result_sink& sink;
  std::vector<bool> ended;
  unsigned next = 1;
  kel::result_block scratch;
};

// Thrown from a worker's hand-over when the leader says stop.
struct stopped {};

class server {
 public:
  server(job& team, const kel::dataset& data, const settings& s) : team(team), data(data), options(s) {}

  int serve() {
    for (;;) {
      const header h = team.exchange();
      switch (h.what) {
        case step::build:
          build(h);
          break;
        case step::run:
          run(h);
          break;
        case step::drop:
          searches.erase(h.id);
          break;
        case step::finish:
          dropStops();
          return static_cast<int>(h.count);
        default:
          return exit_failed;
      }
    }
  }

 private:
  struct built {
    std::vector<unsigned> protectedRows, unprotectedRows;
    std::unique_ptr<kel::neighbour_search> search;
    std::exception_ptr failure;  // told at the first run
  };

  unsigned threads(const header& h) const { return options.threads == 0 ? usable_cores() : h.threads; }

  void build(const header& h) {
    built& b = searches[h.id];
    b.protectedRows = receiveRows(team, h.count, b.failure);
    b.unprotectedRows = receiveRows(team, h.count, b.failure);
    if (b.failure) return;
    try {
      kel::test_settings t = engine_settings(options);
      t.reference = (h.flags & referenceFlag) != 0;
      t.search.threads = threads(h);
      b.search = kel::makeSearchFor(data, b.protectedRows, b.unprotectedRows, t);
    } catch (...) {
      b.failure = std::current_exception();
    }
  }

  // Drops stop requests of runs that are over.
  bool stopRequested(std::uint64_t run) {
    bool stop = false;
    while (team.waiting(0, stopTag)) {
      const std::vector<char> m = team.receive(0, stopTag);
      std::uint64_t number = 0;
      std::memcpy(&number, m.data(), std::min(m.size(), sizeof number));
      stop = stop || number == run;
    }
    return stop;
  }
  void dropStops() { stopRequested(~std::uint64_t{0}); }

  void run(const header& h) {
    std::exception_ptr failed;
    const std::vector<unsigned> queries = receiveRows(team, h.count, failed);
    const auto found = searches.find(h.id);
    if (h.flags & treesFlag) {
      const bool usable = found != searches.end() && found->second.search;
      shareTrees(team, usable ? dynamic_cast<kel::index_search*>(found->second.search.get()) : nullptr,
                 h.flags & largerFlag ? kel::group::protected_ : kel::group::unprotected, threads(h));
    }
    const header go = team.exchange();
    if (go.what != step::go) team.abort(exit_failed);  // not the leader's protocol
    const query_block mine =
        blockOf(queries.size(), team.ranks(), team.rank(), std::min<std::size_t>(go.share, queries.size()));
    kel::search_settings settings;
    settings.k = h.k;
    settings.maxDistance = h.maxDistance;
    settings.threads = threads(h);
    settings.method = static_cast<kel::search_method>(go.flags);
    settings.plannedQueries = queries.size();

    struct sent {
      std::vector<char> bytes;
      MPI_Request request;
    };
    std::deque<sent> pending;
    const auto post = [&](std::vector<char> bytes) {
      pending.push_back({std::move(bytes), MPI_REQUEST_NULL});
      pending.back().request = team.post(0, resultsTag, pending.back().bytes);
    };
    const auto reap = [&] {
      while (!pending.empty() && team.done(pending.front().request)) pending.pop_front();
    };

    results_packer packer;
    auto oldest = std::chrono::steady_clock::now();
    const auto send = [&] {
      if (!packer.empty()) post(packer.take());
    };
    try {
      if (failed) std::rethrow_exception(failed);
      if (found == searches.end()) throw std::logic_error("run of an unknown search");
      if (found->second.failure) std::rethrow_exception(found->second.failure);
      if (mine.size() > 0)
        found->second.search->run(std::span(queries).subspan(mine.begin, mine.size()), settings,
                                  [&](const kel::result_block& b) {
                                    if (stopRequested(h.extra)) throw stopped{};
                                    if (packer.empty()) oldest = std::chrono::steady_clock::now();
                                    packer.add(b, mine.begin + b.first());
                                    if (packer.bytes() >= sendBytes || std::chrono::steady_clock::now() - oldest >= sendAfter)
                                      send();
                                    reap();
                                  });
      send();
    } catch (const stopped&) {
      // The leader drops whatever comes now; its end is all it waits for.
    } catch (...) {
      failed = std::current_exception();
      send();  // the results before the failure come first
    }
    post(failed ? failure::of(failed).pack(message::failed) : std::vector<char>{static_cast<char>(message::end)});
    job::waitFor([&] {
      reap();
      return pending.empty();
    });
  }

  job& team;
  const kel::dataset& data;
  const settings& options;
  std::map<std::uint64_t, built> searches;
};

}  // namespace

kel::search_provider spread_searches::provider() {
  return [this](const kel::dataset& data, std::span<const unsigned> protectedRows,
                std::span<const unsigned> unprotectedRows, const kel::test_settings& settings) {
    return std::make_unique<spread_search>(*this, data, protectedRows, unprotectedRows, settings);
  };
}

spread_search::spread_search(spread_searches& owner, const kel::dataset& data,
                             std::span<const unsigned> protectedRows, std::span<const unsigned> unprotectedRows,
                             const kel::test_settings& settings)
    : owner(owner), id(owner.searches++), rows(data.rows()),
      spread(ascending(protectedRows) && ascending(unprotectedRows)) {
  kel::test_settings here = settings;
  here.provider = nullptr;
  local = kel::makeSearchFor(data, protectedRows, unprotectedRows, here);
  protectedLarger = protectedRows.size() > unprotectedRows.size();
  // The per-pair search costs far more a term, and the hand-over little
  // beside it: its shares stay equal.
  if (!settings.reference && data.searchColumns())
    scanSeconds = static_cast<double>(protectedRows.size() + unprotectedRows.size()) *
                  static_cast<double>(data.measureAtts.size()) * termSeconds;
  if (owner.team.ranks() == 1) return;
  header h;
  h.what = step::build;
  h.id = id;
  h.count = rows;
  h.flags = settings.reference ? referenceFlag : 0;
  h.threads = settings.search.threads;
  owner.team.exchange(h);
  std::vector<std::uint64_t> p = rowBits(protectedRows, rows), u = rowBits(unprotectedRows, rows);
  broadcastBits(owner.team, p);
  broadcastBits(owner.team, u);
}

spread_search::~spread_search() {
  if (owner.team.ranks() == 1) return;
  header h;
  h.what = step::drop;
  h.id = id;
  owner.team.exchange(h);
}

void spread_search::run(std::span<const unsigned> queries, const kel::search_settings& settings,
                        const kel::result_sink& sink) {
  job& team = owner.team;
  if (team.ranks() == 1 || !spread || !ascending(queries)) return local->run(queries, settings, sink);
  if (settings.k == 0) throw orv::util::error("neighbour search: k must be at least 1");
  if (queries.empty()) return;

  kel::search_settings share = settings;
  share.plannedQueries = queries.size();
  auto* const index = dynamic_cast<kel::index_search*>(local.get());
  const bool trees = index != nullptr && index->wantsTrees(queries.size(), share);

  header h;
  h.what = step::run;
  h.id = id;
  h.count = rows;
  h.extra = owner.runs++;
  h.k = settings.k;
  h.threads = settings.threads;
  h.maxDistance = settings.maxDistance;
  h.flags = trees ? treesFlag | (protectedLarger ? largerFlag : 0) : 0;
  team.exchange(h);
  std::vector<std::uint64_t> q = rowBits(queries, rows);
  broadcastBits(team, q);
  if (trees)
    shareTrees(team, index, protectedLarger ? kel::group::protected_ : kel::group::unprotected, settings.threads);

  // The leader chooses between index and scan for every rank, on a sample
  // of all the queries, and sizes its block by the cost it measured.
  std::exception_ptr failed;
  double querySeconds = scanSeconds;
  if (index != nullptr && share.method == kel::search_method::automatic) {
    try {
      const kel::index_report r = index->choose(queries, share);
      const bool indexed = r.chosen == kel::index_report::choice::index;
      share.method = indexed ? kel::search_method::index : kel::search_method::scan;
      if (indexed) querySeconds = r.indexSeconds * indexRunShare;
      else if (r.chosen == kel::index_report::choice::sample) querySeconds = r.scanSeconds;
    } catch (...) {
      failed = std::current_exception();  // raised as the leader's own search failing
    }
  }
  header go;
  go.what = step::go;
  go.flags = static_cast<std::uint32_t>(share.method);
  go.share = leaderShare(queries.size(), team.ranks(), querySeconds);
  team.exchange(go);

  const query_block own = blockOf(queries.size(), team.ranks(), 0, go.share);
  gather workers(team, h.extra, sink);
  results_packer kept;  // the leader's results, handed over last
  try {
    if (own.size() > 0 && !failed) {
      bool handing = false;
      try {
        local->run(queries.subspan(own.begin, own.size()), share, [&](const kel::result_block& b) {
          kept.add(b, own.begin + b.first());
          handing = true;
          workers.pump(false);
          handing = false;
        });
      } catch (...) {
        // A failure of the hand-over or of a worker ends the run now; one of
        // the leader's own search waits until the results before it are out.
        if (handing) throw;
        failed = std::current_exception();
      }
    }
    workers.pump(true);
  } catch (...) {
    workers.stop();
    throw;
  }
  kel::result_block scratch;
  if (!kept.empty()) unpackResults(kept.take(), scratch, sink);
  if (failed) std::rethrow_exception(failed);
}

int serve(job& team, const kel::dataset& data, const settings& s) { return server(team, data, s).serve(); }

}  // namespace kelcmd::mpi
