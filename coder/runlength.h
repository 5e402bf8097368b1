// The run-length form: a reversible transform that replaces long periodic runs
// (period 1, 2, 3, 4, 6 or 12) by short tokens. The decoder of a delta rebuilds a
// transformed Base itself, so the encoder below is part of the delta format and
// must produce exactly the same tokens as every other implementation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coder/format.h"
#include "coder/stream.h"

namespace quoralith {

// Writes the run-length form of the `length` bytes of `in` (from position 0)
// to `out` at its current position, through a read cache and a buffered writer
// (memory stays bounded whatever the length). `threshold` is T (36 or 360).
// Returns the form's length or a negative code (ERR_STOPPED, ERR_READ_FAILED, ...).
std::int64_t runlength_encode(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out,
                              CheckFold* check = nullptr);

// Expands the run-length form held in the `length` bytes of `in` (from position
// 0) into `out` at its current position. Returns the expanded length, or
// ERR_MALFORMED for a truncated token or an expansion beyond 0x40000000 bytes.
std::int64_t runlength_decode(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out);

// Expands a run-length form handed over in pieces of any size, in order, as it
// is produced, so that the form itself is never stored. The form's whole
// length is known in advance, which lets every token be judged as soon as its
// header is complete, exactly as runlength_decode judges it.
class RunLengthExpander {
public:
    RunLengthExpander(BufferedWriter& out, std::int64_t length, std::uint32_t threshold);

    // Takes the next `count` bytes of the form. Once the form is found
    // malformed or the writer fails, further bytes are ignored (see error()).
    void put(const std::uint8_t* bytes, std::size_t count) {
        // Inside a literal token the bytes pass straight through; a literal's
        // length was checked against the form's when its header was read.
        if (static_cast<std::int64_t>(count) <= literal_left_ && error_ == 0) {
            out_.put(bytes, count);
            const auto n = static_cast<std::int64_t>(count);
            literal_left_ -= n;
            taken_ += n;
            produced_ += n;
            return;
        }
        put_tokens(bytes, count);
    }
    // After the last byte: 0 when the form ended on a token's end, else the first error.
    int finish();
    int error() const { return error_ != 0 ? error_ : out_.error(); }
    std::int64_t produced() const { return produced_; }

private:
    void put_tokens(const std::uint8_t* bytes, std::size_t count);
    bool header_done();
    void put_run();

    BufferedWriter& out_;
    const std::int64_t length_;
    const std::int64_t threshold_;
    std::int64_t taken_ = 0;     // form bytes taken so far
    std::int64_t produced_ = 0;  // bytes expanded so far
    int error_ = 0;
    // The token being read: its header, then either the literal bytes still to
    // pass through or the pattern of a run being collected.
    std::uint8_t header_[5] = {};
    int header_size_ = 0;
    std::int64_t literal_left_ = 0;
    std::uint8_t pattern_[12] = {};
    int period_ = 0;
    int pattern_size_ = 0;
    std::int64_t run_length_ = 0;
    // Whole periods of the last run written, `filled_` bytes of period `filled_period_`.
    static constexpr std::size_t kRunBuffer = 1 << 16;
    std::vector<std::uint8_t> run_buffer_;
    std::size_t filled_ = 0;
    int filled_period_ = 0;
};

// The run-length form of a file described rather than stored: every token's
// header, and a run's one period or the stretch of the file that holds a
// literal's bytes. With the file at hand it gives the form's bytes at any
// position, at the cost of one entry per token instead of a copy of the form.
class RunLengthMap {
public:
    // Positions fit in 32 bits: the coder's files are at most 2^30 bytes long,
    // and their forms not much longer.
    struct Token {
        std::uint32_t start;   // form position of the header
        std::uint32_t source;  // file position of the bytes the token stands for
        std::uint8_t header[5];
        std::uint8_t header_size;
        std::uint8_t period;       // 0 for a literal, whose data is read from the file
        std::uint8_t pattern[12];  // a run's data: its first period
    };

    // Fills a map during one encoding call (see runlength_map).
    class Builder;

    std::int64_t length() const { return length_; }
    std::size_t token_count() const { return tokens_.size(); }
    // Index of the token holding form position `position` (0 <= position <
    // length()). Neighbouring look-ups are the common case and cost no search.
    std::size_t find(std::int64_t position) {
        if (hint_ < tokens_.size() && tokens_[hint_].start <= position && position < end_of(hint_)) return hint_;
        return search(position);
    }
    const Token& token(std::size_t index) const { return tokens_[index]; }
    // Form position at which token `index`'s data ends.
    std::int64_t end_of(std::size_t index) const {
        return index + 1 < tokens_.size() ? tokens_[index + 1].start : length_;
    }

    // Walks the form's bytes [from, from + count), a range within length(),
    // piece by piece in order: held(bytes, n) for header and run bytes the map
    // holds, literal(source, n, index) for n bytes that token `index` takes
    // from the file at position `source`. A negative answer of `literal` ends
    // the walk and is returned; else 0.
    template <class Held, class Literal>
    int walk(std::int64_t from, std::int64_t count, Held&& held, Literal&& literal) {
        while (count > 0) {
            const std::size_t index = find(from);
            const Token& token = tokens_[index];
            const std::int64_t offset = from - token.start;
            std::int64_t n = std::min(count, end_of(index) - from);
            if (offset < token.header_size) {
                n = std::min<std::int64_t>(n, token.header_size - offset);
                held(token.header + offset, n);
            } else if (token.period != 0) {
                held(token.pattern + (offset - token.header_size), n);
            } else if (const int rc = literal(std::int64_t{token.source} + (offset - token.header_size), n, index);
                       rc < 0) {
                return rc;
            }
            from += n;
            count -= n;
        }
        return 0;
    }

private:
    std::size_t search(std::int64_t position);
    void build_index();

    std::vector<Token> tokens_;
    std::int64_t length_ = 0;
    std::size_t hint_ = 0;
    // The token holding form position g << granule_shift_, for every g: no
    // more entries than tokens, so a look-up searches about one granule.
    std::vector<std::uint32_t> granules_;
    int granule_shift_ = 0;
};

// Builds `map` for the run-length form of the `length` bytes of `in`, with the
// very tokens runlength_encode writes. Returns the form's length, a negative
// code, or ERR_NO_MEMORY when the form has more than `max_tokens` tokens (the
// caller then stores the form instead). With `check`, the bytes of `in` are
// also folded into it as they are read; check->folded() tells how far that got.
std::int64_t runlength_map(Channel& in, std::int64_t length, std::uint32_t threshold, std::size_t max_tokens,
                           RunLengthMap& map, CheckFold* check = nullptr);

}  // namespace quoralith
