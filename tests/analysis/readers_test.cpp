// The metadata, data and select-options readers over literal files.
#include <gtest/gtest.h>

#include <sstream>

#include "analysis/textout.hpp"
#include "text_input.hpp"
#include "util/error.hpp"

using kel::dataset;
using kel::testing::error_of;
using kel::testing::load;
using kel::testing::text_stream;

namespace {

std::unique_ptr<dataset> metadata(const std::string& text) {
  auto d = std::make_unique<dataset>();
  d->readMetadata(*text_stream(text));
  return d;
}

std::string metadata_error(const std::string& text) {
  return error_of([&] { metadata(text); });
}

std::string written_metadata(dataset& d) {
  char name[] = "/tmp/kel-md-XXXXXX";
  close(mkstemp(name));
  {
    kel::textout out(name);
    d.writeMetadata(out);
  }
  std::ifstream f(name);
  std::stringstream s;
  s << f.rdbuf();
  unlink(name);
  return s.str();
}

const char* const people_meta =
    "age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n";

}  // namespace

TEST(metadata, kinds_positions_and_write_back) {
  auto d = load(people_meta, "30,m,primary,1\n40,f,tertiary,2\n50,?,?,3\n25,f,secondary,4\n",
                "sex=f\nsex=f\nage,education\n");
  ASSERT_EQ(d->atts->size(), 4u);
  EXPECT_EQ((*d->atts)[0]->getType(), 3);
  EXPECT_EQ((*d->atts)[1]->getType(), 1);
  EXPECT_EQ((*d->atts)[2]->getType(), 2);
  EXPECT_EQ((*d->atts)[3]->getType(), 4);
  EXPECT_EQ(d->index.at("education"), 2);
  EXPECT_EQ(written_metadata(*d),
            "age,continuous\nsex,nominal,m,f\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n");
}

TEST(metadata, lines_are_taken_as_they_stand) {
  auto d = metadata("age,continuous,extra\nx,ordinal,,b\n,nominal\nage,nominal\r\n");
  ASSERT_EQ(d->atts->size(), 4u);
  EXPECT_EQ((*d->atts)[0]->name, "age");
  EXPECT_EQ((*d->atts)[1]->toMetadata(), "x,ordinal,,b");
  EXPECT_EQ((*d->atts)[1]->decodeNominal("b"), 1);
  EXPECT_EQ((*d->atts)[2]->name, "");
  // A repeated name keeps pointing at the first column.
  EXPECT_EQ(d->index.at("age"), 0);
  EXPECT_EQ(metadata("")->atts->size(), 0u);
}

TEST(metadata, bad_syntax) {
  EXPECT_EQ(metadata_error("age, continuous\n"), "bad syntax: age, continuous");
  EXPECT_EQ(metadata_error("grade,ordinal\n"), "bad syntax: grade,ordinal");
  EXPECT_EQ(metadata_error("grade,ordinal,\n"), "bad syntax: grade,ordinal,");
  EXPECT_EQ(metadata_error("a,nominal\n\nb,nominal\n"), "bad syntax: ");
  EXPECT_EQ(metadata_error("a,nominal\n\n"), "bad syntax: ");
  EXPECT_EQ(metadata_error("a,\n"), "bad syntax: a,");
  EXPECT_EQ(metadata_error(",,,,\n"), "bad syntax: ,,,,");
  EXPECT_EQ(metadata_error("id,Nominal\n"), "bad syntax: id,Nominal");
  EXPECT_EQ(metadata_error("a,nominal\nid,ignore\r"), "bad syntax: id,ignore\r");
  EXPECT_EQ(metadata_error(std::string("a,nomi\0nal\n", 11)), "bad syntax: a,nomi");
}

TEST(data, fields_rows_and_line_ends) {
  const std::string meta = "a,nominal\nb,nominal\nc,nominal\n";
  const std::string select = "a=x\na=x\nb\n";
  auto d = load(meta, "x,  y ,\tz\r\nx,,w\n  ,q,r", select);
  EXPECT_EQ(d->rows(), 3u);
  EXPECT_STREQ((*d->atts)[1]->getString(0), "y");
  EXPECT_STREQ((*d->atts)[2]->getString(0), "\tz");
  EXPECT_STREQ((*d->atts)[1]->getString(1), "");
  EXPECT_STREQ((*d->atts)[0]->getString(2), "");
  EXPECT_STREQ((*d->atts)[2]->getString(2), "r");

  auto two = load("a,nominal\nb,nominal\n", "x,y,\n", "a=x\na=x\nb\n");
  EXPECT_STREQ((*two->atts)[1]->getString(0), "y");

  auto semi = load(meta, "x;y;z\n", select, ';');
  EXPECT_STREQ((*semi->atts)[2]->getString(0), "z");
  EXPECT_EQ(load(meta, "", "a=?\na=?\nb\n")->rows(), 0u);
}

TEST(data, bad_rows_name_their_line) {
  const std::string meta = "a,nominal\nb,nominal\nc,nominal\n";
  auto read = [&](const std::string& data) {
    return error_of([&] {
      dataset d;
      d.readMetadata(*text_stream(meta));
      d.readData(*text_stream(data));
    });
  };
  EXPECT_EQ(read("x,y,z\nx,y\n"), "bad row: 2");
  EXPECT_EQ(read("x,y,z\n\nx,y,z\n"), "bad row: 2");
  EXPECT_EQ(read("x,y,z,w\n"), "bad row: 1");
  EXPECT_EQ(read(",,,,,,\n"), "bad row: 1");
  // A single-column table takes an empty line as a row.
  dataset one;
  one.readMetadata(*text_stream("a,nominal\n"));
  EXPECT_EQ(one.readData(*text_stream("x\n\ny\n")), 3u);
}

