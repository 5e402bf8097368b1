// Every kind of job run on a file system that fails one call: for each kind
// of call (open, read, write, flush, close, rename, removal, folder creation)
// and each N up to the number of such calls a clean run makes, the job runs
// again with the N-th one failing. Whatever the failure, nothing is lost: a
// file that existed keeps its old bytes or holds the complete new ones, a new
// file is complete or absent, no temporary is left behind, and a job that
// tells no failure has written exactly what the clean run wrote.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "engine/archive.h"
#include "engine/engine.h"
#include "engine/safe_output.h"
#include "faulty_file_system.h"
#include "support/test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

// Times every input gets, so that runs in different folders code the same
// trailers. The access time lies ahead of the clock: reading a file then
// never moves it.
constexpr std::time_t kModified = 1700000000;
constexpr std::time_t kAccessed = 2100000000;

void put_input(const ScratchDir& dir, const std::string& name, const Bytes& bytes) {
    const std::string path = dir.file(name);
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, bytes);
    const timespec times[2] = {{kAccessed, 0}, {kModified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A Base tree and an Updated tree: changed, new, unchanged and removed files
// in two levels.
void make_trees(const ScratchDir& dir) {
    const Bytes a = text_like(20000, 1);
    Bytes a2 = a;
    for (std::size_t i = 3000; i < 3200; ++i) a2[i] ^= 0x33;
    const Bytes b = random_bytes(6000, 2);
    Bytes b2 = b;
    b2.insert(b2.end(), b.begin(), b.begin() + 1500);
    put_input(dir, "base/a.txt", a);
    put_input(dir, "new/a.txt", a2);
    put_input(dir, "base/sub/b.bin", b);
    put_input(dir, "new/sub/b.bin", b2);
    put_input(dir, "base/same.txt", text_like(3000, 3));
    put_input(dir, "new/same.txt", text_like(3000, 3));
    put_input(dir, "new/sub/fresh.txt", text_like(2500, 4));
    put_input(dir, "base/gone.txt", text_like(1200, 5));
}

bool is_temporary_part(const fs::path& relative) {
    for (const fs::path& part : relative)
        if (is_temporary_name(part.string())) return true;
    return false;
}

// Our archives in these tests end in ".qar".
bool is_archive_name(const std::string& name) { return name.size() > 4 && name.substr(name.size() - 4) == ".qar"; }

// Our archives carry a stamp of the moment they were made, in the header and
// the end record, and their members the times of the files they were made
// from (the deltas of a tree are new files), which a member's record checks
// too: everything else in them depends on their members' names and bytes only.
Bytes without_stamps(const std::string& name, Bytes bytes) {
    if (!is_archive_name(name) || bytes.size() < kArchiveHeaderSize + kArchiveEndSize) return bytes;
    for (std::size_t i = 90; i < 94; ++i) bytes[i] = 0;
    const std::size_t end = bytes.size() - kArchiveEndSize;
    for (std::size_t i = end + 66; i < end + 70; ++i) bytes[i] = 0;
    const auto get16 = [&](std::size_t at) { return static_cast<std::size_t>(bytes[at] | bytes[at + 1] << 8); };
    const auto get32 = [&](std::size_t at) {
        return static_cast<std::size_t>(bytes[at]) | static_cast<std::size_t>(bytes[at + 1]) << 8 |
               static_cast<std::size_t>(bytes[at + 2]) << 16 | static_cast<std::size_t>(bytes[at + 3]) << 24;
    };
    for (std::size_t at = kArchiveHeaderSize; at + kDataBlockSize <= end;) {
        const std::size_t length = get16(at);
        if (length == 0) break;
        if (bytes[at + 2] == AR_FILE && at + 20 <= end) {
            for (std::size_t i = at + 12; i < at + 20; ++i) bytes[i] = 0;
            bytes[at + 9] = 0;
            at += length;
        } else {
            at += length + (bytes[at + 2] == AR_STORED || bytes[at + 2] == AR_CODED ? get32(at + 8) : 0);
        }
    }
    return bytes;
}

// A member that cannot be read is told and left out, and the archive holds
// the others (as a directory job writes the other files): after a failure
// told, an archive is sound when it is whole, whatever members it holds.
bool sound_archive(const std::string& path) {
    bool damaged = false;
    const int count = archive_list(path, {}, [&](const std::string&) { damaged = true; });
    return count >= 0 && !damaged;
}

// The regular files below `root` (our temporaries apart) by relative name.
struct Snapshot {
    std::map<std::string, Bytes> files;
    std::vector<std::string> temporaries;
};

Snapshot snapshot(const fs::path& root) {
    Snapshot shot;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = it->path().lexically_relative(root);
        if (is_temporary_part(relative)) {
            shot.temporaries.push_back(relative.string());
            continue;
        }
        if (it->is_regular_file())
            shot.files[relative.string()] = without_stamps(relative.string(), read_file(it->path().string()));
    }
    return shot;
}

// Records whether a job told any failure.
struct Outcome {
    bool failed = false;
    ProgressCallback callback() {
        return [this](const ProgressRecord& record) -> std::int16_t {
            if (record.code < 0) failed = true;
            return ANSWER_SKIP;
        };
    }
};

using Run = std::function<int(const ScratchDir&, FileSystem&, Outcome&)>;

struct Scenario {
    const char* name;
    std::function<void(const ScratchDir&)> setup;  // the inputs
    Run run;
    // Whether every output exists before the run (made by a clean run and
    // then given other bytes), so that the run replaces it.
    bool outputs_exist = true;
};

int engine_request(FileSystem& files, Outcome& outcome, int type, const std::string& first, const std::string& second,
                   const std::string& output, EngineFlags flags, AlgorithmMask mask) {
    EngineRequest request;
    request.type = type;
    request.first = first;
    request.second = second;
    request.output = output;
    request.flags = flags;
    request.mask = mask;
    request.callback = outcome.callback();
    request.files = &files;
    const int result = engine_run(request);
    if (result < 0) outcome.failed = true;
    return result;
}

Run request_of(int type, std::string first, std::string second, std::string output, EngineFlags flags,
               AlgorithmMask mask) {
    return [=](const ScratchDir& dir, FileSystem& files, Outcome& outcome) {
        return engine_request(files, outcome, type, first.empty() ? "" : dir.file(first), dir.file(second),
                              dir.file(output), flags, mask);
    };
}

// Makes what a later request reads, on the real file system.
void made_by(const ScratchDir& dir, const Run& run) {
    Outcome outcome;
    run(dir, real_file_system(), outcome);
    ASSERT_FALSE(outcome.failed);
}

constexpr EngineFlags kTree = EF_INCLUDE_SUBDIRS | EF_SORTED;

const Scenario kScenarios[] = {
    {"SingleCreateOfANewDelta",
     [](const ScratchDir& dir) {
         put_input(dir, "old.bin", text_like(30000, 7));
         Bytes updated = text_like(30000, 7);
         updated.insert(updated.begin() + 9000, 700, 'x');
         put_input(dir, "new.bin", updated);
     },
     request_of(OP_CREATE_FILE, "old.bin", "new.bin", "out.dlt", 0, 0x81), false},
    {"SingleCreateKeepingEveryCandidate",
     [](const ScratchDir& dir) {
         put_input(dir, "old.bin", random_bytes(9000, 8));
         Bytes updated = random_bytes(9000, 8);
         updated[4000] ^= 1;
         put_input(dir, "new.bin", updated);
     },
     request_of(OP_CREATE_FILE, "old.bin", "new.bin", "out.dlt", EF_KEEP_ALL, 0x83)},
    {"SingleRestoreOverAnOldFile",
     [](const ScratchDir& dir) {
         put_input(dir, "old.bin", text_like(25000, 9));
         Bytes updated = text_like(25000, 10);
         put_input(dir, "new.bin", updated);
         made_by(dir, request_of(OP_CREATE_FILE, "old.bin", "new.bin", "in.dlt", 0, 0x80));
     },
     request_of(OP_RESTORE_FILE, "old.bin", "in.dlt", "restored.bin", EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, 0)},
    {"InPlaceRestore",
     [](const ScratchDir& dir) {
         put_input(dir, "old.bin", text_like(25000, 11));
         Bytes updated = text_like(25000, 11);
         updated.erase(updated.begin() + 100, updated.begin() + 900);
         put_input(dir, "new.bin", updated);
         made_by(dir, request_of(OP_CREATE_FILE, "old.bin", "new.bin", "in.dlt", 0, 0x80));
     },
     request_of(OP_RESTORE_FILE, "old.bin", "in.dlt", "old.bin", 0, 0), false},
    {"DirectoryCreate", make_trees, request_of(OP_CREATE_DIR, "base", "new", "deltas", kTree, 0x81)},
    {"DirectoryRestoreWithMerge",
     [](const ScratchDir& dir) {
         make_trees(dir);
         made_by(dir, request_of(OP_CREATE_DIR, "base", "new", "deltas", kTree, 0x80));
     },
     request_of(OP_RESTORE_DIR, "base", "deltas", "out", kTree | EF_MERGE, 0)},
    {"DirectoryCreateIntoADeltaArchive", make_trees,
     request_of(OP_CREATE_DIR, "base", "new", "deltas.qar", kTree | EF_ARCHIVE_DELTA, 0x80)},
    {"ArchiveCreate", make_trees,
     [](const ScratchDir& dir, FileSystem& files, Outcome& outcome) {
         const int result =
             archive_create(dir.file("new"), "", dir.file("tree.qar"), "", kTree, outcome.callback(), files);
         if (result < 0) outcome.failed = true;
         return result;
     }},
    {"ArchiveExtract",
     [](const ScratchDir& dir) {
         make_trees(dir);
         ASSERT_EQ(archive_create(dir.file("new"), "", dir.file("tree.qar"), "", kTree, {}), 0);
     },
     [](const ScratchDir& dir, FileSystem& files, Outcome& outcome) {
         const int result = archive_extract(dir.file("tree.qar"), dir.file("out"), "", kTree | EF_KEEP_DATE,
                                            outcome.callback(), files);
         if (result < 0) outcome.failed = true;
         return result;
     }},
    {"ArchivedDirectoryCreate", make_trees,
     request_of(OP_CREATE_ARCHIVED, "base", "new", "tree.dlt", kTree, 0x81)},
    {"ArchivedDirectoryRestore",
     [](const ScratchDir& dir) {
         make_trees(dir);
         made_by(dir, request_of(OP_CREATE_ARCHIVED, "base", "new", "tree.dlt", kTree, 0x80));
     },
     request_of(OP_RESTORE_ARCHIVED, "base", "tree.dlt", "out", kTree, 0)},
};

// Prepares one run: the inputs, and the outputs as an earlier run left them
// but with other bytes (an old version the run must replace or keep whole).
Snapshot prepare(const ScratchDir& dir, const Scenario& scenario) {
    scenario.setup(dir);
    if (scenario.outputs_exist) {
        const Snapshot inputs = snapshot(dir.path());
        Outcome outcome;
        scenario.run(dir, real_file_system(), outcome);
        EXPECT_FALSE(outcome.failed);
        for (const auto& [name, bytes] : snapshot(dir.path()).files)
            if (!inputs.files.count(name)) write_file(dir.file(name), Bytes{'o', 'l', 'd'});
    }
    return snapshot(dir.path());
}

// Named in the test's name; its bytes say nothing.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class InjectedFaultTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(InjectedFaultTest, AFailedCallLosesNothingAndNeverPassesForSuccess) {
    const Scenario& scenario = GetParam();
    FaultyFileSystem files;

    // The clean run: what every run must write, and how many calls of each kind it makes.
    Snapshot expected;
    std::array<int, static_cast<std::size_t>(Fault::count)> counts{};
    {
        ScratchDir dir;
        prepare(dir, scenario);
        files.fail_at(Fault::count, 0, 0);
        Outcome outcome;
        scenario.run(dir, files, outcome);
        ASSERT_FALSE(outcome.failed) << "the clean run through the seam failed";
        expected = snapshot(dir.path());
        ASSERT_TRUE(expected.temporaries.empty());
        for (std::size_t k = 0; k < counts.size(); ++k) counts[k] = files.calls(static_cast<Fault>(k));
    }
    EXPECT_GT(counts[static_cast<std::size_t>(Fault::write)], 0);
    EXPECT_GT(counts[static_cast<std::size_t>(Fault::rename)], 0);
    EXPECT_GT(counts[static_cast<std::size_t>(Fault::sync)], 0);

    for (std::size_t k = 0; k < counts.size(); ++k) {
        const auto kind = static_cast<Fault>(k);
        const int error = kind == Fault::write ? ENOSPC : EIO;
        for (int n = 1; n <= counts[k]; ++n) {
            SCOPED_TRACE(std::string(fault_name(kind)) + " call " + std::to_string(n) + " of " +
                         std::to_string(counts[k]) + " fails");
            ScratchDir dir;
            const Snapshot before = prepare(dir, scenario);
            files.fail_at(kind, n, error);
            Outcome outcome;
            scenario.run(dir, files, outcome);
            const Snapshot after = snapshot(dir.path());

            // A failed removal may leave a temporary behind; nothing else may.
            if (kind != Fault::remove) EXPECT_TRUE(after.temporaries.empty()) << after.temporaries.front();
            for (const auto& [name, bytes] : before.files) {
                const auto now = after.files.find(name);
                ASSERT_NE(now, after.files.end()) << name << " was lost";
                const auto want = expected.files.find(name);
                EXPECT_TRUE(now->second == bytes || (want != expected.files.end() && now->second == want->second) ||
                            (outcome.failed && is_archive_name(name) && sound_archive(dir.file(name))))
                    << name << " is neither its old nor its new self";
            }
            for (const auto& [name, bytes] : after.files) {
                if (before.files.count(name)) continue;
                const auto want = expected.files.find(name);
                ASSERT_NE(want, expected.files.end()) << name << " is a stray file";
                EXPECT_TRUE(bytes == want->second ||
                            (outcome.failed && is_archive_name(name) && sound_archive(dir.file(name))))
                    << name << " is incomplete";
            }
            if (!outcome.failed) {
                for (const auto& [name, bytes] : expected.files) {
                    const auto now = after.files.find(name);
                    EXPECT_TRUE(now != after.files.end() && now->second == bytes)
                        << "a job that told no failure left " << name << " other than a clean run";
                }
                EXPECT_EQ(after.files.size(), expected.files.size());
            }
            if (::testing::Test::HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKindOfJob, InjectedFaultTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quoralith::test
