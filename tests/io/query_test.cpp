// Queries of JDBC data sources, answered by the real service built from tools/.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

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
      {"DELETE FROM people", "refused: not a read-only statement"},
      {"VACUUM INTO '" + path("copy.db") + "'", "refused: not a read-only statement"},
      {"SELECT 1\nSELECT 2", "JDBC request fields cannot hold line feeds"}};
  for (const auto& [sql, want] : rows) EXPECT_EQ(error_of("sqlite", sql), want);
  EXPECT_FALSE(std::filesystem::exists(path("copy.db")));
  EXPECT_EQ(error_of("oracle", "SELECT 1"), "unknown engine: oracle");
  set_query_service(path("no-such-service"));
  EXPECT_EQ(error_of("sqlite", "SELECT 1"), "JDBC orv server not available");
  set_query_service("true");  // starts, answers nothing
  EXPECT_EQ(error_of("sqlite", "SELECT 1"), "Generic error");
  set_query_service("");
  EXPECT_EQ(query_service(), "kel-sqlcmd");  // none beside the test: the executable path
}

namespace {

// The service started directly with its address space limited: the first
// line of its answer, the number of lines and its exit status.
struct answer {
  std::string first;
  std::size_t lines = 0;
  int status = -1;
};

answer ask_limited(const std::string& request, rlim_t bytes) {
  int to[2], from[2];
  EXPECT_EQ(pipe2(to, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(from, O_CLOEXEC), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    dup2(to[0], 0);
    dup2(from[1], 1);
    execl(KEL_SQLCMD, KEL_SQLCMD, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to[0]);
  close(from[1]);
  // The service may stop reading early: its going must not end this process.
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  std::thread writer([&] {
    for (std::size_t at = 0; at < request.size();) {
      const ssize_t n = write(to[1], request.data() + at, request.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    close(to[1]);
  });
  answer a;
  std::string first;
  char chunk[65536];
  bool in_first = true;
  for (ssize_t n; (n = read(from[0], chunk, sizeof chunk)) > 0;) {
    for (ssize_t i = 0; i < n; ++i) {
      if (chunk[i] == '\n') {
        ++a.lines;
        in_first = false;
      } else if (in_first) {
        a.first += chunk[i];
      }
    }
  }
  close(from[0]);
  writer.join();
  sigaction(SIGPIPE, &saved, nullptr);
  int raw = 0;
  waitpid(pid, &raw, 0);
  a.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return a;
}

}  // namespace

// A result far larger than the memory the service may use is answered
// whole; one bad value after two megabytes of good rows is still the only line
// of the answer; a request that cannot fit in memory is answered with an
// error line.
TEST(data_source, large_results_and_requests_in_little_memory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  const std::string db = path("small.db");
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(h, "CREATE TABLE t(a);", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(h);
  const rlim_t limit = rlim_t{32} << 20;
  const auto request = [&](const std::string& sql) { return "sqlite\n" + db + "\n\n\n\n" + sql + "\nexit\n"; };
  const std::string counting =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 1000000) ";

  const answer big = ask_limited(request(counting + "SELECT x, 'abcdefghijklmnopqrstuvwxyz' FROM c"), limit);
  EXPECT_EQ(big.first, "*** 1000000 rows");
  EXPECT_EQ(big.lines, 1000001u);
  EXPECT_EQ(big.status, 0);

  const answer late = ask_limited(
      request(counting + "SELECT CASE WHEN x = 60000 THEN 'a,b' ELSE x || 'abcdefghijklmnopqrstuvwxyz' END AS v "
                         "FROM c"),
      limit);
  EXPECT_EQ(late.first, "row 60000, column v: the value holds a comma, a line end or a zero byte");
  EXPECT_EQ(late.lines, 1u);
  EXPECT_EQ(late.status, 1);

  const answer huge = ask_limited(request("SELECT '" + std::string(std::size_t{24} << 20, 'q') + "'"), limit);
  EXPECT_EQ(huge.first, "out of memory");
  EXPECT_EQ(huge.lines, 1u);
  EXPECT_EQ(huge.status, 1);
}
