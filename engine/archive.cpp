// The archived directory container: writing a tree into one archive file and
// unpacking it again. An archive comes from elsewhere, so the reader trusts no
// length in it: every record is read through bounded reads, and a stored path
// may only ever name a place below the output directory.
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
#include <memory>
#include <vector>

#include "coder/coder.h"
#include "engine/dir_list.h"
#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace quoralith {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

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
// tag 'Q', at 9 a CRC-8 over offsets 8 and 10-27, at 10 the permission bits,
// at 20 the first eight bytes of the content digest.
constexpr std::uint8_t kMemberTag = 'Q';

std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count, std::uint8_t crc) {
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint8_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
    }
    return crc;
}

std::uint8_t member_crc(const std::uint8_t* record) { return crc8(record + 10, 18, crc8(record + 8, 1, 0)); }

void put_member_record(std::uint8_t* record, std::uint16_t mode, const ContentDigest& digest) {
    record[8] = kMemberTag;
    record[10] = static_cast<std::uint8_t>(mode & 0777);
    record[11] = static_cast<std::uint8_t>((mode & 0777) >> 8);
    std::memcpy(record + 20, digest.data(), kMemberDigestSize);
    record[9] = member_crc(record);
}

void read_member_record(const std::uint8_t* record, ArchiveMember& member) {
    if (record[8] != kMemberTag) return;  // -1, as the bare format writes
    member.mode = static_cast<std::uint16_t>(record[10] | record[11] << 8);
    if (record[9] != member_crc(record) || (member.mode & ~0777u)) {
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

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Opens a regular file for reading without ever blocking on a pipe or device.
// Returns the open file, or nullptr with `error` set to an errno value or to
// ERR_NOT_REGULAR_FILE / ERR_FILE_STATUS.
FileHandle open_regular(const std::string& path, struct stat& st, int& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    if (fstat(fd, &st) != 0) {
        error = ERR_FILE_STATUS;
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = ERR_NOT_REGULAR_FILE;
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "rb");
    if (!file) {
        error = ERR_ARCHIVE_BUFFER;
        close(fd);
    }
    return FileHandle(file);
}

// A temporary file that is removed unless `keep` is set once it took its name.
struct TempGuard {
    std::string name;
    bool keep = false;
    ~TempGuard() {
        if (!keep) unlink(name.c_str());
    }
};

// A new file beside `target`, created exclusively so that nothing existing is
// ever opened by mistake. `name` receives its path.
FileHandle create_beside(const std::string& target, std::string& name, int& error) {
    const std::string dir = parent_of(target);
    const auto seed = static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        name = join_path(dir, ".qrlth-" + std::to_string(getpid()) + "-" + std::to_string((seed + attempt) % 1000000));
        const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = errno;
            return nullptr;
        }
        std::FILE* file = fdopen(fd, "w+b");
        if (!file) {
            error = ENOMEM;
            close(fd);
            unlink(name.c_str());
            return nullptr;
        }
        return FileHandle(file);
    }
    error = EEXIST;
    return nullptr;
}

bool write_all(std::FILE* file, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size;
}

// ---------------------------------------------------------------- writing

struct ArchiveWriter {
    const std::string& root;
    std::FILE* archive;
    // The archive being written and the one it replaces: neither is a member.
    std::vector<std::pair<dev_t, ino_t>> excluded;
    const std::string& pattern;
    EngineFlags flags;
    const ProgressCallback& callback;
    std::vector<std::pair<dev_t, ino_t>> ancestors;
    bool stopped = false;
};

void report_entry(const ProgressCallback& callback, int code, const std::string& relative) {
    const std::string shown = to_disk(relative);
    ProgressRecord record;
    record.code = static_cast<std::int16_t>(code);
    record.first_path = shown.c_str();
    ask(callback, record);
}

