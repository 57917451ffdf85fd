#include "html.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelreport {

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", b);
          out += hex;
        } else {
          out += c;
        }
      }
    }
  }
  return out;
}

namespace {

std::string number(double x, int digits = 6) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, x);
  return text;
}

std::string count(std::uint64_t n) {
  // Thousands apart with a thin space: large counts read at a glance.
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += "&#8201;";
    out += digits[i];
  }
  return out;
}

const char* const none = "<span class=\"na\">n/a</span>";

std::string figure(const std::optional<double>& x, int digits = 4) { return x ? number(*x, digits) : none; }

std::string percent(const std::optional<double>& x) { return x ? number(*x * 100, 3) + "%" : none; }

// SVG coordinates, short and locale-free.
std::string coord(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", x);
  return text;
}

const char* const style = R"(
:root{color-scheme:light;--ink:#1a1a1a;--muted:#555;--line:#c8c8c8;--accent:#0b4f8a;--flag:#a11d1d;--mark:#ffe08a;--bg2:#f3f5f7}
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;color:var(--ink);background:#fff;margin:0 auto;max-width:100rem;padding:1rem 1.5rem 3rem}
h1{font-size:1.6rem;margin:.5rem 0}h2{font-size:1.25rem;margin:2rem 0 .5rem;border-bottom:2px solid var(--accent);padding-bottom:.2rem}
p.lead{color:var(--muted);margin-top:0}
table{border-collapse:collapse;margin:.5rem 0 1rem}caption{text-align:left;font-weight:600;padding:.3rem 0;caption-side:top}
th,td{border:1px solid var(--line);padding:.2rem .5rem;text-align:left;vertical-align:top}
thead th{background:var(--bg2)}td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
.sha{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:.8rem;word-break:break-all}
.na{color:var(--muted);font-style:italic}
.verdict{border-left:6px solid var(--muted);padding:.5rem .8rem;background:var(--bg2);max-width:50rem}
.verdict.fails{border-color:var(--flag)}.verdict.holds{border-color:#1d6b2f}
figure{margin:1rem 0}figcaption{color:var(--muted);font-size:.9rem;max-width:50rem}
svg text{font:12px system-ui,Arial,sans-serif;fill:#1a1a1a}
.bar{fill:#6d8fb3}.bar.hi{fill:var(--flag)}.mark{stroke:var(--flag);stroke-width:2;stroke-dasharray:5 3}.real{stroke:#111;stroke-width:3}
.axis{stroke:#333;stroke-width:1}
.scroll{overflow-x:auto;max-width:100%}
table.flagged tbody{border-top:2px solid #888}
tr.evidence>td{padding:0 .5rem;border-top:none}
details>summary{cursor:pointer;color:var(--accent);padding:.2rem 0}
.pair{display:grid;grid-template-columns:repeat(2,minmax(0,1fr));gap:.8rem;align-items:start;padding:.3rem 0 .6rem}
.pair>div{overflow-x:auto}
.pair.wide{grid-template-columns:minmax(0,1fr)}
.pair td{white-space:nowrap}
@media (max-width:64rem){.pair{grid-template-columns:minmax(0,1fr)}}
.pair table{margin:0;font-size:.78rem}.pair th,.pair td{padding:.1rem .25rem}.pair caption{font-size:.85rem}
tr.self td,tr.self th{background:var(--bg2);font-weight:600}
mark{background:var(--mark);color:#000;padding:0 .15rem}
.legend mark{font-weight:600}
@media print{
 body{max-width:none;padding:0;font-size:11px}
 h2{break-after:avoid}
 details::details-content{content-visibility:visible;display:block}
 details>summary{display:none}
 thead th,tr.self td,tr.self th,.verdict{background:none}
 mark{background:none;font-weight:700;text-decoration:underline}
 tbody{break-inside:avoid}
 .scroll,.pair>div{overflow:visible}
 .pair{grid-template-columns:minmax(0,1fr)}
}
)";

void settings_section(std::string& o, const report& r) {
  const summary& s = r.run;
  o += "<section id=\"settings\" aria-labelledby=\"settings-h\">\n<h2 id=\"settings-h\">Settings and inputs</h2>\n";
  o += "<table>\n<caption>Selection</caption>\n<tbody>\n";
  o += "<tr><th scope=\"row\">Protected group (a-cond)</th><td>" + escape(r.acondText) + "</td></tr>\n";
  o += "<tr><th scope=\"row\">Outcome under test (c-cond)</th><td>" + escape(r.ccondText) + "</td></tr>\n";
  o += "<tr><th scope=\"row\">Measured attributes</th><td>" + escape(r.measureText) + "</td></tr>\n";
  o += "</tbody>\n</table>\n";

  o += "<table>\n<caption>Settings of the run</caption>\n<tbody>\n";
  const auto row = [&](const std::string& name, const std::string& value) {
    o += "<tr><th scope=\"row\">" + name + "</th><td>" + value + "</td></tr>\n";
  };
  row("Neighbours in each group (k)", count(s.k));
  row("Maximum distance", s.maxDistance ? (*s.maxDistance >= 3.4028234663852886e+38 ? std::string("largest float (default)")
                                                                                      : number(*s.maxDistance))
                                        : std::string("none"));
  row("Threshold", s.threshold ? number(*s.threshold) : std::string(none));
  row("Confidence level", s.confidenceLevel ? std::to_string(*s.confidenceLevel) + "% (z = " + figure(s.z, 10) + ")"
                                            : std::string("none (diffs not moved toward zero)"));
  row("Mode", escape(s.mode));
  row("Data separator", "<code>" + escape(s.separator) + "</code>");
  row("Threads", count(s.threads));
  row("Placebo runs", count(s.placeboRuns) + (s.placeboRuns > 0 ? " (seed " + std::to_string(s.seed) + ")" : ""));
  row("Program", "kelcmd " + escape(s.version));
  o += "</tbody>\n</table>\n";

  o += "<div class=\"scroll\"><table>\n<caption>Files, as read (the run's inputs by the run, its summary and neighbours by this report)</caption>\n";
  o += "<thead><tr><th scope=\"col\">File</th><th scope=\"col\">Name</th><th scope=\"col\" class=\"n\">Bytes</th>"
       "<th scope=\"col\">SHA-256</th></tr></thead>\n<tbody>\n";
  const auto input = [&](const char* what, const input_file& f) {
    o += std::string("<tr><th scope=\"row\">") + what + "</th><td>" + escape(f.name) + "</td><td class=\"n\">" +
         count(f.bytes) + "</td><td class=\"sha\">" + escape(f.sha256) + "</td></tr>\n";
  };
  input("Metadata", s.metadata);
  input("Data", s.data);
  input("Select options", s.select);
  input("Summary", r.summaryFile);
  input("Neighbours", r.neighboursFile);
  o += "</tbody>\n</table></div>\n";

  o += "<table>\n<caption>Counts</caption>\n<tbody>\n";
  const auto n = [&](const std::string& name, std::uint64_t v) {
    o += "<tr><th scope=\"row\">" + name + "</th><td class=\"n\">" + count(v) + "</td></tr>\n";
  };
  n("Attributes", s.attributes);
  n("Rows", s.rows);
  n("Protected rows", s.protectedRows);
  n("Unprotected rows", s.unprotectedRows);
  n("Rows in neither group (a-cond undecided)", s.undecided);
  n("Protected tuples visited", s.acondCases);
  n("Tested tuples meeting the outcome", s.classValue);
  n("Flagged tuples", s.discriminated);
  n("Tuples with an empty neighbourhood", s.emptyNeighbourhood);
  o += "</tbody>\n</table>\n</section>\n";
}

void groups_section(std::string& o, const report& r) {
  const summary& s = r.run;
  o += "<section id=\"groups\" aria-labelledby=\"groups-h\">\n<h2 id=\"groups-h\">Group figures</h2>\n";
  o += "<table>\n<caption>Rows of each group by the outcome under test (" + escape(r.ccondText) + ")</caption>\n";
  o += "<thead><tr><th scope=\"col\">Group</th><th scope=\"col\" class=\"n\">Rows</th>"
       "<th scope=\"col\" class=\"n\">Meeting the outcome</th><th scope=\"col\" class=\"n\">Not meeting it</th>"
       "<th scope=\"col\" class=\"n\">Outcome missing</th><th scope=\"col\" class=\"n\">Share meeting</th>"
       "<th scope=\"col\" class=\"n\">Favourable share</th></tr></thead>\n<tbody>\n";
  const auto group = [&](const char* name, const group_row& g) {
    o += std::string("<tr><th scope=\"row\">") + name + "</th><td class=\"n\">" + count(g.rows) +
         "</td><td class=\"n\">" + count(g.meeting) + "</td><td class=\"n\">" + count(g.failing) +
         "</td><td class=\"n\">" + count(g.undecided) + "</td><td class=\"n\">" + percent(g.share) +
         "</td><td class=\"n\">" + percent(g.favourableShare) + "</td></tr>\n";
  };
  group("Protected", s.protectedGroup);
  group("Unprotected", s.unprotectedGroup);
  o += "</tbody>\n</table>\n";
  o += "<p>Difference of the shares meeting the outcome (protected &minus; unprotected): " + figure(s.difference) +
       "; their ratio: " + figure(s.ratio) +
       ". Shares are of the rows whose outcome is known; the favourable share is that of the rows not meeting the "
       "outcome under test.</p>\n";
  const std::string limit = number(s.fourFifthsThreshold * 100, 3) + "%";
  if (!s.favourableRatio || !s.fourFifthsHolds) {
    o += "<p class=\"verdict\"><strong>Four-fifths rule: cannot be judged.</strong> The ratio of the favourable "
         "shares has no value (a group has no row whose outcome is known, or no unprotected row has the favourable "
         "outcome).</p>\n";
  } else if (*s.fourFifthsHolds) {
    o += "<p class=\"verdict holds\"><strong>Four-fifths rule: holds.</strong> The protected group's favourable "
         "share is " + percent(s.favourableRatio) + " of the unprotected group's, at least " + limit + ".</p>\n";
  } else {
    o += "<p class=\"verdict fails\"><strong>Four-fifths rule: fails.</strong> The protected group's favourable "
         "share is " + percent(s.favourableRatio) + " of the unprotected group's, below " + limit + ".</p>\n";
  }
  o += "</section>\n";
}

// A bar chart of counts over an interval of x, with vertical markers. Bars
// are at least 4 px wide, so that a lone narrow bin stays visible.
struct bar {
  double from, to;
  std::uint64_t n;
  bool high;
};
struct marker {
  double x;
  std::string label, cls;
};

void bar_chart(std::string& o, const std::string& id, const std::string& title, const std::string& desc,
               double lo, double hi, const std::vector<bar>& bars, const std::vector<marker>& marks,
               const std::string& xLabel, int ticks) {
  const double w = 720, h = 272, left = 56, right = 16, top = 40, bottom = 44;
  const double pw = w - left - right, ph = h - top - bottom;
  std::uint64_t most = 1;
  for (const bar& b : bars) most = std::max(most, b.n);
  const auto X = [&](double x) { return left + (x - lo) / (hi - lo) * pw; };
  const auto Y = [&](double n) { return top + ph - n / static_cast<double>(most) * ph; };
  o += "<svg id=\"" + id + "\" role=\"img\" aria-labelledby=\"" + id + "-t " + id + "-d\" viewBox=\"0 0 " + coord(w) +
       " " + coord(h) + "\" width=\"" + coord(w) + "\" height=\"" + coord(h) + "\" style=\"max-width:100%;height:auto\">\n";
  o += "<title id=\"" + id + "-t\">" + escape(title) + "</title>\n<desc id=\"" + id + "-d\">" + escape(desc) +
       "</desc>\n";
  for (const bar& b : bars) {
    double x0 = X(b.from), x1 = X(b.to);
    if (x1 - x0 < 4) x1 = x0 + 4;
    o += "<rect class=\"bar" + std::string(b.high ? " hi" : "") + "\" x=\"" + coord(x0) + "\" y=\"" +
         coord(Y(static_cast<double>(b.n))) + "\" width=\"" + coord(x1 - x0) + "\" height=\"" +
         coord(top + ph - Y(static_cast<double>(b.n))) + "\"><title>" + number(b.from) + " to " + number(b.to) +
         ": " + std::to_string(b.n) + "</title></rect>\n";
  }
  // Axes with their ticks.
  o += "<line class=\"axis\" x1=\"" + coord(left) + "\" y1=\"" + coord(top + ph) + "\" x2=\"" + coord(left + pw) +
       "\" y2=\"" + coord(top + ph) + "\"/>\n";
  o += "<line class=\"axis\" x1=\"" + coord(left) + "\" y1=\"" + coord(top) + "\" x2=\"" + coord(left) + "\" y2=\"" +
       coord(top + ph) + "\"/>\n";
  for (int i = 0; i <= ticks; ++i) {
    const double x = lo + (hi - lo) * i / ticks;
    o += "<text x=\"" + coord(X(x)) + "\" y=\"" + coord(top + ph + 16) + "\" text-anchor=\"middle\">" +
         number(std::abs(x) < 1e-12 ? 0.0 : x, 3) + "</text>\n";
  }
  for (const double f : {0.0, 0.5, 1.0}) {
    const auto n = static_cast<std::uint64_t>(std::llround(f * static_cast<double>(most)));
    o += "<text x=\"" + coord(left - 6) + "\" y=\"" + coord(Y(static_cast<double>(n)) + 4) +
         "\" text-anchor=\"end\">" + std::to_string(n) + "</text>\n";
  }
  o += "<text x=\"" + coord(left + pw / 2) + "\" y=\"" + coord(h - 6) + "\" text-anchor=\"middle\">" +
       escape(xLabel) + "</text>\n";
  // Labels one above the other, so that close marks keep readable labels.
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const marker& m = marks[i];
    const double x = X(std::clamp(m.x, lo, hi));
    o += "<line class=\"" + m.cls + "\" x1=\"" + coord(x) + "\" y1=\"" + coord(top - 20) + "\" x2=\"" + coord(x) +
         "\" y2=\"" + coord(top + ph) + "\"/>\n";
    const bool toLeft = x > left + pw * 0.7;
    o += "<text x=\"" + coord(x + (toLeft ? -4 : 4)) + "\" y=\"" + coord(top - 24 + 14.0 * static_cast<double>(i)) +
         "\" text-anchor=\"" +
         (toLeft ? "end" : "start") + "\">" + escape(m.label) + "</text>\n";
  }
  o += "</svg>\n";
}

void histogram_section(std::string& o, const report& r) {
  const summary& s = r.run;
  o += "<section id=\"histogram\" aria-labelledby=\"histogram-h\">\n<h2 id=\"histogram-h\">Distribution of diffs</h2>\n";
  std::uint64_t total = 0, atOrAbove = 0;
  for (std::size_t i = 0; i < s.counts.size(); ++i) {
    total += s.counts[i];
    if (s.threshold && s.edges[i] >= *s.threshold) atOrAbove += s.counts[i];
  }
  if (total == 0) {
    o += "<p>No tuple was tested, so there is no diff to chart.</p>\n</section>\n";
    return;
  }
  double lo = -1, hi = 1;
  for (const double e : s.edges) {
    lo = std::min(lo, e);
    hi = std::max(hi, e + s.binWidth);
  }
  std::vector<bar> bars;
  for (std::size_t i = 0; i < s.counts.size(); ++i)
    bars.push_back({s.edges[i], s.edges[i] + s.binWidth, s.counts[i], s.threshold && s.edges[i] >= *s.threshold});
  std::vector<marker> marks;
  std::string where = "no threshold mark (the threshold is not finite)";
  if (s.threshold) {
    marks.push_back({*s.threshold, "threshold " + number(*s.threshold), "mark"});
    where = "a dashed line marks the threshold " + number(*s.threshold) +
            (*s.threshold < lo || *s.threshold > hi ? " (outside the range shown, drawn at its edge)" : "");
  }
  const std::string desc = "Bar chart of the diffs of " + std::to_string(total) + " tested tuples in bins of width " +
                           number(s.binWidth) + " from " + number(lo, 3) + " to " + number(hi, 3) + "; " + where +
                           "; " + std::to_string(atOrAbove) + " diffs lie in bins at or above it.";
  o += "<figure>\n";
  bar_chart(o, "diff-chart", "Histogram of diffs (protected share minus unprotected share)", desc, lo, hi, bars, marks,
            "diff", 8);
  o += "<figcaption>" + escape(desc) +
       " A diff is the share of a tuple's protected neighbours with its outcome minus the share among its "
       "unprotected neighbours; bins at or above the threshold are drawn in red.</figcaption>\n</figure>\n";
  o += "<details><summary>The histogram as a table</summary>\n<table>\n<caption>Non-empty bins of diffs</caption>\n"
       "<thead><tr><th scope=\"col\" class=\"n\">Lower edge</th><th scope=\"col\" class=\"n\">Tuples</th></tr></thead>\n"
       "<tbody>\n";
  for (std::size_t i = s.counts.size(); i-- > 0;)
    o += "<tr><td class=\"n\">" + number(s.edges[i]) + "</td><td class=\"n\">" + count(s.counts[i]) + "</td></tr>\n";
  o += "</tbody>\n</table>\n</details>\n</section>\n";
}

void placebo_section(std::string& o, const report& r) {
  o += "<section id=\"placebo\" aria-labelledby=\"placebo-h\">\n<h2 id=\"placebo-h\">Placebo baseline</h2>\n";
  if (!r.run.placebo) {
    o += "<p>No placebo runs were made: the run had no <code>-perm</code> option, so the count of flagged tuples "
         "cannot be set against what chance alone gives.</p>\n</section>\n";
    return;
  }
  const placebo_figures& p = *r.run.placebo;
  o += "<p>The test was repeated " + count(p.runs) +
       " times with the protected and unprotected groups shuffled at random among the rows (group sizes kept), which "
       "removes any real discrimination. The statistic is the share of tested tuples that are flagged.</p>\n";
  std::vector<double> shares;
  for (const flag_count& f : p.shuffles)
    if (f.share) shares.push_back(*f.share);
  if (!shares.empty() || p.real.share) {
    double lo = 1, hi = 0;
    for (const double x : shares) lo = std::min(lo, x), hi = std::max(hi, x);
    if (p.real.share) lo = std::min(lo, *p.real.share), hi = std::max(hi, *p.real.share);
    const double pad = std::max(0.02, (hi - lo) * 0.08);
    // Round ends, so that the five ticks read as plain shares.
    lo = std::max(0.0, std::floor((lo - pad) * 20) / 20);
    hi = std::min(1.0, std::ceil((hi + pad) * 20) / 20);
    if (hi <= lo) hi = lo + 0.01;
    const int bins = 40;
    std::vector<bar> bars;
    for (int i = 0; i < bins; ++i) bars.push_back({lo + (hi - lo) * i / bins, lo + (hi - lo) * (i + 1) / bins, 0, false});
    for (const double x : shares) {
      auto i = static_cast<int>((x - lo) / (hi - lo) * bins);
      bars[static_cast<std::size_t>(std::clamp(i, 0, bins - 1))].n++;
    }
    std::erase_if(bars, [](const bar& b) { return b.n == 0; });
    std::vector<marker> marks;
    if (p.real.share) marks.push_back({*p.real.share, "real " + number(*p.real.share, 4), "real"});
    if (p.p95) marks.push_back({*p.p95, "95th pct " + number(*p.p95, 4), "mark"});
    const std::string desc = "Histogram of the flagged share in " + std::to_string(shares.size()) +
                             " shuffled runs, from " + number(lo, 3) + " to " + number(hi, 3) +
                             "; a solid line marks the real run's share " + figure(p.real.share) +
                             ", a dashed line the shuffles' 95th percentile " + figure(p.p95) + ".";
    o += "<figure>\n";
    bar_chart(o, "placebo-chart", "Flagged share: shuffled runs against the real run", desc, lo, hi, bars, marks,
              "share of tested tuples flagged", 5);
    o += "<figcaption>" + escape(desc) + "</figcaption>\n</figure>\n";
  }
  o += "<table>\n<caption>Placebo figures</caption>\n<tbody>\n";
  const auto row = [&](const std::string& name, const std::string& value) {
    o += "<tr><th scope=\"row\">" + name + "</th><td class=\"n\">" + value + "</td></tr>\n";
  };
  row("Real run: flagged / tested", count(p.real.flagged) + " / " + count(p.real.tested) + " = " + figure(p.real.share));
  row("Shuffled runs compared (with a tested tuple)", count(p.compared));
  row("Mean share of the shuffles", figure(p.mean));
  row("Standard deviation", figure(p.standardDeviation));
  row("5th / 50th / 95th percentile", figure(p.p5) + " / " + figure(p.p50) + " / " + figure(p.p95));
  row("Excess share (real &minus; mean)", figure(p.excessShare));
  row("Excess in tuples", p.excessTuples ? number(*p.excessTuples, 4) : std::string(none));
  row("p-value (one-sided)", figure(p.pValue));
  o += "</tbody>\n</table>\n";
  o += "<p>The p-value is (1 + the shuffled runs whose share is at least the real one) / (runs compared + 1): "
       "the chance of a share as high as the real one when the groups do not matter.</p>\n</section>\n";
}

void value_cells(std::string& o, const std::vector<std::string>& values, const std::vector<std::string>* against) {
  for (std::size_t c = 0; c < values.size(); ++c) {
    // The last column is the outcome, which is compared as "match" instead.
    const bool differs = against && c + 1 < values.size() && (*against)[c] != values[c];
    o += differs ? "<td><mark>" + escape(values[c]) + "</mark></td>" : "<td>" + escape(values[c]) + "</td>";
  }
}

// Four digits are enough to compare neighbours; the exact text stays in the
// cell's tooltip.
std::string distance_cell(const std::string& exact) {
  char* end = nullptr;
  const double d = std::strtod(exact.c_str(), &end);
  const std::string shown = end && *end == '\0' && !exact.empty() ? number(d, 4) : exact;
  return "<td class=\"n\" title=\"" + escape(exact) + "\">" + escape(shown) + "</td>";
}

void neighbour_table(std::string& o, const report& r, const tuple_evidence& t, bool protectedSide) {
  const auto& list = protectedSide ? t.protectedNeighbours : t.unprotectedNeighbours;
  const unsigned matching = protectedSide ? t.protectedMatching : t.unprotectedMatching;
  o += std::string("<div><table>\n<caption>") + std::to_string(list.size()) + " nearest " +
       (protectedSide ? "protected" : "unprotected") + " neighbours of row " + std::to_string(t.row) + ", " +
       std::to_string(matching) + " with its outcome</caption>\n";
  o += "<thead><tr><th scope=\"col\" class=\"n\">#</th><th scope=\"col\" class=\"n\">Row</th>"
       "<th scope=\"col\" class=\"n\">Distance</th>";
  for (const std::string& c : r.columns) o += "<th scope=\"col\">" + escape(c) + "</th>";
  o += "<th scope=\"col\">Match</th></tr></thead>\n<tbody>\n";
  o += "<tr class=\"self\"><td class=\"n\"></td><th scope=\"row\" class=\"n\">" + std::to_string(t.row) +
       "</th><td class=\"n\">tuple</td>";
  value_cells(o, t.values, nullptr);
  o += "<td></td></tr>\n";
  unsigned rank = 0;
  for (const neighbour& n : list) {
    o += "<tr><td class=\"n\">" + std::to_string(++rank) + "</td><th scope=\"row\" class=\"n\">" +
         std::to_string(n.row) + "</th>" + distance_cell(n.distance);
    value_cells(o, n.values, &t.values);
    o += std::string("<td>") + (n.match ? "yes" : "no") + "</td></tr>\n";
  }
  o += "</tbody>\n</table></div>\n";
}

void flagged_section(std::string& o, const report& r) {
  o += "<section id=\"flagged\" aria-labelledby=\"flagged-h\">\n<h2 id=\"flagged-h\">Flagged tuples</h2>\n";
  if (r.flaggedTotal == 0) {
    o += "<p>No tuple was flagged.</p>\n</section>\n";
    return;
  }
  const std::uint64_t rest = r.flaggedTotal - r.flagged.size();
  o += "<p>" + count(r.flaggedTotal) + (r.flaggedTotal == 1 ? " tuple was" : " tuples were") +
       " flagged: their outcome is shared by more of their protected neighbours than of their unprotected ones, by "
       "at least the threshold. ";
  if (rest > 0)
    o += (r.flagged.size() == 1 ? std::string("The one with the highest diff is listed; ")
                                : "The " + count(r.flagged.size()) + " with the highest diff are listed; ") +
         count(rest) +
         (rest == 1 ? " more is" : " more are") + " not shown.";
  else
    o += "All are listed, highest diff first.";
  o += "</p>\n<p class=\"legend\">Rows are data-file line numbers. Open a tuple to see its nearest protected and "
       "unprotected neighbours side by side; a measured attribute whose value text differs from the tuple's is "
       "<mark>highlighted</mark>.</p>\n";
  const std::size_t width = 5 + r.columns.size();
  o += "<div class=\"scroll\"><table class=\"flagged\">\n<caption>Flagged tuples, highest diff first</caption>\n<thead><tr>"
       "<th scope=\"col\" class=\"n\">#</th><th scope=\"col\" class=\"n\">Row</th><th scope=\"col\" class=\"n\">Diff</th>"
       "<th scope=\"col\" class=\"n\">Protected with its outcome</th>"
       "<th scope=\"col\" class=\"n\">Unprotected with its outcome</th>";
  for (const std::string& c : r.columns) o += "<th scope=\"col\">" + escape(c) + "</th>";
  o += "</tr></thead>\n";
  // Side by side while two tables fit a screen; one above the other beyond.
  const std::string pairClass = r.columns.size() > 7 ? "pair wide" : "pair";
  std::size_t place = 0;
  for (const tuple_evidence& t : r.flagged) {
    o += "<tbody id=\"row-" + std::to_string(t.row) + "\">\n<tr><td class=\"n\">" + std::to_string(++place) +
         "</td><th scope=\"row\" class=\"n\">" + std::to_string(t.row) + "</th><td class=\"n\">" + number(t.diff) +
         "</td><td class=\"n\">" + std::to_string(t.protectedMatching) + " of " + std::to_string(t.protectedFound) +
         "</td><td class=\"n\">" + std::to_string(t.unprotectedMatching) + " of " + std::to_string(t.unprotectedFound) +
         "</td>";
    value_cells(o, t.values, nullptr);
    o += "</tr>\n<tr class=\"evidence\"><td colspan=\"" + std::to_string(width) +
         "\"><details><summary>Neighbours of row " + std::to_string(t.row) + "</summary>\n<div class=\"" +
         pairClass + "\">\n";
    neighbour_table(o, r, t, true);
    neighbour_table(o, r, t, false);
    o += "</div>\n</details></td></tr>\n</tbody>\n";
  }
  o += "</table></div>\n</section>\n";
}

}  // namespace

std::string build_html(const report& r) {
  std::string o;
  o += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       // Nothing may load or run, whatever a value in the data holds.
       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
       "<title>Discrimination report: " +
       escape(r.run.data.name) + "</title>\n<style>" + style + "</style>\n</head>\n<body>\n<header>\n"
       "<h1>Discrimination report</h1>\n<p class=\"lead\">Data: " +
       escape(r.run.data.name) + " &middot; protected group: " + escape(r.acondText) + " &middot; outcome under test: " +
       escape(r.ccondText) + "</p>\n</header>\n<main>\n";
  settings_section(o, r);
  groups_section(o, r);
  histogram_section(o, r);
  placebo_section(o, r);
  flagged_section(o, r);
  o += "</main>\n</body>\n</html>\n";
  return o;
}

}  // namespace kelreport
