// The deep create: a second, opt-in search that spends more time and memory
// than the numbered algorithms' own searches to find better records, and
// writes a delta that any decoder of the format restores. The delta is an
// ordinary match-coded delta of one of the numbered algorithms (its method
// byte says which), following that algorithm's every rule: Rice parameter,
// run-length forms and flags, packed literal stream, check and trailer.
#pragma once

#include <cstdint>

#include "coder/coder.h"

namespace quoralith {

// Memory of the deep search. The Base' window is indexed whole: its bytes, a
// suffix array of 4 bytes a byte and a filter of half a byte a byte; Updated'
// is held in parts of the same size, and the stretches found (12 bytes each,
// one per 9 bytes of Updated' at most); the parse adds a fixed 200 KiB of
// nodes. Peak use is about 7 to 9 bytes per byte of the larger file, so the
// default window of 32 MiB bounds the search at about 300 MiB whatever the
// file sizes (up to the format's 1 GiB; 213 MiB measured on a 100 MB pair).
// Files larger than the window are searched part by part of Updated', each
// against the stretch of Base' at the same relative place.
constexpr std::int64_t kDeepWindow = std::int64_t{32} << 20;

// Where the bytes of a deep delta went, for measuring the search against
// other tools: the control stream's bits by kind and the literal stream
// before and after the packer.
struct DeepBits {
    int algorithm = 0;
    bool matched = false;            // match-coded (else Updated' stored or packed)
    std::int64_t delta = 0;          // bytes of the whole delta
    std::int64_t control = 0;        // bytes of the control stream
    std::int64_t literals = 0;       // literal stream before the packer (substituted bytes included)
    std::int64_t literals_out = 0;   // the literal stream as written, packed or not
    std::int64_t substituted = 0;    // substituted bytes among the literals
    std::int64_t positioned = 0;     // records
    std::int64_t relative = 0;
    std::int64_t substitutions = 0;
    std::int64_t copied = 0;         // Base' bytes copied
    // Control bits: record flags, literal-length codes, B-bit positions,
    // relative advances, substitution counts, equal-run lengths, the flags
    // of substitutions, and the record that ends the delta.
    std::int64_t flag_bits = 0;
    std::int64_t literal_length_bits = 0;
    std::int64_t position_bits = 0;
    std::int64_t advance_bits = 0;
    std::int64_t count_bits = 0;
    std::int64_t equal_bits = 0;
    std::int64_t substitution_flag_bits = 0;
    std::int64_t tail_bits = 0;
    // What the same records would save with count-coded relative records
    // (algorithm 1's), which cost less than Rice codes for long literal runs
    // and long forward moves: a hint whether that format is worth a parse.
    std::int64_t count_coded_saving_bits = 0;
};

struct DeepOptions {
    std::int64_t window = kDeepWindow;  // at least 4096; smaller values are raised to it
    DeepBits* bits = nullptr;           // filled for the delta written, when given
};

// Makes the deep delta of `updated` against `base` into `delta` (arguments and
// results as coder_create's). The algorithm number is chosen per pair among
// those whose format the search can use; the smallest delta found is written.
int coder_create_deep(StreamWindow* base, StreamWindow* updated, StreamWindow* delta,
                      const ProgressCallback& callback, const TrailerRecord& trailer, CreateShared* shared = nullptr,
                      const DeepOptions& options = {});

}  // namespace quoralith
