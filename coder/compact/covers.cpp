// The cover coding (see covers.h): the search that finds the covers, and the
// coding of the three streams around them.
#include "coder/compact/covers.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "coder/compact/covers_search.h"
#include "coder/compact/covers_streams.h"
#include "coder/compact/varint.h"

namespace quoralith::compact {

namespace {

using streams::Method;

// The raw streams of one coding of Updated.
struct RawStreams {
    std::vector<std::uint8_t> control;  // per cover: new bytes before it, its length, its change of diagonal
    std::vector<std::uint8_t> diff;     // Updated minus Base over every cover, in runs (below)
    std::vector<std::uint8_t> fresh;    // the new bytes, in order
};

// The differences over all covers, one after another, are written as pairs
// (varint count of zeros, varint count of other bytes, those bytes): covers
// are mostly equal to Base, and a compressor spends a block header on every
// 128 KiB of zeros and a match on every short run of them, where a pair
// costs a byte or two. A run of other bytes ends at the first zero.
class DiffRuns {
public:
    explicit DiffRuns(std::vector<std::uint8_t>& out) : out_(out) {}
    void add(const std::uint8_t* u, const std::uint8_t* b, std::uint64_t n) {
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint8_t d = static_cast<std::uint8_t>(u[i] - b[i]);
            if (d == 0) {
                if (!literals_.empty()) flush();
                ++zeros_;
            } else {
                literals_.push_back(d);
            }
        }
    }
    void finish() {
        if (zeros_ || !literals_.empty()) flush();
    }

private:
    void flush() {
        put_varint(out_, zeros_);
        put_varint(out_, literals_.size());
        out_.insert(out_.end(), literals_.begin(), literals_.end());
        zeros_ = 0;
        literals_.clear();
    }
    std::vector<std::uint8_t>& out_;
    std::uint64_t zeros_ = 0;
    std::vector<std::uint8_t> literals_;
};

RawStreams split(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                 const std::vector<Cover>& covers) {
    RawStreams s;
    DiffRuns diff(s.diff);
    std::uint64_t q = 0, p_end = 0;
    for (const Cover& c : covers) {
        put_varint(s.control, c.q - q);
        put_varint(s.control, c.length);
        // The change of diagonal, not of Base position: new bytes written
        // over old ones leave the diagonal as it was, and cost a zero.
        put_varint(s.control, zigzag(static_cast<std::int64_t>(c.p - p_end) - static_cast<std::int64_t>(c.q - q)));
        s.fresh.insert(s.fresh.end(), updated.begin() + static_cast<std::ptrdiff_t>(q),
                       updated.begin() + static_cast<std::ptrdiff_t>(c.q));
        diff.add(updated.data() + c.q, base.data() + c.p, c.length);
        q = c.q + c.length;
        p_end = c.p + c.length;
    }
    diff.finish();
    s.fresh.insert(s.fresh.end(), updated.begin() + static_cast<std::ptrdiff_t>(q), updated.end());
    return s;
}

// Whether bytes read as text: hardly any control characters but tabs and
// line ends (bytes above 127 count as text, for UTF-8).
bool looks_like_text(std::span<const std::uint8_t> bytes) {
    std::size_t control = 0;
    for (const std::uint8_t b : bytes) control += b < 0x20 && b != '\t' && b != '\n' && b != '\r';
    return control * 100 <= bytes.size();
}

// Whether a stream's packed size is written: stored and zero streams have
// theirs implied by the raw size.
bool has_packed_size(Method m) { return m == Method::zstd || m == Method::xz; }

// The payload's first byte: two bits for each stream's method, or the
// joined flag and the one method of all three streams packed as one.
constexpr int kControlShift = 0, kDiffShift = 2, kFreshShift = 4;
constexpr int kJoined = 0x40;
// Streams are joined only when all three together are at most this large
// (a restore holds them whole), and only beside a small Base: packing them
// once more over Base takes time a large pair does not gain back.
constexpr std::uint64_t kJoinedLimit = std::uint64_t{64} << 10;
constexpr std::uint64_t kJoinedReach = std::uint64_t{1} << 20;

}  // namespace

