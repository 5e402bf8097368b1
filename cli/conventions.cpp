// The habits users bring from gzip, zstd and xdelta3: "-" for standard input
// or output, and -f before an existing output file is replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "engine/safe_output.h"

namespace quoralith::cli {

namespace {

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies everything from `from` to `to`; false on a failed read or write.
bool pump(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        if (!write_all(to, buffer, static_cast<std::size_t>(got))) return false;
    }
}

// A name that exists as something an overwrite would destroy: a regular file,
// or a link (whatever it points to). Writing into a pipe or a device, as a
// restore may, replaces nothing.
bool holds_a_file(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return false;
    return S_ISREG(status.st_mode) || S_ISLNK(status.st_mode);
}

}  // namespace

std::string existing_file(const std::string& path) { return holds_a_file(path) ? path : std::string{}; }

StandardStreams::~StandardStreams() {
    if (!input_.empty()) ::unlink(input_.c_str());
    if (!output_.empty()) ::unlink(output_.c_str());
    if (!folder_.empty()) ::rmdir(folder_.c_str());
}

bool StandardStreams::make_folder(const char* verb) {
    if (!folder_.empty()) return true;
    std::string pattern = system_temp_folder() + "/quoralith-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        print_error(std::string(verb) + ": no temporary folder could be made in '" + system_temp_folder() +
                    "': " + std::strerror(errno));
        return false;
    }
    folder_ = pattern;
    return true;
}

bool StandardStreams::take_input(std::string& name, const char* verb) {
    if (name != "-") return true;
    if (!input_.empty()) {
        print_error(std::string(verb) + ": only one name can be '-' (standard input)");
        return false;
    }
    if (isatty(STDIN_FILENO)) {
        print_error(std::string(verb) + ": standard input is a terminal; pipe the file in or give its name");
        return false;
    }
    if (!make_folder(verb)) return false;
    // The coder reads its inputs more than once and from the end (a delta's
    // trailer comes last), so standard input is kept whole in a file first.
    const std::string path = folder_ + "/stdin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        print_error(std::string(verb) + ": standard input could not be kept in '" + path + "': " + std::strerror(errno));
        return false;
    }
    input_ = path;
    const bool copied = pump(STDIN_FILENO, fd);
    const bool closed = ::close(fd) == 0;
    if (!copied || !closed) {
        print_error(std::string(verb) + ": standard input could not be read whole: " + std::strerror(errno));
        return false;
    }
    name = path;
    return true;
}

bool StandardStreams::take_output(std::string& name, const char* verb, bool force) {
    if (name != "-") return true;
    // A delta is binary: on a terminal it would only garble the screen.
    if (isatty(STDOUT_FILENO) && !force) {
        print_error(std::string(verb) + ": standard output is a terminal; redirect it, or add -f to write there anyway");
        return false;
    }
    if (!make_folder(verb)) return false;
    // The engine commits an output by renaming it into place once it is
    // complete; standard output gets it only then, so a failed file sends nothing.
    output_ = folder_ + "/stdout";
    name = output_;
    return true;
}

bool StandardStreams::deliver(const char* verb) {
    if (output_.empty()) return true;
    const int fd = ::open(output_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;  // nothing was committed: the job has said why
    const bool sent = pump(fd, STDOUT_FILENO);
    ::close(fd);
    if (!sent) print_error(std::string(verb) + ": standard output could not be written: " + std::strerror(errno));
    return sent;
}

bool take_standard_streams(const CliContext& context, const char* verb, bool archived, std::string& first,
                           std::string& second, std::string& output, StandardStreams& streams) {
    if (first != "-" && second != "-" && output != "-") return true;
    struct stat status {};
    const auto is_folder = [&status](const std::string& name) {
        return name != "-" && stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    };
    if (archived || is_folder(first) || is_folder(second) || is_folder(output)) {
        print_error(std::string(verb) + ": '-' stands for one file; a tree job needs names");
        return false;
    }
    return streams.take_input(first, verb) && streams.take_input(second, verb) &&
           streams.take_output(output, verb, context.force);
}

std::string existing_output(int type, const std::string& first, const std::string& output, EngineFlags flags,
                            AlgorithmMask mask) {
    const bool in_place = !is_create(type) && output == first;
    bool file_output = false;
    switch (type) {
        case OP_CREATE_FILE:
        case OP_RESTORE_FILE:
        case OP_CREATE_ARCHIVED:
            file_output = true;
            break;
        case OP_CREATE_DIR:
            file_output = flags & EF_ARCHIVE_DELTA;
            break;
        case OP_RESTORE_DIR:
        case OP_RESTORE_ARCHIVED:
            file_output = flags & EF_ARCHIVE_UPDATED;
            break;
        default:
            break;
    }
    if (!file_output || in_place) return {};
    if (type == OP_CREATE_FILE && (flags & EF_KEEP_ALL)) {
        const unsigned algorithms = mask ? mask : 1;
        for (int algorithm = 0; algorithm < 16; ++algorithm) {
            if (!(algorithms & (1u << algorithm))) continue;
            const std::string name = keep_all_name(output, algorithm);
            if (holds_a_file(name)) return name;
        }
        return {};
    }
    return holds_a_file(output) ? output : std::string{};
}

bool refuse_existing_output(const CliContext& context, const char* verb, const std::string& path) {
    if (context.force || path.empty()) return false;
    print_error(std::string(verb) + ": '" + path + "' already exists; add -f to replace it");
    return true;
}

}  // namespace quoralith::cli
