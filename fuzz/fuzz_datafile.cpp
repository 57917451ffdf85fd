// The data-file reader over a fixed metadata. Input: the separator (a zero
// byte stands for ','), a byte that picks one of the metadata files below,
// then the data. Whatever the bytes, the reader fills the columns or stops
// with a one-line error; a table it reads has every column as long as the
// row count, finite standardized values, and renders every row.
#include <cmath>
#include <cstdint>
#include <string>

#include "analysis/table/dataset.hpp"
#include "fuzz_input.hpp"
#include "util/error.hpp"

namespace {

const char* const metadata_files[] = {
    "id,ignore\nage,continuous\nsex,nominal\nedu,ordinal,low,mid,high\nincome,continuous\nclass,nominal\n",
    // One column: an empty line is a row.
    "x,continuous\n",
    "grade,ordinal,?,a,b\nname,nominal\n",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const char sep = data[0] == 0 ? ',' : static_cast<char>(data[0]);
  const char* meta = metadata_files[data[1] % (sizeof metadata_files / sizeof metadata_files[0])];
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  kel::dataset d;
  d.readMetadata(*kelfuzz::stream_over(meta));
  unsigned rows;
  try {
    auto in = kelfuzz::stream_over(text, sep, 16384, static_cast<std::uint32_t>(size), 1 + data[1] % 61);
    rows = d.readData(*in);
  } catch (const orv::util::error&) {
    return 0;
  }

  for (const auto& att : *d.atts) {
    if (att->size() != rows) kelfuzz::broken("data: a column of the wrong length");
    if (att->getType() == kel::kindContinuous) {
      for (unsigned r = 0; r < rows; ++r) {
        const float v = att->getContinuous(r);
        if (!std::isfinite(v)) kelfuzz::broken("data: a non-finite standardized value");
      }
    }
  }
  std::ostream& sink = kelfuzz::null_console();
  for (unsigned r = 0; r < rows; ++r) d.writeRow(r, sink, false);
  return 0;
}
