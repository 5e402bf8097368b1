// libFuzzer target: compact create then restore on arbitrary Base and Updated
// bytes, with each method alone or all competing. The restored file must equal
// Updated ("Corruption!" otherwise), no delta may be larger than Updated
// stored behind the largest header, and neither side may read or write out of
// bounds.
//
// Input: byte 0 (bits 0-1: all methods, zstd, LZMA2 or stored only), bytes
// 1-2 the Base length (little-endian, cut to what is there), then the Base,
// then Updated, each cut to 4 KiB.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "coder/compact/compact.h"
#include "roundtrip_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    fuzz::Pair pair;
    if (!fuzz::split_pair(data, size, 4096, pair)) return 0;
    static const unsigned kMethods[4] = {~0u, 1u << compact::METHOD_ZSTD, 1u << compact::METHOD_XZ, 0u};
    CompactOptions options;
    options.methods = kMethods[pair.choices & 3];

    static std::FILE *base, *updated, *delta, *restored;
    fuzz::refill(base, "base", pair.base, pair.base_length);
    fuzz::refill(updated, "updated", pair.updated, pair.updated_length);
    fuzz::refill(delta, "delta", nullptr, 0);
    fuzz::refill(restored, "restored", nullptr, 0);

    TrailerRecord trailer;
    for (int i = 0; i < 5; ++i) trailer.set_time_slot(i, -1);
    trailer.set_time_slot(2, 1700000000);
    write_updated_record(trailer, UpdatedRecord{0644, digest_of_bytes(pair.updated, pair.updated_length)});
    StreamWindow b{base}, u{updated}, d{delta, 0, 0, 0};
    const int delta_length = compact_create(&b, &u, &d, {}, trailer, options);
    if (delta_length < 0 || static_cast<std::size_t>(delta_length) != fuzz::contents(delta).size() ||
        static_cast<std::size_t>(delta_length) > pair.updated_length + compact::kMaxHeader) {
        std::fprintf(stderr, "compact create gave %d for %zu bytes\n", delta_length, pair.updated_length);
        std::abort();
    }
    StreamWindow b2{base}, d2{delta}, o{restored, 0, 0, 0};
    TrailerRecord read_back;
    const int restored_length = compact_restore(&b2, &d2, &o, {}, &read_back);
    const std::vector<std::uint8_t> expected(pair.updated, pair.updated + pair.updated_length);
    if (restored_length != static_cast<int>(expected.size()) || fuzz::contents(restored) != expected) {
        std::fprintf(stderr, "Corruption! compact restore gave %d, expected %zu bytes\n", restored_length,
                     expected.size());
        std::abort();
    }
    return 0;
}
