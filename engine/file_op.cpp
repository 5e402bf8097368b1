// The single-file operation: create a delta (one candidate per algorithm asked
// for, keeping the smallest or all), restore a file (in place over its Base when
// the output is the Base), or copy a Base file in the merge pass; with the
// failure actions that the callback and the flags choose.
//
// Nothing is ever written at a final name. Every output goes to a new temporary
// file of its own beside it (see safe_output.h) and is renamed over the final
// name only once it is complete and on the disk, so a failed or stopped file
// leaves whatever was there before untouched, an in-place restore never leaves
// the directory without the Base or the result, and runs that share a folder
// never share a temporary.
//
// Inputs are opened only when they are regular files: a pipe or a device would
// block the run or give something that is not a file's content.
//
// An output is never written through a symbolic link: a link at the output's
// name (or at the Base's, restoring in place) is replaced by the new file, as
// the rename does, and the file it led to is left as it was. A link that leads
// to a pipe or device is refused instead, since replacing it would replace the
// system's name for the device.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <utility>

#include "coder/coder.h"
#include "coder/compact/compact.h"
#include "coder/deep.h"
#include "engine/dir_list.h"
#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/safe_output.h"

namespace quoralith {

namespace {

constexpr std::int64_t kNoLimit = 0x7FFFFFFF;

std::int32_t size_for_record(FileSystem& files, const char* path) {
    struct stat status {};
    if (!path || files.stat(path, &status) != 0) return 0;
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
// found: it is a directory, or an existing file we may not write. 0 when fine;
// a link there is replaced, whatever it leads to.
int target_refusal(FileSystem& files, const std::string& path) {
    struct stat status {};
    if (files.lstat(path.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) return 0;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    if (files.access(path.c_str(), W_OK) != 0) return errno;
    return 0;
}

// A device or pipe named as the output cannot be replaced by renaming; its
// content is written into it. (One reached through a link is refused.)
bool is_special(FileSystem& files, const std::string& path) {
    struct stat status {};
    return files.lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) &&
           !S_ISLNK(status.st_mode);
}

// A file that replaces `target` keeps the permission bits `target` had (a
// link's target lends it none: the link is what is replaced).
void take_mode_of(FileSystem& files, const std::string& target, std::FILE* file) {
    struct stat status {};
    if (file && files.lstat(target.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        files.fchmod(files.fileno(file), status.st_mode & 07777);
}

// A restore into a pipe or device: the content is written into it once it is
// complete. The open does not wait for a reader: a pipe nobody reads is refused
// at once (ENXIO) instead of holding the run for ever.
class SpecialTarget {
public:
    explicit SpecialTarget(FileSystem& files) : files_(files) {}
    SpecialTarget(const SpecialTarget&) = delete;
    SpecialTarget& operator=(const SpecialTarget&) = delete;
    ~SpecialTarget() {
        if (fd_ >= 0) files_.close(fd_);
    }

    // Returns 0 or errno.
    int open(const std::string& path) {
        fd_ = files_.open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return errno;
        if (files_.set_status_flags(fd_, files_.get_status_flags(fd_) & ~O_NONBLOCK) != 0) return errno;
        return 0;
    }
    bool active() const { return fd_ >= 0; }

    // Writes everything in `from` (read from its start). `stop` is asked (with
    // the bytes written so far) before each chunk and whenever a signal cut a
    // write short: a reader that stopped reading must not hold the run past a
    // Stop. Returns 0, errno, or ECANCELED when `stop` said so.
    template <class Stop>
    int write_from(std::FILE* from, Stop stop) {
        if (std::fflush(from) != 0 || std::fseek(from, 0, SEEK_SET) != 0) return errno ? errno : EIO;
        char buffer[1 << 15];
        std::size_t got;
        std::int64_t written = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, from)) > 0) {
            for (std::size_t done = 0; done < got;) {
                if (stop(written)) return ECANCELED;
                const ssize_t put = files_.write(fd_, buffer + done, got - done);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) return put < 0 ? errno : EIO;
                done += static_cast<std::size_t>(put);
                written += put;
            }
        }
        return std::ferror(from) ? EIO : 0;
    }

private:
    FileSystem& files_;
    int fd_ = -1;
};

class FileOp {
public:
    FileOp(int type, const char* first, const std::string& second, std::string& output, EngineFlags flags,
           AlgorithmMask mask, const ProgressCallback& callback, FolderSync folder_sync, FileSystem& files,
           const UpdatedInfo* stated = nullptr)
        : files_(files),
          folder_sync_(folder_sync),
          stated_(stated),
          type_(type),
          first_(first),
          first_path_(first ? first : ""),
          second_(second),
          output_(output),
          original_output_(output),
          target_(output),
          special_(is_special(files, target_)),
          link_to_special_(is_link_to_special(target_, files)),
          directory_(special_ ? system_temp_folder() : folder_of(target_)),
          flags_(flags),
          mask_(mask ? mask : 1),
          compact_alone_((flags & EF_COMPACT) && mask == 0),
          callback_(callback ? callback : ProgressCallback(default_progress_callback)),
          special_target_(files),
          out_(files),
          best_(files) {}

