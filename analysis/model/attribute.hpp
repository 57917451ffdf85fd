// One column of the data set and its storage. There is no row object: a
// tuple is its 0-based row number, and every per-row operation takes it.
//
// Four kinds: attnominal (codes given in order of first occurrence),
// attordinal (codes fixed by a declared scale, compared as unsigned),
// attcontinuous (floats, standardized once after reading) and attignore
// (stored and printed, but never compared). Each kind encodes field texts
// (addValue), decodes condition values, evaluates a condition three-valued
// (1 true, 0 false, -1 undecided on a missing value), gives its share of the
// distance between two rows and renders its value texts and metadata line.
// An operation a kind does not support throws orv::util::error.
//
// The field text "?" (exactly) is missing: continuous columns store
// missingContinuous, the coded kinds give "?" a code of its own, missingCode.
//
// Lifecycle: the metadata reader creates the attribute and sets `name` (and
// builds an ordinal scale with addDeclared / closeScale); the data reader
// calls addValue once per row in row order, then normalize once. A reader
// on several threads fills an emptyCopy per part of the file instead and
// then appends the parts in file order with appendRows, which leaves the
// column exactly as adding every row here would have.
// REQUIRES: decodeContinuous, evalCond, distance and getString of a
// continuous column only after normalize; every row argument < size().
// getString returns text owned by the attribute: for a continuous column it
// stays valid until the next getString on that column, for the coded kinds
// until the next addValue.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/model/textindex.hpp"
#include "util/nocopy.hpp"

namespace orv::util {
class byte_writer;
class byte_reader;
}  // namespace orv::util

namespace kel {

// Kind codes, as getType gives them.
constexpr int kindNominal = 1;
constexpr int kindOrdinal = 2;
constexpr int kindContinuous = 3;
constexpr int kindIgnore = 4;

// Continuous missing value: the smallest positive normal float (0x00800000).
// Compared by value; standardization never touches it.
constexpr float missingContinuous = std::bit_cast<float>(std::uint32_t{0x00800000});
// The distance term of a continuous attribute with a missing value on either side.
constexpr float missingContinuousDistance = 3.0f;

// Comparison operator codes of a condition.
constexpr int opLess = 0;          // "<"
constexpr int opLessEqual = 1;     // "<="
constexpr int opEqual = 2;         // "="
constexpr int opNotEqual = 3;      // "<>"
constexpr int opGreaterEqual = 4;  // ">="
constexpr int opGreater = 5;       // ">"

// The 4-byte value of a condition: a code for the coded kinds, a
// standardized float for continuous columns. It converts implicitly from the
// result of decodeNominal (int32_t) or decodeContinuous (float); the kind
// that evaluates it reads it back the same way. Bits are kept as they are,
// so either reading is well defined. Pass a float, not a double: a double
// literal is ambiguous on purpose.
struct condvalue {
  std::uint32_t bits = 0;

  constexpr condvalue() = default;
  constexpr condvalue(std::int32_t code) : bits(std::bit_cast<std::uint32_t>(code)) {}
  constexpr condvalue(float number) : bits(std::bit_cast<std::uint32_t>(number)) {}

  constexpr std::int32_t code() const { return std::bit_cast<std::int32_t>(bits); }
  constexpr float number() const { return std::bit_cast<float>(bits); }

  friend constexpr bool operator==(condvalue, condvalue) = default;
};
static_assert(sizeof(condvalue) == 4);

// The comparison of operator code op (0..5) between a row's value and a
// condition value; "op not valid" for any other code.
template <class T>
int compareByOp(int op, T a, T b);

class attribute : private orv::util::nocopy {
 public:
  std::string name;

  virtual ~attribute();

