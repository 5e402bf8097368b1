// The archived directory container: writing a tree into one archive file and
// unpacking it again. An archive comes from elsewhere, so the reader trusts no
// length in it: every record is read through bounded reads, a record that does
// not make sense is reported with its offset and the walk finds its way to the
// next sound record, and a stored path may only ever name a place below the
// output directory.
#include "engine/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "coder/coder.h"
#include "engine/dir_list.h"
#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/printable.h"
#include "engine/safe_output.h"

namespace quoralith {
namespace {

std::int16_t ask(const ProgressCallback& callback, const ProgressRecord& record) {
    return callback ? callback(record) : default_progress_callback(record);
}

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::array<std::uint8_t, kArchiveMagicField> magic_field() {
    std::array<std::uint8_t, kArchiveMagicField> field{};
    std::memcpy(field.data(), kArchiveMagic, sizeof(kArchiveMagic) - 1);
    return field;
}

// The member record in a file record's time slots 1, 4 and 5: at offset 8 the
// tag 'Q', at 9 a CRC-8, at 10 the permission bits, at 20 the first eight
// bytes of the content digest. The CRC of version 1 covers offsets 8 and 10-27
// (mode, times, digest); version 2's covers the whole record but the CRC
// itself and the pad byte: offsets 0-8 and 10 to the path's terminating zero.
constexpr std::uint8_t kMemberTag = 'Q';

std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count, std::uint8_t crc) {
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint8_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
    }
    return crc;
}

// `record` holds the whole file record (32 + n bytes).
std::uint8_t member_crc(const std::uint8_t* record, int version) {
    if (version < kArchiveTagNamed) return crc8(record + 10, 18, crc8(record + 8, 1, 0));
    return crc8(record + 10, 21u + record[3], crc8(record, 9, 0));
}

void put_member_record(std::uint8_t* record, std::uint16_t mode, const ContentDigest& digest, int version) {
    record[8] = kMemberTag;
    record[10] = static_cast<std::uint8_t>(mode & 0777);
    record[11] = static_cast<std::uint8_t>((mode & 0777) >> 8);
    std::memcpy(record + 20, digest.data(), kMemberDigestSize);
    record[9] = member_crc(record, version);
}

// Only -1 in all three slots, as the bare format writes them, is "no record":
// anything else that is not a sound record may be one with a flipped bit.
void read_member_record(const std::uint8_t* record, ArchiveMember& member, int version) {
    if (get32(record + 8) == 0xFFFFFFFFu && get32(record + 20) == 0xFFFFFFFFu && get32(record + 24) == 0xFFFFFFFFu)
        return;
    member.mode = static_cast<std::uint16_t>(record[10] | record[11] << 8);
    if (record[8] != kMemberTag || record[9] != member_crc(record, version) || (member.mode & ~0777u)) {
        member.record = RecordState::damaged;
        return;
    }
    std::memcpy(member.digest.data(), record + 20, kMemberDigestSize);
    member.record = RecordState::present;
}

std::string to_disk(std::string stored) {
    std::replace(stored.begin(), stored.end(), '\\', '/');
    return stored;
}

// Opens a regular file for reading without ever blocking on a pipe or device.
// Returns the open file, or nullptr with `error` set to an errno value or to
// ERR_NOT_REGULAR_FILE (a directory among them: a member is a file).
FileHandle open_regular(FileSystem& files, const std::string& path, struct stat& st, int& error) {
    FileHandle file;
    const int failure = open_regular_input(files, path.c_str(), file, &st);
    if (failure == 0) return file;
    error = failure == EISDIR ? ERR_NOT_REGULAR_FILE : failure;
    return nullptr;
}

bool write_all(std::FILE* file, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size;
}

// ---------------------------------------------------------------- writing

// A failed write to the archive itself: ERR_WRITE_ARCHIVE minus the errno the
// failed call left (EIO when it left none).
int archive_write_failure(int error) { return errno_code(ERR_WRITE_ARCHIVE, error); }

bool is_archive_write_failure(int code) { return errno_of(code, ERR_WRITE_ARCHIVE) != 0; }

struct ArchiveWriter {
    FileSystem& files;
    const std::string& root;
    std::FILE* archive;
    // The archive being written and the one it replaces: neither is a member.
    std::vector<std::pair<dev_t, ino_t>> excluded;
    const std::string& pattern;
    EngineFlags flags;
    const ProgressCallback& callback;
    std::vector<std::pair<dev_t, ino_t>> ancestors;
    bool stopped = false;
    int write_failure = 0;  // the code of a failed write to the archive: the walk ends
    std::string real_root;  // the packed tree's top, links resolved
    int entries = 0;        // files (and entries passed over) the pattern selected
};

int add_file(FileSystem& files, const std::string& root, const std::string& relative, std::FILE* archive,
             bool code_it, const ProgressCallback& callback, bool with_record);

void report_entry(const ProgressCallback& callback, int code, const std::string& relative,
                  const std::string& detail = {}) {
    const std::string shown = to_disk(relative);
    ProgressRecord record;
    record.code = static_cast<std::int16_t>(code);
    record.first_path = shown.c_str();
    record.detail = detail.empty() ? nullptr : detail.c_str();
    ask(callback, record);
}

void walk_tree(ArchiveWriter& writer, const std::string& start) {
    const std::string dir = start.empty() ? writer.root : join_path(writer.root, to_disk(start));
    DirListing listing = engine_list_dir(dir, writer.pattern, writer.files);
    if (writer.flags & EF_SORTED) engine_sort_list(listing);
    for (const DirEntry& entry : listing) {
        if (writer.stopped || writer.write_failure) return;
        std::string relative = start;
        // ":" is an ordinary character of a name here, never a drive's end.
        if (!relative.empty() && relative.back() != '\\') relative += '\\';
        relative += entry.name;
        // "\" separates parts inside an archive: a name holding one would come
        // back as a different path, and one such as "a:b" as a drive prefix.
        if (entry.name.find('\\') != std::string::npos || (relative.size() >= 2 && relative[1] == ':')) {
            ++writer.entries;
            report_entry(writer.callback, ERR_ARCHIVE_NAME, relative);
            continue;
        }
        const std::string path = join_path(dir, entry.name);
        struct stat st {};
        if (entry.is_directory()) {
            if (!(writer.flags & EF_INCLUDE_SUBDIRS) || writer.files.stat(path.c_str(), &st) != 0) continue;
            const auto id = std::make_pair(st.st_dev, st.st_ino);
            if (std::find(writer.ancestors.begin(), writer.ancestors.end(), id) != writer.ancestors.end()) continue;
            writer.ancestors.push_back(id);
            walk_tree(writer, relative);
            writer.ancestors.pop_back();
        } else if (entry.kind == EntryKind::Other) {
            ++writer.entries;
            report_entry(writer.callback, passed_over_code(path, writer.files), relative);
        } else {
            ++writer.entries;
            // A link out of the tree would pack a file from elsewhere (a
            // password file, say) into an archive that is then shipped.
            std::string target;
            if (link_leaves_tree(path, writer.real_root, target, writer.files)) {
                report_entry(writer.callback, ERR_LINK_OUTSIDE, relative,
                             "a link to '" + target + "', outside the tree, is not followed; it is left out");
                continue;
            }
            // The archive being written may lie inside the tree.
            if (writer.files.stat(path.c_str(), &st) == 0 &&
                std::find(writer.excluded.begin(), writer.excluded.end(), std::make_pair(st.st_dev, st.st_ino)) !=
                    writer.excluded.end())
                continue;
            const int result =
                add_file(writer.files, writer.root, relative, writer.archive, !(writer.flags & EF_STORE_RAW),
                         writer.callback, !(writer.flags & EF_PLAIN_TRAILER));
            if (result == ERR_STOPPED) writer.stopped = true;
            // Once the archive itself cannot be written, no later file can be
            // added either: the whole archive is abandoned.
            if (is_archive_write_failure(result)) {
                writer.write_failure = result;
                return;
            }
        }
    }
}

