// The match search of algorithms 1 to 15: walks Updated' from start to end and
// writes the records that rebuild it from Base'. A sequential search follows the
// two files in step and steps over small insertions and deletions; a fingerprint
// search over fixed-size Base' blocks finds moved data anywhere in Base'; a
// back-chain search finds the smaller matches just before a fingerprint match.
// The records are a deterministic function of Base', Updated' and the algorithm:
// every choice below (visiting order, tie rules) is part of what another coder
// given the same files must reproduce byte for byte.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "coder/create_internal.h"
#include "coder/local_match.h"

namespace quoralith {

namespace {

// Ends the search from deep inside it: a read that failed or was stopped, a
// temporary file that could not be made. Caught in match_search() only.
struct SearchAbort {
    std::int64_t code;
};
constexpr std::int64_t kNotSmaller = kMatchNotSmaller;

// Pieces in which long stretches are made resident and scanned.
constexpr std::int64_t kRunChunk = 1 << 15;    // copy runs, literals, block fingerprints
constexpr std::int64_t kScanChunk = 1 << 16;   // the rolling fingerprint
constexpr std::int64_t kAuxChunk = 1 << 11;    // block checks and backward extensions
constexpr std::size_t kSubstitutionsInMemory = 1 << 14;
constexpr int kStackEntries = 50;              // back-chain stack: 25 position pairs
constexpr std::uint16_t kNoBlock = 0xFFFF;
constexpr std::uint32_t kSlotMultiplier = 0x9E3779B1u;  // spreads fingerprints over the table
constexpr std::uint32_t kFilterMultiplier = 0x85EBCA77u;  // and, independently, over the filter
constexpr int kMaxFilterBits = 20;
// Repeated blocks (see repeat_distance_): the bytes before a block that its
// repeat must repeat too, how far back a repeat is looked for, how many
// look-alikes are compared there, and the largest block size considered.
constexpr std::int64_t kRepeatContext = 64;
constexpr int kRepeatReach = 32;
constexpr int kRepeatTries = 4;
constexpr std::int64_t kRepeatMaxBlock = 1 << 14;

inline std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Number of equal leading bytes of a and b, at most n.
inline std::int64_t equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n) {
    std::int64_t k = 0;
    while (k + 8 <= n) {
        const std::uint64_t x = load_le64(a + k) ^ load_le64(b + k);
        if (x != 0) return k + std::countr_zero(x) / 8;
        k += 8;
    }
    while (k < n && a[k] == b[k]) ++k;
    return k;
}

// A read cache whose failures end the search.
class Source {
public:
    // A small stream gets a cache of its own size: the engine makes a delta for
    // every file of a tree, most of them small, with several algorithms each.
    Source(Channel channel, std::int64_t length, std::size_t capacity, std::size_t back_margin)
        : cache_(channel, length,
                 static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(capacity),
                                                                 length + static_cast<std::int64_t>(back_margin))),
                 back_margin) {}

    const std::uint8_t* view(std::int64_t position, std::int64_t count) {
        const std::uint8_t* p = cache_.view(position, static_cast<std::size_t>(count));
        if (!p) {
            // A stream shorter than its length (a file cut under us) is an input
            // that could not be read, not a malformed delta.
            const int code = cache_.error();
            throw SearchAbort{code == 0 || code == ERR_MALFORMED ? ERR_READ_FAILED : code};
        }
        return p;
    }

private:
    ReadCache cache_;
};

// What the fingerprint search knows of a block of B bytes without reading it
// again: its fingerprint, and a stronger check of its content.
struct BlockSummary {
    // Byte j (here bits 31-8j down, so that the word orders like the four
    // bytes) is the XOR of the bytes whose offset from the start is j mod 4.
    std::uint32_t fingerprint;
    // A hash of the content. The XOR fingerprint is weak (blocks of a few
    // values in a sea of zeros share it by the thousand); blocks whose checks
    // differ are certainly different and need not be read to be compared.
    std::uint32_t check;
};

