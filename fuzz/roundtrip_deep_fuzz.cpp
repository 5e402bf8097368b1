// libFuzzer target: the round trip of roundtrip_check.h through the deep
// search. It has a target of its own because it costs ten to a hundred times
// a numbered algorithm on the same bytes (its thorough packer above all): in
// the numbered target it would take most of the time.
//
// Input: byte 0 (bit 4: the short 4-byte check; bit 5: a window of 4096
// bytes, so that a larger pair is searched part by part), bytes 1-2 the Base
// length (little-endian, cut to what is there), then the Base, then Updated.
// Each side keeps at most 2 KiB, or 6 KiB with the small window.
#include <algorithm>
#include <cstdint>

#include "coder/deep.h"
#include "roundtrip_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    if (size < 3) return 0;
    const bool short_check = data[0] & 0x10;
    const bool parts = data[0] & 0x20;
    DeepOptions options;
    if (parts) options.window = 4096;
    const std::size_t most = parts ? 6 * 1024 : 2 * 1024;
    std::size_t base_length = static_cast<std::size_t>(data[1] | data[2] << 8);
    data += 3;
    size -= 3;
    if (base_length > size) base_length = size;
    const std::uint8_t* updated = data + base_length;
    const std::size_t updated_length = std::min(size - base_length, most);
    fuzz::round_trip(data, std::min(base_length, most), updated, updated_length, short_check,
                     parts ? "deep search, window 4096" : "deep search",
                     [&options](StreamWindow* b, StreamWindow* u, StreamWindow* d, const TrailerRecord& trailer) {
                         return coder_create_deep(b, u, d, {}, trailer, nullptr, options);
                     });
    return 0;
}
