#include "analysis/engine/writer.hpp"

#include <ostream>

#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"

namespace kel {

test_output::~test_output() = default;

void data_writer::untested(unsigned row) {
  if (!prevention) return;
  data.writeRow(row, out.stream(), false);
  out.end_row();
}

void data_writer::tested(unsigned row, const verdict& v, const neighbourhood&, const neighbourhood&) {
  if (prevention) {
    data.writeRow(row, out.stream(), v.flagged);
  } else {
    data.writeRow(row, out.stream(), false);
    out.stream() << ',' << v.diff << (v.flagged ? ",yes" : ",no");
  }
  out.end_row();
}

void data_writer::finish() {
  if (prevention) {
    // The rows outside the group (the other group and the undecided rows),
    // in row order.
    const unsigned n = data.classAtt->size();
    std::size_t next = 0;
    for (unsigned j = 0; j < n; ++j) {
      if (next < protectedRows.size() && protectedRows[next] == j) {
        ++next;
        continue;
      }
      data.writeRow(j, out.stream(), false);
      out.end_row();
    }
  }
  out.finish();
}

}  // namespace kel
