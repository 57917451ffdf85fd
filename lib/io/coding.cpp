#include "coding.hpp"

#include <cassert>

namespace orv::util::coding {

namespace {
constexpr int guard = 8;  // a value never needs more than 5 bytes

// Reads exactly n bytes or answers false.
bool read_exactly(orv::inpout::ioconn& c, unsigned char* out, int n) {
  int done = 0;
  while (done < n) {
    const int r = c.read(out + done, n - done);
    if (r <= 0) return false;
    done += r;
  }
  return true;
}

int write_exactly(orv::inpout::ioconn& c, const unsigned char* bytes, int n) {
  int done = 0;
  while (done < n) {
    const int w = c.write(bytes + done, n - done);
    if (w <= 0) return -1;
    done += w;
  }
  return n;
}
}  // namespace

int read_cbit(orv::inpout::ioconn& c, unsigned& v) {
  unsigned char byte;
  if (c.read(&byte, 1) != 1) return 0;
  std::uint32_t value = byte & 0x7F;
  unsigned shift = 7;
  int count = 1;
  while (byte & 0x80) {
    if (c.read(&byte, 1) != 1) return 0;
    value += static_cast<std::uint32_t>(byte & 0x7F) << (shift % 32);
    shift += 7;
    ++count;
  }
  v = value;
  return count;
}

int read_cbit(orv::inpout::iobuf& b, unsigned& v) {
  const int loaded = b.filled() - b.position();
  if (loaded >= guard) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(b.data()) + b.position();
    std::uint32_t value;
    const int used = decode_cbit(p, p + loaded, value);
    if (used > 0) {
      b.set_position(b.position() + used);
      v = value;
      return used;
    }
  }
  return read_cbit(static_cast<orv::inpout::ioconn&>(b), v);
}

int read_cbit(orv::inpout::iommap& m, unsigned& v) {
  const int mapped = m.view_length() - m.cursor();
  if (mapped >= guard) {
    const unsigned char* p = m.view() + m.cursor();
    std::uint32_t value;
    const int used = decode_cbit(p, p + mapped, value);
    if (used > 0) {
      m.set_cursor(m.cursor() + used);
      v = value;
      return used;
    }
  }
  return read_cbit(static_cast<orv::inpout::ioconn&>(m), v);
}

int write_cbit(orv::inpout::ioconn& c, unsigned v) {
  unsigned char bytes[max_cbit_bytes];
  return write_exactly(c, bytes, encode_cbit(v, bytes));
}

int write_cbit(orv::inpout::iobuf& b, unsigned v) {
  assert(b.data() && (b.mode() & orv::inpout::WRITE));
  if (b.buffer_size() - b.filled() < guard && !b.flush()) return -1;
  const int n = encode_cbit(v, reinterpret_cast<unsigned char*>(b.data()) + b.filled());
  b.set_filled(b.filled() + n);
  return n;
}

int write_minimal(orv::inpout::ioconn& c, std::uint64_t v, int width) {
  unsigned char bytes[8];
  encode_minimal(v, width, bytes);
  return write_exactly(c, bytes, width);
}

int read_minimal(orv::inpout::ioconn& c, int width, std::uint64_t& v) {
  unsigned char bytes[8];
  assert(width >= 1 && width <= 8);
  if (!read_exactly(c, bytes, width)) return 0;
  v = decode_minimal(bytes, width);
  return width;
}

}  // namespace orv::util::coding
