// The content digest of Updated and the trailer record that carries it.
//
// XXH3 comes from Debian's xxhash header, compiled into this file: the hash
// runs at memory speed (a restore writes far slower than it hashes), and
// inlined it needs no library at link time, so the command line stays one
// static program.
#include "coder/digest.h"

#include <algorithm>

#include "coder/format.h"

#define XXH_INLINE_ALL
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

namespace quoralith {

#if defined(QUORALITH_XXH3_AVX2)
namespace xxh3_avx2 {
XXH128_hash_t hash128(const void* data, size_t size);
void update128(XXH3_state_t* state, const void* data, size_t size);
}  // namespace xxh3_avx2
#endif

namespace {

// The same hash either way; the AVX2 build runs about twice as fast.
#if defined(QUORALITH_XXH3_AVX2)
bool have_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}
#endif

XXH128_hash_t leaf_hash(const std::uint8_t* bytes, std::size_t count) {
#if defined(QUORALITH_XXH3_AVX2)
    if (have_avx2()) return xxh3_avx2::hash128(bytes, count);
#endif
    return XXH3_128bits(bytes, count);
}

void leaf_update(XXH3_state_t* state, const std::uint8_t* bytes, std::size_t count) {
#if defined(QUORALITH_XXH3_AVX2)
    if (have_avx2()) return xxh3_avx2::update128(state, bytes, count);
#endif
    XXH3_128bits_update(state, bytes, count);
}

ContentDigest canonical(XXH128_hash_t hash) {
    XXH128_canonical_t bytes;
    XXH128_canonicalFromHash(&bytes, hash);
    ContentDigest out;
    std::memcpy(out.data(), bytes.digest, kDigestSize);
    return out;
}

std::int64_t leaf_count(std::int64_t length) { return (length + kDigestLeaf - 1) / kDigestLeaf; }

}  // namespace

ContentDigest digest_of_bytes(const std::uint8_t* bytes, std::size_t count) {
    DigestBuilder builder;
    builder.add(0, bytes, count);
    ContentDigest out{};
    builder.finish(static_cast<std::int64_t>(count), out);
    return out;
}

// Hashing from the leaf's start goes straight into a running XXH3 state;
// only bytes that arrive ahead of that start (a decoder that writes from the
// end backwards) are copied, into a buffer made when first needed.
struct DigestBuilder::Partial {
    XXH3_state_t state;
    std::int64_t streamed = 0;                // [0, streamed) is in the state
    std::unique_ptr<std::uint8_t[]> ahead;    // bytes [ahead_lo, ahead_hi) of the leaf
    std::int64_t ahead_lo = 0;
    std::int64_t ahead_hi = 0;

    Partial() { XXH3_128bits_reset(&state); }
    void stream(const std::uint8_t* bytes, std::int64_t count) {
        leaf_update(&state, bytes, static_cast<std::size_t>(count));
        streamed += count;
        if (ahead && streamed == ahead_lo && ahead_hi > ahead_lo) {
            leaf_update(&state, ahead.get() + ahead_lo, static_cast<std::size_t>(ahead_hi - ahead_lo));
            streamed = ahead_hi;
            ahead.reset();
            ahead_lo = ahead_hi = 0;
        }
    }
    // Takes [offset, offset + count) when it adjoins what is held; false otherwise.
    bool take(std::int64_t offset, const std::uint8_t* bytes, std::int64_t count) {
        if (offset == streamed) {
            if (ahead && offset + count > ahead_lo) return false;  // over bytes held ahead
            stream(bytes, count);
            return true;
        }
        if (offset < streamed) return false;  // written twice
        if (!ahead) {
            ahead.reset(new std::uint8_t[kDigestLeaf]);  // uninitialised: only filled bytes are read
            ahead_lo = ahead_hi = offset;
        }
        if (offset == ahead_hi) {
            ahead_hi += count;
        } else if (offset + count == ahead_lo) {
            ahead_lo = offset;
        } else {
            return false;  // a gap, or a byte written twice
        }
        std::memcpy(ahead.get() + offset, bytes, static_cast<std::size_t>(count));
        return true;
    }
};

