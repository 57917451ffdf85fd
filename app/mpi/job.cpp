#include "mpi/job.hpp"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "mpi/wire.hpp"

namespace kelcmd::mpi {

namespace {

void check(int code, const char* what) {
  // The communicator's handler makes every error fatal; this catches the
  // calls that report instead (none should).
  if (code != MPI_SUCCESS) throw std::logic_error(what);
}

}  // namespace

job::job(int& argc, char**& argv) {
  int provided = 0;
  check(MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided), "MPI_Init_thread");
  check(MPI_Comm_dup(MPI_COMM_WORLD, &comm_), "MPI_Comm_dup");
  int rank = 0, size = 1;
  MPI_Comm_rank(comm_, &rank);
  MPI_Comm_size(comm_, &size);
  rank_ = static_cast<unsigned>(rank);
  ranks_ = static_cast<unsigned>(size);
}

job::~job() {
  MPI_Comm_free(&comm_);
  MPI_Finalize();
}

void job::pause(unsigned tries) {
  if (tries < 32) return;
  // From 10 microseconds, doubling, to a millisecond.
  const long ns = std::min(1'000'000L, 10'000L << std::min(tries - 32, 7u));
  const timespec t{0, ns};
  nanosleep(&t, nullptr);
}

void job::complete(MPI_Request& r) {
  waitFor([&] { return done(r); });
}

bool job::done(MPI_Request& r) {
  int flag = 0;
  MPI_Test(&r, &flag, MPI_STATUS_IGNORE);
  return flag != 0;
}

header job::exchange(const header& h) {
  header out = h;
  MPI_Request r;
  MPI_Ibcast(&out, sizeof out, MPI_BYTE, 0, comm_, &r);
  complete(r);
  return out;
}

void job::broadcast(char* data, std::size_t bytes, unsigned root) {
  // Dropped bytes land here, a piece at a time: memory that needs no
  // allocation when there is none to be had.
  constexpr std::size_t piece = std::size_t{16} << 20;
  static char dropped[piece];
  for (std::size_t at = 0; at < bytes; at += piece)
    MPI_Bcast(data ? data + at : dropped, static_cast<int>(std::min(piece, bytes - at)), MPI_BYTE,
              static_cast<int>(root), comm_);
}

unsigned job::either(unsigned bits) {
  unsigned all = 0;
  MPI_Request r;
  MPI_Iallreduce(&bits, &all, 1, MPI_UNSIGNED, MPI_BOR, comm_, &r);
  complete(r);
  return all;
}

std::uint64_t job::announce(std::uint64_t value, unsigned root) {
  MPI_Request r;
  MPI_Ibcast(&value, 1, MPI_UINT64_T, static_cast<int>(root), comm_, &r);
  complete(r);
  return value;
}

void job::abort(int status) {
  MPI_Abort(comm_, status);
  std::abort();
}

void job::agree(const std::exception_ptr& mine) {
  const int own = mine ? static_cast<int>(rank_) : static_cast<int>(ranks_);
  int lowest = own;
  MPI_Request r;
  MPI_Iallreduce(&own, &lowest, 1, MPI_INT, MPI_MIN, comm_, &r);
  complete(r);
  if (lowest == static_cast<int>(ranks_)) return;
  if (leads()) {
    if (lowest == 0) std::rethrow_exception(mine);
    failure::unpack(receive(static_cast<unsigned>(lowest), failureTag)).raise();
  }
  if (lowest == own) send(0, failureTag, failure::of(mine).pack(message::failed));
  throw job_over{1};
}

void job::send(unsigned to, int tag, std::span<const char> bytes) {
  MPI_Request r = post(to, tag, bytes);
  complete(r);
}

MPI_Request job::post(unsigned to, int tag, std::span<const char> bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) throw std::length_error("message between ranks too long");
  MPI_Request r;
  MPI_Isend(bytes.data(), static_cast<int>(bytes.size()), MPI_BYTE, static_cast<int>(to), tag, comm_, &r);
  return r;
}

bool job::waiting(unsigned from, int tag) {
  int flag = 0;
  MPI_Iprobe(static_cast<int>(from), tag, comm_, &flag, MPI_STATUS_IGNORE);
  return flag != 0;
}

std::vector<char> job::receive(unsigned from, int tag) {
  MPI_Status status;
  waitFor([&] {
    int flag = 0;
    MPI_Iprobe(static_cast<int>(from), tag, comm_, &flag, &status);
    return flag != 0;
  });
  int count = 0;
  MPI_Get_count(&status, MPI_BYTE, &count);
  std::vector<char> bytes(static_cast<std::size_t>(count));
  MPI_Recv(bytes.data(), count, MPI_BYTE, static_cast<int>(from), tag, comm_, MPI_STATUS_IGNORE);
  return bytes;
}

}  // namespace kelcmd::mpi
