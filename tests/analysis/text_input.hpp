// Literal text as the program's input files, and its output files as text.
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "analysis/table/dataset.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"

namespace kel::testing {

// A path no file has yet.
inline std::string scratch_path(const std::string& suffix = "") {
  char name[] = "/tmp/kel-test-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) std::abort();
  close(fd);
  unlink(name);
  return name + suffix;
}

// A new file holding text.
inline std::string scratch_file(const std::string& text, const std::string& suffix = "") {
  const std::string path = scratch_path(suffix);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The whole file, which is then removed.
inline std::string take_file(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  unlink(path.c_str());
  return s.str();
}

// The text behind a stream, the way the program opens its inputs.
inline std::unique_ptr<orv::inpout::stream> text_stream(const std::string& text, char separator = ',') {
  const std::string name = scratch_file(text);
  auto in = orv::inpout::open_input(name, separator);
  unlink(name.c_str());
  return in;
}

inline std::unique_ptr<dataset> with_metadata(const std::string& meta, char separator = ',') {
  auto d = std::make_unique<dataset>();
  d->readMetadata(*text_stream(meta, separator));
  return d;
}

inline std::unique_ptr<dataset> load(const std::string& meta, const std::string& data, const std::string& select,
                                     char separator = ',') {
  auto d = with_metadata(meta, separator);
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
