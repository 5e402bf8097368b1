// The restore driver: verifies that a delta belongs to the given Base, then
// copies, unpacks or decodes its records into the output, undoing the
// run-length form where the method byte asks for it. Every count read from the
// delta is checked before it is used, so a corrupt delta ends in ERR_MALFORMED
// and never reads or writes outside the streams' bounds.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "coder/bitio.h"
#include "coder/coder.h"
#include "coder/digest.h"
#include "coder/packer.h"
#include "coder/runlength.h"

namespace quoralith {

namespace {

// Window transfers go in pieces of 0xFFFC bytes: pages and buffers of whole
// pieces make every page load and every flush full-sized transfers.
constexpr std::int64_t kTransferPiece = 0xFFFC;
constexpr std::size_t kWriteCapacity = 4 * kTransferPiece;
// Unpacked literal streams up to this length are kept in memory.
constexpr std::int64_t kMemoryLiterals = std::int64_t{1} << 20;

// Base' described by a map costs 28 bytes per token; past this many tokens
// (3.5 MiB; a Base of many short runs, such as a large archive of small
// files) it is stored in a temporary file instead.
constexpr std::size_t kMaxMapTokens = 1 << 17;

// A file as the records copy from it: jumps anywhere (positioned records,
// chunk offsets) mixed with long sequential runs. Pages of one transfer piece
// in a direct-mapped table make a jump cost one page read, never a reload of a
// large window. The table holds at most 64 pages; fewer when the copies are
// known to stay within a smaller span (an algorithm 0 chunk), since every page
// that is never reused costs fresh memory for nothing.
class BasePages {
public:
    static constexpr std::int64_t kPage = kTransferPiece;
    static constexpr std::int64_t kMaxSlots = 64;

    // `span`: the longest stretch the copies stay within at a time. The slot
    // count is a power of two, so that finding a page's slot is a mask.
    BasePages(Channel channel, std::int64_t length, std::int64_t span)
        : channel_(channel),
          length_(length),
          slots_(std::bit_ceil(static_cast<std::size_t>(std::clamp<std::int64_t>(span / kPage + 2, 1, kMaxSlots)))),
          slot_mask_(slots_.size() - 1) {}

    // Appends bytes [from, from + count) to `out`; returns 0 or a code.
    template <class Sink>
    int copy(std::int64_t from, std::int64_t count, Sink& out) {
        while (count > 0) {
            const std::int64_t page = from / kPage;
            Slot& slot = slots_[static_cast<std::size_t>(page) & slot_mask_];
            if (slot.page != page) {
                const std::int64_t start = page * kPage;
                const std::int64_t want = std::min<std::int64_t>(kPage, length_ - start);
                // Left uninitialised: the read fills what is used.
                if (!slot.bytes) slot.bytes.reset(new std::uint8_t[static_cast<std::size_t>(kPage)]);
                std::int64_t got = channel_.read_at(start, slot.bytes.get(), want);
                if (got < 0) return static_cast<int>(got);
                if (got != want) return ERR_READ_FAILED;
                slot.page = page;
            }
            const std::int64_t offset = from - page * kPage;
            const std::int64_t n = std::min(count, kPage - offset);
            out.put(slot.bytes.get() + offset, static_cast<std::size_t>(n));
            from += n;
            count -= n;
        }
        return 0;
    }

private:
    struct Slot {
        std::int64_t page = -1;
        std::unique_ptr<std::uint8_t[]> bytes;
    };
    Channel channel_;
    std::int64_t length_;
    std::vector<Slot> slots_;
    std::size_t slot_mask_;
};

// Base' itself: Base, a stored run-length form of it, or its run-length form
// described by a map over Base, which holds the tokens' headers and run
// patterns, the literal bytes being read from Base.
class BaseSource {
public:
    BaseSource(Channel channel, std::int64_t length, std::int64_t span, RunLengthMap* map)
        : pages_(channel, length, span), map_(map) {}

