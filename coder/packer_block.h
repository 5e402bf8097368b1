// The block level of the block packer: coding one block in memory and decoding
// one block from its end. The stream level (packer.cpp) cuts data into blocks,
// writes the stream trailer and walks the packed form backwards.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quoralith::packer {

// Writers always use 8192-byte blocks; readers take the size from the trailer.
constexpr int kBlockShift = 13;
constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
constexpr int kMaxBlockShift = 16;  // the trailer's 3-bit size field allows up to 2^16

// Block markers (the last byte of every coded block).
constexpr std::uint8_t kMarkerStored = 0xC0;         // the block's bytes unchanged
constexpr std::uint8_t kMarkerPrepassStored = 0x80;  // the block's run pre-pass form, unchanged
constexpr std::uint8_t kMarkerNoPrepass = 0x40;      // bit-coded, coded data is the block itself

// Integer code types of a bit-coded block: 0 gamma-like, 1..5 Rice with k low
// bits, 6 a 4-bit exponent then the mantissa, 7 unary.
constexpr int kCodeTypes = 8;

// Bits that type `type` spends on the value v (v >= 1).
inline std::uint32_t code_cost(int type, std::uint32_t v) {
    switch (type) {
        case 0:
            return 2u * static_cast<std::uint32_t>(std::bit_width(std::uint64_t{v} + 1) - 1);
        case 6:
            return static_cast<std::uint32_t>(std::bit_width(v) - 1) + 4u;
        case 7:
            return v;
        default:
            return ((v - 1) >> type) + 1u + static_cast<std::uint32_t>(type);
    }
}

// Writes bit fields from bit 0 of the first byte upwards, each field from its
// least significant bit up. Writing past the capacity sets overflow() instead.
class BitSink {
public:
    void reset(std::uint8_t* buffer, std::size_t capacity);
    void put(std::uint32_t value, int count);  // count 0..32, value < 2^count
    void put_ones(std::uint32_t count);
    void put_code(int type, std::uint32_t v);
    // Writes out the partial byte. Returns the byte count; `last_bits` receives
    // the number of bits used in the last byte (1..8).
    std::size_t finish(int& last_bits);
    bool overflow() const { return overflow_; }
    std::uint64_t bit_count() const { return bits_; }

private:
    void spill();

    std::uint8_t* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::uint64_t acc_ = 0;
    int fill_ = 0;
    std::uint64_t bits_ = 0;
    bool overflow_ = false;
};

// Reads what BitSink wrote, backwards: from the last used bit of the byte
// before `end` down to bit 0 of `begin`. A read below `begin` sets failed()
// and yields zeros, so a corrupt block can never lead the reader astray.
class BitSource {
public:
    // `top_bits` (1..8) bits of end[-1] are used.
    BitSource(const std::uint8_t* begin, const std::uint8_t* end, int top_bits);

    std::uint32_t get(int count);  // count 0..32
    // Reads one-bits up to and including the terminating zero; returns how many
    // ones there were. More than `limit` ones fail.
    std::uint32_t ones(std::uint32_t limit);
    // A value of code type `type`; 0 after a failure.
    std::uint32_t get_code(int type);
    bool failed() const { return failed_; }
    // The byte that holds the last bit read: where the coded data begins.
    const std::uint8_t* position() const { return ptr_ + (avail_ >> 3); }

private:
    void refill();

    const std::uint8_t* begin_;
    const std::uint8_t* ptr_;  // lowest byte loaded into acc_
    std::uint64_t acc_ = 0;    // the next bit to read is bit avail_ - 1
    int avail_ = 0;
    bool failed_ = false;
};

// How a block's literal bytes are coded: m == 0 means raw 8-bit bytes; else
// slots[0..m) hold the chosen bytes and code[] is the self-inverse
// permutation that gives chosen bytes the codes below m.
struct LiteralTable {
    int m = 0;
    std::array<std::uint8_t, 32> slots{};
    std::array<std::uint8_t, 256> code{};
};

LiteralTable choose_literal_table(const std::uint8_t* bytes, std::size_t count);
// Fills slots[] and code[] from m and the chosen bytes in list order.
void place_literal_table(LiteralTable& table, const std::uint8_t* chosen);