class BlockHasher {
public:
    // Pieces come in order; all but the last are a multiple of 8 bytes long, so
    // that words and lanes stay aligned to the block's start.
    void add(const std::uint8_t* p, std::int64_t n) {
        const std::int64_t whole = n & ~std::int64_t{7};
        for (std::int64_t k = 0; k < whole; k += 8) {
            const std::uint64_t w = load_le64(p + k);
            words_ ^= w;
            hash_ = (std::rotl(hash_, 23) ^ w) * 0x9E3779B97F4A7C15ull;
        }
        std::uint64_t rest = 0;
        for (std::int64_t k = whole; k < n; ++k) {
            lanes_[k & 3] ^= p[k];
            rest = rest << 8 | p[k];
        }
        if (n > whole) {
            const std::uint64_t tail = rest ^ static_cast<std::uint64_t>(n - whole) << 56;
            hash_ = (std::rotl(hash_, 23) ^ tail) * 0x9E3779B97F4A7C15ull;
        }
    }
    BlockSummary finish() const {
        const std::uint32_t folded = static_cast<std::uint32_t>(words_) ^ static_cast<std::uint32_t>(words_ >> 32);
        std::uint32_t fingerprint = 0;
        for (int j = 0; j < 4; ++j) {
            const std::uint32_t lane = (lanes_[j] ^ (folded >> (8 * j))) & 0xFF;
            fingerprint |= lane << (24 - 8 * j);
        }
        return {fingerprint, static_cast<std::uint32_t>(hash_ >> 32) ^ static_cast<std::uint32_t>(hash_)};
    }

private:
    std::uint64_t words_ = 0;
    std::uint64_t hash_ = 0;
    std::uint8_t lanes_[4] = {0, 0, 0, 0};
};

BlockSummary summarize_block(Source& source, std::int64_t position, std::int64_t length) {
    BlockHasher hasher;
    for (std::int64_t done = 0; done < length;) {
        const std::int64_t n = std::min(kRunChunk, length - done);
        hasher.add(source.view(position + done, n), n);
        done += n;
    }
    return hasher.finish();
}

// The back-chain stack of position pairs: 50 entries in memory, moved to a
// temporary file 50 at a time when full and read back in reverse order, so a
// long chain costs no memory.
class BackChainStack {
public:
    void clear() {
        fill_ = 0;
        spilled_ = 0;
    }
    bool empty() const { return fill_ == 0 && spilled_ == 0; }
    void push(std::int64_t p, std::int64_t q) {
        push_entry(static_cast<std::uint32_t>(p));
        push_entry(static_cast<std::uint32_t>(q));
    }
    std::pair<std::int64_t, std::int64_t> pop() {
        const std::int64_t q = pop_entry();
        const std::int64_t p = pop_entry();
        return {p, q};
    }

private:
    static constexpr std::int64_t kBlockBytes = kStackEntries * 4;

    void push_entry(std::uint32_t v) {
        if (fill_ == kStackEntries) {
            if (!file_ && !file_.open()) throw SearchAbort{ERR_TEMP_FILE};
            Channel c = file_.channel();
            if (!c.seek(spilled_ * kBlockBytes) || c.write(entries_, kBlockBytes) != kBlockBytes)
                throw SearchAbort{ERR_WRITE_FAILED};
            ++spilled_;
            fill_ = 0;
        }
        entries_[fill_++] = v;
    }
    std::uint32_t pop_entry() {
        if (fill_ == 0) {
            --spilled_;
            Channel c = file_.channel();
            if (c.read_exact_at(spilled_ * kBlockBytes, entries_, kBlockBytes) != 0)
                throw SearchAbort{ERR_READ_FAILED};
            fill_ = kStackEntries;
        }
        return entries_[--fill_];
    }

