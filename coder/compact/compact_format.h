// The compact delta's header: the fields it carries about Base and Updated,
// the seal that binds them to Updated's content, and their bytes. docs/compact-format.md describes the layout; the payload
// that follows the header belongs to the method the header names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quoralith::compact {

constexpr std::uint8_t kMagic[2] = {0x51, 0xCD};
constexpr std::uint8_t kVersion = 1;
// Byte 2: the version in the high four bits, then whether the delta was made
// from a Base (and carries its check), then the method.
constexpr std::uint8_t kHasBase = 0x08;

// How the payload is coded.
enum Method : std::uint8_t {
    METHOD_STORED = 0,  // Updated's bytes as they are
    METHOD_ZSTD = 1,    // one magicless zstd frame, Base as its prefix
    METHOD_XZ = 2,      // a raw LZMA2 stream, Base as its preset dictionary
    METHOD_COVERS = 3,  // the cover search's own payload
};
constexpr std::uint8_t kMethodCount = 4;

constexpr std::size_t kBaseCheckSize = 4;
constexpr std::size_t kSealSize = 8;
// No header is longer: 3 fixed bytes, four varints of at most 5 bytes, the
// Base check and the seal.
constexpr std::size_t kMaxHeader = 3 + 4 * 5 + kBaseCheckSize + kSealSize;
// The mode field's bit that says the delta carries no record of Updated's
// permission bits (the plain form): only its owner's read and write bits count.
constexpr std::uint32_t kModePlain = 0x200;

struct Header {
    std::uint8_t version = kVersion;
    std::uint8_t method = METHOD_STORED;
    bool has_base = false;
    std::uint64_t updated_size = 0;
    std::uint8_t base_check[kBaseCheckSize] = {};  // only with a Base
    std::uint32_t mode = 0;                        // permission bits, plus kModePlain
    std::int32_t modification_time = -1;           // as the trailer's slots: -1 unknown
    std::int32_t access_time = -1;
    std::uint8_t seal[kSealSize] = {};
};

// Appends the header's bytes to `out`, sealed for Updated's content digest
// `digest`: the seal is the leading bytes of the digest of every header byte
// before it followed by `digest`, so that a flipped bit anywhere in the header
// or the content is found.
void write_header(Header& header, const std::array<std::uint8_t, 16>& digest, std::vector<std::uint8_t>& out);

// Whether the header read from `bytes` (its first `length` bytes) is sealed
// for the content digest `digest`.
bool seal_holds(std::span<const std::uint8_t> bytes, std::size_t length, const std::array<std::uint8_t, 16>& digest);

enum class HeaderState {
    ok,
    not_compact,   // no compact magic at the start
    damaged,       // cut short, a varint that runs on, or a value out of range
    unsupported,   // a sound header of a later version or an unknown method
};
// Reads the header at the start of `bytes`; `length` receives its size.
HeaderState read_header(std::span<const std::uint8_t> bytes, Header& header, std::size_t& length);

}  // namespace quoralith::compact
