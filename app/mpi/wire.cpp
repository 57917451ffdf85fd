#include "mpi/wire.hpp"

#include <cassert>
#include <cstring>
#include <new>
#include <stdexcept>

#include "util/error.hpp"

namespace kelcmd::mpi {

namespace {

template <class T>
void put(std::vector<char>& out, const T& value) {
  const char* p = reinterpret_cast<const char*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

// Reads T at `at` and moves past it. A message that ends early is a broken
// invariant between two copies of this program, not an input error.
template <class T>
T get(std::span<const char> bytes, std::size_t& at) {
  if (bytes.size() - at < sizeof(T)) throw std::logic_error("truncated message between ranks");
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  at += sizeof(T);
  return value;
}

constexpr kel::group groups[] = {kel::group::unprotected, kel::group::protected_};

}  // namespace

message kindOf(std::span<const char> bytes) {
  if (bytes.empty()) throw std::logic_error("empty message between ranks");
  return static_cast<message>(bytes[0]);
}

void results_packer::clear() {
  buffer.clear();
  buffer.push_back(static_cast<char>(message::results));
}

void results_packer::add(const kel::result_block& block, std::size_t first) {
  put<std::uint64_t>(buffer, first);
  put<std::uint64_t>(buffer, block.size());
  for (std::size_t i = 0; i < block.size(); ++i) {
    put<std::uint32_t>(buffer, block.row(i));
    for (const kel::group g : groups) {
      const kel::neighbourhood n = block.get(i, g);
      put<std::uint32_t>(buffer, n.found());
      put<std::uint32_t>(buffer, n.matching);
      for (const kel::neighbour& e : n.neighbours) {
        put<float>(buffer, e.distance);
        put<std::uint32_t>(buffer, e.row);
      }
    }
  }
}

std::vector<char> results_packer::take() {
  std::vector<char> out;
  out.reserve(buffer.capacity());
  out.swap(buffer);
  clear();
  return out;
}

void unpackResults(std::span<const char> bytes, kel::result_block& scratch,
                   const std::function<void(const kel::result_block&)>& each) {
  assert(kindOf(bytes) == message::results);
  std::size_t at = 1;
  std::vector<unsigned> rows;
  std::vector<kel::neighbour> selected;
  // Each query's lists follow its row, so the rows of a block are read
  // first and its lists on a second pass.
  while (at < bytes.size()) {
    const auto first = get<std::uint64_t>(bytes, at);
    const auto count = get<std::uint64_t>(bytes, at);
    const std::size_t lists = at;
    rows.clear();
    for (std::uint64_t i = 0; i < count; ++i) {
      rows.push_back(get<std::uint32_t>(bytes, at));
      for (int g = 0; g < 2; ++g) {
        const auto found = get<std::uint32_t>(bytes, at);
        at += sizeof(std::uint32_t);
        if ((bytes.size() - at) / (sizeof(float) + sizeof(std::uint32_t)) < found)
          throw std::logic_error("truncated message between ranks");
        at += std::size_t{found} * (sizeof(float) + sizeof(std::uint32_t));
      }
    }
    scratch.reset(static_cast<std::size_t>(first), rows);
    at = lists;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      at += sizeof(std::uint32_t);
      for (const kel::group g : groups) {
        const auto found = get<std::uint32_t>(bytes, at);
        const auto matching = get<std::uint32_t>(bytes, at);
        selected.resize(found);
        for (kel::neighbour& e : selected) {
          e.distance = get<float>(bytes, at);
          e.row = get<std::uint32_t>(bytes, at);
        }
        scratch.set(i, g, selected, matching);
      }
    }
    each(scratch);
  }
}

failure failure::of(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    return {kind::memory, {}};
  } catch (const std::runtime_error& x) {
    return {kind::error, x.what()};
  } catch (...) {
    return {kind::other, {}};
  }
}

void failure::raise() const {
  switch (what) {
    case kind::error:
      throw orv::util::error(text);
    case kind::memory:
      throw std::bad_alloc();
    case kind::other:
      break;
  }
  // Not a runtime error, so the driver halts on a generic error.
  throw std::logic_error("failure on another rank");
}

std::vector<char> failure::pack(message as) const {
  std::vector<char> out(2 + text.size());
  out[0] = static_cast<char>(as);
  out[1] = static_cast<char>(what);
  if (!text.empty()) std::memcpy(out.data() + 2, text.data(), text.size());
  return out;
}

failure failure::unpack(std::span<const char> bytes) {
  if (bytes.size() < 2) throw std::logic_error("truncated message between ranks");
  failure f;
  f.what = static_cast<kind>(bytes[1]);
  f.text.assign(bytes.begin() + 2, bytes.end());
  return f;
}

}  // namespace kelcmd::mpi
