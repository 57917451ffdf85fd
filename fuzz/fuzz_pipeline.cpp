// The whole run on a tiny table: metadata, data and select-options bytes
// carved from one input at zero bytes, then up to four option bytes (k,
// flags, maximum distance, threshold). The stages run as the driver runs
// them; any stage may stop with a one-line error, none may crash.
//
// The test runs through the straightforward search, then through the index
// (forced, however small the table) and the scan, into memory files, and the
// outputs must be identical.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"
#include "fuzz_input.hpp"
#include "util/error.hpp"

namespace {

// Work per run is protected rows times all rows; beyond this a run is slow
// without exercising anything new.
constexpr std::uint64_t max_pairs = 40000;

constexpr double confidence_z[] = {1.281551566, 1.644853627, 1.750686071, 1.880793608, 2.053748911, 2.326347874};

std::string_view cut(std::string_view& rest) {
  const std::size_t at = rest.find('\0');
  const std::string_view part = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return part;
}

// A file in memory, reachable by name, so textout can write it.
class memfile {
 public:
  memfile() : fd_(memfd_create("kel-fuzz-out", 0)) {
    if (fd_ < 0) kelfuzz::broken("pipeline: memfd_create failed");
  }
  ~memfile() { close(fd_); }
  std::string name() const { return "/proc/self/fd/" + std::to_string(fd_); }
  std::string text() const {
    std::string all;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd_, buf, sizeof buf, at)) > 0; at += n) all.append(buf, static_cast<std::size_t>(n));
    return all;
  }

 private:
  int fd_;
};

std::string run_test(kel::dataset& d, kel::test_settings settings, bool reference, kel::search_method method,
                     bool dst) {
  settings.reference = reference;
  settings.search.method = method;
  memfile file;
  kel::distribution dist;
  if (dst) dist.configure(-100.0, 100.0, 0.005);
  try {
    orv::inpout::textout out(file.name());
    kel::testDiscrimination(d, settings, out, dist, kelfuzz::null_console());
    dist.write("/dev/null");
  } catch (const orv::util::error& e) {
    return file.text() + "\nerror: " + e.what();
  }
  return file.text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view meta = cut(rest);
  const std::string_view table = cut(rest);
  const std::string_view select = cut(rest);
  const auto option = [&](std::size_t i) { return i < rest.size() ? static_cast<std::uint8_t>(rest[i]) : 0; };
  const std::uint8_t flags = option(1);
  const char sep = flags & 0x40 ? ';' : ',';

  kel::test_settings settings;
  settings.search.k = option(0) == 255 ? 4294967295u : 1 + option(0) % 8;
  settings.all = flags & 0x01;
  settings.pre = flags & 0x02;
  settings.useConfidence = flags & 0x04;
  settings.z = confidence_z[(flags >> 3) % 6];
  settings.search.maxDistance = option(2) == 0 ? 3.4028235e38f : static_cast<float>(option(2)) / 64.0f;
  settings.threshold = static_cast<double>(static_cast<float>((option(3) - 128) / 100.0));
  settings.search.threads = flags & 0x80 ? 2 : 1;
  const bool dst = flags & 0x20;

  kel::dataset d;
  try {
    d.readMetadata(*kelfuzz::stream_over(meta, sep, 16384, static_cast<std::uint32_t>(size), 7));
    d.readData(*kelfuzz::stream_over(table, sep, 16384, static_cast<std::uint32_t>(size), 13));
    d.readSelect(*kelfuzz::stream_over(select, sep, 16384, static_cast<std::uint32_t>(size), 5));
    {
      orv::inpout::textout out("/dev/null");
      d.writeMetadata(out);
    }
    d.splitGroups(kelfuzz::null_console());
  } catch (const orv::util::error&) {
    return 0;
  }

  unsigned protectedCount = 0;
  for (unsigned r = 0; r < d.rows(); ++r) protectedCount += d.protectedRows.test(r);
  if (std::uint64_t{protectedCount} * d.rows() > max_pairs) return 0;

  const std::string reference = run_test(d, settings, true, kel::search_method::automatic, dst);
  if (reference != run_test(d, settings, false, kel::search_method::index, dst))
    kelfuzz::broken("pipeline: the index writes a different output");
  if (reference != run_test(d, settings, false, kel::search_method::scan, dst))
    kelfuzz::broken("pipeline: the scan writes a different output");
  return 0;
}