bool encode_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                   const CoverOptions& options, std::vector<std::uint8_t>& payload) {
    const StopCheck& stop = options.stop;
    try {
        std::vector<Cover> covers = find_covers(base, updated, stop);
        const RawStreams raw = split(base, updated, covers);
        covers = {};
        const int level = options.level;
        // The small streams go to both compressors; the new bytes, with all
        // of Base before them, to the one that suits them: zstd's repeat
        // offsets serve text, where an edit shifts what follows it, and
        // xz's literal coding serves machine code. New bytes that do not
        // compress at all are stored without either's time over Base.
        constexpr streams::Try small = streams::Try::both;
        streams::Packed control = streams::pack(raw.control, {}, level, small, stop);
        streams::Packed diff = streams::pack(raw.diff, {}, level, small, stop);
        streams::Packed fresh;
        if (!streams::incompressible(raw.fresh, base)) {
            const streams::Try which = looks_like_text(raw.fresh) ? streams::Try::zstd : streams::Try::xz;
            fresh = streams::pack(raw.fresh, base, level, which, stop);
        } else {
            fresh.bytes = raw.fresh;
        }

        payload.clear();
        payload.push_back(static_cast<std::uint8_t>(static_cast<int>(control.method) << kControlShift |
                                                    static_cast<int>(diff.method) << kDiffShift |
                                                    static_cast<int>(fresh.method) << kFreshShift));
        put_varint(payload, raw.control.size());
        put_varint(payload, raw.diff.size());
        put_varint(payload, raw.fresh.size());
        if (has_packed_size(control.method)) put_varint(payload, control.bytes.size());
        if (has_packed_size(diff.method)) put_varint(payload, diff.bytes.size());
        payload.insert(payload.end(), control.bytes.begin(), control.bytes.end());
        payload.insert(payload.end(), diff.bytes.begin(), diff.bytes.end());
        payload.insert(payload.end(), fresh.bytes.begin(), fresh.bytes.end());

        // A small pair's streams also go as one, which saves two frames'
        // headers where a delta's every byte counts.
        const std::uint64_t total = raw.control.size() + raw.diff.size() + raw.fresh.size();
        if (total > 0 && total <= kJoinedLimit && base.size() + total <= kJoinedReach) {
            std::vector<std::uint8_t> all = raw.control;
            all.insert(all.end(), raw.diff.begin(), raw.diff.end());
            all.insert(all.end(), raw.fresh.begin(), raw.fresh.end());
            const streams::Packed joined = streams::pack(all, base, level, streams::Try::both, stop);
            std::vector<std::uint8_t> alternative;
            alternative.push_back(static_cast<std::uint8_t>(kJoined | static_cast<int>(joined.method)));
            put_varint(alternative, raw.control.size());
            put_varint(alternative, raw.diff.size());
            put_varint(alternative, raw.fresh.size());
            alternative.insert(alternative.end(), joined.bytes.begin(), joined.bytes.end());
            if (alternative.size() < payload.size()) payload = std::move(alternative);
        }
        const std::uint32_t check = lzma_crc32(payload.data(), payload.size(), 0);
        for (int i = 0; i < 4; ++i) payload.push_back(static_cast<std::uint8_t>(check >> (8 * i)));
        return true;
    } catch (const streams::Stopped&) {
        payload.clear();
        return false;
    }
}

namespace {

// Reads varints and bytes from a stream through a small buffer.
class VarintReader {
public:
    VarintReader(streams::Reader& reader, std::uint64_t size) : reader_(reader), left_(size) {}
    bool at_end() const { return at_ == end_ && left_ == 0; }
    bool varint(std::uint64_t& v) {
        return read_varint([this](std::uint8_t& b) { return next(b); }, v);
    }

    bool bytes(std::span<std::uint8_t> out) {
        for (std::uint8_t& b : out)
            if (!next(b)) return false;
        return true;
    }

private:
    bool next(std::uint8_t& b) {
        if (at_ == end_) {
            if (left_ == 0) return false;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, sizeof buffer_));
            if (!reader_.read({buffer_, n})) return false;
            left_ -= n;
            at_ = 0;
            end_ = n;
        }
        b = buffer_[at_++];
        return true;
    }

    streams::Reader& reader_;
    std::uint64_t left_;
    std::uint8_t buffer_[4096];
    std::size_t at_ = 0, end_ = 0;
};