// The run pre-pass: writes the pre-pass form of the block to `out` (room for
// 2 * len + 16 bytes) and returns its length, or 0 when it found no run item.
std::size_t prepass(const std::uint8_t* block, std::size_t len, std::uint32_t threshold, std::uint8_t* out);

// One substitution point of a match: an equal run, then one or two bytes that
// differ from the source and come from the literal bytes.
struct SubPoint {
    std::uint32_t equal;
    std::uint32_t two;  // 1 when two bytes are substituted
};

// Codes blocks. Scratch memory is allocated once and reused for every block.
class BlockPacker {
public:
    // `thorough`: each block is coded several ways and the shortest kept
    // (slower; the plain create never asks for it, so its deltas stay as
    // they are).
    // `largest_block`: no block passed to pack() is longer; the scratch memory
    // is sized to it, so that packing a few bytes does not pay for 8192.
    explicit BlockPacker(std::uint32_t threshold, bool thorough = false, std::size_t largest_block = kBlockSize);

    // Codes `len` (1..largest_block) bytes; the coded block (at most len + 1 bytes) is
    // available through data() until the next call.
    std::size_t pack(const std::uint8_t* block, std::size_t len);
    const std::uint8_t* data() const { return out_.data(); }

private:
    static constexpr std::uint16_t kNone = 0xFFFF;  // the end of a hash chain

    struct Match {
        std::uint32_t offset;
        std::uint32_t first_sub;  // index into subs_
        std::uint32_t sub_count;
        std::uint32_t final_equal;
    };
    struct Item {
        bool is_match;
        std::uint32_t value;  // literal run length, or index into matches_
    };

    // The searches a thorough packer tries in turn: the least score of a
    // match that it takes (0: every match found), and whether it looks a
    // byte on for a better match before taking one. The first is the plain
    // packer's own. Two more floors took 0.03% off a deep delta after the
    // parse, for a fifth of the packer's time.
    struct Variant {
        std::size_t floor;
        bool lazy;
    };
    static constexpr Variant kThoroughVariants[] = {{0, false}, {4, false}, {0, true}};
    struct Candidate {
        std::size_t score = 0;  // equal bytes of the stretch; 0: none
        std::size_t w = 0;      // the later stretch's start, before the backward extension
        std::size_t forward = 0;
        std::size_t backward = 0;
    };
    Candidate best_at(const std::uint8_t* s, std::size_t n, std::size_t l, std::size_t behind) const;

    // Fields of a bit-coded block, each with its own code type; F_COUNT
    // also stands for the one-bit substitution flags.
    enum Field { F_LITERAL = 0, F_MATCHES = 1, F_OFFSET = 2, F_SUBS = 3, F_EQUAL = 4, F_COUNT = 5 };

    std::size_t pack_once(const std::uint8_t* block, std::size_t len);
    std::size_t store(const std::uint8_t* s, std::size_t n, std::uint8_t marker);
    void find_matches(const std::uint8_t* s, std::size_t n);
    void record_match(const std::uint8_t* s, std::size_t earlier, std::size_t later, std::size_t length,
                      std::size_t& last_end);
    // Every value each field of the recorded parse codes, visited in writing
    // order; `emit` sees (field, value) pairs and substitution flags as field
    // F_COUNT.
    template <class Emit>
    void visit_fields(Emit&& emit) const;
    // The cheapest code type of each field for the recorded parse; returns
    // their total bits, and `flags` the number of substitution flags.
    std::uint64_t choose_types(int (&type)[F_COUNT], std::uint64_t& flags) const;
    std::size_t write_block(std::size_t len, std::size_t n, bool prepassed);