    // Appends Base' bytes [from, from + count) to `out`, a range the caller has
    // checked against Base'; returns 0 or a code.
    template <class Sink>
    int copy(std::int64_t from, std::int64_t count, Sink& out) {
        if (!map_) return pages_.copy(from, count, out);
        // Most copies lie within the literal bytes of the token the last one ended in.
        if (from >= literal_start_ && from + count <= literal_end_)
            return pages_.copy(literal_source_ + (from - literal_start_), count, out);
        return map_->walk(
            from, count, [&out](const std::uint8_t* bytes, std::int64_t n) { out.put(bytes, static_cast<std::size_t>(n)); },
            [this, &out](std::int64_t source, std::int64_t n, std::size_t index) {
                const RunLengthMap::Token& token = map_->token(index);
                literal_start_ = token.start + token.header_size;
                literal_end_ = map_->end_of(index);
                literal_source_ = token.source;
                return pages_.copy(source, n, out);
            });
    }

private:
    BasePages pages_;
    RunLengthMap* map_;
    // The literal bytes of the token last copied from: Base' [start, end) is
    // Base from `source` on.
    std::int64_t literal_start_ = 0;
    std::int64_t literal_end_ = 0;
    std::int64_t literal_source_ = 0;
};

// How far Base reaches under any stretch of `span` bytes of Base' described by
// `map`: a stretch that folds long runs takes its literal bytes from further
// apart in Base than its own length.
std::int64_t base_reach(const RunLengthMap& map, std::int64_t span) {
    // Moving a stretch's start through a literal's bytes moves its Base start
    // as fast as its Base end, and through a header or run moves only its end:
    // the widest stretches start where a token's data starts.
    std::int64_t widest = span;
    const std::size_t count = map.token_count();
    std::size_t last = 0;
    for (std::size_t first = 0; first < count; ++first) {
        const RunLengthMap::Token& from = map.token(first);
        const std::int64_t stop = from.start + from.header_size + span;
        last = std::max(last, first);
        while (last + 1 < count && map.token(last + 1).start < stop) ++last;
        const RunLengthMap::Token& t = map.token(last);
        const std::int64_t into = std::min(stop, map.end_of(last)) - t.start - t.header_size;
        const std::int64_t end = t.period != 0 ? t.source : t.source + std::max<std::int64_t>(into, 0);
        widest = std::max(widest, end - from.source);
    }
    return widest;
}

// Everything the record decoders need: the control bits, the literal stream,
// Base' behind a cache, and where Updated' goes: the output's writer, or the
// expander of its run-length form.
template <class Sink>
struct RecordDecoder {
    ControlReader& control;
    SequentialReader& literals;
    BaseSource& base;
    Sink& out;
    std::int64_t produced = 0;
    std::int64_t limit = 0;  // U
    int failure = 0;