    std::uint32_t entries_[kStackEntries] = {};
    int fill_ = 0;
    std::int64_t spilled_ = 0;
    TempFile file_;
};

class MatchSearch {
public:
    MatchSearch(CreateJob& job, ControlWriter& control, BufferedWriter& literals)
        : job_(job),
          control_(control),
          literals_(literals),
          params_(job.params),
          n_(job.n),
          u_(job.u),
          position_bits_(bit_length_min1(static_cast<std::uint64_t>(job.n > 0 ? job.n - 1 : 0))),
          first_hit_(job.algorithm == 2),
          base_run_(job.base_prime, job.n, 1 << 18, 1024),
          updated_run_(job.updated_prime, job.u, 1 << 18, 1024),
          base_aux_(job.base_prime, job.n, 1 << 13, 1 << 12),
          updated_aux_(job.updated_prime, job.u, 1 << 16, 1 << 15),
          scan_(job.updated_prime, job.u, 3 << 16, 64),
          finder_(params_.min_match, params_.key_length) {}

    std::int64_t run() {
        if (params_.sequential) sequential(params_.rice);
        const std::int64_t block = block_size();
        if (params_.fingerprint && block < u_ - q_) {
            build_block_table(block);
            while (fingerprint_search(q_)) {
            }
        }
        if (control_.error()) return control_.error();
        if (literals_.error()) return literals_.error();
        return q_;
    }

private:
    void check_stop() {
        if (job_.context.stopped()) throw SearchAbort{ERR_STOPPED};
    }

    // Block size B of the fingerprint search.
    std::int64_t block_size() const {
        const std::int64_t lb = job_.base_length;
        if (first_hit_) {
            const int bits = bit_length_min1(static_cast<std::uint64_t>(n_));
            const std::int64_t s = std::max<std::int64_t>(1, n_ >> (bits / 2));
            std::int64_t h = std::max<std::int64_t>(1, (n_ / s + s) / 2);
            h = std::max(h, lb / h);
            return h + 1;
        }
        const std::int64_t g = params_.granularity;
        const std::int64_t count = lb / g >= 32767 ? 32768 : lb / g + 1;
        return std::max(n_ / count + 1, g);
    }

    // ---- records -----------------------------------------------------------

    void put_literals(std::int64_t from, std::int64_t count) {
        while (count > 0) {
            const std::int64_t n = std::min(count, kRunChunk);
            literals_.put(updated_run_.view(from, n), static_cast<std::size_t>(n));
            from += n;
            count -= n;
        }
    }

    // Before each record: once the records so far make match coding no
    // smaller than storing (the driver's test V + X + 9 < U), no later one
    // can, and the search ends. Long searches on pairs that share little
    // thus stop where the stored form wins, not at the end of Updated'.
    void check_worth() const {
        if (control_.byte_count() + literals_.written() + 9 >= u_) throw SearchAbort{kNotSmaller};
    }

    void put_positioned(std::int64_t literal, std::int64_t p) {
        check_worth();
        control_.put_flag(true);
        control_.put_count(static_cast<std::uint32_t>(literal + 1));
        control_.put_bits(static_cast<std::uint32_t>(p), position_bits_);
    }

    void put_relative(int rice, std::int64_t literal, std::int64_t advance) {
        check_worth();
        control_.put_flag(false);
        control_.put_rice(rice, static_cast<std::uint32_t>(literal + 1));
        control_.put_rice(rice, static_cast<std::uint32_t>(advance + 1));
    }

    void add_substitution(std::int64_t equal, int replaced) {
        if (substitutions_.size() == kSubstitutionsInMemory) {
            if (!spill_file_ && !spill_file_.open()) throw SearchAbort{ERR_TEMP_FILE};
            Channel c = spill_file_.channel();
            const std::int64_t bytes = static_cast<std::int64_t>(substitutions_.size() * 4);
            if (!c.seek(spilled_substitutions_ * 4) || c.write(substitutions_.data(), bytes) != bytes)
                throw SearchAbort{ERR_WRITE_FAILED};
            spilled_substitutions_ += static_cast<std::int64_t>(substitutions_.size());
            substitutions_.clear();
        }
        substitutions_.push_back(static_cast<std::uint32_t>(equal) << 1 | (replaced == 2 ? 1u : 0u));
    }

