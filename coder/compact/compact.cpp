// The compact coder: create and restore of the compact format over mapped
// inputs. Every method sees Base whole (zstd as a prefix with long-distance
// matching, LZMA2 as a preset dictionary, the cover search as its own index),
// so that matches anywhere in Base count at any size up to the 1 GiB limit.
//
// Memory: inputs are mapped, not read; zstd references Base in place as its
// prefix, and a restore decodes straight into the mapped output (stable
// output), so the restore keeps no window buffer of its own. LZMA2
// always keeps a dictionary, which is why it is tried only on small pairs.
#include "coder/compact/compact.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <fcntl.h>
#include <lzma.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "coder/coder.h"
#include "coder/compact/codec_handles.h"
#include "coder/compact/covers.h"
#include "coder/digest.h"

namespace quoralith {

namespace {

using compact::Header;
using compact::HeaderState;

// LZMA2's dictionary is as large as the pair; above this it would cost more
// memory than it can repay in bytes.
constexpr std::uint64_t kXzLimit = 16u << 20;
// On binaries LZMA2 is waited for only when zstd's payload is at least this
// share of Updated, in percent (on the developer corpus it won on binaries
// only above 10%).
constexpr std::size_t kXzShare = 3;
// Input is handed to the compressor in steps of this size, with a chance to
// stop and a progress record before each.
constexpr std::size_t kStep = 1u << 20;
// The most one zstd block or one LZMA2 chunk yields: the bounds a payload's
// length puts on what it can restore.
constexpr std::uint64_t kZstdBlock = 128u << 10;
constexpr std::uint64_t kLzma2Chunk = 2u << 20;

// A window's bytes, mapped read-only. An empty window or one without a file
// maps nothing.
class MappedInput {
public:
    MappedInput() = default;
    MappedInput(const MappedInput&) = delete;
    MappedInput& operator=(const MappedInput&) = delete;
    ~MappedInput() {
        if (map_ != MAP_FAILED && map_ != nullptr) munmap(map_, map_length_);
    }

    // Returns 0, ERR_READ_FAILED or ERR_COMPACT_LIMIT (beyond `limit`).
    int map(const StreamWindow* window, std::int64_t limit) {
        if (!window || !window->file) return 0;
        const int fd = fileno(window->file);
        struct stat status {};
        if (fd < 0 || fstat(fd, &status) != 0) return ERR_READ_FAILED;
        const std::int64_t start = window->start;
        std::int64_t length = status.st_size - start;
        if (length <= 0) return 0;
        if (window->length >= 0 && window->length != 0x7FFFFFFF) length = std::min<std::int64_t>(length, window->length);
        if (length > limit) return ERR_COMPACT_LIMIT;
        map_length_ = static_cast<std::size_t>(start + length);
        map_ = mmap(nullptr, map_length_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map_ == MAP_FAILED) return errno == ENOMEM ? ERR_NO_MEMORY : ERR_READ_FAILED;
        madvise(map_, map_length_, MADV_SEQUENTIAL);
        bytes_ = {static_cast<const std::uint8_t*>(map_) + start, static_cast<std::size_t>(length)};
        return 0;
    }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    void* map_ = nullptr;
    std::size_t map_length_ = 0;
    std::span<const std::uint8_t> bytes_;
};

// The output file sized to the restored length and mapped for writing. Its
// blocks are reserved first, so that a full disk is an error here rather than
// a fault in the middle of a write to the map.
class MappedOutput {
public:
    MappedOutput() = default;
    MappedOutput(const MappedOutput&) = delete;
    MappedOutput& operator=(const MappedOutput&) = delete;
    ~MappedOutput() { release(); }

