// What the round-trip fuzz targets share: a create and a restore on Base and
// Updated bytes in in-memory files, and the checks on what they give. Whatever
// the content, the restored file must equal Updated byte for byte
// ("Corruption!" otherwise), no delta may be larger than Updated stored (its
// bytes, the method byte, the check block and the trailer), and neither driver
// may read or write out of bounds.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "coder/coder.h"
#include "memory_file.h"

namespace quoralith::fuzz {

// A fuzz input read as a pair: byte 0 holds the target's own choices, bytes
// 1-2 Base's length (little-endian), and Base and Updated follow, each cut to
// `most` bytes. False for an input too short to hold the three bytes.
struct Pair {
    std::uint8_t choices = 0;
    const std::uint8_t* base = nullptr;
    std::size_t base_length = 0;
    const std::uint8_t* updated = nullptr;
    std::size_t updated_length = 0;
};

inline bool split_pair(const std::uint8_t* data, std::size_t size, std::size_t most, Pair& pair) {
    if (size < 3) return false;
    pair.choices = data[0];
    std::size_t base_length = static_cast<std::size_t>(data[1] | data[2] << 8);
    data += 3;
    size -= 3;
    if (base_length > size) base_length = size;
    pair.base = data;
    pair.base_length = base_length < most ? base_length : most;
    pair.updated = data + base_length;
    pair.updated_length = size - base_length < most ? size - base_length : most;
    return true;
}

inline std::vector<std::uint8_t> contents(std::FILE* file) {
    std::fflush(file);
    std::fseek(file, 0, SEEK_END);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
    return bytes;
}

// Empties `file` (made on first use) and fills it with `size` bytes: the four
// files are made once, since making and closing them is a good part of a
// small input's run.
inline void refill(std::FILE*& file, const char* name, const std::uint8_t* data, std::size_t size) {
    if (!file) file = memory_file(name, nullptr, 0);
    std::fflush(file);
    if (ftruncate(fileno(file), 0) != 0) std::abort();
    std::rewind(file);
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fflush(file);
    std::rewind(file);
}

// Makes the delta with `create` (given the three windows and the trailer),
// restores it and checks both. `what` names the coding in a failure's words.
using Create = std::function<int(StreamWindow*, StreamWindow*, StreamWindow*, const TrailerRecord&)>;
inline void round_trip(const std::uint8_t* base_data, std::size_t base_length, const std::uint8_t* updated_data,
                       std::size_t updated_length, bool short_check, const char* what, const Create& create) {
    static std::FILE *base, *updated, *delta, *restored;
    refill(base, "base", base_data, base_length);
    refill(updated, "updated", updated_data, updated_length);
    refill(delta, "delta", nullptr, 0);
    refill(restored, "restored", nullptr, 0);

    TrailerRecord trailer;
    const int check_length = short_check ? kCheckShort : kCheckLong;
    trailer.set_check_length(static_cast<std::int16_t>(check_length));
    StreamWindow b{base}, u{updated}, d{delta, 0, 0, 0};
    const int delta_length = create(&b, &u, &d, trailer);
    if (delta_length < 0) {
        std::fprintf(stderr, "%s: create failed with %d\n", what, delta_length);
        std::abort();
    }
    if (static_cast<std::size_t>(delta_length) != contents(delta).size()) {
        std::fprintf(stderr, "%s: create reported %d bytes but wrote %zu\n", what, delta_length, contents(delta).size());
        std::abort();
    }
    const std::size_t stored = updated_length + 1 + static_cast<std::size_t>(check_length) + kTrailerSize;
    if (static_cast<std::size_t>(delta_length) > stored) {
        std::fprintf(stderr, "%s: a delta of %d bytes, more than the %zu of Updated stored\n", what, delta_length,
                     stored);
        std::abort();
    }

    TrailerRecord read_back;
    const ProgressCallback go_on = [](const ProgressRecord&) -> std::int16_t { return ANSWER_SKIP; };
    StreamWindow b2{base}, d2{delta}, o{restored, 0, 0, 0};
    const int restored_length = coder_restore(&b2, &d2, &o, go_on, &read_back);
    const std::vector<std::uint8_t> expected(updated_data, updated_data + updated_length);
    if (restored_length != static_cast<int>(expected.size()) || contents(restored) != expected) {
        std::fprintf(stderr, "Corruption! %s: restore gave %d, expected %zu bytes\n", what, restored_length,
                     expected.size());
        std::abort();
    }
}

}  // namespace quoralith::fuzz
