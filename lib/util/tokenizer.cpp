#include "tokenizer.hpp"

#include <cstring>
#include <new>

namespace orv::util {

namespace {
constexpr std::size_t initial_buffer = 256;
const char empty_text[] = "";
}  // namespace

tokenizer::tokenizer(const char* text, char separator)
    : position_(text ? text : empty_text),
      start_(position_),
      buffer_(new char[initial_buffer]),
      buffer_end_(buffer_ + initial_buffer),
      separator_(separator) {}

tokenizer::~tokenizer() { delete[] buffer_; }

void tokenizer::assign(const char* text, char separator) {
  position_ = text ? text : empty_text;
  start_ = position_;
  separator_ = separator;
}

void tokenizer::grow(char*& write) {
  const std::size_t used = static_cast<std::size_t>(write - buffer_);
  const std::size_t size = buffer_size();
  const std::size_t bigger = size + size / 2;
  char* fresh = new char[bigger];
  std::memcpy(fresh, buffer_, used);
  delete[] buffer_;
  buffer_ = fresh;
  buffer_end_ = fresh + bigger;
  write = fresh + used;
}

const char* tokenizer::next_token(char separator) {
  const char* read = position_;
  char* write = buffer_;
  // Copy up to the separator or the end of the text; the buffer always keeps
  // room for one more byte, so the terminator always fits.
  for (;;) {
    const char c = *read;
    if (c == '\0') {
      *write = '\0';
      break;
    }
    if (c == separator) {
      *write = '\0';
      ++read;
      break;
    }
    *write++ = c;
    ++read;
    if (write == buffer_end_) grow(write);
  }
  position_ = read;
  return buffer_;
}

}  // namespace orv::util
