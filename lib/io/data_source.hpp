// Data sources: a text that names either a file or a query, turned into a
// ready line stream the caller owns.
//
//   FILE#<name>#<separator>   the file (plain, .gz or pipe, as open_input);
//                             the separator is the first character of the
//                             third field, the zero character when it is empty
//   JDBC#q1#q2#q3#q4#q5#q6    a query answered by the query service
//
// Fields are split at every '#' (so no field can hold one); missing fields
// are empty; the kind is compared byte for byte.
//
// The query service is a separate program spoken to through its standard
// input and output: it receives q1, q2, q3, q4, q6, q5 and "exit" as lines and
// answers with a first line beginning "***" followed by the result rows,
// comma-separated, or with one error line. The service shipped with this
// program, kel-sqlcmd, answers from SQLite: q1 the engine ("sqlite"), q2 the
// database file, q3 and q4 user and password (ignored by SQLite), q5 one SQL
// statement, q6 the most rows to return (empty or 0: all); see tools/.
//
// The service is found as follows: the program set by set_query_service();
// otherwise kel-sqlcmd in the directory of the running program; otherwise
// kel-sqlcmd on the executable path.
#pragma once

#include <memory>
#include <string>

#include "io/stream.hpp"

namespace orv::inpout {

// Throws "Unknown data source: <source>" for another kind, and the open_input
// messages for files. A failed query gives null; the error-text overload tells
// why.
std::unique_ptr<stream> open_data_source(const std::string& source);
std::unique_ptr<stream> open_data_source(const std::string& source, std::string& error);

// Runs one query. On success the stream (separator comma) stands on the first
// result row; on failure null, and error is "JDBC orv server not available"
// when the service cannot be started, "Generic error" when it gives no
// answer, or its error line.
std::unique_ptr<stream> query_source(const std::string& q1, const std::string& q2, const std::string& q3,
                                     const std::string& q4, const std::string& q5, const std::string& q6,
                                     std::string& error);

// The program query_source starts; empty restores the default search.
void set_query_service(const std::string& program);
std::string query_service();

}  // namespace orv::inpout
