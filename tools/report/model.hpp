// What a report shows, gathered from the run's summary, its neighbours file
// and the three inputs, before any of it is turned into HTML. Texts are kept
// as read (attribute values as kelcmd renders them); escaping is the page
// builder's job alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelreport {

struct input_file {
  std::string name;
  std::uint64_t bytes = 0;
  std::string sha256;
};

struct group_row {
  std::uint64_t rows = 0, meeting = 0, failing = 0, undecided = 0;
  std::optional<double> share, favourableShare;
};

struct flag_count {
  std::uint64_t tested = 0, flagged = 0;
  std::optional<double> share;
};

struct placebo_figures {
  std::uint64_t runs = 0, seed = 0, compared = 0;
  flag_count real;
  std::vector<flag_count> shuffles;
  std::optional<double> mean, standardDeviation, p5, p50, p95, excessShare, excessTuples, pValue;
};

// The JSON summary of one kelcmd run.
struct summary {
  std::string version;
  // Settings.
  std::uint64_t k = 0, threads = 0, placeboRuns = 0, seed = 0;
  std::optional<double> maxDistance, threshold, z;
  std::optional<int> confidenceLevel;
  std::string mode, separator;
  input_file metadata, data, select;
  // Counts.
  std::uint64_t attributes = 0, rows = 0, protectedRows = 0, unprotectedRows = 0, undecided = 0, acondCases = 0,
                classValue = 0, discriminated = 0, emptyNeighbourhood = 0;
  // Group figures.
  group_row protectedGroup, unprotectedGroup;
  std::optional<double> difference, ratio, favourableRatio;
  std::optional<bool> fourFifthsHolds;
  double fourFifthsThreshold = 0.8;
  // Histogram of diffs: the non-empty bins by increasing lower edge.
  double binWidth = 0.005;
  std::vector<double> edges;
  std::vector<std::uint64_t> counts;
  std::optional<placebo_figures> placebo;
};

struct neighbour {
  unsigned row = 0;      // 1-based data line
  std::string distance;  // as the neighbours file gives it
  bool match = false;
  std::vector<std::string> values;  // as report::columns
};

struct tuple_evidence {
  unsigned row = 0;  // 1-based data line
  double diff = 0;
  unsigned protectedFound = 0, protectedMatching = 0, unprotectedFound = 0, unprotectedMatching = 0;
  std::vector<std::string> values;  // as report::columns
  std::vector<neighbour> protectedNeighbours, unprotectedNeighbours;
};

struct report {
  summary run;
  // The two files of the run itself, with their digests as read.
  input_file summaryFile, neighboursFile;
  // The select-options lines as written: a-cond, c-cond, measured attributes.
  std::string acondText, ccondText, measureText;
  // The columns shown for a tuple: the measured attributes, then the class
  // attribute (the last one, never marked as differing).
  std::vector<std::string> columns;
  // Flagged tuples, highest diff first (rows in increasing order among equal
  // diffs), at most `shownLimit` of them.
  std::vector<tuple_evidence> flagged;
  std::uint64_t flaggedTotal = 0;
};

inline constexpr std::size_t shownLimit = 200;

}  // namespace kelreport
