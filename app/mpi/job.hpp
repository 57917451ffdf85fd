// The job: the processes mpirun started, one rank each, and the ways they
// talk. Rank 0, the leader, reads the inputs, makes the searches and writes
// every output file and console line; the other ranks, the workers, parse
// what the leader sends them and search what it asks. Every exchange the
// leader starts opens with a header that every rank receives in the same
// order. Ranks wait, for a header or any other message, by polling with
// pauses: a blocked MPI call would spin, taking a core from the ranks and
// threads that work.
//
// MPI errors end the whole job (the default of the library), and a rank that
// dies ends it too (mpirun stops the others), so no rank waits forever.
// Only the thread that made the job calls MPI.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <exception>
#include <span>
#include <vector>

namespace kelcmd::mpi {

// What a header opens.
enum class step : std::uint32_t {
  input = 1,    // bytes of an input follow
  refused = 2,  // the leader could not read an input: the job ends
  finish = 3,   // the job ends with the status in `count`
  build = 4,    // make a search over the groups that follow
  run = 5,      // search the queries that follow
  drop = 6,     // forget a search
  go = 7,       // after a run's queries (and trees): the leader's share and the search method
};

struct header {
  step what = step::finish;
  std::uint32_t flags = 0;
  std::uint64_t id = 0;     // the search a build, run or drop is about
  std::uint64_t count = 0;  // bytes of an input chunk; rows of the table; the status of finish
  std::uint64_t extra = 0;  // the whole input's size when known; the number of a run
  std::uint64_t share = 0;  // the leader's queries in a run
  std::uint32_t k = 0;
  std::uint32_t threads = 0;
  float maxDistance = 0.0f;
};

// Message tags between a worker and the leader.
constexpr int resultsTag = 1;  // worker to leader: wire.hpp messages of a search
constexpr int stopTag = 2;     // leader to worker: stop the search with this id
constexpr int failureTag = 3;  // worker to leader: the failure agree() chose

// Thrown on a worker when the job ends before the leader said finish: the
// inputs failed somewhere; the status is the job's.
struct job_over {
  int status;
};

class job {
 public:
  // Starts MPI; the job communicates on a communicator of its own.
  job(int& argc, char**& argv);
  ~job();
  job(const job&) = delete;
  job& operator=(const job&) = delete;

  unsigned rank() const { return rank_; }
  unsigned ranks() const { return ranks_; }
  bool leads() const { return rank_ == 0; }

  // The leader sends h to every worker; a worker waits for the leader's
  // next header and answers it.
  header exchange(const header& h = {});
  // The bytes of rank `root` (the leader unless said) to every other rank,
  // in place. A rank that could not make room for them passes null: it
  // takes part, and the bytes are dropped. REQUIRES: every rank passes the
  // same size and root, after a header or an announce that told it (the
  // broadcast itself does not pause: it is for ranks that are all there).
  void broadcast(char* data, std::size_t bytes, unsigned root = 0);
  // Rank `root`'s value to every rank, waited for with pauses.
  std::uint64_t announce(std::uint64_t value, unsigned root);
  // The bits every rank gives, or-ed together, for every rank.
  unsigned either(unsigned bits);
  // After a step every rank took (a parse): whether any rank failed. When
  // none did, returns. Otherwise the leader raises the failure of the
  // lowest rank that failed (its own first) and every worker throws
  // job_over with status 1.
  void agree(const std::exception_ptr& mine);

  // Point to point. send() is for small messages.
  void send(unsigned to, int tag, std::span<const char> bytes);
  MPI_Request post(unsigned to, int tag, std::span<const char> bytes);
  // Whether a message from `from` with `tag` is waiting.
  bool waiting(unsigned from, int tag);
  // The next message from `from` with `tag`, once it is there.
  std::vector<char> receive(unsigned from, int tag);
  // Whether the request is complete; a complete request is freed.
  bool done(MPI_Request& r);

  // Ends every rank of the job at once, with this status: for a worker that
  // can no longer follow the leader.
  [[noreturn]] void abort(int status);

  // Calls ready() until it answers true, pausing longer and longer (up to a
  // millisecond) between calls.
  template <class F>
  static void waitFor(F&& ready) {
    for (unsigned tries = 0; !ready(); ++tries) pause(tries);
  }

 private:
  static void pause(unsigned tries);
  void complete(MPI_Request& r);

  MPI_Comm comm_ = MPI_COMM_NULL;
  unsigned rank_ = 0;
  unsigned ranks_ = 1;
};

}  // namespace kelcmd::mpi