DigestBuilder::DigestBuilder() = default;
DigestBuilder::~DigestBuilder() = default;

void DigestBuilder::add(std::int64_t position, const std::uint8_t* bytes, std::size_t count) {
    if (broken_ || count == 0) return;
    if (position < 0 || position > MAX_FILE_LENGTH || count > static_cast<std::size_t>(MAX_FILE_LENGTH)) {
        broken_ = true;
        return;
    }
    auto remaining = static_cast<std::int64_t>(count);
    while (remaining > 0 && !broken_) {
        const std::int64_t leaf = position / kDigestLeaf;
        const std::int64_t offset = position % kDigestLeaf;
        const std::int64_t take = std::min(remaining, kDigestLeaf - offset);
        if (offset == 0 && take == kDigestLeaf && !partial_.count(leaf)) {
            if (leaf_done(leaf)) {
                broken_ = true;
                return;
            }
            record_leaf(leaf, canonical(leaf_hash(bytes, static_cast<std::size_t>(take))));
        } else {
            add_to_leaf(leaf, offset, bytes, take);
        }
        position += take;
        bytes += take;
        remaining -= take;
    }
}

void DigestBuilder::add_to_leaf(std::int64_t leaf, std::int64_t offset, const std::uint8_t* bytes,
                                std::int64_t count) {
    if (leaf_done(leaf)) {
        broken_ = true;
        return;
    }
    auto found = partial_.find(leaf);
    if (found == partial_.end()) {
        if (partial_.size() >= kMaxPartials) {
            broken_ = true;
            return;
        }
        found = partial_.emplace(leaf, std::make_unique<Partial>()).first;
    }
    Partial& part = *found->second;
    if (!part.take(offset, bytes, count)) {
        broken_ = true;
        return;
    }
    if (part.streamed == kDigestLeaf) {
        record_leaf(leaf, canonical(XXH3_128bits_digest(&part.state)));
        partial_.erase(found);
    }
}

void DigestBuilder::record_leaf(std::int64_t leaf, const ContentDigest& digest) {
    const auto index = static_cast<std::size_t>(leaf);
    if (leaves_.size() <= index) {
        leaves_.resize(index + 1);
        done_.resize(index + 1, 0);
    }
    leaves_[index] = digest;
    done_[index] = 1;
}

bool DigestBuilder::finish(std::int64_t length, ContentDigest& out) const {
    if (broken_ || length < 0) return false;
    const std::int64_t leaves = leaf_count(length);
    const std::int64_t tail = length % kDigestLeaf;  // bytes of a last, short leaf
    const std::int64_t full = tail ? leaves - 1 : leaves;
    // Nothing may have been written past the end.
    for (std::size_t i = static_cast<std::size_t>(full); i < done_.size(); ++i)
        if (done_[i]) return false;
    for (std::int64_t i = 0; i < full; ++i)
        if (!leaf_done(i)) return false;
    std::vector<std::uint8_t> list(static_cast<std::size_t>(leaves) * kDigestSize);
    for (std::int64_t i = 0; i < full; ++i)
        std::memcpy(list.data() + i * kDigestSize, leaves_[static_cast<std::size_t>(i)].data(), kDigestSize);
    if (tail) {
        if (partial_.size() != 1) return false;
        const auto& [leaf, part] = *partial_.begin();
        if (leaf != full || part->streamed != tail || part->ahead) return false;
        const ContentDigest last = canonical(XXH3_128bits_digest(&part->state));
        std::memcpy(list.data() + full * kDigestSize, last.data(), kDigestSize);
    } else if (!partial_.empty()) {
        return false;
    }
    out = canonical(XXH3_128bits_withSeed(list.data(), list.size(), static_cast<XXH64_hash_t>(length)));
    return true;
}