    void put_substitution(std::uint32_t entry) {
        control_.put_count(entry >> 1);
        control_.put_flag((entry & 1) != 0);
    }

    // Copy run from (p, q), limited by (pl, ql): compares in step, turns one or
    // two differing bytes followed by an equal one into a substitution, ends at
    // a third differing byte in a row or at a limit. Writes the run's part of the
    // record and the substituted bytes; returns the run's length.
    std::int64_t copy_run(std::int64_t p, std::int64_t q, std::int64_t pl, std::int64_t ql) {
        substitutions_.clear();
        spilled_substitutions_ = 0;
        std::int64_t advanced = 0;
        std::int64_t equal = 0;
        int pending = 0;
        std::uint8_t pending_bytes[2] = {0, 0};
        bool ended = false;
        while (!ended) {
            const std::int64_t n = std::min({kRunChunk, pl - (p + advanced), ql - (q + advanced)});
            if (n <= 0) break;
            const std::uint8_t* b = base_run_.view(p + advanced, n);
            const std::uint8_t* a = updated_run_.view(q + advanced, n);
            std::int64_t j = 0;
            while (j < n) {
                if (pending == 0) {
                    const std::int64_t same = equal_prefix(b + j, a + j, n - j);
                    equal += same;
                    j += same;
                    if (j == n) break;
                }
                if (b[j] == a[j]) {
                    if (pending > 0) {
                        add_substitution(equal, pending);
                        literals_.put(pending_bytes, static_cast<std::size_t>(pending));
                        equal = 0;
                        pending = 0;
                    }
                    ++equal;
                } else if (pending == 2) {
                    ++j;
                    pending = 3;
                    ended = true;
                    break;
                } else {
                    pending_bytes[pending++] = a[j];
                }
                ++j;
            }
            advanced += j;
            check_stop();
        }

        const std::int64_t count = spilled_substitutions_ + static_cast<std::int64_t>(substitutions_.size());
        control_.put_count(static_cast<std::uint32_t>(count + 1));
        if (spilled_substitutions_ > 0) {
            std::vector<std::uint32_t> piece(kSubstitutionsInMemory);
            Channel c = spill_file_.channel();
            for (std::int64_t done = 0; done < spilled_substitutions_;) {
                const std::int64_t k = std::min<std::int64_t>(spilled_substitutions_ - done, kSubstitutionsInMemory);
                if (c.read_exact_at(done * 4, piece.data(), k * 4) != 0) throw SearchAbort{ERR_READ_FAILED};
                for (std::int64_t e = 0; e < k; ++e) put_substitution(piece[static_cast<std::size_t>(e)]);
                done += k;
            }
        }
        for (std::uint32_t entry : substitutions_) put_substitution(entry);
        control_.put_count(static_cast<std::uint32_t>(equal));
        return advanced - pending;
    }

    // ---- sequential search ---------------------------------------------------

    // Follows Base' and Updated' in step from (p_, q_): finds the next local
    // match ahead in both windows, codes the bytes skipped on the Updated' side
    // as literals and those skipped in Base' as the record's advance, copies, and
    // goes on until no local match is found.
    void sequential(int rice) {
        const std::int64_t window = params_.window;
        const int m = params_.min_match;
        for (;;) {
            check_stop();
            const std::int64_t c = std::min(window, n_ - p_);
            const std::int64_t a = std::min(window, u_ - q_);
            if (c < m || a < m) return;
            const std::uint8_t* d = base_run_.view(p_, c);
            const std::uint8_t* w = updated_run_.view(q_, a);
            const std::optional<LocalMatch> match =
                finder_.find(d, static_cast<int>(c), w, static_cast<int>(a), true);
            if (!match) return;
            put_relative(rice, match->updated_offset, match->base_offset);
            put_literals(q_, match->updated_offset);
            p_ += match->base_offset;
            q_ += match->updated_offset;
            const std::int64_t length = copy_run(p_, q_, n_, u_);
            p_ += length;
            q_ += length;
        }
    }