  // One of the kind codes above.
  virtual int getType() const = 0;
  virtual void reserve(unsigned n);
  virtual void addValue(std::string_view text) = 0;
  virtual std::int32_t decodeNominal(std::string_view text) const;
  virtual float decodeContinuous(std::string_view text) const;
  virtual std::int32_t getNominal(unsigned row) const;
  virtual float getContinuous(unsigned row) const;
  virtual void setNominal(unsigned row, std::int32_t code);
  virtual void setContinuous(unsigned row, float x);
  // Null for a kind without value texts.
  virtual const char* getString(unsigned row);
  virtual bool hasMissing() const = 0;
  virtual unsigned size() const = 0;
  // Number of dictionary entries ("?" included); 0 for continuous columns.
  virtual unsigned numValues() const;
  virtual void normalize();
  // A column of the same kind and name, and for an ordinal the same scale,
  // without rows.
  virtual std::unique_ptr<attribute> emptyCopy() const = 0;
  // Appends the rows of part, as if each of its values had been added here
  // in order; part may be emptied. REQUIRES: part comes from emptyCopy of
  // this column and has not been normalized.
  virtual void appendRows(attribute& part) = 0;
  // A part (an emptyCopy given rows by addValue) as bytes, for a reader in
  // another process, which unpacks them into an emptyCopy of its own: that
  // column's appendRows takes the result as it would the original part.
  // unpackPart throws std::invalid_argument on bytes that are not such a
  // part. REQUIRES: not normalized.
  virtual void packPart(orv::util::byte_writer& out) const = 0;
  virtual void unpackPart(orv::util::byte_reader& in) = 0;
  virtual int evalCond(unsigned row, int op, condvalue value) const = 0;
  virtual float distance(unsigned row1, unsigned row2) const = 0;
  // The column's line of the metadata file, without a line end.
  virtual std::string toMetadata() const = 0;

 protected:
  attribute() = default;
  explicit attribute(std::string name) : name(std::move(name)) {}
};

class attcontinuous : public attribute {
 public:
  explicit attcontinuous(std::string name = {}) : attribute(std::move(name)) {}

  int getType() const override { return kindContinuous; }
  void reserve(unsigned n) override;
  // atof semantics (leading blanks, longest numeric prefix, 0 when none),
  // rounded to float. Throws on a non-finite result.
  void addValue(std::string_view text) override;
  // A number read elsewhere, given as the double nearest its text: stored as
  // addValue stores that text. NaN is the missing value. False, and nothing
  // stored, for a number that is not finite as a float.
  bool addNumber(double x);
  // (number - mean) / mad in double, rounded once to float.
  float decodeContinuous(std::string_view text) const override;
  float getContinuous(unsigned row) const override { return values[row]; }
  void setContinuous(unsigned row, float x) override { values[row] = x; }
  // The value brought back to raw units, "%.30f" with trailing zeros (and a
  // bare '.') cut; "?" when missing.
  const char* getString(unsigned row) override;
  bool hasMissing() const override;
  unsigned size() const override { return static_cast<unsigned>(values.size()); }
  // Standardizes to (v - mean) / mad over the non-missing values. A column
  // without values gets mean 0, a column without spread mad 1.
  void normalize() override;
  std::unique_ptr<attribute> emptyCopy() const override;
  void appendRows(attribute& part) override;
  void packPart(orv::util::byte_writer& out) const override;
  void unpackPart(orv::util::byte_reader& in) override;
  int evalCond(unsigned row, int op, condvalue value) const override;
  float distance(unsigned row1, unsigned row2) const override {
    const float a = values[row1];
    const float b = values[row2];
    return a == missingContinuous || b == missingContinuous ? missingContinuousDistance : std::fabs(a - b);
  }
  std::string toMetadata() const override;

  const std::vector<float>& valuesView() const { return values; }
  float getMean() const { return mean; }
  float getMad() const { return mad; }

 private:
  std::vector<float> values;
  // Identity until normalize sets them.
  float mean = 0.0f;
  float mad = 1.0f;
  std::string text;
  // Texts of recent values, by value bits (the missing marker = empty slot).
  struct recentText {
    std::uint32_t bits;
    std::string text;
  };
  static constexpr unsigned recentBits = 8;
  static constexpr unsigned recentSlots = 1u << recentBits;
  std::vector<recentText> recent;
};

class attnominal : public attribute {
 public:
  explicit attnominal(std::string name = {}) : attribute(std::move(name)) {}

