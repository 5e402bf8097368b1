// Algorithm parameters and the Base check block.
#include "coder/format.h"

#include <vector>

namespace quoralith {

AlgorithmParams algorithm_params(int algorithm) {
    constexpr std::uint32_t kNoRuns = 1500000000;
    //                T        P      g  G   window back M    key  fingerprint sequential
    switch (algorithm) {
        case 0: return {36, 36, 0, 0, 0, 0, 0, 0, false, false};
        case 1: return {36, 36, 0, 60, 1000, 30, 100, 20, false, true};
        case 2: return {36, 36, 1, 60, 20, 30, 7, 4, true, false};
        case 3: return {kNoRuns, 30000, 1, 5, 20, 30, 7, 4, true, true};
        case 4: return {36, 30000, 1, 60, 20, 30, 7, 4, true, true};
        case 5: return {36, 30000, 1, 5, 20, 30, 7, 4, true, true};
        case 6: return {360, 30000, 1, 60, 20, 30, 7, 4, true, true};
        default: return {kNoRuns, 30000, 1, 60, 20, 30, 7, 4, true, true};
    }
}

CheckFold::CheckFold(std::int64_t total) { put_be32(block_, static_cast<std::uint32_t>(total)); }

void CheckFold::add(const std::uint8_t* p, std::size_t left) {
    folded_ += static_cast<std::int64_t>(left);
    // Up to the next row boundary byte by byte, then whole rows of 252 bytes
    // folded a word at a time, then the rest.
    while (left > 0 && fold_ != 0) {
        block_[4 + fold_] ^= *p++;
        --left;
        if (++fold_ == 252) fold_ = 0;
    }
    if (left >= 252) {
        std::uint32_t row[63];
        std::memcpy(row, block_ + 4, sizeof row);
        for (; left >= 252; left -= 252, p += 252) {
            std::uint32_t words[63];
            std::memcpy(words, p, sizeof words);
            for (int w = 0; w < 63; ++w) row[w] ^= words[w];
        }
        std::memcpy(block_ + 4, row, sizeof row);
    }
    while (left > 0) {
        block_[4 + fold_] ^= *p++;
        --left;
        ++fold_;
    }
}

int compute_check_block(Channel& base, int length, std::uint8_t* out) {
    const std::int64_t total = base.length();
    CheckFold check(total);
    // One whole transfer of a window (65532 bytes) at a time: a buffer of
    // 64 KiB would cost a second read of 4 bytes every time.
    Array<std::uint8_t> buffer(0xFFFC);
    if (!base.seek(0)) return ERR_READ_FAILED;
    while (check.folded() < total) {
        std::int64_t got = base.read(buffer.data(), static_cast<std::int64_t>(buffer.size()));
        if (got < 0) return static_cast<int>(got);
        if (got == 0) break;
        check.add(buffer.data(), static_cast<std::size_t>(got));
    }
    check.finish(length, out);
    return 0;
}

void fold_check_block(const std::uint8_t* block, int length, std::uint8_t* out) {
    if (length == kCheckShort) {
        std::uint32_t word = 0;
        for (int i = 0; i < 32; ++i) {
            const std::uint8_t* p = block + 4 * i;
            word ^= static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                    static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        }
        for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(word >> (8 * i));
        return;
    }
    std::memcpy(out, block, static_cast<std::size_t>(length < kCheckLong ? length : kCheckLong));
}

}  // namespace quoralith
