// Small helpers shared by the test suites: scratch directories, files as byte
// vectors, deterministic data generators and in-memory coder round trips.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quoralith::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed (with
// everything in it) when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
bool file_exists(const std::string& path);

// Deterministic pseudo-random bytes.
Bytes random_bytes(std::size_t count, std::uint32_t seed);
// Text-like data with plenty of repetition (for packing and matching).
Bytes text_like(std::size_t count, std::uint32_t seed);

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// An anonymous temporary file holding `data`.
File memory_file(const Bytes& data);
// Everything in an open file, whatever its current position.
Bytes file_contents(std::FILE* file);

// Path of a conformance vector file, e.g. vector_path("stored_empty", "delta.bin").
std::string vector_path(const std::string& folder, const std::string& name);

// The conformance vectors live beside the checkout, not in it. Without their
// folder the tests that read them skip, naming it; with it, a missing or wrong
// vector fails as any wrong byte does.
std::string vectors_folder();
bool vectors_present();

}  // namespace quoralith::test

// Ends the current test as skipped when the conformance vectors are absent
// (GoogleTest must be included where it is used).
#define QUORALITH_SKIP_WITHOUT_VECTORS()                                                              \
    do {                                                                                              \
        if (!::quoralith::test::vectors_present())                                                    \
            GTEST_SKIP() << "conformance vectors not found: " << ::quoralith::test::vectors_folder(); \
    } while (0)
