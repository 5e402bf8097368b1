// In-memory files for the fuzz targets: the coder and the archive reader work
// on FILE handles, and memfd keeps every input off the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quoralith::fuzz {

// An anonymous in-memory file holding `size` bytes, positioned at its start.
inline std::FILE* memory_file(const char* name, const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) std::abort();
    std::FILE* file = fdopen(fd, "w+b");
    if (!file) std::abort();
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fflush(file);
    std::rewind(file);
    return file;
}

}  // namespace quoralith::fuzz
