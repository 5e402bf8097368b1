// The compact delta's header bytes: LEB128 varints for every size and time, so
// that a small delta pays a few bytes for them, and one seal over the header
// and Updated's content, so that no flipped bit in a field the content's
// digest does not cover (the times, the mode) passes unnoticed, without a
// checksum of the header's own beside it.
#include "coder/compact/compact_format.h"

#include <cstring>

#include "coder/compact/varint.h"
#include "coder/digest.h"
#include "base/errors.h"
#include "base/progress.h"

namespace quoralith::compact {

namespace {

// A header varint is at most 5 bytes (35 bits; every field fits in 33), and
// has one encoding per value: a last byte of zero after others is padding.
bool get_field(std::span<const std::uint8_t> bytes, std::size_t& at, std::uint64_t& value) {
    const std::size_t start = at;
    return get_varint(bytes, at, value, 5) && !(bytes[at - 1] == 0 && at - start > 1);
}

// Times are 32-bit seconds (unsigned, as the trailer reads them), -1 unknown:
// stored as value + 1, so that unknown costs one byte.
std::uint64_t time_field(std::int32_t time) { return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(time)) + 1) & 0xFFFFFFFFu; }

std::int64_t time_base(std::int32_t modification) {
    return modification == -1 ? 0 : static_cast<std::int64_t>(static_cast<std::uint32_t>(modification));
}


}  // namespace

void write_header(Header& header, const std::array<std::uint8_t, 16>& digest, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.insert(out.end(), kMagic, kMagic + 2);
    out.push_back(static_cast<std::uint8_t>(header.version << 4 | (header.has_base ? kHasBase : 0) | header.method));
    put_varint(out, header.updated_size);
    if (header.has_base) out.insert(out.end(), header.base_check, header.base_check + kBaseCheckSize);
    put_varint(out, header.mode);
    put_varint(out, time_field(header.modification_time));
    // The access time is usually close to the modification time: its
    // difference from it costs fewer bytes than the time itself.
    if (header.access_time == -1) {
        put_varint(out, 0);
    } else {
        const std::int64_t access = static_cast<std::uint32_t>(header.access_time);
        put_varint(out, zigzag(access - time_base(header.modification_time)) + 1);
    }
    std::vector<std::uint8_t> sealed(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
    sealed.insert(sealed.end(), digest.begin(), digest.end());
    const ContentDigest seal = digest_of_bytes(sealed.data(), sealed.size());
    std::memcpy(header.seal, seal.data(), kSealSize);
    out.insert(out.end(), header.seal, header.seal + kSealSize);
}

bool seal_holds(std::span<const std::uint8_t> bytes, std::size_t length, const std::array<std::uint8_t, 16>& digest) {
    if (length < kSealSize || length > bytes.size()) return false;
    std::vector<std::uint8_t> sealed(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length - kSealSize));
    sealed.insert(sealed.end(), digest.begin(), digest.end());
    const ContentDigest seal = digest_of_bytes(sealed.data(), sealed.size());
    return std::memcmp(seal.data(), bytes.data() + length - kSealSize, kSealSize) == 0;
}

HeaderState read_header(std::span<const std::uint8_t> bytes, Header& header, std::size_t& length) {
    header = Header{};
    length = 0;
    if (bytes.size() < 2 || std::memcmp(bytes.data(), kMagic, 2) != 0) return HeaderState::not_compact;
    if (bytes.size() < 3) return HeaderState::damaged;
    header.version = bytes[2] >> 4;
    if (header.version != kVersion) return HeaderState::unsupported;
    header.has_base = bytes[2] & kHasBase;
    header.method = bytes[2] & 0x07;
    std::size_t at = 3;
    std::uint64_t mode = 0, modification = 0, access = 0;
    if (!get_field(bytes, at, header.updated_size)) return HeaderState::damaged;
    if (header.updated_size > static_cast<std::uint64_t>(MAX_FILE_LENGTH)) return HeaderState::damaged;
    if (header.has_base) {
        if (bytes.size() - at < kBaseCheckSize) return HeaderState::damaged;
        std::memcpy(header.base_check, bytes.data() + at, kBaseCheckSize);
        at += kBaseCheckSize;
    }
    if (!get_field(bytes, at, mode) || !get_field(bytes, at, modification) || !get_field(bytes, at, access))
        return HeaderState::damaged;
    if (mode > (0777 | kModePlain) || modification > 0xFFFFFFFFu) return HeaderState::damaged;
    header.mode = static_cast<std::uint32_t>(mode);
    header.modification_time = static_cast<std::int32_t>(static_cast<std::uint32_t>(modification - 1));
    if (access == 0) {
        header.access_time = -1;
    } else {
        const std::int64_t time = time_base(header.modification_time) + unzigzag(access - 1);
        if (time < 0 || time > 0xFFFFFFFFLL) return HeaderState::damaged;
        header.access_time = static_cast<std::int32_t>(static_cast<std::uint32_t>(time));
        // -1 is the word for unknown, which has its own form above.
        if (header.access_time == -1) return HeaderState::damaged;
    }
    if (bytes.size() - at < kSealSize) return HeaderState::damaged;
    std::memcpy(header.seal, bytes.data() + at, kSealSize);
    at += kSealSize;
    if (header.method >= kMethodCount) return HeaderState::unsupported;
    length = at;
    return HeaderState::ok;
}

}  // namespace quoralith::compact
