// The one error type of the library and the analysis. It carries the one-line
// message the user reads; only the driver catches it, prints it and picks the
// exit status. Broken internal invariants are assertions, not errors.
#pragma once

#include <stdexcept>
#include <string>

namespace orv::util {

class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace orv::util
