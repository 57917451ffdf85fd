// Whole runs of kel-import: small tables written for each case, the exact
// exit status, console and error lines, every file written byte for byte,
// and, for every run that must fail, the proof that no output was left or
// changed. The imported inputs are then given to kelcmd.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.hpp"

namespace {

using namespace importtest;

// A spreadsheet export: byte-order mark, CRLF, quoted text, a doubled quote,
// numbers left bare, missing values spelt four ways, a blank-padded number.
const std::string people =
    "\xEF\xBB\xBF\"id\",\"age\",\"sex\",\"city\",\"zip\",\"grade\",\"note\",\"decision\"\r\n"
    "1,30,\"female\",\"Boston\",\"02139\",\"low\",\"say \"\"hi\"\"\",\"rejected\"\r\n"
    "2,NA,\"male\",\"Boston\",\"02140\",\"high\",\"\",\"hired\"\r\n"
    "3,41.5,\"female\",\"Chicago\",\"10001\",\"mid\",\"N/A\",\"rejected\"\r\n"
    "4,52,\"male\",\"Chicago\",\"60601\",?,\"ok\",\"hired\"\r\n"
    "5,19,\"female\",\"Boston\",\"60602\",\"low\",\"null\",\"hired\"\r\n"
    "6, 27 ,\"male\",\"Chicago\",\"60603\",\"mid\",\"NaN\",\"rejected\"\r\n";

const std::string people_data =
    "1,30,female,Boston,02139,low,say \"hi\",rejected\n"
    "2,?,male,Boston,02140,high,?,hired\n"
    "3,41.5,female,Chicago,10001,mid,?,rejected\n"
    "4,52,male,Chicago,60601,?,ok,hired\n"
    "5,19,female,Boston,60602,low,?,hired\n"
    "6, 27 ,male,Chicago,60603,mid,?,rejected\n";

const std::vector<std::string> people_options{"people.csv", "--out", "p", "--ignore", "id", "--ordinal",
                                              "grade=low,mid,high", "--nominal", "zip", "--protected",
                                              "sex=female", "--outcome", "decision=rejected", "--pre-value",
                                              "hired"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct import_case {
  const char* name;
  files inputs;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
  files written;  // for a failing run: nothing but the inputs is left
};

const char* const small = "a,b,c\n1,x,yes\n2,y,no\n";

TEST(kel_import, runs) {
  const std::string people_meta =
      "id,ignore\nage,continuous\nsex,nominal\ncity,nominal\nzip,nominal\ngrade,ordinal,low,mid,high\n"
      "note,nominal\ndecision,nominal\n";
  const std::string people_out =
      "read 6 rows of 8 columns from people.csv\n"
      "  id: ignore (--ignore)\n"
      "  age: continuous, 1 missing\n"
      "  sex: nominal\n"
      "  city: nominal\n"
      "  zip: nominal (--nominal)\n"
      "  grade: ordinal, 3 values (--ordinal), 1 missing\n"
      "  note: nominal, 4 missing\n"
      "  decision: nominal\n"
      "wrote p.meta, p.csv, p.sel\n"
      "next: kelcmd p.meta p.csv p.sel p-out.csv\n";

  const import_case cases[] = {
      {"a spreadsheet export with every kind of override",
       {{"people.csv", people}},
       people_options,
       0,
       people_out,
       "",
       {{"p.meta", people_meta},
        {"p.csv", people_data},
        {"p.sel", "sex=female\ndecision=rejected\nage,city,zip,grade,note\nhired\n"}}},
      {"the same, gzipped and read by name",
       {{"people.csv.gz", people}},
       plus({"people.csv.gz"}, std::vector<std::string>(people_options.begin() + 1, people_options.end())),
       0,
       "read 6 rows of 8 columns from people.csv.gz\n" + people_out.substr(people_out.find('\n') + 1),
       "",
       {{"p.meta", people_meta},
        {"p.csv", people_data},
        {"p.sel", "sex=female\ndecision=rejected\nage,city,zip,grade,note\nhired\n"}}},
      {"inferred kinds, with warnings for a row number and a number column holding text",
       {{"t.csv", "n,zip,age,city\n1,02139,30,Boston\n2,02140,twenty-seven,Boston\n3,10001,?,\n"}},
       {"t.csv", "--out", "p"},
       0,
       "read 3 rows of 4 columns from t.csv\n  n: continuous\n  zip: continuous\n  age: nominal, 1 missing\n"
       "  city: nominal, 1 missing\nwrote p.meta, p.csv\n",
       "warning: column n grows on every row, like a row number; if it identifies rows, give --ignore n\n"
       "warning: column zip grows on every row, like a row number; if it identifies rows, give --ignore zip\n"
       "warning: column age is read as nominal: t.csv, row 3 holds \"twenty-seven\", which is not a number "
       "(give --continuous age to make that an error)\n",
       {{"p.meta", "n,continuous\nzip,continuous\nage,nominal\ncity,nominal\n"},
        {"p.csv", "1,02139,30,Boston\n2,02140,twenty-seven,Boston\n3,10001,?,?\n"}}},
      {"a row-id column, a separator of its own and missing spellings of one's own",
       {{"t.csv", "a,b\nx,-\n\"y,z\",NA\n"}},
       {"t.csv", "--out", "p", "--id", "row", "--sep", ";", "--missing", "-"},
       0,
       "read 2 rows of 2 columns from t.csv\n  row: ignore (--id, row numbers)\n  a: nominal\n"
       "  b: nominal, 1 missing\nwrote p.meta, p.csv\n",
       "",
       {{"p.meta", "row,ignore\na,nominal\nb,nominal\n"}, {"p.csv", "1;x;?\n2;y,z;NA\n"}}},
      {"--replace-sep for separators and line ends inside fields",
       {{"t.csv", "a,b\n\"x,y\",\"1\r\n2\"\n"}},
       {"t.csv", "--out", "p", "--replace-sep", "_"},
       0,
       "read 1 row of 2 columns from t.csv\n  a: nominal\n  b: nominal\nwrote p.meta, p.csv\n",
       "",
       {{"p.meta", "a,nominal\nb,nominal\n"}, {"p.csv", "x_y,1_2\n"}}},
      {"blank lines are skipped, except in a table of one column",
       {{"t.csv", "a,b\n\n1,2\n\n"}, {"u.csv", "a\n1\n\n2\n"}},
       {"u.csv", "--out", "p"},
       0,
       "read 3 rows of 1 column from u.csv\n  a: continuous, 1 missing\nwrote p.meta, p.csv\n",
       "",
       {{"p.meta", "a,continuous\n"}, {"p.csv", "1\n?\n2\n"}}},
      {"the default measure leaves out the protected, outcome and ignored columns",
       {{"t.csv", "id,sex,age,grade,out\n1,f,30,low,yes\n2,m,40,high,no\n4,m,35,high,yes\n"}},
       {"t.csv", "--out", "p", "--ignore", "id", "--ordinal", "grade=low,high", "--protected", "sex=f",
        "--protected", "grade<=low", "--outcome", "out=yes", "--sep", "\t"},
       0,
       "read 3 rows of 5 columns from t.csv\n  id: ignore (--ignore)\n  sex: nominal\n  age: continuous\n"
       "  grade: ordinal, 2 values (--ordinal)\n  out: nominal\nwrote p.meta, p.csv, p.sel\n"
       "next: kelcmd p.meta p.csv p.sel p-out.csv -sep '\t'\n",
       "",
       {{"p.meta", "id,ignore\nsex,nominal\nage,continuous\ngrade,ordinal,low,high\nout,nominal\n"},
        {"p.csv", "1\tf\t30\tlow\tyes\n2\tm\t40\thigh\tno\n4\tm\t35\thigh\tyes\n"},
        {"p.sel", "sex=f,grade<=low\nout=yes\nage\n"}}},

      // Runs that must fail: the message names the place, and nothing is written.
      {"a separator inside a field",
       {{"t.csv", "a,city\n1,Boston\n2,\"New York, NY\"\n"}, {"p.meta", "old"}},
       {"t.csv", "--out", "p"},
       1,
       "",
       "t.csv, row 3, column 2 (city): the field \"New York, NY\" holds the separator ','; choose another --sep, "
       "or give --replace-sep C to replace it\n",
       {}},
      {"a line end inside a field",
       {{"t.csv", "a,b\n1,\"x\ny\"\n"}},
       {"t.csv", "--out", "p"},
       1,
       "",
       "t.csv, row 2, column 2 (b): the field \"x\\ny\" holds a line end; give --replace-sep C to replace line "
       "ends and separators\n",
       {}},
      {"a select value that never occurs",
       {{"people.csv", people}},
       {"people.csv", "--out", "p", "--protected", "sex=Female", "--outcome", "decision=rejected"},
       1,
       "",
       "--protected \"sex=Female\": \"Female\" never occurs in column sex (nearest: \"female\", \"male\")\n",
       {}},
      {"a measured column that does not exist, found before the data is read",
       {{"people.csv", people}},
       {"people.csv", "--out", "p", "--protected", "sex=female", "--outcome", "decision=rejected", "--measure",
        "age,gradee"},
       1,
       "",
       // From "gradee": grade 2, age 8, then id, sex and note 10 each (id first, as in the header).
       "--measure: no column named \"gradee\" (nearest: \"grade\", \"age\", \"id\")\n",
       {}},
      {"a value off the ordinal scale",
       {{"people.csv", people}},
       {"people.csv", "--out", "p", "--ordinal", "grade=low,high"},
       1,
       "",
       "people.csv, row 4, column 6 (grade): \"mid\" is not on the scale given by --ordinal (nearest: \"low\", "
       "\"high\")\n",
       {}},
      {"text in a column given as continuous",
       {{"t.csv", "age\n30\n twenty-seven \n"}},
       {"t.csv", "--out", "p", "--continuous", "age"},
       1,
       "",
       "t.csv, row 3, column 1 (age): \"twenty-seven\" is not a number, but the column is given as --continuous; "
       "give --nominal age to read it as text\n",
       {}},
      {"a field count that differs from the header",
       {{"t.csv", "a,b,c\n1,2,3\n1,2\n"}},
       {"t.csv", "--out", "p"},
       1,
       "",
       "t.csv, row 3: 2 fields, the header has 3\n",
       {}},
      {"a quote never closed",
       {{"t.csv", "a,b\n1,\"2\n3,4\n"}},
       {"t.csv", "--out", "p"},
       1,
       "",
       "t.csv, row 2, column 2: the quote opened is never closed\n",
       {}},
      {"a repeated column name",
       {{"t.csv", "a,b,a\n1,2,3\n"}},
       {"t.csv", "--out", "p"},
       1,
       "",
       "t.csv, row 1, column 3: the column name \"a\" repeats column 1; every column needs its own name\n",
       {}},
      {"a comma in a column name",
       {{"t.csv", "\"a,b\",c\n1,2\n"}},
       {"t.csv", "--out", "p"},
       1,
       "",
       "t.csv, row 1, column 1: the column name \"a,b\" holds a comma or a line end, which the metadata file "
       "cannot hold\n",
       {}},
      {"an empty file", {{"t.csv", ""}}, {"t.csv", "--out", "p"}, 1, "",
       "t.csv: the file is empty; its first row must name the columns\n", {}},
      {"a header without rows", {{"t.csv", "a,b\r\n"}}, {"t.csv", "--out", "p"}, 1, "",
       "t.csv: no data row after the header\n", {}},
      {"an output that is the input",
       {{"t.csv", small}},
       {"t.csv", "--out", "t"},
       1,
       "",
       "output file t.csv is the input file t.csv\n",
       {}},
      {"an output folder that does not exist",
       {{"t.csv", small}},
       {"t.csv", "--out", "none/p"},
       1,
       "",
       "cannot create output file none/p.meta: No such file or directory\n",
       {}},
      {"a rejected command line", {{"t.csv", small}}, {"t.csv", "--out", "p", "--sep"}, 255, "",
       "Option --sep needs a value\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder dir;
    for (const auto& [name, bytes] : c.inputs) dir.write(name, bytes);
    const files before = dir.all();
    const outcome r = run(KEL_IMPORT_PATH, dir, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    files want = before;
    want.insert(c.written.begin(), c.written.end());
    EXPECT_EQ(dir.all(), want);
  }
}

TEST(kel_import, a_database_without_the_query_service) {
  folder dir;
  std::filesystem::copy_file(KEL_IMPORT_PATH, dir.path("kel-import"));
  std::filesystem::permissions(dir.path("kel-import"), std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
  const std::string program = dir.path("kel-import");
  const char* path = std::getenv("PATH");
  const std::string saved = path ? path : "";
  setenv("PATH", dir.path("").c_str(), 1);  // nowhere to find kel-sqlcmd
  const outcome r = run(program.c_str(), dir, {"--db", "x.db", "--query", "SELECT 1", "--out", "p"});
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "the query on x.db failed: the query service kel-sqlcmd is neither beside kel-import nor on the "
                   "executable path\n");
}

TEST(kel_import, usage_text) {
  folder dir;
  const outcome r = run(KEL_IMPORT_PATH, dir, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("Command line: kel-import <csv> --out <prefix> [options]\n")) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(kel_import, imported_inputs_run_in_kelcmd_and_pass_the_check) {
  folder dir;
  dir.write("people.csv", people);
  ASSERT_EQ(run(KEL_IMPORT_PATH, dir, people_options).status, 0);
  const outcome checked = run(KEL_IMPORT_PATH, dir, {"--check", "p.meta", "p.csv", "p.sel"});
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.out, "no hazards in p.meta, p.csv (6 rows) and p.sel\n");
  const outcome analysed = run(KELCMD_PATH, dir, {"p.meta", "p.csv", "p.sel", "out.csv", "-knn", "1", "-pre"});
  EXPECT_EQ(analysed.status, 0);
  EXPECT_NE(analysed.out.find("no atts: 8\nno rows: 6\n"), std::string::npos) << analysed.out;
  EXPECT_NE(analysed.out.find("no. protected 3\nno. unprotected 3\n"), std::string::npos) << analysed.out;
}

// --check: a clean set of inputs, then one hazard at a time.
const char* const check_meta = "age,continuous\nsex,nominal\ngrade,ordinal,low,mid,high\nid,ignore\nclass,nominal\n";
const char* const check_data = "30,f,low,1,bad\n41.5,m,high,2,good\n?,f,mid,3,good\n52,m,?,4,bad\n";
const char* const check_select = "sex=f\nclass=bad\nage,grade\ngood\n";

struct check_case {
  const char* name;
  std::string meta = check_meta;
  std::string data = check_data;
  std::string select = check_select;
  std::vector<std::string> extra{};
  std::string out;
};

TEST(kel_import, check_finds_each_hazard) {
  std::string many_texts = "x,f,low,1,bad\n";
  for (int i = 0; i < 11; ++i) many_texts += "x,m,low,1,good\n";
  const check_case cases[] = {
      {.name = "clean", .out = "no hazards in m.meta, d.csv (4 rows) and s.sel\n"},
      {.name = "text in a continuous column",
       .data = "30,f,low,1,bad\ntwenty-seven,m,high,2,good\n12abc,f,mid,3,good\n1e39,m,low,4,bad\n",
       .out = "d.csv, row 2, column 1 (age): text \"twenty-seven\" in a continuous column (read as 0)\n"
              "d.csv, row 3, column 1 (age): text \"12abc\" in a continuous column (read as 12)\n"
              "d.csv, row 4, column 1 (age): text \"1e39\" in a continuous column (not finite: the analysis stops "
              "here)\n3 hazards\n"},
      {.name = "a zero byte",
       .data = std::string("30,f,low,1,bad\n41.5,m\0,high,2,good\n30,f,low,1,good\n", 51),
       .out = "d.csv, row 2: the line holds a zero byte; the analysis stops here (bad row)\n"
              "d.csv, row 2: 2 fields, the metadata has 5 columns\n2 hazards\n"},
      {.name = "an empty field in a continuous column",
       .data = "30,f,low,1,bad\n  ,m,high,2,good\n",
       .out = "d.csv, row 2, column 1 (age): empty field in a continuous column (read as 0)\n1 hazard\n"},
      {.name = "a byte-order mark",
       .data = "\xEF\xBB\xBF" "30,f,low,1,bad\n41.5,m,high,2,good\n",
       .out = "d.csv, row 1, column 1 (age): byte-order mark in a continuous column (read as 0)\n1 hazard\n"},
      {.name = "a byte-order mark before a nominal value",
       .meta = "sex,nominal\nage,continuous\nclass,nominal\n",
       .data = "\xEF\xBB\xBF" "f,30,bad\nm,40,good\n",
       .select = "sex=m\nclass=bad\nage\n",
       .out = "d.csv, row 1, column 1 (sex): byte-order mark at the start of the field; it becomes part of the "
              "value\n1 hazard\n"},
      {.name = "a header row",
       .data = "age,sex,grade,id,class\n30,f,low,1,bad\n41.5,m,high,2,good\n",
       .out = "d.csv, row 1: a header row? 5 of its 5 fields are the column names; it is read as data\n1 hazard\n"},
      {.name = "field counts",
       .data = "30,f,low,1,bad\n41.5,m,high,2\n52,m,mid,4,good,\n52,m,mid,4,bad,x\n",
       .out = "d.csv, row 2: 4 fields, the metadata has 5 columns\n"
              "d.csv, row 4: 6 fields, the metadata has 5 columns\n2 hazards\n"},
      {.name = "quotes",
       .data = "30,\"f\",low,1,bad\n41.5,m,high,\"Smith, J\",good\n30,f,low,1,good\n",
       .out = "d.csv, row 1, column 2 (sex): quoted field \"\\\"f\\\"\"; the quotes are part of the value\n"
              "d.csv, row 2, column 4 (id): quoted field \"\\\"Smith\"; the quotes are part of the value\n"
              "d.csv, row 2: 6 fields, the metadata has 5 columns\n3 hazards\n"},
      {.name = "a value off the ordinal scale",
       .data = "30,f,low,1,bad\n41.5,m,hi,2,good\n",
       // "high" and "mid" lie two edits from "hi", "low" three; ties keep the scale's order.
       .out = "d.csv, row 2, column 3 (grade): \"hi\" is not on the ordinal scale (nearest: \"mid\", \"high\", "
              "\"low\"); the analysis stops here\n1 hazard\n"},
      {.name = "select values never seen",
       .select = "sex=F,age<x\nclass=Bad\nage,grade\ngood\n",
       .out = "s.sel, row 1, column 1: item \"sex=F\": \"F\" never occurs in column sex (nearest: \"f\", \"m\")\n"
              "s.sel, row 1, column 2: item \"age<x\": \"x\" is not a number\n"
              "s.sel, row 2, column 1: item \"class=Bad\": \"Bad\" never occurs in column class (nearest: \"bad\", "
              "\"good\")\n3 hazards\n"},
      {.name = "a replacement class value holding the separator",
       .select = "sex=f\nclass=bad\nage,grade\ngo,od\n",
       .out = "s.sel, row 4, column 1: the replacement class value \"go,od\" holds a comma, which splits the "
              "output row\n1 hazard\n"},
      {.name = "a replacement class value holding another separator",
       .data = "30;f;low;1;bad\n41.5;m;high;2;good\n",
       .select = "sex=f\nclass=bad\nage,grade\ngo;od\n",
       .extra = {"--sep", ";"},
       .out = "s.sel, row 4, column 1: the replacement class value \"go;od\" holds the separator ';'\n1 hazard\n"},
      {.name = "measured columns",
       .select = "sex=f\nclass=bad\nagee,id\n",
       // From "agee": age 2, sex 6, grade and id 8 (grade first, as in the metadata).
       .out = "s.sel, row 3, column 1: no column named \"agee\" (nearest: \"age\", \"sex\", \"grade\")\n"
              "s.sel, row 3, column 2: column id is ignored and cannot be measured\n2 hazards\n"},
      {.name = "a short select-options file", .select = "sex=f\n", .out = "s.sel: no c-cond line (line 2)\n1 hazard\n"},
      {.name = "metadata that does not read",
       .meta = "age, continuous\nsex,nominal\n",
       .out = "m.meta, row 1, column 2: unknown kind \" continuous\" (continuous, nominal, ordinal or ignore)\n"
              "the data and select-options files were not checked: the metadata file does not read\n1 hazard\n"},
      {.name = "ten of a kind are shown",
       .data = many_texts,
       .out = [] {
         std::string out = "d.csv, row 1, column 1 (age): text \"x\" in a continuous column (read as 0)\n";
         for (int row = 2; row <= 10; ++row)
           out += "d.csv, row " + std::to_string(row) + ", column 1 (age): text \"x\" in a continuous column (read as 0)\n";
         return out + "d.csv, column 1 (age): text: 2 more not shown\n12 hazards\n";
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder dir;
    dir.write("m.meta", c.meta);
    dir.write("d.csv", c.data);
    dir.write("s.sel", c.select);
    const files before = dir.all();
    const outcome r = run(KEL_IMPORT_PATH, dir, plus({"--check", "m.meta", "d.csv", "s.sel"}, c.extra));
    EXPECT_EQ(r.status, c.out.starts_with("no hazards") ? 0 : 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.all(), before);
  }
}

}  // namespace
