// kel-report: the page builder (escaping, the cut at 200, the highlighting of
// differing values, figures without a value), the verdicts worked out again
// from a neighbours file, and whole runs after kelcmd with their exit
// statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "analysis/table/dataset.hpp"
#include "html.hpp"
#include "inputs.hpp"
#include "run_program.hpp"
#include "support/support.hpp"

namespace {

using kelreport::build_html;
using kelreport::report;
using testing_support::error_of;
using testing_support::text_stream;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A small run: two measured columns and the outcome; one flagged tuple with
// one neighbour on each side.
report sample() {
  report r;
  r.run.version = "1.0";
  r.run.k = 1;
  r.run.threshold = 0.1;
  r.run.mode = "default";
  r.run.separator = ",";
  r.run.data.name = "table.csv";
  r.run.difference = 0.25;
  r.run.ratio = 1.5;
  r.run.favourableRatio = 0.9;
  r.run.fourFifthsHolds = true;
  r.run.edges = {0.5};
  r.run.counts = {1};
  r.acondText = "sex=female";
  r.ccondText = "decision=rejected";
  r.measureText = "age,city";
  r.columns = {"age", "city", "decision"};
  kelreport::tuple_evidence t;
  t.row = 7;
  t.diff = 0.5;
  t.protectedFound = t.protectedMatching = t.unprotectedFound = 1;
  t.values = {"30", "north", "rejected"};
  t.protectedNeighbours = {{3, "0.25", true, {"30", "south", "rejected"}}};
  t.unprotectedNeighbours = {{9, "0.5", false, {"31", "north", "hired"}}};
  r.flagged = {t};
  r.flaggedTotal = 1;
  return r;
}

TEST(report_page, every_text_from_the_inputs_is_escaped) {
  EXPECT_EQ(kelreport::escape("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(kelreport::escape(std::string("a\x01\tb\x7f\n", 6)), "a\\x01\tb\\x7f\\x0a");
  EXPECT_EQ(kelreport::escape("Zoë 北"), "Zoë 北");

  // Markup in a column name, a value, a condition, a file name and the mode:
  // none of it may become an element or an attribute.
  const std::string attack = "\"'><script>alert(1)</script><img src=x onerror=alert(2)>";
  report r = sample();
  r.columns[1] = attack;
  r.flagged[0].values[1] = attack;
  r.flagged[0].protectedNeighbours[0].values[0] = attack;
  r.flagged[0].unprotectedNeighbours[0].distance = attack;
  r.acondText = r.ccondText = r.measureText = r.neighboursFile.name = r.summaryFile.name = r.run.data.name = r.run.mode = attack;
  r.run.metadata.sha256 = r.run.version = r.run.separator = attack;
  const std::string page = lower(build_html(r));
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("\"'>"), std::string::npos) << "an attribute was closed";
  EXPECT_GT(occurrences(page, "&lt;script&gt;alert(1)&lt;/script&gt;"), 10u);
}

TEST(report_page, differing_measured_values_are_highlighted_and_the_outcome_is_not) {
  const std::string page = build_html(sample());
  // Protected neighbour: city differs; unprotected: age differs. Both
  // outcomes are shown as they are, the unprotected one differing.
  EXPECT_NE(page.find("<td><mark>south</mark></td>"), std::string::npos);
  EXPECT_NE(page.find("<td><mark>31</mark></td>"), std::string::npos);
  EXPECT_NE(page.find("<td>hired</td>"), std::string::npos);
  EXPECT_EQ(page.find("<mark>hired</mark>"), std::string::npos);
  EXPECT_EQ(page.find("<mark>30</mark>"), std::string::npos);
  EXPECT_EQ(page.find("<mark>north</mark>"), std::string::npos);
  // Two in the tables and one in the legend that says what it means.
  EXPECT_EQ(occurrences(page, "<mark>"), 3u);
  EXPECT_NE(page.find("differs from the tuple's is <mark>highlighted</mark>"), std::string::npos);
}

TEST(report_page, the_cut_names_the_rest_and_a_full_list_says_so) {
  report r = sample();
  r.flagged.assign(200, r.flagged[0]);
  for (unsigned i = 0; i < 200; ++i) r.flagged[i].row = i + 1;
  r.flaggedTotal = 617;
  std::string page = build_html(r);
  EXPECT_NE(page.find("617 tuples were flagged"), std::string::npos);
  EXPECT_NE(page.find("The 200 with the highest diff are listed; 417 more are not shown."), std::string::npos);
  EXPECT_EQ(occurrences(page, "<tbody id=\"row-"), 200u);
  EXPECT_EQ(occurrences(page, "<details><summary>Neighbours of row"), 200u);

  r.flagged.resize(1);
  r.flaggedTotal = 2;
  EXPECT_NE(build_html(r).find("The one with the highest diff is listed; 1 more is not shown."), std::string::npos);
  r.flaggedTotal = 1;
  page = build_html(r);
  EXPECT_NE(page.find("1 tuple was flagged"), std::string::npos);
  EXPECT_NE(page.find("All are listed"), std::string::npos);
  r.flagged.clear();
  r.flaggedTotal = 0;
  EXPECT_NE(build_html(r).find("No tuple was flagged."), std::string::npos);
}

TEST(report_page, figures_without_a_value_and_absent_parts_are_said_plainly) {
  report r = sample();
  r.run.ratio.reset();
  r.run.favourableRatio.reset();
  r.run.fourFifthsHolds.reset();
  r.run.unprotectedGroup.share.reset();
  r.run.threshold.reset();
  std::string page = build_html(r);
  EXPECT_NE(page.find("Four-fifths rule: cannot be judged."), std::string::npos);
  EXPECT_NE(page.find("their ratio: <span class=\"na\">n/a</span>"), std::string::npos);
  EXPECT_EQ(page.find("nan"), std::string::npos);
  EXPECT_EQ(page.find("inf"), std::string::npos);
  EXPECT_NE(page.find("No placebo runs were made"), std::string::npos);
  EXPECT_EQ(page.find("placebo-chart"), std::string::npos);
  EXPECT_NE(page.find("id=\"diff-chart\""), std::string::npos);
  EXPECT_NE(page.find("no threshold mark"), std::string::npos);

  r = sample();
  r.run.fourFifthsHolds = false;
  r.run.favourableRatio = 0.38237020512174835;
  EXPECT_NE(build_html(r).find("fails.</strong> The protected group's favourable share is 38.2% of"), std::string::npos);

  r.run.edges.clear();
  r.run.counts.clear();
  page = build_html(r);
  EXPECT_NE(page.find("No tuple was tested"), std::string::npos);
  EXPECT_EQ(page.find("<svg"), std::string::npos);
}

TEST(report_page, charts_carry_a_title_a_description_and_their_marks) {
  report r = sample();
  kelreport::placebo_figures p;
  p.runs = p.compared = 3;
  p.real = {10, 6, 0.6};
  p.shuffles = {{9, 2, 2.0 / 9}, {8, 2, 0.25}, {0, 0, std::nullopt}};
  p.p95 = 0.25;
  p.pValue = 0.25;
  r.run.placebo = p;
  const std::string page = build_html(r);
  for (const char* id : {"diff-chart", "placebo-chart"}) {
    const std::string tag = std::string("<svg id=\"") + id + "\" role=\"img\" aria-labelledby=\"" + id + "-t " + id + "-d\"";
    EXPECT_NE(page.find(tag), std::string::npos) << id;
    EXPECT_NE(page.find(std::string("<title id=\"") + id + "-t\">"), std::string::npos) << id;
    EXPECT_NE(page.find(std::string("<desc id=\"") + id + "-d\">"), std::string::npos) << id;
  }
  EXPECT_NE(page.find(">threshold 0.1</text>"), std::string::npos);
  EXPECT_NE(page.find(">real 0.6</text>"), std::string::npos);
  // The run with no share is left out of the chart.
  EXPECT_NE(page.find("flagged share in 2 shuffled runs"), std::string::npos);
}

// A table of seven rows: women 1, 2, 3, 6, 7; men 4, 5 (1-based lines).
struct small_table {
  kel::dataset data;
  small_table() {
    data.readMetadata(*text_stream("x,continuous\ng,nominal\nc,nominal\n"));
    data.readData(*text_stream("1,f,bad\n2,f,bad\n3,f,good\n4,m,bad\n5,m,good\n6,f,bad\n7,f,bad\n"));
    data.readSelect(*text_stream("g=f\nc=bad\nx\n"));
    std::ostringstream console;
    data.splitGroups(console);
  }
};

const char* const header = "row,group,rank,neighbour,distance,match\n";
// Row 1: 1 - 1/2 = 0.5; row 2: 1/2 - 1/2 = 0; row 6: 1 - 0/1 = 1 (one man
// within reach); row 7: 0.5, as row 1.
const char* const lines =
    "1,protected,1,2,0.1,1\n1,protected,2,6,0.5,1\n1,unprotected,1,4,0.3,1\n1,unprotected,2,5,0.4,0\n"
    "2,protected,1,1,0.1,1\n2,protected,2,3,0.1,0\n2,unprotected,1,4,0.2,1\n2,unprotected,2,5,0.3,0\n"
    "6,protected,1,7,0.1,1\n6,protected,2,1,0.5,1\n6,unprotected,1,5,0.1,0\n"
    "7,protected,1,6,0.1,1\n7,protected,2,2,0.5,1\n7,unprotected,1,4,0.1,1\n7,unprotected,2,5,0.1,0\n";

kelreport::summary settings(std::uint64_t flagged, std::uint64_t tested) {
  kelreport::summary s;
  s.k = 2;
  s.threshold = 0.1;
  s.discriminated = flagged;
  s.classValue = tested;
  return s;
}

std::vector<unsigned> rows_of(const report& r) {
  std::vector<unsigned> rows;
  for (const auto& t : r.flagged) rows.push_back(t.row);
  return rows;
}

TEST(report_neighbours, flagged_tuples_highest_diff_first_then_by_row_and_cut) {
  small_table t;
  for (const std::size_t limit : {1, 2, 3, 200}) {
    report r;
    kelreport::read_neighbours(*text_stream(std::string(header) + lines), "n.csv", t.data, settings(3, 4), r, limit);
    const std::vector<unsigned> all{6, 1, 7};
    EXPECT_EQ(rows_of(r), std::vector<unsigned>(all.begin(), all.begin() + std::min<std::size_t>(limit, 3)));
    EXPECT_EQ(r.flaggedTotal, 3u);
  }
  report r;
  kelreport::read_neighbours(*text_stream(std::string(header) + lines), "n.csv", t.data, settings(3, 4), r);
  ASSERT_EQ(r.flagged.size(), 3u);
  EXPECT_EQ(r.flagged[0].diff, 1.0);
  EXPECT_EQ(r.flagged[1].diff, 0.5);
  EXPECT_EQ(r.flagged[0].unprotectedFound, 1u);
  EXPECT_EQ(r.flagged[0].protectedNeighbours[1].row, 1u);
  EXPECT_EQ(r.flagged[0].protectedNeighbours[1].distance, "0.5");

  // With a 95% interval row 1's 0.5 falls to 0 (1.644853627 * sqrt(0.25 / 2)
  // is 0.58); row 6 keeps 1, both its shares being certain.
  kelreport::summary s = settings(1, 4);
  s.confidenceLevel = 95;
  s.z = 1.644853627;
  kelreport::read_neighbours(*text_stream(std::string(header) + lines), "n.csv", t.data, s, r);
  EXPECT_EQ(rows_of(r), std::vector<unsigned>{6});
}

TEST(report_neighbours, a_file_of_another_run_or_table_is_refused) {
  small_table t;
  const auto refusal = [&](const std::string& text, kelreport::summary s = settings(3, 4)) {
    report r;
    return error_of([&] { kelreport::read_neighbours(*text_stream(text), "n.csv", t.data, s, r); });
  };
  EXPECT_EQ(refusal(std::string(header) + lines), "no error");
  EXPECT_NE(refusal(std::string(header) + lines, settings(2, 4)).find("does not belong to the summary's run"),
            std::string::npos);
  EXPECT_NE(refusal("row,group\n").find("line 1: not the header"), std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "1,protected,1,2,0.1,0\n").find("line 2: the match of neighbour 2"),
            std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "1,protected,1,4,0.1,1\n").find("not in the protected group"),
            std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "1,protected,1,1,0.1,1\n").find("not in the protected group"),
            std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "4,protected,1,1,0.1,1\n").find("row 4 is not protected"),
            std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "2,protected,1,1,0.1,1\n1,protected,1,2,0.1,1\n").find("out of order"),
            std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "1,protected,2,2,0.1,1\n").find("rank 2 out of sequence"),
            std::string::npos);
  EXPECT_NE(refusal(std::string(header) + "1,unprotected,1,4,0.1,1\n1,protected,1,2,0.1,1\n")
                .find("a protected neighbour after"),
            std::string::npos);
  for (const char* bad : {"1,protected,1,2,0.1,1,9\n", "8,protected,1,2,0.1,1\n", "1,protected,1,2,x,1\n",
                          "1,protected,1,2,0.1,2\n", "1,women,1,2,0.1,1\n", "0,protected,1,2,0.1,1\n"})
    EXPECT_NE(refusal(std::string(header) + bad).find("line 2: not row,group"), std::string::npos) << bad;
}