  int getType() const override { return kindNominal; }
  void reserve(unsigned n) override;
  void addValue(std::string_view text) override;
  // "?" gives missingCode (-1 when the data had no "?").
  std::int32_t decodeNominal(std::string_view text) const override;
  std::int32_t getNominal(unsigned row) const override { return codes[row]; }
  const char* getString(unsigned row) override { return dict[codes[row]].c_str(); }
  bool hasMissing() const override;
  unsigned size() const override { return static_cast<unsigned>(codes.size()); }
  unsigned numValues() const override { return static_cast<unsigned>(dict.size()); }
  std::unique_ptr<attribute> emptyCopy() const override;
  // The part's texts, in its own code order (its order of first occurrence),
  // get the code they have here or the next new one, so that the codes are
  // those of one pass over all the rows.
  void appendRows(attribute& part) override;
  void packPart(orv::util::byte_writer& out) const override;
  void unpackPart(orv::util::byte_reader& in) override;
  // "=" and "<>" only.
  int evalCond(unsigned row, int op, condvalue value) const override;
  // A missing value on either side counts as different.
  float distance(unsigned row1, unsigned row2) const override {
    const std::int32_t a = codes[row1];
    const std::int32_t b = codes[row2];
    return static_cast<float>((a != b) | (a == missingCode) | (b == missingCode));
  }
  std::string toMetadata() const override;

  const std::vector<std::int32_t>& codesView() const { return codes; }
  std::int32_t getMissingCode() const { return missingCode; }

 protected:
  // Code of a text, adding it to the dictionary when new.
  std::int32_t encode(std::string_view text);
  // Appends a dictionary entry; the first code of a text stays in lookup.
  std::int32_t addEntry(std::string_view text);

  std::vector<std::int32_t> codes;
  std::vector<std::string> dict;
  // Text to code over dict; a probe with a string_view does not allocate.
  textindex lookup;
  std::int32_t missingCode = -1;
};

class attordinal : public attnominal {
 public:
  explicit attordinal(std::string name = {}) : attnominal(std::move(name)) {}

  int getType() const override { return kindOrdinal; }
  // Undeclared texts are an error.
  void addValue(std::string_view text) override;
  std::unique_ptr<attribute> emptyCopy() const override;
  // The scale is the same, and so are the codes.
  void appendRows(attribute& part) override;
  // The codes alone: the scale is the metadata's.
  void packPart(orv::util::byte_writer& out) const override;
  void unpackPart(orv::util::byte_reader& in) override;
  // Six operators on the codes as unsigned: "<" is earlier on the scale.
  int evalCond(unsigned row, int op, condvalue value) const override;
  // |a - b| / maxCode; one side missing: the distance to the farther end of
  // the scale; both missing: 1. A one-value scale gives 0 between present
  // values and 1 with a missing one.
  float distance(unsigned row1, unsigned row2) const override;
  // The declared values, without the "?" that closeScale added.
  std::string toMetadata() const override;

  // Scale building, in declaration order, then closeScale once.
  void addDeclared(std::string_view text);
  // Gives "?" the code after the last declared value.
  void closeScale();

  std::uint32_t getMaxCode() const { return maxCode; }

 private:
  std::uint32_t maxCode = 0;
};

// Carried through to the output files, never compared or measured.
class attignore : public attnominal {
 public:
  explicit attignore(std::string name = {}) : attnominal(std::move(name)) {}

  int getType() const override { return kindIgnore; }
  std::unique_ptr<attribute> emptyCopy() const override;
  bool hasMissing() const override;
  int evalCond(unsigned row, int op, condvalue value) const override;
  float distance(unsigned row1, unsigned row2) const override;
  std::string toMetadata() const override;
};

}  // namespace kel
