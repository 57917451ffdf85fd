#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/attribute.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

bool isMissing(std::string_view text) { return text.size() == 1 && text[0] == '?'; }

// strtod needs a terminated text; fields are short, so copy to the stack and
// allocate only for the rare long one.
double toNumber(std::string_view text) {
  char small[128];
  if (text.size() < sizeof small) {
    // An empty view may have no data at all, which memcpy must not be given.
    if (!text.empty()) std::memcpy(small, text.data(), text.size());
    small[text.size()] = '\0';
    return std::strtod(small, nullptr);
  }
  const std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

}  // namespace

void attcontinuous::reserve(unsigned n) { values.reserve(n); }

void attcontinuous::addValue(std::string_view field) {
  if (isMissing(field)) {
    values.push_back(missingContinuous);
    return;
  }
  const float x = static_cast<float>(toNumber(field));
  // An infinity or NaN would poison the mean of the whole column.
  if (!std::isfinite(x)) throw orv::util::error("not a finite number: " + std::string(field));
  values.push_back(x);
}

float attcontinuous::decodeContinuous(std::string_view field) const {
  if (isMissing(field)) return missingContinuous;
  const double x = toNumber(field);
  if (!std::isfinite(x)) throw orv::util::error("cannot decode" + std::string(field));
  return static_cast<float>((x - static_cast<double>(mean)) / static_cast<double>(mad));
}

const char* attcontinuous::getString(unsigned row) {
  const float value = values[row];
  if (value == missingContinuous) {
    text.assign(1, '?');
    return text.c_str();
  }
  // Two separate float operations: the output texts depend on the rounding.
  float x = value * mad;
  x = x + mean;
  char buffer[256];
  int n = std::snprintf(buffer, sizeof buffer, "%.30f", static_cast<double>(x));
  if (n < 0) n = 0;
  if (n >= static_cast<int>(sizeof buffer)) n = sizeof buffer - 1;
  while (n > 0 && buffer[n - 1] == '0') --n;
  if (n > 0 && buffer[n - 1] == '.') --n;
  text.assign(buffer, static_cast<std::size_t>(n));
  return text.c_str();
}

bool attcontinuous::hasMissing() const {
  for (const float v : values)
    if (v == missingContinuous) return true;
  return false;
}

void attcontinuous::normalize() {
  unsigned n = 0;
  float sum = 0.0f;
  for (const float v : values) {
    if (v == missingContinuous) continue;
    sum = sum + v;
    ++n;
  }
  if (n == 0) {
    mean = 0.0f;
    mad = 1.0f;
    return;
  }
  const float m = sum / static_cast<float>(n);
  float s = 0.0f;
  for (const float v : values) {
    if (v == missingContinuous) continue;
    s = s + std::fabs(v - m);
  }
  float d = s / static_cast<float>(n);
  if (!std::isfinite(m) || !std::isfinite(d))
    throw orv::util::error("cannot standardize " + name + ": values out of range");
  // All values equal: keep them as distances from the mean rather than 0/0.
  if (d == 0.0f) d = 1.0f;
  mean = m;
  mad = d;
  for (float& v : values) {
    if (v == missingContinuous) continue;
    v = (v - mean) / mad;
  }
}

int attcontinuous::evalCond(unsigned row, int op, condvalue value) const {
  const float a = values[row];
  const float b = value.number();
  if (a == missingContinuous || b == missingContinuous) return -1;
  switch (op) {
    case opLess: return a < b;
    case opLessEqual: return a <= b;
    case opEqual: return a == b;
    case opNotEqual: return a != b;
    case opGreaterEqual: return a >= b;
    case opGreater: return a > b;
  }
  throw orv::util::error("op not valid");
}

std::string attcontinuous::toMetadata() const { return name + ",continuous"; }

}  // namespace kel