    // Returns 0 or ERR_WRITE_FAILED / ERR_NO_MEMORY with errno set.
    int map(StreamWindow* window, std::size_t length) {
        if (!window || !window->file) return ERR_WRITE_FAILED;
        if (std::fflush(window->file) != 0) return ERR_WRITE_FAILED;
        const int fd = fileno(window->file);
        const off_t start = window->start;
        fd_ = fd;
        start_ = start;
        if (ftruncate(fd, start) != 0) return ERR_WRITE_FAILED;
        if (length == 0) return 0;
        if (const int error = posix_fallocate(fd, start, static_cast<off_t>(length))) {
            errno = error;
            return ERR_WRITE_FAILED;
        }
        length_ = static_cast<std::size_t>(start) + length;
        map_ = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map_ == MAP_FAILED) {
            map_ = nullptr;
            return errno == ENOMEM ? ERR_NO_MEMORY : ERR_WRITE_FAILED;
        }
        bytes_ = {static_cast<std::uint8_t*>(map_) + start, length};
        return 0;
    }
    std::span<std::uint8_t> bytes() const { return bytes_; }
    // Gives up what was mapped and cuts the file back to the window's start.
    void empty() {
        release();
        if (fd_ >= 0 && ftruncate(fd_, start_) != 0) {
            // The caller is failing already; the temporary is thrown away.
        }
    }

private:
    void release() {
        if (map_) munmap(map_, length_);
        map_ = nullptr;
    }
    void* map_ = nullptr;
    std::size_t length_ = 0;
    std::span<std::uint8_t> bytes_;
    int fd_ = -1;
    off_t start_ = 0;
};

using compact::LzmaStream;

// Where a payload goes: straight into the delta, or into memory up to a cap
// (a candidate that grows past the best so far is given up early).
using PayloadSink = std::function<bool(const std::uint8_t*, std::size_t)>;

enum class Coded { ok, stopped, failed, over };

// The log of the window every match into Base or earlier Updated needs.
unsigned window_log_for(std::uint64_t total) {
    const unsigned needed = total <= 1 ? 10 : static_cast<unsigned>(std::bit_width(total - 1));
    return std::clamp(needed, 10u, 31u);
}

// Whether `bytes` reads as text: nearly all of a sample is printable ASCII,
// white space or the bytes of UTF-8 sequences.
bool looks_like_text(std::span<const std::uint8_t> bytes) {
    const std::size_t sample = std::min<std::size_t>(bytes.size(), 1u << 16);
    std::size_t plain = 0;
    for (std::size_t i = 0; i < sample; ++i) {
        const std::uint8_t b = bytes[i];
        if ((b >= 0x20 && b < 0x7F) || b == '\n' || b == '\r' || b == '\t' || b >= 0x80) ++plain;
    }
    return sample > 0 && plain * 100 >= sample * 97;
}

// The LZMA2 settings both sides derive from the two sizes alone, so that
// nothing in the delta can ask the decoder for a larger dictionary.
lzma_options_lzma xz_options(std::span<const std::uint8_t> base, std::uint64_t updated_size) {
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME);
    const std::uint64_t total = base.size() + updated_size;
    options.dict_size = static_cast<std::uint32_t>(std::max<std::uint64_t>(LZMA_DICT_SIZE_MIN, total));
    options.preset_dict = base.empty() ? nullptr : base.data();
    options.preset_dict_size = static_cast<std::uint32_t>(base.size());
    return options;
}

class Creator {
public:
    Creator(CoderContext& context, std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
            const CompactOptions& options)
        : context_(context), base_(base), updated_(updated), options_(options) {}