// The body of archive_add_file once the callback agreed. On failure after the
// file record was written the archive is cut back to where the record began.
// A failed write to the archive itself (a full disk) gives ERR_WRITE_ARCHIVE
// minus errno: no later file could be added either.
int add_member(FileSystem& files, const std::string& root, const std::string& relative, std::FILE* archive,
               bool code_it, const ProgressCallback& callback, bool with_record) {
    if (relative.empty() || relative.size() > 255) return ERR_ARCHIVE_NAME;
    struct stat st {};
    int error = 0;
    FileHandle file = open_regular(files, join_path(root, to_disk(relative)), st, error);
    if (!file) return error < 0 ? error : errno_code(ERR_OPEN_INPUT, error);
    if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFu) return ERR_ARCHIVE_TOO_LARGE;
    const auto size = static_cast<std::uint32_t>(st.st_size);
    // The digest takes a pass of its own before the data is written: the coder
    // reads its input more than once, and the record precedes the data.
    ContentDigest digest{};
    with_record = with_record && st.st_size <= MAX_FILE_LENGTH;
    if (with_record) {
        StreamWindow whole = window_on(files, file.get(), 0, static_cast<std::int32_t>(size));
        if (const int rc = coder_digest(&whole, callback, -1, digest); rc < 0) return rc;
    }

    const off_t record_start = ftello(archive);
    if (record_start < 0) return archive_write_failure(errno);
    // Called at once after the failing call, while errno still tells why.
    const auto write_failed = [] { return archive_write_failure(errno); };
    auto fail = [&](int code) {
        if (std::fflush(archive) != 0) return write_failed();
        if (files.ftruncate(files.fileno(archive), record_start) != 0) { /* the next record overwrites it */ }
        fseeko(archive, record_start, SEEK_SET);
        return code;
    };

    TrailerRecord info;
    engine_read_file_info(file.get(), info, files);
    std::vector<std::uint8_t> record =
        archive_file_record(relative, size, info.access_time(), info.modification_time(), info.attributes());
    if (with_record)
        put_member_record(record.data(), static_cast<std::uint16_t>(st.st_mode & 0777), digest, kArchiveTagNamed);
    if (!write_all(archive, record.data(), record.size())) return write_failed();

    // Coded members are read back through 32-bit stream windows, and the coder
    // takes files of up to 1 GiB; anything beyond is kept as it is.
    const off_t data_start = record_start + static_cast<off_t>(record.size()) + kDataBlockSize;
    const bool coded = code_it && st.st_size <= MAX_FILE_LENGTH &&
                       data_start + 2 * static_cast<off_t>(size) + 65536 < static_cast<off_t>(INT32_MAX);
    const auto block = archive_data_block(coded ? AR_CODED : AR_STORED, coded ? 0xFFFFFFFFu : size);
    if (!write_all(archive, block.data(), block.size())) return write_failed();

    std::int64_t written = 0;
    std::int64_t content = size;  // the bytes of the file that the data holds
    if (coded) {
        if (std::fflush(archive) != 0) return write_failed();
        StreamWindow base;  // no Base: coded against nothing
        base.length = 0;
        // The size in the record is what a reader checks the decoded data
        // against: a file that grew meanwhile is coded up to that size.
        StreamWindow input = window_on(files, file.get(), 0, static_cast<std::int32_t>(size));
        StreamWindow output = window_on(files, archive, static_cast<std::int32_t>(data_start), 0);
        const TrailerRecord no_check;  // check length 0: neither check block nor trailer follows
        errno = 0;
        const int result = coder_create(&base, &input, &output, 7, callback, no_check);
        // The coder's writes go to the archive and to its own temporaries; a
        // full disk under either would fail every later file alike.
        if (result == ERR_WRITE_FAILED) return write_failed();
        if (result < 0) return fail(result);
        written = result;
        if (input.length >= 0 && input.length < static_cast<std::int32_t>(size)) content = input.length;  // it shrank
    } else {
        const std::int64_t result = engine_copy_stream(file.get(), archive, 0, size, callback);
        if (result == ERR_STOPPED) return fail(ERR_STOPPED);
        if (result < 0) return std::ferror(archive) ? archive_write_failure(errno_of(static_cast<int>(result), ERR_COPY_WRITE)) : fail(ERR_READ_FAILED);
        written = result;
        content = result;
    }

    // The block (and, for a file that shrank meanwhile, the record) must state
    // what really follows.
    if (fseeko(archive, record_start + 4, SEEK_SET) != 0) return write_failed();
    if (content != size) {
        std::uint8_t actual[4];
        put32(actual, static_cast<std::uint32_t>(content));
        if (!write_all(archive, actual, 4)) return write_failed();
        // The digest was of the file before it shrank: the member goes without
        // a record rather than with one that would refuse it.
        if (with_record) {
            const std::uint8_t none[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            if (fseeko(archive, record_start + 8, SEEK_SET) != 0 || !write_all(archive, none, 4) ||
                fseeko(archive, record_start + 20, SEEK_SET) != 0 || !write_all(archive, none, 4) ||
                !write_all(archive, none, 4))
                return write_failed();
        }
    }
    std::uint8_t length[4];
    put32(length, static_cast<std::uint32_t>(written));
    if (fseeko(archive, data_start - 4, SEEK_SET) != 0 || !write_all(archive, length, 4) ||
        fseeko(archive, data_start + written, SEEK_SET) != 0)
        return write_failed();
    return 0;
}

