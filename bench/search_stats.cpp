// The neighbour search alone on a real table: reads the three inputs as the
// program does, runs the search the program would run (or the one asked
// for) over the tuples it would test, and prints the search's time, its
// distance evaluations per tested tuple and, for the index, its choice and
// the sample behind it. bench/scale.sh uses it beside whole runs.
//
//   search_stats META DATA SELECT [-knn K] [-mxd D] [-j N] [-sep C] [-all] [-scan | -index]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/engine/discrimination.hpp"
#include "analysis/knn/index.hpp"
#include "analysis/table/dataset.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "util/cronos.hpp"
#include "util/error.hpp"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: search_stats META DATA SELECT [-knn K] [-mxd D] [-j N] [-sep C] [-all] [-scan | -index]\n";
    return 2;
  }
  kel::search_settings settings;
  settings.threads = 1;
  char sep = ',';
  bool all = false;
  for (int i = 4; i < argc; ++i) {
    const std::string w = argv[i];
    const bool more = i + 1 < argc;
    if (w == "-knn" && more) settings.k = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (w == "-mxd" && more) settings.maxDistance = std::strtof(argv[++i], nullptr);
    else if (w == "-j" && more) settings.threads = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (w == "-sep" && more) sep = argv[++i][0];
    else if (w == "-all") all = true;
    else if (w == "-scan") settings.method = kel::search_method::scan;
    else if (w == "-index") settings.method = kel::search_method::index;
    else {
      std::cerr << "search_stats: unknown option " << w << "\n";
      return 2;
    }
  }
  if (settings.k == 0) settings.k = 1;
  try {
    kel::dataset d;
    d.readMetadata(*orv::inpout::open_input(argv[1], sep));
    d.readData(argv[2], sep, settings.threads);
    d.readSelect(*orv::inpout::open_input(argv[3], sep));
    std::ostringstream groups;
    d.splitGroups(groups);
    const std::vector<unsigned> protectedRows = kel::members(d.protectedRows);
    const std::vector<unsigned> unprotectedRows = kel::members(d.unprotectedRows);
    const std::vector<unsigned> queries = kel::testQueries(d, protectedRows, all);
    const auto columns = d.searchColumns();
    if (!columns) throw orv::util::error("the fast searches do not take these kinds");

    orv::util::cronos watch;
    watch.start();
    const auto search = kel::makeSearch(*columns, protectedRows, unprotectedRows, settings);
    std::size_t handed = 0;
    search->run(queries, settings, [&](const kel::result_block& b) { handed += b.size(); });
    watch.stop();

    const std::uint64_t evaluations = search->evaluations();
    std::printf("groups: %zu protected, %zu unprotected; tested tuples: %zu; measures: %zu; k: %u\n",
                protectedRows.size(), unprotectedRows.size(), queries.size(), columns->measures.size(), settings.k);
    if (const auto* index = dynamic_cast<const kel::index_search*>(search.get())) {
      const kel::index_report r = index->report();
      std::printf("search: %s\n", kel::choiceName(r.chosen));
      if (r.buildSeconds > 0.0)
        std::printf("trees built in %.3f s wall, %.3f s cpu\n", r.buildSeconds, r.buildCpuSeconds);
      // What the build cost against the scan: scan distances per row and
      // tree level (the index's buildCost).
      if (r.buildCpuSeconds > 0.0 && r.scanRows > 0) {
        const double rows = static_cast<double>(protectedRows.size() + unprotectedRows.size());
        const double levels = std::max(1.0, std::log2(rows / 64.0));
        const double perDistance = r.scanSeconds / rows;  // the scan computes every row's distance
        std::printf("trees: %.0f scan distances per row and level\n", r.buildCpuSeconds / perDistance / rows / levels);
      }
      if (r.sampled > 0)
        std::printf("sample: %zu tuples, %.1f distances and %.1f node bounds per tuple; %.2f us per tuple against "
                    "%.2f us with the scan\n",
                    r.sampled, static_cast<double>(r.sampleRows) / static_cast<double>(r.sampled),
                    static_cast<double>(r.sampleNodes) / static_cast<double>(r.sampled), 1e6 * r.indexSeconds,
                    1e6 * r.scanSeconds);
    } else {
      std::printf("search: scan (forced)\n");
    }
    std::printf("evaluations per tested tuple: %.1f (scan: %zu)\n",
                queries.empty() ? 0.0 : static_cast<double>(evaluations) / static_cast<double>(queries.size()),
                protectedRows.size() + unprotectedRows.size());
    std::printf("search time: %.3f s wall, %.3f s cpu\n", watch.elapsed(), watch.cpu_elapsed());
    if (handed != queries.size()) throw orv::util::error("not every tuple was handed over");
  } catch (const std::exception& e) {
    std::cerr << "search_stats: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
