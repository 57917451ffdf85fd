#include "summary.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "analysis/engine/distribution.hpp"

namespace kelcmd {

namespace {

using json = nlohmann::ordered_json;

// Integers as themselves; a double that is not finite has no JSON number.
json number(double x) { return std::isfinite(x) ? json(x) : json(nullptr); }
json number(const std::optional<double>& x) { return x ? number(*x) : json(nullptr); }
json boolean(const std::optional<bool>& x) { return x ? json(*x) : json(nullptr); }
json name_or_null(bool given, const std::string& name) { return given ? json(name) : json(nullptr); }

// The float as the shortest decimal that reads back as it, then as a
// double: the bin edge 0.1 appears as 0.1, as in the distribution file.
double decimal(float x) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text - 1, x).ptr;
  *end = '\0';
  return std::strtod(text, nullptr);
}

json input(const input_record& in) { return {{"name", in.name}, {"bytes", in.bytes}, {"sha256", in.sha256}}; }

unsigned long long rowsOf(const kel::class_tally& t) { return 0ULL + t.meeting + t.failing + t.undecided; }

json tally(const kel::class_tally& t, const std::optional<double>& share, const std::optional<double>& favourable) {
  return {{"rows", rowsOf(t)},
          {"meeting", t.meeting},
          {"failing", t.failing},
          {"undecided", t.undecided},
          {"share", number(share)},
          {"favourableShare", number(favourable)}};
}

json flags(const kel::flag_count& c) {
  return {{"tested", c.tested}, {"flagged", c.flagged}, {"share", number(kel::flaggedShare(c))}};
}

const char* mode(const settings& s) { return s.prevention ? "prevention" : s.all ? "all" : "default"; }

}  // namespace

std::string summary_json(const run_record& r) {
  const settings& s = *r.options;
  json j;
  j["program"] = {{"name", "kelcmd"}, {"version", KEL_VERSION}};
  j["settings"] = {{"k", s.k},
                   {"maxDistance", number(s.max_distance)},
                   {"threshold", number(s.threshold)},
                   {"confidenceLevel", s.confidence ? json(s.confidence_level) : json(nullptr)},
                   {"z", s.confidence ? json(s.z) : json(nullptr)},
                   {"mode", mode(s)},
                   {"separator", std::string(1, s.separator)},
                   {"threads", r.threads},
                   {"placeboRuns", s.placebo_runs},
                   {"seed", s.seed}};
  j["inputs"] = {{"metadata", input(r.metadata)}, {"data", input(r.data)}, {"select", input(r.select)}};
  j["outputs"] = {{"data", s.output},
                  {"metadata", name_or_null(s.metadata_out_given, s.metadata_out)},
                  {"distribution", name_or_null(s.distribution_on, s.distribution_out)},
                  {"neighbours", name_or_null(s.neighbours_on, s.neighbours_out)},
                  {"summary", s.summary_out}};
  j["counts"] = {{"attributes", r.attributes},
                 {"rows", r.rows},
                 {"protected", rowsOf(r.groups.protected_)},
                 {"unprotected", rowsOf(r.groups.unprotected)},
                 {"undecided", r.groups.undecidedRows},
                 {"acondCases", r.counts.visited},
                 {"classValue", r.counts.classCount},
                 {"discriminated", r.counts.discriminated},
                 {"emptyNeighbourhood", r.counts.emptyNeighbourhood}};
  const kel::group_rates rates = kel::groupRates(r.groups);
  j["groups"] = {{"protected", tally(r.groups.protected_, rates.protectedShare, rates.protectedFavourable)},
                 {"unprotected", tally(r.groups.unprotected, rates.unprotectedShare, rates.unprotectedFavourable)},
                 {"difference", number(rates.difference)},
                 {"ratio", number(rates.ratio)},
                 {"fourFifths",
                  {{"favourableRatio", number(rates.favourableRatio)},
                   {"threshold", kel::fourFifths},
                   {"holds", boolean(rates.fourFifthsHolds)}}}};
  json edges = json::array(), counts = json::array();
  const auto& bins = r.histogram->counts();
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins[i] == 0) continue;
    edges.push_back(decimal(r.histogram->edge(i)));
    counts.push_back(bins[i]);
  }
  j["histogram"] = {{"binWidth", r.histogram->binWidth()}, {"edges", edges}, {"counts", counts}};
  j["timings"] = {{"readingSeconds", r.readingSeconds},
                  {"testSeconds", r.testSeconds},
                  {"placeboSeconds", r.placeboSeconds},
                  {"otherSeconds", r.otherSeconds}};
  if (r.placebo) {
    const kel::placebo_figures& p = *r.placebo;
    json runs = json::array();
    for (const kel::flag_count& c : p.runs) runs.push_back(flags(c));
    j["placebo"] = {{"runs", p.runs.size()},
                    {"seed", s.seed},
                    {"real", flags(p.real)},
                    {"shuffles", runs},
                    {"compared", p.compared},
                    {"mean", number(p.mean)},
                    {"standardDeviation", number(p.standardDeviation)},
                    {"percentiles", {{"p5", number(p.p5)}, {"p50", number(p.p50)}, {"p95", number(p.p95)}}},
                    {"excessShare", number(p.excessShare)},
                    {"excessTuples", number(p.excessTuples)},
                    {"pValue", number(p.pValue)}};
  }
  // Names are bytes, not always UTF-8: a byte that is not is shown as U+FFFD
  // rather than failing the run.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace kelcmd
