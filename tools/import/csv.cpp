#include "csv.hpp"

#include <cstring>

#include "io/iofile.hpp"
#include "io/iogz.hpp"
#include "util/error.hpp"

namespace kelimport {

using orv::inpout::ioconn;

std::unique_ptr<ioconn> open_bytes(const std::string& name) {
  if (name.size() >= 3 && name.compare(name.size() - 3, 3, ".gz") == 0) {
    auto gz = std::make_unique<orv::inpout::iogz>();
    if (gz->open(name, orv::inpout::SEQUENTIAL | orv::inpout::READ, 1, 0)) return gz;
  } else {
    auto file = std::make_unique<orv::inpout::iofile>();
    if (file->open(name, orv::inpout::SEQUENTIAL | orv::inpout::READ | orv::inpout::SHARE, 0644)) return file;
  }
  throw orv::util::error("File: " + name + " not found or inaccessible");
}

namespace {
// Reads of 64 KiB cost no more per byte than larger ones; the buffer is left
// uninitialised, since every byte is read into before it is looked at.
constexpr std::size_t block = 1 << 16;
constexpr int end_of_input = -1;
}  // namespace

csv_reader::csv_reader(std::unique_ptr<ioconn> in, std::string name, char separator)
    : in_(std::move(in)),
      name_(std::move(name)),
      separator_(separator),
      separator_byte_(static_cast<unsigned char>(separator)),
      buffer_(std::make_unique_for_overwrite<char[]>(block)) {}

bool csv_reader::fill() {
  if (at_end_) return false;
  if (pos_ == end_) pos_ = end_ = 0;
  if (end_ == block) {
    // Keep the unread bytes (at most a few, when looking ahead) at the front.
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  const int n = in_->read(buffer_.get() + end_, static_cast<int>(block - end_));
  if (n < 0) {
    const std::string why = in_->error_text();
    throw orv::util::error("cannot read " + name_ + (why.empty() ? std::string() : ": " + why));
  }
  if (n == 0) {
    at_end_ = true;
    return false;
  }
  end_ += static_cast<std::size_t>(n);
  return true;
}

int csv_reader::get() {
  if (pos_ == end_ && !fill()) return end_of_input;
  return static_cast<unsigned char>(buffer_[pos_++]);
}

int csv_reader::peek() {
  if (pos_ == end_ && !fill()) return end_of_input;
  return static_cast<unsigned char>(buffer_[pos_]);
}

std::string csv_reader::where() const {
  std::string text = name_ + ", row " + std::to_string(row_);
  if (record_line_ != row_) text += " (line " + std::to_string(record_line_) + ")";
  return text;
}

void csv_reader::fail(std::size_t column, const std::string& what) const {
  throw orv::util::error(where() + ", column " + std::to_string(column) + ": " + what);
}

bool csv_reader::next(std::vector<std::string>& fields) {
  if (!started_) {
    started_ = true;
    // A byte-order mark is no part of the first column's name.
    while (end_ - pos_ < 3 && fill()) {
    }
    if (end_ - pos_ >= 3 && std::memcmp(buffer_.get() + pos_, "\xEF\xBB\xBF", 3) == 0) pos_ += 3;
  }
  int c = get();
  if (c == end_of_input) return false;
  ++row_;
  record_line_ = line_;
  std::size_t count = 0;
  bool any_quote = false;
  for (;;) {
    if (count == fields.size()) fields.emplace_back();
    std::string& field = fields[count++];
    field.clear();
    if (c == '"') {
      any_quote = true;
      const std::uint64_t opened = line_;
      for (;;) {
        c = get();
        if (c == end_of_input) {
          fail(count, "the quote opened" + (opened != record_line_ ? " on line " + std::to_string(opened) : std::string()) +
                          " is never closed");
        }
        if (c == '"') {
          if (peek() != '"') break;
          get();
        } else if (c == '\n' || (c == '\r' && peek() != '\n')) {
          ++line_;
        }
        field += static_cast<char>(c);
      }
      c = get();
      if (c != separator_byte_ && c != '\n' && c != '\r' && c != end_of_input)
        fail(count, "text after the closing quote of a quoted field");
    } else {
      // The common case: copy runs of plain bytes straight from the buffer.
      while (c != separator_byte_ && c != '\n' && c != '\r' && c != end_of_input) {
        field += static_cast<char>(c);
        const char* from = buffer_.get() + pos_;
        const char* p = from;
        const char* const stop = buffer_.get() + end_;
        while (p < stop && *p != separator_ && *p != '\n' && *p != '\r') ++p;
        field.append(from, p);
        pos_ += static_cast<std::size_t>(p - from);
        c = get();
      }
    }
    if (c == separator_byte_) {
      c = get();
      continue;
    }
    if (c == '\r' && peek() == '\n') get();
    if (c != end_of_input) ++line_;
    break;
  }
  fields.resize(count);
  blank_ = count == 1 && !any_quote && fields[0].empty();
  return true;
}

}  // namespace kelimport
