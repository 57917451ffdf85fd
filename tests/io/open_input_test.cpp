#include "io/open_input.hpp"

#include <gtest/gtest.h>

#include "io/iogz.hpp"
#include "testing.hpp"
#include "util/error.hpp"

using namespace orv::inpout;
using iotest::path;

namespace {

std::string open_error(const std::string& name) {
  try {
    open_input(name, ',');
  } catch (const orv::util::error& e) {
    return e.what();
  }
  return "(opened)";
}

std::string first_line(const std::string& name) {
  auto s = open_input(name, ',');
  return s->read_line() ? s->line() : "(none)";
}

}  // namespace

TEST(open_input, failures_name_the_input) {
  EXPECT_EQ(open_error("missing.csv"), "File: missing.csv not found or inaccessible");
  EXPECT_EQ(open_error("missing.csv.gz"), "File: missing.csv.gz not found or inaccessible");
  EXPECT_EQ(open_error(iotest::scratch()), "File: " + iotest::scratch() + " not found or inaccessible");
  EXPECT_EQ(open_error(iotest::scratch() + "/.gz"), "File: " + iotest::scratch() + "/.gz not found or inaccessible");
}

// Only a lower-case ".gz" ending selects decompression.
TEST(open_input, gz_by_the_last_three_characters) {
  iogz g;
  ASSERT_TRUE(g.open(path("x.gz"), WRITE, 6, 0));
  g.write("packed\n", 7);
  g.close();
  EXPECT_EQ(first_line(path("x.gz")), "packed");
  for (const char* plain : {"x.GZ", "x.gz.txt", "gz"}) {
    iotest::write_file(path(plain), "plain\n");
    EXPECT_EQ(first_line(path(plain)), "plain") << plain;
  }
}

TEST(open_input, stream_settings) {
  iotest::write_file(path("in.csv"), "a;b\nlast");
  auto s = open_input(path("in.csv"), ';');
  EXPECT_EQ(s->capacity(), 16384);
  EXPECT_EQ(s->separator(), ';');
  ASSERT_TRUE(s->read_line());
  EXPECT_EQ(s->field_count(), 2);
  ASSERT_TRUE(s->read_line());
  EXPECT_STREQ(s->line(), "last");
  EXPECT_EQ(s->connection()->mode(), SEQUENTIAL | READ | SHARE);
}
