// Random tables for comparing two ways of running the same test.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace testing_support {

struct random_inputs {
  std::string meta, data, select;
};

// Columns: group (nominal), class (nominal or continuous), then a random mix
// of nominal, ordinal and continuous columns with few distinct values, so
// that distances tie often, and missing values everywhere; some rows twice
// and, with measured_twice, some attributes measured twice.
inline random_inputs random_table(std::mt19937& rng, int rows, bool continuousClass, bool measured_twice) {
  std::uniform_int_distribution<int> pick(0, 99);
  const int extra = 1 + pick(rng) % 6;
  random_inputs t{continuousClass ? "g,nominal\nc,continuous\n" : "g,nominal\nc,nominal\n", "", ""};
  static const char* const kindLines[] = {",nominal\n", ",ordinal,lo,mid,hi,top\n", ",continuous\n"};
  std::vector<int> kinds;
  for (int i = 0; i < extra; ++i) {
    kinds.push_back(pick(rng) % 3);
    t.meta += 'a' + std::to_string(i) + kindLines[kinds.back()];
  }
  t.meta += "id,ignore\n";
  const int missingRate = pick(rng) % 30;
  auto maybe = [&](const std::string& v) { return pick(rng) < missingRate ? std::string("?") : v; };
  static const char* const scale[] = {"lo", "mid", "hi", "top"};
  for (int r = 0; r < rows; ++r) {
    std::string line = pick(rng) < 40 ? "p," : (pick(rng) < 95 ? "u," : "?,");
    line += continuousClass ? maybe(std::to_string(pick(rng) % 5)) : maybe(pick(rng) < 50 ? "good" : "bad");
    for (int kind : kinds) {
      line += ",";
      if (kind == 0) line += maybe(std::string(1, static_cast<char>('x' + pick(rng) % 3)));
      if (kind == 1) line += maybe(scale[pick(rng) % 4]);
      if (kind == 2) line += maybe(std::to_string(pick(rng) % 7) + (pick(rng) < 20 ? ".5" : ""));
    }
    line += ',' + std::to_string(r) + '\n';
    t.data += line;
    if (pick(rng) < 10) t.data += line;  // some rows twice, outright
  }
  std::string measured;
  for (int i = 0; i < extra; ++i) {
    if (pick(rng) < 70 || measured.empty()) measured += (measured.empty() ? "a" : ",a") + std::to_string(i);
    if (measured_twice && pick(rng) < 10) measured += ",a" + std::to_string(i);
  }
  if (pick(rng) < 20) measured += ",c";
  const char* op = continuousClass ? (pick(rng) < 50 ? "<" : ">=") : "=";
  t.select = std::string("g=p\nc") + op + (continuousClass ? "2" : "bad") + "\n" + measured + "\nreplaced\n";
  return t;
}

}  // namespace testing_support
