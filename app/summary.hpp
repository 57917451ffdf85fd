// The JSON summary of a run (-json): what was run on which bytes, what it
// found, the group figures, the histogram, the timings and the placebo
// baseline, for programs to read instead of the console. Its schema is
// docs/summary.schema.json; a figure without a value (a ratio over zero) is
// null there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/groups.hpp"
#include "analysis/engine/placebo.hpp"
#include "cli.hpp"

namespace kel {
class distribution;
}

namespace kelcmd {

struct input_record {
  std::string name;
  std::uint64_t bytes = 0;  // of the content as read
  std::string sha256;       // of the same bytes, lower-case hexadecimal
};

// Everything the summary reports, gathered by the run.
struct run_record {
  const settings* options = nullptr;
  unsigned threads = 0;  // the search's, as run
  input_record metadata, data, select;
  unsigned attributes = 0;
  unsigned rows = 0;
  kel::test_counts counts;
  kel::group_figures groups;
  const kel::distribution* histogram = nullptr;  // enabled
  std::optional<kel::placebo_figures> placebo;
  double readingSeconds = 0, testSeconds = 0, placeboSeconds = 0, otherSeconds = 0;
};

// The summary as text: one JSON object, indented, ending with a newline.
std::string summary_json(const run_record& r);

}  // namespace kelcmd