    bool fail(int code = ERR_MALFORMED) {
        if (failure == 0) failure = code;
        return false;
    }
    bool ok() {
        if (control.overrun()) return fail(control.error() ? control.error() : ERR_MALFORMED);
        if (out.error()) return fail(out.error());
        return failure == 0;
    }
    bool copy_literals(std::int64_t count) {
        if (count < 0 || count > limit - produced) return fail();
        if (!literals.feed(out, count)) return fail(literals.error() ? literals.error() : ERR_MALFORMED);
        produced += count;
        return true;
    }
    // Copies `count` bytes of Base' from `from`, which must lie within [lo, hi).
    bool copy_base(std::int64_t from, std::int64_t count, std::int64_t lo, std::int64_t hi) {
        if (count < 0 || count > limit - produced || from < lo || from > hi - count) return fail();
        if (int rc = base.copy(from, count, out); rc < 0) return fail(rc);
        produced += count;
        return true;
    }
};

// Records of algorithms 1 to 15.
template <class Sink>
int decode_records(RecordDecoder<Sink>& d, std::int64_t base_length, int rice) {
    const int position_bits = bit_length_min1(base_length > 0 ? static_cast<std::uint64_t>(base_length - 1) : 0);
    std::int64_t p = 0;
    while (d.produced < d.limit) {
        std::int64_t literal;
        if (d.control.get_flag()) {
            literal = static_cast<std::int64_t>(d.control.get_count()) - 1;
            if (!d.ok() || !d.copy_literals(literal)) return d.failure;
            if (d.produced == d.limit) break;  // the final record has no position field
            p = d.control.get_bits(position_bits);
        } else {
            literal = static_cast<std::int64_t>(d.control.get_rice(rice)) - 1;
            p += static_cast<std::int64_t>(d.control.get_rice(rice)) - 1;
            if (!d.ok() || !d.copy_literals(literal)) return d.failure;
            if (d.produced == d.limit) break;
        }
        std::int64_t substitutions = static_cast<std::int64_t>(d.control.get_count()) - 1;
        if (!d.ok()) return d.failure;
        for (std::int64_t i = 0; i <= substitutions; ++i) {
            std::int64_t equal = d.control.get_count();
            if (!d.ok() || !d.copy_base(p, equal, 0, base_length)) return d.failure;
            p += equal;
            if (i == substitutions) break;
            std::int64_t replaced = d.control.get_flag() ? 2 : 1;
            if (!d.ok() || !d.copy_literals(replaced)) return d.failure;
            p += replaced;
        }
    }
    return d.ok() ? 0 : d.failure;
}

// Records of algorithm 0, with Base' cut into overlapping chunks.
template <class Sink>
int decode_chunked_records(RecordDecoder<Sink>& d, std::int64_t base_length, std::int64_t window) {
    const std::int64_t n = base_length;
    std::int64_t step;
    std::int64_t chunks;
    if (window < n) {
        step = window * 75 / 100;
        if (step == 0) return ERR_MALFORMED;
        chunks = n / step;
        if (window < n - (n / step - 1) * step) ++chunks;
    } else {
        chunks = 1;
        step = window;
    }
    const std::int32_t u32 = static_cast<std::int32_t>(d.limit);
    // (c + 1) * U div K with the product wrapping in 32 bits, as every coder computes it.
    auto boundary = [&](std::int64_t c) -> std::int64_t {
        std::int32_t product = static_cast<std::int32_t>(static_cast<std::uint32_t>(c + 1) * static_cast<std::uint32_t>(u32));
        return product / static_cast<std::int32_t>(chunks);
    };
    auto is_last = [&](std::int64_t c) { return n - c * step <= window || c >= chunks - 1; };
    const int position_bits = bit_length_min1(window > 0 ? static_cast<std::uint64_t>(window - 1) : 0);

    std::int64_t c = 0;
    while (d.produced < d.limit) {
        const std::int64_t chunk_start = c * step;
        const std::int64_t chunk_length = std::min(window, n - chunk_start);
        if (chunk_length < 0) return ERR_MALFORMED;
        const std::int64_t slice_end = is_last(c) ? d.limit : boundary(c);
        while (d.produced < slice_end) {
            std::int64_t literal = static_cast<std::int64_t>(d.control.get_count()) - 1;
            if (!d.ok() || !d.copy_literals(literal)) return d.failure;
            if (d.produced >= slice_end) break;
            int code = static_cast<int>(d.control.get_bits(3));
            std::int64_t q = d.control.get_bits(position_bits);
            std::int64_t substitutions = static_cast<std::int64_t>(d.control.get_count()) - 1;
            if (!d.ok()) return d.failure;
            if (code > 5) return ERR_MALFORMED;
            for (std::int64_t i = 0; i <= substitutions; ++i) {
                std::int64_t equal = d.control.get_rice(code);
                if (!d.ok() || !d.copy_base(chunk_start + q, equal, chunk_start, chunk_start + chunk_length))
                    return d.failure;
                q += equal;
                if (i == substitutions) break;
                std::int64_t replaced = d.control.get_flag() ? 2 : 1;
                if (!d.ok() || !d.copy_literals(replaced)) return d.failure;
                q += replaced;
            }
        }
        while (!is_last(c) && d.produced >= boundary(c)) ++c;
    }
    return d.ok() ? 0 : d.failure;
}

struct RestoreRun {
    CoderContext& context;
    Channel base;
    Channel delta;
    Channel output;
};

// Writes the run-length form of Base to `file` and returns its length (or a code).
std::int64_t transform_base(Channel& base, std::uint32_t threshold, TempFile& file) {
    if (!file.open()) return ERR_TEMP_FILE;
    Channel out = file.channel();
    return runlength_encode(base, base.length(), threshold, out);
}

// What the output must digest to, when the delta or the caller says.
struct Expectation {
    bool active = false;
    ExpectedContent content;
};

// The Base check a trailer carries, and whether Base is known to pass it. A
// delta without a trailer has no check: its Base counts as verified.
struct BaseCheck {
    int length = 0;
    std::uint8_t stored[kCheckLong];
    bool verified = true;

