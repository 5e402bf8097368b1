// libFuzzer target: the compact restore on arbitrary Base and delta bytes. Any
// input must end in a result code, never a read or write out of bounds, and
// nothing the delta claims may drive an allocation.
//
// Input: byte 0 (bit 0: the delta is decoded against no Base at all), bytes
// 1-2 the Base length (little-endian, cut to what is there), then the Base,
// then the delta. The header's seal is checked only once the payload is
// decoded, so the fuzzer's changes reach the decoders.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "coder/compact/compact.h"
#include "memory_file.h"
#include "roundtrip_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    // The second part of the pair is the delta, never cut.
    fuzz::Pair pair;
    if (!fuzz::split_pair(data, size, SIZE_MAX, pair)) return 0;
    const bool no_base = pair.choices & 1;
    const std::vector<std::uint8_t> delta(pair.updated, pair.updated + pair.updated_length);
    // The output file is sized to what the header claims (up to 1 GiB) before
    // decoding; in memory files that would be the fuzzer's memory, so larger
    // claims are left to the unit tests.
    compact::Header header;
    std::size_t length = 0;
    if (compact::read_header(delta, header, length) == compact::HeaderState::ok && header.updated_size > (16u << 20))
        return 0;

    std::FILE* base_file = fuzz::memory_file("base", pair.base, pair.base_length);
    std::FILE* delta_file = fuzz::memory_file("delta", delta.data(), delta.size());
    std::FILE* output_file = fuzz::memory_file("output", nullptr, 0);
    StreamWindow base{no_base ? nullptr : base_file};
    StreamWindow delta_window{delta_file};
    StreamWindow output{output_file, 0, 0, 0};
    TrailerRecord trailer;
    const int result = compact_restore(&base, &delta_window, &output, {}, &trailer);
    if (result >= 0 && static_cast<std::uint64_t>(result) != header.updated_size) std::abort();
    std::fclose(base_file);
    std::fclose(delta_file);
    std::fclose(output_file);
    return 0;
}
