// The pieces of kel-import: the CSV reader (over in-memory text handed out a
// few bytes at a time, so that every buffer boundary is crossed), the number
// and spelling rules, the selection checks and the command line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "csv.hpp"
#include "io/ioconn.hpp"
#include "options.hpp"
#include "rules.hpp"
#include "text.hpp"
#include "util/error.hpp"

namespace {

using namespace kelimport;
using records = std::vector<std::vector<std::string>>;

// In-memory text served at most `chunk` bytes per read, as a pipe may.
class trickle : public orv::inpout::ioconn {
 public:
  trickle(std::string text, std::size_t chunk) : text_(std::move(text)), chunk_(chunk) {}
  void close() override {}
  bool is_open() const override { return true; }
  int mode() const override { return orv::inpout::READ; }
  int write(const void*, int) override { return -1; }
  int read(void* buf, int n) override {
    const std::size_t count = std::min({static_cast<std::size_t>(n), chunk_, text_.size() - at_});
    std::memcpy(buf, text_.data() + at_, count);
    at_ += count;
    return static_cast<int>(count);
  }

 private:
  std::string text_;
  std::size_t chunk_;
  std::size_t at_ = 0;
};

struct read_result {
  records rows;
  std::vector<std::string> places;  // where() of each record
  std::string error;
};

read_result read_csv(const std::string& text, std::size_t chunk, char separator = ',') {
  read_result r;
  csv_reader reader(std::make_unique<trickle>(text, chunk), "t.csv", separator);
  std::vector<std::string> fields;
  try {
    while (reader.next(fields)) {
      r.rows.push_back(reader.blank() ? std::vector<std::string>{"(blank)"} : fields);
      r.places.push_back(reader.where());
    }
  } catch (const orv::util::error& e) {
    r.error = e.what();
  }
  return r;
}

TEST(csv_reader, records_as_rfc_4180_writes_them) {
  const struct {
    const char* name;
    std::string text;
    char separator;
    records want;
  } cases[] = {
      {"plain, LF", "a,b\n1,2\n", ',', {{"a", "b"}, {"1", "2"}}},
      {"CRLF and no last line end", "a,b\r\n1,2", ',', {{"a", "b"}, {"1", "2"}}},
      {"lone CR ends a line", "a,b\r1,2\r", ',', {{"a", "b"}, {"1", "2"}}},
      {"byte-order mark", "\xEF\xBB\xBF" "a,b\n1,2\n", ',', {{"a", "b"}, {"1", "2"}}},
      {"mark only at the start", "a\n\xEF\xBB\xBF" "1\n", ',', {{"a"}, {"\xEF\xBB\xBF" "1"}}},
      {"quoted separator and doubled quotes", "\"x,y\",\"say \"\"hi\"\"\",\"\"\n", ',',
       {{"x,y", "say \"hi\"", ""}}},
      {"line ends inside quotes kept", "\"a\nb\",\"c\r\nd\",e\n", ',', {{"a\nb", "c\r\nd", "e"}}},
      {"trailing separator is an empty field", "a,b,\n,\n", ',', {{"a", "b", ""}, {"", ""}}},
      {"blank line", "a,b\n\n1,2\n", ',', {{"a", "b"}, {"(blank)"}, {"1", "2"}}},
      {"an empty quoted field is no blank line", "\"\"\n", ',', {{""}}},
      {"quote inside a plain field is a character", "5'10\",a\"b\n", ',', {{"5'10\"", "a\"b"}}},
      {"blanks are kept", " a , \"b\"\n", ',', {{" a ", " \"b\""}}},
      {"semicolons", "a;\"b;c\";d,e\n", ';', {{"a", "b;c", "d,e"}}},
      {"tabs", "a\tb\n", '\t', {{"a", "b"}}},
      {"a separator byte above 0x7f", "a\xa7\"b\"\xa7" "c\n", '\xa7', {{"a", "b", "c"}}},
      {"empty input", "", ',', {}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      const read_result r = read_csv(c.text, chunk, c.separator);
      EXPECT_EQ(r.error, "");
      EXPECT_EQ(r.rows, c.want);
    }
  }
}

TEST(csv_reader, rows_lines_and_errors_are_named) {
  // Row 2 spans lines 2 to 4, so row 3 starts on line 5.
  const read_result r = read_csv("a,b\n\"x\ny\r\nz\",1\nc,d\n", 3);
  EXPECT_EQ(r.places, (std::vector<std::string>{"t.csv, row 1", "t.csv, row 2", "t.csv, row 3 (line 5)"}));

  EXPECT_EQ(read_csv("a,b\n1,\"2\"x\n", 1).error, "t.csv, row 2, column 2: text after the closing quote of a quoted field");
  EXPECT_EQ(read_csv("a,b\n1,\"2\n3\n", 1).error, "t.csv, row 2, column 2: the quote opened is never closed");
  EXPECT_EQ(read_csv("a,b\n\"1\n\",\"2\n3\n", 1).error,
            "t.csv, row 2, column 2: the quote opened on line 3 is never closed");
}

TEST(text, decimal_numbers) {
  // FLT_MAX is 3.40282346639e38; a decimal rounds to infinity from
  // FLT_MAX + half its last unit, 3.40282356779733661637539395458142568448e38.
  for (const char* yes : {"0", "12", "-3.5", "+.5", "5.", "1e5", "1E-3", "-0.0e+0", "3.4028235e38",
                          "3.40282356e38", "1e-50", "000000000000000000000000000000000000000001"})
    EXPECT_TRUE(is_decimal_number(yes)) << yes;
  // 1.17549435e-38 is the smallest normal float, which marks a missing value.
  for (const char* no : {"", ".", "-", "+", "e5", "1e", "1e+", "0x10", "inf", "-inf", "nan", " 1", "1 ", "1,5",
                         "1.2.3", "12abc", "3.4028236e38", "1e39", "1000000000000000000000000000000000000000",
                         "1.17549435e-38", "\xEF\xBB\xBF" "1"})
    EXPECT_FALSE(is_decimal_number(no)) << no;
}

TEST(text, what_a_continuous_column_reads_trimming_and_quoting) {
  EXPECT_EQ(read_as("12abc"), "read as 12");
  EXPECT_EQ(read_as("twenty-seven"), "read as 0");
  EXPECT_EQ(read_as(""), "read as 0");
  EXPECT_EQ(read_as("\xEF\xBB\xBF" "12"), "read as 0");
  EXPECT_EQ(read_as("0x10"), "read as 16");
  EXPECT_EQ(read_as("1.17549435e-38"), "read as missing");
  EXPECT_EQ(read_as("1e39"), "not finite: the analysis stops here");
  EXPECT_EQ(read_as("nan"), "not finite: the analysis stops here");

  EXPECT_EQ(trim_spaces("  a b \t "), "a b \t");
  EXPECT_EQ(trim_spaces("   "), "");

  EXPECT_EQ(quote_text("a\"b\\c\t\r\n\x1b"), "\"a\\\"b\\\\c\\t\\r\\n\\x1b\"");
  EXPECT_EQ(quote_text(std::string(100, 'x')), "\"" + std::string(80, 'x') + "...\"");
}

TEST(text, nearest_spellings) {
  const std::vector<std::string> values{"Male", "Female", "male", "other"};
  // A case change costs less than another edit.
  EXPECT_EQ(nearest("female", values), "\"Female\", \"male\", \"Male\"");
  EXPECT_EQ(nearest("femal", values, 1), "\"Female\"");
  EXPECT_EQ(nearest("x", {}), "");
}

TEST(rules, items_are_cut_as_the_select_reader_cuts_them) {
  const struct {
    const char* text;
    bool has_operator;
    const char* name;
    const char* op;
    const char* value;
  } cases[] = {
      {"class=<=50K", true, "class", "=", "<=50K"}, {"x<=>5", true, "x", "<=", ">5"},
      {"a=<b", true, "a", "=", "<b"},              {"sex<>f", true, "sex", "<>", "f"},
      {"age>=30", true, "age", ">=", "30"},        {"age>30", true, "age", ">", "30"},
      {"age<30", true, "age", "<", "30"},          {"sex", false, "sex", "", ""},
      {"sex = f", true, "sex ", "=", " f"},
  };
  for (const auto& c : cases) {
    const item_parts p = split_item(c.text);
    EXPECT_EQ(p.has_operator, c.has_operator) << c.text;
    EXPECT_EQ(p.name, c.name) << c.text;
    EXPECT_EQ(p.op, c.op) << c.text;
    EXPECT_EQ(p.value, c.value) << c.text;
  }
}

TEST(rules, selection_problems) {
  value_set sex, grade, decision;
  for (const char* v : {"female", "male"}) sex.add(v);
  for (const char* v : {"low", "high"}) grade.add(v);
  for (const char* v : {"hired", "rejected"}) decision.add(v);
  table_model t;
  t.names = {"id", "age", "sex", "grade", "decision"};
  t.kinds = {kind::ignore, kind::continuous, kind::nominal, kind::ordinal, kind::nominal};
  t.scales = {{}, {}, {}, {"low", "mid", "high"}, {}};
  t.seen = {nullptr, nullptr, &sex, &grade, &decision};
  t.index_names();

  const struct {
    const char* item;
    bool outcome;
    const char* problem;
  } items[] = {
      {"sex=female", false, ""},
      {"age<30.5", false, ""},
      {"grade<mid", false, ""},  // declared, though no row holds it
      {"decision<>hired", true, ""},
      {"sex", false, "no comparison operator (<, <=, =, <>, >=, >)"},
      // Weighted edits from "gender": grade 6 (three changes), id, age and sex 10 each, in column order.
      {"gender=female", false, "no column named \"gender\" (nearest: \"grade\", \"id\", \"age\")"},
      {"id=3", false, "column id is ignored and cannot be compared"},
      {"grade=high", true, "the outcome column grade is ordinal; only a nominal or continuous outcome can be tested"},
      {"sex<female", false, "the nominal column sex takes only = and <>"},
      {"sex=?", false, "the missing value ? never decides a comparison"},
      {"age<thirty", false, "\"thirty\" is not a number"},
      {"grade>=top", false, "\"top\" is not on the ordinal scale of grade (nearest: \"low\", \"mid\", \"high\")"},
      {"grade=mid", false, "\"mid\" never occurs in column grade (nearest: \"low\", \"high\")"},
      {"sex=Female", false, "\"Female\" never occurs in column sex (nearest: \"female\", \"male\")"},
  };
  for (const auto& c : items) EXPECT_EQ(item_problem(t, c.item, c.outcome), c.problem) << c.item;

  EXPECT_EQ(measure_problem(t, "age"), "");
  EXPECT_EQ(measure_problem(t, "id"), "column id is ignored and cannot be measured");
  // From "agee": age 2, sex 6, id and grade 8.
  EXPECT_EQ(measure_problem(t, "agee"), "no column named \"agee\" (nearest: \"age\", \"sex\", \"id\")");

  const int cls = 4;
  EXPECT_EQ(pre_value_problem(t, cls, "hired", ','), "");
  EXPECT_EQ(pre_value_problem(t, cls, "", ','), "the replacement class value is empty");
  EXPECT_EQ(pre_value_problem(t, cls, "a,b", ';'),
            "the replacement class value \"a,b\" holds a comma, which splits the output row");
  EXPECT_EQ(pre_value_problem(t, cls, "a;b", ';'), "the replacement class value \"a;b\" holds the separator ';'");
  EXPECT_EQ(pre_value_problem(t, cls, "hired\r", ','),
            "the replacement class value \"hired\\r\" ends in a carriage return");
  EXPECT_EQ(pre_value_problem(t, cls, "Hired", ','),
            "the replacement class value \"Hired\" never occurs in column decision (nearest: \"hired\", \"rejected\")");
  EXPECT_EQ(pre_value_problem(t, 1, "1.5", ','), "");
  EXPECT_EQ(pre_value_problem(t, 1, "high", ','), "the replacement class value \"high\" is not a number");
}

std::vector<std::string> argv_of(std::vector<std::string> words) {
  words.insert(words.begin(), "kel-import");
  return words;
}

TEST(command_line, accepted) {
  auto c = parse_command_line(argv_of({}));
  EXPECT_EQ(c.what, command_line::action::usage);

  c = parse_command_line(argv_of({"t.csv", "--out", "p", "--sep", ";", "--missing", ",NA", "--ordinal",
                                   "grade=low, mid ,high", "--nominal", "zip,code", "--continuous", "x",
                                   "--ignore", "id", "--id", "row", "--protected", "sex=f,age<30", "--protected",
                                   "city=x", "--outcome", "class=a,b", "--measure", "age", "--pre-value", "good",
                                   "--replace-sep", "_"}));
  ASSERT_EQ(c.what, command_line::action::import) << c.message;
  const import_options& o = c.import;
  EXPECT_EQ(o.csv, "t.csv");
  EXPECT_EQ(o.out, "p");
  EXPECT_EQ(o.separator, ';');
  EXPECT_EQ(o.missing, (std::vector<std::string>{"", "NA"}));
  ASSERT_EQ(o.ordinal.size(), 1u);
  EXPECT_EQ(o.ordinal[0].second, (std::vector<std::string>{"low", "mid", "high"}));
  EXPECT_EQ(o.nominal, (std::vector<std::string>{"zip", "code"}));
  EXPECT_EQ(o.protected_items, (std::vector<std::string>{"sex=f", "age<30", "city=x"}));
  EXPECT_EQ(o.outcome, "class=a,b");  // the class condition is one item, commas and all
  EXPECT_TRUE(o.replace);
  EXPECT_EQ(o.replacement, '_');

  c = parse_command_line(argv_of({"--db", "x.db", "--query", "SELECT * FROM t", "--out", "p"}));
  EXPECT_EQ(c.what, command_line::action::import);
  c = parse_command_line(argv_of({"--check", "m", "d", "s", "--sep", ";"}));
  ASSERT_EQ(c.what, command_line::action::check);
  EXPECT_EQ(c.data, "d");
  EXPECT_EQ(c.import.separator, ';');
}

TEST(command_line, rejected) {
  const struct {
    std::vector<std::string> words;
    const char* message;
  } cases[] = {
      {{"t.csv"}, "--out PREFIX is needed"},
      {{"a.csv", "b.csv", "--out", "p"}, "one CSV file only: b.csv is one too many"},
      {{"t.csv", "--out", "p", "-sep", ";"}, "Unknown option: -sep"},
      {{"t.csv", "--out", "p", "--sep", ";;"}, "--sep needs a single character"},
      {{"t.csv", "--out", "p", "--sep", "?"}, "--sep cannot be the missing mark ? or a quote"},
      {{"t.csv", "--out", "p", "--replace-sep", ","}, "--replace-sep must differ from --sep"},
      {{"t.csv", "--out", "p", "--ordinal", "grade"}, "--ordinal needs COLUMN=v1,v2,... (lowest first)"},
      {{"t.csv", "--out", "p", "--ordinal", "g=low,low"}, "--ordinal g: the value low is given twice"},
      {{"t.csv", "--out", "p", "--nominal", "a", "--ignore", "b,a"}, "column a is given two kinds (--nominal and --ignore)"},
      {{"t.csv", "--out", "p", "--ignore", "g", "--ordinal", "g=a,b"}, "column g is given two kinds (--ignore and --ordinal)"},
      {{"t.csv", "--out", "p", "--protected", "sex=f"}, "--protected and --outcome go together"},
      {{"t.csv", "--out", "p", "--protected", "sex=f,", "--outcome", "c=1"}, "--protected: an empty item"},
      {{"t.csv", "--out", "p", "--measure", "age"}, "--measure and --pre-value need --protected and --outcome"},
      {{"t.csv", "--db", "x.db", "--query", "q", "--out", "p"}, "give either a CSV file or --db and --query, not both"},
      {{"--check", "m", "d"}, "--check needs the metadata, data and select-options files"},
      {{"--check", "m", "d", "s", "--out", "p"}, "--check takes only --sep besides the three input files"},
  };
  for (const auto& c : cases) {
    const command_line r = parse_command_line(argv_of(c.words));
    EXPECT_EQ(r.what, command_line::action::reject) << c.message;
    EXPECT_EQ(r.message, c.message);
  }
}

}  // namespace
