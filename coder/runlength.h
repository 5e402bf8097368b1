// The run-length form: a reversible transform that replaces long periodic runs
// (period 1, 2, 3, 4, 6 or 12) by short tokens. The decoder of a delta rebuilds a
// transformed Base itself, so the encoder below is part of the delta format and
// must produce exactly the same tokens as every other implementation.
#pragma once

#include <cstdint>

#include "coder/stream.h"

namespace quoralith {

// Writes the run-length form of the `length` bytes of `in` (from position 0)
// to `out` at its current position, through a read cache and a buffered writer
// (memory stays bounded whatever the length). `threshold` is T (36 or 360).
// Returns the form's length or a negative code (ERR_STOPPED, ERR_READ_FAILED, ...).
std::int64_t runlength_encode(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out);

// Expands the run-length form held in the `length` bytes of `in` (from position
// 0) into `out` at its current position. Returns the expanded length, or
// ERR_MALFORMED for a truncated token or an expansion beyond 0x40000000 bytes.
std::int64_t runlength_decode(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out);

}  // namespace quoralith
