#include "data_source.hpp"

#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "io/fs.hpp"
#include "io/open_input.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {

constexpr char service_name[] = "kel-sqlcmd";
constexpr int answer_capacity = 16384;

std::mutex service_mutex;
std::string service_override;

std::vector<std::string> split_fields(const std::string& source, std::size_t at_least) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (;;) {
    const std::size_t hash = source.find('#', from);
    fields.push_back(source.substr(from, hash == std::string::npos ? std::string::npos : hash - from));
    if (hash == std::string::npos) break;
    from = hash + 1;
  }
  if (fields.size() < at_least) fields.resize(at_least);
  return fields;
}

// The directory of the running program, with its trailing slash; empty when
// it cannot be told.
std::string own_directory() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

void set_query_service(const std::string& program) {
  std::lock_guard<std::mutex> lock(service_mutex);
  service_override = program;
}

std::string query_service() {
  {
    std::lock_guard<std::mutex> lock(service_mutex);
    if (!service_override.empty()) return service_override;
  }
  const std::string beside = own_directory() + service_name;
  if (beside.size() > sizeof service_name - 1 && ::access(beside.c_str(), X_OK) == 0) return beside;
  return service_name;
}

std::unique_ptr<stream> query_source(const std::string& q1, const std::string& q2, const std::string& q3,
                                     const std::string& q4, const std::string& q5, const std::string& q6,
                                     std::string& error) {
  // The request travels as lines: a line feed inside a field would shift them.
  for (const std::string* field : {&q1, &q2, &q3, &q4, &q5, &q6}) {
    if (field->find('\n') != std::string::npos) {
      error = "JDBC request fields cannot hold line feeds";
      return nullptr;
    }
  }
  const std::string program = query_service();
  fs::connection_pair pair;
  if (!fs::spawn(pair, program, {program}, READ | WRITE)) {
    error = "JDBC orv server not available";
    return nullptr;
  }
  // The fifth and sixth fields travel in swapped order.
  for (const std::string* line : {&q1, &q2, &q3, &q4, &q6, &q5}) pair.second->write_line(line->c_str());
  pair.second->write_line("exit");
  pair.second.reset();  // the service sees the end of its input

  auto answer = std::make_unique<stream>(pair.first.get(), true, ',', answer_capacity);
  pair.first.release();
  if (!answer->read_line()) {
    error = "Generic error";
    return nullptr;
  }
  if (std::string(answer->line()).compare(0, 3, "***") != 0) {
    error = answer->line();
    return nullptr;
  }
  return answer;
}

std::unique_ptr<stream> open_data_source(const std::string& source, std::string& error) {
  const std::vector<std::string> f = split_fields(source, 7);
  if (f[0] == "FILE") return open_input(f[1], f[2].empty() ? '\0' : f[2][0]);
  if (f[0] == "JDBC") return query_source(f[1], f[2], f[3], f[4], f[5], f[6], error);
  throw orv::util::error("Unknown data source: " + source);
}

std::unique_ptr<stream> open_data_source(const std::string& source) {
  std::string ignored;
  return open_data_source(source, ignored);
}

}  // namespace orv::inpout
