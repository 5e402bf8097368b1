// The algorithm 0 encoder: Base' cut into overlapping chunks of at most 1500000
// bytes, each paired with a proportional slice of Updated' and indexed by the
// first 20 bytes at every chunk offset. Its memory stays bounded by one chunk and
// its index whatever the file lengths.
#pragma once

#include <cstdint>

#include "coder/create_internal.h"

namespace quoralith {

// Limits of one algorithm 0 run. The defaults are those of every real delta;
// tests lower them to reach several chunks, or a reduced window, with small files.
struct Algorithm0Limits {
    // The largest chunk window.
    std::int64_t max_window = 1500000;
    // Bytes the working buffer may take; a larger need counts as a failed
    // allocation and shrinks the window by a quarter. Negative: no ceiling.
    std::int64_t memory_limit = -1;
};

// The chunk window the encoder settles on for a Base of `base_length` bytes and
// an Updated of `updated_length` bytes under `limits`, or ERR_NO_MEMORY when
// not even a 200-byte window fits. This is W before it is cut to N.
std::int64_t algorithm0_window(std::int64_t base_length, std::int64_t updated_length,
                               const Algorithm0Limits& limits);

int create_algorithm0(CreateJob& job, const Algorithm0Limits& limits);

// coder_create with algorithm 0 under `limits` (the defaults give exactly what
// coder_create gives).
int coder_create_algorithm0(StreamWindow* base, StreamWindow* updated, StreamWindow* delta,
                            const ProgressCallback& callback, const TrailerRecord& trailer,
                            const Algorithm0Limits& limits);

}  // namespace quoralith
