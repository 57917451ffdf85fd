// Gathering a report: the run's JSON summary, the three inputs read as kelcmd
// reads them (and checked against the summary's digests, so that the values
// shown are those the run saw), and the neighbours file, from which each
// tuple's verdict is worked out again by the engine's own rule.
#pragma once

#include <string>

#include "model.hpp"

namespace kel {
class dataset;
}
namespace orv::inpout {
class stream;
}

namespace kelreport {

// The summary from its JSON text; `name` is for messages. Throws
// orv::util::error on text that is not a kelcmd summary.
summary parse_summary(const std::string& text, const std::string& name);

// The flagged tuples of a neighbours file over a dataset whose groups are
// formed: the first `limit` by diff (highest first, then by row) with their
// neighbours, and the total count. Throws orv::util::error, naming the line,
// on a line that is not of a neighbours file of this table.
void read_neighbours(orv::inpout::stream& in, const std::string& name, kel::dataset& data, const summary& run,
                     report& r, std::size_t limit = shownLimit);

struct report_inputs {
  std::string summary, neighbours, metadata, data, select;
};

report gather(const report_inputs& in);

}  // namespace kelreport
