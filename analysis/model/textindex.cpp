#include "analysis/model/textindex.hpp"

#include <cstring>

namespace kel {

namespace {

std::uint64_t load64(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

std::uint32_t load32(const char* p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a ^ 0xA0761D6478BD642Full) * (b ^ 0xE7037ED1A0B428DBull);
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace

std::uint64_t textindex::hash(std::string_view text) {
  // Field texts are short: the first and last words of the text (which may
  // overlap) cover it without a loop up to 16 bytes.
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t a;
  std::uint64_t b;
  if (n >= 8) {
    std::uint64_t h = n;
    std::size_t i = 0;
    for (; i + 16 < n; i += 8) h = mix(h ^ load64(p + i), 0x8EBC6AF09C88C6E3ull);
    a = h ^ load64(p + i);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
        (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
        static_cast<unsigned char>(p[n - 1]);
    b = 0;
  } else {
    a = b = 0;
  }
  return mix(a ^ n, b ^ 0x589965CC75374CC3ull);
}

void textindex::grow(std::size_t capacity) {
  std::vector<slot> old = std::move(slots);
  slots.assign(capacity, slot{0, -1});
  mask = capacity - 1;
  // The kept low 32 bits of the hash give the position: the mask never has
  // more bits, as codes are 31-bit. No text is read again.
  for (const slot& s : old) {
    if (s.code < 0) continue;
    std::size_t i = s.hash & mask;
    while (slots[i].code >= 0) i = (i + 1) & mask;
    slots[i] = s;
  }
}

void textindex::reserve(std::size_t entries) {
  std::size_t capacity = slots.empty() ? 16 : slots.size();
  while (capacity < 2 * entries) capacity *= 2;
  if (capacity > slots.size()) grow(capacity);
}

void textindex::insert(std::string_view text, std::int32_t code, const std::vector<std::string>& dict) {
  // At most half full, so probe sequences stay short.
  if (2 * (used + 1) > slots.size()) grow(slots.empty() ? 16 : slots.size() * 2);
  const std::uint64_t h = hash(text);
  std::size_t i = h & mask;
  for (; slots[i].code >= 0; i = (i + 1) & mask)
    if (slots[i].hash == static_cast<std::uint32_t>(h) && dict[static_cast<std::size_t>(slots[i].code)] == text)
      return;
  slots[i] = slot{static_cast<std::uint32_t>(h), code};
  ++used;
}

}  // namespace kel
