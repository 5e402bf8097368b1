// The run-length form. The encoder mirrors the token-choice procedure exactly,
// because a decoder elsewhere rebuilds a transformed Base from it and must get
// the same bytes; within that procedure, all the work is arranged so that the
// common case (blocks that differ from their successor) costs two wide loads
// per 12 bytes.
#include "coder/runlength.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace quoralith {

namespace {

// The scan works on 12-byte blocks: 12 is the least common multiple of the
// periods 1, 2, 3, 4 and 6, so a block equal to its successor carries every run.
constexpr std::int64_t kBlock = 12;

// The longest expansion a decoder accepts in all: the largest file the coder handles.
constexpr std::int64_t kMaxExpansion = MAX_FILE_LENGTH;

// Kind numbers in a token header: 0 literal, 1 to 6 runs (kind 5 has period 12).
constexpr int kKindLiteral = 0;
constexpr int kKindPeriod12 = 5;

int kind_of_period(int period) { return period == 12 ? kKindPeriod12 : period; }

// Period of a run, by kind; 0 for a kind that names no token.
int period_of_kind(int kind) {
    switch (kind) {
        case 1: case 2: case 3: case 4: case 6: return kind;
        case kKindPeriod12: return 12;
        default: return 0;
    }
}

// A threshold of at least two blocks keeps every candidate start two blocks
// from the end, and whole blocks keep every run length a whole number of periods.
bool threshold_usable(std::uint32_t threshold) { return threshold >= 2 * kBlock && threshold % kBlock == 0; }

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether the 12 bytes at p equal the 12 bytes after them.
bool block_repeats(const std::uint8_t* p) {
    return ((load64(p) ^ load64(p + 12)) | (load32(p + 8) ^ load32(p + 20))) == 0;
}

// Period of a 12-byte block that repeats, tested in the fixed order of the form
// (the order matters: it decides between equally valid periods).
int block_period(const std::uint8_t* b) {
    if (std::memcmp(b, b + 6, 6) == 0) {
        if (std::memcmp(b, b + 3, 3) == 0) return std::memcmp(b, b + 2, 2) == 0 ? 1 : 3;
        return std::memcmp(b, b + 2, 2) == 0 && std::memcmp(b, b + 4, 2) == 0 ? 2 : 6;
    }
    return std::memcmp(b, b + 4, 4) == 0 && std::memcmp(b, b + 8, 4) == 0 ? 4 : 12;
}

// A token header in its shortest form; returns its size.
int encode_header(std::uint8_t (&header)[5], int kind, std::uint64_t n) {
    int size = 1;
    header[0] = static_cast<std::uint8_t>(kind << 4 | (n & 0x0F));
    if (n >= 16) {
        header[0] |= 0x80;
        header[size++] = static_cast<std::uint8_t>((n >> 4) & 0x7F);
    }
    if (n >= 2048) {
        header[size - 1] |= 0x80;
        header[size++] = static_cast<std::uint8_t>((n >> 11) & 0x7F);
    }
    if (n >= 0x40000) {
        header[size - 1] |= 0x80;
        header[size++] = static_cast<std::uint8_t>((n >> 18) & 0x7F);
    }
    if (n >= 0x2000000) {
        header[size - 1] |= 0x80;
        header[size++] = static_cast<std::uint8_t>(n >> 25);
    }
    return size;
}

}  // namespace

