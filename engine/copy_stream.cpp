// The stream copy routine: used by the merge pass and the failure action "copy".
#include <algorithm>
#include <cerrno>

#include "coder/digest.h"
#include "engine/engine.h"

namespace quoralith {

std::int64_t engine_copy_stream(std::FILE* source, std::FILE* destination, int rewind, std::int64_t limit,
                                const ProgressCallback& callback, DigestBuilder* digest) {
    constexpr std::int64_t kChunk = 2048;
    if (!source || !destination) return 0;
    auto answer = [&callback](const ProgressRecord& r) {
        return callback ? callback(r) : default_progress_callback(r);
    };
    ProgressRecord record;
    record.algorithm = -1;
    if (rewind & 2) std::rewind(source);
    if (rewind & 1) std::rewind(destination);

    std::uint8_t buffer[kChunk];
    std::int64_t copied = 0;
    int read_error = 0;
    for (;;) {
        record.code = PM_READ_BASE;
        record.position = static_cast<std::int32_t>(std::min<std::int64_t>(copied, INT32_MAX));
        if (answer(record) == ANSWER_STOP) return ERR_STOPPED;
        const std::int64_t chunk = std::min(limit - copied, kChunk);
        if (chunk <= 0) break;
        errno = 0;
        const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(chunk), source);
        if (got < static_cast<std::size_t>(chunk) && std::ferror(source)) read_error = errno ? errno : EIO;
        if (got > 0) {
            record.code = PM_WRITE_OUTPUT;
            if (answer(record) == ANSWER_STOP) return ERR_STOPPED;
            errno = 0;
            // A short write (a full disk) must never pass for a finished copy.
            if (std::fwrite(buffer, 1, got, destination) != got) return errno_code(ERR_COPY_WRITE, errno);
            if (digest) digest->add(copied, buffer, got);
            copied += static_cast<std::int64_t>(got);
        }
        if (got != static_cast<std::size_t>(chunk)) break;
    }
    if (read_error || std::ferror(source)) return errno_code(ERR_COPY_READ, read_error);
    errno = 0;
    if (std::fflush(destination) != 0 || std::ferror(destination)) return errno_code(ERR_COPY_WRITE, errno);
    return copied;
}

}  // namespace quoralith
