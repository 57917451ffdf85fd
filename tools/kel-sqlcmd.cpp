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
//   6 query         one read-only SQL statement
//   7 "exit"
// (Data-source texts name these q1, q2, q3, q4, q5 = query,
// q6 = row limit; the client sends q6 before q5.)
//
// Answer: "*** N rows" and then the N rows, one per line, columns separated
// by commas, NULL written as "?"; or one line with the error, and nothing
// else. The "***" line is only written once the whole result is known to be
// good, so a failure part way through never passes for a shorter result: the
// rows are kept as they come, in memory while they are few and in an
// unnamed temporary file (in TMPDIR, or /tmp) beyond that, so a large result
// costs disk rather than memory. A value holding a comma, a line end or a
// zero byte cannot be written in this format and is an error. A statement
// that could write (including VACUUM INTO, which would create a file) is
// refused, and running out of memory is answered with an error line. A
// declared type is given as the affinity SQLite derives from it ("integer",
// "real", "text", "numeric", "blob"), empty for a column with no declared
// type, such as an expression.
//
// Exit status: 0 after an answer of rows, 1 after an error line, 2 when
// started with arguments.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// One line of the answer and the end. Nothing is allocated: it also answers
// an allocation that failed.
int fail(std::string_view message) {
  if (message.substr(0, 3) == "***") std::fputs("error: ", stdout);
  for (const char c : message) std::fputc(c == '\n' || c == '\r' ? ' ' : c, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 1;
}

bool read_request(std::vector<std::string>& lines) {
  // A line too long for the memory must surface as the allocation failure
  // it is, not as a short request.
  std::cin.exceptions(std::ios::badbit);
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

// The rows of the answer while it is being made: in memory up to
// in_memory_bytes, then in an unnamed temporary file.
class spool {
 public:
  static constexpr std::size_t in_memory_bytes = std::size_t{1} << 20;

  ~spool() {
    if (file_) std::fclose(file_);
  }
  // False, with errno set, when the rows cannot be kept.
  bool add(const std::string& row) {
    if (!file_ && memory_.size() + row.size() <= in_memory_bytes) {
      memory_ += row;
      return true;
    }
    if (!file_) {
      if (!open_file()) return false;
      if (std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size()) return false;
      std::string().swap(memory_);
    }
    return std::fwrite(row.data(), 1, row.size(), file_) == row.size();
  }
  // Writes the kept rows to out; false, with errno set, on failure.
  bool copy_to(std::FILE* out) {
    if (!file_) return std::fwrite(memory_.data(), 1, memory_.size(), out) == memory_.size();
    if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;)
      if (std::fwrite(chunk, 1, n, out) != n) return false;
    return !std::ferror(file_);
  }

 private:
  bool open_file() {
    const char* dir = std::getenv("TMPDIR");
    const std::string where = dir && *dir ? dir : "/tmp";
    int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      // A file system without unnamed files: a named one, unlinked at once.
      std::string name = where + "/kel-sqlcmd-XXXXXX";
      fd = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd < 0) return false;
      ::unlink(name.c_str());
    }
    file_ = ::fdopen(fd, "w+");
    if (!file_) {
      const int code = errno;
      ::close(fd);
      errno = code;
      return false;
    }
    return true;
  }

  std::string memory_;
  std::FILE* file_ = nullptr;
};

int answer() {
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
  // The database is opened read-only, but some statements write elsewhere.
  if (!sqlite3_stmt_readonly(d.statement)) return fail("refused: not a read-only statement");

  spool rows;
  std::string row;
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
    if (!rows.add(names + "\n" + types + "\n"))
      return fail(std::string("cannot keep the result: ") + std::strerror(errno));
  }
  for (;;) {
    if (limit != 0 && count == limit) break;
    const int rc = sqlite3_step(d.statement);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return fail(std::string("SQL error: ") + sqlite3_errmsg(d.db));
    row.clear();
    for (int c = 0; c < columns; ++c) {
      if (c > 0) row += ',';
      if (sqlite3_column_type(d.statement, c) == SQLITE_NULL) {
        row += '?';
        continue;
      }
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(d.statement, c));
      if (!text && sqlite3_errcode(d.db) == SQLITE_NOMEM) return fail("out of memory");
      const int bytes = sqlite3_column_bytes(d.statement, c);
      const std::string value(text ? text : "", text ? static_cast<std::size_t>(bytes) : 0);
      if (unfit(value))
        return fail("row " + std::to_string(count + 1) + ", column " + sqlite3_column_name(d.statement, c) +
                    ": the value holds a comma, a line end or a zero byte");
      row += value;
    }
    row += '\n';
    if (!rows.add(row)) return fail(std::string("cannot keep the result: ") + std::strerror(errno));
    ++count;
  }
  std::printf("*** %llu rows\n", count);
  if (!rows.copy_to(stdout)) return 1;  // the success line is out: only the status can tell
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char**) {
  if (argc > 1) {
    std::fputs("usage: kel-sqlcmd < request (engine, database, user, password, row limit, query, exit)\n", stderr);
    return 2;
  }
  try {
    return answer();
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  } catch (const std::ios_base::failure&) {
    return fail("cannot read the request");
  }
}
