// The select-options reader against a fixed table. Whatever the bytes, the
// selection is read or stops with a one-line error; a selection it reads
// splits the rows into two disjoint groups and runs the test on them.
#include <cstdint>
#include <string>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"
#include "fuzz_input.hpp"
#include "util/error.hpp"

namespace {

const char* const metadata =
    "id,ignore\nage,continuous\nsex,nominal\nedu,ordinal,low,mid,high\nincome,continuous\nclass,nominal\n";
const char* const table =
    "1,25,f,low,1000,good\n"
    "2,40,m,mid,2500.5,bad\n"
    "3,?,f,high,?,good\n"
    "4,33,?,?,1800,bad\n"
    "5,61,m,low,4000,?\n"
    "6,19,f,mid,900,bad\n"
    "7,52,m,high,3100,good\n"
    "8,47,f,?,2200,good\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kel::dataset d;
  d.readMetadata(*kelfuzz::stream_over(metadata));
  const unsigned rows = d.readData(*kelfuzz::stream_over(table));
  try {
    d.readSelect(*kelfuzz::stream_over(text, ',', 16384, static_cast<std::uint32_t>(size), 1 + size % 37));
  } catch (const orv::util::error&) {
    return 0;
  }
  if (d.classAtt == nullptr) kelfuzz::broken("select: no class attribute");
  if (d.measureAtts.empty()) kelfuzz::broken("select: nothing to measure");

  try {
    d.splitGroups(kelfuzz::null_console());
  } catch (const orv::util::error&) {
    return 0;  // an item on an ignored column
  }
  for (unsigned r = 0; r < rows; ++r) {
    const int decided = d.evalACond(r);
    if (d.protectedRows.test(r) != (decided == 1) || d.unprotectedRows.test(r) != (decided == 0))
      kelfuzz::broken("select: a row in the wrong group");
  }

  kel::test_settings settings;
  settings.search.k = 1 + size % 4;
  settings.search.maxDistance = 3.4028235e38f;
  settings.all = size % 3 == 0;
  settings.pre = size % 5 == 0;
  settings.search.threads = 1;
  kel::distribution dist;
  dist.configure(-100.0, 100.0, 0.005);
  try {
    orv::inpout::textout out("/dev/null");
    kel::testDiscrimination(d, settings, out, dist, kelfuzz::null_console());
  } catch (const orv::util::error&) {
  }
  return 0;
}
