// The metadata file: one line per column, "name,kind" with the declared
// values after "ordinal". Always split at ","; nothing is trimmed.
#include <cstring>
#include <ostream>

#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"
#include "io/stream.hpp"
#include "util/error.hpp"
#include "util/tokenizer.hpp"

namespace kel {

std::size_t dataset::fieldCount(const std::string& line, char separator) {
  if (line.empty()) return 0;
  std::size_t n = 1;
  for (std::size_t i = 0; i + 1 < line.size(); ++i) n += line[i] == separator;
  return n;
}

std::unique_ptr<attribute> dataset::parseAttribute(const std::string& line) {
  const std::size_t fields = fieldCount(line, ',');
  if (fields < 2) throw orv::util::error("bad syntax: " + line);
  orv::util::tokenizer t(line.c_str(), ',');
  std::string name = t.next_token(',');
  const char* kind = t.next_token(',');

  std::unique_ptr<attribute> att;
  if (std::strcmp(kind, "continuous") == 0) {
    att = std::make_unique<attcontinuous>();
  } else if (std::strcmp(kind, "nominal") == 0) {
    att = std::make_unique<attnominal>();
  } else if (std::strcmp(kind, "ignore") == 0) {
    att = std::make_unique<attignore>();
  } else if (std::strcmp(kind, "ordinal") == 0) {
    if (fields == 2) throw orv::util::error("bad syntax: " + line);
    auto ordinal = std::make_unique<attordinal>();
    for (std::size_t i = 2; i < fields; ++i) ordinal->addDeclared(t.next_token(','));
    ordinal->closeScale();
    att = std::move(ordinal);
  } else {
    throw orv::util::error("bad syntax: " + line);
  }
  att->name = std::move(name);
  return att;
}

unsigned dataset::readMetadata(orv::inpout::stream& in) {
  acond.reset();
  measureAtts.clear();
  classAtt = nullptr;
  index.clear();
  atts = std::make_unique<std::vector<std::unique_ptr<attribute>>>();
  while (in.read_line()) {
    atts->push_back(parseAttribute(in.line()));
    index.try_emplace(atts->back()->name, static_cast<std::int32_t>(atts->size() - 1));
  }
  atts->shrink_to_fit();
  return static_cast<unsigned>(atts->size());
}

void dataset::writeMetadata(orv::inpout::textout& out) const {
  for (const auto& att : *atts) {
    out.stream() << att->toMetadata();
    out.end_line();
  }
  out.finish();
}

}  // namespace kel
