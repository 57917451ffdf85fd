#include "inputs.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <queue>
#include <sstream>
#include <string_view>
#include <thread>

#include "analysis/engine/judge.hpp"
#include "analysis/engine/reference_search.hpp"
#include "analysis/table/dataset.hpp"
#include "io/iodigest.hpp"
#include "io/iomem.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "util/error.hpp"
#include "util/sha256.hpp"

namespace kelreport {

namespace {

using json = nlohmann::json;
using orv::util::error;

// A member by path, or an error naming it: a summary that lacks one is not
// what kelcmd writes, and a guess would put a wrong figure on the page.
const json& at(const json& j, const char* key, const std::string& path) {
  if (!j.is_object() || !j.contains(key)) throw error("not a kelcmd summary: no " + path + key);
  return j.at(key);
}

std::uint64_t whole(const json& j, const char* key, const std::string& path) {
  const json& v = at(j, key, path);
  if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<std::int64_t>() >= 0))
    throw error("not a kelcmd summary: " + path + key + " is not a count");
  return v.get<std::uint64_t>();
}

std::optional<double> figure(const json& j, const char* key, const std::string& path) {
  const json& v = at(j, key, path);
  if (v.is_null()) return std::nullopt;
  if (!v.is_number()) throw error("not a kelcmd summary: " + path + key + " is not a number");
  return v.get<double>();
}

std::string text(const json& j, const char* key, const std::string& path) {
  const json& v = at(j, key, path);
  if (!v.is_string()) throw error("not a kelcmd summary: " + path + key + " is not a text");
  return v.get<std::string>();
}

input_file input(const json& j, const char* key) {
  const json& f = at(j, key, "inputs.");
  const std::string path = std::string("inputs.") + key + ".";
  return {text(f, "name", path), whole(f, "bytes", path), text(f, "sha256", path)};
}

group_row group(const json& j, const char* key) {
  const json& g = at(j, key, "groups.");
  const std::string path = std::string("groups.") + key + ".";
  return {whole(g, "rows", path),      whole(g, "meeting", path),   whole(g, "failing", path),
          whole(g, "undecided", path), figure(g, "share", path), figure(g, "favourableShare", path)};
}

flag_count flags(const json& f, const std::string& path) {
  return {whole(f, "tested", path), whole(f, "flagged", path), figure(f, "share", path)};
}

std::string read_whole(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw error("File: " + name + " not found or inaccessible");
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (in.bad()) throw error("cannot read " + name);
  return bytes;
}

// One line of the neighbours file, split into its six fields.
struct nbr_line {
  unsigned row = 0, rank = 0, neighbour = 0;
  bool protectedSide = false, match = false;
  std::string_view distance;
};

unsigned line_number(std::string_view field, unsigned rows, bool& ok) {
  unsigned v = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
  ok = ok && ec == std::errc() && end == field.data() + field.size() && v >= 1 && v <= rows;
  return v;
}

bool parse_line(std::string_view line, unsigned rows, nbr_line& out) {
  std::string_view f[6];
  std::size_t n = 0;
  while (n < 6) {
    const std::size_t comma = line.find(',');
    f[n++] = line.substr(0, comma);
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
    if (n == 6) return false;  // a seventh field
  }
  if (n != 6) return false;
  bool ok = true;
  out.row = line_number(f[0], rows, ok);
  if (f[1] == "protected") out.protectedSide = true;
  else if (f[1] == "unprotected") out.protectedSide = false;
  else return false;
  out.rank = line_number(f[2], std::numeric_limits<unsigned>::max(), ok);
  out.neighbour = line_number(f[3], rows, ok);
  float d = 0;
  const auto [end, ec] = std::from_chars(f[4].data(), f[4].data() + f[4].size(), d);
  ok = ok && ec == std::errc() && end == f[4].data() + f[4].size() && d >= 0;
  out.distance = f[4];
  if (f[5] == "1") out.match = true;
  else if (f[5] == "0") out.match = false;
  else return false;
  return ok;
}

// Ranks before: a higher diff, then an earlier row.
struct ranks_before {
  bool operator()(const tuple_evidence& a, const tuple_evidence& b) const {
    return a.diff > b.diff || (a.diff == b.diff && a.row < b.row);
  }
};

}  // namespace

