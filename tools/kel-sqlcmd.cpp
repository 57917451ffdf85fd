// kel-sqlcmd: the query service behind JDBC data sources. It reads one
// request from standard input and writes the answer to standard output.
//
// Request: seven lines (a carriage return before a line feed is ignored):
//   1 engine        "sqlite" or "sqlite3" (any case); empty means sqlite;
//                   followed by " header", the answer's first two rows are
//                   the column names and the columns' declared types
//   2 database      path of the SQLite database file, opened read-only
//   3 user          ignored (SQLite has no users)
//   4 password      ignored
//   5 row limit     the most rows to return; empty or 0: all
//   6 query         one SQL statement
//   7 "exit"
// (Data-source texts name these q1, q2, q3, q4, q5 = query,
// q6 = row limit; the client sends q6 before q5.)
//
// Answer: "*** N rows" and then the N rows, one per line, columns separated
// by commas, NULL written as "?"; or one line with the error, and nothing
// else. A declared type is given as the affinity SQLite derives from it
// ("integer", "real", "text", "numeric", "blob"), empty for a column with
// no declared type, such as an expression. The rows are gathered first, so the "***" line is only written once
// the whole result is known to be good. A value holding a comma, a line end
// or a zero byte cannot be written in this format and is an error.
//
// Exit status: 0 after an answer of rows, 1 after an error line, 2 when
// started with arguments.
#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

// One line of the answer and the end.
int fail(const std::string& message) {
  std::string line = message;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  if (line.compare(0, 3, "***") == 0) line.insert(0, "error: ");
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 1;
}

bool read_request(std::vector<std::string>& lines) {
  std::string line;
  while (lines.size() < 7 && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines.size() == 7;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool parse_limit(const std::string& text, unsigned long long& limit) {
  limit = 0;
  if (text.empty()) return true;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  errno = 0;
  limit = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

// SQLite's rules for the affinity of a declared type, in their order.
std::string affinity(const char* declared) {
  if (declared == nullptr || *declared == '\0') return "";
  std::string type = declared;
  for (char& ch : type) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  auto has = [&](const char* word) { return type.find(word) != std::string::npos; };
  if (has("INT")) return "integer";
  if (has("CHAR") || has("CLOB") || has("TEXT")) return "text";
  if (has("BLOB")) return "blob";
  if (has("REAL") || has("FLOA") || has("DOUB")) return "real";
  return "numeric";
}

bool unfit(const std::string& value) { return value.find_first_of(std::string(",\n\r\0", 4)) != std::string::npos; }

struct database {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  ~database() {
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }
};

}  // namespace

int main(int argc, char**) {
  if (argc > 1) {
    std::fputs("usage: kel-sqlcmd < request (engine, database, user, password, row limit, query, exit)\n", stderr);
    return 2;
  }
  std::vector<std::string> request;
  if (!read_request(request)) return fail("bad request: expected 7 lines, got " + std::to_string(request.size()));
  if (request[6] != "exit") return fail("bad request: the seventh line must be exit");
  std::string engine = lower(request[0]);
  bool header = false;
  if (engine.size() > 7 && engine.compare(engine.size() - 7, 7, " header") == 0) {
    header = true;
    engine.resize(engine.size() - 7);
  }
  if (!engine.empty() && engine != "sqlite" && engine != "sqlite3") return fail("unknown engine: " + request[0]);
  const std::string& path = request[1];
  unsigned long long limit;
  if (!parse_limit(request[4], limit)) return fail("bad row limit: " + request[4]);
  const std::string& sql = request[5];
  if (path.empty()) return fail("no database file given");

  database d;
  if (sqlite3_open_v2(path.c_str(), &d.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return fail("cannot open database " + path + ": " + (d.db ? sqlite3_errmsg(d.db) : "out of memory"));
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(d.db, sql.c_str(), static_cast<int>(sql.size()), &d.statement, &tail) != SQLITE_OK)
    return fail(std::string("SQL error: ") + sqlite3_errmsg(d.db));
  if (!d.statement) return fail("SQL error: no statement");
  for (; tail && *tail; ++tail)
    if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';')
      return fail("SQL error: only one statement per query");

  std::string rows;
  unsigned long long count = 0;
  const int columns = sqlite3_column_count(d.statement);
  if (header) {
    std::string names, types;
    for (int c = 0; c < columns; ++c) {
      const char* name = sqlite3_column_name(d.statement, c);
      const std::string text = name ? name : "";
      if (unfit(text)) return fail("column " + std::to_string(c + 1) + ": the name holds a comma, a line end or a zero byte");
      names += (c > 0 ? "," : "") + text;
      types += (c > 0 ? "," : "") + affinity(sqlite3_column_decltype(d.statement, c));
    }
    rows = names + "\n" + types + "\n";
  }
  for (;;) {
    if (limit != 0 && count == limit) break;
    const int rc = sqlite3_step(d.statement);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return fail(std::string("SQL error: ") + sqlite3_errmsg(d.db));
    for (int c = 0; c < columns; ++c) {
      if (c > 0) rows += ',';
      if (sqlite3_column_type(d.statement, c) == SQLITE_NULL) {
        rows += '?';
        continue;
      }
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(d.statement, c));
      const int bytes = sqlite3_column_bytes(d.statement, c);
      const std::string value(text ? text : "", static_cast<std::size_t>(bytes));
      if (unfit(value))
        return fail("row " + std::to_string(count + 1) + ", column " + sqlite3_column_name(d.statement, c) +
                    ": the value holds a comma, a line end or a zero byte");
      rows += value;
    }
    rows += '\n';
    ++count;
  }
  std::printf("*** %llu rows\n", count);
  std::fwrite(rows.data(), 1, rows.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
