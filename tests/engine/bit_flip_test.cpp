// Every single-bit flip of small deltas and archives, and the two-flip cases
// that once switched verification off: each damaged file is refused or gives
// the right bytes, name, mode and time, never anything else with success.
// The counts are printed, so that a run shows how much of each file the checks
// cover (refused) and how much is slack the format ignores (right).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <tuple>

#include "engine/archive.h"
#include "engine/engine.h"
#include "run_engine.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

constexpr long kStamp = 1600000000;

enum class Outcome { refused, right, wrong };

// A scratch folder in memory where the system has one: every restore flushes
// its output to the disk, and thousands of flushes to a real disk would make
// the sweeps slow without testing anything more.
class FastScratch {
public:
    FastScratch() {
        const fs::path memory = "/dev/shm";
        std::error_code error;
        const fs::path parent = fs::is_directory(memory, error) && access(memory.c_str(), W_OK) == 0
                                    ? memory
                                    : fs::temp_directory_path();
        std::string pattern = (parent / "quoralith-flips-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~FastScratch() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    FastScratch(const FastScratch&) = delete;
    FastScratch& operator=(const FastScratch&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

struct Tally {
    int refused = 0, right = 0, wrong = 0;
    std::vector<std::size_t> wrong_bits;  // the first few, to say where
    void add(Outcome outcome, std::size_t bit) {
        if (outcome == Outcome::refused) ++refused;
        if (outcome == Outcome::right) ++right;
        if (outcome == Outcome::wrong) {
            ++wrong;
            if (wrong_bits.size() < 8) wrong_bits.push_back(bit);
        }
    }
    void print(const char* what) const {
        std::printf("[bit flips] %-28s refused %6d  right %6d  wrong %6d\n", what, refused, right, wrong);
    }
};

// A file's bytes, permission bits and modification time: all a restore must give back.
using Fidelity = std::tuple<Bytes, mode_t, long>;

Fidelity fidelity_of(const std::string& path) { return {read_file(path), permissions_of(path), mtime_of(path)}; }

std::map<std::string, Fidelity> tree_fidelity(const fs::path& root) {
    std::map<std::string, Fidelity> tree;
    if (!fs::exists(root)) return tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file() || it->is_symlink())
            tree[it->path().lexically_relative(root).string()] = fidelity_of(it->path().string());
    }
    return tree;
}

void make_file(const std::string& path, const Bytes& bytes, mode_t mode) {
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, bytes);
    const timespec times[2] = {{kStamp + 7, 0}, {kStamp, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

Bytes edited(Bytes bytes, std::uint32_t seed) {
    for (std::size_t at = 37; at + 8 < bytes.size(); at += 211 + seed % 50) bytes[at] ^= 0x5A;
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), {'n', 'e', 'w', '!'});
    return bytes;
}

Bytes flipped(Bytes bytes, std::initializer_list<std::size_t> bits) {
    for (std::size_t bit : bits) bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return bytes;
}

// A single-file delta of Updated (mode 0750) against Base.
class DeltaFlips {
public:
    DeltaFlips(EngineFlags flags, AlgorithmMask mask) {
        const Bytes base = text_like(1500, 11);
        make_file(base_, base, 0644);
        make_file(updated_, edited(base, 3), 0750);
        std::string out = delta_;
        EXPECT_EQ(engine_file_op(OP_CREATE_FILE, base_.c_str(), updated_, out, nullptr, flags | EF_SHORT_STAMP, mask,
                                 {}),
                  0);
        delta = read_file(delta_);
        want_ = fidelity_of(updated_);
    }

    Outcome restore(const Bytes& damaged) {
        write_file(delta_, damaged);
        fs::remove(out_);
        std::string out = out_;
        const int code = engine_file_op(OP_RESTORE_FILE, base_.c_str(), delta_, out, nullptr,
                                        EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, 0, {});
        const bool present = fs::exists(out_);
        if (code != 0) return present ? Outcome::wrong : Outcome::refused;
        return present && fidelity_of(out_) == want_ ? Outcome::right : Outcome::wrong;
    }

    Tally sweep() {
        Tally tally;
        for (std::size_t bit = 0; bit < delta.size() * 8; ++bit) tally.add(restore(flipped(delta, {bit})), bit);
        return tally;
    }

    Bytes delta;

private:
    FastScratch dir_;
    std::string base_ = dir_.file("base.bin"), updated_ = dir_.file("updated.bin"), delta_ = dir_.file("d.dlt"),
                out_ = dir_.file("out.bin");
    Fidelity want_;
};

// A tree with a file in a folder (mode 0750) and one at its top.
void make_tree(const std::string& root, std::uint32_t seed) {
    make_file(root + "/bin/run.sh", text_like(90 + seed, seed), 0750);
    make_file(root + "/notes.txt", text_like(120, seed + 1), 0644);
}

class ArchiveFlips {
public:
    explicit ArchiveFlips(EngineFlags flags) {
        make_tree(root_, 5);
        EXPECT_EQ(archive_create(root_, "", archive_, "", EF_INCLUDE_SUBDIRS | EF_SORTED | flags, {}), 0);
        archive = read_file(archive_);
        want_ = tree_fidelity(root_);
    }

    Outcome extract(const Bytes& damaged) {
        write_file(archive_, damaged);
        fs::remove_all(out_);
        bool failed = false;
        const int code = archive_extract(archive_, out_, "", EF_KEEP_DATE | EF_KEEP_ATTRIBUTES,
                                         [&](const ProgressRecord& r) -> std::int16_t {
                                             if (r.code < 0) failed = true;
                                             return ANSWER_SKIP;
                                         });
        if (code != 0) failed = true;
        return judge_tree(tree_fidelity(out_), want_, failed);
    }

    Tally sweep() {
        Tally tally;
        for (std::size_t bit = 0; bit < archive.size() * 8; ++bit) tally.add(extract(flipped(archive, {bit})), bit);
        return tally;
    }

    // What came out: the whole tree after a success; after a refusal only
    // members that are right, under their own names.
    static Outcome judge_tree(const std::map<std::string, Fidelity>& got, const std::map<std::string, Fidelity>& want,
                              bool failed) {
        if (!failed) return got == want ? Outcome::right : Outcome::wrong;
        for (const auto& [name, fidelity] : got) {
            const auto expected = want.find(name);
            if (expected == want.end() || expected->second != fidelity) return Outcome::wrong;
        }
        return Outcome::refused;
    }

    Bytes archive;

private:
    FastScratch dir_;
    std::string root_ = dir_.file("root"), archive_ = dir_.file("tree.qa"), out_ = dir_.file("out");
    std::map<std::string, Fidelity> want_;
};

// An archived-directory delta between two small trees, restored into a new folder.
class ArchivedFlips {
public:
    ArchivedFlips() {
        make_tree(base_, 5);
        make_tree(updated_, 6);
        make_file(updated_ + "/added.txt", text_like(70, 9), 0600);
        std::string out = delta_;
        EXPECT_EQ(run_engine(OP_CREATE_ARCHIVED, base_, updated_, out, "", "", EF_INCLUDE_SUBDIRS | EF_SHORT_STAMP,
                             0x80, {}),
                  0);
        delta = read_file(delta_);
        want_ = tree_fidelity(updated_);
    }

    Outcome restore(const Bytes& damaged) {
        write_file(delta_, damaged);
        fs::remove_all(out_);
        std::string out = out_;
        bool failed = true;
        run_engine(OP_RESTORE_ARCHIVED, base_, delta_, out, "", "", EF_INCLUDE_SUBDIRS | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES,
                   0, [&](const ProgressRecord& r) -> std::int16_t {
                       if (r.code == PM_FILE_DONE) failed = false;
                       if (r.code < 0) failed = true;
                       return ANSWER_SKIP;
                   });
        return ArchiveFlips::judge_tree(tree_fidelity(out_), want_, failed);
    }

    Tally sweep() {
        Tally tally;
        for (std::size_t bit = 0; bit < delta.size() * 8; ++bit) tally.add(restore(flipped(delta, {bit})), bit);
        return tally;
    }

    Bytes delta;

private:
    FastScratch dir_;
    std::string base_ = dir_.file("base"), updated_ = dir_.file("updated"), delta_ = dir_.file("tree.qd"),
                out_ = dir_.file("out");
    std::map<std::string, Fidelity> want_;
};

void expect_no_wrong(const Tally& tally, const char* what) {
    tally.print(what);
    EXPECT_EQ(tally.wrong, 0) << what << ": the first wrong bits " << testing::PrintToString(tally.wrong_bits);
}

TEST(BitFlips, EverySingleFlipOfADeltaIsRefusedOrHarmless) {
    struct Kind {
        const char* name;
        EngineFlags flags;
        AlgorithmMask mask;
    };
    for (const Kind& kind : {Kind{"delta, algorithm 7", 0, 1u << 7}, Kind{"delta, algorithm 0", 0, 1u << 0},
                             Kind{"delta, algorithm 4", 0, 1u << 4}, Kind{"delta, deep", EF_DEEP, 1u << 7}}) {
        DeltaFlips flips(kind.flags, kind.mask);
        ASSERT_EQ(flips.restore(flips.delta), Outcome::right) << kind.name;
        expect_no_wrong(flips.sweep(), kind.name);
    }
}

TEST(BitFlips, EverySingleFlipOfAnArchivedDeltaIsRefusedOrHarmless) {
    ArchivedFlips flips;
    ASSERT_EQ(flips.restore(flips.delta), Outcome::right);
    expect_no_wrong(flips.sweep(), "archived-directory delta");
}

TEST(BitFlips, EverySingleFlipOfAnArchiveIsRefusedOrHarmless) {
    for (const auto& [name, flags] : {std::pair{"coded archive", EngineFlags{0}}, std::pair{"raw archive", EF_STORE_RAW}}) {
        ArchiveFlips flips(flags);
        ASSERT_EQ(flips.extract(flips.archive), Outcome::right) << name;
        expect_no_wrong(flips.sweep(), name);
    }
}

// A damaged record tag no longer reads as "no record", so a second flip in
// the payload cannot slip through unverified.
TEST(BitFlips, ATagFlipPlusAPayloadFlipIsRefused) {
    DeltaFlips flips(0, 1u << 7);
    const std::size_t tag = (flips.delta.size() - kTrailerSize + TrailerRecord::kTagOffset) * 8;
    // A literal byte of the payload: Updated's inserted "new!", which no
    // decoder check can tell from other bytes.
    const Bytes literal = {'n', 'e', 'w', '!'};
    const auto at = std::search(flips.delta.begin(), flips.delta.end(), literal.begin(), literal.end());
    ASSERT_NE(at, flips.delta.end());
    const std::size_t payload = static_cast<std::size_t>(at - flips.delta.begin()) * 8;
    Tally tally;
    for (std::size_t bit = tag; bit < tag + 32; ++bit)
        for (std::size_t extra : {payload + 1, payload + 8 * 2 + 4})
            tally.add(flips.restore(flipped(flips.delta, {bit, extra})), bit);
    expect_no_wrong(tally, "delta, tag + payload");
    EXPECT_EQ(tally.refused, 32 * 2);
}

TEST(BitFlips, AnArchiveHeaderTagFlipPlusADataFlipIsRefused) {
    for (const auto& [name, flags] : {std::pair{"coded archive, header tag + data", EngineFlags{0}},
                                      std::pair{"raw archive, header tag + data", EF_STORE_RAW}}) {
        ArchiveFlips flips(flags);
        // The first member's data starts after the header, its file record
        // ("bin\run.sh") and its data block record.
        const std::size_t data = (kArchiveHeaderSize + kFileRecordFixed + 10 + kDataBlockSize) * 8;
        Tally tally;
        for (std::size_t bit = kArchiveTagOffset * 8; bit < (kArchiveTagOffset + 4) * 8; ++bit)
            for (std::size_t extra : {data + 1, data + 8 * 20 + 6})
                tally.add(flips.extract(flipped(flips.archive, {bit, extra})), bit);
        // And a member record's tag with a bit of that member's data.
        const std::size_t member_tag = (kArchiveHeaderSize + 8) * 8;
        for (std::size_t bit = member_tag; bit < member_tag + 8; ++bit)
            tally.add(flips.extract(flipped(flips.archive, {bit, data + 8 * 20 + 6})), bit);
        expect_no_wrong(tally, name);
    }
}

}  // namespace
}  // namespace quoralith::test
