#include "analysis/attribute.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <initializer_list>
#include <memory>
#include <string>

#include "util/error.hpp"

namespace {

using namespace kel;

template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const orv::util::error& e) {
    return e.what();
  }
  return "<no error>";
}

template <class A>
std::unique_ptr<A> column(std::initializer_list<const char*> fields, const char* name = "x") {
  auto att = std::make_unique<A>(name);
  att->reserve(static_cast<unsigned>(fields.size()));
  for (const char* field : fields) att->addValue(field);
  return att;
}

std::unique_ptr<attordinal> scale(std::initializer_list<const char*> declared) {
  auto att = std::make_unique<attordinal>("level");
  for (const char* text : declared) att->addDeclared(text);
  att->closeScale();
  return att;
}

// Expected results of the six operators against a middle value, for a row
// below it, equal to it and above it.
constexpr int sixOps[6][3] = {{1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {1, 0, 1}, {0, 1, 1}, {0, 0, 1}};

TEST(attribute, kinds_and_inaccessible_operations) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(missingContinuous), 0x00800000u);
  EXPECT_EQ(missingContinuous, FLT_MIN);
  attcontinuous c;
  attnominal n;
  auto o = scale({"a"});
  attignore i("x");
  EXPECT_EQ(n.getType() * 100 + o->getType() * 10 + c.getType(), 123);
  EXPECT_EQ(i.getType(), 4);
  c.addValue("1");
  n.addValue("a");
  i.addValue("a");

  EXPECT_EQ(errorOf([&] { c.decodeNominal("1"); }), "decodeNominal not accessible");
  EXPECT_EQ(errorOf([&] { c.getNominal(0); }), "getNominal not accessible");
  EXPECT_EQ(errorOf([&] { c.setNominal(0, 0); }), "setNominal not accessible");
  for (attribute* a : std::initializer_list<attribute*>{&n, o.get(), &i}) {
    EXPECT_EQ(errorOf([&] { a->decodeContinuous("1"); }), "decodeContinuous not accessible");
    EXPECT_EQ(errorOf([&] { a->getContinuous(0); }), "getContinuous not accessible");
    EXPECT_EQ(errorOf([&] { a->setContinuous(0, 1.0f); }), "setContinuous not accessible");
    EXPECT_EQ(errorOf([&] { a->setNominal(0, 0); }), "setNominal not accessible");
  }
  EXPECT_EQ(errorOf([&] { i.hasMissing(); }), "attribute type ignore");
  EXPECT_EQ(errorOf([&] { i.evalCond(0, opEqual, i.decodeNominal("a")); }), "attribute type ignore");
  EXPECT_EQ(errorOf([&] { i.distance(0, 0); }), "attribute type ignore");
  EXPECT_STREQ(i.getString(0), "a");
  EXPECT_EQ(i.toMetadata(), "x,ignore");
  EXPECT_EQ(c.numValues(), 0u);
}

TEST(attnominal, codes_in_first_occurrence_order_with_a_code_for_missing) {
  auto a = column<attnominal>({"b", "?", "a", "b", "a"}, "grade");
  EXPECT_EQ(a->codesView(), (std::vector<std::int32_t>{0, 1, 2, 0, 2}));
  EXPECT_EQ(a->getMissingCode(), 1);
  EXPECT_EQ(a->numValues(), 3u);
  EXPECT_TRUE(a->hasMissing());
  EXPECT_STREQ(a->getString(2), "a");
  EXPECT_STREQ(a->getString(1), "?");
  EXPECT_EQ(a->toMetadata(), "grade,nominal,b,a");
  EXPECT_EQ(a->decodeNominal("a"), 2);
  EXPECT_EQ(a->decodeNominal("?"), 1);
  EXPECT_EQ(errorOf([&] { a->decodeNominal("c"); }), "cannot decodec");
  // Only the one-character text is missing.
  a->addValue("??");
  EXPECT_EQ(a->getNominal(5), 3);
  EXPECT_EQ(a->getMissingCode(), 1);
}

TEST(attnominal, conditions_and_distances) {
  auto a = column<attnominal>({"m", "f", "?", "?"});
  const condvalue f = a->decodeNominal("f");
  EXPECT_EQ(a->evalCond(0, opEqual, f), 0);
  EXPECT_EQ(a->evalCond(1, opEqual, f), 1);
  EXPECT_EQ(a->evalCond(2, opEqual, f), -1);
  EXPECT_EQ(a->evalCond(0, opNotEqual, f), 1);
  EXPECT_EQ(a->evalCond(0, opEqual, a->decodeNominal("?")), -1);
  for (int op : {opLess, opLessEqual, opGreaterEqual, opGreater, 6, -1})
    EXPECT_EQ(errorOf([&] { a->evalCond(0, op, f); }), "op not valid") << op;

  EXPECT_EQ(a->distance(0, 0), 0.0f);
  EXPECT_EQ(a->distance(0, 1), 1.0f);
  EXPECT_EQ(a->distance(0, 2), 1.0f);
  EXPECT_EQ(a->distance(2, 0), 1.0f);
  EXPECT_EQ(a->distance(2, 3), 1.0f);  // missing never matches, even itself
}