int add_file(FileSystem& files, const std::string& root, const std::string& relative, std::FILE* archive,
             bool code_it, const ProgressCallback& callback, bool with_record) {
    const std::string shown = to_disk(relative);
    ProgressRecord record;
    record.code = PM_ARCHIVE_FILE_START;
    record.first_path = shown.c_str();
    int result = ERR_STOPPED;
    if (ask(callback, record) != ANSWER_STOP)
        result = add_member(files, root, relative, archive, code_it, callback, with_record);
    record.code = static_cast<std::int16_t>(result == 0 ? PM_ARCHIVE_FILE_DONE : result);
    // A stop touches only this file; the walk asks again for the next one.
    ask(callback, record);
    return result;
}

// ---------------------------------------------------------------- reading

struct OpenArchive {
    FileHandle file;
    std::int64_t size = 0;
    std::int64_t header_length = 0;
    // The version of our tag in the header, 0 for none: members may carry
    // records. A damaged field reads as the latest version, whose records
    // cover everything a member is written by, and is reported.
    int tag_version = 0;
    bool tag_damaged = false;
};

int open_archive(FileSystem& files, const std::string& path, OpenArchive& archive) {
    struct stat st {};
    int error = 0;
    archive.file = open_regular(files, path, st, error);
    if (!archive.file) {
        if (error == ERR_NOT_REGULAR_FILE) return ERR_NOT_ARCHIVE;
        return error < 0 ? error : errno_code(ERR_OPEN_ARCHIVE, error);
    }
    archive.size = st.st_size;
    std::uint8_t header[kArchiveHeaderSize];
    if (std::fread(header, 1, sizeof header, archive.file.get()) != sizeof header) return ERR_NOT_ARCHIVE;
    archive.header_length = get16(header);
    if (archive.header_length < kArchiveHeaderSize) return ERR_NOT_ARCHIVE;
    const auto magic = magic_field();
    if (std::memcmp(header + 3, magic.data(), magic.size()) != 0) return ERR_NOT_ARCHIVE;
    const std::uint8_t* tag = header + kArchiveTagOffset;
    const auto zero = [](std::uint8_t b) { return b == 0; };
    if (std::all_of(tag, tag + kArchiveTagField, zero)) return 0;
    if (std::memcmp(tag, kArchiveTag, sizeof kArchiveTag) == 0 && (tag[3] == 1 || tag[3] == kArchiveTagNamed) &&
        std::all_of(tag + 4, tag + kArchiveTagField, zero)) {
        archive.tag_version = tag[3];
        return 0;
    }
    archive.tag_version = kArchiveTagNamed;
    archive.tag_damaged = true;
    return 0;
}

// The words for a header field that is neither zeros nor our tag.
std::string tag_damage() {
    return "the archive is damaged at offset " + std::to_string(kArchiveTagOffset) +
           ": the header's reserved field is neither zeros nor our tag";
}

// Reads `count` bytes at `position`; false on a short read.
bool read_at(std::FILE* file, std::int64_t position, void* buffer, std::size_t count) {
    if (fseeko(file, static_cast<off_t>(position), SEEK_SET) != 0) return false;
    return std::fread(buffer, 1, count, file) == count;
}

// One record as the walk sees it: its first min(length, 287) bytes.
struct Record {
    std::int64_t position = 0;
    std::uint16_t length = 0;
    std::uint8_t bytes[kMaxRecordRead] = {};
    std::size_t held = 0;
    std::uint8_t type() const { return bytes[2]; }
};

