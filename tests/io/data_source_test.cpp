#include "io/data_source.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

namespace {

// A real database file, made through SQLite itself.
std::string make_database() {
  const std::string name = path("people.db");
  std::remove(name.c_str());
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(name.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db,
                         "CREATE TABLE people(name TEXT, age INTEGER, income REAL, note TEXT);"
                         "INSERT INTO people VALUES('ann', 34, 1250.5, NULL), ('bob', 51, 980, 'x'),"
                         "                         ('cy', 19, NULL, 'a,b');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
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
  auto s = open_data_source(
      "JDBC#sqlite#" + db + "#user#secret#SELECT name, age, income, note FROM people WHERE age > 20 ORDER BY age#",
      error);
  ASSERT_NE(s, nullptr) << error;
  EXPECT_EQ(s->separator(), ',');
  EXPECT_EQ(read_lines(*s), (lines{"ann,34,1250.5,?", "bob,51,980.0,x"}));
  EXPECT_EQ(error, "untouched");

  // q6 limits the rows.
  s = query_source("SQLite", db, "", "", "SELECT age FROM people ORDER BY age", "2", error);
  ASSERT_NE(s, nullptr) << error;
  EXPECT_EQ(read_lines(*s), (lines{"19", "34"}));
}

TEST_F(service, failures_come_back_as_text) {
  const std::string db = make_database();
  const auto error_of = [&](const std::string& engine, const std::string& sql) {
    std::string error;
    EXPECT_EQ(query_source(engine, db, "", "", sql, "", error), nullptr);
    return error;
  };
  EXPECT_EQ(error_of("sqlite", "SELECT * FROM nobody"), "SQL error: no such table: nobody");
  EXPECT_EQ(error_of("sqlite", "SELECT note FROM people"),
            "row 3, column note: the value holds a comma, a line end or a zero byte");
  EXPECT_EQ(error_of("sqlite", "DELETE FROM people"), "SQL error: attempt to write a readonly database");
  EXPECT_EQ(error_of("oracle", "SELECT 1"), "unknown engine: oracle");
  EXPECT_EQ(error_of("sqlite", "SELECT 1\nSELECT 2"), "JDBC request fields cannot hold line feeds");
  EXPECT_EQ(open_data_source("JDBC#sqlite#" + db + "###SELECT * FROM nobody"), nullptr);

  set_query_service(path("no-such-service"));
  EXPECT_EQ(error_of("sqlite", "SELECT 1"), "JDBC orv server not available");
  set_query_service("true");  // starts, answers nothing
  EXPECT_EQ(error_of("sqlite", "SELECT 1"), "Generic error");
  set_query_service("");
  EXPECT_EQ(query_service(), "kel-sqlcmd");  // none beside the test: the executable path
}

TEST(data_source, files) {
  write_file(path("data.csv"), "a;b,c\n");
  auto s = open_data_source("FILE#" + path("data.csv") + "#;");
  ASSERT_TRUE(s->read_line());
  EXPECT_EQ(s->field_count(), 2);
  s = open_data_source("FILE#" + path("data.csv"));
  EXPECT_EQ(s->separator(), '\0');
  EXPECT_EQ(thrown([&] { open_data_source("FILE#none.csv#,"); }), "File: none.csv not found or inaccessible");
  for (const std::string spec : {"file#data.csv#;", "", "ODBC#x"})
    EXPECT_EQ(thrown([&] { open_data_source(spec); }), "Unknown data source: " + spec);
}
