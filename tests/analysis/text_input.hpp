// Line streams over literal text for the reader tests, and a table loaded
// from three literal files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "analysis/dataset.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"

namespace kel::testing {

// The text behind a stream, the way the program opens its inputs.
inline std::unique_ptr<orv::inpout::stream> text_stream(const std::string& text, char separator = ',') {
  char name[] = "/tmp/kel-text-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) std::abort();
  if (!text.empty() && write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  close(fd);
  auto in = orv::inpout::open_input(name, separator);
  unlink(name);
  return in;
}

inline std::unique_ptr<dataset> load(const std::string& meta, const std::string& data, const std::string& select,
                                     char separator = ',') {
  auto d = std::make_unique<dataset>();
  d->readMetadata(*text_stream(meta, separator));
  d->readData(*text_stream(data, separator));
  d->readSelect(*text_stream(select, separator));
  return d;
}

// The message of the error a call raises, or "no error".
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace kel::testing
