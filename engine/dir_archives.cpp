// Directory jobs whose Base, Updated or delta tree is one archive file. The
// ordinary directory walk does the work: every archive input is first
// unpacked into a private temporary tree, and an archive output is packed from
// the tree the walk wrote. Whatever the walk or the packing reports is told
// with the names the user gave, never with the temporary paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/dir_list.h"
#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/safe_output.h"

namespace quoralith {
namespace {

constexpr EngineFlags kArchiveFlags = EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED | EF_ARCHIVE_DELTA;

bool is_write_archive_code(int code) { return errno_of(code, ERR_WRITE_ARCHIVE) != 0; }

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The folder a job's temporaries go to: one new directory of an exclusive
// random name, removed with everything in it when the job ends, however it
// ends. Only this process ever writes below it.
class WorkDir {
public:
    explicit WorkDir(FileSystem& files) : files_(files), folder_(files) {}

    // Makes the directory in the first of `places` ("" for the current folder)
    // where it can be made and where it lies inside none of `keep_out` (the
    // trees the walk reads, or an output tree that may be cleared). Returns 0
    // or errno.
    int create(const std::vector<std::string>& places, const std::vector<std::string>& keep_out) {
        int error = ENOENT;
        for (const std::string& place : places) {
            remove_dead_temporaries(place, files_);
            error = folder_.create_in(place);
            if (error) continue;
            bool inside = false;
            for (const std::string& tree : keep_out)
                inside = inside || (!tree.empty() && path_within(folder_.path(), tree));
            if (!inside) return 0;
            folder_.remove();
            error = EXDEV;
        }
        return error;
    }

    // A new, empty subdirectory; "" when it cannot be made.
    std::string subdir(const char* name) const {
        const std::string sub = join_path(folder_.path(), name);
        return files_.mkdir(sub.c_str(), 0700) == 0 ? sub : std::string();
    }

private:
    FileSystem& files_;
    TempFolder folder_;
};

// One side of the job held as an archive file: the user's name for it and the
// temporary tree that stands in for it during the walk.
struct Stand {
    std::string name;
    std::string tree;
};

enum class Phase { unpack, walk, pack };

// Passes the engine's records on to the caller with every temporary path
// turned back into the user's name ("base.qa/lib/a.so" for a member of the
// Base archive), and notes what the caller answered: a Stop, and whether a
// file failed in a way that leaves the output short of a file.
class Relay {
public:
    Relay(const ProgressCallback& callback, EngineFlags flags) : callback_(callback), flags_(flags) {}

    void add(const Stand& stand) { stands_.push_back(&stand); }
    // The archive being unpacked or packed in the phases that are not the walk.
    void begin(Phase phase, const Stand* archive) {
        phase_ = phase;
        archive_ = archive;
        stopped_ = false;
        told_stop_ = false;
        failed_ = 0;
        write_failure_ = 0;
    }

    std::int16_t operator()(const ProgressRecord& original) {
        ProgressRecord record = original;
        std::string first, second, output;
        if (phase_ == Phase::pack) {
            // The writer names its members relative to the packed tree.
            if (record.first_path) first = join_path(archive_->name, record.first_path);
        } else {
            first = map(record.first_path);
            second = map(record.second_path);
            output = map(record.output_path);
        }
        if (record.code < 0 && phase_ != Phase::walk) {
            // An error while an archive is unpacked or packed is about that
            // member, or about the archive itself.
            const std::string& named = !output.empty() ? output : !first.empty() ? first : archive_->name;
            output = second = named;
            first.clear();
        }
        record.first_path = first.empty() ? nullptr : first.c_str();
        record.second_path = second.empty() ? nullptr : second.c_str();
        record.output_path = output.empty() ? nullptr : output.c_str();

        // A failed write to the archive being packed is told once, for the
        // archive, when the packing has ended.
        if (phase_ == Phase::pack && is_write_archive_code(record.code)) {
            write_failure_ = record.code;
            return ANSWER_SKIP;
        }
        const std::int16_t answer = callback_(record);
        if (answer == ANSWER_STOP) stopped_ = true;
        if (record.code == ERR_STOPPED) told_stop_ = true;
        // Entries passed over (a pipe, a link that leads nowhere or out of its
        // tree) leave no file missing that the output should hold.
        if (record.code < 0 && record.code != ERR_STOPPED && !is_passed_over(record.code)) {
            // The failure action "copy" puts the Base file in the output's
            // place: the tree still holds a file under that name.
            const bool copied = phase_ == Phase::walk && (answer == ANSWER_COPY ||
                                                          (answer == ANSWER_BY_FLAGS && (flags_ & EF_FAIL_COPY)));
            if (!copied) ++failed_;
        }
        return answer;
    }

