#include "analysis/model/attribute.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "support/support.hpp"

namespace {

using namespace kel;
using testing_support::error_of;

template <class A>
std::unique_ptr<A> column(std::initializer_list<const char*> fields, const char* name = "x") {
  auto att = std::make_unique<A>(name);
  for (const char* field : fields) att->addValue(field);
  return att;
}

std::unique_ptr<attordinal> scale(std::initializer_list<const char*> declared,
                                  std::initializer_list<const char*> fields = {}) {
  auto att = std::make_unique<attordinal>("level");
  for (const char* text : declared) att->addDeclared(text);
  att->closeScale();
  for (const char* field : fields) att->addValue(field);
  return att;
}

// The six operators against the middle value, for rows below, equal to and
// above it; a missing row or condition value leaves every one undecided.
void expect_six_ops(const attribute& a, const unsigned (&rows)[3], unsigned missingRow, condvalue middle,
                    condvalue missing) {
  constexpr int want[6][3] = {{1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {1, 0, 1}, {0, 1, 1}, {0, 0, 1}};
  for (int op = 0; op < 6; ++op) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a.evalCond(rows[i], op, middle), want[op][i]) << op << i;
    EXPECT_EQ(a.evalCond(missingRow, op, middle), -1);
    EXPECT_EQ(a.evalCond(rows[0], op, missing), -1);
  }
  EXPECT_EQ(error_of([&] { a.evalCond(rows[0], 6, middle); }), "op not valid");
}

TEST(attnominal, codes_in_first_occurrence_order_and_conditions) {
  // Only the one-character text is missing.
  auto a = column<attnominal>({"b", "?", "a", "b", "a", "?", "??"});
  EXPECT_EQ(a->codesView(), (std::vector<std::int32_t>{0, 1, 2, 0, 2, 1, 3}));
  EXPECT_EQ(a->getMissingCode(), 1);

  const condvalue b = a->decodeNominal("b");
  EXPECT_EQ(a->evalCond(0, opEqual, b), 1);
  EXPECT_EQ(a->evalCond(2, opEqual, b), 0);
  EXPECT_EQ(a->evalCond(2, opNotEqual, b), 1);
  EXPECT_EQ(a->evalCond(1, opEqual, b), -1);
  EXPECT_EQ(a->evalCond(0, opEqual, a->decodeNominal("?")), -1);

  // Without "?" in the data a missing condition value leaves rows undecided.
  auto full = column<attnominal>({"m", "f"});
  for (unsigned row : {0u, 1u}) EXPECT_EQ(full->evalCond(row, opNotEqual, full->decodeNominal("?")), -1);
}

// Texts of 9 to 16 bytes that share their first eight bytes, a word chosen
// to zero a factor of a fixed multiplicative hash, must spread over the
// slots like ordinary texts; their codes stay in first-occurrence order.
TEST(textindex, crafted_texts_spread_like_ordinary_ones) {
  constexpr int n = 20000;
  const std::string words[] = {
      std::string("\x2f\x64\xbd\x78\x64\x1d\x76\xa0", 8),  // 0xA0761D6478BD642F, little-endian
      std::string("\xdb\x28\xb4\xa0\xd1\x7e\x03\xe7", 8),  // 0xE7037ED1A0B428DB
      std::string(8, '\0'), std::string(8, 'x')};
  const auto indexed = [](const std::vector<std::string>& texts) {
    std::vector<std::string> dict;
    textindex index;
    for (const std::string& t : texts) {
      dict.push_back(t);
      index.insert(t, static_cast<std::int32_t>(dict.size() - 1), dict);
    }
    index.insert(texts[0], 99, dict);  // a text keeps its first code
    for (int i = 0; i < n; ++i) EXPECT_EQ(index.find(texts[static_cast<std::size_t>(i)], dict), i);
    return index.displacement();
  };
  std::vector<std::string> ordinary;
  for (int i = 0; i < n; ++i) ordinary.push_back("value-" + std::to_string(i));
  const std::size_t plain = indexed(ordinary);
  for (const std::string& word : words) {
    std::vector<std::string> crafted;
    for (int i = 0; i < n; ++i) crafted.push_back(word + std::to_string(i));
    // A shared hash would put every text in one run: n * n / 2 = 2e8 probes.
    // How well the crafted texts spread depends on the words this process
    // drew, so the bound leaves room: a few probes per text at most.
    EXPECT_LT(indexed(crafted), 10 * (plain + n)) << plain;
  }
}

