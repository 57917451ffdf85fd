#include "mpi/shared_trees.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/knn/index.hpp"

namespace kelcmd::mpi {

void shareTrees(job& team, kel::index_search* index, kel::group larger, unsigned threads) {
  if (team.ranks() < 2) return;
  using kel::group;
  const group smaller = larger == group::protected_ ? group::unprotected : group::protected_;
  const auto builder = [&](group g) { return g == larger ? 1u : 0u; };

  // Both trees are built at once, then sent.
  std::vector<char> mine;
  const group own = team.rank() == 1 ? larger : smaller;
  if (team.rank() <= 1 && index != nullptr) {
    try {
      index->buildTree(own, threads);
      mine = index->packTree(own);
    } catch (...) {
      mine.clear();  // not shared; see above
    }
  }
  for (const group g : {larger, smaller}) {
    const unsigned root = builder(g);
    const bool sends = team.rank() == root;
    std::uint64_t size = sends ? mine.size() : 0;
    team.broadcast(reinterpret_cast<char*>(&size), sizeof size, root);
    if (size == 0) continue;
    if (sends) {
      team.broadcast(mine.data(), mine.size(), root);
      continue;
    }
    std::unique_ptr<char[]> bytes;
    if (index != nullptr) {
      try {
        bytes = std::make_unique_for_overwrite<char[]>(size);
      } catch (...) {
        bytes.reset();
      }
    }
    team.broadcast(bytes.get(), size, root);
    if (!bytes) continue;
    try {
      index->adoptTree(g, {bytes.get(), static_cast<std::size_t>(size)});
    } catch (...) {
      // Built at the run instead.
    }
  }
}

}  // namespace kelcmd::mpi