void walk_tree(ArchiveWriter& writer, const std::string& start) {
    const std::string dir = start.empty() ? writer.root : join_path(writer.root, to_disk(start));
    DirListing listing = engine_list_dir(dir, writer.pattern);
    if (writer.flags & EF_SORTED) engine_sort_list(listing);
    for (const DirEntry& entry : listing) {
        if (writer.stopped) return;
        std::string relative = start;
        // ":" is an ordinary character of a name here, never a drive's end.
        if (!relative.empty() && relative.back() != '\\') relative += '\\';
        relative += entry.name;
        // "\" separates parts inside an archive: a name holding one would come
        // back as a different path, and one such as "a:b" as a drive prefix.
        if (entry.name.find('\\') != std::string::npos || (relative.size() >= 2 && relative[1] == ':')) {
            report_entry(writer.callback, ERR_ARCHIVE_NAME, relative);
            continue;
        }
        const std::string path = join_path(dir, entry.name);
        struct stat st {};
        if (entry.is_directory()) {
            if (!(writer.flags & EF_INCLUDE_SUBDIRS) || stat(path.c_str(), &st) != 0) continue;
            const auto id = std::make_pair(st.st_dev, st.st_ino);
            if (std::find(writer.ancestors.begin(), writer.ancestors.end(), id) != writer.ancestors.end()) continue;
            writer.ancestors.push_back(id);
            walk_tree(writer, relative);
            writer.ancestors.pop_back();
        } else if (entry.kind == EntryKind::Other) {
            report_entry(writer.callback, ERR_NOT_REGULAR_FILE, relative);
        } else {
            // The archive being written may lie inside the tree.
            if (stat(path.c_str(), &st) == 0 &&
                std::find(writer.excluded.begin(), writer.excluded.end(), std::make_pair(st.st_dev, st.st_ino)) !=
                    writer.excluded.end())
                continue;
            if (archive_add_file(writer.root, relative, writer.archive, !(writer.flags & EF_STORE_RAW),
                                 writer.callback, !(writer.flags & EF_PLAIN_TRAILER)) == ERR_STOPPED)
                writer.stopped = true;
        }
    }
}

// The body of archive_add_file once the callback agreed. On failure after the
// file record was written the archive is cut back to where the record began.
int add_member(const std::string& root, const std::string& relative, std::FILE* archive, bool code_it,
               const ProgressCallback& callback, bool with_record) {
    if (relative.empty() || relative.size() > 255) return ERR_ARCHIVE_NAME;
    struct stat st {};
    int error = 0;
    FileHandle file = open_regular(join_path(root, to_disk(relative)), st, error);
    if (!file) return error < 0 ? error : ERR_OPEN_INPUT - error;
    if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFu) return ERR_ARCHIVE_TOO_LARGE;
    const auto size = static_cast<std::uint32_t>(st.st_size);
    // The digest takes a pass of its own before the data is written: the coder
    // reads its input more than once, and the record precedes the data.
    ContentDigest digest{};
    with_record = with_record && st.st_size <= MAX_FILE_LENGTH;
    if (with_record) {
        StreamWindow whole{file.get()};
        if (const int rc = coder_digest(&whole, callback, -1, digest); rc < 0) return rc;
    }

    const off_t record_start = ftello(archive);
    if (record_start < 0) return ERR_ARCHIVE_SHORT;
    auto fail = [&](int code) {
        std::fflush(archive);
        if (ftruncate(fileno(archive), record_start) != 0) { /* the next record overwrites it */ }
        fseeko(archive, record_start, SEEK_SET);
        return code;
    };

    TrailerRecord info;
    engine_read_file_info(file.get(), info);
    const auto n = static_cast<std::uint8_t>(relative.size());
    std::vector<std::uint8_t> record(kFileRecordFixed + n, 0);
    put16(&record[0], static_cast<std::uint16_t>(record.size()));
    record[2] = AR_FILE;
    record[3] = n;
    put32(&record[4], size);
    for (int slot = 0; slot < 5; ++slot) put32(&record[8 + 4 * slot], static_cast<std::uint32_t>(info.time_slot(slot)));
    put16(&record[28], info.attributes());
    if (with_record) put_member_record(record.data(), static_cast<std::uint16_t>(st.st_mode & 0777), digest);
    std::memcpy(&record[30], relative.data(), n);
    if (!write_all(archive, record.data(), record.size())) return fail(ERR_ARCHIVE_SHORT);

    // Coded members are read back through 32-bit stream windows, and the coder
    // takes files of up to 1 GiB; anything beyond is kept as it is.
    const off_t data_start = record_start + static_cast<off_t>(record.size()) + kDataBlockSize;
    const bool coded = code_it && st.st_size <= MAX_FILE_LENGTH &&
                       data_start + 2 * static_cast<off_t>(size) + 65536 < static_cast<off_t>(INT32_MAX);
    std::uint8_t block[kDataBlockSize] = {};
    put16(block, kDataBlockSize);
    block[2] = coded ? AR_CODED : AR_STORED;
    block[3] = 0x80;
    put32(block + 8, coded ? 0xFFFFFFFFu : size);
    if (!write_all(archive, block, sizeof block)) return fail(ERR_ARCHIVE_SHORT);

    std::int64_t written = 0;
    if (coded) {
        if (std::fflush(archive) != 0) return fail(ERR_ARCHIVE_SHORT);
        StreamWindow base;  // no Base: coded against nothing
        base.length = 0;
        StreamWindow input{file.get(), 0, 0x7FFFFFFF, 0};
        StreamWindow output{archive, static_cast<std::int32_t>(data_start), 0, 0};
        const TrailerRecord no_check;  // check length 0: neither check block nor trailer follows
        const int result = coder_create(&base, &input, &output, 7, callback, no_check);
        if (result < 0) return fail(result);
        written = result;
    } else {
        const std::int64_t result = engine_copy_stream(file.get(), archive, 0, size, callback);
        if (result == ERR_STOPPED) return fail(ERR_STOPPED);
        if (result < 0) return fail(ERR_ARCHIVE_SHORT);
        written = result;
    }

    // The block (and, for a file that shrank meanwhile, the record) must state
    // what really follows.
    if (fseeko(archive, record_start + 4, SEEK_SET) != 0) return fail(ERR_ARCHIVE_SHORT);
    if (!coded && written != size) {
        std::uint8_t actual[4];
        put32(actual, static_cast<std::uint32_t>(written));
        if (!write_all(archive, actual, 4)) return fail(ERR_ARCHIVE_SHORT);
    }
    std::uint8_t length[4];
    put32(length, static_cast<std::uint32_t>(written));
    if (fseeko(archive, data_start - 4, SEEK_SET) != 0 || !write_all(archive, length, 4) ||
        fseeko(archive, data_start + written, SEEK_SET) != 0)
        return fail(ERR_ARCHIVE_SHORT);
    return 0;
}