    // ---- fingerprint search --------------------------------------------------

    void build_block_table(std::int64_t block) {
        block_ = block;
        const std::int64_t count = block <= n_ ? n_ / block : 0;
        // At most 32768 blocks by the choice of B; the cap only keeps the 16-bit
        // block numbers safe.
        blocks_ = static_cast<std::uint32_t>(std::min<std::int64_t>(count, 0xFFFE));
        if (blocks_ == 0) return;
        fingerprints_.resize(blocks_);
        checks_.resize(blocks_);
        repeat_distance_.assign(blocks_, 0);
        next_.resize(blocks_);
        int bits = 4;
        while ((std::uint32_t{1} << bits) < 2 * blocks_) ++bits;
        table_shift_ = 32 - bits;
        head_.assign(std::size_t{1} << bits, kNoBlock);
        int filter_bits = bits + 4;
        filter_bits = std::min(filter_bits, kMaxFilterBits);
        filter_shift_ = 32 - filter_bits;
        filter_.assign((std::size_t{1} << filter_bits) / 64 + 1, 0);
        for (std::uint32_t k = 0; k < blocks_; ++k) {
            const BlockSummary summary = summarize_block(base_run_, static_cast<std::int64_t>(k) * block, block);
            fingerprints_[k] = summary.fingerprint;
            checks_[k] = summary.check;
            if (block <= kRepeatMaxBlock) repeat_distance_[k] = repeat_distance(k, block);
            if ((k & 1023) == 0) check_stop();
        }
        // Chains in ascending block order: blocks of one fingerprint are then
        // visited as in a table sorted by fingerprint and block number.
        for (std::uint32_t k = blocks_; k-- > 0;) {
            const std::uint32_t f = (fingerprints_[k] * kFilterMultiplier) >> filter_shift_;
            filter_[f >> 6] |= std::uint64_t{1} << (f & 63);
            std::uint16_t& slot = head_[slot_of(fingerprints_[k])];
            next_[k] = slot;
            slot = static_cast<std::uint16_t>(k);
        }
        // The byte rolled in at i + B lands in byte (B - 1) mod 4.
        lead_shift_ = 24 - 8 * static_cast<int>((block - 1) & 3);
    }

    // The distance d (1 to kRepeatReach) to the nearest earlier block k - d
    // that block k repeats together with the kRepeatContext bytes before it, or
    // 0. Periodic data repeats its blocks every few blocks, runs of one value
    // every block.
    std::uint8_t repeat_distance(std::uint32_t k, std::int64_t block) {
        const std::int64_t at = static_cast<std::int64_t>(k) * block;
        int tries = 0;
        for (std::uint32_t d = 1; d <= static_cast<std::uint32_t>(kRepeatReach) && d <= k; ++d) {
            const std::uint32_t j = k - d;
            const std::int64_t earlier = static_cast<std::int64_t>(j) * block;
            if (earlier < kRepeatContext) break;
            if (fingerprints_[j] != fingerprints_[k] || checks_[j] != checks_[k]) continue;
            const std::int64_t span = block + kRepeatContext;
            const std::uint8_t* x = base_run_.view(at - kRepeatContext, span);
            const std::uint8_t* y = base_aux_.view(earlier - kRepeatContext, span);
            if (std::memcmp(x, y, static_cast<std::size_t>(span)) == 0) return static_cast<std::uint8_t>(d);
            if (++tries == kRepeatTries) break;
        }
        return 0;
    }

