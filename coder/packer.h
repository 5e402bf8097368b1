// The block packer: the coder's general-purpose compressor. Data is cut into
// 8192-byte blocks, each coded by itself and ending in a marker byte; the packed
// form ends in a 3- or 5-byte stream trailer and is decoded from its end.
#pragma once

#include <cstdint>

#include "coder/stream.h"

namespace quoralith {

// Packing did not pay: the caller stores the data unpacked instead.
constexpr std::int64_t PACK_NOT_SMALLER = -1000;

// Packs the `length` bytes of `in` (from its position 0) and writes the packed
// form to `out` at its current position. `threshold` is the run pre-pass
// threshold P of the algorithm. Returns the packed length, PACK_NOT_SMALLER when
// the packed form would not be smaller (what was written to `out` is then
// meaningless), or a negative error code. `thorough` codes each block several
// ways and keeps the shortest: smaller, slower, and a different packed form
// from the one the plain create writes.
std::int64_t pack_stream(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out,
                         bool thorough = false);

// Unpacks the packed form that lies in `in` between `begin` and `end` (the form
// is read from its end; nothing below `begin` is read) and writes the data to
// `out` from its position 0 (blocks are written at their offsets, last block
// first). Returns the unpacked length, or ERR_MALFORMED when the form is corrupt.
std::int64_t unpack_stream(Channel& in, std::int64_t begin, std::int64_t end, std::uint32_t threshold,
                           Channel& out);
// The unpacked length the packed form between `begin` and `end` states in its
// trailer (checked as unpack_stream checks it), or ERR_MALFORMED.
std::int64_t packed_length(Channel& in, std::int64_t begin, std::int64_t end);

}  // namespace quoralith