// ---------------------------------------------------------------- reading

struct OpenArchive {
    FileHandle file;
    std::int64_t size = 0;
    std::int64_t header_length = 0;
    bool tagged = false;  // the header carries our tag: members may carry records
};

int open_archive(const std::string& path, OpenArchive& archive) {
    struct stat st {};
    int error = 0;
    archive.file = open_regular(path, st, error);
    if (!archive.file) {
        if (error == ERR_NOT_REGULAR_FILE) return ERR_NOT_ARCHIVE;
        return error < 0 ? error : ERR_OPEN_ARCHIVE - error;
    }
    archive.size = st.st_size;
    std::uint8_t header[kArchiveHeaderSize];
    if (std::fread(header, 1, sizeof header, archive.file.get()) != sizeof header) return ERR_NOT_ARCHIVE;
    archive.header_length = get16(header);
    if (archive.header_length < kArchiveHeaderSize) return ERR_NOT_ARCHIVE;
    const auto magic = magic_field();
    if (std::memcmp(header + 3, magic.data(), magic.size()) != 0) return ERR_NOT_ARCHIVE;
    archive.tagged = std::memcmp(header + kArchiveTagOffset, kArchiveTag, sizeof kArchiveTag) == 0;
    return 0;
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

// False at the end of the walk: a short read, or a length below 3 (which
// would never advance).
bool read_record(std::FILE* file, std::int64_t position, Record& record) {
    record.position = position;
    if (!read_at(file, position, record.bytes, 2)) return false;
    record.length = get16(record.bytes);
    if (record.length < 3) return false;
    record.held = std::min<std::size_t>(record.length, kMaxRecordRead);
    return std::fread(record.bytes + 2, 1, record.held - 2, file) == record.held - 2;
}

// Where the walk goes on after a data block that is passed over.
std::int64_t past_data_block(const Record& record) {
    std::int64_t next = record.position + record.length;
    if (record.held >= kDataBlockSize) next += get32(record.bytes + 8);
    return next;
}

// The fields of a file record, and its stored path as far as the record holds it.
bool parse_member(const Record& record, ArchiveMember& member, bool tagged) {
    const std::size_t n = record.bytes[3];
    if (30 + n > record.held) return false;
    const char* name = reinterpret_cast<const char*>(record.bytes + 30);
    member.stored_path.assign(name, strnlen(name, n));
    member.size = get32(record.bytes + 4);
    member.access_time = static_cast<std::int32_t>(get32(record.bytes + 12));
    member.modification_time = static_cast<std::int32_t>(get32(record.bytes + 16));
    member.permissions = get16(record.bytes + 28);
    if (tagged) read_member_record(record.bytes, member);
    return true;
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
// lead the write anywhere). Returns 0 or an error code.
int prepare_directories(const std::string& base, const std::vector<std::string>& parts) {
    std::string path = base;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        path = join_path(path, parts[i]);
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) return ERR_UNSAFE_PATH;
            if (!S_ISDIR(st.st_mode)) return ERR_CREATE_OUTPUT - ENOTDIR;
        } else if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
            return ERR_CREATE_OUTPUT - errno;
        }
    }
    struct stat st {};
    const std::string target = join_path(path, parts.back());
    if (lstat(target.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return ERR_UNSAFE_PATH;
        if (!S_ISREG(st.st_mode)) return ERR_CREATE_OUTPUT - (S_ISDIR(st.st_mode) ? EISDIR : EEXIST);
    }
    return 0;
}