    std::size_t slot_of(std::uint32_t fingerprint) const { return (fingerprint * kSlotMultiplier) >> table_shift_; }

    // Searches Updated' from a0 for the first position whose B bytes equal a
    // Base' block; codes the match (with its back-chain pieces) and continues
    // with the sequential search. Returns false when nothing was found.
    bool fingerprint_search(std::int64_t a0) {
        const std::int64_t block = block_;
        if (blocks_ == 0 || u_ - a0 < block) return false;
        const std::int64_t last = u_ - block;
        std::uint32_t fingerprint = summarize_block(scan_, a0, block).fingerprint;
        // The loop below runs once per Updated' byte: the table is read through
        // locals, and only a block of an equal fingerprint leads out of it.
        const std::uint16_t* head = head_.data();
        const std::uint16_t* next = next_.data();
        const std::uint32_t* fingerprints = fingerprints_.data();
        const std::uint64_t* filter = filter_.data();
        const int shift = table_shift_;
        const int filter_shift = filter_shift_;
        const int lead_shift = lead_shift_;
        auto first_block = [&](std::uint32_t f) {
            std::uint16_t k = head[(f * kSlotMultiplier) >> shift];
            while (k != kNoBlock && fingerprints[k] != f) k = next[k];
            return k;
        };
        std::int64_t i = a0;
        for (;;) {
            const std::int64_t n = std::min(kScanChunk, last - i);
            if (n == 0) {
                const std::uint16_t k = first_block(fingerprint);
                return k != kNoBlock && try_position(i, fingerprint, k, nullptr, a0);
            }
            const std::uint8_t* trail;
            const std::uint8_t* lead;
            if (block <= kScanChunk) {
                trail = scan_.view(i, n + block);
                lead = trail + block;
            } else {
                if (!scan_lead_) scan_lead_.emplace(job_.updated_prime, u_, 1 << 17, 64);
                trail = scan_.view(i, n);
                lead = scan_lead_->view(i + block, n);
            }
            for (std::int64_t j = 0; j < n; ++j) {
                const std::uint32_t f = (fingerprint * kFilterMultiplier) >> filter_shift;
                if ((filter[f >> 6] >> (f & 63)) & 1) [[unlikely]] {
                    const std::uint16_t k = first_block(fingerprint);
                    if (k != kNoBlock &&
                        try_position(i + j, fingerprint, k, block <= kScanChunk ? trail + j : nullptr, a0))
                        return true;
                }
                fingerprint ^= static_cast<std::uint32_t>(trail[j]) << 24;
                fingerprint = std::rotl(fingerprint, 8);
                fingerprint ^= static_cast<std::uint32_t>(lead[j]) << lead_shift;
            }
            i += n;
            check_stop();
        }
    }

    // Whether Base' from p and Updated' from q agree for `length` bytes.
    bool equal_ranges(std::int64_t p, std::int64_t q, std::int64_t length) {
        for (std::int64_t done = 0; done < length;) {
            const std::int64_t n = std::min(kAuxChunk, length - done);
            const std::uint8_t* b = base_aux_.view(p + done, n);
            const std::uint8_t* a = updated_aux_.view(q + done, n);
            if (std::memcmp(b, a, static_cast<std::size_t>(n)) != 0) return false;
            done += n;
        }
        return true;
    }

    // Moves (p, q) back while fewer than three consecutive bytes differ, p stays
    // above 0 and q above `floor`, then gives back the differing bytes at the front.
    void extend_back(std::int64_t& p, std::int64_t& q, std::int64_t floor) {
        int differ = 0;
        while (differ < 3) {
            const std::int64_t room = std::min(p, q - floor);
            if (room <= 0) break;
            const std::int64_t n = std::min(room, kAuxChunk);
            const std::uint8_t* b = base_aux_.view(p - n, n);
            const std::uint8_t* a = updated_aux_.view(q - n, n);
            std::int64_t j = n;
            while (j > 0 && differ < 3) {
                if (differ == 0 && j >= 8 && load_le64(b + j - 8) == load_le64(a + j - 8)) {
                    j -= 8;
                    continue;
                }
                --j;
                differ = b[j] == a[j] ? 0 : differ + 1;
            }
            p -= n - j;
            q -= n - j;
        }
        lowest_read_ = std::min(lowest_read_, p);
        p += differ;
        q += differ;
    }

