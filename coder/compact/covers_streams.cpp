// The compressed streams of the cover payload (see covers_streams.h).
#define ZSTD_STATIC_LINKING_ONLY  // the frame format without its magic number
#include "coder/compact/covers_streams.h"
#include "coder/compact/codec_handles.h"

#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace quoralith::compact::streams {

namespace {

// Pieces a stream is compressed in between stop checks, and given back in.
constexpr std::size_t kPiece = std::size_t{1} << 20;
constexpr std::size_t kReadPiece = std::size_t{64} << 10;
// Streams up to this size are compressed more than one way.
constexpr std::size_t kSmallStream = std::size_t{1} << 20;

// Smallest window log that holds `bytes`, within what zstd accepts.
int window_log(std::uint64_t bytes) {
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < ZSTD_WINDOWLOG_MAX_64 && (std::uint64_t{1} << log) < bytes) ++log;
    return log;
}


// The settings are ours and always valid, so the one failure a compression
// meets is memory running out.
void check_zstd(std::size_t result) {
    if (ZSTD_isError(result)) throw std::bad_alloc();
}

std::vector<std::uint8_t> zstd_pack(std::span<const std::uint8_t> raw, std::span<const std::uint8_t> prefix,
                                    int level, const std::function<bool()>& stop) {
    ZstdCctx cctx(ZSTD_createCCtx());
    if (!cctx) throw std::bad_alloc();
    ZSTD_CCtx* c = cctx.get();
    const std::uint64_t reach = raw.size() + prefix.size();
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, std::clamp(level, 1, ZSTD_maxCLevel())));
    // The window spans the prefix and the stream, so every byte of Base
    // stays in reach; the long-distance matcher finds what the level's own
    // tables are too small to hold.
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log(reach)));
    if (reach > (std::uint64_t{1} << 20))
        check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1));
    // Each stream's size is in the payload's header; the frame carries it
    // too (the decoder checks the two agree) but nothing else it can spare.
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless));
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0));
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0));
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1));
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(c, raw.size()));
    if (!prefix.empty()) check_zstd(ZSTD_CCtx_refPrefix(c, prefix.data(), prefix.size()));

    std::vector<std::uint8_t> out(ZSTD_compressBound(std::min(raw.size(), kPiece)) + 64);
    std::size_t used = 0;
    ZSTD_inBuffer in{raw.data(), 0, 0};
    std::size_t fed = 0;
    for (;;) {
        const std::size_t piece = std::min(kPiece, raw.size() - fed);
        fed += piece;
        in.size = fed;
        const ZSTD_EndDirective mode = fed == raw.size() ? ZSTD_e_end : ZSTD_e_continue;
        for (;;) {
            if (out.size() - used < ZSTD_CStreamOutSize()) out.resize(out.size() + std::max(out.size() / 2, ZSTD_CStreamOutSize()));
            ZSTD_outBuffer o{out.data(), out.size(), used};
            const std::size_t left = ZSTD_compressStream2(c, &o, &in, mode);
            check_zstd(left);
            used = o.pos;
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) break;
        }
        if (mode == ZSTD_e_end) break;
        if (stop && stop()) throw Stopped{};
    }
    out.resize(used);
    return out;
}

lzma_options_lzma xz_options(std::uint64_t raw, std::span<const std::uint8_t> prefix) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 9);
    options.dict_size = xz_dictionary(raw, prefix.size());
    if (!prefix.empty()) {
        options.preset_dict = prefix.data();
        options.preset_dict_size = static_cast<std::uint32_t>(prefix.size());
    }
    return options;
}

// Empty when xz could not compress it (out of memory or a refusal); the
// caller then keeps another form.
std::vector<std::uint8_t> xz_pack(std::span<const std::uint8_t> raw, std::span<const std::uint8_t> prefix,
                                  bool plain_literals, const std::function<bool()>& stop) {
    lzma_options_lzma options = xz_options(raw.size(), prefix);
    // A stream much smaller than its preset dictionary spends most of its
    // time putting the dictionary into the match finder; hash chains do
    // that several times faster than binary trees, for a few bytes more.
    if (prefix.size() > 16 * raw.size() && prefix.size() > (std::size_t{1} << 20)) options.mf = LZMA_MF_HC4;
    if (plain_literals) {
        // No literal context and no position bits: varints and differences
        // do not follow from the byte before them or from their alignment.
        options.lc = 0;
        options.lp = 0;
        options.pb = 0;
    }
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    LzmaStream stream;
    lzma_stream& s = stream.s;
    if (lzma_raw_encoder(&s, filters) != LZMA_OK) return {};
    std::vector<std::uint8_t> out(raw.size() / 2 + 4096);
    s.next_in = raw.data();
    std::size_t fed = 0;
    lzma_ret r = LZMA_OK;
    while (r != LZMA_STREAM_END) {
        if (s.avail_in == 0 && fed < raw.size()) {
            const std::size_t piece = std::min(kPiece, raw.size() - fed);
            s.avail_in = piece;
            fed += piece;
            if (stop && stop()) throw Stopped{};
        }
        if (s.total_out == out.size()) out.resize(out.size() + out.size() / 2);
        s.next_out = out.data() + s.total_out;
        s.avail_out = out.size() - s.total_out;
        r = lzma_code(&s, fed == raw.size() ? LZMA_FINISH : LZMA_RUN);
        if (r != LZMA_OK && r != LZMA_STREAM_END) {
            if (r == LZMA_MEM_ERROR) throw std::bad_alloc();
            return {};
        }
    }
    out.resize(s.total_out);
    return out;
}

