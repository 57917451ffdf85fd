// The run's inputs, read once by the leader and parsed by every rank. The
// leader opens each input by name as the program always does (a plain file,
// a gzip file decompressed as it is read, a FIFO, a named pipe, standard
// input), reads its bytes and broadcasts them in chunks as they come; every
// rank parses the same bytes with the same readers, and the ranks agree
// that all of them succeeded before the run goes on. So no file system needs
// to be shared, and every rank holds the same table. A read that fails
// halfway is replayed to every parser after the bytes read before it, so the
// lines before it and the error are those of a run on one machine.
//
// A large plain data file is parsed in parts spread over the ranks, each
// rank reading its own parts on its threads and broadcasting them, parsed,
// to the others, which append them in file order: the table is the one
// each would have read alone, and no rank parses every line. The leader
// chooses it when the parse it spares each rank outweighs sending the
// parsed parts (about as many bytes as the input), at the rate its
// broadcast of the input took: so on one machine, or with few threads a
// rank, but not for ranks of many threads on a slow network. Any error of
// the data sends every rank back to the one-pass read, which tells it.
//
// The leader calls it from the run sequence; each worker calls the same
// three reads in the same order, with the same names and separator. The
// leader has every byte, so a digest the run asks for is fed there, as the
// bytes are read; with `whole` (a run with a summary) every rank also reads
// the metadata and select-options inputs past what their parse needed, so
// that a read failing there fails the run on every rank, as it does in one
// process.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "mpi/job.hpp"
#include "run.hpp"

namespace orv::inpout {
class positional;
class stream;
}

namespace kelcmd::mpi {

class shared_inputs final : public input_source {
 public:
  shared_inputs(job& j, bool whole) : team(j), whole(whole) {}

  unsigned readMetadata(kel::dataset& data, const std::string& name, char separator,
                        orv::util::sha256* digest) override;
  unsigned readData(kel::dataset& data, const std::string& name, char separator, unsigned threads,
                    orv::util::sha256* digest) override;
  void readSelect(kel::dataset& data, const std::string& name, char separator, orv::util::sha256* digest) override;

  // Whether the workers still wait for the leader's headers: no input failed
  // on any rank. The leader then owes them a finish.
  bool workersListening() const { return listening; }

  // The size of the chunks the leader broadcasts.
  static constexpr std::size_t chunkBytes = std::size_t{16} << 20;

 private:
  // Bytes grown without being cleared first.
  struct bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::size_t capacity = 0;
    // Room for n more bytes after size; null when it cannot be had.
    char* room(std::size_t n);
  };

  template <class Parse>
  auto parse(const std::string& name, char separator, orv::util::sha256* digest, bool toEnd, Parse&& read);
  // Brings the input's bytes (and the reason its reading stopped early, if
  // it did) to every rank; the leader's digest gets every byte read.
  void fetch(const std::string& name, char separator, orv::util::sha256* digest);
  void lead(const std::string& name, char separator, orv::util::sha256* digest);
  void follow();
  // After a parse: the bytes go, and the ranks agree that every parse
  // succeeded (see job::agree); a failure ends the workers' listening.
  void settle(const std::exception_ptr& failed);
  // The data read in parts spread over the ranks (see readData): whether the
  // table is read, or every rank must read it in one pass, or some rank
  // failed (`failed` holds this rank's failure, if it is one of them).
  enum class parts_read { done, one_pass, failed };
  parts_read readParts(kel::dataset& data, const orv::inpout::positional& file, char separator, unsigned parts,
                       unsigned threads, unsigned& rows, std::exception_ptr& failed);
  // On the leader, after the data's bytes went out: whether reading in
  // parts pays (see above) with `threads` a rank.
  bool partsPay(unsigned threads) const;

  job& team;
  const bool whole;
  bool listening = true;
  bytes content;
  std::optional<std::string> failure;
  std::exception_ptr lost;  // a worker that could not hold the bytes
  double broadcastSeconds = 0.0;  // the leader's broadcasts of the last input
};

}  // namespace kelcmd::mpi