    // Back-chain search before the match at (p, q), not below Updated' a0:
    // local matches found backwards in the back windows, each stretched
    // backwards. Pushes the pieces when `stack` is given; returns the Updated'
    // position of the earliest piece (q itself when there is none).
    std::int64_t back_chain(std::int64_t p, std::int64_t q, std::int64_t a0, BackChainStack* stack) {
        const std::int64_t window = params_.back_window;
        const int m = params_.min_match;
        for (;;) {
            const std::int64_t c = std::min(window, p);
            const std::int64_t a = std::min(window, q - a0);
            lowest_read_ = std::min(lowest_read_, p - c);
            if (c < m || a < m) return q;
            const std::uint8_t* d = base_aux_.view(p - c, c);
            const std::uint8_t* w = updated_aux_.view(q - a, a);
            const std::optional<LocalMatch> match =
                finder_.find(d, static_cast<int>(c), w, static_cast<int>(a), false);
            if (!match) return q;
            std::int64_t piece_p = p - c + match->base_offset;
            std::int64_t piece_q = q - a + match->updated_offset;
            extend_back(piece_p, piece_q, a0);
            if (stack) stack->push(piece_p, piece_q);
            p = piece_p;
            q = piece_q;
        }
    }

    // Tries the blocks whose fingerprint equals that of Updated' at i, from
    // `first_block`, the first of them in block order (the B bytes at i are at
    // `resident` when not null). Returns true when one matched and the records
    // were written.
    bool try_position(std::int64_t i, std::uint32_t fingerprint, std::uint16_t first_block,
                      const std::uint8_t* resident, std::int64_t a0) {
        const std::int64_t block = block_;
        std::optional<std::uint32_t> check;
        bool found = false;
        std::int64_t best_score = INT64_MAX;
        std::int64_t best_p = 0;
        std::int64_t best_q = 0;
        // The blocks of the last kRepeatReach whose score is known to hold for
        // a repeat of them (scoring read at most kRepeatContext bytes below the
        // block and never met the start of Base'), by block number mod the reach.
        std::int32_t repeatable[kRepeatReach];
        std::fill(std::begin(repeatable), std::end(repeatable), -1);
        for (std::uint16_t k = first_block; k != kNoBlock; k = next_[k]) {
            if (fingerprints_[k] != fingerprint) continue;
            if (!check) {
                if (resident) {
                    BlockHasher hasher;
                    hasher.add(resident, block);
                    check = hasher.finish().check;
                } else {
                    check = summarize_block(updated_aux_, i, block).check;
                }
            }
            if (checks_[k] != *check) continue;
            // A block that repeats one scored before, with the bytes before it,
            // scores the same and so loses the tie.
            const int d = repeat_distance_[k];
            if (!first_hit_ && d > 0 && repeatable[(k - d) % kRepeatReach] == k - d) {
                repeatable[k % kRepeatReach] = k;
                continue;
            }
            std::int64_t p = static_cast<std::int64_t>(k) * block;
            std::int64_t q = i;
            if (!equal_ranges(p, q, block)) continue;
            const std::int64_t start = p;
            lowest_read_ = start;
            extend_back(p, q, a0);
            if (first_hit_) {
                put_positioned(q - a0, p);
                put_literals(a0, q - a0);
                const std::int64_t length = copy_run(p, q, n_, u_);
                p_ = p + length;
                q_ = q + length;
                return true;
            }
            // Scoring needs only where the chain ends; the pieces themselves are
            // found again below for the match that wins.
            const std::int64_t score = back_chain(p, q, a0, nullptr);
            repeatable[k % kRepeatReach] = lowest_read_ >= 1 && start - lowest_read_ <= kRepeatContext ? k : -1;
            if (score < best_score) {
                best_score = score;
                best_p = p;
                best_q = q;
                found = true;
                // No score is below a0, and a later equal one would lose.
                if (score == a0) break;
            }
        }
        if (!found) return false;

        stack_.clear();
        stack_.push(n_, u_);
        stack_.push(best_p, best_q);
        back_chain(best_p, best_q, a0, &stack_);
        // From the earliest piece to the match: each copy run stops where the
        // next piece starts; the match's own run is limited by (N, U), the
        // bottom of the stack.
        auto [piece_p, piece_q] = stack_.pop();
        std::int64_t end_p = 0;
        std::int64_t end_q = a0;
        bool first = true;
        while (!stack_.empty()) {
            const auto [limit_p, limit_q] = stack_.pop();
            const std::int64_t literal = piece_q - end_q;
            if (first) {
                put_positioned(literal, piece_p);
            } else {
                put_relative(1, literal, piece_p - end_p);
            }
            first = false;
            put_literals(end_q, literal);
            const std::int64_t length = copy_run(piece_p, piece_q, limit_p, limit_q);
            end_p = piece_p + length;
            end_q = piece_q + length;
            piece_p = limit_p;
            piece_q = limit_q;
        }
        p_ = end_p;
        q_ = end_q;
        sequential(1);
        return true;
    }

