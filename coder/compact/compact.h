// The compact delta: an opt-in second format of our own, smaller than the
// design's on every kind of pair, built on libzstd and liblzma. Create codes
// Updated against Base with several methods and keeps the smallest payload;
// restore rebuilds Updated, proves it by its digest and hands back the file
// information the design format's trailer would have carried, so that the
// engine keeps, reports and applies both formats alike.
// docs/compact-format.md gives the bytes and the memory bounds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "coder/compact/compact_format.h"
#include "coder/format.h"
#include "coder/stream.h"
#include "base/errors.h"
#include "base/progress.h"

namespace quoralith {

// The algorithm number the compact coder's progress records carry: above every
// numbered algorithm of the design format.
constexpr std::int16_t kCompactAlgorithm = 16;

// The zstd level of the compact coder when none is chosen, and the range a
// user may choose from (0 in a setting means "no compact delta").
constexpr int kCompactDefaultLevel = 19;
constexpr int kCompactMaxLevel = 22;

struct CompactOptions {
    int level = kCompactDefaultLevel;
    // Which methods may compete (bit i: method i); tests pin one at a time.
    unsigned methods = ~0u;
    // Pairs (Base and Updated together) up to this many bytes try every
    // method in memory; larger ones stream zstd straight into the delta.
    std::uint64_t try_all_limit = 16u << 20;
};

// Makes the compact delta of `updated` against `base` (which may have no file)
// into `delta` from the window's start. The times, permission bits and digest
// come from `trailer` as the engine prepared it for a design-format delta (its
// digest is computed here when the trailer carries no record). Inputs are
// mapped, never read into growing buffers. Returns the delta's length, or
// ERR_COMPACT_LIMIT, ERR_NO_MEMORY, ERR_READ_FAILED, ERR_WRITE_FAILED or ERR_STOPPED.
int compact_create(StreamWindow* base, StreamWindow* updated, StreamWindow* delta, const ProgressCallback& callback,
                   const TrailerRecord& trailer, const CompactOptions& options = {});

// Rebuilds Updated into `output` (a regular file; written from the window's
// start) from `base` and the compact delta `delta`. On success `trailer`, when
// given, holds what a design-format trailer would: times, attribute word and
// the record of Updated's permission bits and digest. Returns the bytes
// written, or ERR_NOT_COMPACT, ERR_COMPACT_DAMAGED, ERR_COMPACT_VERSION,
// ERR_WRONG_BASE, ERR_CONTENT_MISMATCH (the bytes written are wrong and must
// not be kept), ERR_NO_MEMORY, ERR_READ_FAILED, ERR_WRITE_FAILED (errno says
// why) or ERR_STOPPED.
int compact_restore(StreamWindow* base, StreamWindow* delta, StreamWindow* output, const ProgressCallback& callback,
                    TrailerRecord* trailer);

// Whether the file of `window` holds a compact delta rather than a delta of the
// design format: it opens with the compact magic, and the design's trailer
// magic is not where a design decoder looks for it.
bool is_compact_delta(StreamWindow* window);

// Restores with whichever decoder the delta's own bytes call for.
int restore_any_format(StreamWindow* base, StreamWindow* delta, StreamWindow* output,
                       const ProgressCallback& callback, TrailerRecord* trailer);

// Reads the compact header of the file `file` for `info` and the archived
// restore; fills `trailer` as compact_restore would (the record's digest holds
// the 8 bytes the delta carries, the rest zero). Returns 0 or a restore code.
int compact_read_header(std::FILE* file, compact::Header& header, std::size_t& header_length,
                        TrailerRecord* trailer = nullptr);

// The method's name in words, for info and the report.
const char* compact_method_name(std::uint8_t method);

}  // namespace quoralith
