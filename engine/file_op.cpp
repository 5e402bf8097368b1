// The single-file operation: create a delta (one candidate per algorithm asked
// for, keeping the smallest or all), restore a file (in place over its Base when
// the output is the Base), or copy a Base file in the merge pass; with the
// failure actions that the callback and the flags choose.
//
// Nothing is ever written at a final name. Every output goes to a temporary file
// beside it and is renamed over the final name only once it is complete, so a
// failed or stopped file leaves whatever was there before untouched, and an
// in-place restore never leaves the directory without the Base or the result.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

#include "coder/coder.h"
#include "coder/deep.h"
#include "engine/engine.h"

namespace quoralith {

namespace {

// The temporary of an in-place restore and of every create candidate.
constexpr const char* kTempName = "QRLTH~~~";
constexpr std::int64_t kNoLimit = 0x7FFFFFFF;

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Everything up to and including the last "/", or nothing.
std::string directory_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::int32_t size_for_record(const char* path) {
    struct stat status {};
    if (!path || stat(path, &status) != 0) return 0;
    return status.st_size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(status.st_size);
}

// The file information part of a trailer record: the time slots and the
// attribute word.
void copy_file_info(const TrailerRecord& from, TrailerRecord& to) {
    for (int i = 0; i < 5; ++i) to.set_time_slot(i, from.time_slot(i));
    to.set_attributes(from.attributes());
}

int clamp_result(std::int64_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int>(value); }

// Why a final name cannot take a new file, as a truncating open would have
// found: it is a directory, or an existing file we may not write. 0 when fine.
int target_refusal(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return 0;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    if (access(path.c_str(), W_OK) != 0) return errno;
    return 0;
}

// A final name that is a symbolic link: the file it points at is what gets
// replaced, not the link.
std::string resolve_link(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

// A device or pipe cannot be replaced by renaming; its content is written into it.
bool is_special(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
}

// Where the content for a device or pipe waits until it is complete.
std::string temp_directory() {
    std::error_code error;
    const std::string dir = std::filesystem::temp_directory_path(error).string();
    return error || dir.empty() ? std::string("/tmp/") : dir + "/";
}

// A file that replaces `target` keeps the permission bits `target` had.
void take_mode_of(const std::string& target, std::FILE* file) {
    struct stat status {};
    if (file && stat(target.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        fchmod(fileno(file), status.st_mode & 07777);
}

// An output under construction at a temporary name: removed from disk unless it
// was committed (renamed to its final name).
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { discard(); }

    // Creates or truncates the file at `path`. Returns 0 or errno.
    int create_at(const std::string& path) {
        discard();
        errno = 0;
        file_.reset(std::fopen(path.c_str(), "w+b"));
        if (!file_) return errno ? errno : EIO;
        path_ = path;
        return 0;
    }

    // Creates a file of a fresh name "<prefix>.xxxxxx". Returns 0 or errno.
    int create_unique(const std::string& prefix) {
        discard();
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[8];
            std::snprintf(suffix, sizeof suffix, ".%06x", unique_number(attempt) & 0xFFFFFFu);
            const std::string path = prefix + suffix;
            const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                return errno;
            }
            file_.reset(fdopen(fd, "w+b"));
            if (!file_) {
                const int error = errno;
                ::close(fd);
                unlink(path.c_str());
                return error;
            }
            path_ = path;
            return 0;
        }
        return EEXIST;
    }

    // A number for a fresh name. The kernel's random source answers in one
    // call (a random_device first asks the processor what it offers, which
    // in a virtual machine costs more than restoring a small file); where it
    // does not, the process, the clock and the attempt are mixed instead. A
    // taken name is only ever tried again, never overwritten (O_EXCL).
    static unsigned unique_number(int attempt) {
        unsigned value;
        if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t x = static_cast<std::uint64_t>(getpid()) << 32 ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                          static_cast<std::uint64_t>(now.tv_sec) << 20 ^ static_cast<std::uint64_t>(attempt) * 0x9E37u;
        x *= 0x9E3779B97F4A7C15ull;
        return static_cast<unsigned>(x >> 32);
    }

    std::FILE* file() const { return file_.get(); }
    const std::string& path() const { return path_; }
    bool active() const { return !path_.empty(); }

    // Flushes and closes the file (it stays on disk). Returns 0 or the errno of
    // a failed write: buffered data reaches the disk only here.
    int close() {
        if (!file_) return 0;
        errno = 0;
        const bool failed = std::fflush(file_.get()) != 0 || std::ferror(file_.get());
        int error = errno;
        if (std::fclose(file_.release()) != 0 && !error) error = errno;
        if (failed || error) return error ? error : EIO;
        return 0;
    }

    // Closes and renames over `target` (a device or pipe gets the content
    // written into it instead). Returns 0 or errno; on success nothing is
    // pending any more.
    int commit(const std::string& target) {
        if (const int error = close()) return error;
        if (is_special(target)) {
            if (const int error = write_into(target)) return error;
            discard();
            return 0;
        }
        if (std::rename(path_.c_str(), target.c_str()) != 0) return errno;
        path_.clear();
        return 0;
    }

    void discard() {
        file_.reset();
        if (!path_.empty()) unlink(path_.c_str());
        path_.clear();
    }

private:
    int write_into(const std::string& target) const {
        errno = 0;
        FileHandle from(std::fopen(path_.c_str(), "rb"));
        if (!from) return errno ? errno : EIO;
        FileHandle to(std::fopen(target.c_str(), "wb"));
        if (!to) return errno ? errno : EIO;
        char buffer[1 << 15];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, from.get())) > 0) {
            if (std::fwrite(buffer, 1, got, to.get()) != got) return errno ? errno : EIO;
        }
        if (std::ferror(from.get())) return EIO;
        if (std::fflush(to.get()) != 0) return errno ? errno : EIO;
        return 0;
    }

    FileHandle file_;
    std::string path_;
};

