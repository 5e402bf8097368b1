// libFuzzer target: create then restore on arbitrary Base and Updated bytes,
// with any numbered algorithm (roundtrip_check.h says what is checked; the
// deep search has a target of its own, roundtrip_deep_fuzz.cpp).
//
// Input: byte 0 (bits 0-3: the algorithm; bit 4: the short 4-byte check),
// bytes 1-2 the Base length (little-endian, cut to what is there), then the
// Base, then Updated. Each side keeps at most 256 bytes, the rest is cut
// (and the fuzzer is run with -max_len=515, so that it makes no longer
// inputs): enough for both sides to pass the 200 bytes below which nothing
// is matched, while a run stays short. Under the sanitizers a run costs
// about in proportion to its sizes, some microseconds a byte where the
// match finders and the block packer meet repetitive data, and a fixed part
// for algorithm 0's chunk index. With these bounds (and the coder built at
// -O1, fuzz/CMakeLists.txt) the target runs some 1,400 inputs a second on
// one core, where inputs of up to 22 KiB with the deep search among them
// ran two or three.
#include <cstdint>
#include <string>

#include "roundtrip_check.h"

namespace {

constexpr std::size_t kMostPerSide = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    fuzz::Pair pair;
    if (!fuzz::split_pair(data, size, kMostPerSide, pair)) return 0;
    const int algorithm = pair.choices & 0x0F;
    const bool short_check = pair.choices & 0x10;
    const std::string what = "algorithm " + std::to_string(algorithm);
    fuzz::round_trip(pair.base, pair.base_length, pair.updated, pair.updated_length, short_check, what.c_str(),
                     [algorithm](StreamWindow* b, StreamWindow* u, StreamWindow* d, const TrailerRecord& trailer) {
                         return coder_create(b, u, d, algorithm, {}, trailer);
                     });
    return 0;
}