// --- readers -------------------------------------------------------------

class StoredReader final : public Reader {
public:
    explicit StoredReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool read(std::span<std::uint8_t> out) override {
        if (out.size() > bytes_.size() - at_) return false;
        std::memcpy(out.data(), bytes_.data() + at_, out.size());
        at_ += out.size();
        return true;
    }
    bool finished() override { return at_ == bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

class ZerosReader final : public Reader {
public:
    explicit ZerosReader(std::uint64_t raw) : left_(raw) {}
    bool read(std::span<std::uint8_t> out) override {
        if (out.size() > left_) return false;
        std::memset(out.data(), 0, out.size());
        left_ -= out.size();
        return true;
    }
    bool finished() override { return left_ == 0; }

private:
    std::uint64_t left_;
};

// Decodes into a small buffer and hands pieces of it out; counts what it
// gave so that no stream yields more than its stated size.
class BufferedReader : public Reader {
public:
    explicit BufferedReader(std::uint64_t raw) : raw_(raw), buffer_(static_cast<std::size_t>(std::min<std::uint64_t>(raw, kReadPiece))) {}
    bool read(std::span<std::uint8_t> out) override {
        std::size_t done = 0;
        while (done < out.size()) {
            if (at_ == end_) {
                const std::uint64_t left = raw_ - produced_;
                if (left == 0 || damaged_) return false;
                const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer_.size()));
                std::size_t got = 0;
                if (!fill(buffer_.data(), want, got) || got == 0) {
                    damaged_ = true;
                    return false;
                }
                at_ = 0;
                end_ = got;
                produced_ += got;
            }
            const std::size_t n = std::min(out.size() - done, end_ - at_);
            std::memcpy(out.data() + done, buffer_.data() + at_, n);
            at_ += n;
            done += n;
        }
        return true;
    }
    bool finished() override { return !damaged_ && at_ == end_ && produced_ == raw_ && ended(); }

protected:
    // Decodes up to `want` bytes (at least one unless the stream is
    // damaged); false on damage.
    virtual bool fill(std::uint8_t* out, std::size_t want, std::size_t& got) = 0;
    // Whether the packed stream ends here, with nothing after it.
    virtual bool ended() = 0;

private:
    std::uint64_t raw_;
    std::uint64_t produced_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::size_t at_ = 0, end_ = 0;
    bool damaged_ = false;
};

class ZstdReader final : public BufferedReader {
public:
    ZstdReader(std::span<const std::uint8_t> packed, std::uint64_t raw, ZSTD_DCtx* dctx)
        : BufferedReader(raw), dctx_(dctx), in_{packed.data(), packed.size(), 0} {}

protected:
    bool fill(std::uint8_t* out, std::size_t want, std::size_t& got) override {
        ZSTD_outBuffer o{out, want, 0};
        while (o.pos < o.size) {
            const std::size_t before_in = in_.pos, before_out = o.pos;
            const std::size_t r = ZSTD_decompressStream(dctx_.get(), &o, &in_);
            if (ZSTD_isError(r)) return false;
            if (r == 0) {
                frame_done_ = true;
                break;
            }
            // No progress: the packed bytes ran out inside the frame.
            if (in_.pos == before_in && o.pos == before_out) return false;
        }
        got = o.pos;
        return true;
    }
    bool ended() override {
        if (!frame_done_) {
            // The last piece may have filled the output exactly with the
            // frame's end still unread.
            std::uint8_t spare;
            ZSTD_outBuffer o{&spare, 1, 0};
            const std::size_t r = ZSTD_decompressStream(dctx_.get(), &o, &in_);
            if (ZSTD_isError(r) || r != 0 || o.pos != 0) return false;
            frame_done_ = true;
        }
        return in_.pos == in_.size;
    }

private:
    ZstdDctx dctx_;
    ZSTD_inBuffer in_;
    bool frame_done_ = false;
};

