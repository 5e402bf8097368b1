// MSB-first bit writer and bounded bit reader of the control stream.
#include "coder/bitio.h"

#include <algorithm>

namespace quoralith {

ControlWriter::ControlWriter(Channel channel, std::size_t capacity)
    : channel_(channel), buffer_(std::max<std::size_t>(capacity, 8)) {}

void ControlWriter::put_bits(std::uint32_t value, int count) {
    if (count <= 0) return;
    if (count < 32) value &= (1u << count) - 1;
    accumulator_ = (accumulator_ << count) | value;
    pending_ += count;
    bit_count_ += count;
    while (pending_ >= 8) {
        pending_ -= 8;
        if (fill_ == buffer_.size()) flush_buffer();
        buffer_[fill_++] = static_cast<std::uint8_t>(accumulator_ >> pending_);
    }
    accumulator_ &= (std::uint64_t{1} << pending_) - 1;
}

void ControlWriter::put_count(std::uint32_t v) {
    std::uint64_t n = std::uint64_t{v} + 1;
    int k = 0;
    while ((n >> (k + 1)) != 0) ++k;  // floor(log2 n), >= 1 since v >= 1
    // k-1 ones and a zero, in at most 32-bit pieces.
    int ones = k - 1;
    while (ones >= 31) {
        put_bits(0x7FFFFFFFu, 31);
        ones -= 31;
    }
    put_bits(((1u << ones) - 1) << 1, ones + 1);
    put_bits(static_cast<std::uint32_t>(n - (std::uint64_t{1} << k)), k);
}

void ControlWriter::put_rice(int k, std::uint32_t v) {
    if (k == 0) {
        put_count(v);
        return;
    }
    std::uint32_t q = (v - 1) >> k;
    while (q >= 31) {
        put_bits(0x7FFFFFFFu, 31);
        q -= 31;
    }
    put_bits(((1u << q) - 1) << 1, static_cast<int>(q) + 1);
    put_bits((v - 1) & ((1u << k) - 1), k);
}

void ControlWriter::flush_buffer() {
    if (fill_ == 0) return;
    if (error_ == 0) {
        std::int64_t put = channel_.write(buffer_.data(), static_cast<std::int64_t>(fill_));
        if (put < 0) error_ = static_cast<int>(put);
    }
    fill_ = 0;
}

int ControlWriter::finish() {
    if (pending_ > 0) {
        if (fill_ == buffer_.size()) flush_buffer();
        buffer_[fill_++] = static_cast<std::uint8_t>(accumulator_ << (8 - pending_));
        accumulator_ = 0;
        pending_ = 0;
    }
    flush_buffer();
    return error_;
}

ControlReader::ControlReader(Channel channel, std::int64_t offset, std::int64_t length)
    : bytes_(channel, offset, length) {}

bool ControlReader::refill() {
    std::uint8_t byte;
    if (!bytes_.next_byte(byte)) return false;
    accumulator_ = (accumulator_ << 8) | byte;
    available_ += 8;
    return true;
}

std::uint32_t ControlReader::get_bits(int count) {
    if (count <= 0) return 0;
    while (available_ < count) {
        if (!refill()) {
            overrun_ = true;
            return 0;
        }
    }
    available_ -= count;
    std::uint32_t value = static_cast<std::uint32_t>(accumulator_ >> available_);
    if (count < 32) value &= (1u << count) - 1;
    accumulator_ &= (std::uint64_t{1} << available_) - 1;
    return value;
}

std::uint32_t ControlReader::get_count() {
    int j = 0;
    while (get_bits(1) == 1) {
        if (++j > 31 || overrun_) {
            overrun_ = true;
            return 0;
        }
    }
    if (overrun_) return 0;
    int k = j + 1;
    std::uint64_t r = get_bits(k);
    std::uint64_t value = r + (std::uint64_t{1} << k) - 1;
    if (value > 0xFFFFFFFFu) {
        overrun_ = true;
        return 0;
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t ControlReader::get_rice(int k) {
    if (k == 0) return get_count();
    std::uint64_t q = 0;
    while (get_bits(1) == 1) {
        if (++q > 0x40000000 || overrun_) {
            overrun_ = true;
            return 0;
        }
    }
    if (overrun_) return 0;
    std::uint64_t value = (q << k) + get_bits(k) + 1;
    if (value > 0xFFFFFFFFu) {
        overrun_ = true;
        return 0;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace quoralith
