// libFuzzer target: the restore driver on arbitrary Base and delta bytes. Any
// input must end in a result code, never a read or write out of bounds.
//
// Input: byte 0 (bit 0: the delta ends with a trailer record, as single files
// do; clear: a bare body, as archive members are), bytes 1-2 the Base length
// (little-endian, cut to what is there), then the Base, then the delta.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "coder/coder.h"
#include "memory_file.h"

namespace {

using quoralith::fuzz::memory_file;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    if (size < 3) return 0;
    const bool with_trailer = data[0] & 1;
    std::size_t base_length = static_cast<std::size_t>(data[1] | data[2] << 8);
    data += 3;
    size -= 3;
    if (base_length > size) base_length = size;

    std::FILE* base_file = memory_file("base", data, base_length);
    std::FILE* delta_file = memory_file("delta", data + base_length, size - base_length);
    std::FILE* output_file = memory_file("output", nullptr, 0);

    // A tiny delta may expand into a huge output (long runs); past 16 MiB the
    // run is stopped, which is a clean ending too.
    constexpr std::int32_t kOutputLimit = 16 << 20;
    const ProgressCallback callback = [](const ProgressRecord& record) -> std::int16_t {
        return record.code == PM_WRITE_OUTPUT && record.position > kOutputLimit ? ANSWER_STOP : ANSWER_SKIP;
    };
    StreamWindow base{base_file};
    StreamWindow delta{delta_file};
    StreamWindow output{output_file, 0, 0, 0};
    TrailerRecord trailer;
    const int result = coder_restore(&base, &delta, &output, callback, with_trailer ? &trailer : nullptr);
    if (result > 0 && output.length < 0) std::abort();

    std::fclose(base_file);
    std::fclose(delta_file);
    std::fclose(output_file);
    return 0;
}