std::string bytes_text(std::int64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

std::string damage_at(std::int64_t offset, const std::string& what) {
    return "the archive is damaged at offset " + std::to_string(offset) + ": " + what;
}

// Reads the record at `position` (before the end of the archive) and checks
// that it makes sense on its own: a length that ends inside the archive and
// the length its type always has. Returns "" for a sound record, else what is
// wrong with it.
std::string read_sound_record(std::FILE* file, std::int64_t size, std::int64_t position, Record& record) {
    record.position = position;
    record.length = 0;
    record.held = 0;
    const std::int64_t left = size - position;
    if (left < 3) return "a record is cut short: the archive ends " + bytes_text(left) + " into it";
    if (!read_at(file, position, record.bytes, 2)) return "a record cannot be read";
    record.length = get16(record.bytes);
    if (record.length < 3)
        return "a record length of " + std::to_string(record.length) + " (a record is at least 3 bytes)";
    if (record.length > left)
        return "a record of " + bytes_text(record.length) + " runs past the end of the archive (" + bytes_text(size) +
               "): the archive is cut short";
    record.held = std::min<std::size_t>(record.length, kMaxRecordRead);
    if (std::fread(record.bytes + 2, 1, record.held - 2, file) != record.held - 2) return "a record cannot be read";
    const auto expect = [&](const char* kind, int length) -> std::string {
        if (record.length == length) return {};
        return std::string(kind) + " of " + bytes_text(record.length) + " (" + std::to_string(length) + " expected)";
    };
    switch (record.type()) {
        case AR_HEADER:
            return expect("a header record", kArchiveHeaderSize);
        case AR_FILE:
            return expect("a file record", kFileRecordFixed + record.bytes[3]);
        case AR_STORED:
        case AR_CODED:
            return expect("a data block record", kDataBlockSize);
        case AR_END:
            return expect("an end record", kArchiveEndSize);
        default:
            return "a record of unknown type " + std::to_string(record.type());
    }
}

// Whether a record certainly starts at `p` (with `available` bytes from there):
// a file record whose length fits its name, the name ended by its zero and
// holding none, directly followed by a data block record; or an end record
// with the magic. Random bytes pass for either with odds below one in 2^48.
bool certain_record_start(const std::uint8_t* p, std::size_t available) {
    if (available < 4) return false;
    const std::uint16_t length = get16(p);
    if (p[2] == AR_FILE) {
        const std::size_t n = p[3];
        if (n == 0 || length != kFileRecordFixed + n || available < length + std::size_t{kDataBlockSize}) return false;
        if (p[30 + n] != 0 || std::memchr(p + 30, 0, n) != nullptr) return false;
        const std::uint8_t* block = p + length;
        return get16(block) == kDataBlockSize && (block[2] == AR_STORED || block[2] == AR_CODED) &&
               block[3] == 0x80 && get32(block + 4) == 0;
    }
    if (p[2] == AR_END) {
        if (length != kArchiveEndSize || available < std::size_t{kArchiveEndSize}) return false;
        const auto magic = magic_field();
        return std::memcmp(p + 3, magic.data(), magic.size()) == 0;
    }
    return false;
}

// The walk over the records after the header. A record that does not make
// sense is reported with its offset, and the walk goes on at the next place
// where a record certainly starts: one damaged spot costs the members it
// touches, not the rest of the archive.
class RecordWalk {
public:
    // Receives the words of one damage; false asks the walk to end.
    using Report = std::function<bool(std::int64_t offset, const std::string& detail)>;

    RecordWalk(std::FILE* file, std::int64_t size, Report report)
        : file_(file), size_(size), report_(std::move(report)) {}

    std::FILE* file() const { return file_; }
    std::int64_t size() const { return size_; }
    bool stopped() const { return stopped_; }
    // Where the first end record lies, -1 before one was met: whatever
    // follows it is no part of the archive.
    std::int64_t end_at() const { return end_at_; }
    bool after_end(const Record& record) const { return end_at_ >= 0 && record.position > end_at_; }

    // The next sound record at or after `position`, in `record`; false at the
    // end of the walk. Should the record at `position` not be sound, the search
    // for the next one starts at `resume_from` (when not -1; it may lie before
    // `position`, where data that overran its length ends) or else just after
    // `position`. A `position` past the end (data that ran past it, already
    // reported) ends the walk unless `resume_from` is given.
    bool next(std::int64_t position, Record& record, std::int64_t resume_from = -1) {
        while (!stopped_) {
            if (position == size_) {
                if (!end_seen_ && !damaged_)
                    report(size_, "the archive ends without its end record: it is cut short");
                return false;
            }
            if (position > size_) {
                if (resume_from < 0) return false;
                position = find_certain_record(resume_from);
                resume_from = -1;
                if (position < 0) return false;
                continue;
            }
            // A place reported before (a member met it first, or the walk came
            // back to it) is searched past, never reported twice.
            const bool known = position == last_bad_;
            std::string what;
            if (!known) {
                what = read_sound_record(file_, size_, position, record);
                if (what.empty()) {
                    if (record.type() == AR_END && !end_seen_) {
                        end_seen_ = true;
                        end_at_ = position;
                    }
                    return true;
                }
                report(position, what);
            }
            last_bad_ = position;
            const std::int64_t from = resume_from >= 0 && !known ? resume_from : position + 1;
            position = find_certain_record(from);
            resume_from = -1;
            if (position < 0) return false;
        }
        return false;
    }

    // Reads the record at `position` without reporting anything: "" when it is
    // sound, else what is wrong with it.
    std::string peek(std::int64_t position, Record& record) {
        if (position >= size_) return "the archive ends there: it is cut short";
        return read_sound_record(file_, size_, position, record);
    }

    // Reports damage that a member's reader found at `offset`.
    void report(std::int64_t offset, const std::string& what) {
        damaged_ = true;
        if (!report_(offset, damage_at(offset, what))) stopped_ = true;
    }
    // Damage that a member's reader reported itself; a `place` not -1 holds no
    // sound record and is searched past without being reported again.
    void note_damage(std::int64_t place) {
        damaged_ = true;
        if (place >= 0) last_bad_ = place;
    }

private:
    // The first place at or after `from` where a record certainly starts, or -1.
    std::int64_t find_certain_record(std::int64_t from) {
        constexpr std::size_t kChunk = 1 << 16;
        constexpr std::size_t kLook = kMaxRecordRead + kDataBlockSize;  // the most one test reads
        if (from >= searched_empty_from_) return -1;
        std::vector<std::uint8_t> buffer(kChunk + kLook);
        for (std::int64_t at = std::max<std::int64_t>(from, 0); at < size_; at += kChunk) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size_ - at, kChunk + kLook));
            if (!read_at(file_, at, buffer.data(), want)) break;
            const std::size_t starts = std::min(want, kChunk);
            for (std::size_t i = 0; i < starts; ++i)
                if (certain_record_start(buffer.data() + i, want - i)) return at + static_cast<std::int64_t>(i);
        }
        // Nothing sound lies beyond: later searches from further on end at once.
        searched_empty_from_ = std::min(searched_empty_from_, from);
        return -1;
    }

    std::FILE* file_;
    std::int64_t size_;
    Report report_;
    bool end_seen_ = false;
    std::int64_t end_at_ = -1;
    bool damaged_ = false;
    bool stopped_ = false;
    std::int64_t last_bad_ = -1;
    std::int64_t searched_empty_from_ = INT64_MAX;
};

// The fields of a file record, and its stored path as far as the record holds it.
void parse_member(const Record& record, ArchiveMember& member, int tag_version) {
    const std::size_t n = std::min<std::size_t>(record.bytes[3], record.held > 30 ? record.held - 30 : 0);
    const char* name = reinterpret_cast<const char*>(record.bytes + 30);
    member.stored_path.assign(name, strnlen(name, n));
    member.size = get32(record.bytes + 4);
    member.access_time = static_cast<std::int32_t>(get32(record.bytes + 12));
    member.modification_time = static_cast<std::int32_t>(get32(record.bytes + 16));
    member.permissions = get16(record.bytes + 28);
    if (tag_version) read_member_record(record.bytes, member, tag_version);
}

// What the walk learns about a member's data block, and where it goes on.
struct MemberData {
    int code = 0;        // 0, or why the member cannot be extracted
    std::string detail;  // for that code: where the damage is and what it is
    std::int64_t data_start = 0;
    std::int64_t data_length = 0;
    std::int64_t next = 0;         // where the walk goes on
    std::int64_t resume_from = -1;  // where it looks for a sound record should `next` hold none
};

