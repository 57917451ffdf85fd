// Tables for the analysis tests: a dataset read from literal file texts, and
// a whole discrimination test run into text.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"
#include "support/support.hpp"

namespace testing_support {

inline std::unique_ptr<kel::dataset> with_metadata(const std::string& meta, char separator = ',') {
  auto d = std::make_unique<kel::dataset>();
  d->readMetadata(*text_stream(meta, separator));
  return d;
}

inline std::unique_ptr<kel::dataset> load(const std::string& meta, const std::string& data,
                                          const std::string& select, char separator = ',') {
  auto d = with_metadata(meta, separator);
  d->readData(*text_stream(data, separator));
  d->readSelect(*text_stream(select, separator));
  return d;
}

// One run of the discrimination test on a loaded table: the output file, the
// histogram file (with the histogram on) and the console, timings as T.
struct test_run {
  std::string output, histogram, console;
};

inline test_run run_test(kel::dataset& d, const kel::test_settings& settings, bool histogram = false) {
  std::ostringstream console;
  d.splitGroups(console);
  kel::distribution dist;
  if (histogram) dist.configure(-100.0, 100.0, 0.005);
  test_run r;
  r.output = written([&](const std::string& name) {
    orv::inpout::textout out(name);
    kel::testDiscrimination(d, settings, out, dist, console);
  });
  if (histogram) r.histogram = written([&](const std::string& name) { dist.write(name); });
  r.console = without_timings(console.str());
  return r;
}

}  // namespace testing_support