    // Large pairs (`long_distance`) are coded by one worker thread of the
    // library's own: in this library's single-threaded mode its long-distance
    // matcher missed most of a prefix of 100 MB (a delta of 14.8 MB where the
    // worker's gives 159 KB), and the worker costs no more memory than the
    // tables themselves. The progress callback stays on this thread.
    Coded zstd(bool long_distance, int level, const PayloadSink& sink) {
        const compact::ZstdCctx context(ZSTD_createCCtx());
        ZSTD_CCtx* const c = context.get();
        if (!c) return Coded::failed;
        const unsigned window_log = window_log_for(base_.size() + updated_.size());
        bool ok = !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level)) &&
                  !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless)) &&
                  !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0)) &&
                  !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0)) &&
                  !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0)) &&
                  !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, static_cast<int>(window_log))) &&
                  !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching,
                                                       long_distance ? 1 : 0));
        if (ok && long_distance) ok = !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, 1));
        if (ok && !base_.empty()) ok = !ZSTD_isError(ZSTD_CCtx_refPrefix(c, base_.data(), base_.size()));
        if (!ok) return Coded::failed;
        std::vector<std::uint8_t> buffer(ZSTD_CStreamOutSize());
        std::size_t fed = 0;
        for (;;) {
            const std::size_t step = std::min(kStep, updated_.size() - fed);
            const bool last = fed + step == updated_.size();
            if (!context_.announce(SLOT_SECOND, static_cast<std::int32_t>(fed))) return Coded::stopped;
            ZSTD_inBuffer in{updated_.data() + fed, step, 0};
            const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
            for (;;) {
                ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
                const std::size_t remaining = ZSTD_compressStream2(c, &out, &in, mode);
                if (ZSTD_isError(remaining)) return Coded::failed;
                if (out.pos && !sink(buffer.data(), out.pos)) return Coded::over;
                if (mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size) break;
            }
            fed += step;
            if (last) return Coded::ok;
        }
    }

    // LZMA2 runs on a thread of its own beside zstd: it never calls the
    // progress callback (that belongs to the caller's thread) but reports how
    // far it got in `fed` and gives up once `stop` is set.
    Coded xz(const PayloadSink& sink, const std::atomic<bool>& stop, std::atomic<std::size_t>& progress) {
        lzma_options_lzma options = xz_options(base_, updated_.size());
        // The literal context that pays: the previous byte's high bits for
        // text, the position's low bits for machine code and tables.
        if (looks_like_text(updated_)) {
            options.lc = 3;
            options.lp = 0;
        } else {
            options.lc = 1;
            options.lp = 2;
        }
        options.pb = 0;
        const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        LzmaStream x;
        if (lzma_raw_encoder(&x.s, filters) != LZMA_OK) return Coded::failed;
        std::vector<std::uint8_t> buffer(1u << 16);
        std::size_t fed = 0;
        for (;;) {
            if (x.s.avail_in == 0 && fed < updated_.size()) {
                progress = fed;
                if (stop) return Coded::stopped;
                const std::size_t step = std::min(kStep, updated_.size() - fed);
                x.s.next_in = updated_.data() + fed;
                x.s.avail_in = step;
                fed += step;
            }
            x.s.next_out = buffer.data();
            x.s.avail_out = buffer.size();
            const lzma_ret ret = lzma_code(&x.s, fed == updated_.size() ? LZMA_FINISH : LZMA_RUN);
            const std::size_t produced = buffer.size() - x.s.avail_out;
            if (produced && !sink(buffer.data(), produced)) return Coded::over;
            if (ret == LZMA_STREAM_END) return Coded::ok;
            if (ret != LZMA_OK) return Coded::failed;
        }
    }

    Coded covers(const PayloadSink& sink) {
        compact::CoverOptions cover_options;
        cover_options.level = options_.level;
        cover_options.stop = [this] { return !context_.announce(SLOT_FIRST, 0); };
        std::vector<std::uint8_t> payload;
        if (!compact::encode_covers(base_, updated_, cover_options, payload))
            return context_.stopped() ? Coded::stopped : Coded::failed;
        return sink(payload.data(), payload.size()) ? Coded::ok : Coded::over;
    }

private:
    CoderContext& context_;
    std::span<const std::uint8_t> base_;
    std::span<const std::uint8_t> updated_;
    const CompactOptions& options_;
};

// `digest` is Updated's content digest once restored; reading a header alone
// (null) leaves the record's digest zero.
void fill_trailer(const Header& header, const ContentDigest* digest, TrailerRecord& trailer) {
    trailer = TrailerRecord{};
    trailer.set_magic();
    for (int i = 0; i < 5; ++i) trailer.set_time_slot(i, -1);
    trailer.set_time_slot(1, header.access_time);
    trailer.set_time_slot(2, header.modification_time);
    std::uint16_t attributes = 0;
    if (header.mode & 0400) attributes |= 1;
    if (header.mode & 0200) attributes |= 2;
    trailer.set_attributes(attributes);
    if (!(header.mode & compact::kModePlain)) {
        UpdatedRecord record;
        record.mode = static_cast<std::uint16_t>(header.mode & 0777);
        if (digest) record.digest = *digest;
        write_updated_record(trailer, record);
    }
}

int decode_into(const Header& header, std::span<const std::uint8_t> base_bytes, std::span<const std::uint8_t> payload,
                std::span<const std::uint8_t> delta_bytes, std::size_t header_length, MappedOutput& out_map,
                CoderContext& context, TrailerRecord* trailer);