class FileOp {
public:
    FileOp(int type, const char* first, const std::string& second, std::string& output, EngineFlags flags,
           AlgorithmMask mask, const ProgressCallback& callback)
        : type_(type),
          first_(first),
          first_path_(first ? first : ""),
          second_(second),
          output_(output),
          original_output_(output),
          target_(resolve_link(output)),
          directory_(is_special(target_) ? temp_directory() : directory_part(target_)),
          flags_(flags),
          mask_(mask ? mask : 1),
          callback_(callback ? callback : ProgressCallback(default_progress_callback)) {}

    int run() {
        const int result = run_steps();
        if (in_place_) output_ = committed_ ? first_path_ : original_output_;
        return result;
    }

private:
    int run_steps() {
        record_.first_size = size_for_record(first_);
        record_.second_size = size_for_record(second_.c_str());
        if (notify(PM_FILE_START) == ANSWER_STOP) return ERR_STOPPED;

        // A Base that does not open is not an error: the file is coded as new.
        int base_errno = 0;
        if (first_) {
            errno = 0;
            base_.reset(std::fopen(first_, "rb"));
            if (!base_) base_errno = errno ? errno : ENOENT;
            // Taken before anything reads the file: reading moves its access time.
            engine_read_file_info(base_.get(), base_info_);
        }
        int input_errno = 0;
        if (type_ != OP_MERGE) {
            errno = 0;
            input_.reset(std::fopen(second_.c_str(), "rb"));
            if (!input_) input_errno = errno ? errno : ENOENT;
            engine_read_file_info(input_.get(), input_info_);
        } else if (!base_) {
            // The merge pass copies the Base file; without it there is nothing
            // to copy, and an empty file must not pass for a copy.
            input_errno = first_ ? base_errno : ENOENT;
        }

        if (first_ && !is_create(type_) && (flags_ & EF_IN_PLACE)) {
            base_target_ = resolve_link(first_path_);
            directory_ = directory_part(base_target_);
            output_ = directory_ + kTempName;
            in_place_ = true;
        }

        int code = 0;
        if (const int create_errno = open_output()) {
            code = ERR_CREATE_OUTPUT - create_errno;
        } else if (input_errno) {
            code = ERR_OPEN_INPUT - input_errno;
        }
        if (code) {
            out_.discard();
            return notify(static_cast<std::int16_t>(code)) == ANSWER_STOP ? ERR_STOPPED : code;
        }

        if (is_create(type_)) return run_create();
        if (type_ == OP_MERGE) return run_merge();
        return run_restore();
    }

    // Where a finished output goes.
    const std::string& final_target() const { return in_place_ ? base_target_ : target_; }

    // Opens the temporary that the next output is written to. Returns 0 or errno.
    int open_output() {
        int error = 0;
        if (in_place_) {
            error = open_fixed_temp();
            if (!error) output_ = out_.path();
        } else {
            if (const int refusal = target_refusal(target_)) return refusal;
            error = is_create(type_) ? open_fixed_temp() : out_.create_unique(directory_ + kTempName);
        }
        if (!error) take_mode_of(final_target(), out_.file());
        return error;
    }

