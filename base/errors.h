// The one list of error codes every layer reports (negative values of a
// progress record's code and of results), and the one place that words them.
// Each code has a value of its own: a report prints the number, and a program
// reading reports must be able to tell one failure from another by it.
#pragma once

#include <string>

namespace quoralith {

// Error codes: negative values of ProgressRecord::code and of results.
constexpr int ERR_MALFORMED = -1;         // coder: malformed delta, or a window over 1 GiB
constexpr int ERR_TEMP_FILE = -2;         // coder: a temporary file could not be created
constexpr int ERR_NO_MEMORY = -3;         // coder: memory could not be allocated
constexpr int ERR_WRONG_BASE = -4;        // coder: the delta was made against another Base
constexpr int ERR_WRITE_FAILED = -5;      // coder: a write failed (a full disk, say)
constexpr int ERR_READ_FAILED = -6;       // coder: an input could not be read
constexpr int ERR_CONTENT_MISMATCH = -7;  // coder: the restored bytes are not those the delta was made from
// A request engine_run (or an archive call) refuses before touching anything:
// an unknown type, an output that is an input, a clearing that would delete
// an input. The coder's own -2 is a failed temporary file, per file; the
// refusal has a value of its own so that a report's number names one thing.
constexpr int ERR_BAD_REQUEST = -10;
constexpr int ERR_RECORD_DAMAGED = -50;   // coder: the trailer's reserved field is neither zeros nor a sound record
constexpr int ERR_STOPPED = -400;
// The desktop's job launcher: another job is still running, so nothing was run.
constexpr int ERR_JOB_RUNNING = -401;

// Directory walks and archives.
constexpr int ERR_ARCHIVE_WRITE = -40;     // archive_create: header or end record not written in full
constexpr int ERR_NOT_ARCHIVE = -9;        // too short for a header, or not our magic
constexpr int ERR_FILE_STATUS = -41;       // a file's status could not be read
constexpr int ERR_ARCHIVE_BUFFER = -42;    // a buffer could not be allocated
constexpr int ERR_ARCHIVE_SHORT = -43;     // a short read or write, or a record that lies about lengths
constexpr int ERR_UNSAFE_PATH = -44;       // a stored path would lead outside the output directory
constexpr int ERR_NOT_REGULAR_FILE = -45;  // a device, pipe, socket or link to a directory: passed over
constexpr int ERR_ARCHIVE_NAME = -46;      // a path an archive record cannot hold (over 255 bytes, or a "\")
constexpr int ERR_ARCHIVE_TOO_LARGE = -47; // a file over 4 GiB, beyond an archive record's size field
constexpr int ERR_ARCHIVE_DAMAGED = -48;   // the archive is damaged; the record's detail says where and how
constexpr int ERR_TREE_TOO_LARGE = -49;    // a tree whose archive would pass the coder's 1 GiB limit
constexpr int ERR_MEMBER_RECORD_DAMAGED = -51;  // a member's time slots 1, 4, 5 hold neither -1 nor a sound record
constexpr int ERR_ARCHIVE_TAG_DAMAGED = -52;    // the header's reserved field is neither zeros nor our tag
constexpr int ERR_DUPLICATE_MEMBER = -53;       // a second member writes to a path an earlier one wrote
constexpr int ERR_MEMBER_AFTER_END = -54;       // a member after the end record
constexpr int ERR_NO_DATA_BLOCK = -61;     // a file record not followed by a data block
// Links and requests that would do nothing.
constexpr int ERR_LINKED_FOLDER = -62;     // a folder inside an output tree is a symbolic link: nothing goes through it
constexpr int ERR_LINK_OUTSIDE = -63;      // a link in an input tree leads outside the tree: left out, never followed
constexpr int ERR_OUTPUT_LINK = -64;       // the output name is a link to a pipe, device or socket: not replaced
constexpr int ERR_NOTHING_MATCHED = -65;   // the pattern matches no file: nothing was done
constexpr int ERR_NO_BASE_TREE = -66;      // the Base directory named for a create does not exist

// Failures that "the delta was made from a different base file" or a passed
// over entry would misname: each says what is really wrong.
constexpr int ERR_BASE_MISSING = -75;      // restore: no Base file, and the delta was made from one
constexpr int ERR_NOT_ARCHIVED_DELTA = -76; // restore --archived: a single-file delta, not an archived one
constexpr int ERR_BASE_TREE_DIFFERS = -77; // restore --archived: the Base tree, as selected, is another one
constexpr int ERR_DISK_FULL = -78;         // no room left on the disk (or quota); the output was not replaced
constexpr int ERR_BROKEN_LINK = -79;       // a symbolic link to nothing (a missing target, or a loop): passed over
// The compact format (coder/compact/compact.h).
constexpr int ERR_NOT_COMPACT = -80;       // not a compact delta (another format, or no delta at all)
constexpr int ERR_COMPACT_DAMAGED = -81;   // a compact delta whose header or payload is damaged
constexpr int ERR_COMPACT_VERSION = -82;   // a compact delta of a later version or an unknown method
constexpr int ERR_COMPACT_LIMIT = -83;     // a file over 1 GiB, beyond what a compact delta codes
constexpr int ERR_COMPACT_AMBIGUOUS = -84; // create: every coding would end as a design-format delta does

// Families of codes that carry the operating system's error number: the
// family's base minus errno, made by errno_code and read back by errno_of.
// Reports print these numbers and the first three are the long-published
// ones, a hundred apart: they carry errno 1 to 98, a quota used up is carried
// as a full disk (the user's remedy is the same), and any larger number as 99
// (ERRNO_BEYOND), so that no code ever spills into the next family. The
// others have room for 199 numbers, more than any system defines.
constexpr int ERR_OPEN_ARCHIVE = -100;     // the archive could not be opened for reading
constexpr int ERR_OPEN_INPUT = -200;       // an input could not be opened for reading
constexpr int ERR_CREATE_OUTPUT = -300;    // the output could not be created (or put in place)
constexpr int ERR_OPEN_BASE = -500;        // a Base that exists could not be opened
constexpr int ERR_WRITE_ARCHIVE = -700;    // writing the archive failed (a full disk, say);
                                           // the whole archive is abandoned
constexpr int ERR_COPY_READ = -1000;       // the copy routine: its source could not be read
constexpr int ERR_COPY_WRITE = -1200;      // the copy routine: its destination could not be written
constexpr int ERRNO_BEYOND = 99;           // in a family a hundred wide: an errno of 99 or more

// Every family, with the room below its base, and every code of its own
// (not of a family) that some layer reports. New codes go here and into
// describe_error; a test holds all of them distinct and worded.
struct ErrnoFamily {
    int base;
    int room;
};
inline constexpr ErrnoFamily ERRNO_FAMILIES[] = {
    {ERR_OPEN_ARCHIVE, 99}, {ERR_OPEN_INPUT, 99},  {ERR_CREATE_OUTPUT, 99}, {ERR_OPEN_BASE, 199},
    {ERR_WRITE_ARCHIVE, 199}, {ERR_COPY_READ, 199}, {ERR_COPY_WRITE, 199},
};
inline constexpr int SINGLE_ERROR_CODES[] = {
    ERR_MALFORMED, ERR_TEMP_FILE, ERR_NO_MEMORY, ERR_WRONG_BASE, ERR_WRITE_FAILED, ERR_READ_FAILED,
    ERR_CONTENT_MISMATCH, ERR_NOT_ARCHIVE, ERR_BAD_REQUEST, ERR_ARCHIVE_WRITE, ERR_FILE_STATUS,
    ERR_ARCHIVE_BUFFER, ERR_ARCHIVE_SHORT, ERR_UNSAFE_PATH, ERR_NOT_REGULAR_FILE, ERR_ARCHIVE_NAME,
    ERR_ARCHIVE_TOO_LARGE, ERR_ARCHIVE_DAMAGED, ERR_TREE_TOO_LARGE, ERR_RECORD_DAMAGED,
    ERR_MEMBER_RECORD_DAMAGED, ERR_ARCHIVE_TAG_DAMAGED, ERR_DUPLICATE_MEMBER, ERR_MEMBER_AFTER_END,
    ERR_NO_DATA_BLOCK, ERR_LINKED_FOLDER, ERR_LINK_OUTSIDE, ERR_OUTPUT_LINK, ERR_NOTHING_MATCHED,
    ERR_NO_BASE_TREE, ERR_BASE_MISSING, ERR_NOT_ARCHIVED_DELTA, ERR_BASE_TREE_DIFFERS, ERR_DISK_FULL,
    ERR_BROKEN_LINK, ERR_NOT_COMPACT, ERR_COMPACT_DAMAGED, ERR_COMPACT_VERSION, ERR_COMPACT_LIMIT,
    ERR_COMPACT_AMBIGUOUS,
    ERR_STOPPED, ERR_JOB_RUNNING,
};

// The code of the family at `base` for the system error `error` (errno; 0 or
// less is taken as EIO, an error with no number of its own).
int errno_code(int base, int error);
// The errno a code of the family at `base` carries (as errno_code clamped
// it), or 0 when `code` is not of that family.
int errno_of(int code, int base);

// Entries a walk passes over without a file start: a device, pipe or socket,
// a link to a directory, a link that leads nowhere, or one that leads out of its tree.
inline bool is_passed_over(int code) {
    return code == ERR_NOT_REGULAR_FILE || code == ERR_BROKEN_LINK || code == ERR_LINK_OUTSIDE;
}

// A sentence in words for any result code of the engine, the coder, the
// archives or the job launcher, so that no user ever sees a bare number.
// Positive codes and 0 are "no error"; a code no layer makes is called unknown.
std::string describe_error(int code);

}  // namespace quoralith
