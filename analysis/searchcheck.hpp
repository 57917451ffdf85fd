// Some settings fail only once the search starts: a measured attribute of
// kind ignore, or a class attribute that is neither nominal nor continuous,
// raises its error at the first tuple searched. By then the output data file
// would be open and emptied. checkSearchKinds finds that error before any
// output is opened, by searching that first tuple exactly as the test would,
// and raises it with the progress lines the test would have printed before
// it. It does nothing (and searches nothing) for the kinds every search takes.
//
// REQUIRES: splitGroups done.
#pragma once

#include <iosfwd>

#include "analysis/dataset.hpp"

namespace kel {

void checkSearchKinds(const dataset& data, const test_settings& settings, std::ostream& console);

}  // namespace kel
