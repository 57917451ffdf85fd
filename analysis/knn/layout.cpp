#include "analysis/knn/layout.hpp"

#include <algorithm>
#include <cassert>
#include <limits>

namespace kel::detail {

namespace {

// A code no candidate holds, so that a missing query code matches nothing.
std::int32_t freeCode(const measure_column& m, std::span<const unsigned> a, std::span<const unsigned> b) {
  std::int64_t lo = std::numeric_limits<std::int32_t>::max();
  std::int64_t hi = std::numeric_limits<std::int32_t>::min();
  for (auto rows : {a, b})
    for (unsigned r : rows) {
      lo = std::min<std::int64_t>(lo, m.codes[r]);
      hi = std::max<std::int64_t>(hi, m.codes[r]);
    }
  if (hi < std::numeric_limits<std::int32_t>::max()) return static_cast<std::int32_t>(hi + 1);
  if (lo > std::numeric_limits<std::int32_t>::min()) return static_cast<std::int32_t>(lo - 1);
  std::vector<std::int32_t> all;
  for (auto rows : {a, b})
    for (unsigned r : rows) all.push_back(m.codes[r]);
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  for (std::size_t i = 0; i + 1 < all.size(); ++i)
    if (all[i + 1] != all[i] + 1) return all[i] + 1;
  assert(false && "fewer than 2^32 rows leave a code free");
  return 0;
}

// The distinct candidate codes of an ordinal column when there are few enough
// for a per-query table; empty when there are more.
std::vector<std::uint32_t> tableValues(const measure_column& m, std::span<const unsigned> a,
                                       std::span<const unsigned> b) {
  std::vector<std::uint32_t> v;
  // Codes of a real scale are small: a flag per code says in one step
  // whether it was met before; larger codes (the missing one) are looked up.
  constexpr std::uint32_t flagged = 1u << 16;
  std::vector<std::uint8_t> seen(flagged, 0);
  std::uint32_t last = 0;
  bool any = false;
  for (auto rows : {a, b})
    for (unsigned r : rows) {
      const auto c = static_cast<std::uint32_t>(m.codes[r]);
      if (any && c == last) continue;
      any = true;
      last = c;
      if (c < flagged) {
        if (seen[c]) continue;
        seen[c] = 1;
      } else if (std::find(v.begin(), v.end(), c) != v.end()) {
        continue;
      }
      if (v.size() == tableEntries) return {};
      v.push_back(c);
    }
  if (v.empty()) v.push_back(0);
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

column_plan planColumn(const measure_column& m, std::span<const unsigned> protectedRows,
                       std::span<const unsigned> unprotectedRows) {
  column_plan p;
  switch (m.kind) {
    case measure_kind::continuous:
      p.desc.kind = col_kind::continuous;
      break;
    case measure_kind::nominal:
      p.desc.kind = col_kind::nominal;
      p.sentinel = freeCode(m, protectedRows, unprotectedRows);
      break;
    case measure_kind::ordinal:
      p.values = tableValues(m, protectedRows, unprotectedRows);
      p.desc.kind = p.values.empty() ? col_kind::generic : col_kind::table;
      p.desc.tableSize = static_cast<std::uint32_t>(p.values.size());
      p.desc.missingCode = static_cast<std::uint32_t>(m.missingCode);
      p.desc.maxCode = m.maxCode;
      break;
  }
  return p;
}

void prepareQuery(std::span<const measure_column> measures, std::span<const column_plan> plan, unsigned row,
                  std::uint32_t* w) {
  std::fill_n(w, measures.size() * slotWords, 0u);
  for (std::size_t j = 0; j < measures.size(); ++j, w += slotWords) {
    const measure_column& m = measures[j];
    const column_plan& p = plan[j];
    switch (p.desc.kind) {
      case col_kind::continuous:
        w[0] = asWord(m.values[row]);
        w[1] = m.values[row] == missingValue ? 0u : ~0u;
        break;
      case col_kind::nominal:
        w[0] = static_cast<std::uint32_t>(m.codes[row] == m.missingCode ? p.sentinel : m.codes[row]);
        break;
      case col_kind::table:
        for (std::size_t i = 0; i < p.values.size(); ++i)
          w[i] = asWord(ordinalTerm(static_cast<std::uint32_t>(m.codes[row]), p.values[i], p.desc.missingCode,
                                    p.desc.maxCode));
        break;
      case col_kind::generic:
        w[0] = static_cast<std::uint32_t>(m.codes[row]);
        break;
    }
  }
}

group_layout::group_layout(std::span<const unsigned> r, std::size_t columns)
    : rows(r.begin(), r.end()), stride((r.size() + padRows - 1) / padRows * padRows), words(stride * columns) {}

column_words::column_words(const measure_column& m, const column_plan& p) : column(m), plan(p), kind(p.desc.kind) {
  // Codes of a real scale are small, so a direct index replaces the search.
  if (kind == col_kind::table && p.values.back() < (1u << 16)) {
    position.assign(std::size_t{p.values.back()} + 1, 0);
    for (std::uint32_t v : p.values) position[v] = indexOf(v);
  }
}

std::uint32_t column_words::indexOf(std::uint32_t code) const {
  return static_cast<std::uint32_t>(std::lower_bound(plan.values.begin(), plan.values.end(), code) -
                                    plan.values.begin());
}

void group_layout::fillColumn(std::size_t j, const measure_column& m, const column_plan& p) {
  const std::size_t n = rows.size();
  std::uint32_t* out = words.p + j * stride;
  // The kernels read the padding too (a table index must stay in range); the
  // scan skips it.
  std::fill(out + n, out + stride, 0u);
  const column_words word(m, p);
  for (std::size_t i = 0; i < n; ++i) out[i] = word(rows[i]);
}

void group_layout::fillClass(const class_column& cls) {
  if (cls.nominal) {
    classCodes.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) classCodes[i] = cls.codes[rows[i]];
  } else {
    classValues.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) classValues[i] = cls.values[rows[i]];
  }
}

}  // namespace kel::detail
