// Histogram of the differences the discrimination test computes: fixed-width
// bins over [lowest, upper], the last bin also taking every value above.
// Switched off until configure(); then add() is constant time and
// allocation-free, and write() lists the non-empty bins from the highest down
// with count, share, cumulative share and cumulative count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel {

class distribution {
 public:
  distribution() = default;

  void configure(double lowestEdge, double upperEdge, double binWidth);
  // NaN and +infinity are ignored; a value below the range is an error.
  void add(double x);
  // Does nothing (and creates no file) while switched off.
  void write(const std::string& name) const;

  bool enabled() const { return !disabled; }
  // The counters, bin 0 first; empty while switched off.
  const std::vector<std::uint32_t>& counts() const { return bins; }
  // The lower edge of bin i as the file writes it: computed in double,
  // rounded to float.
  float edge(std::size_t i) const { return static_cast<float>(lowest + static_cast<double>(i) * width); }
  double binWidth() const { return width; }

 private:
  bool disabled = true;
  std::vector<std::uint32_t> bins;
  double lowest = 0.0;
  double width = 0.0;
};

}  // namespace kel
