// The integer codings of util/coding.hpp read and written on connections.
//
// read_cbit answers the bytes consumed, or 0 when the input ends or a read
// fails before the value is complete (v is then left alone): a failed read is
// never taken for a byte. The iobuf and iommap overloads decode straight from
// the loaded bytes when at least 8 are at hand, and otherwise (or for a
// malformed run longer than what is loaded) fall back to reading byte by byte.
// write_cbit on an iobuf encodes straight into its buffer after making room
// for 8 bytes; REQUIRES: the iobuf is open for writing.
#pragma once

#include <cstdint>

#include "io/iobuf.hpp"
#include "io/ioconn.hpp"
#include "io/iommap.hpp"
#include "util/coding.hpp"

namespace orv::util::coding {

int read_cbit(orv::inpout::ioconn& c, unsigned& v);
int read_cbit(orv::inpout::iobuf& b, unsigned& v);
int read_cbit(orv::inpout::iommap& m, unsigned& v);

// The bytes written, or -1 when the connection failed.
int write_cbit(orv::inpout::ioconn& c, unsigned v);
int write_cbit(orv::inpout::iobuf& b, unsigned v);

// One value of the minimal-bytes coding with the given width (1 to 8).
// write answers the bytes written or -1; read answers width, or 0 when the
// input ends or fails inside the value (v left alone).
int write_minimal(orv::inpout::ioconn& c, std::uint64_t v, int width);
int read_minimal(orv::inpout::ioconn& c, int width, std::uint64_t& v);

}  // namespace orv::util::coding
