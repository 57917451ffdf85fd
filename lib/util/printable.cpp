#include "printable.hpp"

namespace orv::util {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += ch;
    }
  }
}

}  // namespace

std::string printable_message(std::string_view message) {
  std::string out;
  if (message.size() <= max_message_bytes) {
    append_escaped(out, message);
    return out;
  }
  // A UTF-8 sequence is at most four bytes: stepping over three
  // continuation bytes reaches its start; binary junk is cut where it falls.
  std::size_t head = message_head_bytes;
  for (int i = 0; i < 3 && continuation(static_cast<unsigned char>(message[head])); ++i) --head;
  std::size_t tail = message.size() - message_tail_bytes;
  for (int i = 0; i < 3 && continuation(static_cast<unsigned char>(message[tail])); ++i) ++tail;
  append_escaped(out, message.substr(0, head));
  out += "[... " + std::to_string(tail - head) + " bytes cut ...]";
  append_escaped(out, message.substr(tail));
  return out;
}

}  // namespace orv::util
