// The stream level of the block packer: reads the input block by block, writes
// coded blocks and the stream trailer; unpacks by walking the packed form from
// its end, one block at a time, with bounded buffers on both sides.
#include "coder/packer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "coder/packer_block.h"

namespace quoralith {

using packer::kBlockShift;
using packer::kBlockSize;

namespace {

// Input is read, and output written, in pieces of several blocks so that each
// transfer (and the progress record before it) covers a useful amount.
constexpr std::size_t kBlocksPerPiece = 8;
// Blocks are coded each by itself, and coding is the slowest step of a create
// that leaves many literal bytes: an input of several blocks is read in larger
// pieces whose second half a second thread codes. Starting the thread costs
// about as much as coding a tenth of a block.
constexpr std::size_t kBlocksPerSharedPiece = 16;
constexpr std::int64_t kMinSharedBlocks = 4;

// Codes the blocks of data[0, length) one after another, appending them to
// `output`; returns their coded length.
std::int64_t pack_blocks(packer::BlockPacker& coder, const std::uint8_t* data, std::int64_t length,
                         std::vector<std::uint8_t>& output) {
    std::int64_t total = 0;
    for (std::int64_t at = 0; at < length; at += static_cast<std::int64_t>(kBlockSize)) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::int64_t>(length - at, kBlockSize));
        const std::size_t coded = coder.pack(data + at, len);
        total += static_cast<std::int64_t>(coded);
        output.insert(output.end(), coder.data(), coder.data() + coded);
    }
    return total;
}

int trailer_length(std::int64_t blocks) { return blocks > 64 ? 5 : 3; }

}  // namespace

std::int64_t pack_stream(Channel& in, std::int64_t length, std::uint32_t threshold, Channel& out, bool thorough) {
    // Nothing of three bytes or less can shrink: the trailer alone is three.
    if (length <= 3) return PACK_NOT_SMALLER;
    const std::int64_t blocks = (length + static_cast<std::int64_t>(kBlockSize) - 1) >> kBlockShift;
    if (blocks > (std::int64_t{1} << 22)) return PACK_NOT_SMALLER;  // more than the trailer can count

    const bool shared = blocks >= kMinSharedBlocks && std::thread::hardware_concurrency() != 1;
    const std::size_t piece_blocks =
        std::min(shared ? kBlocksPerSharedPiece : kBlocksPerPiece, static_cast<std::size_t>(blocks));
    // Scratch memory for as much as there is: a short stream is a short block.
    const std::size_t largest_block = static_cast<std::size_t>(std::min<std::int64_t>(length, kBlockSize));
    packer::BlockPacker coder(threshold, thorough, largest_block);
    std::unique_ptr<packer::BlockPacker> second =
        shared ? std::make_unique<packer::BlockPacker>(threshold, thorough, largest_block) : nullptr;
    std::vector<std::uint8_t> input(
        static_cast<std::size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(piece_blocks * kBlockSize))));
    std::vector<std::uint8_t> output;
    std::vector<std::uint8_t> second_output;
    output.reserve(input.size() + piece_blocks + 8);
    if (!in.seek(0)) return ERR_READ_FAILED;

    std::int64_t total = 0;
    std::int64_t done = 0;
    while (done < length) {
        const std::int64_t piece = std::min<std::int64_t>(length - done, static_cast<std::int64_t>(input.size()));
        const std::int64_t got = in.read(input.data(), piece);
        if (got < 0) return got;
        if (got != piece) return ERR_READ_FAILED;  // the input shrank under us
        output.clear();
        const std::int64_t piece_count = (piece + static_cast<std::int64_t>(kBlockSize) - 1) >> kBlockShift;
        if (second && piece_count > 1) {
            const std::int64_t split = (piece_count / 2) << kBlockShift;
            second_output.clear();
            std::int64_t second_total = 0;
            std::exception_ptr failure;
            auto code_second = [&] {
                try {
                    second_total = pack_blocks(*second, input.data() + split, piece - split, second_output);
                } catch (...) {
                    failure = std::current_exception();  // an allocation, handed on as this thread's
                }
            };
            std::thread helper;
            try {
                helper = std::thread(code_second);
            } catch (const std::system_error&) {
                code_second();  // no thread to be had: coded here after all
            }
            try {
                total += pack_blocks(coder, input.data(), split, output);
            } catch (...) {
                if (helper.joinable()) helper.join();
                throw;
            }
            if (helper.joinable()) helper.join();
            if (failure) std::rethrow_exception(failure);
            total += second_total;
            output.insert(output.end(), second_output.begin(), second_output.end());
        } else {
            total += pack_blocks(coder, input.data(), piece, output);
        }
        // The packed form would be no smaller: a later block cannot make up for it.
        if (total + 3 >= length) return PACK_NOT_SMALLER;
        done += piece;
        if (done >= length) {
            const int tail = trailer_length(blocks);
            if (total + tail >= length) return PACK_NOT_SMALLER;
            const std::uint32_t last = static_cast<std::uint32_t>(length - ((blocks - 1) << kBlockShift)) - 1;
            const std::uint32_t k = static_cast<std::uint32_t>(blocks - 1);
            output.push_back(static_cast<std::uint8_t>((last >> 8) | ((kBlockShift - 9) << 5)));
            output.push_back(static_cast<std::uint8_t>(last & 0xFF));
            if (tail == 3) {
                output.push_back(static_cast<std::uint8_t>(k));
            } else {
                output.push_back(static_cast<std::uint8_t>(k >> 14));
                output.push_back(static_cast<std::uint8_t>((k >> 6) & 0xFF));
                output.push_back(static_cast<std::uint8_t>(0x40 | (k & 0x3F)));
            }
            total += tail;
        }
        const std::int64_t put = out.write(output.data(), static_cast<std::int64_t>(output.size()));
        if (put < 0) return put;
        if (put != static_cast<std::int64_t>(output.size())) return ERR_WRITE_FAILED;
    }
    return total;
}