summary parse_summary(const std::string& bytes, const std::string& name) {
  json j;
  try {
    j = json::parse(bytes);
  } catch (const json::exception& e) {
    throw error("summary " + name + " is not JSON: " + e.what());
  }
  try {
    summary s;
    const json& program = at(j, "program", "");
    if (!program.contains("name") || program["name"] != "kelcmd") throw error("not a kelcmd summary: program.name");
    s.version = text(program, "version", "program.");
    const json& st = at(j, "settings", "");
    s.k = whole(st, "k", "settings.");
    s.maxDistance = figure(st, "maxDistance", "settings.");
    s.threshold = figure(st, "threshold", "settings.");
    const json& level = at(st, "confidenceLevel", "settings.");
    if (!level.is_null()) s.confidenceLevel = level.get<int>();
    s.z = figure(st, "z", "settings.");
    if (s.confidenceLevel && !s.z) throw error("not a kelcmd summary: settings.z is null with a confidence level");
    s.mode = text(st, "mode", "settings.");
    s.separator = text(st, "separator", "settings.");
    if (s.separator.size() != 1) throw error("not a kelcmd summary: settings.separator is not one character");
    s.threads = whole(st, "threads", "settings.");
    s.placeboRuns = whole(st, "placeboRuns", "settings.");
    s.seed = whole(st, "seed", "settings.");
    const json& in = at(j, "inputs", "");
    s.metadata = input(in, "metadata");
    s.data = input(in, "data");
    s.select = input(in, "select");
    const json& c = at(j, "counts", "");
    s.attributes = whole(c, "attributes", "counts.");
    s.rows = whole(c, "rows", "counts.");
    s.protectedRows = whole(c, "protected", "counts.");
    s.unprotectedRows = whole(c, "unprotected", "counts.");
    s.undecided = whole(c, "undecided", "counts.");
    s.acondCases = whole(c, "acondCases", "counts.");
    s.classValue = whole(c, "classValue", "counts.");
    s.discriminated = whole(c, "discriminated", "counts.");
    s.emptyNeighbourhood = whole(c, "emptyNeighbourhood", "counts.");
    const json& g = at(j, "groups", "");
    s.protectedGroup = group(g, "protected");
    s.unprotectedGroup = group(g, "unprotected");
    s.difference = figure(g, "difference", "groups.");
    s.ratio = figure(g, "ratio", "groups.");
    const json& ff = at(g, "fourFifths", "groups.");
    s.favourableRatio = figure(ff, "favourableRatio", "groups.fourFifths.");
    if (const auto t = figure(ff, "threshold", "groups.fourFifths.")) s.fourFifthsThreshold = *t;
    const json& holds = at(ff, "holds", "groups.fourFifths.");
    if (holds.is_boolean()) s.fourFifthsHolds = holds.get<bool>();
    const json& h = at(j, "histogram", "");
    s.binWidth = figure(h, "binWidth", "histogram.").value_or(0);
    const json& edges = at(h, "edges", "histogram.");
    const json& counts = at(h, "counts", "histogram.");
    if (!edges.is_array() || !counts.is_array() || edges.size() != counts.size() || !(s.binWidth > 0))
      throw error("not a kelcmd summary: histogram");
    for (std::size_t i = 0; i < edges.size(); ++i) {
      s.edges.push_back(edges[i].get<double>());
      s.counts.push_back(counts[i].get<std::uint64_t>());
    }
    if (j.contains("placebo")) {
      const json& p = j["placebo"];
      placebo_figures f;
      f.runs = whole(p, "runs", "placebo.");
      f.seed = whole(p, "seed", "placebo.");
      f.real = flags(at(p, "real", "placebo."), "placebo.real.");
      for (const json& run : at(p, "shuffles", "placebo.")) f.shuffles.push_back(flags(run, "placebo.shuffles[]."));
      f.compared = whole(p, "compared", "placebo.");
      f.mean = figure(p, "mean", "placebo.");
      f.standardDeviation = figure(p, "standardDeviation", "placebo.");
      const json& pc = at(p, "percentiles", "placebo.");
      f.p5 = figure(pc, "p5", "placebo.percentiles.");
      f.p50 = figure(pc, "p50", "placebo.percentiles.");
      f.p95 = figure(pc, "p95", "placebo.percentiles.");
      f.excessShare = figure(p, "excessShare", "placebo.");
      f.excessTuples = figure(p, "excessTuples", "placebo.");
      f.pValue = figure(p, "pValue", "placebo.");
      s.placebo = std::move(f);
    }
    return s;
  } catch (const json::exception& e) {
    throw error("summary " + name + ": not a kelcmd summary: " + e.what());
  } catch (const error& e) {
    throw error("summary " + name + ": " + e.what());
  }
}

