// The data file: one row per line, one field per attribute, split at the
// separator of the run; only spaces around a field are dropped.
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include "analysis/dataset.hpp"
#include "io/stream.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

std::string_view trim_spaces(std::string_view v) {
  const std::size_t first = v.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return v.substr(first, v.find_last_not_of(' ') - first + 1);
}

}  // namespace

unsigned dataset::readData(orv::inpout::stream& in) {
  const std::size_t count = atts->size();
  unsigned line = 0;
  while (in.read_line()) {
    if (line == std::numeric_limits<unsigned>::max())
      throw orv::util::error("too many rows: at most " + std::to_string(line) + " are supported");
    ++line;
    // A zero byte (a binary or UTF-16 file) would end the line early and
    // silently drop the fields after it: such a row is malformed too.
    if (static_cast<std::size_t>(in.field_count()) != count ||
        std::memchr(in.line(), '\0', static_cast<std::size_t>(in.line_length())) != nullptr)
      throw orv::util::error("bad row: " + std::to_string(line));
    const char separator = in.tokens.separator();
    for (auto& att : *atts) {
      const char* token = in.tokens.next_token(separator);
      const std::string_view field = trim_spaces({token, in.tokens.token_length()});
      if (att->getType() != 3) {
        att->addValue(field);
        continue;
      }
      try {
        att->addValue(field);
      } catch (const orv::util::error& e) {
        // A number the column cannot hold: say where it is.
        throw orv::util::error(std::string(e.what()) + " (row " + std::to_string(line) + ", attribute " +
                               att->name + ")");
      }
    }
  }
  for (auto& att : *atts) att->normalize();
  return line;
}

void dataset::splitGroups(std::ostream& console) {
  const unsigned n = classAtt->size();
  protectedRows.resize(n);
  protectedRows.clear();
  unprotectedRows.resize(n);
  unprotectedRows.clear();
  unsigned protectedCount = 0;
  unsigned unprotectedCount = 0;
  for (unsigned r = 0; r < n; ++r) {
    const int decided = evalACond(r);
    if (decided == 1) {
      protectedRows.set(r);
      ++protectedCount;
    } else if (decided == 0) {
      unprotectedRows.set(r);
      ++unprotectedCount;
    }
  }
  console << "no. protected " << protectedCount << std::endl;
  console << "no. unprotected " << unprotectedCount << std::endl;
}

}  // namespace kel
