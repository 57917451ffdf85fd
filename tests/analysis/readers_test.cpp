// The metadata, data and select-options readers over literal files.
#include <gtest/gtest.h>

#include <sstream>
#include <utility>
#include <vector>

#include "support/tables.hpp"

using namespace testing_support;

namespace {

// Each row is an input and the message of the error it must raise.
template <class F>
void expect_errors(const std::vector<std::pair<std::string, std::string>>& cases, F read) {
  for (const auto& [input, want] : cases) EXPECT_EQ(error_of([&] { read(input); }), want) << input;
}

std::string written_metadata(kel::dataset& d) {
  return written([&](const std::string& name) {
    orv::inpout::textout out(name);
    d.writeMetadata(out);  // and flushes
  });
}

}  // namespace

TEST(metadata, kinds_write_back_and_bad_syntax) {
  auto d = load("age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n",
                "30,m,primary,1\n40,f,tertiary,2\n50,?,?,3\n25,f,secondary,4\n", "sex=f\nsex=f\nage,education\n");
  EXPECT_EQ(written_metadata(*d),
            "age,continuous\nsex,nominal,m,f\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n");

  // Lines are taken as they stand: extra fields, empty names and values.
  auto odd = with_metadata("age,continuous,extra\nx,ordinal,,b\n,nominal\nage,nominal\r\n");
  EXPECT_EQ(written_metadata(*odd), "age,continuous\nx,ordinal,,b\n,nominal\nage,nominal\n");
  EXPECT_EQ(odd->index.at("age"), 0);  // a repeated name keeps pointing at the first column
  EXPECT_EQ(with_metadata("")->atts->size(), 0u);

  expect_errors({{"age, continuous\n", "bad syntax: age, continuous"}, {"grade,ordinal\n", "bad syntax: grade,ordinal"},
                 {"grade,ordinal,\n", "bad syntax: grade,ordinal,"}, {"a,nominal\n\nb,nominal\n", "bad syntax: "},
                 {"a,nominal\n\n", "bad syntax: "}, {"a,\n", "bad syntax: a,"}, {",,,,\n", "bad syntax: ,,,,"},
                 {"id,Nominal\n", "bad syntax: id,Nominal"}, {"a,nominal\nid,ignore\r", "bad syntax: id,ignore\r"},
                 {std::string("a,nomi\0nal\n", 11), "bad syntax: a,nomi"}},
                [](const std::string& meta) { with_metadata(meta); });
}

TEST(data, fields_rows_and_line_ends) {
  const std::string meta = "a,nominal\nb,nominal\nc,nominal\n";
  const std::string select = "a=x\na=x\nb\n";
  auto d = load(meta, "x,  y ,\tz\r\nx,,w\n  ,q,r", select);
  EXPECT_STREQ((*d->atts)[1]->getString(0), "y");
  EXPECT_STREQ((*d->atts)[2]->getString(0), "\tz");
  EXPECT_STREQ((*d->atts)[1]->getString(1), "");
  EXPECT_STREQ((*d->atts)[0]->getString(2), "");
  EXPECT_STREQ((*d->atts)[2]->getString(2), "r");
  EXPECT_STREQ((*load("a,nominal\nb,nominal\n", "x,y,\n", select)->atts)[1]->getString(0), "y");
  EXPECT_STREQ((*load(meta, "x;y;z\n", select, ';')->atts)[2]->getString(0), "z");
  EXPECT_EQ(load(meta, "", "a=?\na=?\nb\n")->rows(), 0u);
  // A single-column table takes an empty line as a row.
  EXPECT_EQ(with_metadata("a,nominal\n")->readData(*text_stream("x\n\ny\n")), 3u);

  // Bad rows and values say where they are.
  expect_errors({{"1,lo,z\n1,lo\n", "bad row: 2"}, {"1,lo,z\n\n1,lo,z\n", "bad row: 2"}, {"1,lo,z,w\n", "bad row: 1"},
                 {",,,,,,\n", "bad row: 1"}, {"1,lo,z\n2,mid,z\n", "unknown ordinal value mid"},
                 {"1,lo,z\ninf,hi,z\n", "not a finite number: inf (row 2, attribute age)"},
                 {"1e999,hi,z\n", "not a finite number: 1e999 (row 1, attribute age)"}},
                [](const std::string& data) {
                  with_metadata("age,continuous\ngrade,ordinal,lo,hi\nc,nominal\n")->readData(*text_stream(data));
                });
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
  std::string groups;
  for (unsigned r = 0; r < 5; ++r) groups += d->protectedRows.test(r) ? 'p' : d->unprotectedRows.test(r) ? 'u' : '-';
  EXPECT_EQ(groups, "p-uuu");
  EXPECT_EQ(d->measureAtts.size(), 3u);
  EXPECT_EQ(d->measureAtts[0], d->measureAtts[2]);
  EXPECT_EQ(d->preValue, "replacement");
  // The c-cond is the whole line, commas included.
  EXPECT_EQ(error_of([&] { load(meta, data, "sex=f\nclass=a,b\nage\n"); }), "cannot decodea,b");

  // An empty a-cond protects every row.
  auto everyone = load(meta, data, "\nclass=a\nage\n");
  for (unsigned r = 0; r < 5; ++r) EXPECT_EQ(everyone->evalACond(r), 1);
  EXPECT_EQ(everyone->preValue, "");
}