    // The temporary of fixed name, unless an input goes by that name: creating
    // it would empty the input.
    int open_fixed_temp() {
        const std::string path = directory_ + kTempName;
        return is_input(path) ? out_.create_unique(path) : out_.create_at(path);
    }

    // Whether `path` names one of the open input files.
    bool is_input(const std::string& path) const {
        struct stat named {};
        if (stat(path.c_str(), &named) != 0) return false;
        for (std::FILE* input : {base_.get(), input_.get()}) {
            struct stat open_file {};
            if (input && fstat(fileno(input), &open_file) == 0 && open_file.st_dev == named.st_dev &&
                open_file.st_ino == named.st_ino)
                return true;
        }
        return false;
    }

    std::int16_t notify(std::int16_t code, std::int32_t result = 0) {
        record_.code = code;
        record_.result = result;
        record_.first_path = first_;
        record_.second_path = second_.c_str();
        record_.output_path = output_.c_str();
        return callback_(record_);
    }

    // A final rename that failed is reported like an output that could not be
    // created.
    int report_output_error(int error) {
        const int code = ERR_CREATE_OUTPUT - error;
        return notify(static_cast<std::int16_t>(code)) == ANSWER_STOP ? ERR_STOPPED : code;
    }

    int commit_final(PendingFile& file) {
        if (const int error = file.commit(final_target())) return error;
        committed_ = true;
        if (in_place_) output_ = first_path_;
        return 0;
    }

    void apply_kept_info(const std::string& path) {
        if (flags_ & EF_KEEP_DATE) engine_apply_times(path, trailer_);
        if (flags_ & EF_KEEP_ATTRIBUTES) engine_apply_permissions(path, trailer_);
    }

    int run_create() {
        const bool keep_all = flags_ & EF_KEEP_ALL;
        unsigned remaining = mask_;
        // The run-length forms and the Base check are made once for all passes.
        CreateShared shared;
        int algorithm = 0;
        std::int64_t smallest = kNoLimit;
        // The deep search's candidate comes after the numbered ones; it keeps
        // the smallest, so it has no name of its own among kept-all deltas.
        bool deep = (flags_ & EF_DEEP) && !keep_all;
        for (;;) {
            const bool deep_pass = remaining == 0;
            if (deep_pass) {
                deep = false;
            } else {
                while (!(remaining & 1u)) {
                    remaining >>= 1;
                    ++algorithm;
                }
                remaining &= ~1u;
            }

            trailer_ = TrailerRecord{};
            trailer_.set_check_length(static_cast<std::int16_t>((flags_ & EF_SHORT_STAMP) ? kCheckShort : kCheckLong));
            copy_file_info(input_info_, trailer_);
            StreamWindow base{base_.get()};
            StreamWindow updated{input_.get()};
            StreamWindow delta{out_.file(), 0, 0, 0};
            int result = deep_pass ? coder_create_deep(&base, &updated, &delta, callback_, trailer_, &shared)
                                   : coder_create(&base, &updated, &delta, algorithm, callback_, trailer_, &shared);
            if (result >= 0 && out_.close() != 0) result = ERR_WRITE_FAILED;
            if (result < 0) return fail(result);

            if (notify(remaining || deep ? PM_CANDIDATE_DONE : PM_FILE_DONE, result) == ANSWER_STOP) return ERR_STOPPED;

            if (keep_all) {
                // A digit name may be taken by an input (a Base called data3, say);
                // that file is never replaced.
                const std::string name = keep_all_name(original_output_, algorithm);
                if (is_input(name)) return report_output_error(EEXIST);
                if (const int error = out_.commit(name)) return report_output_error(error);
            } else if (result < smallest) {
                // The best candidate so far waits under a name of its own until
                // every pass has run.
                smallest = result;
                if (!best_.active()) {
                    if (const int error = best_.create_unique(directory_ + kTempName))
                        return report_output_error(error);
                    best_.close();
                }
                if (const int error = out_.commit(best_.path())) return report_output_error(error);
            } else {
                out_.discard();
            }
            if (!remaining && !deep) break;
            if (open_fixed_temp() != 0) break;
            take_mode_of(target_, out_.file());
        }
        if (!keep_all && best_.active()) {
            if (const int error = commit_final(best_)) return report_output_error(error);
        }
        return 0;
    }

    int run_restore() {
        trailer_ = TrailerRecord{};
        StreamWindow base{base_.get()};
        StreamWindow delta{input_.get()};
        StreamWindow output{out_.file(), 0, 0, 0};
        int result = coder_restore(&base, &delta, &output, callback_, &trailer_);
        if (result >= 0 && out_.close() != 0) result = ERR_WRITE_FAILED;
        if (result < 0) return fail(result);

        record_.restore_tag = trailer_.tag();
        apply_kept_info(out_.path());
        base_.reset();
        if (const int error = commit_final(out_)) return report_output_error(error);
        if (notify(PM_FILE_DONE, result) == ANSWER_STOP) return ERR_STOPPED;
        return 0;
    }

