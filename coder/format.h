// The fixed parts of the delta format: trailer record, Base check block, method
// byte and the per-algorithm parameters. docs/delta-format.md describes the bytes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "coder/stream.h"

namespace quoralith {

constexpr std::array<std::uint8_t, 8> kTrailerMagic = {0x64, 0x31, 0x30, 0x5F, 0x33, 0x03, 0x05, 0x07};
constexpr int kTrailerSize = 56;
constexpr int kCheckLong = 256;
constexpr int kCheckShort = 4;

// The 56-byte record at the very end of every delta. Multi-byte fields are
// little-endian in the file; the accessors convert.
struct TrailerRecord {
    std::array<std::uint8_t, kTrailerSize> bytes{};

    static constexpr int kTagOffset = 10;  // 24 reserved bytes carried verbatim
    static constexpr int kTagSize = 24;

    void set_magic() { std::memcpy(bytes.data(), kTrailerMagic.data(), kTrailerMagic.size()); }
    bool has_magic() const { return std::memcmp(bytes.data(), kTrailerMagic.data(), kTrailerMagic.size()) == 0; }

    std::int16_t check_length() const { return static_cast<std::int16_t>(get16(8)); }
    void set_check_length(std::int16_t l) { put16(8, static_cast<std::uint16_t>(l)); }

    const std::uint8_t* tag() const { return bytes.data() + kTagOffset; }
    std::uint8_t* tag() { return bytes.data() + kTagOffset; }

    // Time slots 0..4 at offsets 34, 38, 42, 46, 50: slot 1 is the access time,
    // slot 2 the modification time, the others are reserved (-1).
    std::int32_t time_slot(int i) const { return static_cast<std::int32_t>(get32(34 + 4 * i)); }
    void set_time_slot(int i, std::int32_t v) { put32(34 + 4 * i, static_cast<std::uint32_t>(v)); }
    std::int32_t access_time() const { return time_slot(1); }
    std::int32_t modification_time() const { return time_slot(2); }

    // Bit 0 readable, bit 1 writable; 0xFFFF when unknown.
    std::uint16_t attributes() const { return get16(54); }
    void set_attributes(std::uint16_t a) { put16(54, a); }

    std::uint16_t get16(int at) const { return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8); }
    std::uint32_t get32(int at) const {
        return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
               static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    }
    void put16(int at, std::uint16_t v) {
        bytes[at] = static_cast<std::uint8_t>(v);
        bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    void put32(int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
};

// Method byte bits (low four bits: the algorithm number).
constexpr std::uint8_t MB_PACKED = 0x10;
constexpr std::uint8_t MB_MATCHED = 0x20;
constexpr std::uint8_t MB_UPDATED_RLE = 0x40;
constexpr std::uint8_t MB_BASE_RLE = 0x80;

// Per-algorithm parameters of the format (T, P, g) and of the encoder.
struct AlgorithmParams {
    std::uint32_t run_threshold;     // T, run-length form
    std::uint32_t packer_threshold;  // P, block packer pre-pass
    int rice;                        // g of relative records (0 = count code)
    int granularity;                 // G
    int window;
    int back_window;
    int min_match;                   // M
    int key_length;
    bool fingerprint;                // sequential + fingerprint search
    bool sequential;
};

AlgorithmParams algorithm_params(int algorithm);

// The check block of Base: 256 bytes (length, then a 252-byte XOR fold), or that
// block folded to 4 bytes when `length` is 4. Reads the Base channel from its
// start; returns 0 or a negative code. `out` receives `length` bytes (<= 256).
int compute_check_block(Channel& base, int length, std::uint8_t* out);
// Cuts or folds a 256-byte check block to `length` bytes, as above.
void fold_check_block(const std::uint8_t* block, int length, std::uint8_t* out);

// The check block of a Base of `total` bytes, built from its bytes in order as
// another pass over Base reads them.
class CheckFold {
public:
    explicit CheckFold(std::int64_t total);
    void add(const std::uint8_t* bytes, std::size_t count);  // the next `count` bytes of Base
    std::int64_t folded() const { return folded_; }
    void finish(int length, std::uint8_t* out) const { fold_check_block(block_, length, out); }

private:
    std::uint8_t block_[kCheckLong] = {};
    int fold_ = 0;  // folded_ mod 252
    std::int64_t folded_ = 0;
};

// Number of bits needed for v (bit length), at least 1.
inline int bit_length_min1(std::uint64_t v) {
    int n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n < 1 ? 1 : n;
}

inline void put_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t get_be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace quoralith