struct Extraction {
    std::FILE* archive;
    std::int64_t archive_size;
    const std::string& output_dir;
    const std::string& pattern;
    EngineFlags flags;
    const ProgressCallback& callback;
    bool tagged;
    bool stopped = false;
};

// Writes the data block at `position` into `out`. Sets `next` to where the walk
// goes on. Returns the number of bytes written or an error code.
std::int64_t extract_data(Extraction& job, std::int64_t position, std::FILE* out, std::int64_t& next,
                          const ArchiveMember& member) {
    const bool verified = member.record == RecordState::present;
    std::uint8_t block[kDataBlockSize];
    if (!read_at(job.archive, position, block, sizeof block)) {
        next = position;
        return ERR_ARCHIVE_SHORT;
    }
    const std::uint8_t type = block[2];
    if (type != AR_STORED && type != AR_CODED) {
        next = position;  // the walk goes on with that other record
        return ERR_NO_DATA_BLOCK;
    }
    const std::uint16_t block_length = get16(block);
    if (block_length < kDataBlockSize) {
        next = position + kDataBlockSize;
        return ERR_ARCHIVE_SHORT;
    }
    const std::int64_t data_start = position + block_length;
    const std::int64_t data_length = get32(block + 8);
    next = data_start + data_length;
    if (next > job.archive_size) return ERR_ARCHIVE_SHORT;

    if (type == AR_STORED) {
        if (fseeko(job.archive, static_cast<off_t>(data_start), SEEK_SET) != 0) return ERR_ARCHIVE_SHORT;
        DigestBuilder digest;
        const std::int64_t copied =
            engine_copy_stream(job.archive, out, 0, data_length, job.callback, verified ? &digest : nullptr);
        if (copied == ERR_STOPPED) return ERR_STOPPED;
        if (copied != data_length) return ERR_ARCHIVE_SHORT;
        ContentDigest got{};
        if (verified && (!digest.finish(copied, got) ||
                         std::memcmp(got.data(), member.digest.data(), kMemberDigestSize) != 0))
            return ERR_CONTENT_MISMATCH;
        return copied;
    }
    if (data_start > INT32_MAX || data_length > INT32_MAX - data_start) return ERR_ARCHIVE_TOO_LARGE;
    StreamWindow base;
    base.length = 0;
    StreamWindow delta{job.archive, static_cast<std::int32_t>(data_start), static_cast<std::int32_t>(data_length), 0};
    StreamWindow output{out, 0, 0, 0};
    ExpectedContent expected;
    std::copy(member.digest.begin(), member.digest.end(), expected.digest.begin());
    expected.compared = kMemberDigestSize;
    return coder_restore(&base, &delta, &output, job.callback, nullptr, verified ? &expected : nullptr);
}

