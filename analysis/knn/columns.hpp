// The columns a neighbour search reads, as plain descriptors over the
// caller's arrays: the search needs nothing else of the table, and the table
// keeps nothing of the search.
// REQUIRES: the arrays outlive every search made over them and do not change;
// continuous values are finite or missingValue.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/knn/rules.hpp"

namespace kel {

enum class measure_kind : std::uint8_t { continuous, nominal, ordinal };

// One measured attribute, in measure order. The same attribute may appear
// more than once.
struct measure_column {
  measure_kind kind = measure_kind::continuous;
  const float* values = nullptr;        // continuous: standardized values, by row
  const std::int32_t* codes = nullptr;  // nominal / ordinal: codes, by row
  std::int32_t missingCode = -1;        // nominal / ordinal
  std::uint32_t maxCode = 0;            // ordinal: number of declared values - 1
};

// The class attribute, nominal (codes) or continuous (values).
struct class_column {
  bool nominal = true;
  const std::int32_t* codes = nullptr;
  const float* values = nullptr;

  bool matches(unsigned query, unsigned neighbour) const {
    return nominal ? outcomeMatches(codes[query], codes[neighbour]) : outcomeMatches(values[query], values[neighbour]);
  }
};

// Everything a search measures and counts.
struct search_columns {
  std::vector<measure_column> measures;
  class_column outcome;
};

// The tuple distance, one pair at a time: the terms summed in measure order,
// each addition rounded to float, divided once by the count. The vectorised
// scan reproduces it bit for bit. REQUIRES: measures not empty.
float pairDistance(std::span<const measure_column> measures, unsigned a, unsigned b);

}  // namespace kel