void read_neighbours(orv::inpout::stream& in, const std::string& name, kel::dataset& data, const summary& run,
                     report& r, std::size_t limit) {
  const auto fail = [&](std::uint64_t line, const std::string& what) {
    throw error("neighbours file " + name + " line " + std::to_string(line) + ": " + what);
  };
  if (!in.read_line()) fail(1, "empty, no header line");
  if (std::string_view(in.line(), static_cast<std::size_t>(in.line_length())) != "row,group,rank,neighbour,distance,match")
    fail(1, "not the header row,group,rank,neighbour,distance,match");

  kel::judge_rule rule;
  // A threshold that is not finite is null in the summary: +inf (or NaN)
  // flags nothing, -inf flags every tested tuple meeting the outcome; the
  // summary's count tells which.
  rule.threshold = run.threshold ? *run.threshold
                                 : (run.discriminated == 0 ? std::numeric_limits<double>::infinity()
                                                           : -std::numeric_limits<double>::infinity());
  rule.useConfidence = run.confidenceLevel.has_value();
  rule.z = run.z.value_or(0);
  rule.negate = data.classAtt->getType() == kel::kindContinuous && data.ccond.op == kel::opLess;

  const unsigned rows = data.rows();
  std::priority_queue<tuple_evidence, std::vector<tuple_evidence>, ranks_before> kept;  // worst on top
  std::uint64_t flagged = 0, testedMeeting = 0;
  tuple_evidence current;
  bool open = false;
  std::uint64_t lineNo = 1;

  const auto close = [&] {
    if (!open) return;
    open = false;
    const bool holds = data.classCondition(current.row - 1) != 0;
    const kel::verdict v = kel::judge({current.protectedFound, current.protectedMatching},
                                      {current.unprotectedFound, current.unprotectedMatching}, holds, rule);
    if (!v.tested) return;
    if (holds) ++testedMeeting;
    if (!v.flagged) return;
    ++flagged;
    current.diff = v.diff;
    if (kept.size() < limit) {
      kept.push(std::move(current));
    } else if (limit > 0 && ranks_before()(current, kept.top())) {
      kept.pop();
      kept.push(std::move(current));
    }
  };

  nbr_line l;
  while (in.read_line()) {
    ++lineNo;
    const std::string_view line(in.line(), static_cast<std::size_t>(in.line_length()));
    if (!parse_line(line, rows, l)) fail(lineNo, "not row,group,rank,neighbour,distance,match of this data file");
    if (!open || l.row != current.row) {
      if (open && l.row < current.row) fail(lineNo, "row " + std::to_string(l.row) + " out of order");
      close();
      if (!data.protectedRows.test(l.row - 1)) fail(lineNo, "row " + std::to_string(l.row) + " is not protected");
      current = tuple_evidence{};
      current.row = l.row;
      open = true;
    }
    auto& list = l.protectedSide ? current.protectedNeighbours : current.unprotectedNeighbours;
    if (l.protectedSide && !current.unprotectedNeighbours.empty()) fail(lineNo, "a protected neighbour after the unprotected ones");
    if (l.rank != list.size() + 1 || l.rank > run.k) fail(lineNo, "rank " + std::to_string(l.rank) + " out of sequence");
    const unsigned nb = l.neighbour - 1;
    const bool inGroup = l.protectedSide ? data.protectedRows.test(nb) && nb != l.row - 1 : data.unprotectedRows.test(nb);
    if (!inGroup) fail(lineNo, "neighbour " + std::to_string(l.neighbour) + " is not in the " +
                               (l.protectedSide ? "protected" : "unprotected") + " group");
    if (kel::classMatches(*data.classAtt, l.row - 1, nb) != l.match)
      fail(lineNo, "the match of neighbour " + std::to_string(l.neighbour) + " disagrees with the data");
    (l.protectedSide ? current.protectedFound : current.unprotectedFound)++;
    (l.protectedSide ? current.protectedMatching : current.unprotectedMatching) += l.match;
    list.push_back({l.neighbour, std::string(l.distance), l.match, {}});
  }
  close();

  // Every count the run printed must come out again: otherwise the file is
  // cut short or belongs to another run, and the page would mislead.
  if (flagged != run.discriminated || testedMeeting != run.classValue)
    throw error("neighbours file " + name + " does not belong to the summary's run: it gives " +
                std::to_string(testedMeeting) + " tested and " + std::to_string(flagged) +
                " flagged tuples, the summary " + std::to_string(run.classValue) + " and " +
                std::to_string(run.discriminated));

  r.flaggedTotal = flagged;
  r.flagged.resize(kept.size());
  for (std::size_t i = kept.size(); i-- > 0;) {
    r.flagged[i] = std::move(const_cast<tuple_evidence&>(kept.top()));
    kept.pop();
  }
}

