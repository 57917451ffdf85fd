// The select-options file, four positional lines: the a-cond (items that mark
// the protected group), the c-cond (one item on the class attribute), the
// measured attributes, and an optional replacement class value.
#include <cstring>

#include "analysis/table/dataset.hpp"
#include "io/stream.hpp"
#include "util/error.hpp"
#include "util/tokenizer.hpp"

namespace kel {

int dataset::lookupAttribute(std::string_view name) const {
  const auto found = index.find(std::string(name));
  return found == index.end() ? -1 : found->second;
}

item dataset::parseItem(const std::string& text) const {
  const std::size_t at = text.find_first_of("<=>");
  // Without an operator there is no value to compare with.
  if (at == std::string::npos) throw orv::util::error("not an item" + text);
  const char first = text[at];
  const char second = at + 1 < text.size() ? text[at + 1] : '\0';
  int op;
  std::size_t width = 1;
  if (first == '<') {
    op = second == '=' ? opLessEqual : second == '>' ? opNotEqual : opLess;
    if (op != opLess) width = 2;
  } else if (first == '>') {
    op = second == '=' ? opGreaterEqual : opGreater;
    if (op == opGreaterEqual) width = 2;
  } else {
    op = opEqual;
  }
  const int position = lookupAttribute(std::string_view(text).substr(0, at));
  if (position < 0) throw orv::util::error("not an item" + text);
  attribute& att = *(*atts)[static_cast<std::size_t>(position)];
  if (att.getType() == kindNominal && op != opEqual && op != opNotEqual) throw orv::util::error("not an item" + text);
  const std::string_view value = std::string_view(text).substr(at + width);
  item result;
  result.att = position;
  result.op = op;
  if (att.getType() == kindContinuous)
    result.value = att.decodeContinuous(value);
  else
    result.value = att.decodeNominal(value);
  return result;
}

std::vector<item> dataset::parseItems(const std::string& line, char separator) const {
  std::vector<item> items;
  const std::size_t fields = fieldCount(line, separator);
  orv::util::tokenizer t(line.c_str(), separator);
  for (std::size_t i = 0; i < fields; ++i) items.push_back(parseItem(t.next_token(separator)));
  return items;
}

void dataset::readSelect(orv::inpout::stream& in) {
  if (!in.read_line()) throw orv::util::error("bad a-cond");
  acond = std::make_unique<std::vector<item>>(parseItems(in.line(), ','));

  if (!in.read_line()) throw orv::util::error("bad c-cond");
  ccond = parseItem(in.line());
  classAtt = (*atts)[static_cast<std::size_t>(ccond.att)].get();

  if (!in.read_line()) throw orv::util::error("bad measure_atts");
  const std::string line = in.line();
  measureAtts.clear();
  // An empty list would make every distance 0/0.
  const std::size_t fields = fieldCount(line, ',');
  if (fields == 0) throw orv::util::error("bad measure_atts: no attribute to measure");
  orv::util::tokenizer t(line.c_str(), ',');
  for (std::size_t i = 0; i < fields; ++i) {
    const int position = lookupAttribute(t.next_token(','));
    if (position < 0) throw orv::util::error("not an attribute list" + line);
    measureAtts.push_back((*atts)[static_cast<std::size_t>(position)].get());
  }

  if (in.read_line()) preValue = in.line();
}

int dataset::evalACond(unsigned row) const {
  int result = 1;
  for (const item& it : *acond) {
    const int r = (*atts)[static_cast<std::size_t>(it.att)]->evalCond(row, it.op, it.value);
    if (r == 0) return 0;
    if (r == -1) result = -1;
  }
  return result;
}

}  // namespace kel