// Checks the data block after the file record `record` without reporting:
// a member with damage gets its code and words, the walk learns where to go on.
MemberData examine_member(RecordWalk& walk, const Record& record, const ArchiveMember& member, int& block_type) {
    MemberData data;
    const std::int64_t block_at = record.position + record.length;
    data.next = block_at;
    block_type = 0;
    Record block;
    if (const std::string what = walk.peek(block_at, block); !what.empty()) {
        data.code = ERR_ARCHIVE_SHORT;
        data.detail = damage_at(block_at, "where its data block should be, " + what);
        return data;
    }
    if (block.type() != AR_STORED && block.type() != AR_CODED) {
        // A sound record of another kind: the walk goes on with it.
        data.code = ERR_NO_DATA_BLOCK;
        data.detail = damage_at(block_at, "the file record at offset " + std::to_string(record.position) +
                                              " is not followed by a data block");
        return data;
    }
    block_type = block.type();
    data.data_start = block_at + kDataBlockSize;
    data.data_length = get32(block.bytes + 8);
    const std::int64_t data_end = data.data_start + data.data_length;
    data.next = data_end;
    data.resume_from = data.data_start;
    if (data_end > walk.size()) {
        data.code = ERR_ARCHIVE_SHORT;
        data.detail = damage_at(block_at, "its data of " + bytes_text(data.data_length) +
                                              " runs past the end of the archive (" + bytes_text(walk.size()) +
                                              "): the archive is cut short");
        return data;
    }
    if (block_type == AR_STORED && data.data_length != member.size) {
        data.code = ERR_ARCHIVE_DAMAGED;
        data.detail = damage_at(block_at, "the data block holds " + bytes_text(data.data_length) +
                                              " but the file is " + bytes_text(member.size));
        // Which of the two lengths lies shows in where a sound record follows.
        const std::int64_t by_size = data.data_start + member.size;
        Record probe;
        if (by_size < walk.size() && walk.peek(by_size, probe).empty()) data.next = by_size;
        return data;
    }
    // Data that overran its stated length by a few bytes ends a little before
    // the place the length gives.
    data.resume_from = std::max(data.data_start, data_end - 64);
    return data;
}

// Turns a stored path into parts below the output directory. Drive and server
// prefixes go; an empty result, a ".." part or anything that could climb out
// is refused. "/" counts as a separator too, as it would on disk.
bool safe_parts(std::string stored, std::vector<std::string>& parts) {
    if (stored.size() >= 2 && stored[1] == ':') stored.erase(0, 2);
    if (stored.size() >= 2 && stored[0] == '\\' && stored[1] == '\\') {
        const std::size_t end = stored.find('\\', 2);
        stored.erase(0, end == std::string::npos ? stored.size() : end);
    }
    if (!stored.empty() && stored[0] == '\\') stored.erase(0, 1);
    parts.clear();
    std::size_t at = 0;
    while (at <= stored.size()) {
        std::size_t end = stored.find_first_of("\\/", at);
        if (end == std::string::npos) end = stored.size();
        const std::string part = stored.substr(at, end - at);
        if (part == "..") return false;
        if (!part.empty() && part != ".") parts.push_back(part);
        at = end + 1;
    }
    return !parts.empty();
}

// The name a pattern is matched against: the part after the last separator.
std::string member_name(const std::string& stored) {
    const std::size_t cut = stored.find_last_of("\\/:");
    return cut == std::string::npos ? stored : stored.substr(cut + 1);
}

// Makes the directories between `base` and the file `parts` name, refusing to
// pass through a link (an earlier member or a planted link could otherwise
// lead the write anywhere; `link` receives the folder that is one). A link at
// the file's own name is replaced by the file, as every output's is, unless it
// leads to a pipe or device. Returns 0 or an error code.
int prepare_directories(FileSystem& files, const std::string& base, const std::vector<std::string>& parts,
                        std::string& link) {
    std::string path = base;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        path = join_path(path, parts[i]);
        struct stat st {};
        if (files.lstat(path.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) {
                link = path;
                return ERR_LINKED_FOLDER;
            }
            if (!S_ISDIR(st.st_mode)) return errno_code(ERR_CREATE_OUTPUT, ENOTDIR);
        } else if (files.mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
            return errno_code(ERR_CREATE_OUTPUT, errno);
        }
    }
    struct stat st {};
    const std::string target = join_path(path, parts.back());
    if (files.lstat(target.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return is_link_to_special(target, files) ? ERR_OUTPUT_LINK : 0;
        if (!S_ISREG(st.st_mode)) return errno_code(ERR_CREATE_OUTPUT, S_ISDIR(st.st_mode) ? EISDIR : EEXIST);
    }
    return 0;
}

// What extract and list both check of a member before its data: that it lies
// before the end record, that its record is sound, that its path stays below
// the output, and that no earlier member took that path (the later would
// silently replace it). `names` holds the paths taken so far, with the
// offsets of their file records. Returns 0 or the member's code, with the
// words in `detail`.
int refuse_member(const RecordWalk& walk, std::map<std::string, std::int64_t>& names, const Record& record,
                  const ArchiveMember& member, const std::vector<std::string>* parts, std::string& detail) {
    const std::string shown = printable_name(to_disk(member.stored_path));
    if (walk.after_end(record)) {
        detail = damage_at(record.position, "the file record of " + shown + " lies after the end record at offset " +
                                                std::to_string(walk.end_at()));
        return ERR_MEMBER_AFTER_END;
    }
    if (member.record == RecordState::damaged) {
        detail = damage_at(record.position + 8, "the member record of " + shown +
                                                    " (time slots 1, 4 and 5) is neither -1 nor intact");
        return ERR_MEMBER_RECORD_DAMAGED;
    }
    if (!parts) {
        detail = damage_at(record.position, "the stored path " + shown + " leads outside the output directory");
        return ERR_UNSAFE_PATH;
    }
    std::string key;
    for (const std::string& part : *parts) key += (key.empty() ? "" : "/") + part;
    const auto [first, added] = names.emplace(key, record.position);
    if (!added && first->second != record.position) {
        detail = damage_at(record.position, "a second member named " + printable_name(key) +
                                                " (the first is at offset " + std::to_string(first->second) + ")");
        return ERR_DUPLICATE_MEMBER;
    }
    return 0;
}

struct Extraction {
    FileSystem& files;
    RecordWalk& walk;
    const std::string& output_dir;
    const std::string& pattern;
    EngineFlags flags;
    const ProgressCallback& callback;
    int tag_version;  // of the header's tag, 0 for none: members may carry records
    bool stopped = false;
    std::map<std::string, std::int64_t> names;  // the paths members took, for refuse_member
    // The folders that took files, flushed once each when the walk ends.
    std::set<std::string> folders;
    // False for a scratch tree that the run reads back and removes: nothing
    // in it is flushed to the disk.
    bool durable = true;
};

// Makes the files renamed into `job.folders` durable: each folder once, and
// the folders above it up to the output directory, whose entries the folders
// made on the way are.
void flush_folders(const Extraction& job) {
    std::set<std::string> flushed;
    for (std::string folder : job.folders) {
        while (flushed.insert(folder).second) {
            sync_folder(folder, job.files);
            if (folder == job.output_dir || !path_within(folder, job.output_dir)) break;
            const std::string above = folder_of(folder);
            if (above.empty() || above == folder) break;
            folder = above;
        }
    }
}

