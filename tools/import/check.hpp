// Linting existing inputs: the metadata, data and select-options files are
// read as the analysis reads them, nothing is changed, and every hazard is
// reported with its file, row and column: the silent ones above all (text,
// empty or byte-order-marked fields that a continuous column reads as 0, a
// header row, quotes kept as part of values, a select value that matches no
// row, a replacement class value that would split output rows) and the ones
// that would stop a run only after a long read.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace kelimport {

// Writes one line per hazard (at most ten of each kind per column, then a
// count of the rest) and a closing line on out; answers the number of
// hazards. Throws orv::util::error when an input cannot be read.
std::uint64_t check_inputs(const std::string& metadata, const std::string& data, const std::string& select,
                           char separator, std::ostream& out);

}  // namespace kelimport