// Whole runs: kelcmd on the bundled example, then kel-report.
class report_run : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new importtest::folder;
    for (const char* f : {"hiring.meta", "hiring.csv", "hiring-women.sel"})
      dir->write(f, testing_support::read_file(std::string(EXAMPLES_DIR) + "/" + f));
    const auto r = importtest::run(KELCMD_PATH, *dir,
                                   {"hiring.meta", "hiring.csv", "hiring-women.sel", "out.csv", "-knn", "8", "-nbr",
                                    "nbr.csv", "-json", "s.json", "-perm", "5"});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void TearDownTestSuite() { delete dir; }
  static importtest::outcome report(std::vector<std::string> args) {
    return importtest::run(KEL_REPORT_PATH, *dir, args);
  }
  static std::vector<std::string> with(const std::string& out, const std::string& data = "hiring.csv") {
    return {"--summary", "s.json", "--neighbours", "nbr.csv", "--out", out, "hiring.meta", data, "hiring-women.sel"};
  }
  static importtest::folder* dir;
};
importtest::folder* report_run::dir = nullptr;

TEST_F(report_run, the_example_gives_a_page_and_the_console_says_what_it_holds) {
  const auto r = report(with("r.html"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "report: r.html, 617 flagged tuples, 200 shown\n");
  const std::string page = dir->read("r.html");
  EXPECT_EQ(occurrences(page, "<tbody id=\"row-"), 200u);
  EXPECT_NE(page.find("417 more are not shown"), std::string::npos);
  EXPECT_NE(page.find("id=\"placebo-chart\""), std::string::npos);
  EXPECT_EQ(page.find("http:"), std::string::npos);
  EXPECT_EQ(page.find("https:"), std::string::npos);
}

// The verdicts worked out again from the neighbours must give the run's own
// counts in every mode, or the report refuses the run.
TEST_F(report_run, every_mode_gives_the_counts_of_the_run) {
  const std::vector<std::vector<std::string>> modes{
      {"-all"}, {"-pre"}, {"-cl", "95"}, {"-mxd", "0.2"}, {"-all", "-cl", "99", "-mxd", "0.25"}, {"-thr", "-inf"}};
  for (const auto& mode : modes) {
    std::vector<std::string> args{"hiring.meta", "hiring.csv", "hiring-women.sel", "m.csv", "-knn", "4",
                                  "-nbr",        "m-nbr.csv",  "-json",            "m.json"};
    args.insert(args.end(), mode.begin(), mode.end());
    const auto run = importtest::run(KELCMD_PATH, *dir, args);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string flagged = run.out.substr(run.out.find(" class value, ") + 14);
    const auto r = report({"--summary", "m.json", "--neighbours", "m-nbr.csv", "--out", "m.html", "hiring.meta",
                           "hiring.csv", "hiring-women.sel"});
    EXPECT_EQ(r.status, 0) << mode[0] << ": " << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find(" flagged")), "report: m.html, " + flagged.substr(0, flagged.find(' ')))
        << mode[0];
  }
}

