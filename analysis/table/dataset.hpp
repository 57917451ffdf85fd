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
// (writeMetadata), splitGroups, testDiscrimination.
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

#include "analysis/model/attribute.hpp"
#include "containers/bitmap.hpp"
#include "util/nocopy.hpp"

namespace orv::inpout {
class iofile;
class textout;
class stream;
}  // namespace orv::inpout

namespace kel {

class distribution;
class fastknn;

// One comparison of an attribute with a constant.
struct item {
  std::int32_t att = 0;  // position in atts
  std::int32_t op = 0;   // operator code 0..5
  condvalue value;
};

// What the search found in one group: the neighbours selected and how many
// of them share the query's class outcome.
struct neighbours {
  unsigned found = 0;
  unsigned matching = 0;
};

// Settings of the discrimination test, from the command line.
struct test_settings {
  unsigned k = 2;
  float maxDistance = 0.0f;
  double threshold = 0.1;
  bool all = false;
  bool pre = false;
  bool useConfidence = false;
  double z = 0.0;
  unsigned threads = 1;     // worker threads of the neighbour search
  bool reference = false;   // force the straightforward per-pair search
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
  // The data file by name, opened as open_input does. A plain file of at
  // least two parts of minPartBytes is read in up to `threads` parts at
  // once; the rows, codes, messages and errors are those of the one-pass
  // read above, which any error makes it fall back to.
  unsigned readData(const std::string& name, char separator, unsigned threads,
                    std::uint64_t minPartBytes = defaultMinPartBytes);
  // Below this a part costs more in thread start and merging than it saves.
  static constexpr std::uint64_t defaultMinPartBytes = 512 * 1024;
  // The parallel read of a plain file: `parts` ranges of whole lines, one
  // thread each, appended in file order and normalized, with the result of
  // the one-pass read. Nothing when a part met an error of the data or of
  // the file: the columns are then untouched. An allocation failure throws.
  std::optional<unsigned> readDataParts(orv::inpout::iofile& file, char separator, unsigned parts);

  // Select-options file: a-cond, c-cond, measure_atts, replacement class value.
  void readSelect(orv::inpout::stream& in);
  std::vector<item> parseItems(const std::string& line, char separator) const;
  item parseItem(const std::string& text) const;
  // 1 protected, 0 unprotected, -1 undecided (a missing value).
  int evalACond(unsigned row) const;

  // Fills the two groups and prints their sizes.
  void splitGroups(std::ostream& console);

  // Mean per-attribute distance over measureAtts, in single precision.
  float distance(unsigned a, unsigned b) const;
  // The k nearest candidates of the query within maxDistance, the straightforward way.
  neighbours knn(unsigned k, float maxDistance, unsigned query, orv::it::Iiterator<unsigned>& candidates) const;

  // Tests every protected tuple and writes the output data file.
  void testDiscrimination(const test_settings& settings, orv::inpout::textout& out, distribution& dist, std::ostream& console);
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
  std::string rowText;  // writeRow's line, kept for its capacity

  int classCondition(unsigned row) const {
    return classAtt->evalCond(row, ccond.op, ccond.value);
  }
  int lookupAttribute(std::string_view name) const;
  // Fields of a metadata or select-options line: 1 plus the separators that
  // have a character after them (a trailing one opens no field); 0 when empty.
  static std::size_t fieldCount(const std::string& line, char separator);
  // The vectorised search over copies of the measured columns, copied on up
  // to `threads` threads; null when the measured or class kinds need the
  // per-pair search.
  std::unique_ptr<fastknn> makeFastSearch(std::span<const unsigned> protectedList,
                                          std::span<const unsigned> unprotectedList, unsigned threads) const;
};

}  // namespace kel