int header_code(HeaderState state) {
    switch (state) {
        case HeaderState::ok:
            return 0;
        case HeaderState::not_compact:
            return ERR_NOT_COMPACT;
        case HeaderState::unsupported:
            return ERR_COMPACT_VERSION;
        case HeaderState::damaged:
            break;
    }
    return ERR_COMPACT_DAMAGED;
}

// Whether the design format's trailer magic sits where its decoder reads it.
bool has_design_trailer(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= static_cast<std::size_t>(kTrailerSize) &&
           std::memcmp(bytes.data() + bytes.size() - kTrailerSize, kTrailerMagic.data(), kTrailerMagic.size()) == 0;
}

// Whether a delta of `head` then `payload` would end as a design-format delta
// does, and so be read as one: a stored Updated that is itself a delta of
// that format, for one, carries its trailer to the very end.
bool reads_as_design(std::span<const std::uint8_t> head, std::span<const std::uint8_t> payload) {
    const auto tail_size = static_cast<std::size_t>(kTrailerSize);
    if (head.size() + payload.size() < tail_size) return false;
    std::vector<std::uint8_t> tail;
    if (payload.size() < tail_size) tail.assign(head.end() - (tail_size - payload.size()), head.end());
    const std::size_t from_payload = std::min(payload.size(), tail_size);
    tail.insert(tail.end(), payload.end() - from_payload, payload.end());
    return has_design_trailer(tail);
}

}  // namespace

const char* compact_method_name(std::uint8_t method) {
    switch (method) {
        case compact::METHOD_STORED:
            return "stored";
        case compact::METHOD_ZSTD:
            return "zstd, Base as prefix";
        case compact::METHOD_XZ:
            return "LZMA2, Base as dictionary";
        case compact::METHOD_COVERS:
            return "covers";
        default:
            return "unknown";
    }
}