// Collects the tokens of one encoding call into a map, within a token budget.
class RunLengthMap::Builder {
public:
    Builder(RunLengthMap& map, std::size_t max_tokens) : map_(map), max_tokens_(max_tokens) {
        map_.tokens_.clear();
        map_.granules_.clear();
        map_.length_ = 0;
        map_.hint_ = 0;
    }
    // A literal token, whose data is `data_length` bytes of the file at `source`.
    bool add_literal(const std::uint8_t (&header)[5], int header_size, std::int64_t source, std::int64_t data_length) {
        return add(header, header_size, source, data_length, nullptr);
    }
    // A run token for the file's bytes from `source` on, whose data is its
    // pattern of `period` bytes.
    bool add_run(const std::uint8_t (&header)[5], int header_size, std::int64_t source, const std::uint8_t* pattern,
                 int period) {
        return add(header, header_size, source, period, pattern);
    }
    std::int64_t length() const { return map_.length_; }
    // After the last token: makes the map ready for look-ups.
    void finish() { map_.build_index(); }

private:
    bool add(const std::uint8_t (&header)[5], int header_size, std::int64_t source, std::int64_t data_length,
             const std::uint8_t* pattern) {
        constexpr std::int64_t kPositionLimit = std::numeric_limits<std::uint32_t>::max();
        if (map_.tokens_.size() >= max_tokens_ || map_.length_ + header_size + data_length > kPositionLimit ||
            source > kPositionLimit)
            return false;
        RunLengthMap::Token token{static_cast<std::uint32_t>(map_.length_), static_cast<std::uint32_t>(source), {},
                                  static_cast<std::uint8_t>(header_size), 0, {}};
        std::memcpy(token.header, header, sizeof header);
        if (pattern) {
            token.period = static_cast<std::uint8_t>(data_length);
            std::memcpy(token.pattern, pattern, static_cast<std::size_t>(data_length));
        }
        map_.tokens_.push_back(token);
        map_.length_ += header_size + data_length;
        return true;
    }

    RunLengthMap& map_;
    std::size_t max_tokens_;
};

namespace {

// Window transfers go in pieces of 0xFFFC bytes; buffers that hold whole
// pieces turn every buffer load or flush into full-sized transfers.
constexpr std::size_t kTransferPiece = 0xFFFC;
constexpr std::int64_t kReadBuffer = 4 * kTransferPiece;
constexpr std::size_t kWriteBuffer = 4 * kTransferPiece;

// A buffer no larger than a short input needs: fresh memory costs as much to
// bring in as the data it holds.
std::size_t fitted(std::size_t capacity, std::int64_t need) {
    return static_cast<std::size_t>(std::clamp<std::int64_t>(need, 1, static_cast<std::int64_t>(capacity)));
}

// One encoding call. The scan reads through a window: a large stretch of the
// input made resident by the scan cache, addressed directly so that the hot
// loop does no cache look-ups. The tokens go either to a writer, as the form's
// bytes, or to a map. Literal bytes that have slid out of the window by the
// time their token is written are read again through a second cache; a map
// needs no literal bytes at all.
class Encoder {
public:
    Encoder(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out, CheckFold* check)
        : length_(length),
          threshold_(threshold),
          scan_(in, length, fitted(kScanCapacity, length + kScanMargin), kScanMargin),
          literal_source_(in, length, fitted(kLiteralCapacity, length), 0),
          writer_(out, fitted(kWriteCapacity, length + kHeaderSpace)),
          check_(check) {}

    Encoder(Channel& in, std::int64_t length, std::uint32_t threshold, RunLengthMap::Builder& map, CheckFold* check)
        : length_(length),
          threshold_(threshold),
          scan_(in, length, fitted(kScanCapacity, length + kScanMargin), kScanMargin),
          literal_source_(in, length, 0, 0),
          writer_(Channel(), 1),
          map_(&map),
          check_(check) {}

    std::int64_t run();

private:
    static constexpr std::size_t kScanCapacity = 4 * kTransferPiece;
    static constexpr std::size_t kScanMargin = 64;
    static constexpr std::size_t kLiteralCapacity = 4 * kTransferPiece;
    static constexpr std::size_t kWriteCapacity = 4 * kTransferPiece;
    // Room for the headers a short input's form adds to its bytes.
    static constexpr std::int64_t kHeaderSpace = 64;

    // Bytes kept before a requested position when the window moves: enough for
    // the backward extension of a run (11 bytes) with room to spare.
    static constexpr std::int64_t kHistory = 64;