TEST(attnominal, without_missing_data_a_missing_condition_is_undecided) {
  auto a = column<attnominal>({"m", "f"});
  EXPECT_EQ(a->getMissingCode(), -1);
  EXPECT_FALSE(a->hasMissing());
  EXPECT_EQ(a->decodeNominal("?"), -1);
  for (unsigned row : {0u, 1u}) EXPECT_EQ(a->evalCond(row, opNotEqual, a->decodeNominal("?")), -1);
  EXPECT_EQ(a->toMetadata(), "x,nominal,m,f");
}

TEST(attordinal, codes_fixed_by_declaration_with_missing_last) {
  auto a = scale({"low", "mid", "high"});
  EXPECT_EQ(a->getMaxCode(), 2u);
  EXPECT_EQ(a->getMissingCode(), 3);
  for (const char* v : {"high", "?", "low", "mid"}) a->addValue(v);
  EXPECT_EQ(a->codesView(), (std::vector<std::int32_t>{2, 3, 0, 1}));
  EXPECT_TRUE(a->hasMissing());
  EXPECT_STREQ(a->getString(1), "?");
  EXPECT_EQ(a->toMetadata(), "level,ordinal,low,mid,high");
  EXPECT_EQ(errorOf([&] { a->addValue("huge"); }), "unknown ordinal value huge");
  EXPECT_EQ(errorOf([&] { a->decodeNominal("huge"); }), "cannot decodehuge");

  auto dup = scale({"a", "b", "a"});  // the first code of a text wins
  EXPECT_EQ(dup->getMaxCode(), 2u);
  EXPECT_EQ(dup->decodeNominal("a"), 0);
  EXPECT_EQ(dup->toMetadata(), "level,ordinal,a,b,a");
}

TEST(attordinal, conditions_compare_positions_on_the_scale) {
  auto a = scale({"low", "mid", "high"});
  for (const char* v : {"low", "mid", "high", "?"}) a->addValue(v);
  const condvalue mid = a->decodeNominal("mid");
  for (int op = 0; op < 6; ++op) {
    for (unsigned row = 0; row < 3; ++row) EXPECT_EQ(a->evalCond(row, op, mid), sixOps[op][row]) << op << row;
    EXPECT_EQ(a->evalCond(3, op, mid), -1);
    EXPECT_EQ(a->evalCond(0, op, a->decodeNominal("?")), -1);
  }
  EXPECT_EQ(errorOf([&] { a->evalCond(0, 6, mid); }), "op not valid");
}

TEST(attordinal, distance_uses_the_scale_and_the_farther_end_for_missing) {
  auto a = scale({"low", "mid", "high"});
  for (const char* v : {"low", "mid", "high", "?", "?"}) a->addValue(v);
  EXPECT_EQ(a->distance(0, 2), 1.0f);
  EXPECT_EQ(a->distance(2, 0), 1.0f);
  EXPECT_EQ(a->distance(0, 1), 0.5f);
  EXPECT_EQ(a->distance(3, 1), 0.5f);
  EXPECT_EQ(a->distance(0, 3), 1.0f);
  EXPECT_EQ(a->distance(3, 4), 1.0f);

  auto four = scale({"a", "b", "c", "d"});
  for (const char* v : {"a", "b", "?"}) four->addValue(v);
  EXPECT_EQ(four->distance(0, 1), 1.0f / 3.0f);
  EXPECT_EQ(four->distance(1, 2), 1.0f - 1.0f / 3.0f);

  // A one-value scale has nothing to divide by: present values are equal.
  auto one = scale({"only"});
  for (const char* v : {"only", "only", "?"}) one->addValue(v);
  EXPECT_EQ(one->distance(0, 1), 0.0f);
  EXPECT_EQ(one->distance(0, 2), 1.0f);
  EXPECT_EQ(one->distance(2, 2), 1.0f);
}

TEST(attcontinuous, fields_are_read_like_atof_but_must_be_finite) {
  auto a = column<attcontinuous>({"abc", "12abc", "  -2.5e1", "?", "??", "0x10"});
  EXPECT_EQ(a->valuesView(), (std::vector<float>{0.0f, 12.0f, -25.0f, missingContinuous, 0.0f, 16.0f}));
  EXPECT_TRUE(a->hasMissing());
  std::string longField(300, ' ');  // longer than the stack copy
  longField[0] = '7';
  a->addValue(longField);
  EXPECT_EQ(a->getContinuous(6), 7.0f);
  for (const char* text : {"nan", "-Infinity", "1e999", "1e39"})
    EXPECT_EQ(errorOf([&] { a->addValue(text); }), std::string("not a finite number: ") + text);
  EXPECT_EQ(a->size(), 7u);
}

