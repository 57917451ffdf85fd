// Private to the scan: the measured columns copied into the layout the
// kernels read. Each group (protected, unprotected) gets its rows' values in
// group order, column after column, padded to padRows and 64-byte aligned;
// an ordinal column with few distinct values is turned into indexes of a
// per-query table of terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "analysis/knn/columns.hpp"
#include "analysis/knn/kernel.hpp"

namespace kel::detail {

// How the kernels see one measured column of the two groups.
struct column_plan {
  col_desc desc;
  std::int32_t sentinel = 0;          // nominal: stands for a missing query code
  std::vector<std::uint32_t> values;  // table: the candidate code of each index
};

// The plan of column m over the rows of both groups.
column_plan planColumn(const measure_column& m, std::span<const unsigned> protectedRows,
                       std::span<const unsigned> unprotectedRows);

// The words of one measured column as the kernels read them, row by row.
class column_words {
 public:
  // REQUIRES: the plan was made for m over groups that hold every row asked for.
  column_words(const measure_column& m, const column_plan& p);
  std::uint32_t operator()(unsigned row) const {
    switch (kind) {
      case col_kind::continuous: return asWord(column.values[row]);
      case col_kind::nominal:
      case col_kind::generic: return static_cast<std::uint32_t>(column.codes[row]);
      case col_kind::table: break;
    }
    const auto code = static_cast<std::uint32_t>(column.codes[row]);
    return code < position.size() ? position[code] : indexOf(code);
  }

 private:
  std::uint32_t indexOf(std::uint32_t code) const;

  const measure_column& column;
  const column_plan& plan;
  col_kind kind;
  std::vector<std::uint32_t> position;  // table: the index of each small code
};

// Writes the prepared words of query `row` for every measured column (ncols
// slots of slotWords words each, see kernel.hpp).
void prepareQuery(std::span<const measure_column> measures, std::span<const column_plan> plan, unsigned row,
                  std::uint32_t* w);

// 64-byte aligned words, left for their users to fill. They come from the
// heap, which hands back the memory the reading freed: fresh pages would cost
// a fault and a clearing each, and the threads copying the columns would
// queue on the same ones.
struct aligned_words {
  static constexpr std::align_val_t alignment{64};
  struct release {
    void operator()(std::uint32_t* w) const { ::operator delete(w, alignment); }
  };
  std::unique_ptr<std::uint32_t[], release> owner;
  std::uint32_t* p;
  explicit aligned_words(std::size_t n)
      : owner(static_cast<std::uint32_t*>(::operator new(n * sizeof(std::uint32_t), alignment))), p(owner.get()) {}
};

// One group's rows and its copies of the measured columns and the class.
struct group_layout {
  std::vector<unsigned> rows;
  std::size_t stride = 0;  // rows rounded up to padRows
  aligned_words words;     // column j at words.p + j * stride
  std::vector<std::int32_t> classCodes;
  std::vector<float> classValues;

  // Room for `columns` columns; the fill operations copy them.
  group_layout(std::span<const unsigned> r, std::size_t columns);
  void fillColumn(std::size_t j, const measure_column& m, const column_plan& p);
  void fillClass(const class_column& cls);
};

}  // namespace kel::detail