int digest_of_channel(Channel& channel, std::int64_t length, ContentDigest& out) {
    DigestBuilder builder;
    constexpr std::int64_t kChunk = 4 * kDigestLeaf;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(kChunk, std::max<std::int64_t>(length, 1))));
    if (!channel.seek(0)) return ERR_READ_FAILED;
    std::int64_t done = 0;
    while (done < length) {
        const std::int64_t want = std::min(length - done, static_cast<std::int64_t>(buffer.size()));
        const std::int64_t got = channel.read(buffer.data(), want);
        if (got < 0) return static_cast<int>(got);
        if (got == 0) return ERR_MALFORMED;
        builder.add(done, buffer.data(), static_cast<std::size_t>(got));
        done += got;
    }
    return builder.finish(length, out) ? 0 : ERR_MALFORMED;
}

int coder_digest(StreamWindow* window, const ProgressCallback& callback, std::int16_t algorithm,
                 ContentDigest& out) {
    CoderContext context(callback, algorithm, nullptr);
    // Registered as the first window, so that its reads go out as PM_READ_BASE:
    // they keep Stop live but move no progress bar, which follows the reads
    // of Updated that the coding itself makes.
    context.register_windows(window, nullptr, nullptr);
    if (window->length < 0) return ERR_READ_FAILED;
    if (window->length > MAX_FILE_LENGTH) return ERR_MALFORMED;
    Channel channel = Channel::of_window(context, SLOT_FIRST);
    int result;
    try {
        result = digest_of_channel(channel, window->length, out);
    } catch (const std::bad_alloc&) {
        result = ERR_NO_MEMORY;
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

std::uint16_t crc16(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc) {
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    return crc;
}

namespace {

constexpr int kRecordCrcAt = 32;  // trailer offsets

std::uint16_t trailer_crc(const TrailerRecord& trailer) {
    const std::uint16_t first = crc16(trailer.bytes.data() + 8, kRecordCrcAt - 8);
    return crc16(trailer.bytes.data() + kRecordCrcAt + 2, kTrailerSize - kRecordCrcAt - 2, first);
}

}  // namespace

void write_updated_record(TrailerRecord& trailer, const UpdatedRecord& record) {
    std::uint8_t* tag = trailer.tag();
    std::memcpy(tag, kRecordTag, sizeof kRecordTag);
    tag[3] = kRecordVersion;
    const std::uint16_t mode = record.mode & 0777;
    tag[4] = static_cast<std::uint8_t>(mode);
    tag[5] = static_cast<std::uint8_t>(mode >> 8);
    std::memcpy(tag + 6, record.digest.data(), kDigestSize);
    trailer.put16(kRecordCrcAt, trailer_crc(trailer));
}

RecordState read_updated_record(const TrailerRecord& trailer, UpdatedRecord& record) {
    const std::uint8_t* tag = trailer.tag();
    // Only the bare format's zeros mean "no record": a field that is neither
    // those nor a record that checks may be our record with a flipped bit, and
    // reading it as absent would switch the verification off.
    if (std::all_of(tag, tag + TrailerRecord::kTagSize, [](std::uint8_t b) { return b == 0; }))
        return RecordState::absent;
    if (std::memcmp(tag, kRecordTag, sizeof kRecordTag) != 0 || tag[3] != kRecordVersion) return RecordState::damaged;
    if (trailer.get16(kRecordCrcAt) != trailer_crc(trailer)) return RecordState::damaged;
    const auto mode = static_cast<std::uint16_t>(tag[4] | tag[5] << 8);
    if (mode & ~0777u) return RecordState::damaged;
    record.mode = mode;
    std::memcpy(record.digest.data(), tag + 6, kDigestSize);
    return RecordState::present;
}

}  // namespace quoralith
