#include "mpi/shared_inputs.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "analysis/table/dataset.hpp"
#include "io/iodigest.hpp"
#include "io/open_input.hpp"
#include "io/positional.hpp"
#include "io/stream.hpp"
#include "mpi/memory_input.hpp"

namespace kelcmd::mpi {

namespace {

constexpr std::uint32_t lastChunk = 1;  // no chunk follows
constexpr std::uint32_t reasonChunk = 2;  // the chunk is why the read stopped; it is the last

// The line buffer an input stream starts with, as open_input gives it.
constexpr int streamCapacity = 16384;

// What parsing a byte of a data file costs one thread (8.8 ns on the
// 1,000,000-row hiring table; see docs/scaling.md).
constexpr double parseSeconds = 9e-9;

}  // namespace

char* shared_inputs::bytes::room(std::size_t n) {
  if (capacity - size >= n) return data.get() + size;
  const std::size_t grown = std::max(size + n, capacity + capacity / 2);
  try {
    auto bigger = std::make_unique_for_overwrite<char[]>(grown);
    if (size > 0) std::memcpy(bigger.get(), data.get(), size);
    data = std::move(bigger);
    capacity = grown;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return data.get() + size;
}

void shared_inputs::lead(const std::string& name, char separator, orv::util::sha256* digest) {
  std::unique_ptr<orv::inpout::stream> in;
  try {
    in = orv::inpout::open_input(name, separator);
    orv::inpout::ioconn& conn = *in->connection();
    const orv::inpout::positional* file = conn.as_positional();
    header h;
    h.what = step::input;
    h.extra = file ? static_cast<std::uint64_t>(std::max<std::int64_t>(file->length(), 0)) : 0;
    for (bool more = true; more;) {
      char* chunk = content.room(std::max<std::size_t>(chunkBytes, h.extra > content.size ? h.extra - content.size : 0));
      if (chunk == nullptr) throw std::bad_alloc();
      std::size_t got = 0;
      while (got < chunkBytes) {
        const int n = conn.read(chunk + got, static_cast<int>(std::min<std::size_t>(chunkBytes - got, INT_MAX)));
        if (n <= 0) {
          if (n < 0) failure = conn.error_text();
          more = false;
          break;
        }
        got += static_cast<std::size_t>(n);
      }
      content.size += got;
      if (digest) digest->update(chunk, got);
      h.count = got;
      h.flags = more || failure ? 0 : lastChunk;
      team.exchange(h);
      const auto start = std::chrono::steady_clock::now();
      team.broadcast(chunk, got);
      broadcastSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  } catch (...) {
    // Nothing more to parse: the workers stop, the leader tells why.
    header h;
    h.what = step::refused;
    team.exchange(h);
    listening = false;
    throw;
  }
  if (failure) {
    header h;
    h.what = step::input;
    h.flags = reasonChunk | lastChunk;
    h.count = failure->size();
    team.exchange(h);
    team.broadcast(failure->data(), failure->size());
  }
}

void shared_inputs::follow() {
  for (;;) {
    const header h = team.exchange();
    if (h.what == step::finish) throw job_over{static_cast<int>(h.count)};
    if (h.what != step::input) throw job_over{1};
    const std::size_t n = static_cast<std::size_t>(h.count);
    if (h.flags & reasonChunk) {
      std::string reason(n, '\0');
      team.broadcast(reason.data(), n);
      failure = std::move(reason);
      return;
    }
    char* to = lost ? nullptr : content.room(std::max<std::size_t>(n, h.extra > content.size ? h.extra - content.size : 0));
    if (to == nullptr) {
      // The broadcast goes on whatever this rank can hold; the failure is
      // told when the ranks agree on the parse.
      if (!lost) lost = std::make_exception_ptr(std::bad_alloc());
    } else {
      content.size += n;
    }
    team.broadcast(to, n);
    if (h.flags & lastChunk) return;
  }
}

void shared_inputs::fetch(const std::string& name, char separator, orv::util::sha256* digest) {
  content = bytes{};
  failure.reset();
  lost = nullptr;
  broadcastSeconds = 0.0;
  if (team.leads())
    lead(name, separator, digest);
  else
    follow();
}

void shared_inputs::settle(const std::exception_ptr& failed) {
  content = bytes{};
  try {
    team.agree(failed);
  } catch (...) {
    listening = false;
    throw;
  }
}

template <class Parse>
auto shared_inputs::parse(const std::string& name, char separator, orv::util::sha256* digest, bool toEnd,
                          Parse&& read) {
  fetch(name, separator, digest);
  std::exception_ptr failed = lost;
  decltype(read(std::declval<orv::inpout::stream&>())) result{};
  if (!failed) {
    try {
      memory_input conn({content.data.get(), content.size}, failure);
      orv::inpout::stream in(&conn, false, separator, streamCapacity);
      result = read(in);
      if (toEnd) orv::inpout::read_rest(conn, name);
    } catch (...) {
      failed = std::current_exception();
    }
  }
  settle(failed);
  return result;
}

unsigned shared_inputs::readMetadata(kel::dataset& data, const std::string& name, char separator,
                                     orv::util::sha256* digest) {
  return parse(name, separator, digest, whole, [&](orv::inpout::stream& in) { return data.readMetadata(in); });
}

bool shared_inputs::partsPay(unsigned threads) const {
  if (content.size == 0 || broadcastSeconds <= 0.0) return true;
  const double ranks = team.ranks();
  const double saved = parseSeconds * (ranks - 1) / ranks / std::max(threads, 1u);
  return saved > broadcastSeconds / static_cast<double>(content.size);
}

shared_inputs::parts_read shared_inputs::readParts(kel::dataset& data, const orv::inpout::positional& file,
                                                  char separator, unsigned parts, unsigned threads, unsigned& rows,
                                                  std::exception_ptr& failed) {
  const unsigned ranks = team.ranks();
  const unsigned first = static_cast<unsigned>(std::uint64_t{parts} * team.rank() / ranks);
  const unsigned count = static_cast<unsigned>(std::uint64_t{parts} * (team.rank() + 1) / ranks) - first;
  std::optional<std::vector<char>> mine;
  if (!failed) {
    try {
      mine = data.readPacked(file, separator, first, count, parts);
    } catch (...) {
      failed = std::current_exception();
    }
  }
  constexpr unsigned dataError = 1, otherFailure = 2;
  const unsigned seen = team.either(failed ? otherFailure : mine ? 0 : dataError);
  // An error of the data is told by the one-pass read, with its row, as on
  // one machine, even when a rank also failed otherwise.
  if (seen & dataError) return parts_read::one_pass;
  if (seen != 0) return parts_read::failed;
  // The bytes are read: their memory serves the parts and the table.
  content = bytes{};

  std::vector<std::unique_ptr<char[]>> theirs(ranks);
  std::vector<std::size_t> sizes(ranks);
  for (unsigned from = 0; from < ranks; ++from) {
    const bool own = from == team.rank();
    const std::uint64_t size = team.announce(own ? mine->size() : 0, from);
    sizes[from] = static_cast<std::size_t>(size);
    if (own) {
      team.broadcast(mine->data(), mine->size(), from);
      continue;
    }
    if (!failed) {
      try {
        theirs[from] = std::make_unique_for_overwrite<char[]>(sizes[from]);
      } catch (...) {
        failed = std::current_exception();
        theirs.clear();
      }
    }
    team.broadcast(failed ? nullptr : theirs[from].get(), sizes[from], from);
  }
  mine.reset();  // sent; the dataset kept its own parts unpacked
  if (!failed) {
    try {
      std::vector<std::span<const char>> packed;
      for (unsigned from = 0; from < ranks; ++from)
        packed.emplace_back(from == team.rank() ? std::span<const char>()  // its own, kept unpacked
                                                : std::span<const char>(theirs[from].get(), sizes[from]));
      rows = data.appendPacked(packed, threads);
      return parts_read::done;
    } catch (...) {
      failed = std::current_exception();
    }
  }
  return parts_read::failed;
}

// The data reader reads to the end of its input anyway. The leader decides
// how many parts the ranks read (from its threads: the ranks' may differ).
unsigned shared_inputs::readData(kel::dataset& data, const std::string& name, char separator, unsigned threads,
                                 orv::util::sha256* digest) {
  if (team.ranks() == 1)
    return parse(name, separator, digest, false, [&](orv::inpout::stream& in) { return data.readData(in, threads); });
  fetch(name, separator, digest);
  std::exception_ptr failed = lost;
  memory_input conn({content.data.get(), content.size}, failure);
  std::uint64_t parts = 0;
  if (team.leads() && conn.as_positional() != nullptr && partsPay(threads))
    parts = std::min<std::uint64_t>(std::uint64_t{team.ranks()} * std::max(threads, 1u),
                                    content.size / kel::dataset::defaultMinPartBytes);
  parts = team.announce(parts, 0);
  unsigned rows = 0;
  parts_read how = parts_read::one_pass;
  if (parts >= 2) how = readParts(data, conn, separator, static_cast<unsigned>(parts), threads, rows, failed);
  if (how == parts_read::one_pass && !failed) {
    try {
      orv::inpout::stream in(&conn, false, separator, streamCapacity);
      rows = data.readData(in);
    } catch (...) {
      failed = std::current_exception();
    }
  }
  settle(failed);
  return rows;
}

void shared_inputs::readSelect(kel::dataset& data, const std::string& name, char separator,
                               orv::util::sha256* digest) {
  parse(name, separator, digest, whole, [&](orv::inpout::stream& in) {
    data.readSelect(in);
    return true;
  });
}

}  // namespace kelcmd::mpi