    // Tells the caller that the step ended by a Stop, naming the archive it
    // leaves unread or unwritten, unless a record of this step said so already
    // (a file stopped before it began is silent).
    void tell_stop(const std::string& name) {
        if (told_stop_) return;
        report(ERR_STOPPED, name);
    }

    // One error record about a whole archive (or the output) named `name`.
    std::int16_t report(int code, const std::string& name, const std::string& detail = {}) {
        ProgressRecord record;
        record.code = static_cast<std::int16_t>(code);
        record.second_path = name.c_str();
        record.output_path = name.c_str();
        record.detail = detail.empty() ? nullptr : detail.c_str();
        const std::int16_t answer = callback_(record);
        if (code == ERR_STOPPED) told_stop_ = true;
        if (answer == ANSWER_STOP) stopped_ = true;
        return answer;
    }

    bool stopped() const { return stopped_; }
    int failed() const { return failed_; }
    int write_failure() const { return write_failure_; }

private:
    std::string map(const char* path) const {
        if (!path) return {};
        const std::string text = path;
        for (const Stand* stand : stands_) {
            const std::string& root = stand->tree;
            if (root.empty() || text.compare(0, root.size(), root) != 0) continue;
            if (text.size() == root.size()) return stand->name;
            if (text[root.size()] == '/') return stand->name + text.substr(root.size());
        }
        return text;
    }