int compact_create(StreamWindow* base, StreamWindow* updated, StreamWindow* delta, const ProgressCallback& callback,
                   const TrailerRecord& trailer, const CompactOptions& options) {
    CoderContext context(callback, kCompactAlgorithm, trailer.tag());
    context.register_windows(base, updated, delta);
    MappedInput base_map, updated_map;
    if (!context.announce(SLOT_FIRST, 0)) return ERR_STOPPED;
    if (const int rc = base_map.map(base, MAX_FILE_LENGTH)) return rc;
    if (!context.announce(SLOT_SECOND, 0)) return ERR_STOPPED;
    if (const int rc = updated_map.map(updated, MAX_FILE_LENGTH)) return rc;
    const auto base_bytes = base_map.bytes();
    const auto updated_bytes = updated_map.bytes();

    Header header;
    header.updated_size = updated_bytes.size();
    header.has_base = !base_bytes.empty();
    if (header.has_base) {
        const ContentDigest check = digest_of_bytes(base_bytes.data(), base_bytes.size());
        std::memcpy(header.base_check, check.data(), compact::kBaseCheckSize);
    }
    header.modification_time = trailer.modification_time();
    header.access_time = trailer.access_time();
    UpdatedRecord record;
    ContentDigest digest{};
    if (read_updated_record(trailer, record) == RecordState::present) {
        header.mode = record.mode & 0777u;
        digest = record.digest;
    } else {
        const std::uint16_t attributes = trailer.attributes();
        header.mode = compact::kModePlain;
        if (attributes != 0xFFFF) header.mode |= ((attributes & 1) ? 0400u : 0u) | ((attributes & 2) ? 0200u : 0u);
        digest = digest_of_bytes(updated_bytes.data(), updated_bytes.size());
    }

    // Small pairs: every candidate is coded into memory, each given up once
    // it passes the best so far (Updated stored as it is bounds them all).
    // Large pairs: the one candidate goes straight into the delta behind its
    // header, and the delta is rewritten as stored if it would be larger.
    const int level = std::clamp(options.level, 1, kCompactMaxLevel);
    Creator creator(context, base_bytes, updated_bytes, options);
    const std::uint64_t total = base_bytes.size() + updated_bytes.size();
    // Larger pairs use zstd alone (and the cover search): its long-distance
    // matcher is the one that scales.
    const bool small = total <= options.try_all_limit;
    std::size_t best_size = updated_bytes.size();
    std::vector<std::uint8_t> best;
    std::uint8_t best_method = compact::METHOD_STORED;
    std::vector<std::uint8_t> trying;
    const PayloadSink to_memory = [&](const std::uint8_t* bytes, std::size_t count) {
        if (trying.size() + count >= best_size) return false;
        trying.insert(trying.end(), bytes, bytes + count);
        return true;
    };
    const auto attempt = [&](std::uint8_t method, const std::function<Coded()>& code) -> int {
        if (!(options.methods & (1u << method))) return 0;
        trying.clear();
        const Coded result = code();
        if (result == Coded::stopped) return ERR_STOPPED;
        if (result == Coded::ok && trying.size() < best_size) {
            std::swap(best, trying);
            best_size = best.size();
            best_method = method;
        }
        return 0;
    };
    Channel out = Channel::of_window(context, SLOT_THIRD);
    std::vector<std::uint8_t> head;
    std::int64_t rc = 0;
    bool written = false;
    if (!updated_bytes.empty() && small) {
        // LZMA2 codes on a second thread while zstd codes here: the two
        // cost about the time of the slower, not their sum.
        const bool with_xz = total <= kXzLimit && (options.methods & (1u << compact::METHOD_XZ));
        std::atomic<bool> stop_xz{false};
        std::atomic<std::size_t> xz_progress{0};
        std::atomic<bool> xz_done{false};
        std::vector<std::uint8_t> xz_payload;
        Coded xz_result = Coded::failed;
        std::thread xz_thread;
        if (with_xz) {
            xz_thread = std::thread([&] {
                const std::size_t cap = updated_bytes.size();
                xz_result = creator.xz(
                    [&](const std::uint8_t* bytes, std::size_t count) {
                        if (xz_payload.size() + count >= cap) return false;
                        xz_payload.insert(xz_payload.end(), bytes, bytes + count);
                        return true;
                    },
                    stop_xz, xz_progress);
                xz_done = true;
            });
        }
        // Stops and waits for the thread on every way out of this block.
        struct Joiner {
            std::thread& thread;
            std::atomic<bool>& stop;
            ~Joiner() {
                stop = true;
                if (thread.joinable()) thread.join();
            }
        } joiner{xz_thread, stop_xz};

        int tried = attempt(compact::METHOD_ZSTD, [&] { return creator.zstd(false, level, to_memory); });
        if (tried == 0) tried = attempt(compact::METHOD_COVERS, [&] { return creator.covers(to_memory); });
        if (tried < 0) return tried;
        // LZMA2's literal coding pays on text, and on binaries where literals
        // are a good share of the payload (machine code); on other binaries
        // where zstd found nearly all of Updated in Base it is given up
        // rather than waited for.
        if (with_xz && !looks_like_text(updated_bytes) && best_method != compact::METHOD_STORED &&
            best_size * 100 < updated_bytes.size() * kXzShare) {
            stop_xz = true;
        } else if (with_xz) {
            // The thread ends by itself; meanwhile Stop stays live.
            while (!xz_done) {
                if (!context.announce(SLOT_SECOND, static_cast<std::int32_t>(xz_progress.load()))) return ERR_STOPPED;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            xz_thread.join();
            if (xz_result == Coded::ok && xz_payload.size() < best_size) {
                std::swap(best, xz_payload);
                best_size = best.size();
                best_method = compact::METHOD_XZ;
            }
        }
        std::vector<std::uint8_t>().swap(trying);
    } else if (!updated_bytes.empty() && (options.methods & (1u << compact::METHOD_ZSTD))) {
        header.method = compact::METHOD_ZSTD;
        compact::write_header(header, digest, head);
        rc = out.write(head.data(), static_cast<std::int64_t>(head.size()));
        std::size_t payload = 0;
        // The payload's last bytes, to tell whether the delta ends as a
        // design-format delta does.
        std::vector<std::uint8_t> tail;
        const PayloadSink to_delta = [&](const std::uint8_t* bytes, std::size_t count) {
            if (payload + count >= best_size) return false;
            payload += count;
            tail.insert(tail.end(), bytes + count - std::min<std::size_t>(count, kTrailerSize), bytes + count);
            if (tail.size() > static_cast<std::size_t>(kTrailerSize)) tail.erase(tail.begin(), tail.end() - kTrailerSize);
            rc = out.write(bytes, static_cast<std::int64_t>(count));
            return rc >= 0;
        };
        const Coded result = rc < 0 ? Coded::failed : creator.zstd(true, level, to_delta);
        if (rc < 0) return static_cast<int>(rc);
        if (result == Coded::stopped) return ERR_STOPPED;
        written = result == Coded::ok && !reads_as_design(head, tail);
        if (written) best_size = payload;
        // The cover search's payload, held in memory, replaces zstd's when
        // it is smaller; it is given up as soon as it is not.
        if (const int tried = attempt(compact::METHOD_COVERS, [&] { return creator.covers(to_memory); }); tried < 0)
            return tried;
        if (best_method == compact::METHOD_COVERS) written = false;
        if (!written) {
            head.clear();
            if (!out.seek(0)) return ERR_WRITE_FAILED;
        }
    }

    if (!written) {
        header.method = best_method;
        compact::write_header(header, digest, head);
        if (reads_as_design(head, best_method == compact::METHOD_STORED ? updated_bytes
                                                                        : std::span<const std::uint8_t>(best))) {
            // The payloads of the cover search (a check) and of LZMA2 (an end
            // mark) end in bytes of their own, which move Updated's tail off
            // the place a design decoder reads; the first that does is kept,
            // whatever the methods asked for and however large.
            std::vector<std::uint8_t> other;
            const PayloadSink to_other = [&](const std::uint8_t* bytes, std::size_t count) {
                other.insert(other.end(), bytes, bytes + count);
                return true;
            };
            const std::atomic<bool> keep_going{false};
            std::atomic<std::size_t> xz_progress{0};
            bool found = false;
            for (const std::uint8_t method : {compact::METHOD_COVERS, compact::METHOD_XZ, compact::METHOD_ZSTD}) {
                if (method == best_method || (method == compact::METHOD_XZ && total > kXzLimit)) continue;
                other.clear();
                const Coded result = method == compact::METHOD_COVERS ? creator.covers(to_other)
                                     : method == compact::METHOD_XZ   ? creator.xz(to_other, keep_going, xz_progress)
                                                                      : creator.zstd(false, level, to_other);
                if (result == Coded::stopped) return ERR_STOPPED;
                if (result != Coded::ok) continue;
                header.method = method;
                head.clear();
                compact::write_header(header, digest, head);
                if (!reads_as_design(head, other)) {
                    std::swap(best, other);
                    best_method = method;
                    found = true;
                    break;
                }
            }
            if (!found) return ERR_COMPACT_AMBIGUOUS;
        }
        rc = out.write(head.data(), static_cast<std::int64_t>(head.size()));
        const std::span<const std::uint8_t> payload =
            best_method == compact::METHOD_STORED ? updated_bytes : std::span<const std::uint8_t>(best);
        if (rc >= 0) rc = out.write(payload.data(), static_cast<std::int64_t>(payload.size()));
        if (rc >= 0 && !out.truncate_here()) rc = ERR_WRITE_FAILED;
    }
    if (rc < 0) return static_cast<int>(rc);
    const std::int64_t length = out.tell();
    if (length > INT32_MAX) return ERR_COMPACT_LIMIT;
    return static_cast<int>(length);
}

int compact_restore(StreamWindow* base, StreamWindow* delta, StreamWindow* output, const ProgressCallback& callback,
                    TrailerRecord* trailer) {
    CoderContext context(callback, -2, trailer ? trailer->tag() : nullptr);
    context.register_windows(base, delta, output);
    MappedInput delta_map;
    if (!context.announce(SLOT_SECOND, 0)) return ERR_STOPPED;
    // A delta codes at most 1 GiB; no sound payload is much larger.
    if (const int rc = delta_map.map(delta, 2 * MAX_FILE_LENGTH); rc < 0)
        return rc == ERR_COMPACT_LIMIT ? ERR_COMPACT_DAMAGED : rc;
    const auto delta_bytes = delta_map.bytes();
    if (has_design_trailer(delta_bytes)) return ERR_NOT_COMPACT;
    Header header;
    std::size_t header_length = 0;
    if (const int rc = header_code(compact::read_header(delta_bytes, header, header_length))) return rc;
    const auto payload = delta_bytes.subspan(header_length);

    if (!context.announce(SLOT_FIRST, 0)) return ERR_STOPPED;
    MappedInput base_map;
    if (const int rc = base_map.map(base, MAX_FILE_LENGTH); rc < 0)
        return rc == ERR_COMPACT_LIMIT ? ERR_WRONG_BASE : rc;
    const auto base_bytes = base_map.bytes();
    if (base_bytes.empty() == header.has_base) return ERR_WRONG_BASE;
    if (header.has_base) {
        const ContentDigest check = digest_of_bytes(base_bytes.data(), base_bytes.size());
        if (std::memcmp(check.data(), header.base_check, compact::kBaseCheckSize) != 0) return ERR_WRONG_BASE;
    }
    const std::uint64_t total = base_bytes.size() + header.updated_size;
    // What no encoder writes is refused before the output is touched.
    if (header.method == compact::METHOD_XZ && total > kXzLimit) return ERR_COMPACT_DAMAGED;
    if (header.method == compact::METHOD_STORED && payload.size() != header.updated_size) return ERR_COMPACT_DAMAGED;
    if (header.updated_size == 0 && !payload.empty()) return ERR_COMPACT_DAMAGED;

    // No payload yields more than its blocks can hold: a claim beyond that is
    // refused before the output is sized by it.
    if (header.method == compact::METHOD_ZSTD && header.updated_size > (payload.size() / 3 + 1) * kZstdBlock)
        return ERR_COMPACT_DAMAGED;
    if (header.method == compact::METHOD_XZ && header.updated_size > (payload.size() / 5 + 1) * kLzma2Chunk)
        return ERR_COMPACT_DAMAGED;

    MappedOutput out_map;
    if (const int rc = out_map.map(output, static_cast<std::size_t>(header.updated_size))) return rc;
    const int result = decode_into(header, base_bytes, payload, delta_bytes, header_length, out_map, context, trailer);
    // A failed restore leaves nothing of its size behind in the output, and
    // no wrong bytes.
    if (result < 0) out_map.empty();
    if (output && result < 0) output->length = output->position = 0;
    return result;
}

namespace {

int decode_into(const Header& header, std::span<const std::uint8_t> base_bytes, std::span<const std::uint8_t> payload,
                std::span<const std::uint8_t> delta_bytes, std::size_t header_length, MappedOutput& out_map,
                CoderContext& context, TrailerRecord* trailer) {
    const std::uint64_t total = base_bytes.size() + header.updated_size;
    const auto out = out_map.bytes();
    int result = 0;
    const auto announce_output = [&](std::size_t position) {
        return context.announce(SLOT_THIRD, static_cast<std::int32_t>(position));
    };
    switch (header.method) {
        case compact::METHOD_STORED:
            if (!out.empty()) std::memcpy(out.data(), payload.data(), out.size());
            break;
        case compact::METHOD_ZSTD: {
            if (out.empty()) break;
            const compact::ZstdDctx context(ZSTD_createDCtx());
            ZSTD_DCtx* const d = context.get();
            if (!d) return ERR_NO_MEMORY;
            bool ok = !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_format, ZSTD_f_zstd1_magicless)) &&
                      !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_stableOutBuffer, 1)) &&
                      !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax,
                                                           static_cast<int>(window_log_for(total))));
            if (ok && !base_bytes.empty())
                ok = !ZSTD_isError(ZSTD_DCtx_refPrefix(d, base_bytes.data(), base_bytes.size()));
            if (!ok) return ERR_NO_MEMORY;
            ZSTD_outBuffer o{out.data(), out.size(), 0};
            ZSTD_inBuffer in{payload.data(), 0, 0};
            std::size_t remaining = 1;
            while (remaining != 0) {
                if (!announce_output(o.pos)) return ERR_STOPPED;
                in.size = std::min(payload.size(), in.size + (kStep >> 4));
                const std::size_t before_in = in.pos, before_out = o.pos;
                remaining = ZSTD_decompressStream(d, &o, &in);
                if (ZSTD_isError(remaining)) return ERR_COMPACT_DAMAGED;
                // Stuck: the frame wants bytes the payload does not have, or
                // room beyond Updated's size.
                if (remaining != 0 && in.pos == before_in && o.pos == before_out && in.size == payload.size())
                    return ERR_COMPACT_DAMAGED;
            }
            if (in.pos != payload.size() || o.pos != out.size()) return ERR_COMPACT_DAMAGED;
            break;
        }
        case compact::METHOD_XZ: {
            lzma_options_lzma options = xz_options(base_bytes, header.updated_size);
            const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
            LzmaStream x;
            const lzma_ret init = lzma_raw_decoder(&x.s, filters);
            if (init != LZMA_OK) return init == LZMA_MEM_ERROR ? ERR_NO_MEMORY : ERR_COMPACT_DAMAGED;
            x.s.next_in = payload.data();
            x.s.next_out = out.data();
            x.s.avail_out = out.size();
            std::size_t fed = 0;
            for (;;) {
                if (!announce_output(out.size() - x.s.avail_out)) return ERR_STOPPED;
                if (x.s.avail_in == 0 && fed < payload.size()) {
                    const std::size_t step = std::min(kStep >> 4, payload.size() - fed);
                    x.s.avail_in = step;
                    fed += step;
                }
                const std::size_t before_in = x.s.avail_in, before_out = x.s.avail_out;
                const lzma_ret ret = lzma_code(&x.s, fed == payload.size() ? LZMA_FINISH : LZMA_RUN);
                if (ret == LZMA_STREAM_END) break;
                if (ret == LZMA_MEM_ERROR) return ERR_NO_MEMORY;
                if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) return ERR_COMPACT_DAMAGED;
                if (fed == payload.size() && x.s.avail_in == before_in && x.s.avail_out == before_out)
                    return ERR_COMPACT_DAMAGED;
            }
            if (x.s.avail_in != 0 || fed != payload.size() || x.s.avail_out != 0) return ERR_COMPACT_DAMAGED;
            break;
        }
        case compact::METHOD_COVERS: {
            std::size_t written = 0;
            bool stopped = false;
            const compact::DecodeStatus status = compact::decode_covers(
                base_bytes, payload, header.updated_size, [&](std::span<const std::uint8_t> piece) {
                    if (piece.size() > out.size() - written) return false;
                    if (!announce_output(written)) {
                        stopped = true;
                        return false;
                    }
                    if (!piece.empty()) std::memcpy(out.data() + written, piece.data(), piece.size());
                    written += piece.size();
                    return true;
                });
            if (stopped || status == compact::DecodeStatus::stopped) return ERR_STOPPED;
            if (status != compact::DecodeStatus::ok || written != out.size()) return ERR_COMPACT_DAMAGED;
            break;
        }
        default:
            return ERR_COMPACT_VERSION;
    }
    const ContentDigest digest = digest_of_bytes(out.data(), out.size());
    if (!compact::seal_holds(delta_bytes, header_length, digest)) result = ERR_CONTENT_MISMATCH;
    // The mapped pages are the file's own pages in the cache: reads through
    // the file see them at once, and the caller's flush makes them durable
    // with the rest, so no write-back of the map's own is waited for here.
    if (StreamWindow* output = context.window(SLOT_THIRD))
        output->length = output->position = static_cast<std::int32_t>(out.size());
    if (result < 0) return result;
    if (!announce_output(out.size())) return ERR_STOPPED;
    if (trailer) fill_trailer(header, &digest, *trailer);
    return static_cast<int>(out.size());
}

}  // namespace

