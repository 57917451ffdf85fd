#include "io/data_source.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "testing.hpp"
#include "util/error.hpp"

using namespace orv::inpout;
using iotest::path;

namespace {

using lines = std::vector<std::string>;

lines rest_of(stream& s) {
  lines out;
  while (s.read_line()) out.emplace_back(s.line());
  return out;
}

// A real database file made through SQLite itself.
std::string make_database() {
  const std::string name = path("people.db");
  std::remove(name.c_str());
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(name.c_str(), &db), SQLITE_OK);
  const char* sql =
      "CREATE TABLE people(name TEXT, age INTEGER, income REAL, note TEXT);"
      "INSERT INTO people VALUES('ann', 34, 1250.5, NULL);"
      "INSERT INTO people VALUES('bob', 51, 980, 'x');"
      "INSERT INTO people VALUES('cy', 19, NULL, 'a,b');";
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  return name;
}

class service : public ::testing::Test {
 protected:
  void SetUp() override { set_query_service(KEL_SQLCMD); }
  void TearDown() override { set_query_service(""); }
};

}  // namespace

TEST_F(service, rows_come_back) {
  const std::string db = make_database();
  std::string error = "untouched";
  auto s = open_data_source("JDBC#sqlite#" + db + "#user#secret#SELECT name, age, income, note FROM people "
                            "WHERE age > 20 ORDER BY age##", error);
  ASSERT_NE(s, nullptr) << error;
  EXPECT_EQ(s->separator(), ',');
  EXPECT_EQ(rest_of(*s), (lines{"ann,34,1250.5,?", "bob,51,980.0,x"}));
  EXPECT_EQ(error, "untouched");

  // q6 limits the rows; the stream stands on the first row after "***".
  s = query_source("SQLite", db, "", "", "SELECT age FROM people ORDER BY age", "2", error);
  ASSERT_NE(s, nullptr) << error;
  ASSERT_TRUE(s->read_line());
  EXPECT_STREQ(s->line(), "19");
  EXPECT_EQ(rest_of(*s), (lines{"34"}));
}

TEST_F(service, errors_come_back_as_text) {
  const std::string db = make_database();
  std::string error;
  EXPECT_EQ(open_data_source("JDBC#sqlite#" + db + "###SELECT * FROM nobody#", error), nullptr);
  EXPECT_EQ(error, "SQL error: no such table: nobody");
  EXPECT_EQ(query_source("sqlite", db, "", "", "SELECT note FROM people", "", error), nullptr);
  EXPECT_EQ(error, "row 3, column note: the value holds a comma, a line end or a zero byte");
  EXPECT_EQ(query_source("sqlite", db, "", "", "DELETE FROM people", "", error), nullptr);
  EXPECT_EQ(error, "SQL error: attempt to write a readonly database");
  EXPECT_EQ(query_source("oracle", db, "", "", "SELECT 1", "", error), nullptr);
  EXPECT_EQ(error, "unknown engine: oracle");
  EXPECT_EQ(query_source("sqlite", db, "", "", "SELECT 1\nSELECT 2", "", error), nullptr);
  EXPECT_EQ(error, "JDBC request fields cannot hold line feeds");
  EXPECT_EQ(open_data_source("JDBC#sqlite#" + db + "###SELECT * FROM nobody#"), nullptr);
}

TEST_F(service, missing_or_silent_service) {
  std::string error;
  set_query_service(path("no-such-service"));
  EXPECT_EQ(query_source("sqlite", "x.db", "", "", "SELECT 1", "", error), nullptr);
  EXPECT_EQ(error, "JDBC orv server not available");
  set_query_service("true");  // starts, answers nothing
  EXPECT_EQ(query_source("sqlite", "x.db", "", "", "SELECT 1", "", error), nullptr);
  EXPECT_EQ(error, "Generic error");
}

TEST(data_source, default_service_location) {
  set_query_service("");
  // The test binary has no service beside it: the executable path is searched.
  EXPECT_EQ(query_service(), "kel-sqlcmd");
  set_query_service("/opt/x");
  EXPECT_EQ(query_service(), "/opt/x");
  set_query_service("");
}

TEST(data_source, files) {
  iotest::write_file(path("data.csv"), "a;b,c\n");
  auto s = open_data_source("FILE#" + path("data.csv") + "#;");
  ASSERT_TRUE(s->read_line());
  EXPECT_EQ(s->separator(), ';');
  EXPECT_EQ(s->field_count(), 2);
  s = open_data_source("FILE#" + path("data.csv"));
  EXPECT_EQ(s->separator(), '\0');
  ASSERT_TRUE(s->read_line());
  EXPECT_EQ(s->field_count(), 1);
  try {
    open_data_source("FILE#" + path("none.csv") + "#,");
    FAIL();
  } catch (const orv::util::error& e) {
    EXPECT_EQ(std::string(e.what()), "File: " + path("none.csv") + " not found or inaccessible");
  }
  for (const std::string spec : {"file#data.csv#;", "", "ODBC#x"}) {
    try {
      open_data_source(spec);
      FAIL() << spec;
    } catch (const orv::util::error& e) {
      EXPECT_EQ(std::string(e.what()), "Unknown data source: " + spec);
    }
  }
}