    // The thorough packer's last candidate (packer_parse.cpp): a parse of
    // least cost under a price list taken from an earlier coding of the
    // block, repeated with the prices of its own result.
    struct Prices {
        std::array<std::uint32_t, 256> literal{};  // a literal byte, without the run's share
        std::uint32_t run_start = 0;                // a literal run, beyond its bytes' share
        std::uint32_t run_byte = 0;                 // each byte's share of its run's length code
        std::uint32_t group_start = 0;              // the match count of a group of one match
        std::uint32_t group_match = 0;              // each further match of a group
        int type_offset = 0, type_subs = 0, type_equal = 0;
    };
    // Each segment of a stretch found by the walk: an equal run, then (unless
    // it is the last) one substituted byte, or two when `two`.
    struct Segment {
        std::uint16_t equal;
        std::uint16_t two;
    };
    // A stretch the parse may code as a match from `start`, ending after any
    // of its segments.
    struct Reach {
        std::uint16_t start;  // the earlier stretch's start
        std::uint16_t w;      // the later stretch's start
        std::uint32_t first;  // its first segment in segments_
        std::uint16_t count;
    };
    // The cheapest way found to code the block up to a position.
    struct Step {
        std::uint32_t cost;
        std::uint16_t from;  // where the last item starts
        std::uint16_t w;     // a match's source; unused for a literal byte
        bool after_match;    // the item before it was a match
    };
    // A match the parse chose.
    struct Pick {
        std::uint32_t earlier, later, length;
    };
    // Prices from the recorded parse and the code types and literal table
    // that would write it.
    void price_parse(Prices& prices) const;
    // Walks the stretch at i against its source at w, no further than
    // `limit` bytes nor `most` segments, appending its segments; returns
    // where it ends.
    std::size_t walk_stretch(const std::uint8_t* s, std::size_t i, std::size_t w, std::size_t limit,
                             std::size_t most);
    // The stretches of every position, from the hash chains of the search.
    void collect_reaches(const std::uint8_t* s, std::size_t n);
    // Records the parse of least cost under `prices`; false when it has no match.
    bool parse_cheapest(const std::uint8_t* s, std::size_t n, const Prices& prices);
    // Codes the block searched last by its parses and keeps the coding in
    // best_out_ when it is shorter than `best`, updating `best`.
    void pack_parsed(std::size_t len, std::size_t& best, Prices& prices);

    std::uint32_t threshold_;
    bool thorough_;
    std::size_t min_score_ = 0;
    bool lazy_ = false;
    std::vector<std::uint8_t> work_;  // the data searched, with a margin on both sides
    std::vector<std::uint16_t> heads_;
    std::vector<std::uint16_t> next_;
    std::vector<std::uint16_t> runs_;  // equal bytes starting at each position
    std::vector<Item> items_;
    std::vector<Match> matches_;
    std::vector<SubPoint> subs_;
    std::vector<std::uint8_t> literals_;
    std::vector<std::uint8_t> out_;
    std::vector<std::uint8_t> best_out_;  // a thorough packer's shortest coding so far
    // What the last pack_once searched, for the parse that follows it.
    const std::uint8_t* searched_ = nullptr;
    std::size_t searched_n_ = 0;
    bool searched_prepassed_ = false;
    bool bit_coded_ = false;
    std::vector<std::uint32_t> reach_begin_;  // reaches_ of each position
    std::vector<Reach> found_;  // stretches, by their start
    std::vector<Segment> segments_;
    std::vector<Step> literal_steps_;  // the cheapest way to each position, ending in a literal
    std::vector<Step> match_steps_;    // the same, ending in a match
    std::vector<Pick> picks_;
    std::vector<std::uint32_t> offset_price_, equal_price_, subs_price_;
    BitSink sink_;
};

// Decodes blocks. Scratch memory is allocated once for the stream's block size.
class BlockUnpacker {
public:
    BlockUnpacker(std::uint32_t threshold, int block_shift);

    // Decodes the block of `len` bytes whose coded form ends at `end` (its
    // marker is end[-1]) and lies wholly at or after `begin`; writes `len` bytes
    // to `out`. Returns where the block's coded data begins, or nullptr when the
    // form is corrupt.
    const std::uint8_t* unpack(const std::uint8_t* begin, const std::uint8_t* end, std::size_t len,
                               std::uint8_t* out);

private:
    const std::uint8_t* unpack_bits(const std::uint8_t* begin, const std::uint8_t* end, std::size_t len,
                                    std::uint8_t* out, bool prepassed, int top_bits);
    bool read_literals(BitSource& bits, std::uint32_t count);

    std::uint32_t threshold_;
    int shift_;
    std::vector<std::uint8_t> literals_;
    std::vector<std::uint8_t> prepass_;
    std::vector<SubPoint> subs_;
};

}  // namespace quoralith::packer
