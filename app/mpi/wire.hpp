// What crosses from one rank to another, as bytes: the search results a
// worker sends the leader, and the failure that ends a job.
//
// Results: the blocks a search hands over, each query with its row and, per
// group, the neighbours selected (distance and row, in selection order) and
// the matching count; everything the leader's engine and its outputs read.
// Numbers travel in the byte order of the machine: every rank of a job runs
// the same build on the same kind of machine.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "analysis/knn/search.hpp"

namespace kelcmd::mpi {

// The first byte of every message a worker sends the leader during a search.
enum class message : std::uint8_t {
  results = 1,  // blocks of results, in query order
  end = 2,      // the worker's share is complete (or was stopped)
  failed = 3,   // the worker's search failed here; a failure follows
};

message kindOf(std::span<const char> bytes);

// A results message under construction.
class results_packer {
 public:
  results_packer() { clear(); }
  // Appends a block whose first query is query `first` of the whole run.
  void add(const kel::result_block& block, std::size_t first);
  std::size_t bytes() const { return buffer.size(); }
  bool empty() const { return buffer.size() == 1; }
  // The message; the packer starts a new one.
  std::vector<char> take();

 private:
  void clear();
  std::vector<char> buffer;
};

// Calls each() with every block of a results message, in order. `scratch`
// holds the block handed over and keeps its storage between calls.
void unpackResults(std::span<const char> bytes, kel::result_block& scratch,
                   const std::function<void(const kel::result_block&)>& each);

// An error as it crosses ranks, so that the leader can raise what the rank
// that met it would have raised: the program's errors with their message, an
// allocation failure, or any other failure.
struct failure {
  enum class kind : std::uint8_t { error = 0, memory = 1, other = 2 };
  kind what = kind::other;
  std::string text;

  // The failure an exception stands for.
  static failure of(const std::exception_ptr& e);
  // Throws orv::util::error, std::bad_alloc, or an exception that is not a
  // runtime error, as the failure says.
  [[noreturn]] void raise() const;

  std::vector<char> pack(message as) const;
  // REQUIRES: bytes begin with a message byte and hold a packed failure.
  static failure unpack(std::span<const char> bytes);
};

}  // namespace kelcmd::mpi
