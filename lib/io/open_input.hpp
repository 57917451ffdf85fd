// Opening an input by name: the one way the program turns a file name given
// by the user into a ready line stream. A name ending in ".gz" (lower case) is
// decompressed while read; any other name is a plain file, a FIFO, /dev/stdin,
// or, for a \\.\pipe\ name, the reading end of a named pipe (which blocks
// until a writer connects, see iofile).
//
// The caller owns the returned stream; the stream owns its connection and
// starts with a 16,384-byte buffer. Throws "File: <name> not found or
// inaccessible" when the input cannot be opened (a directory included); for
// a named pipe, "named pipe <name> is being read by another run" and "named
// pipe <name> refused: <path> is not a FIFO of this user closed to other
// writers" when another reader holds it or the path is not fit to be used.
//
// With a digest, every byte the stream reads from the input goes through it
// (see iodigest.hpp).
#pragma once

#include <memory>
#include <string>

#include "io/stream.hpp"
#include "util/sha256.hpp"

namespace orv::inpout {

std::unique_ptr<stream> open_input(const std::string& name, char separator, orv::util::sha256* digest = nullptr);

}  // namespace orv::inpout
