// libFuzzer target: create then restore on arbitrary Base and Updated bytes,
// with any algorithm. Whatever the content, the restored file must equal
// Updated byte for byte ("Corruption!" otherwise), and neither driver may read
// or write out of bounds.
//
// Input: byte 0 (bits 0-3: the algorithm; bit 4: the short 4-byte check; bit
// 5: the deep search instead of the algorithm, with a window of 4096 bytes
// when bit 6 is set too, so that larger inputs are searched part by part),
// bytes 1-2 the Base length (little-endian, cut to what is there), then the
// Base, then Updated.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "coder/coder.h"
#include "coder/deep.h"
#include "memory_file.h"

namespace {

using quoralith::fuzz::memory_file;

std::vector<std::uint8_t> contents(std::FILE* file) {
    std::fflush(file);
    std::fseek(file, 0, SEEK_END);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    if (size < 3) return 0;
    const int algorithm = data[0] & 0x0F;
    const bool short_check = data[0] & 0x10;
    const bool deep = data[0] & 0x20;
    DeepOptions options;
    if (data[0] & 0x40) options.window = 4096;
    std::size_t base_length = static_cast<std::size_t>(data[1] | data[2] << 8);
    data += 3;
    size -= 3;
    if (base_length > size) base_length = size;

    std::FILE* base = memory_file("base", data, base_length);
    std::FILE* updated = memory_file("updated", data + base_length, size - base_length);
    std::FILE* delta = memory_file("delta", nullptr, 0);
    std::FILE* restored = memory_file("restored", nullptr, 0);
    const ProgressCallback go_on = [](const ProgressRecord&) -> std::int16_t { return ANSWER_SKIP; };

    TrailerRecord trailer;
    trailer.set_check_length(static_cast<std::int16_t>(short_check ? kCheckShort : kCheckLong));
    StreamWindow b{base}, u{updated}, d{delta, 0, 0, 0};
    const int delta_length = deep ? coder_create_deep(&b, &u, &d, go_on, trailer, nullptr, options)
                                  : coder_create(&b, &u, &d, algorithm, go_on, trailer);
    if (delta_length < 0) {
        std::fprintf(stderr, "create failed with %d\n", delta_length);
        std::abort();
    }
    if (static_cast<std::size_t>(delta_length) != contents(delta).size()) {
        std::fprintf(stderr, "create reported %d bytes but wrote %zu\n", delta_length, contents(delta).size());
        std::abort();
    }

    TrailerRecord read_back;
    StreamWindow b2{base}, d2{delta}, o{restored, 0, 0, 0};
    const int restored_length = coder_restore(&b2, &d2, &o, go_on, &read_back);
    const std::vector<std::uint8_t> expected(data + base_length, data + size);
    if (restored_length != static_cast<int>(expected.size()) || contents(restored) != expected) {
        std::fprintf(stderr, "Corruption! %s %d: restore gave %d, expected %zu bytes\n",
                     deep ? "deep search, window" : "algorithm", deep ? static_cast<int>(options.window) : algorithm,
                     restored_length, expected.size());
        std::abort();
    }

    std::fclose(base);
    std::fclose(updated);
    std::fclose(delta);
    std::fclose(restored);
    return 0;
}
