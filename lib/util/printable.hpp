// Messages that carry text from the user's files (a field, a line, a file
// name) are shown on a terminal: an escape byte in a field could drive it, and
// a megabyte field would bury the message. printable_message() escapes every
// control byte other than tab and carriage return as \xHH (two lower-case hex
// digits) and cuts a message longer than max_message_bytes in the middle,
// keeping its first and last bytes (so the fixed words at either end of a
// message survive) with a marker "[... N bytes cut ...]" between them. Other
// bytes, UTF-8 sequences included, are left as they are, and a cut never
// splits a UTF-8 sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orv::util {

constexpr std::size_t max_message_bytes = 512;
constexpr std::size_t message_head_bytes = 384;
constexpr std::size_t message_tail_bytes = 96;

std::string printable_message(std::string_view message);

}  // namespace orv::util
