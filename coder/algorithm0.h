// The algorithm 0 encoder: Base' cut into overlapping chunks of at most 1500000
// bytes, each paired with a proportional slice of Updated' and indexed by the
// first 20 bytes at every chunk offset. Its memory stays bounded by two chunks
// with their indexes (one per thread that searches ahead) and their copies of
// Updated', whatever the file lengths.
#pragma once

#include <algorithm>
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
    // Whether the chunks are indexed and searched ahead on two threads of
    // their own while this one writes the records. The delta is the same
    // either way.
    bool search_ahead = true;
    // The search ahead copies the stretch of Updated' its slice may reach when
    // that is at most this many bytes, and gives up past this many records.
    std::int64_t ahead_stretch = std::int64_t{1} << 23;
    std::int64_t ahead_records = std::int64_t{1} << 16;
    // When this thread searches the last chunk itself (its search ahead did
    // not reach where its records begin) and at least this many bytes of its
    // slice remain, the other thread searches the second half of them ahead.
    // Negative: never.
    std::int64_t half_search = std::int64_t{1} << 18;
    // Whether the last chunk is searched ahead from its slice start at all
    // (tests turn this off to reach the case above every time).
    bool search_last_ahead = true;
};

// Where Base' chunks lie and which Updated' slice goes with each. The decoder
// computes the same from W', N and U, including the 32-bit wrap of the slice
// ends, so these must match it exactly.
struct ChunkGeometry {
    std::int64_t n;       // N
    std::int64_t window;  // W' = min(W, N)
    std::int64_t u;       // U
    std::int64_t step;
    std::int64_t count;   // K

    // REQUIRES: w >= 200 (so that the step is never 0).
    ChunkGeometry(std::int64_t base_length, std::int64_t w, std::int64_t updated_length)
        : n(base_length), window(std::min(w, base_length)), u(updated_length) {
        if (window < n) {
            step = window * 75 / 100;
            count = n / step;
            if (window < n - (n / step - 1) * step) ++count;
        } else {
            step = window;
            count = 1;
        }
    }
    std::int64_t start(std::int64_t c) const { return c * step; }
    std::int64_t length(std::int64_t c) const { return std::min(window, n - c * step); }
    bool is_last(std::int64_t c) const { return n - c * step <= window || c >= count - 1; }
    // (c + 1) * U div K with the product wrapping in 32 bits: it may turn negative,
    // which leaves that slice empty.
    std::int64_t boundary(std::int64_t c) const {
        const auto product =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(c + 1) * static_cast<std::uint32_t>(u));
        return product / static_cast<std::int32_t>(count);
    }
    // Where the records of chunk c end: the last chunk takes the rest of Updated'.
    std::int64_t slice_end(std::int64_t c) const { return is_last(c) ? u : boundary(c); }
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