    const ProgressCallback& callback_;
    EngineFlags flags_;
    std::vector<const Stand*> stands_;
    Phase phase_ = Phase::unpack;
    const Stand* archive_ = nullptr;
    bool stopped_ = false;
    bool told_stop_ = false;
    int failed_ = 0;
    int write_failure_ = 0;
};

// Checks that `name` is one of our archives and sound from end to end, so that
// a wrong or damaged input is refused before any output is touched. The
// members' bytes are verified as they are unpacked.
bool archive_is_sound(FileSystem& files, Relay& relay, const std::string& name) {
    std::string first_damage;
    const int count = archive_list(
        name, {}, [&](const std::string& detail) {
            if (first_damage.empty()) first_damage = detail;
        },
        false, files);
    if (count < 0) {
        relay.report(count, name);
        return false;
    }
    if (!first_damage.empty()) {
        relay.report(ERR_ARCHIVE_DAMAGED, name, first_damage);
        return false;
    }
    return true;
}

// Unpacks the archive of `stand` into its tree, members with their times and
// permission bits. False after any member failed or a Stop: the tree would not
// be the archive's.
bool unpack(FileSystem& files, Relay& relay, const Stand& stand) {
    const ProgressCallback relayed = [&relay](const ProgressRecord& r) { return relay(r); };
    relay.begin(Phase::unpack, &stand);
    // The tree is read back by this job alone and removed after it: its files
    // need not reach the disk one by one.
    const int result =
        archive_extract_scratch(files, stand.name, stand.tree, EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, relayed);
    if (relay.stopped()) {
        relay.tell_stop(stand.name);
        return false;
    }
    if (result < 0) {
        relay.report(result, stand.name);
        return false;
    }
    return relay.failed() == 0;
}

// Packs the tree of `stand` into a new archive at `reserved` (a temporary of
// ours beside the output, which archive_create replaces whole once it is
// complete). False after a Stop or a failure, which were told.
bool pack(FileSystem& files, Relay& relay, const Stand& stand, const std::string& reserved,
          EngineFlags pack_flags) {
    const ProgressCallback relayed = [&relay](const ProgressRecord& r) { return relay(r); };
    relay.begin(Phase::pack, &stand);
    const int result = archive_create(stand.tree, "", reserved, "", pack_flags, relayed, files);
    if (relay.stopped() || result == ERR_STOPPED) {
        relay.tell_stop(stand.name);
        return false;
    }
    if (result < 0) {
        relay.report(relay.write_failure() ? relay.write_failure() : result, stand.name);
        return false;
    }
    if (relay.failed() > 0) {
        relay.report(errno_code(ERR_WRITE_ARCHIVE, ECANCELED), stand.name,
                     "the archive '" + stand.name + "' was not written: a file of the tree could not be packed");
        return false;
    }
    return true;
}

}  // namespace

int engine_dir_archive_op(EngineRun& run, int type, const std::string& first, const std::string& second,
                          const std::string& output, const std::string& pattern, EngineFlags flags,
                          AlgorithmMask mask, const ProgressCallback& callback) {
    FileSystem& files = run.files;
    if (type != OP_CREATE_DIR && type != OP_RESTORE_DIR) return ERR_BAD_REQUEST;
    const bool create = type == OP_CREATE_DIR;
    const bool base_archive = flags & EF_ARCHIVE_BASE;
    const bool delta_archive = flags & EF_ARCHIVE_DELTA;
    const bool updated_archive = flags & EF_ARCHIVE_UPDATED;
    const bool second_archive = create ? updated_archive : delta_archive;
    const bool output_archive = create ? delta_archive : updated_archive;
    if (base_archive && first.empty()) return ERR_BAD_REQUEST;

    // Restoring over the Base: an archive replaced by an archive, or a tree
    // restored in place; a tree poured into an archive's name (or the reverse)
    // means nothing.
    const bool in_place = !create && !first.empty() && output == first;
    if (in_place && base_archive != updated_archive) return ERR_BAD_REQUEST;
    // An archive written inside a tree the walk reads would become part of the
    // next run's input, or be taken for a delta of this one.
    if (output_archive) {
        const std::string folder = folder_of(output).empty() ? "." : folder_of(output);
        for (const std::string* tree : {&first, &second}) {
            const bool archive_side = tree == &first ? base_archive : second_archive;
            if (!archive_side && !tree->empty() && path_within(folder, *tree)) return ERR_BAD_REQUEST;
        }
    }

    Relay relay(callback, flags);
    Stand base{first, {}}, walked{second, {}}, out{output, {}};

    // Inputs first: a wrong or damaged archive is refused before anything is made.
    if (base_archive && !archive_is_sound(files, relay, first)) return 0;
    if (second_archive && !archive_is_sound(files, relay, second)) return 0;

    // The output's own name is taken only by a complete archive; a temporary
    // reserved beside it now proves the folder writable before any work.
    SafeOutput reserved(files);
    if (output_archive) {
        // A link at the name is replaced by the archive, never followed (one
        // that names a pipe or device is refused).
        if (is_link_to_special(output, files)) {
            relay.report(ERR_OUTPUT_LINK, output);
            return 0;
        }
        struct stat st {};
        if (files.lstat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            relay.report(errno_code(ERR_CREATE_OUTPUT, S_ISDIR(st.st_mode) ? EISDIR : EEXIST), output);
            return 0;
        }
        if (const int error = reserved.create_beside(output)) {
            relay.report(errno_code(ERR_CREATE_OUTPUT, error), output);
            return 0;
        }
        reserved.finish(false);
    }

    // Beside the output (the volume the user chose for this job) or else in
    // the temporary directory; never inside a tree the walk reads, nor inside
    // an output tree, which may be cleared.
    WorkDir work(files);
    {
        std::vector<std::string> places;
        places.push_back(folder_of(without_trailing_slashes(output)));
        places.push_back(system_temp_folder());
        std::vector<std::string> keep_out;
        if (!base_archive) keep_out.push_back(first);
        if (!second_archive) keep_out.push_back(second);
        if (!output_archive) keep_out.push_back(output);
        if (const int error = work.create(places, keep_out)) {
            relay.report(ERR_TEMP_FILE, output, "no folder for the temporary trees could be made: " +
                                                    std::string(std::strerror(error)));
            return 0;
        }
    }
    const auto make_stand = [&](Stand& stand, const char* name) {
        stand.tree = work.subdir(name);
        if (stand.tree.empty()) relay.report(ERR_TEMP_FILE, output, "a temporary tree could not be made");
        relay.add(stand);
        return !stand.tree.empty();
    };
    if (base_archive && !make_stand(base, "base")) return 0;
    if (second_archive && !make_stand(walked, create ? "updated" : "delta")) return 0;
    // In place, the Base tree is restored where it lies and packed as a whole.
    if (output_archive && !in_place && !make_stand(out, create ? "delta" : "updated")) return 0;

    if (base_archive && !unpack(files, relay, base)) return 0;
    if (second_archive && !unpack(files, relay, walked)) return 0;

    const std::string walk_first = base_archive ? base.tree : first;
    const std::string walk_second = second_archive ? walked.tree : second;
    const std::string walk_output = in_place && base_archive ? base.tree : output_archive ? out.tree : output;

    // A pattern that selects nothing: said once, and nothing is written.
    if (!pattern.empty() && !engine_tree_has_match(walk_second, pattern, flags, walk_output, files) &&
        !(!create && (flags & EF_MERGE) && engine_tree_has_match(walk_first, pattern, flags, walk_output, files))) {
        relay.report(ERR_NOTHING_MATCHED, second,
                     "no file of '" + second + "' matches the pattern '" + pattern + "'; nothing was done");
        return 0;
    }

    // An output tree is emptied only now that every input has been read whole.
    // An archive output is replaced as a whole anyway: there is nothing to clear.
    if ((flags & EF_CLEAR_OUTPUT) && !output_archive && !in_place) engine_clear_dir(output, files);

    EngineFlags walk_flags = flags & ~(kArchiveFlags | EF_CLEAR_OUTPUT);
    if (!in_place) walk_flags &= ~EF_IN_PLACE;
    const ProgressCallback relayed = [&relay](const ProgressRecord& r) { return relay(r); };
    relay.begin(Phase::walk, nullptr);
    // A tree that is packed afterwards is scratch; the archive reaches the disk whole.
    const FolderSync outputs = output_archive ? FolderSync::never : FolderSync::later;
    engine_dir_op(run, type, walk_first, walk_second, walk_output, pattern, walk_flags, mask, relayed, outputs);
    if (!create && !run.stop_latch && (flags & EF_MERGE))
        engine_dir_op(run, OP_MERGE, walk_first, walk_second, walk_output, pattern, walk_flags, mask, relayed,
                      outputs);
    if (!output_archive) return 0;

    // A file that failed comes first: under the failure action "stop" it is
    // what stopped the walk.
    const int failed = relay.failed();
    if (failed == 0 && (run.stop_latch || relay.stopped())) {
        relay.tell_stop(output);
        return 0;
    }
    if (failed > 0) {
        relay.report(errno_code(ERR_WRITE_ARCHIVE, ECANCELED), output,
                     "the archive '" + output + "' was not written: " + std::to_string(failed) +
                         (failed == 1 ? " file" : " files") + " failed, and the archive would lack " +
                         (failed == 1 ? "it" : "them"));
        return 0;
    }
    // The inputs' trees are no longer needed: the packing's temporaries never
    // add to them.
    const std::string packed = walk_output;
    if (base_archive && packed != base.tree) engine_clear_dir(base.tree, files);
    if (second_archive) engine_clear_dir(walked.tree, files);

    // Deltas are packed already; a restored tree is packed as `archive create`
    // packs one, coded unless raw storage is asked for.
    EngineFlags pack_flags = EF_INCLUDE_SUBDIRS | EF_SORTED | (flags & EF_PLAIN_TRAILER);
    pack_flags |= create ? EF_STORE_RAW : (flags & EF_STORE_RAW);
    const Stand packing{output, packed};
    if (!pack(files, relay, packing, reserved.path(), pack_flags)) return 0;
    if (const int error = reserved.commit(output)) relay.report(errno_code(ERR_CREATE_OUTPUT, error), output);
    return 0;
}

}  // namespace quoralith
