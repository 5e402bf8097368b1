// libFuzzer target: the round trip of roundtrip_check.h through the deep
// search. It has a target of its own because it costs ten to a hundred times
// a numbered algorithm on the same bytes (its thorough packer above all): in
// the numbered target it would take most of the time.
//
// Input: byte 0 (bit 4: the short 4-byte check; bit 5: a window of 4096
// bytes, so that a larger pair is searched part by part), bytes 1-2 the Base
// length (little-endian, cut to what is there), then the Base, then Updated.
// Each side keeps at most 2 KiB, or 6 KiB with the small window.
#include <cstdint>

#include "coder/deep.h"
#include "roundtrip_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    if (size < 1) return 0;
    const bool short_check = data[0] & 0x10;
    const bool parts = data[0] & 0x20;
    DeepOptions options;
    if (parts) options.window = 4096;
    fuzz::Pair pair;
    if (!fuzz::split_pair(data, size, parts ? 6 * 1024 : 2 * 1024, pair)) return 0;
    fuzz::round_trip(pair.base, pair.base_length, pair.updated, pair.updated_length, short_check,
                     parts ? "deep search, window 4096" : "deep search",
                     [&options](StreamWindow* b, StreamWindow* u, StreamWindow* d, const TrailerRecord& trailer) {
                         return coder_create_deep(b, u, d, {}, trailer, nullptr, options);
                     });
    return 0;
}
