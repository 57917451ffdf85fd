// Where the outcome of each protected tuple goes. The test hands every
// protected tuple over once, in protected-row order, whatever order the
// search worked in; an output that needs the rows outside the group (the
// prevention copy) writes them in finish(). Further outputs in the same row
// order (another file per tested tuple, say) are further test_outputs.
#pragma once

#include <span>

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

}  // namespace kel
