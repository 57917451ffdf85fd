// What the analysis will make of a selection, checked before it runs: the
// items of the protected-group and outcome conditions, the measured columns
// and the replacement class value, against the columns' kinds and the values
// the data really holds. Each check answers the problem in words, or an empty
// text when there is none; the importer and the input check put their own
// place (option, or file, row and column) in front of it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text.hpp"

namespace kelimport {

enum class kind { nominal = 1, ordinal = 2, continuous = 3, ignore = 4 };
const char* kind_name(kind k);

// A condition item cut as the select-options reader cuts it: the name runs
// to the first '<', '=' or '>', the operator is "<", "<=", "<>", "=", ">=" or
// ">" (only the first two characters are looked at), the value is the rest.
struct item_parts {
  bool has_operator = false;
  std::string name;
  std::string op;
  std::string value;
};
item_parts split_item(std::string_view text);

struct table_model {
  std::vector<std::string> names;
  std::vector<kind> kinds;
  std::vector<std::vector<std::string>> scales;  // the declared values of ordinal columns
  std::vector<const value_set*> seen;            // values found in the data; null when not gathered

  // Sets up the name index; call once the names are complete.
  void index_names();
  // The first column with the name, or -1.
  int find(std::string_view name) const;
  // "no column named "x" (nearest: ...)"
  std::string unknown_column(std::string_view name) const;

 private:
  std::unordered_map<std::string, int> index_;
};

// An item of the protected-group condition, or with outcome the class
// condition. The answer does not repeat the item.
std::string item_problem(const table_model& t, std::string_view item, bool outcome);
std::string measure_problem(const table_model& t, std::string_view name);
// The replacement class value of prevention mode, for the class column at
// class_column; separator is the data file's.
std::string pre_value_problem(const table_model& t, int class_column, std::string_view value, char separator);

}  // namespace kelimport
