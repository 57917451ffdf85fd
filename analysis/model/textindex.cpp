#include "analysis/model/textindex.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

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

// The multiplier words are drawn afresh by every process: with fixed ones,
// texts crafted so that a factor of the product is zero all hash alike, and a
// column of them takes quadratic time to index. Codes never depend on the
// hash, so results do not change from one process to the next.
struct keys {
  std::uint64_t left, right, nonzero;
};

std::uint64_t scramble(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  return x ^ (x >> 33);
}

keys drawKeys() {
  std::uint64_t words[3] = {0, 0, 0};
  if (getrandom(words, sizeof words, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof words)) {
    // No entropy to be had this early: the clock, the process and where the
    // program was loaded still differ from run to run.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto base = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&words));
    words[0] = scramble(static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 20));
    words[1] = scramble(words[0] ^ static_cast<std::uint64_t>(getpid()));
    words[2] = scramble(words[1] ^ base);
  }
  return {words[0] ^ 0xA0761D6478BD642Full, words[1] ^ 0xE7037ED1A0B428DBull, words[2] | 1};
}

const keys secret = drawKeys();

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  std::uint64_t x = a ^ secret.left;
  std::uint64_t y = b ^ secret.right;
  // A zero factor would give one hash to every text that meets it.
  x = x != 0 ? x : secret.nonzero;
  y = y != 0 ? y : secret.nonzero;
  const unsigned __int128 product = static_cast<unsigned __int128>(x) * y;
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

std::size_t textindex::displacement() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < slots.size(); ++i)
    if (slots[i].code >= 0) total += (i - (slots[i].hash & mask)) & mask;
  return total;
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