namespace {

// What the trailer at the end of a packed form says.
struct StreamTrailer {
    int tail_length;
    int shift;  // of the block size
    std::int64_t blocks;
    std::int64_t last;  // bytes in the last block
    std::int64_t total;
};

int read_trailer(Channel& in, std::int64_t begin, std::int64_t end, StreamTrailer& trailer) {
    if (begin < 0 || end - begin < 3) return ERR_MALFORMED;
    // The stream trailer, read from its last byte.
    std::uint8_t tail[5];
    const int tail_read = static_cast<int>(std::min<std::int64_t>(5, end - begin));
    if (int rc = in.read_exact_at(end - tail_read, tail, tail_read); rc != 0) return rc;
    const std::uint8_t* t = tail + tail_read;
    std::int64_t k_minus_1;
    int tail_length;
    if (t[-1] & 0x40) {
        if (tail_read < 5) return ERR_MALFORMED;
        tail_length = 5;
        k_minus_1 = std::int64_t{t[-3]} << 14 | std::int64_t{t[-2]} << 6 | (t[-1] & 0x3F);
    } else {
        tail_length = 3;
        k_minus_1 = t[-1] & 0x3F;
    }
    const std::uint8_t first = t[-tail_length];
    const int shift = (first >> 5) + 9;
    const std::int64_t block_size = std::int64_t{1} << shift;
    const std::int64_t last = ((std::int64_t{first} & 0x1F) << 8 | t[-tail_length + 1]) + 1;
    if (last > block_size) return ERR_MALFORMED;
    const std::int64_t blocks = k_minus_1 + 1;
    const std::int64_t total = k_minus_1 * block_size + last;
    // Every coded block takes at least two bytes; a longer claim is corrupt, as
    // is anything beyond the largest file the coder accepts.
    if (total > MAX_FILE_LENGTH || 2 * blocks + tail_length > end - begin) return ERR_MALFORMED;
    trailer = {tail_length, shift, blocks, last, total};
    return 0;
}

}  // namespace

