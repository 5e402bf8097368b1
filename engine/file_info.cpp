// File times and permission bits carried in the trailer record.
//
// Times are stored as 32-bit seconds since 1970 and read back as unsigned, so
// that they last until 2106; the value -1 means "unknown" and is left alone.
#include <fcntl.h>
#include <sys/stat.h>

#include "coder/digest.h"
#include "engine/engine.h"

namespace quoralith {

namespace {

constexpr std::uint16_t kAttributesUnknown = 0xFFFF;
constexpr std::uint16_t kReadable = 0x0001;
constexpr std::uint16_t kWritable = 0x0002;

timespec stored_time(std::int32_t slot) {
    timespec t{};
    if (slot == -1) {
        t.tv_nsec = UTIME_OMIT;
    } else {
        t.tv_sec = static_cast<time_t>(static_cast<std::uint32_t>(slot));
    }
    return t;
}

}  // namespace

std::uint16_t attributes_of_mode(std::uint32_t mode) {
    std::uint16_t attributes = 0;
    if (mode & S_IRUSR) attributes |= kReadable;
    if (mode & S_IWUSR) attributes |= kWritable;
    return attributes;
}

void engine_read_file_info(std::FILE* file, TrailerRecord& trailer, FileSystem& files) {
    for (int i = 0; i < 5; ++i) trailer.set_time_slot(i, -1);
    trailer.set_attributes(kAttributesUnknown);
    struct stat status {};
    if (!file || files.fstat(files.fileno(file), &status) != 0) return;
    trailer.set_time_slot(1, static_cast<std::int32_t>(status.st_atim.tv_sec));
    trailer.set_time_slot(2, static_cast<std::int32_t>(status.st_mtim.tv_sec));
    trailer.set_attributes(attributes_of_mode(status.st_mode));
}

bool engine_apply_times(const std::string& path, const TrailerRecord& trailer, FileSystem& files) {
    const timespec times[2] = {stored_time(trailer.access_time()), stored_time(trailer.modification_time())};
    if (times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT) return true;
    return files.utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool engine_apply_permissions(const std::string& path, const TrailerRecord& trailer, FileSystem& files) {
    // A record of the file's own permission bits says more than the two bits
    // of the attribute word: the execute bits and those of group and others.
    UpdatedRecord record;
    if (read_updated_record(trailer, record) == RecordState::present)
        return files.chmod(path.c_str(), static_cast<mode_t>(record.mode & 0777)) == 0;
    const std::uint16_t attributes = trailer.attributes();
    if (attributes == kAttributesUnknown) return true;
    struct stat status {};
    if (files.stat(path.c_str(), &status) != 0) return false;
    mode_t mode = status.st_mode & 07777;
    if (attributes & kReadable) {
        mode |= S_IRUSR;
    } else {
        mode &= ~static_cast<mode_t>(S_IRUSR);
    }
    // Read-only means nobody may write, not just the owner.
    if (attributes & kWritable) {
        mode |= S_IWUSR;
    } else {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    }
    return files.chmod(path.c_str(), mode) == 0;
}

}  // namespace quoralith
