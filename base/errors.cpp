// The words for every result code.
#include "base/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quoralith {

namespace {

int errno_room(int base) {
    for (const ErrnoFamily& family : ERRNO_FAMILIES)
        if (family.base == base) return family.room;
    return 0;
}

std::string system_error_text(int error, int room) {
    if (error >= room && room == ERRNO_BEYOND)
        return "a system error numbered " + std::to_string(ERRNO_BEYOND) + " or more";
    return std::strerror(error);
}

std::string with_errno(const char* what, int error_number, int room) {
    return std::string(what) + ": " + system_error_text(error_number, room);
}

}  // namespace

int errno_code(int base, int error) {
    const int room = errno_room(base);
    if (error <= 0) error = EIO;
    // A quota used up is, to the user, the full disk it acts like, and so it
    // keeps its meaning in a family too narrow for its own number.
    if (error == EDQUOT && EDQUOT >= room) error = ENOSPC;
    return base - std::min(error, room);
}

int errno_of(int code, int base) {
    const int room = errno_room(base);
    return code <= base - 1 && code >= base - room ? base - code : 0;
}

std::string describe_error(int code) {
    if (code >= 0) return "no error";
    switch (code) {
        case ERR_MALFORMED:
            return "the delta is damaged or is not a delta, or a file is larger than 1 GiB";
        case ERR_TEMP_FILE:
            return "a temporary file could not be created";
        case ERR_NO_MEMORY:
            return "not enough memory";
        case ERR_ARCHIVE_WRITE:
            return "the archive could not be written in full";
        case ERR_BAD_REQUEST:
            return "the request was refused before anything was done: the operation is unknown, the output is "
                   "one of the inputs, or clearing the output would delete an input";
        case ERR_WRONG_BASE:
            return "the delta was made from a different base file";
        case ERR_WRITE_FAILED:
            return "a write failed (the disk may be full); the output was not replaced: an earlier one, if any, "
                   "is kept";
        case ERR_READ_FAILED:
            return "an input file could not be read";
        case ERR_CONTENT_MISMATCH:
            return "the restored file does not match the one the delta was made from";
        case ERR_RECORD_DAMAGED:
            return "the delta is damaged: its record of the file it restores (the trailer's reserved field) is "
                   "neither empty nor intact, so the output cannot be verified";
        case ERR_MEMBER_RECORD_DAMAGED:
            return "the archive is damaged: the member's record (its check, mode and digest) is neither empty nor "
                   "intact";
        case ERR_ARCHIVE_TAG_DAMAGED:
            return "the archive is damaged: its header's reserved field is neither empty nor our tag";
        case ERR_DUPLICATE_MEMBER:
            return "the archive is damaged: a second member of the same name";
        case ERR_MEMBER_AFTER_END:
            return "the archive is damaged: a member after the end record";
        case ERR_NOT_ARCHIVE:
            return "the file is not an archive";
        case ERR_FILE_STATUS:
            return "the status of a file could not be read";
        case ERR_ARCHIVE_BUFFER:
            return "a buffer could not be allocated";
        case ERR_ARCHIVE_SHORT:
            return "the archive is damaged: a read or write ended short";
        case ERR_UNSAFE_PATH:
            return "a stored path leads outside the output directory";
        case ERR_NOT_REGULAR_FILE:
            return "not a regular file (a device, pipe, socket or link to a directory)";
        case ERR_BROKEN_LINK:
            return "a link that leads nowhere (its target is missing, or the links loop): passed over";
        case ERR_BASE_MISSING:
            return "the base file does not exist, and the delta was made from one";
        case ERR_NOT_ARCHIVED_DELTA:
            return "the delta is a single-file delta, not one made by create --archived: restore it without "
                   "--archived, from its base file";
        case ERR_BASE_TREE_DIFFERS:
            return "the base tree is not the one the delta was made from: the --pattern and --no-subdirs are not "
                   "those of the create, a file of the tree differs, or the delta is not one made by create --archived";
        case ERR_NOT_COMPACT:
            return "not a compact delta";
        case ERR_COMPACT_DAMAGED:
            return "the compact delta is damaged: nothing was restored from it";
        case ERR_COMPACT_VERSION:
            return "the compact delta was made by a later version of the program, which this one cannot read";
        case ERR_COMPACT_LIMIT:
            return "the file is over 1 GiB, more than a compact delta can hold";
        case ERR_COMPACT_AMBIGUOUS:
            return "no compact delta of this file could be told from a delta of the other format, so none was written";
        case ERR_DISK_FULL:
            return "the disk is full; the output was not replaced: an earlier one, if any, is kept";
        case ERR_ARCHIVE_NAME:
            return "the path cannot be stored in an archive (over 255 bytes, it holds a \\, or it starts like a drive, as in a:b)";
        case ERR_ARCHIVE_TOO_LARGE:
            return "the file is too large for an archive (over 4 GiB)";
        case ERR_NO_DATA_BLOCK:
            return "the archive is damaged: a file record has no data block";
        case ERR_ARCHIVE_DAMAGED:
            return "the archive is damaged";
        case ERR_TREE_TOO_LARGE:
            return "the tree is too large for one delta: its archive would pass the 1 GiB limit of a delta; "
                   "make a Directory job instead, which makes one delta per file";
        case ERR_LINKED_FOLDER:
            return "a folder inside the output is a symbolic link; nothing is written through it";
        case ERR_LINK_OUTSIDE:
            return "a link that leads outside its tree is not followed; it is left out";
        case ERR_OUTPUT_LINK:
            return "the output name is a link to a pipe, device or socket; it is neither replaced nor written "
                   "through (name the pipe or device itself)";
        case ERR_NOTHING_MATCHED:
            return "no file matches the pattern; nothing was done";
        case ERR_NO_BASE_TREE:
            return "the base directory does not exist (to make deltas without a base, ask for none)";
        case ERR_STOPPED:
            return "stopped by the user";
        case ERR_JOB_RUNNING:
            return "another job is still running; nothing was run";
        default:
            break;
    }
    if (const int error = errno_of(code, ERR_OPEN_ARCHIVE)) return with_errno("cannot open the archive", error, 99);
    if (const int error = errno_of(code, ERR_WRITE_ARCHIVE)) {
        if (error == ENOSPC) return "the archive could not be written: the disk is full (" + std::string(std::strerror(error)) + ")";
        if (error == EDQUOT) return "the archive could not be written: the disk quota is used up (" + std::string(std::strerror(error)) + ")";
        return with_errno("the archive could not be written", error, 199);
    }
    if (const int error = errno_of(code, ERR_OPEN_INPUT)) return with_errno("cannot open the input file", error, 99);
    if (const int error = errno_of(code, ERR_CREATE_OUTPUT)) {
        if (error == ENOSPC)
            return with_errno("cannot create the output file", error, 99) +
                   "; the disk is full, and an earlier output, if any, is kept";
        return with_errno("cannot create the output file", error, 99);
    }
    if (const int error = errno_of(code, ERR_OPEN_BASE)) return with_errno("cannot open the base file", error, 199);
    if (const int error = errno_of(code, ERR_COPY_READ)) return with_errno("a read failed while copying", error, 199);
    if (const int error = errno_of(code, ERR_COPY_WRITE)) {
        if (error == ENOSPC || error == EDQUOT)
            return with_errno("a write failed while copying", error, 199) + "; the disk is full";
        return with_errno("a write failed while copying", error, 199);
    }
    return "unknown error " + std::to_string(code);
}

}  // namespace quoralith