TEST(attordinal, codes_conditions_and_distances_follow_the_declared_scale) {
  auto a = scale({"low", "mid", "high"}, {"high", "?", "low", "mid"});
  EXPECT_EQ(a->codesView(), (std::vector<std::int32_t>{2, 3, 0, 1}));
  EXPECT_STREQ(a->getString(1), "?");

  auto dup = scale({"a", "b", "a"});  // the first code of a text wins
  EXPECT_EQ(dup->getMaxCode(), 2u);
  EXPECT_EQ(dup->decodeNominal("a"), 0);
  EXPECT_EQ(dup->toMetadata(), "level,ordinal,a,b,a");

  expect_six_ops(*a, {2, 3, 0}, 1, a->decodeNominal("mid"), a->decodeNominal("?"));
  // Distances are checked against the fast search's own in the equivalence
  // test, except on a one-value scale, which has nothing to divide by.
  auto one = scale({"only"}, {"only", "only", "?"});
  EXPECT_EQ(one->distance(0, 1), 0.0f);
  EXPECT_EQ(one->distance(0, 2), 1.0f);
  EXPECT_EQ(one->distance(2, 2), 1.0f);
}

TEST(attcontinuous, fields_are_read_like_atof_but_must_be_finite) {
  auto a = column<attcontinuous>({"abc", "12abc", "  -2.5e1", "?", "??", "0x10"});
  EXPECT_EQ(a->valuesView(), (std::vector<float>{0.0f, 12.0f, -25.0f, missingContinuous, 0.0f, 16.0f}));
  a->addValue("7" + std::string(299, ' '));  // longer than the stack copy
  EXPECT_EQ(a->getContinuous(6), 7.0f);
  for (const char* text : {"nan", "-Infinity", "1e999", "1e39"})
    EXPECT_EQ(error_of([&] { a->addValue(text); }), std::string("not a finite number: ") + text);
}

// The bits of a float, to compare with hand-worked patterns.
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(attcontinuous, standardizes_against_a_hand_computation) {
  // n = 3; mean = (1 + 2 + 6) / 3 = 3. mad sums the rounded terms |v - 3| / 3:
  // 2/3 -> 0x3f2aaaab, 1/3 -> 0x3eaaaaab; their exact sum 1 + 2^-25 is a
  // quarter unit above 1 and rounds to 1; + 3/3 gives mad = 2. The "?" stays.
  auto a = column<attcontinuous>({"1", "2", "?", "6", "?"}, "age");
  a->normalize();
  EXPECT_EQ(a->getMad(), 2.0f);
  EXPECT_EQ(a->valuesView(), (std::vector<float>{-1.0f, -0.5f, missingContinuous, 1.5f, missingContinuous}));
  EXPECT_EQ(a->decodeContinuous("5"), 1.0f);
  EXPECT_EQ(error_of([&] { a->decodeContinuous("nan"); }), "cannot decodenan");
  EXPECT_STREQ(a->getString(2), "?");
  expect_six_ops(*a, {0, 1, 3}, 2, a->decodeContinuous("2"), a->decodeContinuous("?"));
}

TEST(attcontinuous, the_mean_absolute_deviation_adds_rounded_terms) {
  // 1, 2, 3, 3, 4, 5, 2.5: sum 20.5 (exact), mean = 20.5 / 7 -> 0x403b6db7
  // (2.9285715). Each term |v - mean| / 7 rounds to float before it is
  // added; the sum is 0x3f705399 (0.9387756). Dividing the sum of the
  // deviations once, at the end, would give 0x3f705397 instead.
  auto a = column<attcontinuous>({"1", "2", "3", "3", "4", "5", "2.5"});
  a->normalize();
  EXPECT_EQ(bits(a->getMean()), 0x403b6db7u);
  EXPECT_EQ(bits(a->getMad()), 0x3f705399u);
  // (1 - mean) / mad, then back as value * mad + mean, each step in float.
  EXPECT_STREQ(a->getString(0), "0.99999988079071044921875");

  // The terms stay finite where the sum of whole deviations would not:
  // mean = 3.4e38 / 3, and |3.4e38 - mean| + 2 * mean overflows, while the
  // thirds do not.
  auto big = column<attcontinuous>({"3.4e38", "0", "0"});
  big->normalize();
  EXPECT_EQ(big->getContinuous(1), big->getContinuous(2));
  EXPECT_STREQ(big->getString(1), "0");
}

