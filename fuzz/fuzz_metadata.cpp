// The metadata reader. Whatever the bytes, it builds an attribute list or
// stops with a one-line error; a list it builds must index every name at its
// first position and must read back, from what writeMetadata writes, into
// the same names and kinds.
#include <cstdint>
#include <string>

#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"
#include "fuzz_input.hpp"
#include "util/error.hpp"

namespace {

bool read(kel::dataset& d, const std::string& text, std::uint32_t seed) {
  try {
    auto in = kelfuzz::stream_over(text, ',', 16384, seed, 1 + static_cast<int>(seed % 97));
    d.readMetadata(*in);
    return true;
  } catch (const orv::util::error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kel::dataset d;
  if (!read(d, text, static_cast<std::uint32_t>(size))) return 0;

  const auto& atts = *d.atts;
  std::string written;
  bool may_not_read_back = false;
  for (std::size_t i = 0; i < atts.size(); ++i) {
    const auto found = d.index.find(atts[i]->name);
    if (found == d.index.end() || found->second < 0 || static_cast<std::size_t>(found->second) > i ||
        atts[static_cast<std::size_t>(found->second)]->name != atts[i]->name)
      kelfuzz::broken("metadata: index does not give the first position of a name");
    const std::string line = atts[i]->toMetadata();
    // An ordinal scale whose last value is empty or ends in a carriage
    // return loses it when written: the format cannot tell.
    if (!line.empty() && (line.back() == ',' || line.back() == '\r')) may_not_read_back = true;
    written += line;
    written += '\n';
  }
  {
    orv::inpout::textout out("/dev/null");
    d.writeMetadata(out);
  }

  kel::dataset again;
  if (!read(again, written, 7)) {
    if (!may_not_read_back) kelfuzz::broken("metadata: written metadata does not read back");
    return 0;
  }
  if (again.atts->size() != atts.size()) kelfuzz::broken("metadata: read back a different count");
  for (std::size_t i = 0; i < atts.size(); ++i) {
    if ((*again.atts)[i]->name != atts[i]->name) kelfuzz::broken("metadata: read back a different name");
    if ((*again.atts)[i]->getType() != atts[i]->getType()) kelfuzz::broken("metadata: read back a different kind");
  }
  return 0;
}