    int compare(const std::uint8_t* computed) const {
        return std::memcmp(stored, computed, static_cast<std::size_t>(length)) == 0 ? 0 : ERR_WRONG_BASE;
    }
    // Computes the check over Base, unless it is known already; 0 when it passes.
    int verify(Channel& base) {
        if (verified) return 0;
        std::uint8_t computed[kCheckLong];
        const int rc = compute_check_block(base, length, computed);
        if (rc < 0) return rc;
        const int result = compare(computed);
        verified = result == 0;
        return result;
    }
};

// Reads the trailer and the check bytes before it, and the record of Updated's
// digest when the trailer holds one. `d_len` becomes the length of what
// precedes them, which ends with the method byte.
int read_trailer(RestoreRun& run, TrailerRecord* trailer, TrailerRecord& local, BaseCheck& check, Expectation& want,
                 std::int64_t& d_len) {
    if (d_len < kTrailerSize) return ERR_MALFORMED;
    int rc = run.delta.read_exact_at(d_len - kTrailerSize, local.bytes.data(), kTrailerSize);
    if (rc < 0) return rc;
    if (!local.has_magic()) return ERR_MALFORMED;
    check.length = local.check_length();
    if (check.length < 0 || check.length > kCheckLong) return ERR_MALFORMED;
    if (d_len < check.length + kTrailerSize + 1) return ERR_MALFORMED;
    rc = run.delta.read_exact_at(d_len - kTrailerSize - check.length, check.stored, check.length);
    if (rc < 0) return rc;
    *trailer = local;
    d_len -= check.length + kTrailerSize;
    check.verified = false;
    UpdatedRecord record;
    switch (read_updated_record(local, record)) {
        case RecordState::damaged:
            return ERR_RECORD_DAMAGED;
        case RecordState::present:
            want.active = true;
            want.content.digest = record.digest;
            want.content.compared = kDigestSize;
            break;
        case RecordState::absent:
            break;
    }
    return 0;
}

// What the method byte says of the delta before it.
struct Method {
    int algorithm;
    AlgorithmParams params;
    bool packed;
    bool matched;
    bool updated_rle;
    bool base_rle;

    explicit Method(std::uint8_t method)
        : algorithm(method & 0x0F), params(algorithm_params(algorithm)), packed(method & MB_PACKED),
          matched(method & MB_MATCHED), updated_rle(method & MB_UPDATED_RLE),
          // A transformed Base only matters to a match-coded delta.
          base_rle(matched && (method & MB_BASE_RLE)) {}
};

// Base' as the records copy from it: Base itself; Base read through a map of
// its run-length form, which spares writing the whole form out and reading it
// back; or that form stored in a temporary file when the map would have too
// many tokens.
struct BasePrime {
    std::int64_t source_length;  // of what the copies read: Base, or the stored form
    std::int64_t length;         // of Base'; a code when mapping it failed
    RunLengthMap map;
    TempFile file;
    Channel channel;
    RunLengthMap* used_map = nullptr;

    explicit BasePrime(Channel& base) : source_length(base.length()), length(source_length), channel(base) {}

    // Maps the run-length form of Base. Where the map reads the whole of
    // Base, the Base check is folded into that pass.
    int map_base(RestoreRun& run, const Method& method, BaseCheck& check) {
        CheckFold fold(source_length);
        length = runlength_map(run.base, source_length, method.params.run_threshold, kMaxMapTokens, map,
                               check.verified ? nullptr : &fold);
        if (!check.verified && fold.folded() == source_length) {
            std::uint8_t computed[kCheckLong];
            fold.finish(check.length, computed);
            if (check.compare(computed) != 0) return ERR_WRONG_BASE;
            check.verified = true;
        }
        return 0;
    }