TEST(select, operators) {
  // The operator is the first of "<=>" and what follows it; a value may start with one.
  auto d = load("a,ordinal,<b,>5,x,y\nx,ordinal,>5,x,y\n", "x,x\n", "a=x\na=x\na\n");
  const struct {
    const char* item;
    int op, code;
  } items[] = {{"a<x", 0, 2},  {"a<=x", 1, 2}, {"a=x", 2, 2},  {"a<>x", 3, 2},  {"a>=x", 4, 2},
               {"a>x", 5, 2},  {"a=>5", 2, 1}, {"a><b", 5, 0}, {"a=<b", 2, 0}, {"x<=>5", 1, 0}};
  for (const auto& i : items) {
    EXPECT_EQ(d->parseItem(i.item).op, i.op) << i.item;
    EXPECT_EQ(d->parseItem(i.item).value.code(), i.code) << i.item;
  }
}

TEST(select, rejections) {
  const std::string meta = "sex,nominal\nsexes,nominal\nclass,nominal\nid,ignore\n";
  const std::string data = "f,f,a,1\nm,m,b,2\n";
  expect_errors({{"", "bad a-cond"}, {"sex=f\n", "bad c-cond"}, {"sex=f\nclass=a\n", "bad measure_atts"},
                 {"sex=f\nclass=a\n\n", "bad measure_atts: no attribute to measure"},
                 {"sex<f\nclass=a\nsex\n", "not an itemsex<f"}, {"sex = f\nclass=a\nsex\n", "not an itemsex = f"},
                 {"se=f\nclass=a\nsex\n", "not an itemse=f"}, {"sex\nclass=a\nsex\n", "not an itemsex"},
                 {"=f\nclass=a\nsex\n", "not an item=f"}, {"sex=\nclass=a\nsex\n", "cannot decode"},
                 {"sex=f,,sex=m\nclass=a\nsex\n", "not an item"}, {"sex=x\nclass=a\nsex\n", "cannot decodex"},
                 {"sex=f\nclass=a\nsex,,class\n", "not an attribute listsex,,class"},
                 {"sex=f\nclass=a\nsex,clas\n", "not an attribute listsex,clas"},
                 {"sex=f\nclass=a\nsex\r", "not an attribute listsex\r"}},
                [&](const std::string& select) { load(meta, data, select); });
  // Ignored columns are accepted here and fail only when compared.
  auto d = load(meta, data, "id=1\nclass=a\nsex,id\n");
  std::ostringstream console;
  EXPECT_EQ(error_of([&] { d->splitGroups(console); }), "attribute type ignore");
  EXPECT_EQ(error_of([&] { d->distance(0, 1); }), "attribute type ignore");
}
