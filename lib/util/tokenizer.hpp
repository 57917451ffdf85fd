// Cuts a text into fields at a separator character without allocating per
// field: every field is copied into one owned buffer that grows by half its
// size when a field does not fit, and stays valid until the next call.
//
// The text is not copied; it must stay alive and unchanged while fields are
// taken. Fields come back exactly as they stand (no trimming, no quoting).
// Two adjacent separators give an empty field; past the end of the text every
// call gives an empty field. A zero separator cannot be told apart from the
// end of the text, so with it the rest of the text is one field.
#pragma once

#include <cstddef>

#include "nocopy.hpp"

namespace orv::util {

class tokenizer : private nocopy {
 public:
  tokenizer(const char* text, char separator);
  virtual ~tokenizer();

  // Points the tokenizer at another text, keeping the buffer.
  void assign(const char* text, char separator);

  // The next field, zero-terminated, in the tokenizer's buffer. Every caller
  // passes the tokenizer's own separator.
  const char* next_token(char separator);

  // Length of the field returned last.
  std::size_t token_length() const { return length_; }
  char separator() const { return separator_; }
  // Where the next field starts.
  const char* position() const { return position_; }
  std::size_t buffer_size() const { return static_cast<std::size_t>(buffer_end_ - buffer_); }

 private:
  void reserve(std::size_t length);

  const char* position_;
  const char* start_;
  char* buffer_;
  char* buffer_end_;
  char separator_;
  std::size_t length_ = 0;
};

}  // namespace orv::util
