// The output names of a run checked against its inputs and against each
// other before any file is opened: an output that names an input (by the
// same path, another spelling of it, a hard or a symbolic link) would empty
// it, and two outputs naming one file would leave only the one written last.
//
// Names that exist are compared by device and inode; a name that does not
// exist yet by the directory it would be made in (device and inode) and its
// last component, following a dangling symbolic link to where it points.
// Only regular files take part: a FIFO, a device, a terminal or /dev/stdin
// given as an input or an output is a stream, not stored data, and several
// outputs may well go to /dev/null.
#pragma once

#include "cli.hpp"

namespace kelcmd {

// Throws orv::util::error "output file X is the R" for the first output X,
// in the order -md, output data file, -dst, -nbr, -json, that names the file
// of role R: the metadata file, the data file, the select-options file, or an
// output before it (the metadata output file, the output data file, the
// distribution file, the neighbours file).
void check_output_names(const settings& s);

}  // namespace kelcmd