    // Settles where the copies read from once the records are to be decoded:
    // the map, or the stored form when the map ran out of room.
    int open(RestoreRun& run, const Method& method) {
        if (!method.base_rle) return 0;
        if (length == ERR_NO_MEMORY) {
            map = RunLengthMap();
            length = transform_base(run.base, method.params.run_threshold, file);
            if (length < 0) return static_cast<int>(length);
            channel = Channel::of_file(file.get(), run.context, SLOT_FIRST);
            source_length = length;
        } else if (length < 0) {
            return static_cast<int>(length);
        } else {
            used_map = &map;
        }
        return 0;
    }
};

// A delta that is not match coded: its data is Updated', perhaps packed, perhaps
// in run-length form.
int restore_unmatched(RestoreRun& run, const Method& method, std::int64_t data_length) {
    TempFile unpacked;
    Channel source = run.delta;
    std::int64_t source_length = data_length;
    if (method.packed) {
        if (!method.updated_rle) {
            std::int64_t n = unpack_stream(run.delta, 0, data_length, method.params.packer_threshold, run.output);
            return static_cast<int>(n);
        }
        if (!unpacked.open()) return ERR_TEMP_FILE;
        Channel tmp = unpacked.channel();
        source_length = unpack_stream(run.delta, 0, data_length, method.params.packer_threshold, tmp);
        if (source_length < 0) return static_cast<int>(source_length);
        source = tmp;
    }
    if (method.updated_rle) {
        if (!source.seek(0)) return ERR_MALFORMED;
        return static_cast<int>(runlength_decode(source, source_length, method.params.run_threshold, run.output));
    }
    if (!source.seek(0)) return ERR_MALFORMED;
    return static_cast<int>(copy_channel(source, run.output, source_length));
}

// The fields that end a match-coded payload: U, (W',) V.
struct MatchHeader {
    std::int64_t updated_length = 0;
    std::int64_t window = 0;
    std::int64_t control_length = 0;
    std::int64_t payload_end = 0;  // where the header begins
};

int read_match_header(RestoreRun& run, int algorithm, std::int64_t d_len, MatchHeader& out) {
    const int header = algorithm == 0 ? 11 : 8;
    if (d_len < header + 2) return ERR_MALFORMED;
    std::uint8_t head[11];
    const int rc = run.delta.read_exact_at(d_len - 1 - header, head, header);
    if (rc < 0) return rc;
    out.updated_length = get_be32(head);
    if (algorithm == 0) {
        out.window = static_cast<std::int64_t>(head[4]) << 16 | head[5] << 8 | head[6];
        out.control_length = get_be32(head + 7);
    } else {
        out.control_length = get_be32(head + 4);
    }
    out.payload_end = d_len - 1 - header;
    if (out.updated_length > MAX_FILE_LENGTH || out.control_length > out.payload_end) return ERR_MALFORMED;
    return 0;
}

// The literal stream of a match-coded delta, where the records read it: in the
// delta itself, or unpacked into memory or a temporary file.
struct Literals {
    TempFile file;
    std::vector<std::uint8_t> bytes;
    Channel channel;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

int unpack_literals(RestoreRun& run, const Method& method, const MatchHeader& header, Literals& out) {
    out.channel = run.delta;
    out.offset = header.control_length;
    out.length = header.payload_end - header.control_length;
    if (!method.packed) return 0;
    // Short literal streams (most deltas of small changes) are unpacked
    // into memory; long ones into a temporary file, as memory stays bounded.
    const std::int64_t unpacked = packed_length(run.delta, header.control_length, header.payload_end);
    if (unpacked < 0) return static_cast<int>(unpacked);
    if (unpacked <= kMemoryLiterals) {
        out.bytes.reserve(static_cast<std::size_t>(unpacked));
        out.channel = Channel::of_memory(out.bytes);
    } else {
        if (!out.file.open()) return ERR_TEMP_FILE;
        out.channel = out.file.channel();
    }
    out.length = unpack_stream(run.delta, header.control_length, header.payload_end, method.params.packer_threshold,
                               out.channel);
    if (out.length < 0) return static_cast<int>(out.length);
    out.offset = 0;
    return 0;
}

// Decodes the records of a match-coded delta into the output; returns the
// length of Updated, or a code.
int decode_matched(RestoreRun& run, const Method& method, const MatchHeader& header, Literals& literal_stream,
                   BasePrime& base) {
    const std::int64_t updated_length = header.updated_length;
    ControlReader control(run.delta, 0, header.control_length);
    SequentialReader literals(literal_stream.channel, literal_stream.offset, literal_stream.length,
                              static_cast<std::size_t>(std::clamp<std::int64_t>(literal_stream.length, 1, 1 << 16)));
    // Algorithm 0 copies stay within one chunk at a time, each chunk a little
    // further on; other records may jump anywhere in Base'. Through a map,
    // what counts is how far apart in Base the bytes of such a stretch lie.
    std::int64_t span = method.algorithm == 0 ? std::min(header.window, base.length) : base.length;
    if (base.used_map) span = span < base.length ? base_reach(*base.used_map, span) : base.source_length;
    BaseSource base_source(base.channel, base.source_length, span, base.used_map);
    // Sized to Updated' when that is short: fresh memory costs as much to
    // bring in as the bytes it holds. An expansion may be far longer.
    BufferedWriter writer(run.output, method.updated_rle
                                          ? kWriteCapacity
                                          : static_cast<std::size_t>(std::clamp<std::int64_t>(
                                                updated_length, 1, static_cast<std::int64_t>(kWriteCapacity))));
    auto decode = [&](auto& sink) {
        RecordDecoder<std::remove_reference_t<decltype(sink)>> decoder{control, literals, base_source, sink};
        decoder.limit = updated_length;
        return method.algorithm == 0 ? decode_chunked_records(decoder, base.length, header.window)
                                     : decode_records(decoder, base.length, method.params.rice);
    };
    // Updated' in run-length form is expanded as the records produce it.
    std::int64_t written = updated_length;
    int rc;
    if (method.updated_rle) {
        RunLengthExpander expander(writer, updated_length, method.params.run_threshold);
        rc = decode(expander);
        if (rc == 0) rc = expander.finish();
        written = expander.produced();
    } else {
        rc = decode(writer);
    }
    int flushed = writer.flush();
    if (rc < 0) return rc;
    if (flushed < 0) return flushed;
    if (run.context.stopped()) return ERR_STOPPED;
    return static_cast<int>(written);
}

// The steps of a restore, in the order their failures must be told: the
// trailer, the Base check (before anything else the delta says), then the
// data, its literals, Base' and the records.
int restore_body(RestoreRun& run, TrailerRecord* trailer, TrailerRecord& local, Expectation& want,
                 DigestBuilder& digest) {
    if (run.base.length() > MAX_FILE_LENGTH || run.delta.length() > MAX_FILE_LENGTH) return ERR_MALFORMED;
    if (run.context.window(SLOT_FIRST)->length < 0 || run.context.window(SLOT_SECOND)->length < 0)
        return ERR_READ_FAILED;
    std::int64_t d_len = run.delta.length();

    BaseCheck check;
    if (trailer) {
        if (const int rc = read_trailer(run, trailer, local, check, want, d_len); rc < 0) return rc;
    }
    // The output is digested as it is written: the check costs no pass of its own.
    if (want.active) run.context.digest_output(&digest);
    if (d_len < 1) {
        const int rc = check.verify(run.base);
        return rc < 0 ? rc : ERR_MALFORMED;
    }

    std::uint8_t method_byte = 0;
    int rc = run.delta.read_exact_at(d_len - 1, &method_byte, 1);
    if (rc < 0) {
        const int verified = check.verify(run.base);
        return verified < 0 ? verified : rc;
    }
    const Method method(method_byte);

    // Where Base is read for its run-length map anyway, the check is folded in that pass.
    BasePrime base(run.base);
    if (method.base_rle && (rc = base.map_base(run, method, check)) < 0) return rc;
    if ((rc = check.verify(run.base)) < 0) return rc;

    if (!method.matched) return restore_unmatched(run, method, d_len - 1);
    MatchHeader header;
    if ((rc = read_match_header(run, method.algorithm, d_len, header)) < 0) return rc;
    Literals literals;
    if ((rc = unpack_literals(run, method, header, literals)) < 0) return rc;
    if ((rc = base.open(run, method)) < 0) return rc;
    return decode_matched(run, method, header, literals, base);
}

// Compares the digest of the `written` bytes of output with what was expected.
int check_output(RestoreRun& run, const DigestBuilder& digest, int written, const Expectation& want) {
    ContentDigest got{};
    // Every decoder here writes each output byte once, in runs the builder
    // follows; should one ever not, the finished output is read back instead.
    if (!digest.finish(written, got)) {
        if (const int rc = digest_of_channel(run.output, written, got); rc < 0) return rc;
    }
    const std::size_t compared = std::min(want.content.compared, kDigestSize);
    return std::memcmp(got.data(), want.content.digest.data(), compared) == 0 ? written : ERR_CONTENT_MISMATCH;
}

}  // namespace

int coder_restore(StreamWindow* base, StreamWindow* delta, StreamWindow* output, const ProgressCallback& callback,
                  TrailerRecord* trailer, const ExpectedContent* expected) {
    TrailerRecord local;
    CoderContext context(callback, -2, local.tag());
    StreamWindow no_base;
    no_base.file = nullptr;
    context.register_windows(base ? base : &no_base, delta, output);
    RestoreRun run{context, Channel::of_window(context, SLOT_FIRST), Channel::of_window(context, SLOT_SECOND),
                   Channel::of_window(context, SLOT_THIRD)};
    Expectation want;
    if (expected && !trailer) {
        want.active = true;
        want.content = *expected;
    }
    DigestBuilder digest;
    int result;
    try {
        result = restore_body(run, trailer, local, want, digest);
        if (result >= 0 && want.active && !context.stopped()) result = check_output(run, digest, result, want);
    } catch (const std::bad_alloc&) {
        result = ERR_NO_MEMORY;
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

}  // namespace quoralith
