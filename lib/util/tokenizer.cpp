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

void tokenizer::reserve(std::size_t length) {
  // The buffer grows by half its size until the field and its terminator fit.
  std::size_t size = buffer_size();
  if (length < size) return;
  while (length >= size) size += size / 2;
  char* fresh = new char[size];
  delete[] buffer_;
  buffer_ = fresh;
  buffer_end_ = fresh + size;
}

const char* tokenizer::next_token(char separator) {
  // strchrnul stops at the separator or at the end of the text, whichever
  // comes first; with a zero separator that is the end of the text.
  const char* end = strchrnul(position_, separator);
  length_ = static_cast<std::size_t>(end - position_);
  reserve(length_);
  std::memcpy(buffer_, position_, length_);
  buffer_[length_] = '\0';
  position_ = *end != '\0' ? end + 1 : end;
  return buffer_;
}

}  // namespace orv::util
