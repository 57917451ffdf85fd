// Values as bytes between copies of this program (processes of one job):
// plain values and arrays in the machine's own layout, texts and arrays with
// their length first. Both sides run the same build on the same kind of
// machine, so there is no byte order or versioning to settle.
//
// byte_reader checks every length against the bytes left and throws
// std::invalid_argument when they end early: a broken invariant between two
// copies of the program, never an input error.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orv::util {

class byte_writer {
 public:
  explicit byte_writer(std::size_t expected = 0) { out.reserve(expected); }

  template <class T>
  void put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    append(&value, sizeof value);
  }
  // n values, without their count.
  template <class T>
  void put(const T* values, std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    append(values, n * sizeof(T));
  }
  // The count, then the values.
  template <class T>
  void putArray(std::span<const T> values) {
    put<std::uint64_t>(values.size());
    put(values.data(), values.size());
  }
  void putText(std::string_view text) {
    put<std::uint64_t>(text.size());
    append(text.data(), text.size());
  }

  std::size_t size() const { return out.size(); }
  std::vector<char> take() { return std::move(out); }

 private:
  void append(const void* data, std::size_t n) {
    if (n == 0) return;
    const std::size_t at = out.size();
    out.resize(at + n);
    std::memcpy(out.data() + at, data, n);
  }
  std::vector<char> out;
};

class byte_reader {
 public:
  explicit byte_reader(std::span<const char> bytes) : rest(bytes) {}

  template <class T>
  T get() {
    T value;
    get(&value, 1);
    return value;
  }
  template <class T>
  void get(T* values, std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (n > rest.size() / sizeof(T)) short_();
    if (n > 0) std::memcpy(static_cast<void*>(values), rest.data(), n * sizeof(T));
    rest = rest.subspan(n * sizeof(T));
  }
  // A count that putArray wrote, checked against the bytes left for values
  // of this size.
  template <class T>
  std::size_t count() {
    const auto n = get<std::uint64_t>();
    if (n > rest.size() / sizeof(T)) short_();
    return static_cast<std::size_t>(n);
  }
  template <class T>
  std::vector<T> getArray() {
    std::vector<T> values(count<T>());
    get(values.data(), values.size());
    return values;
  }
  // Borrows the bytes.
  std::string_view getText() {
    const std::size_t n = count<char>();
    const std::string_view text(rest.data(), n);
    rest = rest.subspan(n);
    return text;
  }

  bool done() const { return rest.empty(); }

 private:
  [[noreturn]] static void short_() { throw std::invalid_argument("bytes between processes end early"); }
  std::span<const char> rest;
};

}  // namespace orv::util
