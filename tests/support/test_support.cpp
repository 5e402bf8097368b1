// Test helpers: scratch directories, file I/O and data generators.
#include "support/test_support.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace quoralith::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "quoralith-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Read-only files and folders must not keep the scratch tree alive.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string& path) { return fs::exists(path); }

Bytes random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(count);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

Bytes text_like(std::size_t count, std::uint32_t seed) {
    static const char* words[] = {"delta ", "base ", "update ", "the ", "file ", "quoralith ", "block ",
                                  "run ", "match\n", "copy ", "of ", "and ", "0123 ", "{ ", "} "};
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(count);
    while (out.size() < count) {
        const char* w = words[rng() % (sizeof(words) / sizeof(words[0]))];
        for (const char* p = w; *p && out.size() < count; ++p) out.push_back(static_cast<std::uint8_t>(*p));
    }
    return out;
}

File memory_file(const Bytes& data) {
    File f(std::tmpfile());
    if (!f) throw std::runtime_error("tmpfile failed");
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f.get());
    std::fflush(f.get());
    return f;
}

Bytes file_contents(std::FILE* file) {
    std::fflush(file);
    std::fseek(file, 0, SEEK_END);
    long n = std::ftell(file);
    Bytes out(static_cast<std::size_t>(n > 0 ? n : 0));
    std::fseek(file, 0, SEEK_SET);
    out.resize(out.empty() ? 0 : std::fread(out.data(), 1, out.size(), file));
    return out;
}

std::string vector_path(const std::string& folder, const std::string& name) {
    return std::string(QUORALITH_VECTORS) + "/" + folder + "/" + name;
}

std::string vectors_folder() { return QUORALITH_VECTORS; }

bool vectors_present() { return fs::is_directory(QUORALITH_VECTORS); }

}  // namespace quoralith::test
