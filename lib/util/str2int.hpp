// Strict text to unsigned 32-bit integer conversion: leading spaces, an
// optional '+', decimal digits, nothing after. Anything else is an error with
// a one-line message; the result is stored only on success.
#pragma once

#include <cstdint>

namespace orv::util {

// REQUIRES: text is null or zero-terminated. Throws orv::util::error.
void str2int(const char* text, std::uint32_t& value);

}  // namespace orv::util
