// libFuzzer target: the archive reader on arbitrary bytes. Whatever the input,
// extraction must stay in bounds and write nothing outside its output directory.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/archive.h"
#include "engine/engine_internal.h"

namespace {

// One scratch directory per fuzzing process, holding only the input archive
// and the output directory; removed when the process exits. A plain array, so
// that it outlives every exit handler.
char scratch_dir[] = "/tmp/quoralith-archive-fuzz-XXXXXX";

const char* scratch() {
    static const bool made = [] {
        if (!mkdtemp(scratch_dir)) std::abort();
        std::atexit([] {
            quoralith::engine_clear_dir(scratch_dir);
            rmdir(scratch_dir);
        });
        return true;
    }();
    (void)made;
    return scratch_dir;
}

void expect_only_input_and_output(const std::string& dir) {
    DIR* handle = opendir(dir.c_str());
    if (!handle) std::abort();
    while (const dirent* entry = readdir(handle)) {
        const char* name = entry->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..") || !std::strcmp(name, "in.qar") ||
            !std::strcmp(name, "out"))
            continue;
        std::fprintf(stderr, "extraction wrote outside its directory: %s\n", name);
        std::abort();
    }
    closedir(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string dir = scratch();
    const std::string archive = dir + "/in.qar";
    const std::string output = dir + "/out";
    std::FILE* file = std::fopen(archive.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    // Damage is always told in words that say where it lies.
    const auto skip = [](const quoralith::ProgressRecord& record) -> std::int16_t {
        if (record.code == quoralith::ERR_ARCHIVE_DAMAGED &&
            (!record.detail || !std::strstr(record.detail, "the archive is damaged at offset "))) {
            std::fprintf(stderr, "damage reported without its place\n");
            std::abort();
        }
        return quoralith::ANSWER_SKIP;
    };
    quoralith::archive_extract(archive, output, "", quoralith::EF_KEEP_DATE | quoralith::EF_KEEP_ATTRIBUTES, skip);
    quoralith::archive_list(archive, {}, [](const std::string& detail) {
        if (detail.rfind("the archive is damaged at offset ", 0) != 0) std::abort();
    });
    expect_only_input_and_output(dir);
    quoralith::engine_clear_dir(output);
    return 0;
}
