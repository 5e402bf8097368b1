// The delta coder's two entries: make one delta with one algorithm, or rebuild
// Updated from Base and a delta. Both work through stream windows and report
// every transfer to the progress callback (records carry the algorithm number on
// create, -2 on restore).
#pragma once

#include "coder/format.h"
#include "coder/stream.h"
#include "engine/progress.h"

namespace quoralith {

// Makes the delta of `updated` against `base` with `algorithm` (0..15; any other
// value is taken as 15) and writes it to `delta` from the window's start; the
// delta file ends where the delta ends. `trailer` is the record prepared by the
// engine (check length, file information); the coder writes a copy with the
// magic set at the end of the delta. `base` may have no file (a new file).
// REQUIRES: no window is longer than 0x40000000 bytes (else ERR_MALFORMED).
// Returns the delta's length, or ERR_MALFORMED, ERR_TEMP_FILE, ERR_NO_MEMORY,
// ERR_READ_FAILED, ERR_WRITE_FAILED or ERR_STOPPED.
int coder_create(StreamWindow* base, StreamWindow* updated, StreamWindow* delta, int algorithm,
                 const ProgressCallback& callback, const TrailerRecord& trailer);

// Rebuilds Updated into `output` from `base` and `delta`. With a trailer record
// the delta's check block is verified against Base and the trailer is copied
// out; without one (archive members) the whole window is the delta body.
// Returns the number of bytes written, or ERR_MALFORMED (a corrupt delta, never
// read or written out of bounds), ERR_TEMP_FILE, ERR_NO_MEMORY, ERR_WRONG_BASE,
// ERR_READ_FAILED, ERR_WRITE_FAILED or ERR_STOPPED.
int coder_restore(StreamWindow* base, StreamWindow* delta, StreamWindow* output,
                  const ProgressCallback& callback, TrailerRecord* trailer);

}  // namespace quoralith