    // Pointer to [position, position + count) of the input, moving the window
    // when needed; nullptr on a read error (error_ is set).
    const std::uint8_t* need(std::int64_t position, std::int64_t count);
    bool put_literal(std::int64_t start, std::int64_t count);
    bool put_run(int period, std::int64_t start, std::int64_t count, const std::uint8_t* pattern);
    bool failed() {
        if (error_ == 0 && !map_) error_ = writer_.error();
        return error_ != 0;
    }

    const std::int64_t length_;
    const std::int64_t threshold_;
    ReadCache scan_;
    ReadCache literal_source_;
    BufferedWriter writer_;
    RunLengthMap::Builder* map_ = nullptr;  // the tokens go here instead of to writer_
    CheckFold* check_ = nullptr;            // folds every input byte once, as it is first read
    const std::uint8_t* window_ = nullptr;  // bytes [window_start_, window_end_) of the input
    std::int64_t window_start_ = 0;
    std::int64_t window_end_ = 0;
    int error_ = 0;
};

const std::uint8_t* Encoder::need(std::int64_t position, std::int64_t count) {
    if (position >= window_start_ && position + count <= window_end_)
        return window_ + (position - window_start_);
    std::int64_t start = std::max<std::int64_t>(0, position - kHistory);
    std::int64_t size = std::min<std::int64_t>(length_ - start, static_cast<std::int64_t>(scan_.capacity() - kScanMargin));
    const std::uint8_t* p = scan_.view(start, static_cast<std::size_t>(size));
    if (!p || position + count > start + size) {
        error_ = scan_.error() ? scan_.error() : ERR_MALFORMED;
        window_ = nullptr;
        window_start_ = window_end_ = 0;
        return nullptr;
    }
    window_ = p;
    window_start_ = start;
    window_end_ = start + size;
    // Windows overlap and move forward; a gap (never expected) leaves the
    // fold short, and the caller then computes the check on its own.
    if (check_) {
        const std::int64_t from = check_->folded();
        if (from >= window_start_ && from < window_end_)
            check_->add(window_ + (from - window_start_), static_cast<std::size_t>(window_end_ - from));
    }
    return window_ + (position - window_start_);
}

// A literal token for input bytes [start, start + count).
bool Encoder::put_literal(std::int64_t start, std::int64_t count) {
    std::uint8_t header[5];
    const int header_size = encode_header(header, kKindLiteral, static_cast<std::uint64_t>(count - 1));
    if (map_) {
        if (!map_->add_literal(header, header_size, start, count)) error_ = ERR_NO_MEMORY;
        return error_ == 0;
    }
    writer_.put(header, static_cast<std::size_t>(header_size));
    const std::int64_t end = start + count;
    const std::int64_t piece_limit = static_cast<std::int64_t>(literal_source_.capacity());
    while (start < end) {
        std::int64_t piece;
        if (start >= window_start_ && start < window_end_) {
            piece = std::min(end, window_end_) - start;
            writer_.put(window_ + (start - window_start_), static_cast<std::size_t>(piece));
        } else {
            std::int64_t stop = start < window_start_ ? std::min(end, window_start_) : end;
            piece = std::min(stop - start, piece_limit);
            const std::uint8_t* p = literal_source_.view(start, static_cast<std::size_t>(piece));
            if (!p) {
                error_ = literal_source_.error() ? literal_source_.error() : ERR_MALFORMED;
                return false;
            }
            writer_.put(p, static_cast<std::size_t>(piece));
        }
        start += piece;
        if (failed()) return false;
    }
    return true;
}

std::int64_t Encoder::run() {
    const std::int64_t F = length_;
    const std::int64_t T = threshold_;
    std::int64_t pos = 0;  // start of the unscanned part
    std::int64_t lit = 0;  // bytes before pos still waiting for a literal token

    while (pos + T <= F) {
        // Blocks that differ from their successor are candidates of 12 bytes,
        // shorter than any threshold: they join the literal in one tight loop.
        if (pos + 2 * kBlock > window_end_ && !need(pos, 2 * kBlock)) return error_;
        const std::int64_t skip_stop = std::min(F - T, window_end_ - 2 * kBlock);
        const std::int64_t skip_from = pos;
        const std::uint8_t* p = window_ + (pos - window_start_);
        while (pos <= skip_stop && !block_repeats(p)) {
            p += kBlock;
            pos += kBlock;
        }
        lit += pos - skip_from;
        if (pos > skip_stop) continue;  // out of the window, or past the last candidate start

        // The block at pos repeats: a candidate of two or more blocks starts
        // here. Its period and backward extension depend only on the bytes
        // around pos, which are resident now; they are used if the run is long enough.
        const std::int64_t back_limit = std::min<std::int64_t>(lit, kBlock - 1);
        const std::uint8_t* around = need(pos - back_limit, back_limit + kBlock);
        if (!around) return error_;
        const std::uint8_t* block = around + back_limit;
        const int e = block_period(block);
        std::int64_t j = 1;
        while (j <= back_limit && block[-j] == block[-j + e]) ++j;
        const std::int64_t m = pos - (j - 1);
        std::uint8_t pattern[kBlock];
        std::memcpy(pattern, block - (j - 1), static_cast<std::size_t>(e));

        // Follow the chain of equal blocks. The candidate ends after the first
        // block that differs from its successor, or after the last block whose
        // successor would run past the end of the input.
        std::int64_t x = pos + kBlock;
        for (;;) {
            if (x + 2 * kBlock > F) break;
            const std::uint8_t* q = need(x, 2 * kBlock);
            if (!q) return error_;
            const std::int64_t last = std::min(F, window_end_) - 2 * kBlock;
            while (x <= last && block_repeats(q)) {
                q += kBlock;
                x += kBlock;
            }
            if (x <= last) break;
        }
        const std::int64_t r = x + kBlock;

        if (r - pos < T) {
            lit += r - pos;
            pos = r;
            continue;
        }
        lit -= j - 1;

        // Whole periods only, then up to two more periods' worth forwards.
        std::int64_t end = m + (r - m) / e * e;
        const std::int64_t v = std::min<std::int64_t>(2 * e + 10, F - (end - e));
        const std::uint8_t* ahead = need(end - e, v);
        if (!ahead) return error_;
        std::int64_t k = e;
        while (k <= v - e && std::memcmp(ahead + k, ahead, static_cast<std::size_t>(e)) == 0) k += e;
        end += k - e;

        if (lit > 0 && !put_literal(m - lit, lit)) return error_;
        lit = 0;
        if (!put_run(e, m, end - m, pattern)) return error_;
        pos = end;
    }

    lit += F - pos;
    if (lit > 0 && !put_literal(F - lit, lit)) return error_;
    if (map_) return map_->length();
    if (writer_.flush() != 0) return writer_.error();
    return writer_.written();
}

// A run token for input bytes [start, start + count), `pattern` being the
// period at start.
bool Encoder::put_run(int period, std::int64_t start, std::int64_t count, const std::uint8_t* pattern) {
    std::uint8_t header[5];
    const int header_size =
        encode_header(header, kind_of_period(period), static_cast<std::uint64_t>((count - threshold_) / period));
    if (map_) {
        if (!map_->add_run(header, header_size, start, pattern, period)) error_ = ERR_NO_MEMORY;
        return error_ == 0;
    }
    writer_.put(header, static_cast<std::size_t>(header_size));
    writer_.put(pattern, static_cast<std::size_t>(period));
    return !failed();
}

}  // namespace

