// The fast neighbour search: for a query row, the k nearest rows of the
// protected and of the unprotected group under the mean per-attribute
// distance, with the class outcomes of those neighbours counted.
//
// It gives exactly the results of the per-pair search: every distance is the
// same float32 (attributes summed in measure order, each addition rounded,
// one division by the count), and the neighbours are the k smallest
// (distance, row) pairs within the maximum distance, the query left out.
// Speed comes from copying the measured columns once into group-contiguous,
// padded arrays and scanning them with a kernel vectorised across candidates
// (AVX-512, AVX2 or portable scalar, chosen at run time), several queries per
// pass over a cache-sized tile of candidates, and queries split over threads.
//
// Ownership: a `fastknn` owns its copies of the group columns; it keeps
// pointers to the caller's columns only to read query rows. Its const
// operations may run on several threads at once.
// REQUIRES: the columns given to the constructor outlive the object and do
// not change; continuous values are finite (missing = FLT_MIN); group rows
// are strictly increasing and indexes into the columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "util/nocopy.hpp"

namespace kel {

enum class measure_kind : std::uint8_t { continuous, nominal, ordinal };

// One measured attribute, in measure order. The same attribute may appear
// more than once.
struct measure_column {
  measure_kind kind = measure_kind::continuous;
  const float* values = nullptr;        // continuous: standardized values, by row
  const std::int32_t* codes = nullptr;  // nominal / ordinal: codes, by row
  std::int32_t missing_code = -1;       // nominal / ordinal
  std::uint32_t max_code = 0;           // ordinal: number of declared values - 1
};

// The class attribute: nominal outcomes match on equal codes, others when the
// neighbour's value is >= the query's.
struct class_column {
  bool nominal = true;
  const std::int32_t* codes = nullptr;
  const float* values = nullptr;
};

struct knn_result {
  unsigned found = 0;
  unsigned matching = 0;
  bool operator==(const knn_result&) const = default;
};

// The per-pair tuple distance the fast search reproduces bit for bit.
// REQUIRES: cols not empty.
float reference_distance(std::span<const measure_column> cols, unsigned a, unsigned b);

// Instruction-set level of the distance kernel.
enum class kernel_level : std::uint8_t { scalar, avx2, avx512 };

// The best level this processor supports.
kernel_level best_kernel_level();
// The level searches use: the best one unless forced. Forcing a level the
// processor lacks throws orv::util::error.
kernel_level current_kernel_level();
void set_kernel_level(kernel_level level);
// Back to the best supported level.
void reset_kernel_level();
const char* kernel_level_name(kernel_level level);

class fastknn : orv::util::nocopy {
 public:
  // REQUIRES: measures not empty; protected_rows and unprotected_rows strictly
  // increasing. Throws orv::util::error on an empty measure list. The copies
  // are made on up to `threads` threads.
  fastknn(std::span<const measure_column> measures, const class_column& cls,
          std::span<const unsigned> protected_rows, std::span<const unsigned> unprotected_rows,
          unsigned threads = 1);
  ~fastknn();

  // The k nearest neighbours of query_row among the unprotected and among the
  // protected rows, query_row itself left out of both. A candidate exactly at
  // max_distance is taken; NaN means no limit. REQUIRES: k >= 1.
  void search(unsigned query_row, unsigned k, float max_distance, knn_result& unprotected,
              knn_result& protected_) const;

  // search() for every query, results in query order and identical whatever
  // the number of threads (0 or 1: the caller's thread only).
  void search_many(std::span<const unsigned> queries, unsigned k, float max_distance,
                   knn_result* unprotected, knn_result* protected_, unsigned threads) const;

  // search_many() that hands the results over in order while the search goes
  // on: `ready(n)` is called on the caller's thread, with n increasing, once
  // the results of queries [0, n) are all complete; the last call has n =
  // queries.size(). The caller's thread searches too whenever no results are
  // waiting, so `threads` counts it. An exception from `ready` or from a
  // search stops the other threads and is rethrown here.
  void search_ordered(std::span<const unsigned> queries, unsigned k, float max_distance,
                      knn_result* unprotected, knn_result* protected_, unsigned threads,
                      const std::function<void(std::size_t)>& ready) const;

  // The distance from query_row to every row of one group, in the group's row
  // order, as the kernels compute it (query_row itself included).
  // REQUIRES: out.size() == that group's size.
  void distances(unsigned query_row, bool protected_group, std::span<float> out) const;

  std::size_t measure_count() const { return measures_.size(); }

 private:
  struct column_plan;  // how the kernels see one measured column
  struct group;        // one group's columns, laid out for the kernels
  class worker;        // one thread's scratch

  static column_plan plan_column(const measure_column& m, std::span<const unsigned> protected_rows,
                                 std::span<const unsigned> unprotected_rows);

  std::vector<measure_column> measures_;
  class_column cls_;
  std::vector<column_plan> plan_;
  std::unique_ptr<group> unprotected_;
  std::unique_ptr<group> protected_;
};

}  // namespace kel
