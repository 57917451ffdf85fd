#include "analysis/model/attribute.hpp"

#include "util/error.hpp"

namespace kel {

// The base gives the typed accessors a clear refusal, so a kind overrides
// only the ones that make sense for it.

attribute::~attribute() = default;

void attribute::reserve(unsigned) {}

std::int32_t attribute::decodeNominal(std::string_view) const {
  throw orv::util::error("decodeNominal not accessible");
}

float attribute::decodeContinuous(std::string_view) const {
  throw orv::util::error("decodeContinuous not accessible");
}

std::int32_t attribute::getNominal(unsigned) const { throw orv::util::error("getNominal not accessible"); }

float attribute::getContinuous(unsigned) const { throw orv::util::error("getContinuous not accessible"); }

void attribute::setNominal(unsigned, std::int32_t) { throw orv::util::error("setNominal not accessible"); }

void attribute::setContinuous(unsigned, float) { throw orv::util::error("setContinuous not accessible"); }

const char* attribute::getString(unsigned) { return nullptr; }

template <class T>
int compareByOp(int op, T a, T b) {
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

template int compareByOp<float>(int, float, float);
template int compareByOp<std::uint32_t>(int, std::uint32_t, std::uint32_t);

unsigned attribute::numValues() const { return 0; }

void attribute::normalize() {}

}  // namespace kel
