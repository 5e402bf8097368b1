// The delta coder's two entries: make one delta with one algorithm, or rebuild
// Updated from Base and a delta. Both work through stream windows and report
// every transfer to the progress callback (records carry the algorithm number on
// create, -2 on restore).
#pragma once

#include "base/progress.h"
#include "coder/digest.h"
#include "coder/format.h"
#include "coder/runlength.h"
#include "coder/stream.h"

#include <map>
#include <memory>

namespace quoralith {

// Work that every pass over the same file pair would repeat: the run-length
// forms of Base and Updated (per threshold) and the check block of Base. The
// engine keeps one for all the algorithms it tries on a pair; each delta stays
// exactly what its algorithm alone would write. Not shared between pairs.
class CreateShared {
public:
    struct Form {
        RunLengthMap map;        // the form, described over its source when `described`
        TempFile file;           // else the form itself
        bool described = false;
        std::int64_t length = -1;  // -1: the form was larger than its source
    };
    // The run-length form of Updated (which = 1) or Base (which = 0) for `threshold`.
    Form* find(int which, std::uint32_t threshold) {
        auto it = forms_.find({which, threshold});
        return it == forms_.end() ? nullptr : it->second.get();
    }
    Form& add(int which, std::uint32_t threshold) {
        auto& slot = forms_[{which, threshold}];
        slot = std::make_unique<Form>();
        return *slot;
    }
    bool has_check = false;
    std::uint8_t check[kCheckLong] = {};

private:
    std::map<std::pair<int, std::uint32_t>, std::unique_ptr<Form>> forms_;
};

// Makes the delta of `updated` against `base` with `algorithm` (0..15; any other
// value is taken as 15) and writes it to `delta` from the window's start; the
// delta file ends where the delta ends. `trailer` is the record prepared by the
// engine (check length, file information); the coder writes a copy with the
// magic set at the end of the delta. `base` may have no file (a new file).
// REQUIRES: no window is longer than 0x40000000 bytes (else ERR_MALFORMED).
// Returns the delta's length, or ERR_MALFORMED, ERR_TEMP_FILE, ERR_NO_MEMORY,
// ERR_READ_FAILED, ERR_WRITE_FAILED or ERR_STOPPED.
// `shared` may be null; when given, it must belong to this same file pair.
int coder_create(StreamWindow* base, StreamWindow* updated, StreamWindow* delta, int algorithm,
                 const ProgressCallback& callback, const TrailerRecord& trailer, CreateShared* shared = nullptr);

// Rebuilds Updated into `output` from `base` and `delta`. With a trailer record
// the delta's check block is verified against Base and the trailer is copied
// out; without one (archive members) the whole window is the delta body.
// Returns the number of bytes written, or ERR_MALFORMED (a corrupt delta, never
// read or written out of bounds), ERR_RECORD_DAMAGED, ERR_TEMP_FILE, ERR_NO_MEMORY, ERR_WRONG_BASE,
// ERR_READ_FAILED, ERR_WRITE_FAILED or ERR_STOPPED.
//
// The output is verified as it is written when its digest is known: from the
// record in the trailer's reserved field (see digest.h), or, without a trailer,
// from `expected` (an archive member's record). A difference gives
// ERR_CONTENT_MISMATCH; the bytes are then written but wrong, and the caller
// must not keep them. A trailer whose reserved field is neither zeros nor a
// sound record gives ERR_RECORD_DAMAGED.
struct ExpectedContent {
    ContentDigest digest{};
    std::size_t compared = kDigestSize;  // how many leading bytes of the digest count
};
int coder_restore(StreamWindow* base, StreamWindow* delta, StreamWindow* output,
                  const ProgressCallback& callback, TrailerRecord* trailer,
                  const ExpectedContent* expected = nullptr);

}  // namespace quoralith