TEST(attcontinuous, standardizes_against_a_hand_computation) {
  // n = 3, mean = 9 / 3 = 3, mad = (2 + 1 + 3) / 3 = 2; the "?" stays.
  auto a = column<attcontinuous>({"1", "2", "?", "6", "?"}, "age");
  a->normalize();
  EXPECT_EQ(a->getMean(), 3.0f);
  EXPECT_EQ(a->getMad(), 2.0f);
  EXPECT_EQ(a->valuesView(), (std::vector<float>{-1.0f, -0.5f, missingContinuous, 1.5f, missingContinuous}));
  EXPECT_EQ(a->decodeContinuous("5"), 1.0f);
  EXPECT_EQ(a->decodeContinuous("?"), missingContinuous);
  EXPECT_EQ(errorOf([&] { a->decodeContinuous("nan"); }), "cannot decodenan");
  EXPECT_STREQ(a->getString(0), "1");
  EXPECT_STREQ(a->getString(2), "?");
  EXPECT_EQ(a->toMetadata(), "age,continuous");

  EXPECT_EQ(a->distance(0, 1), 0.5f);
  EXPECT_EQ(a->distance(3, 0), 2.5f);
  EXPECT_EQ(a->distance(0, 2), 3.0f);
  EXPECT_EQ(a->distance(2, 4), 3.0f);

  const condvalue two = a->decodeContinuous("2");
  const unsigned rows[3] = {0, 1, 3};
  for (int op = 0; op < 6; ++op) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a->evalCond(rows[i], op, two), sixOps[op][i]) << op << i;
    EXPECT_EQ(a->evalCond(2, op, two), -1);
    EXPECT_EQ(a->evalCond(0, op, a->decodeContinuous("?")), -1);
  }
  EXPECT_EQ(errorOf([&] { a->evalCond(0, 6, two); }), "op not valid");
}

TEST(attcontinuous, standardizing_works_in_single_precision) {
  // In float 2^24 + 1 + 1 stays 2^24, so the mean is 5592405.5 (not
  // 5592406), and the deviations round before they are added.
  auto a = column<attcontinuous>({"16777216", "1", "1"});
  a->normalize();
  EXPECT_EQ(a->getMean(), 5592405.5f);
  EXPECT_EQ(a->getMad(), 7456539.5f);
  EXPECT_EQ(a->getContinuous(0), 1.50000011920928955078125f);
  EXPECT_EQ(a->getContinuous(1), -0.75f);
  // Decoding subtracts and divides in double and rounds once.
  EXPECT_EQ(a->decodeContinuous("10000000.3"), 0.5911046266555786f);
  // value * mad and + mean round separately: a fused form would give 0.875.
  EXPECT_STREQ(a->getString(1), "1");
  EXPECT_STREQ(a->getString(0), "16777216");
}

TEST(attcontinuous, getString_prints_raw_units_without_trailing_zeros) {
  // mean 0 and mad 16 keep every value exact through the round trip.
  auto a = column<attcontinuous>({"0", "2.5", "30", "-32.5", "15.5", "-15.5"});
  a->normalize();
  ASSERT_EQ(a->getMad(), 16.0f);
  const char* expect[] = {"0", "2.5", "30", "-32.5", "15.5", "-15.5"};
  for (unsigned row = 0; row < 6; ++row) EXPECT_STREQ(a->getString(row), expect[row]);
  const char* first = a->getString(2);
  EXPECT_EQ(a->getString(1), first);  // one buffer, reused
  a->setContinuous(0, 0.1f / 16.0f);
  EXPECT_STREQ(a->getString(0), "0.100000001490116119384765625");
}

TEST(attcontinuous, constant_or_empty_columns_standardize_with_divisor_one) {
  auto a = column<attcontinuous>({"0.1", "?", "0.1"});
  a->normalize();
  EXPECT_EQ(a->getMean(), 0.1f);
  EXPECT_EQ(a->getMad(), 1.0f);
  EXPECT_EQ(a->getContinuous(0), 0.0f);
  EXPECT_STREQ(a->getString(0), "0.100000001490116119384765625");
  // The condition is decoded in double: 0.1 is not the stored 0.1f.
  EXPECT_EQ(a->evalCond(0, opEqual, a->decodeContinuous("0.1")), 0);
  EXPECT_EQ(a->evalCond(0, opLess, a->decodeContinuous("0.2")), 1);

  auto b = column<attcontinuous>({"?", "?"});
  b->normalize();
  EXPECT_EQ(b->getMean(), 0.0f);
  EXPECT_EQ(b->getMad(), 1.0f);
  EXPECT_EQ(b->decodeContinuous("2.5"), 2.5f);
  attcontinuous none;
  none.normalize();
  EXPECT_EQ(none.getMad(), 1.0f);
}

TEST(attcontinuous, overflowing_sums_stop_standardizing) {
  auto a = column<attcontinuous>({"3e38", "3e38", "1"}, "income");
  EXPECT_EQ(errorOf([&] { a->normalize(); }), "cannot standardize income: values out of range");
  auto b = column<attcontinuous>({"3e38", "-3e38"}, "debt");  // mean 0, deviations overflow
  EXPECT_EQ(errorOf([&] { b->normalize(); }), "cannot standardize debt: values out of range");
}

}  // namespace