// Writes the member's data into `out`. Returns the bytes written or an error
// code; `detail` receives the words for damage found on the way.
// `out` is a stream of `files` or an anonymous temporary.
std::int64_t extract_data(FileSystem& files, std::FILE* archive, const ProgressCallback& callback,
                          const MemberData& data, int block_type, std::FILE* out, std::string& detail,
                          const ArchiveMember& member) {
    // A member with a record is digested as it is written, and refused when
    // its bytes differ from those the archive was made from.
    const bool verified = member.record == RecordState::present;
    if (block_type == AR_STORED) {
        if (fseeko(archive, static_cast<off_t>(data.data_start), SEEK_SET) != 0) return ERR_ARCHIVE_SHORT;
        errno = 0;
        DigestBuilder digest;
        const std::int64_t copied =
            engine_copy_stream(archive, out, 0, data.data_length, callback, verified ? &digest : nullptr);
        if (copied == ERR_STOPPED) return ERR_STOPPED;
        if (copied == data.data_length) {
            ContentDigest got{};
            if (verified && (!digest.finish(copied, got) ||
                             std::memcmp(got.data(), member.digest.data(), kMemberDigestSize) != 0))
                return ERR_CONTENT_MISMATCH;
            return copied;
        }
        // The output refusing bytes is no damage of the archive.
        if (std::ferror(out)) return errno_code(ERR_CREATE_OUTPUT, errno > 0 ? errno : EIO);
        return ERR_ARCHIVE_SHORT;
    }
    if (data.data_start > INT32_MAX || data.data_length > INT32_MAX - data.data_start) return ERR_ARCHIVE_TOO_LARGE;
    StreamWindow base;
    base.length = 0;
    StreamWindow delta = window_on(files, archive, static_cast<std::int32_t>(data.data_start),
                                   static_cast<std::int32_t>(data.data_length));
    StreamWindow output = window_on(files, out, 0, 0);
    ExpectedContent expected;
    std::copy(member.digest.begin(), member.digest.end(), expected.digest.begin());
    expected.compared = kMemberDigestSize;
    const int result = coder_restore(&base, &delta, &output, callback, nullptr, verified ? &expected : nullptr);
    if (result == ERR_MALFORMED) {
        detail = damage_at(data.data_start, "its coded data of " + bytes_text(data.data_length) + " cannot be decoded");
        return ERR_ARCHIVE_DAMAGED;
    }
    if (result >= 0 && static_cast<std::uint32_t>(result) != member.size) {
        detail = damage_at(data.data_start,
                           "its coded data gives " + bytes_text(result) + " but the file is " + bytes_text(member.size));
        return ERR_ARCHIVE_DAMAGED;
    }
    return result;
}

// Reads a member's data as extraction would, into a scratch file that is then
// dropped: 0, or the code extraction would refuse the member with and the
// words for it in `detail`.
int check_member_data(FileSystem& files, std::FILE* archive, const MemberData& data, int block_type,
                      const ArchiveMember& member, std::string& detail) {
    // A stored member without a record has nothing to check beyond the
    // length of its data, which the walk compared with its size.
    if (block_type == AR_STORED && member.record != RecordState::present) return 0;
    FileHandle scratch(std::tmpfile());
    if (!scratch) return ERR_TEMP_FILE;
    const std::int64_t result = extract_data(files, archive, {}, data, block_type, scratch.get(), detail, member);
    if (result == ERR_CONTENT_MISMATCH && detail.empty())
        detail = damage_at(data.data_start, "the data of " + printable_name(to_disk(member.stored_path)) +
                                                " does not match the digest in its member record");
    return result < 0 ? static_cast<int>(result) : 0;
}

// Where the walk goes on after a member.
struct Continue {
    std::int64_t position;
    std::int64_t resume_from = -1;
};

// Extracts the member whose file record is `record`.
Continue extract_member(Extraction& job, const Record& record) {
    const std::int64_t after_record = record.position + record.length;
    ArchiveMember member;
    parse_member(record, member, job.tag_version);
    // An excluded member's data block is passed over as the walk meets it.
    // One after the end record is damage whatever its name.
    if (!job.pattern.empty() && !job.walk.after_end(record) &&
        wildcard_match(job.pattern, member_name(member.stored_path), WM_CASEFOLD) != 0)
        return {after_record};

    std::vector<std::string> parts;
    std::string output_path = job.output_dir;
    const bool safe = safe_parts(member.stored_path, parts);
    if (safe) {
        for (const std::string& part : parts) output_path = join_path(output_path, part);
    } else {
        output_path = join_path(job.output_dir, to_disk(member.stored_path));
    }
    ProgressRecord progress;
    progress.output_path = output_path.c_str();
    auto finish = [&](int code, const std::string& detail = {}) {
        progress.code = static_cast<std::int16_t>(code == 0 ? PM_EXTRACT_FILE_DONE : code);
        progress.detail = detail.empty() ? nullptr : detail.c_str();
        if (ask(job.callback, progress) == ANSWER_STOP || code == ERR_STOPPED) job.stopped = true;
        progress.detail = nullptr;
    };

    int block_type = 0;
    const MemberData data = examine_member(job.walk, record, member, block_type);
    const Continue next{data.next, data.resume_from};
    if (data.code != 0) {
        // The member's own error counts this damage; the walk searches past it.
        job.walk.note_damage(data.code == ERR_ARCHIVE_SHORT && data.next == after_record ? after_record : -1);
        finish(data.code, data.detail);
        return next;
    }

    // Refused before anything is made for it: a damaged record may name
    // folders that must not appear.
    std::string refusal;
    int code = refuse_member(job.walk, job.names, record, member, safe ? &parts : nullptr, refusal);
    if (code == ERR_UNSAFE_PATH) refusal.clear();  // hostile rather than damaged: the code says it all
    if (code == 0) {
        std::string link;
        code = prepare_directories(job.files, job.output_dir, parts, link);
        if (code == ERR_LINKED_FOLDER)
            refusal = "the folder '" + link + "' is a symbolic link; nothing is written through it";
    }
    if (code != 0) {
        finish(code, refusal);
        return next;
    }
    SafeOutput out(job.files);
    if (const int error = out.create_beside(output_path)) {
        finish(errno_code(ERR_CREATE_OUTPUT, error));
        return next;
    }

    progress.code = PM_EXTRACT_FILE_START;
    if (ask(job.callback, progress) == ANSWER_STOP) {
        job.stopped = true;
        return next;
    }

    std::string detail;
    const std::int64_t result =
        extract_data(job.files, job.walk.file(), job.callback, data, block_type, out.file(), detail, member);
    if (result < 0) {
        finish(static_cast<int>(result), detail);
        return next;
    }
    // The data reaches the disk before the file takes its name; its times and
    // bits are set before the rename so that the name never shows other ones.
    if (const int error = out.finish(job.durable)) {
        finish(errno_code(ERR_CREATE_OUTPUT, error));
        return next;
    }
    TrailerRecord info;
    for (int slot = 0; slot < 5; ++slot) info.set_time_slot(slot, static_cast<std::int32_t>(get32(record.bytes + 8 + 4 * slot)));
    info.set_attributes(member.permissions);
    if (member.record == RecordState::present) write_updated_record(info, UpdatedRecord{member.mode, {}});
    if (job.flags & EF_KEEP_ATTRIBUTES) engine_apply_permissions(out.path(), info, job.files);
    if (job.flags & EF_KEEP_DATE) engine_apply_times(out.path(), info, job.files);
    if (const int error = out.commit(output_path, job.durable ? FolderSync::later : FolderSync::never)) {
        finish(errno_code(ERR_CREATE_OUTPUT, error));
        return next;
    }
    job.folders.insert(folder_of(output_path));
    finish(0);
    return next;
}

