// Shared state and steps of the create driver, used by the driver itself, the
// match search of algorithms 1 to 15 and the algorithm 0 encoder.
#pragma once

#include <cstdint>

#include "coder/bitio.h"
#include "coder/coder.h"
#include "coder/format.h"
#include "coder/runlength.h"
#include "coder/stream.h"

namespace quoralith {

// Everything one create call works with. Lives on the driver's stack.
struct CreateJob {
    CreateJob(CoderContext& ctx, int alg, const TrailerRecord& record, Channel base_window, Channel updated_window,
              Channel delta_window)
        : context(ctx), algorithm(alg), params(algorithm_params(alg)), trailer(record), base(base_window),
          updated(updated_window), delta(delta_window) {}

    CoderContext& context;
    int algorithm;  // as written in the method byte (2 becomes 4 for an empty Base)
    AlgorithmParams params;
    TrailerRecord trailer;  // the copy written at the end, magic set

    Channel base;     // Base window (may be empty)
    Channel updated;  // Updated window
    Channel delta;    // Delta window, written from its start

    std::int64_t base_length = 0;     // Lb, untransformed
    std::int64_t updated_length = 0;  // untransformed

    // Base' and Updated': the windows themselves or their run-length forms,
    // described by a map over the window or, when too many tokens, stored.
    RunLengthMap base_map;
    RunLengthMap updated_map;
    TempFile base_rle_file;
    TempFile updated_rle_file;
    Channel base_prime;
    Channel updated_prime;
    std::int64_t n = 0;  // N, length of Base'
    std::int64_t u = 0;  // U, length of Updated'

    std::uint8_t method = 0;  // flags so far; the algorithm number is added when written

    CreateShared* shared = nullptr;  // forms and check shared with other passes, or null
    // Pack each block several ways and keep the shortest (the deep create
    // only: the plain create's packed forms must stay as they are).
    bool thorough_packing = false;

    // The Base check block, when the pass that made Base' folded it in.
    bool has_base_check = false;
    std::uint8_t base_check[kCheckLong] = {};
};

// Updated' (step 6 of the driver): the run-length form when Updated is at least
// T bytes long and the form is not longer. Sets MB_UPDATED_RLE. Returns 0 or a code.
int prepare_updated(CreateJob& job);
// Base' likewise, setting MB_BASE_RLE whenever the transformed Base is used.
int prepare_base(CreateJob& job);

// Writes `length` bytes of `data` (from its position 0) to the Delta window at
// its current position, packed when packing pays (sets MB_PACKED), else raw.
// Returns the number of bytes written or a negative code.
std::int64_t write_payload(CreateJob& job, Channel& data, std::int64_t length);

// Writes the method header (`header_length` bytes, may be 0), the method byte,
// the Base check block and the trailer record; cuts the Delta file there.
// Returns the delta's length or a negative code.
int finish_delta(CreateJob& job, const std::uint8_t* header, int header_length);

// Ends a match-coded delta whose control bytes fill the Delta window up to
// `control_end` and whose literal stream is the first `literal_length` bytes of
// `literal_file`: the literals follow the control bytes, then the method header
// names Updated's length and where the literals start. Sets MB_MATCHED.
int finish_match_coded(CreateJob& job, TempFile& literal_file, std::int64_t control_end,
                       std::int64_t literal_length);
// Ends a delta that stores Updated' itself (packed when that pays), over any
// control bytes that already reached the Delta window.
int finish_stored(CreateJob& job);

// The small path: Updated' packed or raw, the method byte, check and trailer.
int small_path(CreateJob& job);

// Match search of algorithms 1 to 15, from Base' and Updated' position 0. Writes
// records to `control` and literal bytes to `literals`; returns q, the Updated'
// position up to which records were written, or a negative code.
std::int64_t match_search(CreateJob& job, ControlWriter& control, BufferedWriter& literals);
// What match_search returns when the records written so far already make
// match coding no smaller than storing Updated': the rest cannot make it so,
// since the control and literal bytes only grow, and the search stops there.
constexpr std::int64_t kMatchNotSmaller = -(std::int64_t{1} << 40);

// Algorithm 0 from its parameters on: returns the delta's length or a code.
int create_algorithm0(CreateJob& job);

}  // namespace quoralith
