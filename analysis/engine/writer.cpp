#include "analysis/engine/writer.hpp"

#include <cstdio>
#include <ostream>

#include "analysis/engine/reference_search.hpp"
#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"

namespace kel {

test_output::~test_output() = default;

void test_output::emptyNeighbourhood(unsigned row, const neighbourhood&, const neighbourhood&) { untested(row); }

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

output_list::output_list(std::initializer_list<test_output*> list) {
  for (test_output* o : list)
    if (o) outputs.push_back(o);
}

void output_list::untested(unsigned row) {
  for (test_output* o : outputs) o->untested(row);
}

void output_list::emptyNeighbourhood(unsigned row, const neighbourhood& unprotected, const neighbourhood& protected_) {
  for (test_output* o : outputs) o->emptyNeighbourhood(row, unprotected, protected_);
}

void output_list::tested(unsigned row, const verdict& v, const neighbourhood& unprotected,
                         const neighbourhood& protected_) {
  for (test_output* o : outputs) o->tested(row, v, unprotected, protected_);
}

void output_list::finish() {
  for (test_output* o : outputs) o->finish();
}

neighbour_writer::neighbour_writer(const dataset& data, orv::inpout::textout& out) : data(data), out(out) {
  out.stream() << "row,group,rank,neighbour,distance,match";
  out.end_line();
}

void neighbour_writer::append(unsigned row, const char* group, const neighbourhood& n) {
  const attribute& cls = *data.classAtt;
  char line[96];
  unsigned rank = 0;
  for (const neighbour& e : n.neighbours) {
    // %.9g: nine significant digits always read back as the same float.
    const int length = std::snprintf(line, sizeof line, "%u,%s,%u,%u,%.9g,%d\n", row + 1, group, ++rank, e.row + 1,
                                     static_cast<double>(e.distance), classMatches(cls, row, e.row) ? 1 : 0);
    text.append(line, static_cast<std::size_t>(length));
  }
}

void neighbour_writer::write(unsigned row, const neighbourhood& unprotected, const neighbourhood& protected_) {
  text.clear();
  append(row, "protected", protected_);
  append(row, "unprotected", unprotected);
  if (text.empty()) return;
  // A tuple's lines are one row of the file: held and written whole, in batches.
  text.pop_back();
  out.stream().write(text.data(), static_cast<std::streamsize>(text.size()));
  out.end_row();
}

void neighbour_writer::emptyNeighbourhood(unsigned row, const neighbourhood& unprotected,
                                          const neighbourhood& protected_) {
  write(row, unprotected, protected_);
}

void neighbour_writer::tested(unsigned row, const verdict&, const neighbourhood& unprotected,
                              const neighbourhood& protected_) {
  write(row, unprotected, protected_);
}

void neighbour_writer::finish() { out.finish(); }

}  // namespace kel
