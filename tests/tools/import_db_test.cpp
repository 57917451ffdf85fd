// kel-import --db: rows read through the data-source layer and the query
// service built beside kel-import, column kinds from the declared types where
// they say enough (integer and real: continuous; text: nominal, numbers and
// all), inferred elsewhere.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "run_program.hpp"

namespace {

using namespace importtest;

outcome run_import(const folder& dir, const std::vector<std::string>& args) { return run(KEL_IMPORT_PATH, dir, args); }

void make_database(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

const char* const people =
    "CREATE TABLE people(id INTEGER, age REAL, sex VARCHAR(10), zip TEXT, score DECIMAL(5,2), note, decision TEXT);"
    "INSERT INTO people VALUES (1, 30, 'female', '02139', 1.5, 'a', 'rejected');"
    "INSERT INTO people VALUES (2, 41.5, 'male', '10001', 2, NULL, 'hired');"
    "INSERT INTO people VALUES (3, NULL, 'female', '', 'n/a', 'NA', 'rejected');";

TEST(kel_import_db, kinds_from_declared_types_and_values) {
  folder dir;
  make_database(dir.path("x.db"), people);
  const outcome r = run_import(
      dir, {"--db", "x.db", "--query", "SELECT id, age, sex, zip, score, note, decision, age * 2 AS twice FROM people ORDER BY id",
            "--out", "p", "--protected", "sex=female", "--outcome", "decision=rejected"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "read 3 rows of 8 columns from x.db\n"
            "  id: continuous (declared integer)\n"
            "  age: continuous (declared real), 1 missing\n"
            "  sex: nominal (declared text)\n"
            "  zip: nominal (declared text), 1 missing\n"
            "  score: nominal\n"
            "  note: nominal, 2 missing\n"
            "  decision: nominal (declared text)\n"
            "  twice: continuous, 1 missing\n"
            "wrote p.meta, p.csv, p.sel\n"
            "next: kelcmd p.meta p.csv p.sel p-out.csv\n");
  EXPECT_EQ(r.err,
            "warning: column id grows on every row, like a row number; if it identifies rows, give --ignore id\n"
            "warning: column score is read as nominal: x.db, result row 3 holds \"n/a\", which is not a number "
            "(give --continuous score to make that an error)\n");
  EXPECT_EQ(dir.read("p.meta"),
            "id,continuous\nage,continuous\nsex,nominal\nzip,nominal\nscore,nominal\nnote,nominal\n"
            "decision,nominal\ntwice,continuous\n");
  // Values as the database renders them; NULL and the missing spellings as "?".
  EXPECT_EQ(dir.read("p.csv"),
            "1,30.0,female,02139,1.5,a,rejected,60.0\n"
            "2,41.5,male,10001,2,?,hired,83.0\n"
            "3,?,female,?,n/a,?,rejected,?\n");
  EXPECT_EQ(dir.read("p.sel"), "sex=female\ndecision=rejected\nid,age,zip,score,note,twice\n");
}

TEST(kel_import_db, failures) {
  folder dir;
  make_database(dir.path("x.db"), people);
  make_database(dir.path("y.db"),
                "CREATE TABLE t(n INTEGER, s TEXT); INSERT INTO t VALUES (1, 'a'); INSERT INTO t VALUES ('abc', 'b,c');");
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"--db", "y.db", "--query", "SELECT n FROM t", "--out", "p"},
       "y.db, result row 2, column 1 (n): \"abc\" is not a number, but the column is declared integer; give "
       "--nominal n to read it as text\n"},
      {{"--db", "y.db", "--query", "SELECT s FROM t", "--out", "p"},
       "the query on y.db failed: row 2, column s: the value holds a comma, a line end or a zero byte\n"},
      {{"--db", "x.db", "--query", "SELECT * FROM nope", "--out", "p"},
       "the query on x.db failed: SQL error: no such table: nope\n"},
      {{"--db", "x.db", "--query", "SELECT *\nFROM people", "--out", "p"}, "--query: write the query on one line\n"},
      {{"--db", "x.db", "--query", "SELECT id, id FROM people", "--out", "p"},
       "x.db, result column 2: the column name \"id\" repeats column 1; every column needs its own name\n"},
  };
  for (const auto& c : cases) {
    const outcome r = run_import(dir, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(dir.all().count("p.csv") != 0);
  }
}

}  // namespace