// Extracts the member whose file record is `record`. Returns where the walk
// goes on.
std::int64_t extract_member(Extraction& job, const Record& record) {
    const std::int64_t after_record = record.position + record.length;
    ProgressRecord progress;
    ArchiveMember member;
    if (!parse_member(record, member, job.tagged)) {
        progress.code = ERR_ARCHIVE_SHORT;
        progress.output_path = job.output_dir.c_str();
        if (ask(job.callback, progress) == ANSWER_STOP) job.stopped = true;
        return after_record;
    }
    if (!job.pattern.empty() && wildcard_match(job.pattern, member_name(member.stored_path), WM_CASEFOLD) != 0)
        return after_record;  // its data block is passed over as the walk meets it

    std::vector<std::string> parts;
    std::string output_path = job.output_dir;
    const bool safe = safe_parts(member.stored_path, parts);
    if (safe) {
        for (const std::string& part : parts) output_path = join_path(output_path, part);
    } else {
        output_path = join_path(job.output_dir, to_disk(member.stored_path));
    }
    progress.output_path = output_path.c_str();

    auto finish = [&](int code) {
        progress.code = static_cast<std::int16_t>(code == 0 ? PM_EXTRACT_FILE_DONE : code);
        if (ask(job.callback, progress) == ANSWER_STOP || code == ERR_STOPPED) job.stopped = true;
    };

    // A record that fails its own check vouches for nothing: the member is
    // refused as one whose bytes do not match.
    int code = safe ? prepare_directories(job.output_dir, parts) : ERR_UNSAFE_PATH;
    if (code == 0 && member.record == RecordState::damaged) code = ERR_CONTENT_MISMATCH;
    if (code != 0) {
        finish(code);
        return after_record;
    }
    std::string temp_name;
    int error = 0;
    FileHandle out = create_beside(output_path, temp_name, error);
    if (!out) {
        finish(ERR_CREATE_OUTPUT - error);
        return after_record;
    }
    // Whatever happens below, a half-written file never takes the real name.
    TempGuard guard{temp_name};

    progress.code = PM_EXTRACT_FILE_START;
    if (ask(job.callback, progress) == ANSWER_STOP) {
        job.stopped = true;
        return after_record;
    }

    std::int64_t next = after_record;
    const std::int64_t result = extract_data(job, after_record, out.get(), next, member);
    if (result < 0) {
        finish(static_cast<int>(result));
        return next;
    }
    errno = 0;
    const bool flushed = std::fflush(out.get()) == 0 && !std::ferror(out.get());
    if (std::fclose(out.release()) != 0 || !flushed) {
        finish(ERR_ARCHIVE_SHORT);
        return next;
    }
    if (rename(temp_name.c_str(), output_path.c_str()) != 0) {
        finish(ERR_CREATE_OUTPUT - errno);
        return next;
    }
    guard.keep = true;

    TrailerRecord info;
    for (int slot = 0; slot < 5; ++slot) info.set_time_slot(slot, static_cast<std::int32_t>(get32(record.bytes + 8 + 4 * slot)));
    info.set_attributes(member.permissions);
    if (member.record == RecordState::present) write_updated_record(info, UpdatedRecord{member.mode, {}});
    if (job.flags & EF_KEEP_ATTRIBUTES) engine_apply_permissions(output_path, info);
    if (job.flags & EF_KEEP_DATE) engine_apply_times(output_path, info);
    finish(0);
    return next;
}

}  // namespace

bool make_parent_dirs(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    return make_dirs(path.substr(0, slash));
}

int archive_add_file(const std::string& root, const std::string& relative, std::FILE* archive, bool code_it,
                     const ProgressCallback& callback, bool with_record) {
    const std::string shown = to_disk(relative);
    ProgressRecord record;
    record.code = PM_ARCHIVE_FILE_START;
    record.first_path = shown.c_str();
    int result = ERR_STOPPED;
    if (ask(callback, record) != ANSWER_STOP) result = add_member(root, relative, archive, code_it, callback, with_record);
    record.code = static_cast<std::int16_t>(result == 0 ? PM_ARCHIVE_FILE_DONE : result);
    // A stop touches only this file; the walk asks again for the next one.
    ask(callback, record);
    return result;
}

