// kel._core: the engine behind the Python package kel. The package
// (kel/__init__.py) turns DataFrame columns into plain arrays and option
// values into command-line words; here they become the same dataset, the
// same settings and the same test as kelcmd's, so that results agree bit for
// bit. The GIL is released while the columns are filled and while the test
// runs: nothing in there touches a Python object.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "analysis/engine/groups.hpp"
#include "analysis/engine/placebo.hpp"
#include "analysis/engine/reference_search.hpp"
#include "analysis/engine/writer.hpp"
#include "analysis/table/dataset.hpp"
#include "cli.hpp"
#include "io/iomem.hpp"
#include "io/stream.hpp"
#include "run.hpp"
#include "summary.hpp"
#include "util/cronos.hpp"
#include "util/error.hpp"
#include "util/printable.hpp"

namespace py = pybind11;

namespace {

// An error of the user's table or conditions, raised as kel.Error by the package.
class table_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Messages and console lines quote the user's files, whose bytes need not be
// UTF-8: a byte that is not becomes U+FFFD rather than failing the call.
py::str text(const std::string& bytes) {
  PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
  if (!decoded) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// kel.Error, for the failures of the test.
py::handle error_type;

kelcmd::command_line parse(const std::vector<std::string>& words) {
  std::vector<std::string> args = words;
  args.insert(args.begin(), "kelcmd");
  return kelcmd::parse_command_line(args);
}

// kel.run: the program's run on files. Returns (console, summary JSON or
// None, failure message or None, rejection message or None).
py::tuple run(const std::vector<std::string>& words) {
  const kelcmd::command_line c = parse(words);
  if (c.what == kelcmd::command_line::action::reject)
    return py::make_tuple("", py::none(), py::none(), text(orv::util::printable_message(c.message)));
  if (c.what != kelcmd::command_line::action::run) throw std::logic_error("four file names are needed");
  std::ostringstream console;
  std::string summary, failure;
  {
    py::gil_scoped_release free;
    try {
      const auto outcome = kelcmd::execute(c.options, console, true);
      summary = kelcmd::summary_json(outcome->record);
    } catch (const kelcmd::run_failure& e) {
      failure = e.what();
      console << failure << '\n';
    }
  }
  if (!failure.empty()) return py::make_tuple(text(console.str()), py::none(), text(failure), py::none());
  return py::make_tuple(text(console.str()), summary, py::none(), py::none());
}

// One column as the package hands it over.
struct column {
  std::string kind;                       // continuous, number (continuous from float64), nominal, ordinal, ignore
  std::vector<std::string> texts;         // the distinct texts, for the coded kinds and continuous texts
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> codes;  // per row: into texts, -1 missing
  py::array_t<double, py::array::c_style | py::array::forcecast> numbers;       // per row, for "number": NaN missing
};

// Collects what the output data file would hold, and the neighbours when asked.
class collector final : public kel::test_output {
 public:
  collector(const kel::dataset& data, bool neighbours) : data(data), keepNeighbours(neighbours) {}

  void untested(unsigned) override {}
  void emptyNeighbourhood(unsigned row, const kel::neighbourhood& u, const kel::neighbourhood& p) override {
    keep(row, u, p);
  }
  void tested(unsigned row, const kel::verdict& v, const kel::neighbourhood& u, const kel::neighbourhood& p) override {
    rows.push_back(row);
    diffs.push_back(v.diff);
    flagged.push_back(v.flagged);
    keep(row, u, p);
  }
  void finish() override {}

  std::vector<std::uint32_t> rows;
  std::vector<double> diffs;
  std::vector<std::uint8_t> flagged;
  // The neighbours, one entry each, as the neighbours file lists them.
  std::vector<std::uint32_t> nRow, nRank, nNeighbour;
  std::vector<std::uint8_t> nProtected, nMatch;
  std::vector<float> nDistance;

 private:
  void keep(unsigned row, const kel::neighbourhood& u, const kel::neighbourhood& p) {
    if (!keepNeighbours) return;
    append(row, true, p);
    append(row, false, u);
  }
  void append(unsigned row, bool protected_, const kel::neighbourhood& n) {
    std::uint32_t rank = 0;
    for (const kel::neighbour& e : n.neighbours) {
      nRow.push_back(row);
      nProtected.push_back(protected_);
      nRank.push_back(++rank);
      nNeighbour.push_back(e.row);
      nDistance.push_back(e.distance);
      nMatch.push_back(kel::classMatches(*data.classAtt, row, e.row));
    }
  }

  const kel::dataset& data;
  bool keepNeighbours;
};

template <class T>
py::array_t<T> to_array(const std::vector<T>& v) {
  py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
  if (!v.empty()) std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

std::unique_ptr<orv::inpout::stream> text_stream(std::string& text) {
  auto* block = new orv::inpout::iomem;
  block->open(text.data(), static_cast<int>(text.size()), static_cast<int>(text.size()));
  return std::make_unique<orv::inpout::stream>(block, true, ',', 1 << 16);
}

std::string number_text(double x) {
  std::ostringstream text;
  text.precision(17);
  text << x;
  return text.str();
}

// Fills the columns, one row at a time in row order, as the data reader does.
void fill(kel::dataset& data, const std::vector<column>& cols, std::size_t rows, const std::vector<const std::int64_t*>& codes,
          const std::vector<const double*>& numbers) {
  for (std::size_t c = 0; c < cols.size(); ++c) {
    kel::attribute& att = *(*data.atts)[c];
    att.reserve(static_cast<unsigned>(rows));
    if (cols[c].kind == "number") {
      if (att.getType() != kel::kindContinuous) throw table_error("numbers for a column that is not continuous");
      auto& cont = static_cast<kel::attcontinuous&>(att);
      for (std::size_t r = 0; r < rows; ++r)
        if (!cont.addNumber(numbers[c][r]))
          throw table_error("not a finite number: " + number_text(numbers[c][r]) + " (row " + std::to_string(r + 1) +
                            ", attribute " + att.name + ")");
      continue;
    }
    const std::vector<std::string>& texts = cols[c].texts;
    const std::int64_t* code = codes[c];
    for (std::size_t r = 0; r < rows; ++r) {
      const std::int64_t i = code[r];
      const std::string_view text = i < 0 ? std::string_view("?") : std::string_view(texts[static_cast<std::size_t>(i)]);
      try {
        att.addValue(text);
      } catch (const orv::util::error& e) {
        throw table_error(std::string(e.what()) + " (row " + std::to_string(r + 1) + ", attribute " + att.name + ")");
      }
    }
  }
  for (auto& att : *data.atts) att->normalize();
}

// kel.test on columns: metadata text (one line per column), the columns,
// the a-cond line, the c-cond item, the measured names, option words as on
// the command line (after the four file names), neighbours, placebo runs.
py::dict test(std::string metadata, const std::vector<column>& cols, std::size_t rows, const std::string& acond,
              const std::string& ccond, const std::vector<std::string>& measures, const std::vector<std::string>& words,
              bool neighbours) {
  std::vector<std::string> args{"", "", "", ""};
  args.insert(args.end(), words.begin(), words.end());
  const kelcmd::command_line c = parse(args);
  if (c.what == kelcmd::command_line::action::reject) {
    PyErr_SetObject(PyExc_ValueError, text(orv::util::printable_message(c.message)).ptr());
    throw py::error_already_set();
  }
  const kelcmd::settings& s = c.options;

  // Checked with the GIL held: the arrays' shapes.
  std::vector<const std::int64_t*> codes(cols.size(), nullptr);
  std::vector<const double*> numbers(cols.size(), nullptr);
  for (std::size_t i = 0; i < cols.size(); ++i) {
    const column& col = cols[i];
    if (col.kind == "number") {
      if (col.numbers.ndim() != 1 || static_cast<std::size_t>(col.numbers.shape(0)) != rows)
        throw std::invalid_argument("column of the wrong length");
      numbers[i] = col.numbers.data();
    } else {
      if (col.codes.ndim() != 1 || static_cast<std::size_t>(col.codes.shape(0)) != rows)
        throw std::invalid_argument("column of the wrong length");
      codes[i] = col.codes.data();
      for (std::size_t r = 0; r < rows; ++r)
        if (codes[i][r] >= static_cast<std::int64_t>(col.texts.size())) throw std::invalid_argument("code out of range");
    }
  }
  if (rows >= 0xffffffffu) throw table_error("too many rows");

  kel::dataset data;
  std::optional<collector> out;
  kel::distribution dist;
  kelcmd::run_record record;
  std::ostringstream console;
  kel::test_settings test;
  std::string failure;
  {
    py::gil_scoped_release free;
    try {
      orv::util::cronos watch;
      watch.start();
      record.attributes = data.readMetadata(*text_stream(metadata));
      if (record.attributes != cols.size()) throw table_error("the column names do not make a table");
      fill(data, cols, rows, codes, numbers);
      record.rows = static_cast<unsigned>(rows);
      // The select-options reader's steps, each with the condition it read.
      const auto context = [](const std::string& what, const std::string& condition, const auto& step) {
        try {
          return step();
        } catch (const orv::util::error& e) {
          throw table_error(what + " \"" + condition + "\": " + e.what());
        }
      };
      data.acond = std::make_unique<std::vector<kel::item>>(
          context("protected condition", acond, [&] { return data.parseItems(acond, ','); }));
      data.ccond = context("outcome condition", ccond, [&] { return data.parseItem(ccond); });
      data.classAtt = (*data.atts)[static_cast<std::size_t>(data.ccond.att)].get();
      for (const std::string& name : measures) {
        const auto found = data.index.find(name);
        if (found == data.index.end()) throw table_error("no column named \"" + name + "\" to measure");
        data.measureAtts.push_back((*data.atts)[static_cast<std::size_t>(found->second)].get());
      }
      if (data.measureAtts.empty()) throw table_error("no column to measure");
      watch.stop();
      record.readingSeconds = watch.elapsed();

      test.search.k = s.k;
      test.search.maxDistance = s.max_distance;
      test.search.threads = s.threads == 0 ? kelcmd::usable_cores() : s.threads;
      test.threshold = s.threshold;
      test.all = s.all;
      test.useConfidence = s.confidence;
      test.z = s.z;
      watch.start();
      data.splitGroups(console);
      kel::checkSearchKinds(data, test, console);
      dist.configure(-100.0, 100.0, 0.005);
      out.emplace(data, neighbours);
      orv::util::cronos step;
      step.start();
      const std::vector<unsigned> protectedList = kel::members(data.protectedRows);
      const std::vector<unsigned> queries = kel::testQueries(data, protectedList, kel::testsEveryTuple(test));
      const std::vector<unsigned> unprotectedList = kel::members(data.unprotectedRows);
      auto search = kel::makeSearchFor(data, protectedList, unprotectedList, test);
      record.counts = kel::runTest(data, protectedList, queries, *search, test, &*out, &dist, nullptr);
      step.stop();
      record.testSeconds = step.elapsed();
      if (s.placebo_runs > 0) {
        step.start();
        record.placebo = kel::placeboBaseline(data, test, s.seed, s.placebo_runs,
                                              {record.counts.classCount, record.counts.discriminated});
        step.stop();
        record.placeboSeconds = step.elapsed();
      }
      watch.stop();
      record.otherSeconds = watch.elapsed();
      record.threads = test.search.threads;
      record.groups = kel::groupFigures(data);
      record.histogram = &dist;
      record.options = &s;
    } catch (const table_error& e) {
      failure = orv::util::printable_message(e.what());
    } catch (const std::bad_alloc&) {
      failure = "out of memory";
    } catch (const std::runtime_error& e) {
      failure = orv::util::printable_message(e.what());
    }
  }
  if (!failure.empty()) {
    PyErr_SetObject(error_type.ptr(), text(failure).ptr());
    throw py::error_already_set();
  }

  py::dict result;
  result["rows"] = to_array(out->rows);
  result["diff"] = to_array(out->diffs);
  result["flagged"] = to_array(out->flagged);
  result["summary"] = kelcmd::summary_json(record);
  result["console"] = text(console.str());
  if (neighbours) {
    py::dict n;
    n["row"] = to_array(out->nRow);
    n["protected"] = to_array(out->nProtected);
    n["rank"] = to_array(out->nRank);
    n["neighbour"] = to_array(out->nNeighbour);
    n["distance"] = to_array(out->nDistance);
    n["match"] = to_array(out->nMatch);
    result["neighbours"] = n;
  }
  return result;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The engine of kelcmd; use the package kel.";
  error_type = py::register_exception<table_error>(m, "Error");
  py::class_<column>(m, "Column")
      .def(py::init<>())
      .def_readwrite("kind", &column::kind)
      .def_readwrite("texts", &column::texts)
      .def_readwrite("codes", &column::codes)
      .def_readwrite("numbers", &column::numbers);
  m.def("run", &run, py::arg("words"));
  m.def("test", &test, py::arg("metadata"), py::arg("columns"), py::arg("rows"), py::arg("acond"), py::arg("ccond"),
        py::arg("measures"), py::arg("words"), py::arg("neighbours"));
}