std::int64_t runlength_encode(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out,
                              CheckFold* check) {
    if (length < 0 || !threshold_usable(threshold)) return ERR_MALFORMED;
    Encoder encoder(in, length, threshold, out, check);
    return encoder.run();
}

std::int64_t runlength_map(Channel& in, std::int64_t length, std::uint32_t threshold, std::size_t max_tokens,
                           RunLengthMap& map, CheckFold* check) {
    RunLengthMap::Builder builder(map, max_tokens);
    if (length < 0 || !threshold_usable(threshold)) return ERR_MALFORMED;
    Encoder encoder(in, length, threshold, builder, check);
    const std::int64_t result = encoder.run();
    if (result >= 0) builder.finish();
    return result;
}

void RunLengthMap::build_index() {
    granules_.clear();
    granule_shift_ = 6;
    if (tokens_.empty()) return;
    while ((length_ >> granule_shift_) >= static_cast<std::int64_t>(tokens_.size())) ++granule_shift_;
    const std::size_t count = static_cast<std::size_t>(length_ >> granule_shift_) + 1;
    granules_.reserve(count);
    std::size_t t = 0;
    for (std::size_t g = 0; g < count; ++g) {
        const std::int64_t position = static_cast<std::int64_t>(g) << granule_shift_;
        while (end_of(t) <= position && t + 1 < tokens_.size()) ++t;
        granules_.push_back(static_cast<std::uint32_t>(t));
    }
}

