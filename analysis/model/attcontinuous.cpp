#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/model/attribute.hpp"
#include "util/bytes.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

bool isMissing(std::string_view text) { return text.size() == 1 && text[0] == '?'; }

// Plain decimals with at most 15 digits and no exponent, the bulk of real
// tables, are converted exactly without strtod: the digits and the power of
// ten are both exact doubles, so one IEEE division rounds the exact value
// correctly, as strtod does.
bool plainDecimal(std::string_view text, double& out) {
  static constexpr double powers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  std::size_t i = 0;
  const std::size_t n = text.size();
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t digits = 0;
  int count = 0;
  int fraction = 0;
  bool point = false;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
      ++count;
      fraction += point;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (count == 0 || count > 15) return false;
  const double magnitude = static_cast<double>(digits) / powers[fraction];
  out = negative ? -magnitude : magnitude;
  return true;
}

// atof's rule. strtod needs a terminated text; fields are short, so copy to
// the stack and allocate only for the rare long one.
double toNumber(std::string_view text) {
  double fast;
  if (plainDecimal(text, fast)) return fast;
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

bool attcontinuous::addNumber(double x) {
  if (std::isnan(x)) {
    values.push_back(missingContinuous);
    return true;
  }
  const float f = static_cast<float>(x);
  if (!std::isfinite(f)) return false;
  values.push_back(f);
  return true;
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
  // Output rows repeat the same values (ages, hours, amounts): the text last
  // made for a value is kept in a small direct-mapped table, so that most
  // rows skip the formatting.
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (recent.empty()) recent.resize(recentSlots, {std::bit_cast<std::uint32_t>(missingContinuous), {}});
  recentText& slot = recent[(bits * 2654435761u) >> (32 - recentBits)];
  if (slot.bits != bits) {
    // Two separate float operations: the output texts depend on the rounding.
    float x = value * mad;
    x = x + mean;
    char buffer[256];
    int n = std::snprintf(buffer, sizeof buffer, "%.30f", static_cast<double>(x));
    if (n < 0) n = 0;
    if (n >= static_cast<int>(sizeof buffer)) n = sizeof buffer - 1;
    while (n > 0 && buffer[n - 1] == '0') --n;
    if (n > 0 && buffer[n - 1] == '.') --n;
    slot.bits = bits;
    slot.text.assign(buffer, static_cast<std::size_t>(n));
  }
  text = slot.text;
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
  const float nf = static_cast<float>(n);
  const float m = sum / nf;
  // The mean absolute deviation is a sum of terms |v - mean| / n, each
  // rounded to float, not one division at the end: the two differ in the
  // last bits, and whole deviations can overflow where their n-ths do not.
  float d = 0.0f;
  for (const float v : values) {
    if (v == missingContinuous) continue;
    const float term = std::fabs(v - m) / nf;
    d = d + term;
  }
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

std::unique_ptr<attribute> attcontinuous::emptyCopy() const { return std::make_unique<attcontinuous>(name); }

void attcontinuous::appendRows(attribute& part) {
  auto& from = dynamic_cast<attcontinuous&>(part);
  // The first part's column becomes this one, without a copy.
  if (values.empty()) {
    values = std::move(from.values);
    return;
  }
  values.insert(values.end(), from.values.begin(), from.values.end());
  from.values = {};
}

void attcontinuous::packPart(orv::util::byte_writer& out) const { out.putArray(std::span<const float>(values)); }

void attcontinuous::unpackPart(orv::util::byte_reader& in) { values = in.getArray<float>(); }

int attcontinuous::evalCond(unsigned row, int op, condvalue value) const {
  const float a = values[row];
  const float b = value.number();
  if (a == missingContinuous || b == missingContinuous) return -1;
  return compareByOp(op, a, b);
}

std::string attcontinuous::toMetadata() const { return name + ",continuous"; }

}  // namespace kel