int archive_create(const std::string& root, const std::string& start, const std::string& archive,
                   const std::string& pattern, EngineFlags flags, const ProgressCallback& callback) {
    std::string temp_name;
    int error = 0;
    FileHandle file = create_beside(archive, temp_name, error);
    if (!file) return ERR_CREATE_OUTPUT - error;
    TempGuard guard{temp_name};

    const auto stamp = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                                  static_cast<std::uint64_t>(getpid()) << 20);
    const auto magic = magic_field();
    std::uint8_t header[kArchiveHeaderSize] = {};
    put16(header, kArchiveHeaderSize);
    header[2] = AR_HEADER;
    std::memcpy(header + 3, magic.data(), magic.size());
    put32(header + 90, stamp);
    if (!(flags & EF_PLAIN_TRAILER)) std::memcpy(header + kArchiveTagOffset, kArchiveTag, sizeof kArchiveTag);
    if (!write_all(file.get(), header, sizeof header)) return ERR_ARCHIVE_WRITE;

    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) return ERR_ARCHIVE_WRITE;
    ArchiveWriter writer{root, file.get(), {{st.st_dev, st.st_ino}}, pattern, flags, callback, {}, false};
    if (stat(archive.c_str(), &st) == 0) writer.excluded.emplace_back(st.st_dev, st.st_ino);
    std::string top = start.empty() ? root : join_path(root, to_disk(start));
    if (stat(top.c_str(), &st) == 0) writer.ancestors.emplace_back(st.st_dev, st.st_ino);
    walk_tree(writer, start);
    // An archive missing the files after a stop must not pass for the tree, nor
    // replace an archive that was whole.
    if (writer.stopped) return ERR_STOPPED;

    std::uint8_t end[kArchiveEndSize] = {};
    put16(end, kArchiveEndSize);
    end[2] = AR_END;
    std::memcpy(end + 3, magic.data(), magic.size());
    put32(end + 66, stamp);
    if (!write_all(file.get(), end, sizeof end) || std::fflush(file.get()) != 0) return ERR_ARCHIVE_WRITE;
    // Nothing may trail the end record, whatever a member cut short left behind.
    const off_t length = ftello(file.get());
    if (length < 0 || ftruncate(fileno(file.get()), length) != 0) return ERR_ARCHIVE_WRITE;
    if (std::fclose(file.release()) != 0) return ERR_ARCHIVE_WRITE;
    if (rename(temp_name.c_str(), archive.c_str()) != 0) return ERR_CREATE_OUTPUT - errno;
    guard.keep = true;
    return 0;
}

int archive_extract(const std::string& archive, const std::string& output_dir, const std::string& pattern,
                    EngineFlags flags, const ProgressCallback& callback) {
    // Clearing must never delete the very archive about to be read.
    if ((flags & EF_CLEAR_OUTPUT) && path_within(archive, output_dir)) return ERR_BAD_REQUEST;
    OpenArchive source;
    if (const int code = open_archive(archive, source); code != 0) return code;

    if (flags & EF_CLEAR_OUTPUT) engine_clear_dir(output_dir);
    make_dirs(output_dir);

    Extraction job{source.file.get(), source.size, output_dir, pattern, flags, callback, source.tagged, false};
    std::int64_t position = source.header_length;
    Record record;
    while (!job.stopped && read_record(job.archive, position, record)) {
        switch (record.type()) {
            case AR_FILE:
                position = extract_member(job, record);
                break;
            case AR_STORED:
            case AR_CODED:
                position = past_data_block(record);
                break;
            default:
                position = record.position + record.length;
        }
    }
    return kArchiveHeaderSize;
}

int archive_list(const std::string& archive, const std::function<void(const ArchiveMember&)>& visit) {
    OpenArchive source;
    if (const int code = open_archive(archive, source); code != 0) return code;
    int count = 0;
    std::int64_t position = source.header_length;
    Record record;
    while (read_record(source.file.get(), position, record)) {
        position = record.position + record.length;
        if (record.type() == AR_STORED || record.type() == AR_CODED) {
            position = past_data_block(record);
            continue;
        }
        ArchiveMember member;
        if (record.type() != AR_FILE || !parse_member(record, member, source.tagged)) continue;
        Record block;
        if (read_record(source.file.get(), position, block) &&
            (block.type() == AR_STORED || block.type() == AR_CODED) && block.held >= kDataBlockSize) {
            member.block_type = block.type();
            member.data_length = get32(block.bytes + 8);
            position = past_data_block(block);
        }
        ++count;
        if (visit) visit(member);
    }
    return count;
}

}  // namespace quoralith
