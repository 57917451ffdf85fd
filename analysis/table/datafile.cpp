// The data file: one row per line, one field per attribute, split at the
// separator of the run; only spaces around a field are dropped. A large
// plain file is read in parts on several threads, with the same result.
#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "analysis/table/dataset.hpp"
#include "io/iodigest.hpp"
#include "io/iorange.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "util/bytes.hpp"
#include "util/error.hpp"
#include "util/parallel.hpp"

namespace kel {

namespace {

std::string_view trimSpaces(std::string_view v) {
  const std::size_t first = v.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return v.substr(first, v.find_last_not_of(' ') - first + 1);
}

using columns = std::vector<std::unique_ptr<attribute>>;

// What the readers say of a file with more lines than rows can be counted.
orv::util::error tooManyRows() {
  return orv::util::error("too many rows: at most " + std::to_string(std::numeric_limits<unsigned>::max()) +
                          " are supported");
}

// Every line of the stream as one row of the columns; the count of lines.
// Both readers go through here, so a row means the same to both.
unsigned readRows(orv::inpout::stream& in, columns& atts) {
  const std::size_t count = atts.size();
  unsigned line = 0;
  while (in.read_line()) {
    if (line == std::numeric_limits<unsigned>::max()) throw tooManyRows();
    ++line;
    // A zero byte (a binary or UTF-16 file) would end the line early and
    // silently drop the fields after it: such a row is malformed too.
    if (static_cast<std::size_t>(in.field_count()) != count ||
        std::memchr(in.line(), '\0', static_cast<std::size_t>(in.line_length())) != nullptr)
      throw orv::util::error("bad row: " + std::to_string(line));
    const char separator = in.tokens.separator();
    for (auto& att : atts) {
      const char* token = in.tokens.next_token(separator);
      const std::string_view field = trimSpaces({token, in.tokens.token_length()});
      if (att->getType() != kindContinuous) {
        att->addValue(field);
        continue;
      }
      try {
        att->addValue(field);
      } catch (const orv::util::error& e) {
        // A number the column cannot hold: say where it is.
        throw orv::util::error(std::string(e.what()) + " (row " + std::to_string(line) + ", attribute " +
                               att->name + ")");
      }
    }
  }
  return line;
}

// One part of the file read into fresh columns.
struct part {
  columns atts;
  unsigned rows = 0;
  std::exception_ptr failure;
};

// The stream buffer of a part; larger than a whole-file stream's, since a
// part has no other use for its memory.
constexpr int partCapacity = 1 << 16;

// Reads ranges [first, first + n) of `ranges` into fresh parts, one thread
// each. False when a part met an error of the data or of the input; any
// other failure (out of memory) is thrown.
bool readInto(std::vector<part>& done, const std::vector<std::unique_ptr<orv::inpout::ioconn>>& ranges,
              std::size_t first, std::size_t n, char separator, const columns& atts) {
  // The parts' columns grow as they are read: on huge pages that costs a
  // copy, cheaper than a pass over the file to count its lines first.
  done.resize(n);
  for (part& p : done) {
    p.atts.reserve(atts.size());
    for (const auto& att : atts) p.atts.push_back(att->emptyCopy());
  }
  const auto read = [&](std::size_t i) noexcept {
    try {
      orv::inpout::stream in(ranges[first + i].get(), false, separator, partCapacity);
      done[i].rows = readRows(in, done[i].atts);
    } catch (...) {
      done[i].failure = std::current_exception();
    }
  };
  orv::util::parallel_for(n, std::max<std::size_t>(n, 1), read);

  std::exception_ptr other;
  bool fine = true;
  for (const part& p : done) {
    if (!p.failure) continue;
    try {
      std::rethrow_exception(p.failure);
    } catch (const orv::util::error&) {
      fine = false;
    } catch (...) {
      if (!other) other = p.failure;
    }
  }
  // The one-pass read tells an error of the data first, as it meets it.
  if (fine && other) std::rethrow_exception(other);
  return fine;
}

// Appends the parts to atts in file order and standardizes them, on up to
// `threads` threads. Nothing, and atts untouched, when the rows are more
// than the one-pass reader takes (it says where the limit was passed).
std::optional<unsigned> appendParts(std::vector<part>& done, unsigned threads, columns& atts) {
  std::uint64_t total = 0;
  for (const part& p : done) total += p.rows;
  if (total > std::numeric_limits<unsigned>::max()) return std::nullopt;
  // The columns are independent of each other: each is merged, the parts in
  // file order, and standardized by one thread.
  orv::util::parallel_for(atts.size(), threads, [&](std::size_t a) {
    attribute& att = *atts[a];
    for (part& p : done) {
      att.appendRows(*p.atts[a]);
      p.atts[a].reset();
    }
    att.normalize();
  });
  return static_cast<unsigned>(total);
}

// Reads the input in parts, one thread each, appends the rows to atts in
// file order and standardizes them. Nothing when a part met an error of the
// data or of the input, and atts are then untouched; any other failure (out
// of memory) is thrown.
std::optional<unsigned> readParts(const orv::inpout::positional& file, char separator, unsigned parts,
                                  columns& atts) {
  std::vector<std::unique_ptr<orv::inpout::ioconn>> ranges;
  try {
    ranges = orv::inpout::line_parts(file, parts);
  } catch (const orv::util::error&) {
    return std::nullopt;
  }
  std::vector<part> done;
  if (!readInto(done, ranges, 0, parts, separator, atts)) return std::nullopt;
  return appendParts(done, parts, atts);
}

}  // namespace

struct dataset::kept_parts {
  std::vector<part> parts;
};

dataset::dataset() = default;

dataset::~dataset() = default;

unsigned dataset::readData(orv::inpout::stream& in) {
  const unsigned rows = readRows(in, *atts);
  for (auto& att : *atts) att->normalize();
  return rows;
}

std::optional<unsigned> dataset::readDataParts(const orv::inpout::positional& file, char separator, unsigned parts) {
  return readParts(file, separator, std::max(parts, 1u), *atts);
}

std::optional<std::vector<char>> dataset::readPacked(const orv::inpout::positional& file, char separator,
                                                     unsigned first, unsigned n, unsigned count) {
  std::vector<std::unique_ptr<orv::inpout::ioconn>> ranges;
  try {
    ranges = orv::inpout::line_parts(file, count);
  } catch (const orv::util::error&) {
    return std::nullopt;
  }
  auto own = std::make_unique<kept_parts>();
  if (!readInto(own->parts, ranges, first, n, separator, *atts)) return std::nullopt;
  // Parsed, a part takes about as many bytes as its text: room for that at
  // once, rather than growing (and touching) the buffer again and again.
  std::uint64_t text = 0;
  for (std::size_t i = first; i < first + n; ++i)
    text += static_cast<std::uint64_t>(std::max<std::int64_t>(ranges[i]->size(), 0));
  orv::util::byte_writer out(static_cast<std::size_t>(text + text / 4));
  out.put<std::uint64_t>(own->parts.size());
  for (const part& p : own->parts) {
    out.put<std::uint64_t>(p.rows);
    for (const auto& att : p.atts) att->packPart(out);
  }
  kept = std::move(own);
  return out.take();
}

unsigned dataset::appendPacked(std::span<const std::span<const char>> packed, unsigned threads) {
  std::vector<part> done;
  for (const std::span<const char> bytes : packed) {
    if (bytes.empty()) {
      if (!kept) throw std::invalid_argument("no parts of this process's own to append");
      for (part& p : kept->parts) done.push_back(std::move(p));
      kept.reset();
      continue;
    }
    orv::util::byte_reader in(bytes);
    const auto parts = in.get<std::uint64_t>();
    for (std::uint64_t i = 0; i < parts; ++i) {
      part& p = done.emplace_back();
      const auto rows = in.get<std::uint64_t>();
      if (rows > std::numeric_limits<unsigned>::max()) throw std::invalid_argument("a packed part of too many rows");
      p.rows = static_cast<unsigned>(rows);
      for (const auto& att : *atts) {
        p.atts.push_back(att->emptyCopy());
        p.atts.back()->unpackPart(in);
        if (p.atts.back()->size() != p.rows) throw std::invalid_argument("a packed column of another length");
      }
    }
    if (!in.done()) throw std::invalid_argument("bytes after the packed parts");
  }
  // The processes may no longer hold the bytes to read again: the one-pass
  // read's error, at once.
  const std::optional<unsigned> rows = appendParts(done, std::max(threads, 1u), *atts);
  if (!rows) throw tooManyRows();
  return *rows;
}

unsigned dataset::readData(const std::string& name, char separator, unsigned threads, std::uint64_t minPartBytes,
                           orv::util::sha256* digest) {
  const auto in = orv::inpout::open_input(name, separator, digest);
  return readDataFrom(*in, threads, minPartBytes, digest, name);
}

unsigned dataset::readData(orv::inpout::stream& in, unsigned threads, std::uint64_t minPartBytes) {
  return readDataFrom(in, threads, minPartBytes, nullptr, std::string());
}

unsigned dataset::readDataFrom(orv::inpout::stream& in, unsigned threads, std::uint64_t minPartBytes,
                               orv::util::sha256* digest, const std::string& name) {
  // Only an input with positional reads (a plain file) can be read at
  // several places at once; a compressed file, a pipe or a terminal is read
  // in one pass.
  const orv::inpout::positional* file = in.connection()->as_positional();
  if (threads > 1 && file != nullptr) {
    const auto size = static_cast<std::uint64_t>(file->length());
    const std::uint64_t parts = std::min<std::uint64_t>(threads, size / std::max<std::uint64_t>(minPartBytes, 1));
    if (parts > 1)
      if (const auto rows = readDataParts(*file, in.separator(), static_cast<unsigned>(parts))) {
        // The parts read at their own offsets, past the digest.
        if (digest) orv::inpout::digest_positional(*file, *digest, name);
        return *rows;
      }
  }
  // Also after a failed part: the one-pass reader meets the first error in
  // file order and tells it with its row number.
  return readData(in);
}

void dataset::splitGroups(std::ostream& console) {
  const unsigned n = classAtt->size();
  protectedRows.resize(n);
  protectedRows.clear();
  unprotectedRows.resize(n);
  unprotectedRows.clear();
  unsigned protectedCount = 0;
  unsigned unprotectedCount = 0;
  for (unsigned r = 0; r < n; ++r) {
    const int decided = evalACond(r);
    if (decided == 1) {
      protectedRows.set(r);
      ++protectedCount;
    } else if (decided == 0) {
      unprotectedRows.set(r);
      ++unprotectedCount;
    }
  }
  console << "no. protected " << protectedCount << std::endl;
  console << "no. unprotected " << unprotectedCount << std::endl;
}

}  // namespace kel