// One step of a walk: a file record goes to `member`; a data block met here
// (its member was passed over) has its data skipped; any other record is
// passed over.
template <typename Member>
Continue walk_on(RecordWalk& walk, const Record& record, Member&& member) {
    // Nothing follows the end record in a sound archive. A member there is
    // refused by its reader; any other record is told here.
    if (walk.after_end(record) && record.type() != AR_FILE) {
        const char* kind = record.type() == AR_END ? "an end record" : record.type() == AR_HEADER ? "a header record"
                                                                                                   : "a data block record";
        walk.report(record.position,
                    std::string(kind) + " after the end record at offset " + std::to_string(walk.end_at()));
    }
    switch (record.type()) {
        case AR_FILE:
            return member();
        case AR_STORED:
        case AR_CODED: {
            const std::int64_t data_start = record.position + record.length;
            const std::int64_t data_end = data_start + get32(record.bytes + 8);
            if (data_end > walk.size()) {
                walk.report(record.position, "the data block's data of " + bytes_text(data_end - data_start) +
                                                 " runs past the end of the archive (" + bytes_text(walk.size()) +
                                                 "): the archive is cut short");
                return {data_end, data_start};
            }
            return {data_end, std::max(data_start, data_end - 64)};
        }
        default:
            return {record.position + record.length};
    }
}

}  // namespace

bool make_parent_dirs(const std::string& path, FileSystem& files) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    return make_dirs(path.substr(0, slash), files);
}

void archive_put_member_record(std::uint8_t* record, std::uint16_t mode, const ContentDigest& digest,
                               int tag_version) {
    put_member_record(record, mode, digest, tag_version);
}

std::array<std::uint8_t, kArchiveHeaderSize> archive_header_record(std::uint32_t stamp, int tag_version) {
    std::array<std::uint8_t, kArchiveHeaderSize> header{};
    put16(header.data(), kArchiveHeaderSize);
    header[2] = AR_HEADER;
    const auto magic = magic_field();
    std::memcpy(header.data() + 3, magic.data(), magic.size());
    if (tag_version) {
        std::memcpy(header.data() + kArchiveTagOffset, kArchiveTag, sizeof kArchiveTag);
        header[kArchiveTagOffset + sizeof kArchiveTag] = static_cast<std::uint8_t>(tag_version);
    }
    put32(header.data() + 90, stamp);
    return header;
}

std::array<std::uint8_t, kArchiveEndSize> archive_end_record(std::uint32_t stamp) {
    std::array<std::uint8_t, kArchiveEndSize> end{};
    put16(end.data(), kArchiveEndSize);
    end[2] = AR_END;
    const auto magic = magic_field();
    std::memcpy(end.data() + 3, magic.data(), magic.size());
    put32(end.data() + 66, stamp);
    return end;
}

std::vector<std::uint8_t> archive_file_record(const std::string& stored, std::uint32_t size,
                                              std::int32_t access_time, std::int32_t modification_time,
                                              std::uint16_t attributes) {
    const auto n = static_cast<std::uint8_t>(stored.size());
    std::vector<std::uint8_t> record(kFileRecordFixed + n, 0);
    put16(&record[0], static_cast<std::uint16_t>(record.size()));
    record[2] = AR_FILE;
    record[3] = n;
    put32(&record[4], size);
    put32(&record[8], 0xFFFFFFFFu);
    put32(&record[12], static_cast<std::uint32_t>(access_time));
    put32(&record[16], static_cast<std::uint32_t>(modification_time));
    put32(&record[20], 0xFFFFFFFFu);
    put32(&record[24], 0xFFFFFFFFu);
    put16(&record[28], attributes);
    std::memcpy(&record[30], stored.data(), n);
    return record;
}

std::array<std::uint8_t, kDataBlockSize> archive_data_block(std::uint8_t type, std::uint32_t length) {
    std::array<std::uint8_t, kDataBlockSize> block{};
    put16(block.data(), kDataBlockSize);
    block[2] = type;
    block[3] = 0x80;
    put32(block.data() + 8, length);
    return block;
}

int archive_add_file(const std::string& root, const std::string& relative, std::FILE* archive, bool code_it,
                     const ProgressCallback& callback, bool with_record, FileSystem& files) {
    return add_file(files, root, relative, archive, code_it, callback, with_record);
}

int archive_create(const std::string& root, const std::string& start, const std::string& archive,
                   const std::string& pattern, EngineFlags flags, const ProgressCallback& callback,
                   FileSystem& files) {
    // A link at the archive's name is replaced by it, unless it is the
    // system's name for a pipe or device.
    if (is_link_to_special(archive, files)) return ERR_OUTPUT_LINK;
    remove_dead_temporaries(folder_of(archive), files);
    SafeOutput output(files);
    if (const int error = output.create_beside(archive)) return errno_code(ERR_CREATE_OUTPUT, error);
    std::FILE* file = output.file();
    // Whatever fails, the archive is abandoned with `output` and an earlier one
    // stays as it was.
    const auto write_failed = [] { return archive_write_failure(errno); };

    const auto stamp = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                                  static_cast<std::uint64_t>(getpid()) << 20);
    const auto header = archive_header_record(stamp, flags & EF_PLAIN_TRAILER ? 0 : kArchiveTagNamed);
    if (!write_all(file, header.data(), header.size())) return write_failed();

    struct stat st {};
    if (files.fstat(files.fileno(file), &st) != 0) return write_failed();
    ArchiveWriter writer{files, root, file, {{st.st_dev, st.st_ino}}, pattern, flags, callback, {}, false, 0, {}, 0};
    if (files.stat(archive.c_str(), &st) == 0) writer.excluded.emplace_back(st.st_dev, st.st_ino);
    std::string top = start.empty() ? root : join_path(root, to_disk(start));
    if (files.stat(top.c_str(), &st) == 0) writer.ancestors.emplace_back(st.st_dev, st.st_ino);
    writer.real_root = real_path(root);
    walk_tree(writer, start);
    if (writer.write_failure) return writer.write_failure;
    // An archive missing the files after a stop must not pass for the tree, nor
    // replace an archive that was whole.
    if (writer.stopped) return ERR_STOPPED;
    // A pattern that selected nothing: no empty archive passes for the tree.
    if (!pattern.empty() && writer.entries == 0) return ERR_NOTHING_MATCHED;

    const auto end = archive_end_record(stamp);
    if (!write_all(file, end.data(), end.size()) || std::fflush(file) != 0) return write_failed();
    // Nothing may trail the end record, whatever a member cut short left behind.
    const off_t length = ftello(file);
    if (length < 0 || files.ftruncate(files.fileno(file), length) != 0) return write_failed();
    // A full disk may first show itself when the data goes to the disk.
    if (const int error = output.finish()) return archive_write_failure(error);
    if (const int error = output.commit(archive)) return errno_code(ERR_CREATE_OUTPUT, error);
    return 0;
}