TEST_F(report_run, failures_write_nothing_and_exit_with_their_status) {
  // Usage, and rejected command lines.
  EXPECT_EQ(report({}).status, 0);
  EXPECT_NE(report({"--help"}).out.find("Command line: kel-report"), std::string::npos);
  EXPECT_EQ(report({"--summary", "s.json", "hiring.meta"}).status, 255);
  EXPECT_EQ(report({"--bogus"}).status, 255);

  // Data that is not what the run read: one byte changed.
  std::string data = dir->read("hiring.csv");
  data[data.find("hired")] = 'H';
  dir->write("changed.csv", data);
  auto r = report(with("bad.html", "changed.csv"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("data file changed.csv is not the one the summary's run read"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir->path("bad.html")));

  // A neighbours file cut short.
  const std::string nbr = dir->read("nbr.csv");
  dir->write("cut.csv", nbr.substr(0, nbr.find('\n', nbr.size() / 2) + 1));
  r = report({"--summary", "s.json", "--neighbours", "cut.csv", "--out", "bad.html", "hiring.meta", "hiring.csv",
              "hiring-women.sel"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cut.csv does not belong to the summary's run"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir->path("bad.html")));

  // The page never replaces an input, by the same name or another path.
  const std::string before = dir->read("hiring.csv");
  r = report(with("hiring.csv"));
  EXPECT_EQ(r.status, 1);
  r = report(with("./nbr.csv"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("would overwrite the input nbr.csv"), std::string::npos) << r.err;
  EXPECT_EQ(dir->read("hiring.csv"), before);

  // An output that cannot be created.
  r = report(with("no-such-folder/r.html"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no-such-folder/r.html"), std::string::npos) << r.err;
  r = report(with("/dev/full"));
  EXPECT_EQ(r.status, 1) << r.err;
}

}  // namespace
