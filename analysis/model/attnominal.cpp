#include <algorithm>
#include <cassert>

#include <stdexcept>

#include "analysis/model/attribute.hpp"
#include "util/bytes.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

bool isMissing(std::string_view text) { return text.size() == 1 && text[0] == '?'; }

// Codes from another process index the dictionary without checks later.
void checkCodes(const std::vector<std::int32_t>& codes, std::size_t entries) {
  for (const std::int32_t c : codes)
    if (c < 0 || static_cast<std::size_t>(c) >= entries) throw std::invalid_argument("a packed code out of range");
}

}  // namespace

// ---- attnominal

void attnominal::reserve(unsigned n) { codes.reserve(n); }

std::int32_t attnominal::addEntry(std::string_view text) {
  const auto code = static_cast<std::int32_t>(dict.size());
  dict.emplace_back(text);
  lookup.insert(text, code, dict);
  return code;
}

std::int32_t attnominal::encode(std::string_view text) {
  if (const std::int32_t known = lookup.find(text, dict); known >= 0) return known;
  const std::int32_t code = addEntry(text);
  if (isMissing(text)) missingCode = code;
  return code;
}

void attnominal::addValue(std::string_view text) { codes.push_back(encode(text)); }

std::int32_t attnominal::decodeNominal(std::string_view text) const {
  if (isMissing(text)) return missingCode;
  if (const std::int32_t known = lookup.find(text, dict); known >= 0) return known;
  throw orv::util::error("cannot decode" + std::string(text));
}

std::unique_ptr<attribute> attnominal::emptyCopy() const { return std::make_unique<attnominal>(name); }

void attnominal::appendRows(attribute& part) {
  auto& from = dynamic_cast<attnominal&>(part);
  if (dict.empty()) {
    // The part's dictionary and index are what a pass over its rows builds
    // here: take them over rather than build them again.
    dict = std::move(from.dict);
    lookup = std::move(from.lookup);
    missingCode = from.missingCode;
    codes = std::move(from.codes);
    return;
  }
  std::vector<std::int32_t> map(from.dict.size());
  // Room for every text of the part, as if all were new.
  dict.reserve(dict.size() + from.dict.size());
  lookup.reserve(dict.size() + from.dict.size());
  bool same = true;
  for (std::size_t code = 0; code < from.dict.size(); ++code) {
    map[code] = encode(from.dict[code]);
    same = same && map[code] == static_cast<std::int32_t>(code);
  }
  // Columns with few values usually meet them in the same order in every
  // part: then the codes need no rewriting.
  if (same) {
    codes.insert(codes.end(), from.codes.begin(), from.codes.end());
  } else {
    codes.reserve(codes.size() + from.codes.size());
    for (const std::int32_t code : from.codes) codes.push_back(map[static_cast<std::size_t>(code)]);
  }
  from.codes = {};
}

void attnominal::packPart(orv::util::byte_writer& out) const {
  out.putArray(std::span<const std::int32_t>(codes));
  out.put<std::uint64_t>(dict.size());
  for (const std::string& text : dict) out.putText(text);
  out.put(missingCode);
}

void attnominal::unpackPart(orv::util::byte_reader& in) {
  codes = in.getArray<std::int32_t>();
  const std::size_t entries = in.count<std::uint64_t>();  // each text has at least its length
  dict.clear();
  lookup = textindex();
  lookup.reserve(entries);
  dict.reserve(entries);
  for (std::size_t i = 0; i < entries; ++i) addEntry(in.getText());
  missingCode = in.get<std::int32_t>();
  checkCodes(codes, dict.size());
  if (missingCode < -1 || missingCode >= static_cast<std::int32_t>(dict.size()) ||
      (missingCode >= 0 && !isMissing(dict[static_cast<std::size_t>(missingCode)])))
    throw std::invalid_argument("a packed missing code out of place");
}

bool attnominal::hasMissing() const {
  return std::find(codes.begin(), codes.end(), missingCode) != codes.end();
}

