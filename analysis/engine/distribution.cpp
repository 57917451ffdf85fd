#include "analysis/engine/distribution.hpp"

#include <cmath>
#include <cstddef>

#include "io/textout.hpp"
#include "util/error.hpp"

namespace kel {

void distribution::configure(double lowestEdge, double upperEdge, double binWidth) {
  lowest = lowestEdge;
  width = binWidth;
  disabled = false;
  bins.assign(static_cast<std::size_t>(std::floor((upperEdge - lowest) / width)) + 1, 0);
}

void distribution::add(double x) {
  if (disabled) return;
  if (std::isnan(x) || x == HUGE_VAL) return;
  if (x < lowest) throw orv::util::error("out of limit");
  const double position = std::floor((x - lowest) / width);
  const std::size_t last = bins.size() - 1;
  // Compared as a double first: values far above the range must not
  // overflow the integer conversion.
  const std::size_t i = position >= static_cast<double>(last) ? last : static_cast<std::size_t>(position);
  ++bins[i];
}

void distribution::write(const std::string& name) const {
  if (disabled) return;
  orv::inpout::textout out(name);
  std::uint64_t total = 0;
  for (std::uint32_t c : bins) total += c;
  if (total != 0) {
    std::uint64_t cum = 0;
    for (std::size_t i = bins.size(); i-- > 0;) {
      const std::uint32_t c = bins[i];
      if (c == 0) continue;
      cum += c;
      const float share = static_cast<float>(static_cast<double>(c) / static_cast<double>(total));
      const float cum_share = static_cast<float>(static_cast<double>(cum) / static_cast<double>(total));
      out.stream() << edge(i) << '\t' << c << '\t' << share << '\t' << cum_share << '\t' << cum;
      out.end_line();
    }
  }
  out.finish();
}

}  // namespace kel
