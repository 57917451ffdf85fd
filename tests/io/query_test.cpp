// Queries of JDBC data sources, answered by the real service built from tools/.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "io/data_source.hpp"
#include "support/support.hpp"

using namespace orv::inpout;
using namespace testing_support;

namespace {
std::string path(const std::string& name) { return scratch().path(name); }
}  // namespace

TEST(data_source, queries) {
  const std::string db = path("people.db");
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(h,
                         "CREATE TABLE people(name TEXT, age INTEGER, income REAL, note TEXT);"
                         "INSERT INTO people VALUES('ann', 34, 1250.5, NULL), ('bob', 51, 980, 'x'),"
                         "                         ('cy', 19, NULL, 'a,b');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(h);
  set_query_service(KEL_SQLCMD);
  std::string error;
  auto s = open_data_source(
      "JDBC#sqlite#" + db + "#user#secret#SELECT name, age, income, note FROM people WHERE age > 20 ORDER BY age#",
      error);
  ASSERT_NE(s, nullptr) << error;
  EXPECT_EQ(read_lines(*s), (lines{"ann,34,1250.5,?", "bob,51,980.0,x"}));
  s = query_source("SQLite", db, "", "", "SELECT age FROM people ORDER BY age", "2", error);  // q6 limits the rows
  ASSERT_NE(s, nullptr) << error;
  EXPECT_EQ(read_lines(*s), (lines{"19", "34"}));

  const auto error_of = [&](const std::string& engine, const std::string& sql) {
    std::string e;
    EXPECT_EQ(query_source(engine, db, "", "", sql, "", e), nullptr);
    return e;
  };
  const std::pair<std::string, std::string> rows[] = {
      {"SELECT * FROM nobody", "SQL error: no such table: nobody"},
      {"SELECT note FROM people", "row 3, column note: the value holds a comma, a line end or a zero byte"},
      {"DELETE FROM people", "SQL error: attempt to write a readonly database"},
      {"SELECT 1\nSELECT 2", "JDBC request fields cannot hold line feeds"}};
  for (const auto& [sql, want] : rows) EXPECT_EQ(error_of("sqlite", sql), want);
  EXPECT_EQ(error_of("oracle", "SELECT 1"), "unknown engine: oracle");
  set_query_service(path("no-such-service"));
  EXPECT_EQ(error_of("sqlite", "SELECT 1"), "JDBC orv server not available");
  set_query_service("true");  // starts, answers nothing
  EXPECT_EQ(error_of("sqlite", "SELECT 1"), "Generic error");
  set_query_service("");
  EXPECT_EQ(query_service(), "kel-sqlcmd");  // none beside the test: the executable path
}