    CreateJob& job_;
    ControlWriter& control_;
    BufferedWriter& literals_;
    const AlgorithmParams params_;
    const std::int64_t n_;
    const std::int64_t u_;
    const int position_bits_;
    const bool first_hit_;  // algorithm 2: the first verified block, no back chain

    std::int64_t p_ = 0;
    std::int64_t q_ = 0;

    // Separate caches for separate access streams, so that pointers into one
    // stay valid while another moves: copy runs and literals, random block
    // checks and backward extensions, and the rolling fingerprint. Block checks
    // jump around Base' (a run of equal blocks can mean thousands of them at one
    // position), so that cache is small: every reload reads it whole.
    Source base_run_;
    Source updated_run_;
    Source base_aux_;
    Source updated_aux_;
    Source scan_;
    std::optional<Source> scan_lead_;  // only for blocks longer than a scan piece

    LocalMatchFinder finder_;

    std::vector<std::uint32_t> substitutions_;
    std::int64_t spilled_substitutions_ = 0;
    TempFile spill_file_;

    BackChainStack stack_;

    std::int64_t block_ = 0;
    std::uint32_t blocks_ = 0;
    std::vector<std::uint32_t> fingerprints_;
    std::vector<std::uint32_t> checks_;
    // repeat_distance_[k] = d: block k and the kRepeatContext bytes before it
    // equal block k - d and the bytes before that. Scoring block k would read
    // the same bytes, shifted, and give the same score as block k - d.
    std::vector<std::uint8_t> repeat_distance_;
    // The lowest Base' position that scoring the current block has read.
    std::int64_t lowest_read_ = 0;
    std::vector<std::uint16_t> next_;
    std::vector<std::uint16_t> head_;
    // One bit per hash of the fingerprints present: most Updated' positions
    // are turned away here, without a mispredicted branch into the table.
    std::vector<std::uint64_t> filter_;
    int filter_shift_ = 32;
    int table_shift_ = 32;
    int lead_shift_ = 24;
};

}  // namespace

std::int64_t match_search(CreateJob& job, ControlWriter& control, BufferedWriter& literals) {
    try {
        MatchSearch search(job, control, literals);
        return search.run();
    } catch (const SearchAbort& abort) {
        return abort.code;
    }
}

}  // namespace quoralith
