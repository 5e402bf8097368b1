// Owners of the compressors' contexts, so that every way out of a coding, a
// stop or a failure included, gives them back: a zstd context through
// unique_ptr (which can hand it on to a reader), an LZMA stream by scope.
#pragma once

#include <lzma.h>
#include <zstd.h>

#include <memory>

namespace quoralith::compact {

struct ZstdCctxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct ZstdDctxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using ZstdCctx = std::unique_ptr<ZSTD_CCtx, ZstdCctxFree>;
using ZstdDctx = std::unique_ptr<ZSTD_DCtx, ZstdDctxFree>;

struct LzmaStream {
    lzma_stream s = LZMA_STREAM_INIT;
    LzmaStream() = default;
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;
    ~LzmaStream() { lzma_end(&s); }
};

}  // namespace quoralith::compact
