#include "rules.hpp"

#include <algorithm>

namespace kelimport {

const char* kind_name(kind k) {
  switch (k) {
    case kind::nominal: return "nominal";
    case kind::ordinal: return "ordinal";
    case kind::continuous: return "continuous";
    case kind::ignore: return "ignore";
  }
  return "?";
}

item_parts split_item(std::string_view text) {
  const std::size_t at = text.find_first_of("<=>");
  if (at == std::string_view::npos) return {false, std::string(text), {}, {}};
  const char second = at + 1 < text.size() ? text[at + 1] : '\0';
  std::size_t width = 1;
  if ((text[at] == '<' && (second == '=' || second == '>')) || (text[at] == '>' && second == '=')) width = 2;
  return {true, std::string(text.substr(0, at)), std::string(text.substr(at, width)),
          std::string(text.substr(at + width))};
}

void table_model::index_names() {
  index_.clear();
  for (std::size_t i = 0; i < names.size(); ++i) index_.emplace(names[i], static_cast<int>(i));
}

int table_model::find(std::string_view name) const {
  const auto found = index_.find(std::string(name));
  return found == index_.end() ? -1 : found->second;
}

namespace {

std::string with_nearest(std::string text, const std::vector<std::string>& candidates, std::string_view wanted) {
  const std::string near = nearest(std::string(wanted), candidates);
  if (!near.empty()) text += " (nearest: " + near + ")";
  return text;
}

bool equality(const std::string& op) { return op == "=" || op == "<>"; }

}  // namespace

std::string table_model::unknown_column(std::string_view name) const {
  return with_nearest("no column named " + quote_text(name), names, name);
}

std::string item_problem(const table_model& t, std::string_view item, bool outcome) {
  const item_parts p = split_item(item);
  if (!p.has_operator) return "no comparison operator (<, <=, =, <>, >=, >)";
  const int at = t.find(p.name);
  if (at < 0) return t.unknown_column(p.name);
  const auto c = static_cast<std::size_t>(at);
  const std::string& name = t.names[c];
  const kind k = t.kinds[c];
  if (k == kind::ignore) return "column " + name + " is ignored and cannot be compared";
  if (outcome && k == kind::ordinal)
    return "the outcome column " + name + " is ordinal; only a nominal or continuous outcome can be tested";
  if (k == kind::nominal && !equality(p.op)) return "the nominal column " + name + " takes only = and <>";
  if (p.value == "?") return "the missing value ? never decides a comparison";
  if (k == kind::continuous)
    return is_decimal_number(p.value) ? std::string() : quote_text(p.value) + " is not a number";
  if (k == kind::ordinal) {
    const auto& scale = t.scales[c];
    if (std::find(scale.begin(), scale.end(), p.value) == scale.end())
      return with_nearest(quote_text(p.value) + " is not on the ordinal scale of " + name, scale, p.value);
    if (!equality(p.op)) return {};
  }
  const value_set* seen = t.seen[c];
  if (seen != nullptr && !seen->contains(p.value))
    return with_nearest(quote_text(p.value) + " never occurs in column " + name, seen->values(), p.value);
  return {};
}

std::string measure_problem(const table_model& t, std::string_view name) {
  const int at = t.find(name);
  if (at < 0) return t.unknown_column(name);
  if (t.kinds[static_cast<std::size_t>(at)] == kind::ignore)
    return "column " + std::string(name) + " is ignored and cannot be measured";
  return {};
}

std::string pre_value_problem(const table_model& t, int class_column, std::string_view value, char separator) {
  if (value.empty()) return "the replacement class value is empty";
  if (value.find(',') != std::string_view::npos)
    return "the replacement class value " + quote_text(value) + " holds a comma, which splits the output row";
  if (value.find(separator) != std::string_view::npos)
    return "the replacement class value " + quote_text(value) + " holds the separator '" + separator + "'";
  if (value.back() == '\r') return "the replacement class value " + quote_text(value) + " ends in a carriage return";
  if (class_column < 0) return {};
  const auto c = static_cast<std::size_t>(class_column);
  if (t.kinds[c] == kind::continuous)
    return is_decimal_number(value) ? std::string()
                                    : "the replacement class value " + quote_text(value) + " is not a number";
  const value_set* seen = t.seen[c];
  if (seen != nullptr && !seen->contains(value))
    return with_nearest("the replacement class value " + quote_text(value) + " never occurs in column " + t.names[c],
                        seen->values(), value);
  return {};
}

}  // namespace kelimport
