// What the engine reads of the table: the distance of two rows, the
// columns as the neighbour searches read them, a group's rows as a list, and
// a row's texts.
#include <ostream>

#include "analysis/table/dataset.hpp"

namespace kel {

float dataset::distance(unsigned a, unsigned b) const {
  float sum = 0.0f;
  for (const attribute* att : measureAtts) sum = sum + att->distance(a, b);
  return sum / static_cast<float>(measureAtts.size());
}

// The per-pair search reads the attribute model's rules, the scan its own
// copy of them: the two must agree on the missing marker and its term.
static_assert(std::bit_cast<std::uint32_t>(missingContinuous) == std::bit_cast<std::uint32_t>(missingValue));
static_assert(missingContinuousDistance == missingTerm);

std::optional<search_columns> dataset::searchColumns() const {
  search_columns cols;
  switch (classAtt->getType()) {
    case kindNominal:
      cols.outcome = {true, static_cast<const attnominal*>(classAtt)->codesView().data(), nullptr};
      break;
    case kindContinuous:
      cols.outcome = {false, nullptr, static_cast<const attcontinuous*>(classAtt)->valuesView().data()};
      break;
    default:
      return std::nullopt;
  }
  for (const attribute* att : measureAtts) {
    measure_column c;
    switch (att->getType()) {
      case kindContinuous:
        c.kind = measure_kind::continuous;
        c.values = static_cast<const attcontinuous*>(att)->valuesView().data();
        break;
      case kindOrdinal: {
        const auto* ordinal = static_cast<const attordinal*>(att);
        c.kind = measure_kind::ordinal;
        c.codes = ordinal->codesView().data();
        c.missingCode = ordinal->getMissingCode();
        c.maxCode = ordinal->getMaxCode();
        break;
      }
      case kindNominal: {
        const auto* nominal = static_cast<const attnominal*>(att);
        c.kind = measure_kind::nominal;
        c.codes = nominal->codesView().data();
        c.missingCode = nominal->getMissingCode();
        break;
      }
      default:
        return std::nullopt;
    }
    cols.measures.push_back(c);
  }
  return cols;
}

std::vector<unsigned> members(const orv::adt::bitmap& rows) {
  std::vector<unsigned> out;
  orv::adt::bitmap::Iterator it(rows);
  unsigned r;
  while (it.next(r)) out.push_back(r);
  return out;
}

void dataset::writeRow(unsigned row, std::ostream& out, bool replaceClass) {
  // The fields are gathered first and inserted at once: a stream insertion
  // per field cost more than the rest of writing the row.
  rowText.clear();
  bool first = true;
  for (const auto& att : *atts) {
    if (!first) rowText += ',';
    first = false;
    if (replaceClass && att.get() == classAtt)
      rowText += preValue;
    else
      rowText += att->getString(row);
  }
  out.write(rowText.data(), static_cast<std::streamsize>(rowText.size()));
}

}  // namespace kel