std::size_t RunLengthMap::search(std::int64_t position) {
    // Copies mostly read on from where the last one ended: try the next token
    // before searching.
    if (hint_ + 1 < tokens_.size() && tokens_[hint_ + 1].start <= position && position < end_of(hint_ + 1))
        return ++hint_;
    // The token sought lies between the one holding the granule's start and
    // the one holding the next granule's start.
    const std::size_t g = static_cast<std::size_t>(position >> granule_shift_);
    const auto first = tokens_.begin() + granules_[g];
    const auto last = g + 1 < granules_.size() ? tokens_.begin() + granules_[g + 1] + 1 : tokens_.end();
    auto after = std::upper_bound(first, last, position, [](std::int64_t p, const Token& t) { return p < t.start; });
    hint_ = static_cast<std::size_t>(after - tokens_.begin()) - 1;
    return hint_;
}

RunLengthExpander::RunLengthExpander(BufferedWriter& out, std::int64_t length, std::uint32_t threshold)
    : out_(out), length_(length), threshold_(threshold) {
    if (length < 0 || !threshold_usable(threshold)) error_ = ERR_MALFORMED;
}

// Judges a complete header: the token it starts must fit in what remains of
// the form and in the largest expansion accepted.
bool RunLengthExpander::header_done() {
    static constexpr int kShift[5] = {0, 4, 11, 18, 25};
    std::uint64_t n = header_[0] & 0x0F;
    for (int i = 1; i < header_size_; ++i) {
        // The fifth byte carries eight bits of n and no continuation bit.
        const std::uint64_t bits = i == 4 ? header_[i] : header_[i] & 0x7F;
        n |= bits << kShift[i];
    }
    const int kind = header_[0] >> 4 & 0x07;
    const std::int64_t remaining = length_ - taken_;
    header_size_ = 0;
    if (kind == kKindLiteral) {
        const std::int64_t count = static_cast<std::int64_t>(n) + 1;
        if (count > remaining || count > kMaxExpansion - produced_) return false;
        literal_left_ = count;
        return true;
    }
    const int period = period_of_kind(kind);
    if (period == 0 || period > remaining) return false;
    // n is at most 2^33 - 1, so the product cannot overflow 64 bits.
    const std::int64_t count = static_cast<std::int64_t>(n) * period + threshold_;
    if (count > kMaxExpansion - produced_) return false;
    period_ = period;
    pattern_size_ = 0;
    run_length_ = count;
    return true;
}