// Collects output in pieces for the sink.
class Output {
public:
    explicit Output(const ByteSink& sink) : sink_(sink) {}
    std::span<std::uint8_t> room() { return {buffer_.data() + used_, buffer_.size() - used_}; }
    bool commit(std::size_t n) {
        used_ += n;
        if (used_ < buffer_.size()) return true;
        return flush();
    }
    bool flush() {
        if (used_ == 0) return true;
        const bool go_on = sink_(std::span<const std::uint8_t>(buffer_.data(), used_));
        used_ = 0;
        return go_on;
    }

private:
    const ByteSink& sink_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(std::size_t{64} << 10);
    std::size_t used_ = 0;
};

}  // namespace

DecodeStatus decode_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> payload,
                           std::uint64_t updated_size, const ByteSink& sink) {
    // A damaged payload is refused before a byte of it is decoded: its last
    // four bytes are a CRC-32 of the rest, which no flip of one bit or short
    // burst escapes.
    if (payload.size() < 5) return DecodeStatus::damaged;
    std::uint32_t check = 0;
    for (int i = 0; i < 4; ++i) check |= static_cast<std::uint32_t>(payload[payload.size() - 4 + static_cast<std::size_t>(i)]) << (8 * i);
    payload = payload.first(payload.size() - 4);
    if (lzma_crc32(payload.data(), payload.size(), 0) != check) return DecodeStatus::damaged;
    std::size_t at = 0;
    const std::uint8_t methods = payload[at++];
    const bool joined = (methods & kJoined) != 0;
    if ((methods & 0x80) || (joined && (methods & 0x3C))) return DecodeStatus::damaged;
    const Method control_method = static_cast<Method>(methods >> kControlShift & 3);
    const Method diff_method = static_cast<Method>(methods >> kDiffShift & 3);
    const Method fresh_method = static_cast<Method>(methods >> kFreshShift & 3);
    std::uint64_t control_raw, diff_raw, fresh_raw;
    if (!get_varint(payload, at, control_raw) || !get_varint(payload, at, diff_raw) ||
        !get_varint(payload, at, fresh_raw) || fresh_raw > updated_size)
        return DecodeStatus::damaged;
    // Every cover spans at least one byte and takes at most 30 control
    // bytes; a run pair codes at least one byte in at most 21 bytes of its
    // own. Larger claims are refused before any stream is opened.
    const std::uint64_t covered = updated_size - fresh_raw;
    if (control_raw / 30 > covered || diff_raw / 21 > covered) return DecodeStatus::damaged;

    std::unique_ptr<streams::Reader> control_stream, diff_stream, fresh_stream;
    std::vector<std::uint8_t> all;  // the joined streams, unpacked
    if (joined) {
        const std::uint64_t total = control_raw + diff_raw + fresh_raw;
        if (total == 0 || total > kJoinedLimit) return DecodeStatus::damaged;
        auto reader = streams::open_reader(control_method, payload.subspan(at), total, base);
        if (!reader) return DecodeStatus::damaged;
        all.resize(static_cast<std::size_t>(total));
        if (!reader->read(all) || !reader->finished()) return DecodeStatus::damaged;
        const std::span<const std::uint8_t> whole(all);
        control_stream = streams::open_reader(Method::stored, whole.first(static_cast<std::size_t>(control_raw)), control_raw, {});
        diff_stream = streams::open_reader(Method::stored, whole.subspan(static_cast<std::size_t>(control_raw), static_cast<std::size_t>(diff_raw)), diff_raw, {});
        fresh_stream = streams::open_reader(Method::stored, whole.subspan(static_cast<std::size_t>(control_raw + diff_raw)), fresh_raw, {});
    } else {
        auto packed_size = [&](Method m, std::uint64_t raw, std::uint64_t& packed) {
            packed = m == Method::stored ? raw : 0;
            return !has_packed_size(m) || get_varint(payload, at, packed);
        };
        std::uint64_t control_packed, diff_packed;
        if (!packed_size(control_method, control_raw, control_packed) ||
            !packed_size(diff_method, diff_raw, diff_packed))
            return DecodeStatus::damaged;
        if (control_packed > payload.size() - at || diff_packed > payload.size() - at - control_packed)
            return DecodeStatus::damaged;
        const auto control_bytes = payload.subspan(at, static_cast<std::size_t>(control_packed));
        const auto diff_bytes = payload.subspan(at + control_bytes.size(), static_cast<std::size_t>(diff_packed));
        const auto fresh_bytes = payload.subspan(at + control_bytes.size() + diff_bytes.size());
        control_stream = streams::open_reader(control_method, control_bytes, control_raw, {});
        diff_stream = streams::open_reader(diff_method, diff_bytes, diff_raw, {});
        fresh_stream = streams::open_reader(fresh_method, fresh_bytes, fresh_raw, base);
    }
    if (!control_stream || !diff_stream || !fresh_stream) return DecodeStatus::damaged;

    VarintReader control(*control_stream, control_raw);
    VarintReader diff_runs(*diff_stream, diff_raw);
    std::uint64_t zeros_left = 0, others_left = 0;
    Output out(sink);
    std::uint64_t q = 0, p_end = 0;
    auto copy_fresh = [&](std::uint64_t n) {
        while (n > 0) {
            auto room = out.room();
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, room.size()));
            if (!fresh_stream->read(room.first(k))) return DecodeStatus::damaged;
            n -= k;
            if (!out.commit(k)) return DecodeStatus::stopped;
        }
        return DecodeStatus::ok;
    };
    while (!control.at_end()) {
        std::uint64_t gap, length, step;
        if (!control.varint(gap) || !control.varint(length) || !control.varint(step)) return DecodeStatus::damaged;
        if (length == 0 || gap > updated_size - q || length > updated_size - q - gap) return DecodeStatus::damaged;
        const std::int64_t delta = unzigzag(step);
        // The cover's Base position: the previous cover's end, moved on by
        // the new bytes between them and by the change of diagonal, and
        // checked to lie wholly inside Base.
        constexpr std::uint64_t kFar = std::uint64_t{1} << 62;  // beyond any Base; sums stay in range
        if (gap > kFar) return DecodeStatus::damaged;
        const std::uint64_t anchor = p_end + gap;
        std::uint64_t p;
        if (delta < 0) {
            const std::uint64_t back = static_cast<std::uint64_t>(-(delta + 1)) + 1;
            if (back > anchor) return DecodeStatus::damaged;
            p = anchor - back;
        } else {
            if (static_cast<std::uint64_t>(delta) > kFar) return DecodeStatus::damaged;
            p = anchor + static_cast<std::uint64_t>(delta);
        }
        if (p > base.size() || length > base.size() - p) return DecodeStatus::damaged;
        if (const DecodeStatus s = copy_fresh(gap); s != DecodeStatus::ok) return s;
        const std::uint8_t* b = base.data() + p;
        for (std::uint64_t left = length; left > 0;) {
            if (zeros_left == 0 && others_left == 0) {
                if (!diff_runs.varint(zeros_left) || !diff_runs.varint(others_left) ||
                    (zeros_left == 0 && others_left == 0))
                    return DecodeStatus::damaged;
            }
            auto room = out.room();
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, room.size()));
            if (zeros_left > 0) {
                k = static_cast<std::size_t>(std::min<std::uint64_t>(k, zeros_left));
                std::memcpy(room.data(), b, k);
                zeros_left -= k;
            } else {
                k = static_cast<std::size_t>(std::min<std::uint64_t>(k, others_left));
                if (!diff_runs.bytes(room.first(k))) return DecodeStatus::damaged;
                for (std::size_t i = 0; i < k; ++i) room[i] = static_cast<std::uint8_t>(room[i] + b[i]);
                others_left -= k;
            }
            b += k;
            left -= k;
            if (!out.commit(k)) return DecodeStatus::stopped;
        }
        q += gap + length;
        p_end = p + length;
    }
    if (const DecodeStatus s = copy_fresh(updated_size - q); s != DecodeStatus::ok) return s;
    if (zeros_left != 0 || others_left != 0 || !diff_runs.at_end() || !control_stream->finished() ||
        !diff_stream->finished() || !fresh_stream->finished())
        return DecodeStatus::damaged;
    return out.flush() ? DecodeStatus::ok : DecodeStatus::stopped;
}

}  // namespace quoralith::compact
