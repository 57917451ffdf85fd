// Text → code index over a dictionary that the caller owns (entry i is the
// text of code i). Open addressing with linear probing over a flat array of
// (hash, code) slots: one probe sequence per field read, no allocation per
// lookup, and no node per entry, which matters for columns with a distinct
// value on almost every row. The first code entered for a text stays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

class textindex {
 public:
  // The code of the text, or -1 when it has none.
  std::int32_t find(std::string_view text, const std::vector<std::string>& dict) const {
    if (slots.empty()) return -1;
    const std::uint64_t h = hash(text);
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const slot& s = slots[i];
      if (s.code < 0) return -1;
      if (s.hash == static_cast<std::uint32_t>(h) && dict[static_cast<std::size_t>(s.code)] == text) return s.code;
    }
  }

  // Enters text → code unless the text already has a code.
  // REQUIRES: dict[code] == text.
  void insert(std::string_view text, std::int32_t code, const std::vector<std::string>& dict);

  // Room for `entries` texts in all without growing on the way.
  void reserve(std::size_t entries);

  std::size_t size() const { return used; }

  // How far the entries lie from the slots their hashes name, summed: the
  // extra probes that looking every text up once costs.
  std::size_t displacement() const;

 private:
  struct slot {
    std::uint32_t hash;
    std::int32_t code;  // -1: empty
  };

  static std::uint64_t hash(std::string_view text);
  void grow(std::size_t capacity);

  std::vector<slot> slots;
  std::size_t mask = 0;
  std::size_t used = 0;
};

}  // namespace kel
