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
#include "roundtrip_check.h"

namespace {

using quoralith::fuzz::memory_file;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quoralith;
    // The second part of the pair is the delta, never cut.
    fuzz::Pair pair;
    if (!fuzz::split_pair(data, size, SIZE_MAX, pair)) return 0;
    const bool with_trailer = pair.choices & 1;

    std::FILE* base_file = memory_file("base", pair.base, pair.base_length);
    std::FILE* delta_file = memory_file("delta", pair.updated, pair.updated_length);
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