namespace {

int extract_archive(FileSystem& files, const std::string& archive, const std::string& output_dir,
                    const std::string& pattern, EngineFlags flags, const ProgressCallback& callback, bool durable) {
    // Clearing must never delete the very archive about to be read.
    if ((flags & EF_CLEAR_OUTPUT) && path_within(archive, output_dir)) return ERR_BAD_REQUEST;
    OpenArchive source;
    if (const int code = open_archive(files, archive, source); code != 0) return code;
    // A pattern that selects no member: nothing is cleared or made.
    // (Damage is reported by the extraction itself, member by member.)
    if (!pattern.empty()) {
        bool any = false, damaged = false;
        archive_list(
            archive,
            [&](const ArchiveMember& member) {
                any = any || wildcard_match(pattern, member_name(member.stored_path), WM_CASEFOLD) == 0;
            },
            [&](const std::string&) { damaged = true; }, true, files);
        if (!any && !damaged) return ERR_NOTHING_MATCHED;
    }

    if (flags & EF_CLEAR_OUTPUT) engine_clear_dir(output_dir, files);
    make_dirs(output_dir, files);
    // The leftovers of killed runs go from the output's top folder (a scratch
    // extraction's folder is new and its own).
    if (durable) remove_dead_temporaries(output_dir, files);

    // Damage outside any member is told with the archive's own path.
    RecordWalk walk(source.file.get(), source.size, [&](std::int64_t offset, const std::string& detail) {
        ProgressRecord progress;
        progress.code = ERR_ARCHIVE_DAMAGED;
        progress.output_path = archive.c_str();
        progress.position = static_cast<std::int32_t>(std::min<std::int64_t>(offset, INT32_MAX));
        progress.detail = detail.c_str();
        return ask(callback, progress) != ANSWER_STOP;
    });
    Extraction job{files, walk, output_dir, pattern, flags, callback, source.tag_version, false, {}, {}, durable};
    Continue next{kArchiveHeaderSize};
    if (source.header_length != kArchiveHeaderSize)
        walk.report(0, "a header record of " + bytes_text(source.header_length) + " (98 expected)");
    if (source.tag_damaged) {
        const std::string detail = tag_damage();
        ProgressRecord progress;
        progress.code = ERR_ARCHIVE_TAG_DAMAGED;
        progress.output_path = archive.c_str();
        progress.position = kArchiveTagOffset;
        progress.detail = detail.c_str();
        if (ask(callback, progress) == ANSWER_STOP) job.stopped = true;
    }
    Record record;
    while (!job.stopped && walk.next(next.position, record, next.resume_from)) {
        next = walk_on(walk, record, [&] { return extract_member(job, record); });
    }
    if (durable) flush_folders(job);
    return 0;
}

}  // namespace

int archive_extract(const std::string& archive, const std::string& output_dir, const std::string& pattern,
                    EngineFlags flags, const ProgressCallback& callback, FileSystem& files) {
    return extract_archive(files, archive, output_dir, pattern, flags, callback, true);
}

int archive_extract_scratch(FileSystem& files, const std::string& archive, const std::string& output_dir,
                            EngineFlags flags, const ProgressCallback& callback) {
    return extract_archive(files, archive, output_dir, "", flags, callback, false);
}

int archive_check_header(const std::string& archive, FileSystem& files) {
    OpenArchive source;
    return open_archive(files, archive, source);
}

int archive_list(const std::string& archive, const std::function<void(const ArchiveMember&)>& visit,
                 const std::function<void(const std::string& detail)>& damaged, bool check_data, FileSystem& files) {
    OpenArchive source;
    if (const int code = open_archive(files, archive, source); code != 0) return code;
    RecordWalk walk(source.file.get(), source.size, [&](std::int64_t, const std::string& detail) {
        if (damaged) damaged(detail);
        return true;
    });
    int count = 0;
    Continue next{kArchiveHeaderSize};
    if (source.header_length != kArchiveHeaderSize)
        walk.report(0, "a header record of " + bytes_text(source.header_length) + " (98 expected)");
    if (source.tag_damaged && damaged) damaged(tag_damage());
    std::map<std::string, std::int64_t> names;
    Record record;
    while (walk.next(next.position, record, next.resume_from)) {
        next = walk_on(walk, record, [&] {
            ArchiveMember member;
            parse_member(record, member, source.tag_version);
            int block_type = 0;
            const MemberData data = examine_member(walk, record, member, block_type);
            if (block_type != 0) {
                member.block_type = block_type;
                member.data_length = static_cast<std::uint32_t>(data.data_length);
            }
            if (data.code != 0) {
                walk.note_damage(data.code == ERR_ARCHIVE_SHORT && data.next == record.position + record.length
                                     ? data.next
                                     : -1);
                if (damaged) damaged(data.detail);
            } else {
                // Whatever extraction would refuse the member for is told too.
                std::vector<std::string> parts;
                const bool safe = safe_parts(member.stored_path, parts);
                std::string detail;
                int code = refuse_member(walk, names, record, member, safe ? &parts : nullptr, detail);
                if (code == 0 && check_data)
                    code = check_member_data(files, walk.file(), data, block_type, member, detail);
                if (code != 0) {
                    if (detail.empty())
                        detail = damage_at(record.position, "the member " + printable_name(to_disk(member.stored_path)) +
                                                                " cannot be extracted: " + describe_error(code));
                    if (damaged) damaged(detail);
                }
            }
            ++count;
            if (visit) visit(member);
            return Continue{data.next, data.resume_from};
        });
    }
    return count;
}

}  // namespace quoralith