TEST(data, bad_values_name_row_and_attribute) {
  const std::string meta = "age,continuous\ngrade,ordinal,lo,hi\n";
  auto read = [&](const std::string& data) {
    return error_of([&] {
      dataset d;
      d.readMetadata(*text_stream(meta));
      d.readData(*text_stream(data));
    });
  };
  EXPECT_EQ(read("1,lo\n2,mid\n"), "unknown ordinal value mid");
  EXPECT_EQ(read("1,lo\ninf,hi\n"), "not a finite number: inf (row 2, attribute age)");
  EXPECT_EQ(read("1e999,hi\n"), "not a finite number: 1e999 (row 1, attribute age)");
}

TEST(select, items_and_groups) {
  const std::string meta = "sex,nominal\nage,continuous\nclass,nominal\ngrade,ordinal,f,g\n";
  const std::string data =
      "f,20,a,f\n"   // protected
      "f,?,a,g\n"    // undecided
      "m,?,b,f\n"    // unprotected: false wins over undecided
      "m,40,a,g\n"   // unprotected
      "f,50,a,?\n";  // unprotected
  auto d = load(meta, data, "sex=f,age<30\nclass=a\nage,sex,age,\nreplacement\r\n");
  std::ostringstream console;
  d->splitGroups(console);
  EXPECT_EQ(console.str(), "no. protected 1\nno. unprotected 3\n");
  EXPECT_TRUE(d->protectedRows.test(0));
  EXPECT_FALSE(d->protectedRows.test(1));
  EXPECT_FALSE(d->unprotectedRows.test(1));
  EXPECT_TRUE(d->unprotectedRows.test(2));
  // The c-cond is the whole line, commas included.
  EXPECT_EQ(error_of([&] { load(meta, data, "sex=f\nclass=a,b\nage\n"); }), "cannot decodea,b");
  EXPECT_EQ(d->measureAtts.size(), 3u);
  EXPECT_EQ(d->measureAtts[0], d->measureAtts[2]);
  EXPECT_EQ(d->preValue, "replacement");

  auto ordinal = load(meta, data, "grade<g\nclass=a\nage\n");
  EXPECT_EQ(ordinal->evalACond(0), 1);
  EXPECT_EQ(ordinal->evalACond(1), 0);
  EXPECT_EQ(ordinal->evalACond(4), -1);
  EXPECT_EQ(ordinal->preValue, "");

  auto everyone = load(meta, data, "\nclass=a\nage\n");
  for (unsigned r = 0; r < 5; ++r) EXPECT_EQ(everyone->evalACond(r), 1);
  auto missing = load(meta, data, "age<>?\nclass=a\nage\n");
  for (unsigned r = 0; r < 5; ++r) EXPECT_EQ(missing->evalACond(r), -1);
}

TEST(select, operators) {
  const std::string meta = "a,ordinal,<b,>5,x,y\nx,ordinal,>5,x,y\n";
  auto d = load(meta, "x,x\n", "a=<b,x<=>5\na=x\na\n");
  ASSERT_EQ(d->acond->size(), 2u);
  EXPECT_EQ((*d->acond)[0].op, 2);
  EXPECT_EQ((*d->acond)[0].value.code(), 0);
  EXPECT_EQ((*d->acond)[1].op, 1);
  EXPECT_EQ((*d->acond)[1].value.code(), 0);
  const struct {
    const char* item;
    int op;
  } ops[] = {{"a<x", 0}, {"a<=x", 1}, {"a=x", 2}, {"a<>x", 3}, {"a>=x", 4}, {"a>x", 5}, {"a=>5", 2}, {"a><b", 5}};
  for (const auto& o : ops) EXPECT_EQ(d->parseItem(o.item).op, o.op) << o.item;
}

TEST(select, rejections) {
  const std::string meta = "sex,nominal\nsexes,nominal\nclass,nominal\nid,ignore\n";
  const std::string data = "f,f,a,1\nm,m,b,2\n";
  auto error = [&](const std::string& select) { return error_of([&] { load(meta, data, select); }); };
  EXPECT_EQ(error(""), "bad a-cond");
  EXPECT_EQ(error("sex=f\n"), "bad c-cond");
  EXPECT_EQ(error("sex=f\nclass=a\n"), "bad measure_atts");
  EXPECT_EQ(error("sex=f\nclass=a\n\n"), "bad measure_atts: no attribute to measure");
  EXPECT_EQ(error("sex<f\nclass=a\nsex\n"), "not an itemsex<f");
  EXPECT_EQ(error("sex = f\nclass=a\nsex\n"), "not an itemsex = f");
  EXPECT_EQ(error("se=f\nclass=a\nsex\n"), "not an itemse=f");
  EXPECT_EQ(error("sex\nclass=a\nsex\n"), "not an itemsex");
  EXPECT_EQ(error("=f\nclass=a\nsex\n"), "not an item=f");
  EXPECT_EQ(error("sex=\nclass=a\nsex\n"), "cannot decode");
  EXPECT_EQ(error("sex=f,,sex=m\nclass=a\nsex\n"), "not an item");
  EXPECT_EQ(error("sex=x\nclass=a\nsex\n"), "cannot decodex");
  EXPECT_EQ(error("sex=f\nclass=a\nsex,,class\n"), "not an attribute listsex,,class");
  EXPECT_EQ(error("sex=f\nclass=a\nsex,clas\n"), "not an attribute listsex,clas");
  EXPECT_EQ(error("sex=f\nclass=a\nsex\r"), "not an attribute listsex\r");
  // Ignored columns are accepted here and fail only when evaluated.
  auto d = load(meta, data, "id=1\nclass=a\nsex\n");
  std::ostringstream console;
  EXPECT_EQ(error_of([&] { d->splitGroups(console); }), "attribute type ignore");
}
