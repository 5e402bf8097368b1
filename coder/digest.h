// The content digest that lets a restore prove its output is the file the
// delta was made from, and the tagged record that carries it (with the
// Updated file's permission bits) in the trailer's reserved field.
//
// The digest is a two-level XXH3-128: Updated is cut into leaves of 64 KiB,
// each leaf is hashed on its own, and the leaf digests, in order, are hashed
// again with the file's length as seed. Leaves make the digest computable
// while the output is written, in whatever order a decoder produces it (the
// block packer writes its output from the end towards the start), without a
// second pass over the file. docs/delta-format.md gives the exact bytes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "coder/stream.h"

namespace quoralith {

constexpr std::size_t kDigestSize = 16;
using ContentDigest = std::array<std::uint8_t, kDigestSize>;

constexpr std::int64_t kDigestLeaf = 65536;

// The digest of `count` bytes held in memory.
ContentDigest digest_of_bytes(const std::uint8_t* bytes, std::size_t count);

// Builds the digest from writes that each land at a position of the file. The
// writes may come in any order as long as each leaf is filled by adjoining
// stretches (forwards, backwards, or both) and no byte is written twice; a
// writer that breaks this is noticed, never silently mis-hashed. At most a few
// leaves are partly filled at a time, so memory stays bounded.
//
// Thread safety: none; one builder per output.
class DigestBuilder {
public:
    DigestBuilder();
    ~DigestBuilder();
    DigestBuilder(const DigestBuilder&) = delete;
    DigestBuilder& operator=(const DigestBuilder&) = delete;

    // The `count` bytes at `position` of the output.
    void add(std::int64_t position, const std::uint8_t* bytes, std::size_t count);

    // The digest of a file of `length` bytes made of everything added. False
    // when the writes did not cover [0, length) exactly once in a form the
    // builder could follow; the caller then hashes the finished file instead.
    bool finish(std::int64_t length, ContentDigest& out) const;

    bool broken() const { return broken_; }

private:
    // A leaf written in more than one piece: its start hashed as it comes, a
    // stretch written ahead of that start held until the start reaches it.
    struct Partial;
    static constexpr std::size_t kMaxPartials = 8;

    void add_to_leaf(std::int64_t leaf, std::int64_t offset, const std::uint8_t* bytes, std::int64_t count);
    void record_leaf(std::int64_t leaf, const ContentDigest& digest);
    bool leaf_done(std::int64_t leaf) const {
        return static_cast<std::size_t>(leaf) < done_.size() && done_[static_cast<std::size_t>(leaf)];
    }

    std::vector<ContentDigest> leaves_;
    std::vector<std::uint8_t> done_;  // 1 for every leaf hashed in full
    std::map<std::int64_t, std::unique_ptr<Partial>> partial_;
    bool broken_ = false;
};

// Reads `channel` from its start to `length` in order and digests it.
// Returns 0, ERR_STOPPED, ERR_READ_FAILED or ERR_MALFORMED (shorter than `length`).
int digest_of_channel(Channel& channel, std::int64_t length, ContentDigest& out);

// Digests the file of `window` from the window's start to its end, announcing
// each read with PM_READ_BASE (so that Stop stays live; progress bars follow
// PM_READ_INPUT, the coding's own reads of Updated). The engine's create runs
// it once per file pair. Returns 0 or a negative code as
// digest_of_channel, or ERR_MALFORMED for a file over 1 GiB.
int coder_digest(StreamWindow* window, const ProgressCallback& callback, std::int16_t algorithm,
                 ContentDigest& out);

// The tagged record in the trailer's 24 reserved bytes:
//   0  3  tag "QLR"
//   3  1  version, 1
//   4  2  permission bits of Updated (mode & 0777), little-endian
//   6  16 content digest of Updated
//   22 2  CRC-16 over the trailer's bytes 8-31 and 34-55 (little-endian)
// The CRC covers the check length, the record itself, the time slots and the
// attribute word, so that no flipped bit there goes unnoticed.
struct UpdatedRecord {
    std::uint16_t mode = 0;
    ContentDigest digest{};
};

constexpr std::uint8_t kRecordTag[3] = {'Q', 'L', 'R'};
constexpr std::uint8_t kRecordVersion = 1;

enum class RecordState {
    absent,   // all 24 bytes zero, as the bare format writes them
    present,  // a record of this version whose CRC holds
    damaged,  // anything else: a wrong CRC, tag or version, or permission bits above 0777
};

struct TrailerRecord;
// Writes `record` into `trailer`'s reserved field. Call after every other
// field of the trailer (check length, times, attribute word) is final.
void write_updated_record(TrailerRecord& trailer, const UpdatedRecord& record);
RecordState read_updated_record(const TrailerRecord& trailer, UpdatedRecord& record);

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF): detects every error of
// one to three bits and every burst of up to 16 bits.
std::uint16_t crc16(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc = 0xFFFF);

}  // namespace quoralith