// Writes the run whose pattern is complete, through a buffer holding whole
// periods, so that a long run costs a few large copies. The buffer is filled
// by doubling, and kept for the next run when that repeats the same pattern
// (the usual case: runs of zeros).
void RunLengthExpander::put_run() {
    // As long as the longest run so far, up to a fixed size.
    if (run_buffer_.size() < kRunBuffer && static_cast<std::int64_t>(run_buffer_.size()) < run_length_) {
        run_buffer_.resize(static_cast<std::size_t>(std::min<std::int64_t>(run_length_, kRunBuffer)));
        filled_ = 0;
    }
    const std::size_t period = static_cast<std::size_t>(period_);
    const std::size_t whole = run_buffer_.size() / period * period;
    const std::size_t fill = static_cast<std::size_t>(std::min<std::int64_t>(run_length_, static_cast<std::int64_t>(whole)));
    if (filled_period_ != period_ || filled_ < fill || std::memcmp(run_buffer_.data(), pattern_, period) != 0) {
        std::memcpy(run_buffer_.data(), pattern_, period);
        std::size_t done = period;
        while (done < fill) {
            const std::size_t n = std::min(done, fill - done);
            std::memcpy(run_buffer_.data() + done, run_buffer_.data(), n);
            done += n;
        }
        filled_period_ = period_;
        filled_ = done;
    }
    for (std::int64_t left = run_length_; left > 0 && out_.error() == 0;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(fill)));
        out_.put(run_buffer_.data(), piece);
        left -= static_cast<std::int64_t>(piece);
    }
    produced_ += run_length_;
    period_ = 0;
}

void RunLengthExpander::put_tokens(const std::uint8_t* bytes, std::size_t count) {
    if (error_ != 0) return;
    if (static_cast<std::int64_t>(count) > length_ - taken_) {
        error_ = ERR_MALFORMED;  // more than the form's stated length
        return;
    }
    const std::uint8_t* const end = bytes + count;
    while (bytes < end) {
        if (literal_left_ > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(literal_left_, end - bytes));
            out_.put(bytes, n);
            bytes += n;
            taken_ += static_cast<std::int64_t>(n);
            literal_left_ -= static_cast<std::int64_t>(n);
            produced_ += static_cast<std::int64_t>(n);
        } else if (period_ > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(period_ - pattern_size_, end - bytes));
            std::memcpy(pattern_ + pattern_size_, bytes, n);
            bytes += n;
            taken_ += static_cast<std::int64_t>(n);
            pattern_size_ += static_cast<int>(n);
            if (pattern_size_ == period_) put_run();
        } else {
            const std::uint8_t byte = *bytes++;
            ++taken_;
            header_[header_size_++] = byte;
            // A header is at most five bytes; all but the fifth say whether another follows.
            if (header_size_ < 5 && (byte & 0x80)) continue;
            if (!header_done()) {
                error_ = ERR_MALFORMED;
                return;
            }
        }
    }
    if (out_.error() != 0 && error_ == 0) error_ = out_.error();
}

int RunLengthExpander::finish() {
    if (error_ == 0 && (taken_ != length_ || header_size_ != 0 || literal_left_ != 0 || period_ != 0))
        error_ = ERR_MALFORMED;  // the form ends inside a token
    return error();
}

std::int64_t runlength_decode(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out) {
    if (length < 0 || !threshold_usable(threshold)) return ERR_MALFORMED;
    BufferedWriter writer(out, kWriteBuffer);
    RunLengthExpander expander(writer, length, threshold);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(length, kReadBuffer)));
    for (std::int64_t at = 0; at < length;) {
        const std::int64_t want = std::min<std::int64_t>(length - at, kReadBuffer);
        const std::int64_t got = in.read_at(at, buffer.data(), want);
        if (got < 0) return got;
        if (got == 0) return ERR_MALFORMED;  // the stream is shorter than its stated length
        expander.put(buffer.data(), static_cast<std::size_t>(got));
        if (expander.error() != 0) return expander.error();
        at += got;
    }
    if (int rc = expander.finish(); rc != 0) return rc;
    if (writer.flush() != 0) return writer.error();
    return expander.produced();
}

}  // namespace quoralith
