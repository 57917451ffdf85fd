// The line stream fed in random chunk sizes, checked against a plain split
// of the same bytes. Input: four header bytes (buffer capacity, largest
// chunk, separator, generator seed), then the text.
//
// A text that starts with the gzip magic is also read through a .gz file the
// way the program opens its inputs: it must give lines or a read error,
// never a crash.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "io/open_input.hpp"
#include "util/error.hpp"

namespace {

struct line_info {
  std::string text;
  std::uint64_t consumed;  // bytes of the input the line used up
};

std::vector<line_info> reference_lines(const std::string& text) {
  std::vector<line_info> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back({text.substr(start), text.size() - start});
      break;
    }
    std::string line = text.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back({line, lf - start + 1});
    start = lf + 1;
  }
  return lines;
}

int reference_field_count(const std::string& line, char sep) {
  const std::string text(line.c_str());  // the tokenizer sees a C string
  if (text.empty()) return 1;
  int n = 1;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) n += text[i] == sep;
  return n;
}

void read_gzip(const std::string& bytes) {
  static const std::string name = "/tmp/kel-fuzz-stream-" + std::to_string(getpid()) + ".gz";
  if (FILE* f = std::fopen(name.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  } else {
    return;
  }
  try {
    auto in = orv::inpout::open_input(name, ',');
    while (in->read_line()) in->field_count();
  } catch (const orv::util::error&) {
    // A corrupt compressed input must be an error, which it is.
  }
  unlink(name.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int capacity = 1 + data[0] % 64;
  const int max_chunk = 1 + data[1] % 80;
  const char sep = data[2] == 0 ? ',' : static_cast<char>(data[2]);
  const std::uint32_t seed = data[3];
  const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);

  const auto expected = reference_lines(text);
  auto in = kelfuzz::stream_over(text, sep, capacity, seed, max_chunk);
  std::uint64_t consumed = 0;
  for (const auto& want : expected) {
    if (!in->read_line()) kelfuzz::broken("stream: a line is missing");
    if (std::string(in->line(), static_cast<std::size_t>(in->line_length())) != want.text)
      kelfuzz::broken("stream: wrong line");
    consumed += want.consumed;
    if (in->bytes_read() != consumed) kelfuzz::broken("stream: wrong bytes_read");
    if (in->field_count() != reference_field_count(want.text, sep)) kelfuzz::broken("stream: wrong field_count");
  }
  if (in->read_line()) kelfuzz::broken("stream: a line after the end");
  if (!in->eof()) kelfuzz::broken("stream: not at the end");
  if (in->read_line()) kelfuzz::broken("stream: a line after the end, asked twice");

  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f && static_cast<unsigned char>(text[1]) == 0x8b)
    read_gzip(text);
  return 0;
}
