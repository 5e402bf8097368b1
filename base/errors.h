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
                                          // (engine_run: ERR_BAD_REQUEST has the same value)
constexpr int ERR_BAD_REQUEST = -2;
constexpr int ERR_NO_MEMORY = -3;         // coder: memory could not be allocated
constexpr int ERR_WRONG_BASE = -4;        // coder: the delta was made against another Base
constexpr int ERR_WRITE_FAILED = -5;      // coder: a write failed (a full disk, say)
constexpr int ERR_READ_FAILED = -6;       // coder: an input could not be read
constexpr int ERR_CONTENT_MISMATCH = -7;  // coder: the restored bytes are not those the delta was made from
constexpr int ERR_RECORD_DAMAGED = -50;   // coder: the trailer's reserved field is neither zeros nor a sound record
constexpr int ERR_STOPPED = -400;
constexpr int ERR_OPEN_INPUT = -200;      // minus errno
constexpr int ERR_CREATE_OUTPUT = -300;   // minus errno
constexpr int ERR_OPEN_BASE = -500;       // minus errno: a Base that exists could not be opened

// Directory walks and archives.
constexpr int ERR_ARCHIVE_WRITE = -3;      // archive_create: header or end record not written in full
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
constexpr int ERR_OPEN_ARCHIVE = -100;     // minus errno: the archive could not be opened for reading
constexpr int ERR_WRITE_ARCHIVE = -700;    // minus errno: writing the archive failed (a full disk, say);
                                           // the whole archive is abandoned

// Entries a walk passes over without a file start: a device, pipe or socket,
// a link to a directory, a link that leads nowhere, or one that leads out of its tree.
inline bool is_passed_over(int code) {
    return code == ERR_NOT_REGULAR_FILE || code == ERR_BROKEN_LINK || code == ERR_LINK_OUTSIDE;
}

// A sentence in words for any engine, coder or archive result code met per file,
// so that no user ever sees a bare number. (engine_run's own ERR_BAD_REQUEST shares
// -2 with the coder's temporary-file failure; callers word that one themselves.)
std::string describe_error(int code);

}  // namespace quoralith