class XzReader final : public BufferedReader {
public:
    XzReader(std::span<const std::uint8_t> packed, std::uint64_t raw, lzma_stream stream)
        : BufferedReader(raw), s_(stream) {
        s_.next_in = packed.data();
        s_.avail_in = packed.size();
    }
    ~XzReader() override { lzma_end(&s_); }

protected:
    bool fill(std::uint8_t* out, std::size_t want, std::size_t& got) override {
        s_.next_out = out;
        s_.avail_out = want;
        while (s_.avail_out > 0 && !stream_end_) {
            const std::size_t before_in = s_.avail_in, before_out = s_.avail_out;
            const lzma_ret r = lzma_code(&s_, LZMA_RUN);
            if (r == LZMA_STREAM_END) stream_end_ = true;
            else if (r != LZMA_OK) return false;
            if (!stream_end_ && s_.avail_in == before_in && s_.avail_out == before_out) return false;
        }
        got = want - s_.avail_out;
        return true;
    }
    bool ended() override {
        if (!stream_end_) {
            std::uint8_t spare;
            s_.next_out = &spare;
            s_.avail_out = 1;
            const lzma_ret r = lzma_code(&s_, LZMA_RUN);
            if (r != LZMA_STREAM_END || s_.avail_out != 1) return false;
            stream_end_ = true;
        }
        return s_.avail_in == 0;
    }

private:
    lzma_stream s_;
    bool stream_end_ = false;
};

}  // namespace

std::uint32_t xz_dictionary(std::uint64_t raw, std::uint64_t prefix) {
    const std::uint64_t want = std::clamp<std::uint64_t>(raw + prefix, 4096, kXzMaxDictionary);
    return static_cast<std::uint32_t>(std::bit_ceil(want));
}

bool incompressible(std::span<const std::uint8_t> raw, std::span<const std::uint8_t> prefix) {
    if (raw.empty()) return false;
    const std::vector<std::uint8_t> quick = zstd_pack(raw, prefix, 1, {});
    return quick.size() * 100 >= raw.size() * 99;
}

Packed pack(std::span<const std::uint8_t> raw, std::span<const std::uint8_t> prefix, int level, Try which,
            const std::function<bool()>& stop) {
    Packed best;
    best.bytes.assign(raw.begin(), raw.end());
    if (raw.empty()) return best;
    if (std::all_of(raw.begin(), raw.end(), [](std::uint8_t b) { return b == 0; })) {
        best.method = Method::zeros;
        best.bytes.clear();
        return best;
    }
    if (which != Try::xz || raw.size() + prefix.size() > kXzMaxDictionary) {
        std::vector<std::uint8_t> z = zstd_pack(raw, prefix, level, stop);
        if (z.size() < best.bytes.size()) {
            best.method = Method::zstd;
            best.bytes = std::move(z);
        }
    }
    if (which != Try::zstd && raw.size() + prefix.size() <= kXzMaxDictionary) {
        // LZMA2 records its literal settings in the stream, so a small
        // stream can try both without the decoder knowing which was kept.
        for (int plain = 0; plain < (raw.size() <= kSmallStream ? 2 : 1); ++plain) {
            std::vector<std::uint8_t> x = xz_pack(raw, prefix, plain == 1, stop);
            if (!x.empty() && x.size() < best.bytes.size()) {
                best.method = Method::xz;
                best.bytes = std::move(x);
            }
        }
    }
    return best;
}

std::unique_ptr<Reader> open_reader(Method method, std::span<const std::uint8_t> packed, std::uint64_t raw,
                                    std::span<const std::uint8_t> prefix) {
    switch (method) {
    case Method::zeros:
        if (!packed.empty() || raw == 0) return nullptr;
        return std::make_unique<ZerosReader>(raw);
    case Method::stored:
        if (packed.size() != raw) return nullptr;
        return std::make_unique<StoredReader>(packed);
    case Method::zstd: {
        if (raw == 0) return nullptr;
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader_advanced(&header, packed.data(), packed.size(), ZSTD_f_zstd1_magicless) != 0)
            return nullptr;
        // The decoder's buffer is the smaller of the window and the frame's
        // size; both must be what the encoder could have written.
        const std::uint64_t reach = raw + prefix.size();
        if (header.frameType != ZSTD_frame || header.frameContentSize != raw ||
            header.windowSize > std::max<std::uint64_t>(std::bit_ceil(reach), 1u << ZSTD_WINDOWLOG_MIN))
            return nullptr;
        ZstdDctx dctx(ZSTD_createDCtx());
        if (!dctx) throw std::bad_alloc();
        if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless)) ||
            ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX_64)))
            return nullptr;
        if (!prefix.empty() && ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), prefix.data(), prefix.size())))
            return nullptr;
        auto reader = std::make_unique<ZstdReader>(packed, raw, dctx.get());
        dctx.release();
        return reader;
    }
    case Method::xz: {
        if (raw == 0 || raw + prefix.size() > kXzMaxDictionary) return nullptr;
        lzma_options_lzma options = xz_options(raw, prefix);
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        lzma_stream s = LZMA_STREAM_INIT;
        const lzma_ret r = lzma_raw_decoder(&s, filters);
        if (r != LZMA_OK) {
            lzma_end(&s);
            if (r == LZMA_MEM_ERROR) throw std::bad_alloc();
            return nullptr;
        }
        return std::make_unique<XzReader>(packed, raw, s);
    }
    }
    return nullptr;
}

}  // namespace quoralith::compact::streams