bool is_compact_delta(StreamWindow* window) {
    if (!window || !window->file) return false;
    MappedInput map;
    if (map.map(window, 2 * MAX_FILE_LENGTH) != 0) return false;
    const auto bytes = map.bytes();
    return bytes.size() >= 2 && std::memcmp(bytes.data(), compact::kMagic, 2) == 0 && !has_design_trailer(bytes);
}

int restore_any_format(StreamWindow* base, StreamWindow* delta, StreamWindow* output,
                       const ProgressCallback& callback, TrailerRecord* trailer) {
    if (trailer && is_compact_delta(delta)) return compact_restore(base, delta, output, callback, trailer);
    return coder_restore(base, delta, output, callback, trailer);
}

int compact_read_header(std::FILE* file, Header& header, std::size_t& header_length, TrailerRecord* trailer) {
    StreamWindow window{file};
    MappedInput map;
    if (const int rc = map.map(&window, 2 * MAX_FILE_LENGTH); rc < 0) return rc == ERR_COMPACT_LIMIT ? ERR_NOT_COMPACT : rc;
    if (has_design_trailer(map.bytes())) return ERR_NOT_COMPACT;
    if (const int rc = header_code(compact::read_header(map.bytes(), header, header_length))) return rc;
    if (trailer) fill_trailer(header, nullptr, *trailer);
    return 0;
}

}  // namespace quoralith