int attnominal::evalCond(unsigned row, int op, condvalue value) const {
  const std::int32_t a = codes[row];
  const std::int32_t b = value.code();
  if (a == missingCode || b == missingCode) return -1;
  if (op == opEqual) return a == b;
  if (op == opNotEqual) return a != b;
  throw orv::util::error("op not valid");
}

std::string attnominal::toMetadata() const {
  std::string line = name + ",nominal";
  for (std::size_t code = 0; code < dict.size(); ++code) {
    if (static_cast<std::int32_t>(code) == missingCode) continue;
    line += ',';
    line += dict[code];
  }
  return line;
}

// ---- attordinal

void attordinal::addDeclared(std::string_view text) { maxCode = static_cast<std::uint32_t>(addEntry(text)); }

void attordinal::closeScale() { missingCode = addEntry("?"); }

void attordinal::addValue(std::string_view text) {
  const std::int32_t known = lookup.find(text, dict);
  if (known < 0) throw orv::util::error("unknown ordinal value " + std::string(text));
  codes.push_back(known);
}

std::unique_ptr<attribute> attordinal::emptyCopy() const {
  auto copy = std::make_unique<attordinal>(name);
  copy->dict = dict;
  copy->lookup = lookup;
  copy->missingCode = missingCode;
  copy->maxCode = maxCode;
  return copy;
}

void attordinal::appendRows(attribute& part) {
  auto& from = dynamic_cast<attordinal&>(part);
  assert(from.dict.size() == dict.size());
  if (codes.empty()) {
    codes = std::move(from.codes);
    return;
  }
  codes.insert(codes.end(), from.codes.begin(), from.codes.end());
  from.codes = {};
}

void attordinal::packPart(orv::util::byte_writer& out) const { out.putArray(std::span<const std::int32_t>(codes)); }

void attordinal::unpackPart(orv::util::byte_reader& in) {
  codes = in.getArray<std::int32_t>();
  checkCodes(codes, dict.size());
}

int attordinal::evalCond(unsigned row, int op, condvalue value) const {
  const std::int32_t a = codes[row];
  const std::int32_t b = value.code();
  if (a == missingCode || b == missingCode) return -1;
  // Codes follow the declared order, compared as unsigned.
  return compareByOp(op, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
}

float attordinal::distance(unsigned row1, unsigned row2) const {
  const std::int32_t a = codes[row1];
  const std::int32_t b = codes[row2];
  const bool missingA = a == missingCode;
  const bool missingB = b == missingCode;
  // A one-value scale has no length to divide by: present values are equal.
  if (maxCode == 0) return static_cast<float>(missingA | missingB);
  const float m = static_cast<float>(maxCode);
  if (missingA | missingB) {
    if (missingA & missingB) return 1.0f;
    const float r = static_cast<float>(static_cast<std::uint32_t>(missingA ? b : a)) / m;
    return std::max(r, 1.0f - r);
  }
  const auto x = static_cast<std::uint32_t>(a);
  const auto y = static_cast<std::uint32_t>(b);
  return static_cast<float>(x > y ? x - y : y - x) / m;
}

std::string attordinal::toMetadata() const {
  std::string line = name + ",ordinal";
  // The last entry is the "?" that closed the scale.
  for (std::size_t code = 0; code + 1 < dict.size(); ++code) {
    line += ',';
    line += dict[code];
  }
  return line;
}

// ---- attignore

std::unique_ptr<attribute> attignore::emptyCopy() const { return std::make_unique<attignore>(name); }

bool attignore::hasMissing() const { throw orv::util::error("attribute type ignore"); }

int attignore::evalCond(unsigned, int, condvalue) const { throw orv::util::error("attribute type ignore"); }

float attignore::distance(unsigned, unsigned) const { throw orv::util::error("attribute type ignore"); }

std::string attignore::toMetadata() const { return name + ",ignore"; }

}  // namespace kel