std::int64_t packed_length(Channel& in, std::int64_t begin, std::int64_t end) {
    StreamTrailer trailer;
    const int rc = read_trailer(in, begin, end, trailer);
    return rc != 0 ? rc : trailer.total;
}

std::int64_t unpack_stream(Channel& in, std::int64_t begin, std::int64_t end, std::uint32_t threshold,
                           Channel& out) {
    StreamTrailer trailer;
    if (const int rc = read_trailer(in, begin, end, trailer); rc != 0) return rc;
    const int tail_length = trailer.tail_length;
    const int shift = trailer.shift;
    const std::int64_t block_size = std::int64_t{1} << shift;
    const std::int64_t last = trailer.last;
    const std::int64_t blocks = trailer.blocks;
    const std::int64_t total = trailer.total;

    packer::BlockUnpacker decoder(threshold, shift);
    const std::size_t bs = static_cast<std::size_t>(block_size);

    // Packed bytes [in_lo, in_lo + input.size()) are resident; output blocks are
    // gathered from the end of `output` downwards and written in one piece.
    // Both buffers fit a short stream: fresh memory costs as much to bring in
    // as the bytes it holds. A window over the packed form that reaches its
    // start always holds the longest coded block.
    Array<std::uint8_t> input(static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kBlocksPerPiece * (bs + 1)), end - begin)));
    std::int64_t in_lo = end;
    std::int64_t in_hi = end;
    const std::size_t out_blocks = std::max<std::size_t>(1, (kBlocksPerPiece * kBlockSize) / bs);
    Array<std::uint8_t> output(static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(out_blocks * bs), std::max<std::int64_t>(total, 1))));
    std::int64_t out_lo = total;  // lowest output offset gathered but not written
    std::int64_t out_hi = total;
    auto flush = [&]() -> std::int64_t {
        if (out_hi == out_lo) return 0;
        if (!out.seek(out_lo)) return ERR_WRITE_FAILED;
        const std::int64_t n = out_hi - out_lo;
        const std::int64_t put = out.write(output.data() + (static_cast<std::int64_t>(output.size()) - n), n);
        if (put < 0) return put;
        if (put != n) return ERR_WRITE_FAILED;
        out_hi = out_lo;
        return 0;
    };

    std::int64_t cur = end - tail_length;
    for (std::int64_t i = blocks - 1; i >= 0; --i) {
        const std::int64_t len = i == blocks - 1 ? last : block_size;
        // A coded block is at most one byte longer than the block.
        const std::int64_t need_lo = std::max(begin, cur - (len + 1));
        if (cur <= begin) return ERR_MALFORMED;
        if (need_lo < in_lo || cur > in_hi) {
            in_hi = cur;
            in_lo = std::max(begin, cur - static_cast<std::int64_t>(input.size()));
            if (int rc = in.read_exact_at(in_lo, input.data(), in_hi - in_lo); rc != 0) return rc;
        }
        const std::int64_t offset = i * block_size;
        if (out_hi - offset > static_cast<std::int64_t>(output.size())) {
            if (std::int64_t rc = flush(); rc != 0) return rc;
            out_hi = offset + len;
            out_lo = out_hi;
        }
        std::uint8_t* at = output.data() + (static_cast<std::int64_t>(output.size()) - (out_hi - offset));
        const std::uint8_t* coded_begin =
            decoder.unpack(input.data() + (need_lo - in_lo), input.data() + (cur - in_lo), static_cast<std::size_t>(len), at);
        if (!coded_begin) return ERR_MALFORMED;
        out_lo = offset;
        cur = in_lo + (coded_begin - input.data());
    }
    // The first block must begin exactly where the packed form does.
    if (cur != begin) return ERR_MALFORMED;
    if (std::int64_t rc = flush(); rc != 0) return rc;
    return total;
}

}  // namespace quoralith