    int run() {
        const int result = run_steps();
        if (in_place_) output_ = committed_ ? first_path_ : original_output_;
        return result;
    }

private:
    int run_steps() {
        record_.first_size = size_for_record(files_, first_);
        record_.second_size = size_for_record(files_, second_.c_str());
        if (notify(PM_FILE_START) == ANSWER_STOP) return ERR_STOPPED;

        // A Base that does not exist is not an error: the file is coded as new
        // (create) or the coder finds the Base missing (restore). A Base that
        // exists but cannot be read is this file's error; coding without it
        // would pass for success and hide the fault.
        int base_errno = 0;
        int base_code = 0;
        if (first_) {
            base_errno = open_regular_input(files_, first_, base_);
            if (base_errno == ERR_NOT_REGULAR_FILE)
                base_code = ERR_NOT_REGULAR_FILE;
            else if (base_errno && base_errno != ENOENT && base_errno != ENOTDIR)
                base_code = errno_code(ERR_OPEN_BASE, base_errno);
            base_missing_ = base_errno == ENOENT || base_errno == ENOTDIR;
            // Taken before anything reads the file: reading moves its access time.
            engine_read_file_info(base_.get(), base_info_, files_);
            struct stat status {};
            if (base_ && files_.fstat(files_.fileno(base_.get()), &status) == 0)
                write_updated_record(base_info_, UpdatedRecord{static_cast<std::uint16_t>(status.st_mode & 0777), {}});
        }
        int input_code = 0;
        if (type_ != OP_MERGE) {
            const int input_errno = open_regular_input(files_, second_.c_str(), input_);
            if (input_errno == ERR_NOT_REGULAR_FILE)
                input_code = ERR_NOT_REGULAR_FILE;
            else if (input_errno)
                input_code = errno_code(ERR_OPEN_INPUT, input_errno);
            engine_read_file_info(input_.get(), input_info_, files_);
            if (stated_ && input_) {
                input_info_.set_time_slot(1, stated_->access_time);
                input_info_.set_time_slot(2, stated_->modification_time);
                input_info_.set_attributes(attributes_of_mode(stated_->mode));
            }
        } else if (!base_) {
            // The merge pass copies the Base file; without it there is nothing
            // to copy, and an empty file must not pass for a copy.
            base_code = 0;
            input_code = base_errno == ERR_NOT_REGULAR_FILE ? ERR_NOT_REGULAR_FILE
                                                   : errno_code(ERR_OPEN_INPUT, first_ && base_errno ? base_errno : ENOENT);
        }

        if (first_ && !is_create(type_) && (flags_ & EF_IN_PLACE)) {
            base_target_ = first_path_;
            directory_ = folder_of(base_target_);
            in_place_ = true;
        }

        int code = 0;
        if (const int create_code = open_output()) {
            code = create_code;
        } else if (input_code) {
            code = input_code;
        } else if (base_code) {
            code = base_code;
        }
        if (code) {
            out_.abandon();
            return notify(static_cast<std::int16_t>(code)) == ANSWER_STOP ? ERR_STOPPED : code;
        }

        if (is_create(type_)) return run_create();
        if (type_ == OP_MERGE) return run_merge();
        return run_restore();
    }

