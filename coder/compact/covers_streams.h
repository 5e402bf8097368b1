// The compressed streams of the cover payload: each stream is stored, or
// compressed by libzstd or by liblzma (raw LZMA2), whichever is smallest; the
// stream of new bytes is compressed with Base as the compressor's prefix or
// preset dictionary, so that it still matches Base where no cover reached.
// Readers give the raw bytes back in small pieces, so a restore's memory does
// not grow with the size of a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quoralith::compact::streams {

// How a stream is kept; the numbers are written into the payload.
// `zeros`: every raw byte is zero and no packed bytes are kept (a cover
// whose every byte is equal to Base's; zstd would spend a block header on
// every 128 KiB of them).
enum class Method : std::uint8_t { stored = 0, zstd = 1, xz = 2, zeros = 3 };

// The largest LZMA2 dictionary either side uses: liblzma's encoder takes
// about eleven times its dictionary (under 200 MiB here), and the decoder
// the dictionary itself.
constexpr std::uint64_t kXzMaxDictionary = std::uint64_t{16} << 20;

// The LZMA2 dictionary for a stream of `raw` bytes after a preset of
// `prefix` bytes: both sides compute it from sizes they know, so no stored
// value decides what a restore allocates.
std::uint32_t xz_dictionary(std::uint64_t raw, std::uint64_t prefix);

// Thrown from inside a compression when the caller's stop check says stop.
struct Stopped {};

struct Packed {
    Method method = Method::stored;
    std::vector<std::uint8_t> bytes;
};

// Which compressors a stream is offered to.
enum class Try { both, zstd, xz };

// The smallest of the stored form of `raw` and its forms from the
// compressors `which` names (xz only where its dictionary bound allows),
// each compressor given `prefix` before the stream. `level` is zstd's level
// (1..22); xz runs at its strongest preset. Throws Stopped when `stop` says
// so, std::bad_alloc when out of memory.
Packed pack(std::span<const std::uint8_t> raw, std::span<const std::uint8_t> prefix, int level, Try which,
            const std::function<bool()>& stop);

// Whether a fast compression with `prefix` gains less than a hundredth of
// `raw`: new data such as inserted random bytes, not worth a strong
// compressor's time over a large prefix.
bool incompressible(std::span<const std::uint8_t> raw, std::span<const std::uint8_t> prefix);

// Gives back the `raw` bytes of one packed stream in order, in pieces.
class Reader {
public:
    virtual ~Reader() = default;
    // Copies exactly out.size() bytes; false when the stream is damaged or
    // holds fewer bytes.
    virtual bool read(std::span<std::uint8_t> out) = 0;
    // Whether every raw byte has been read and the packed bytes end exactly
    // where the stream does.
    virtual bool finished() = 0;
};

// A reader over `packed`, or null when its header already shows damage
// (a size other than `raw`, a window larger than the stream needs).
std::unique_ptr<Reader> open_reader(Method method, std::span<const std::uint8_t> packed, std::uint64_t raw,
                                    std::span<const std::uint8_t> prefix);

}  // namespace quoralith::compact::streams