report gather(const report_inputs& in) {
  report r;
  const std::string summaryText = read_whole(in.summary);
  r.run = parse_summary(summaryText, in.summary);
  {
    orv::util::sha256 d;
    d.update(summaryText.data(), summaryText.size());
    r.summaryFile = {in.summary, summaryText.size(), orv::util::sha256::to_hex(d.finish())};
  }
  const summary& s = r.run;
  const char sep = s.separator[0];

  kel::dataset data;
  orv::util::sha256 digests[3];
  {
    const auto meta = orv::inpout::open_input(in.metadata, sep, &digests[0]);
    data.readMetadata(*meta);
    orv::inpout::read_rest(*meta->connection(), in.metadata);
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  data.readData(in.data, sep, cores, kel::dataset::defaultMinPartBytes, &digests[1]);
  std::string selectText;
  {
    // Kept as text: the page shows its lines as written.
    const auto sel = orv::inpout::open_input(in.select, sep, &digests[2]);
    std::vector<std::string> lines;
    while (sel->read_line()) lines.emplace_back(sel->line(), static_cast<std::size_t>(sel->line_length()));
    for (const std::string& line : lines) selectText += line + "\n";
    if (lines.size() > 0) r.acondText = lines[0];
    if (lines.size() > 1) r.ccondText = lines[1];
    if (lines.size() > 2) r.measureText = lines[2];
  }
  const auto check = [](const char* what, const std::string& name, orv::util::sha256& d, const input_file& f) {
    const std::uint64_t size = d.size();
    if (orv::util::sha256::to_hex(d.finish()) != f.sha256 || size != f.bytes)
      throw error(std::string("the ") + what + " " + name + " is not the one the summary's run read (" + f.name +
                  "): its SHA-256 differs");
  };
  check("metadata file", in.metadata, digests[0], s.metadata);
  check("data file", in.data, digests[1], s.data);
  check("select-options file", in.select, digests[2], s.select);
  {
    orv::inpout::iomem* block = new orv::inpout::iomem;
    block->open(selectText.data(), static_cast<int>(selectText.size()), static_cast<int>(selectText.size()));
    orv::inpout::stream sel(block, true, sep, 16384);
    data.readSelect(sel);
  }
  std::ostringstream console;
  data.splitGroups(console);

  for (const kel::attribute* a : data.measureAtts) r.columns.push_back(a->name);
  r.columns.push_back(data.classAtt->name);

  {
    orv::util::sha256 d;
    const auto nbr = orv::inpout::open_input(in.neighbours, ',', &d);
    read_neighbours(*nbr, in.neighbours, data, s, r);
    orv::inpout::read_rest(*nbr->connection(), in.neighbours);
    r.neighboursFile = {in.neighbours, d.size(), orv::util::sha256::to_hex(d.finish())};
  }
  // Values only for the tuples shown.
  const auto values = [&](unsigned row) {
    std::vector<std::string> v;
    for (kel::attribute* a : data.measureAtts) v.emplace_back(a->getString(row - 1));
    v.emplace_back(data.classAtt->getString(row - 1));
    return v;
  };
  for (tuple_evidence& t : r.flagged) {
    t.values = values(t.row);
    for (neighbour& n : t.protectedNeighbours) n.values = values(n.row);
    for (neighbour& n : t.unprotectedNeighbours) n.values = values(n.row);
  }
  return r;
}

}  // namespace kelreport