    // Where a finished output goes.
    const std::string& final_target() const { return in_place_ ? base_target_ : target_; }

    // Opens the temporary that the output is written to (and, for a pipe or
    // device, the target itself). Returns 0 or the error code to report.
    int open_output() {
        if (!in_place_) {
            if (link_to_special_) return ERR_OUTPUT_LINK;
            if (special_) {
                // A delta is rewritten at its start once its length is known,
                // which a pipe or device cannot take.
                if (is_create(type_)) return ERR_NOT_REGULAR_FILE;
                if (!special_target_.active()) {
                    if (const int error = special_target_.open(target_)) return errno_code(ERR_CREATE_OUTPUT, error);
                }
            } else if (const int refusal = target_refusal(files_, target_)) {
                return errno_code(ERR_CREATE_OUTPUT, refusal);
            }
        }
        return open_temporary();
    }

    // A new temporary for the next output. Returns 0 or the error code to report.
    int open_temporary() {
        // A single-file job clears the leftovers of killed runs from the folder
        // it writes to; a tree walk does so once per output folder.
        if (folder_sync_ == FolderSync::now && !swept_) {
            remove_dead_temporaries(directory_, files_);
            swept_ = true;
        }
        if (const int error = out_.create_in(directory_)) return errno_code(ERR_CREATE_OUTPUT, error);
        if (!special_ || in_place_) take_mode_of(files_, final_target(), out_.file());
        // During an in-place restore the caller sees the name being written.
        if (in_place_) output_ = out_.path();
        return 0;
    }