    int run_merge() {
        const std::int64_t copied = engine_copy_stream(base_.get(), out_.file(), 3, kNoLimit, callback_);
        int result = clamp_result(copied);
        if (result >= 0) {
            if (const int error = out_.close()) result = -error;
        }
        if (result < 0) return fail(result);
        if (const int error = commit_final(out_)) return report_output_error(error);
        if (notify(PM_FILE_DONE, result) == ANSWER_STOP) return ERR_STOPPED;
        return 0;
    }

    // Reports a failed step and carries out the failure action the answer chooses.
    int fail(int code) {
        if (code == ERR_STOPPED) {
            notify(ERR_STOPPED);
            return ERR_STOPPED;
        }
        const std::int16_t answer = notify(static_cast<std::int16_t>(code));
        std::int16_t action = ANSWER_SKIP;
        if (answer == ANSWER_STOP || answer == ANSWER_COPY) {
            action = answer;
        } else if (answer == ANSWER_BY_FLAGS) {
            // Tested in this order, so that the later bit wins.
            if (flags_ & EF_FAIL_STOP) action = ANSWER_STOP;
            if (flags_ & EF_FAIL_SKIP) action = ANSWER_SKIP;
            if (flags_ & EF_FAIL_COPY) action = ANSWER_COPY;
        }
        if (action == ANSWER_STOP) return ERR_STOPPED;
        if (action == ANSWER_SKIP) return code;
        return copy_base(code);
    }

    // Failure action copy: the Base file takes the output's place.
    int copy_base(int failed_code) {
        best_.discard();
        // Without a Base there is nothing to copy; the file stays failed.
        if (!base_) return failed_code;
        // Start from a fresh temporary: the failed step may have left more
        // bytes in the old one than the copy will write.
        out_.discard();
        if (in_place_) output_ = directory_ + kTempName;
        if (const int error = open_output()) return ERR_CREATE_OUTPUT - error;

        const std::int64_t copied = engine_copy_stream(base_.get(), out_.file(), 3, kNoLimit, callback_);
        int result = clamp_result(copied);
        if (result >= 0) {
            if (const int error = out_.close()) result = -error;
        }
        if (result < 0) return result;
        if (copied > 0) {
            copy_file_info(base_info_, trailer_);
            apply_kept_info(out_.path());
        }
        base_.reset();
        if (const int error = commit_final(out_)) return ERR_CREATE_OUTPUT - error;
        return result;
    }

    int type_;
    const char* first_;
    std::string first_path_;
    const std::string& second_;
    std::string& output_;
    const std::string original_output_;
    const std::string target_;  // the output with a symbolic link followed
    std::string base_target_;   // in place: the Base with a symbolic link followed
    std::string directory_;     // where temporaries go: beside the file they become
    EngineFlags flags_;
    AlgorithmMask mask_;
    ProgressCallback callback_;

    bool in_place_ = false;
    bool committed_ = false;
    ProgressRecord record_;
    TrailerRecord trailer_;
    TrailerRecord base_info_;   // times and bits of the Base and the second input,
    TrailerRecord input_info_;  // as they were when the operation opened them
    FileHandle base_;
    FileHandle input_;
    PendingFile out_;
    PendingFile best_;  // keep smallest: the smallest candidate so far
};

}  // namespace

std::string keep_all_name(const std::string& path, int algorithm) {
    const std::size_t name_start = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
    const std::size_t dot = path.rfind('.');
    const std::size_t stem_end = (dot == std::string::npos || dot < name_start) ? path.size() : dot;
    const char digit = static_cast<char>('0' + algorithm);
    std::string name = path;
    // A stem of eight or more characters gives up its last one, so that a
    // name that fitted an eight-character stem still fits it.
    if (stem_end - name_start >= 8) {
        name[stem_end - 1] = digit;
    } else {
        name.insert(stem_end, 1, digit);
    }
    return name;
}

int engine_file_op(int type, const char* first, const std::string& second, std::string& output,
                   const NameMatchEntry* /*name_pair*/, EngineFlags flags, AlgorithmMask mask,
                   const ProgressCallback& callback) {
    FileOp operation(type, first, second, output, flags, mask, callback);
    return operation.run();
}

}  // namespace quoralith
