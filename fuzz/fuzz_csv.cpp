// The importer's CSV reader against a straightforward parser of the whole
// text, fed in reads of random sizes: the same records, the same blank-line
// flags, and an error exactly where the parser finds the text malformed.
// Input: the first byte picks the separator (a zero byte, a quote or a line
// end stand for ','), the second the largest read; the rest is the file.
#include <cstdint>
#include <string>
#include <vector>

#include "csv.hpp"
#include "fuzz_input.hpp"
#include "util/error.hpp"

namespace {

struct parsed {
  std::vector<std::vector<std::string>> records;
  std::vector<bool> blank;
  bool malformed = false;
};

parsed reference(std::string text, char sep) {
  parsed p;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto line_end = [&](std::size_t at) { return at < n && (text[at] == '\n' || text[at] == '\r'); };
  while (i < n) {
    std::vector<std::string> fields;
    bool quoted = false;
    for (;;) {
      std::string field;
      if (i < n && text[i] == '"') {
        quoted = true;
        ++i;
        for (;;) {
          if (i == n) {
            p.malformed = true;
            return p;
          }
          if (text[i] == '"') {
            if (i + 1 < n && text[i + 1] == '"') {
              field += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          field += text[i++];
        }
        if (i < n && text[i] != sep && !line_end(i)) {
          p.malformed = true;
          return p;
        }
      } else {
        while (i < n && text[i] != sep && !line_end(i)) field += text[i++];
      }
      fields.push_back(field);
      if (i < n && text[i] == sep) {
        ++i;
        continue;
      }
      break;
    }
    if (i < n && text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
    if (i < n) ++i;
    p.blank.push_back(fields.size() == 1 && fields[0].empty() && !quoted);
    p.records.push_back(fields);
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  char sep = static_cast<char>(data[0]);
  if (sep == '\0' || sep == '"' || sep == '\n' || sep == '\r') sep = ',';
  const int max_chunk = 1 + data[1] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  const parsed want = reference(text, sep);
  parsed got;
  kelimport::csv_reader reader(std::make_unique<kelfuzz::chunkconn>(text, static_cast<std::uint32_t>(size), max_chunk),
                               "fuzz.csv", sep);
  std::vector<std::string> fields;
  std::uint64_t rows = 0;
  try {
    while (reader.next(fields)) {
      got.records.push_back(fields);
      got.blank.push_back(reader.blank());
      if (reader.row() != ++rows) kelfuzz::broken("csv: row numbers skip");
    }
  } catch (const orv::util::error&) {
    got.malformed = true;
  }
  if (got.malformed != want.malformed) kelfuzz::broken("csv: malformed or not");
  if (got.records != want.records) kelfuzz::broken("csv: wrong records");
  if (got.blank != want.blank) kelfuzz::broken("csv: wrong blank flags");
  return 0;
}