    // Whether `path` names one of the open input files (a link there is
    // replaced, never an input itself).
    bool is_input(const std::string& path) const {
        struct stat named {};
        if (files_.lstat(path.c_str(), &named) != 0 || S_ISLNK(named.st_mode)) return false;
        for (std::FILE* input : {base_.get(), input_.get()}) {
            struct stat open_file {};
            if (input && files_.fstat(files_.fileno(input), &open_file) == 0 && open_file.st_dev == named.st_dev &&
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
        // A failure names the file that was being written: under keep-all the
        // candidate's digit name, not the name the user gave.
        record_.output_path = code < 0 && !writing_.empty() ? writing_.c_str() : output_.c_str();
        // A write that failed says whether an earlier output survives it.
        std::string kept;
        if (code == ERR_WRITE_FAILED || code == ERR_DISK_FULL) {
            struct stat status {};
            const std::string& target = writing_.empty() ? final_target() : writing_;
            kept = describe_error(code == ERR_DISK_FULL ? ERR_DISK_FULL : ERR_WRITE_FAILED);
            kept = kept.substr(0, kept.find(';')) +
                   (files_.lstat(target.c_str(), &status) == 0 ? "; the output was not replaced: the earlier file is kept"
                                                       : "; no output file was written");
            record_.detail = kept.c_str();
        }
        const std::int16_t answer = callback_(record_);
        record_.detail = nullptr;
        return answer;
    }

    // The code of a write that failed with `error` (errno; 0 when not known).
    static int write_failure(int error) {
        return error == ENOSPC || error == EDQUOT ? ERR_DISK_FULL : ERR_WRITE_FAILED;
    }

    // A final rename that failed is reported like an output that could not be
    // created.
    int report_output_error(int error) {
        if (stopped_) {
            notify(ERR_STOPPED);
            return ERR_STOPPED;
        }
        const int code = errno_code(ERR_CREATE_OUTPUT, error);
        return notify(static_cast<std::int16_t>(code)) == ANSWER_STOP ? ERR_STOPPED : code;
    }

    // Ends writing a restored or copied file, ready for its times and bits:
    // the data is on the disk. (Content for a pipe or device stays open to be
    // read back.) Returns 0 or errno.
    int finish_output() {
        return special_target_.active() ? out_.flush() : out_.finish(folder_sync_ != FolderSync::never);
    }

    // A tree walk makes the renames into its output folder durable once for
    // the folder; a file that lands elsewhere (in place, beside the Base) is
    // made durable at once.
    FolderSync folder_sync_for(const std::string& target) const {
        if (folder_sync_ == FolderSync::never) return folder_sync_;  // a scratch tree, thrown away after the run
        return folder_of(target) == folder_of(original_output_) ? folder_sync_ : FolderSync::now;
    }

    int commit_final(SafeOutput& file) {
        if (special_target_.active() && !in_place_) {
            const int error = special_target_.write_from(file.file(), [this](std::int64_t written) {
                record_.position = clamp_result(written);
                if (notify(PM_WRITE_OUTPUT) == ANSWER_STOP) stopped_ = true;
                record_.position = 0;
                return stopped_;
            });
            file.abandon();
            if (error) return error;
        } else if (const int error = file.commit(final_target(), folder_sync_for(final_target()))) {
            return error;
        }
        committed_ = true;
        if (in_place_) output_ = first_path_;
        return 0;
    }

    void apply_kept_info(const std::string& path) {
        if (special_target_.active()) return;  // a pipe or device has no times to keep
        if (flags_ & EF_KEEP_DATE) engine_apply_times(path, trailer_, files_);
        if (flags_ & EF_KEEP_ATTRIBUTES) engine_apply_permissions(path, trailer_, files_);
    }

    // The record of Updated's permission bits and digest that every candidate
    // carries in its trailer's reserved field. Returns 0 or a negative code.
    int prepare_record() {
        if (flags_ & EF_PLAIN_TRAILER) return 0;
        struct stat status {};
        if (files_.fstat(files_.fileno(input_.get()), &status) != 0) return ERR_READ_FAILED;
        updated_record_.mode = static_cast<std::uint16_t>((stated_ ? stated_->mode : status.st_mode) & 0777);
        StreamWindow updated = window_on(files_, input_.get());
        const int first_algorithm = std::countr_zero(static_cast<unsigned>(mask_));
        const int rc = coder_digest(&updated, callback_, static_cast<std::int16_t>(first_algorithm),
                                    updated_record_.digest);
        if (rc < 0) return rc;
        with_record_ = true;
        return 0;
    }

    int run_create() {
        const bool keep_all = flags_ & EF_KEEP_ALL;
        unsigned remaining = mask_;
        if (const int rc = prepare_record(); rc < 0) return fail(rc);
        // The run-length forms and the Base check are made once for all passes.
        CreateShared shared;
        int algorithm = 0;
        std::int64_t smallest = kNoLimit;
        // The deep search's candidate comes after the numbered ones; it keeps
        // the smallest, so it has no name of its own among kept-all deltas.
        // The compact candidate comes last of all (kept-all, it is named "c").
        // Without it asked for, the passes are exactly those before it was.
        bool deep = (flags_ & EF_DEEP) && !keep_all;
        bool compact = flags_ & EF_COMPACT;
        // Compact alone: no numbered pass unless a mask asks for one.
        if (compact && compact_alone_) remaining = 0;
        for (;;) {
            const bool compact_pass = remaining == 0 && !deep && compact;
            const bool deep_pass = remaining == 0 && !compact_pass;
            if (compact_pass) {
                compact = false;
                algorithm = kCompactAlgorithm;
            } else if (deep_pass) {
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
            if (with_record_) write_updated_record(trailer_, updated_record_);
            StreamWindow base = window_on(files_, base_.get());
            StreamWindow updated = window_on(files_, input_.get());
            StreamWindow delta = window_on(files_, out_.file(), 0, 0);
#ifdef __GLIBC__
            // The numbered passes' buffers are free but stay resident in the
            // heap, where the deep search's larger ones fit only in part:
            // handed back first, a run's peak is the larger of the two, not
            // close to their sum.
            if (deep_pass) malloc_trim(0);
#endif
            if (keep_all) writing_ = keep_all_name(original_output_, algorithm);
            // errno after a failed write tells a full disk from other faults.
            errno = 0;
            int result = compact_pass ? compact_create(&base, &updated, &delta, callback_, trailer_)
                         : deep_pass  ? coder_create_deep(&base, &updated, &delta, callback_, trailer_, &shared)
                                      : coder_create(&base, &updated, &delta, algorithm, callback_, trailer_, &shared);
            if (result == ERR_WRITE_FAILED) result = write_failure(errno);
            if (result >= 0) {
                if (const int error = out_.flush()) result = write_failure(error);
            }
            if (result < 0) return fail(result);

            if (notify(remaining || deep || compact ? PM_CANDIDATE_DONE : PM_FILE_DONE, result) == ANSWER_STOP)
                return ERR_STOPPED;

            if (keep_all) {
                // A digit name may be taken by an input (a Base called data3, say);
                // that file is never replaced.
                const std::string& name = writing_;
                if (is_input(name)) return report_output_error(EEXIST);
                if (is_link_to_special(name, files_))
                    return notify(ERR_OUTPUT_LINK) == ANSWER_STOP ? ERR_STOPPED : ERR_OUTPUT_LINK;
                if (const int error = out_.commit(name, folder_sync_for(name))) return report_output_error(error);
            } else if (result < smallest) {
                // The best candidate so far waits in its temporary until every
                // pass has run; the one it beats is removed.
                smallest = result;
                best_ = std::move(out_);
            } else {
                out_.abandon();
            }
            if (!remaining && !deep && !compact) break;
            // A candidate that cannot be written is a failure of the file, never
            // a silent end of the passes: kept-all names would stay as they were
            // and the smallest delta kept might not be the smallest.
            if (const int code = open_temporary()) return fail(code);
        }
        if (!keep_all && best_.active()) {
            if (const int error = commit_final(best_)) return report_output_error(error);
        }
        return 0;
    }

    int run_restore() {
        trailer_ = TrailerRecord{};
        StreamWindow base = window_on(files_, base_.get());
        StreamWindow delta = window_on(files_, input_.get());
        StreamWindow output = window_on(files_, out_.file(), 0, 0);
        errno = 0;
        int result = restore_any_format(&base, &delta, &output, callback_, &trailer_);
        if (result == ERR_WRITE_FAILED) result = write_failure(errno);
        if (result >= 0) {
            if (const int error = finish_output()) result = write_failure(error);
        }
        // Without a Base the check can only fail for a delta made from one:
        // that is the fault to name, not a different Base.
        if (result == ERR_WRONG_BASE && base_missing_) result = ERR_BASE_MISSING;
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
            if (const int error = finish_output()) result = errno_code(ERR_COPY_WRITE, error);
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
        best_.abandon();
        // Without a Base there is nothing to copy; the file stays failed.
        if (!base_) return failed_code;
        // Start from a fresh temporary: the failed step may have left more
        // bytes in the old one than the copy will write.
        out_.abandon();
        if (const int code = open_output()) return code;

        const std::int64_t copied = engine_copy_stream(base_.get(), out_.file(), 3, kNoLimit, callback_);
        int result = clamp_result(copied);
        if (result >= 0) {
            if (const int error = finish_output()) result = errno_code(ERR_COPY_WRITE, error);
        }
        if (result < 0) return result;
        if (copied > 0) {
            // The copy is the Base file, with the Base's own permission bits.
            trailer_ = base_info_;
            apply_kept_info(out_.path());
        }
        base_.reset();
        if (const int error = commit_final(out_)) return stopped_ ? ERR_STOPPED : errno_code(ERR_CREATE_OUTPUT, error);
        // The copy is in place: a Stop answered here is seen by the next file.
        notify(PM_BASE_COPIED, result);
        return result;
    }

    FileSystem& files_;
    const FolderSync folder_sync_;
    const UpdatedInfo* stated_;  // Updated's times and bits as the trailer states them, when not its own
    int type_;
    const char* first_;
    std::string first_path_;
    const std::string& second_;
    std::string& output_;
    const std::string original_output_;
    const std::string target_;  // the output's name, where the finished file goes
    const bool special_;        // the output is a pipe or device, written into
    const bool link_to_special_;  // the output is a link to a pipe or device: refused
    std::string base_target_;   // in place: the Base's name
    std::string directory_;     // where temporaries go: beside the file they become
    bool swept_ = false;        // the leftovers of dead runs were cleared from directory_
    EngineFlags flags_;
    AlgorithmMask mask_;
    bool compact_alone_;  // a compact delta asked for with no algorithm: the numbered passes are left out
    ProgressCallback callback_;

    bool in_place_ = false;
    bool committed_ = false;
    bool base_missing_ = false;  // a Base was named and does not exist
    std::string writing_;        // keep-all: the digit name of the candidate being written
    bool with_record_ = false;
    UpdatedRecord updated_record_;
    bool stopped_ = false;  // the callback answered stop while the output was written out
    ProgressRecord record_;
    TrailerRecord trailer_;
    TrailerRecord base_info_;   // times and bits of the Base and the second input,
    TrailerRecord input_info_;  // as they were when the operation opened them
    FileHandle base_;
    FileHandle input_;
    SpecialTarget special_target_;
    SafeOutput out_;
    SafeOutput best_;  // keep smallest: the smallest candidate so far
};

}  // namespace

std::string keep_all_name(const std::string& path, int algorithm) {
    const std::size_t name_start = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
    const std::size_t dot = path.rfind('.');
    const std::size_t stem_end = (dot == std::string::npos || dot < name_start) ? path.size() : dot;
    const char digit = algorithm == kCompactAlgorithm ? 'c' : static_cast<char>('0' + algorithm);
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
                   const ProgressCallback& callback, FileSystem& files) {
    FileOp operation(type, first, second, output, flags, mask, callback, FolderSync::now, files);
    return operation.run();
}

int engine_file_op_stating(FileSystem& files, const char* first, const std::string& second, std::string& output,
                           EngineFlags flags, AlgorithmMask mask, const ProgressCallback& callback,
                           const UpdatedInfo& info) {
    FileOp operation(OP_CREATE_FILE, first, second, output, flags, mask, callback, FolderSync::now, files, &info);
    return operation.run();
}

int engine_walk_file_op(FileSystem& files, int type, const char* first, const std::string& second,
                        std::string& output, const NameMatchEntry* /*name_pair*/, EngineFlags flags,
                        AlgorithmMask mask, const ProgressCallback& callback, FolderSync folder_sync) {
    FileOp operation(type, first, second, output, flags, mask, callback, folder_sync, files);
    return operation.run();
}

int open_regular_input(FileSystem& files, const char* path, FileHandle& file, struct stat* status) {
    const int fd = files.open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno ? errno : ENOENT;
    struct stat own {};
    struct stat& st = status ? *status : own;
    int error = 0;
    if (files.fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = ERR_NOT_REGULAR_FILE;
    else if (files.set_status_flags(fd, files.get_status_flags(fd) & ~O_NONBLOCK) != 0)
        error = errno;
    if (!error) {
        file.reset(files.fdopen(fd, "rb"));
        if (file) return 0;
        error = errno ? errno : ENOMEM;
    }
    files.close(fd);
    return error;
}

}  // namespace quoralith
