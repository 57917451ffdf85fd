// Where the outcome of each protected tuple goes. The test hands every
// protected tuple over once, in protected-row order, whatever order the
// search worked in; an output that needs the rows outside the group (the
// prevention copy) writes them in finish(). Further outputs in the same row
// order are further test_outputs, joined by output_list.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "analysis/engine/judge.hpp"
#include "analysis/knn/search.hpp"

namespace orv::inpout {
class textout;
}

namespace kel {

class dataset;

class test_output {
 public:
  virtual ~test_output();

  // A protected tuple that was not tested: its class condition failed, or a
  // neighbourhood was empty.
  virtual void untested(unsigned row) = 0;
  // A tuple that was searched but not tested, a neighbourhood being empty:
  // by default as untested(row).
  virtual void emptyNeighbourhood(unsigned row, const neighbourhood& unprotected, const neighbourhood& protected_);
  // A tested tuple, its verdict and the neighbourhoods behind it.
  virtual void tested(unsigned row, const verdict& v, const neighbourhood& unprotected,
                      const neighbourhood& protected_) = 0;
  // After the last protected tuple.
  virtual void finish() = 0;
};

// The output data file: the tested tuples with their diff and verdict, or in
// prevention mode every row once, protected rows first, the class value of
// the flagged ones replaced. Rows are written in batches of whole rows
// (textout::end_row), the last when the test ends.
class data_writer final : public test_output {
 public:
  // protectedRows: the group the test walks, increasing; prevention mode
  // writes every other row of the table after it.
  data_writer(dataset& data, orv::inpout::textout& out, bool prevention, std::span<const unsigned> protectedRows)
      : data(data), out(out), prevention(prevention), protectedRows(protectedRows) {}

  void untested(unsigned row) override;
  void tested(unsigned row, const verdict& v, const neighbourhood& unprotected,
              const neighbourhood& protected_) override;
  void finish() override;

 private:
  dataset& data;
  orv::inpout::textout& out;
  bool prevention;
  std::span<const unsigned> protectedRows;
};

// Hands every call to each of its outputs in turn; null ones are left out.
class output_list final : public test_output {
 public:
  output_list(std::initializer_list<test_output*> outputs);

  void untested(unsigned row) override;
  void emptyNeighbourhood(unsigned row, const neighbourhood& unprotected, const neighbourhood& protected_) override;
  void tested(unsigned row, const verdict& v, const neighbourhood& unprotected,
              const neighbourhood& protected_) override;
  void finish() override;

 private:
  std::vector<test_output*> outputs;
};

// The neighbours file: for every tuple that was searched, one line per
// neighbour selected, `row,group,rank,neighbour,distance,match` under a
// header line. Rows are 1-based data lines; the protected neighbours come
// first, then the unprotected ones, each group ranked 1.. in (distance, row)
// order; an empty neighbourhood has no lines. The distance is printed so that
// it reads back as the same float; match says whether the neighbour's class
// outcome counts as matching the tuple's (classMatches). Each tuple's lines
// reach the file together.
class neighbour_writer final : public test_output {
 public:
  // Writes the header line.
  neighbour_writer(const dataset& data, orv::inpout::textout& out);

  void untested(unsigned) override {}
  void emptyNeighbourhood(unsigned row, const neighbourhood& unprotected, const neighbourhood& protected_) override;
  void tested(unsigned row, const verdict& v, const neighbourhood& unprotected,
              const neighbourhood& protected_) override;
  void finish() override;

 private:
  void write(unsigned row, const neighbourhood& unprotected, const neighbourhood& protected_);
  void append(unsigned row, const char* group, const neighbourhood& n);

  const dataset& data;
  orv::inpout::textout& out;
  std::string text;  // one tuple's lines, kept for its capacity
};

}  // namespace kel
