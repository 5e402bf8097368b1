// Bit streams of the control stream: bits packed from the most significant bit
// of each byte down, fields written most significant bit first.
#pragma once

#include <cstdint>
#include <vector>

#include "coder/stream.h"

namespace quoralith {

// Writes the control stream into a Channel through a buffer of `capacity` bytes
// that is flushed whenever it is full.
class ControlWriter {
public:
    ControlWriter(Channel channel, std::size_t capacity);

    void put_bits(std::uint32_t value, int count);  // count 0..32
    void put_flag(bool bit) { put_bits(bit ? 1u : 0u, 1); }
    // C(v), v >= 1: k-1 ones, a zero, then v+1-2^k in k bits (k = floor(log2(v+1))).
    void put_count(std::uint32_t v);
    // R_k(v), v >= 1; k = 0 is the count code.
    void put_rice(int k, std::uint32_t v);

    // Bytes so far, the partial byte rounded up.
    std::int64_t byte_count() const { return (bit_count_ + 7) / 8; }
    std::int64_t bit_count() const { return bit_count_; }
    // Writes buffered whole bytes and the padded partial byte; returns 0 or an error.
    int finish();
    int error() const { return error_; }

private:
    void flush_buffer();

    Channel channel_;
    std::vector<std::uint8_t> buffer_;
    std::size_t fill_ = 0;
    std::uint64_t accumulator_ = 0;  // pending bits, right-aligned
    int pending_ = 0;
    std::int64_t bit_count_ = 0;
    int error_ = 0;
};

// Reads a control stream of `length` bytes starting at `offset` of a Channel.
// Reading past the end sets overrun() and yields zero bits, so that a corrupt
// delta is refused rather than read out of bounds.
class ControlReader {
public:
    ControlReader(Channel channel, std::int64_t offset, std::int64_t length);

    std::uint32_t get_bits(int count);  // count 0..32
    bool get_flag() { return get_bits(1) != 0; }
    // C(): fails (overrun) for codes of more than 31 one-bits.
    std::uint32_t get_count();
    std::uint32_t get_rice(int k);

    bool overrun() const { return overrun_; }
    int error() const { return bytes_.error(); }

private:
    bool refill();

    SequentialReader bytes_;
    std::uint64_t accumulator_ = 0;
    int available_ = 0;
    bool overrun_ = false;
};

}  // namespace quoralith
