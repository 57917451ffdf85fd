#include "io/open_input.hpp"

#include <gtest/gtest.h>

#include "io/iogz.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

TEST(open_input, failures_name_the_input) {
  const auto message = [](const std::string& name) { return thrown([&] { open_input(name, ','); }); };
  EXPECT_EQ(message("missing.csv"), "File: missing.csv not found or inaccessible");
  EXPECT_EQ(message("missing.csv.gz"), "File: missing.csv.gz not found or inaccessible");
  EXPECT_EQ(message(scratch()), "File: " + scratch() + " not found or inaccessible");
  ASSERT_TRUE(std::filesystem::create_directory(path("dir.gz")));
  EXPECT_EQ(message(path("dir.gz")), "File: " + path("dir.gz") + " not found or inaccessible");
}

// Only a lower-case ".gz" ending selects decompression.
TEST(open_input, gz_by_the_last_three_characters) {
  iogz g;
  ASSERT_TRUE(g.open(path("x.gz"), WRITE, 6, 0));
  g.write("packed\n", 7);
  g.close();
  EXPECT_EQ(read_lines(*open_input(path("x.gz"), ',')), lines{"packed"});
  for (const char* plain : {"x.GZ", "x.gz.txt", "gz"}) {
    write_file(path(plain), "plain");
    EXPECT_EQ(read_lines(*open_input(path(plain), ',')), lines{"plain"}) << plain;
  }
}

TEST(open_input, stream_settings) {
  write_file(path("in.csv"), "a;b\n");
  auto s = open_input(path("in.csv"), ';');
  EXPECT_EQ(s->capacity(), 16384);
  ASSERT_TRUE(s->read_line());
  EXPECT_EQ(s->field_count(), 2);
  EXPECT_EQ(s->connection()->mode(), SEQUENTIAL | READ | SHARE);
}