TEST(attcontinuous, standardizes_in_single_precision_and_prints_raw_units) {
  // In float 2^24 + 1 + 1 stays 2^24, so the mean is 2^24 / 3 -> 5592405.5
  // (floats there are 0.5 apart). The terms: |2^24 - mean| = 11184810.5
  // rounds to the even 11184810, / 3 = 3728270 exactly; |1 - mean| =
  // 5592404.5, / 3 = 1864134.8333 -> 1864134.875 (steps of 0.125). Sum:
  // 3728270 + 1864134.875 -> 5592405 (steps of 0.5), + 1864134.875 -> 7456540.
  auto a = column<attcontinuous>({"16777216", "1", "1"});
  a->normalize();
  EXPECT_EQ(a->getMean(), 5592405.5f);
  EXPECT_EQ(a->getMad(), 7456540.0f);
  // 11184810 / 7456540 = 1.5 exactly; -5592404.5 / 7456540 = -0.7499999330
  // -> the float one unit (2^-24) above -0.75.
  EXPECT_EQ(a->getContinuous(0), 1.5f);
  EXPECT_EQ(a->getContinuous(1), -0.749999940395355224609375f);
  // Decoding subtracts and divides in double and rounds once:
  // (10000000.3 - 5592405.5) / 7456540 = 0.5911045606... -> 0x3f1752a1.
  EXPECT_EQ(bits(a->decodeContinuous("10000000.3")), 0x3f1752a1u);
  // value * mad -> -5592404.5 and + mean round separately, giving 1; a fused
  // form would give 0.9444444.
  EXPECT_STREQ(a->getString(1), "1");
  EXPECT_STREQ(a->getString(0), "16777216");

  // Raw units without trailing zeros. Mean 0 and mad 128 / 8 = 16 keep every
  // value exact through the round trip (each term |v| / 8 and every partial
  // sum is exact).
  const auto texts = {"0", "2.5", "30", "-32.5", "15.5", "-15.5", "16", "-16"};
  auto b = column<attcontinuous>(texts);
  b->normalize();
  ASSERT_EQ(b->getMad(), 16.0f);
  unsigned row = 0;
  for (const char* text : texts) EXPECT_STREQ(b->getString(row++), text);
}

// getString keeps recent texts in a small table; 1022 distinct values are
// more than it has places, so some must share one, and each still gets its
// own text. The values are +-1..511 and +-256 again: mean 0, and mad =
// 2 * 2^17 / 1024 = 256 with every term |v| / 1024 and partial sum exact, so
// every value comes back as the integer it was.
TEST(attcontinuous, every_value_gets_its_own_text) {
  attcontinuous a("x");
  std::vector<std::string> texts;
  auto add = [&](int v) {
    texts.push_back(std::to_string(v));
    a.addValue(texts.back());
  };
  for (int k = 1; k < 512; ++k) {
    add(k);
    add(-k);
  }
  add(256);
  add(-256);
  a.normalize();
  ASSERT_EQ(a.getMad(), 256.0f);
  for (int pass = 0; pass < 2; ++pass)
    for (unsigned row = 0; row < texts.size(); ++row) EXPECT_EQ(a.getString(row), texts[row]) << row;
}

TEST(attcontinuous, constant_empty_and_overflowing_columns) {
  auto a = column<attcontinuous>({"0.1", "?", "0.1"});
  a->normalize();
  EXPECT_EQ(a->getMad(), 1.0f);
  EXPECT_EQ(a->getContinuous(0), 0.0f);
  EXPECT_STREQ(a->getString(0), "0.100000001490116119384765625");  // the mean, all 30 digits
  // The condition is decoded in double: 0.1 is not the stored 0.1f.
  EXPECT_EQ(a->evalCond(0, opEqual, a->decodeContinuous("0.1")), 0);
  EXPECT_EQ(a->evalCond(0, opLess, a->decodeContinuous("0.2")), 1);

  auto b = column<attcontinuous>({"?", "?"});
  b->normalize();
  EXPECT_EQ(b->getMad(), 1.0f);
  EXPECT_EQ(b->decodeContinuous("2.5"), 2.5f);

  // The sum overflows.
  EXPECT_EQ(error_of([] { column<attcontinuous>({"3e38", "3e38", "1"}, "income")->normalize(); }),
            "cannot standardize income: values out of range");
  // mean = -3e38 / 3 = -1e38, and |3e38 + 1e38| overflows a term.
  EXPECT_EQ(error_of([] { column<attcontinuous>({"3e38", "-3e38", "-3e38"}, "debt")->normalize(); }),
            "cannot standardize debt: values out of range");
}

}  // namespace
