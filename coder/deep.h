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
// one per 9 bytes of Updated' at most). Peak use is about 7 to 9 bytes per
// byte of the larger file, so the default window of 32 MiB bounds the search
// at about 300 MiB whatever the file sizes (up to the format's 1 GiB). Files
// larger than the window are searched part by part of Updated', each against
// the stretch of Base' at the same relative place.
constexpr std::int64_t kDeepWindow = std::int64_t{32} << 20;

struct DeepOptions {
    std::int64_t window = kDeepWindow;  // at least 4096; smaller values are raised to it
};

// Makes the deep delta of `updated` against `base` into `delta` (arguments and
// results as coder_create's). The algorithm number is chosen per pair among
// those whose format the search can use; the smallest delta found is written.
int coder_create_deep(StreamWindow* base, StreamWindow* updated, StreamWindow* delta,
                      const ProgressCallback& callback, const TrailerRecord& trailer, CreateShared* shared = nullptr,
                      const DeepOptions& options = {});

}  // namespace quoralith
