// The central object of a run: the attribute list built from the metadata
// file, the values of every data row (held column-wise inside the
// attributes), the selection read from the select-options file, and the two
// groups of rows the discrimination test compares.
//
// Ownership: the dataset owns its attributes and the a-cond items; classAtt
// and measureAtts borrow from atts. A row is its 0-based line number in the
// data file.
//
// REQUIRES, in this order, each once: readMetadata, readData, readSelect,
// (writeMetadata), splitGroups; then the engine tests the groups.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/knn/columns.hpp"
#include "analysis/model/attribute.hpp"
#include "containers/bitmap.hpp"
#include "util/nocopy.hpp"

namespace orv::util {
class sha256;
}
namespace orv::inpout {
class positional;
class stream;
class textout;
}  // namespace orv::inpout

namespace kel {

// One comparison of an attribute with a constant.
struct item {
  std::int32_t att = 0;  // position in atts
  std::int32_t op = 0;   // operator code opLess .. opGreater
  condvalue value;
};

class dataset : private orv::util::nocopy {
 public:
  dataset();
  ~dataset();

  // Metadata file: one attribute per line. Returns the attribute count.
  unsigned readMetadata(orv::inpout::stream& in);
  static std::unique_ptr<attribute> parseAttribute(const std::string& line);
  void writeMetadata(orv::inpout::textout& out) const;

  // Data file: one row per line, one field per attribute. Returns the row
  // count; the continuous columns are standardized at the end.
  unsigned readData(orv::inpout::stream& in);
  // The data file by name, opened as open_input does. An input with
  // positional reads (a plain file) of at least two parts of minPartBytes is
  // read in up to `threads` parts at once; the rows, codes, messages and
  // errors are those of the one-pass read above, which any error makes it
  // fall back to. With a digest, every byte of the input's content goes
  // through it once, in order, whichever way it was read.
  unsigned readData(const std::string& name, char separator, unsigned threads,
                    std::uint64_t minPartBytes = defaultMinPartBytes, orv::util::sha256* digest = nullptr);
  // The same for an input already open (at its start, set to the separator),
  // whatever its connection: in parts when it has positional reads.
  unsigned readData(orv::inpout::stream& in, unsigned threads, std::uint64_t minPartBytes = defaultMinPartBytes);
  // Below this a part costs more in thread start and merging than it saves.
  static constexpr std::uint64_t defaultMinPartBytes = 512 * 1024;
  // The parallel read: `parts` ranges of whole lines, one thread each,
  // appended in file order and normalized, with the result of the one-pass
  // read. Nothing when a part met an error of the data or of the input: the
  // columns are then untouched. An allocation failure throws.
  std::optional<unsigned> readDataParts(const orv::inpout::positional& file, char separator, unsigned parts);
  // The parallel read shared by processes that hold the same bytes: of
  // `count` ranges of whole lines, each process reads its own, [first,
  // first + n), one thread each, and packs them as bytes for the others
  // (readPacked); then every process appends the packed parts of all, in
  // file order, and standardizes (appendPacked, on up to `threads` threads):
  // the table of the one-pass read. An empty span among them stands for the
  // parts this dataset read itself, which it kept, unpacked, for this.
  // Nothing from readPacked when one of its
  // parts met an error of the data or of the input: the one-pass read then
  // says where. appendPacked throws the one-pass read's error when the rows
  // are too many (the bytes may be gone), and std::invalid_argument on
  // bytes that readPacked did not make for these columns; an allocation
  // failure throws.
  std::optional<std::vector<char>> readPacked(const orv::inpout::positional& file, char separator, unsigned first,
                                              unsigned n, unsigned count);
  unsigned appendPacked(std::span<const std::span<const char>> packed, unsigned threads);

  // Select-options file: a-cond, c-cond, measure_atts, replacement class value.
  void readSelect(orv::inpout::stream& in);
  std::vector<item> parseItems(const std::string& line, char separator) const;
  item parseItem(const std::string& text) const;
  // 1 protected, 0 unprotected, -1 undecided (a missing value).
  int evalACond(unsigned row) const;
  // The c-cond on a row: 1, 0, or -1 when the class value is missing.
  int classCondition(unsigned row) const { return classAtt->evalCond(row, ccond.op, ccond.value); }

  // Fills the two groups and prints their sizes.
  void splitGroups(std::ostream& console);

  // Mean per-attribute distance over measureAtts, in single precision.
  float distance(unsigned a, unsigned b) const;
  // The measured and class columns as the neighbour searches read them;
  // nothing when a kind needs the per-pair search (an ignored attribute
  // measured, a class that is neither nominal nor continuous), whose errors
  // must surface where that search meets them.
  std::optional<search_columns> searchColumns() const;

  // The row's value texts, comma-separated, without a line end.
  void writeRow(unsigned row, std::ostream& out, bool replaceClass);

  unsigned rows() const { return atts && !atts->empty() ? (*atts)[0]->size() : 0; }

  std::unordered_map<std::string, std::int32_t> index;
  std::unique_ptr<std::vector<std::unique_ptr<attribute>>> atts;
  item ccond;
  attribute* classAtt = nullptr;
  std::unique_ptr<std::vector<item>> acond;
  std::string preValue;
  orv::adt::bitmap protectedRows;
  orv::adt::bitmap unprotectedRows;
  std::vector<attribute*> measureAtts;

 private:
  struct kept_parts;

  std::string rowText;  // writeRow's line, kept for its capacity
  std::unique_ptr<kept_parts> kept;  // readPacked's parts, for appendPacked

  int lookupAttribute(std::string_view name) const;
  // readData of an open stream; a digest (of a stream opened through it) is
  // also given the bytes that a read in parts takes past it, by their name.
  unsigned readDataFrom(orv::inpout::stream& in, unsigned threads, std::uint64_t minPartBytes,
                        orv::util::sha256* digest, const std::string& name);
  // Fields of a metadata or select-options line: 1 plus the separators that
  // have a character after them (a trailing one opens no field); 0 when empty.
  static std::size_t fieldCount(const std::string& line, char separator);
};

// The set rows of a bitmap, increasing.
std::vector<unsigned> members(const orv::adt::bitmap& rows);

}  // namespace kel
