// The tokenizer and str2int against straightforward reference versions.
// Input: the first byte is the separator (a zero byte stands for ','), the
// rest is the text, cut at its first zero byte as a C string would be.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "util/error.hpp"
#include "util/str2int.hpp"
#include "util/tokenizer.hpp"

namespace {

std::vector<std::string> reference_fields(const std::string& text, char sep) {
  std::vector<std::string> fields(1);
  for (const char c : text) {
    if (c == sep)
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

// What str2int must do: its message, or the value in `out`.
std::string reference_str2int(const std::string& text, std::uint32_t& out) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return text + ": not an int";
  if (text[i] == '-') return "str2int:: a negative number provided.";
  if (text[i] == '+') ++i;
  std::uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
    if (v > 0xFFFFFFFFu) return "str2int:: overflow";
  }
  if (i != text.size()) return text + ": _not an int";
  out = static_cast<std::uint32_t>(v);
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char sep = data[0] == 0 ? ',' : static_cast<char>(data[0]);
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text(bytes.c_str());  // cut at the first zero byte

  // Fields: exactly those of the reference split, then empty ones for ever.
  const auto expected = reference_fields(text, sep);
  orv::util::tokenizer t(text.c_str(), sep);
  for (const auto& field : expected)
    if (field != t.next_token(sep)) kelfuzz::broken("tokenizer: wrong field");
  for (int i = 0; i < 3; ++i)
    if (*t.next_token(sep) != '\0') kelfuzz::broken("tokenizer: a field after the end");
  // The same tokenizer pointed at another text keeps working.
  t.assign(nullptr, sep);
  if (*t.next_token(sep) != '\0') kelfuzz::broken("tokenizer: a field in a null text");

  std::uint32_t want = 7;
  const std::string message = reference_str2int(text, want);
  std::uint32_t got = 7;
  std::string thrown;
  try {
    orv::util::str2int(text.c_str(), got);
  } catch (const orv::util::error& e) {
    thrown = e.what();
  }
  if (thrown != message) kelfuzz::broken("str2int: wrong message");
  if (got != want) kelfuzz::broken("str2int: wrong value");
  return 0;
}
