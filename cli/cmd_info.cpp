// quoralith info: what a delta file says about itself, read from its end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli/cli.h"
#include "coder/compact/compact.h"
#include "coder/digest.h"
#include "coder/format.h"

namespace quoralith::cli {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

bool read_at(std::FILE* file, long offset, void* buffer, std::size_t count) {
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fread(buffer, 1, count, file) == count;
}

std::string time_words(std::int32_t slot) {
    if (slot == -1) return "unknown";
    const std::time_t seconds = static_cast<std::time_t>(static_cast<std::uint32_t>(slot));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

std::string permission_words(std::uint16_t attributes) {
    if (attributes == 0xFFFF) return "unknown";
    std::string words = (attributes & 1) ? "readable" : "not readable";
    words += (attributes & 2) ? ", writable" : ", read-only";
    return words;
}

// Permission bits as ls shows them, e.g. rwxr-xr-x.
std::string mode_words(unsigned mode) {
    std::string words;
    for (int shift = 6; shift >= 0; shift -= 3) {
        words += (mode >> shift & 4) ? 'r' : '-';
        words += (mode >> shift & 2) ? 'w' : '-';
        words += (mode >> shift & 1) ? 'x' : '-';
    }
    return words;
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

void line(const char* label, const std::string& value) { std::printf("%-18s %s\n", label, value.c_str()); }

std::string bytes(long long count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// The fields of a compact delta, in the design format's words where they
// mean the same.
std::string describe_compact(std::FILE* file, long size, const std::string& shown) {
    compact::Header header;
    std::size_t header_length = 0;
    const int rc = compact_read_header(file, header, header_length);
    if (rc == ERR_COMPACT_VERSION && header.version != compact::kVersion)
        return "a compact delta of version " + std::to_string(header.version) + ", which this program cannot read";
    if (rc < 0) return describe_error(rc);
    line("delta:", shown + ", " + bytes(size));
    line("format:", "compact, version " + std::to_string(header.version));
    line("method:", std::to_string(header.method) + " (" + compact_method_name(header.method) + ")");
    line("header:", bytes(static_cast<long long>(header_length)));
    line("payload:", bytes(size - static_cast<long>(header_length)));
    line("updated length U:", bytes(static_cast<long long>(header.updated_size)));
    if (!header.has_base) {
        line("base check:", "none; made without a base");
    } else {
        line("base check:", "4 bytes " + hex(header.base_check, compact::kBaseCheckSize));
    }
    line("updated accessed:", time_words(header.access_time));
    line("updated modified:", time_words(header.modification_time));
    const unsigned mode = header.mode & 0777;
    if (header.mode & compact::kModePlain) {
        std::uint16_t attributes = ((mode & 0400) ? 1 : 0) | ((mode & 0200) ? 2 : 0);
        line("updated is:", permission_words(attributes));
    } else {
        char text[8];
        std::snprintf(text, sizeof text, "%04o", mode);
        line("updated mode:", std::string(text) + " (" + mode_words(mode) + ")");
    }
    line("seal:", hex(header.seal, compact::kSealSize) + "; a restore verifies its output and this header");
    return {};
}

// Prints the fields; returns an empty string or the reason the file is no delta.
std::string describe_delta(const std::string& path, const std::string& shown) {
    // Opened without waiting, and only as a regular file: a pipe would hold the
    // program for ever.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno ? errno : EIO);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : describe_error(ERR_NOT_REGULAR_FILE);
    }
    std::unique_ptr<std::FILE, FileCloser> file(fdopen(fd, "rb"));
    if (!file) {
        close(fd);
        return std::strerror(ENOMEM);
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return std::strerror(errno ? errno : EIO);
    const long size = std::ftell(file.get());
    {
        StreamWindow window{file.get()};
        if (is_compact_delta(&window)) return describe_compact(file.get(), size, shown);
    }
    if (size < kTrailerSize) return "too short to be a delta (" + bytes(size) + ")";

    TrailerRecord trailer;
    if (!read_at(file.get(), size - kTrailerSize, trailer.bytes.data(), kTrailerSize)) return "cannot be read";
    if (!trailer.has_magic()) return "not a delta: the trailer's magic bytes are missing";
    const int check_length = trailer.check_length();
    if (check_length < 0 || size < check_length + kTrailerSize + 1)
        return "damaged: the check length " + std::to_string(check_length) + " does not fit the file";
    const long body = size - check_length - kTrailerSize;  // payload, method header and method byte

    line("delta:", shown + ", " + bytes(size));
    std::uint8_t check[kCheckLong] = {};
    if (check_length > 0 && !read_at(file.get(), body, check, static_cast<std::size_t>(std::min(check_length, kCheckLong))))
        return "cannot be read";
    if (check_length == kCheckLong) {
        line("base check:", "256 bytes; made from a base of " + bytes(get_be32(check)));
    } else if (check_length == kCheckShort) {
        char folded[16];
        std::snprintf(folded, sizeof folded, "0x%08x",
                      static_cast<unsigned>(check[0] | check[1] << 8 | check[2] << 16) |
                          static_cast<unsigned>(check[3]) << 24);
        line("base check:", std::string("4 bytes (folded) ") + folded);
    } else {
        line("base check:", bytes(check_length) + " (an unusual length)");
    }

    std::uint8_t method = 0;
    if (!read_at(file.get(), body - 1, &method, 1)) return "cannot be read";
    const int algorithm = method & 0x0F;
    char method_text[8];
    std::snprintf(method_text, sizeof method_text, "0x%02x", method);
    line("method byte:", method_text);
    line("algorithm:", std::to_string(algorithm));

    std::string form;
    if (method & MB_MATCHED) {
        form = (method & MB_PACKED) ? "match-coded, literal stream packed" : "match-coded";
    } else {
        form = (method & MB_PACKED) ? "stored, packed" : "stored as it is";
    }
    if (method & MB_UPDATED_RLE) form += "; updated in run-length form";
    if (method & MB_BASE_RLE) form += "; base in run-length form";
    line("form:", form);

    if (method & MB_MATCHED) {
        const int header = algorithm == 0 ? 11 : 8;
        if (body < header + 1) return "damaged: too short for its method header";
        std::uint8_t fields[11];
        if (!read_at(file.get(), body - 1 - header, fields, static_cast<std::size_t>(header))) return "cannot be read";
        const std::uint32_t u = get_be32(fields);
        const std::uint32_t v = get_be32(fields + header - 4);
        line("updated length U:", bytes(u));
        if (algorithm == 0) {
            const std::uint32_t chunk = static_cast<std::uint32_t>(fields[4]) << 16 |
                                        static_cast<std::uint32_t>(fields[5]) << 8 | fields[6];
            line("base chunk W':", bytes(chunk));
        }
        line("control stream V:", bytes(v));
        const long literal = body - 1 - header - static_cast<long>(v);
        line("literal part:", literal >= 0 ? bytes(literal) : std::string("damaged (V is larger than the delta)"));
    } else {
        line("data:", bytes(body - 1));
    }
    line("updated accessed:", time_words(trailer.access_time()));
    line("updated modified:", time_words(trailer.modification_time()));
    line("updated is:", permission_words(trailer.attributes()));
    UpdatedRecord record;
    switch (read_updated_record(trailer, record)) {
        case RecordState::present: {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(record.mode));
            line("record:", "present; a restore verifies its output");
            line("updated mode:", std::string(mode) + " (" + mode_words(record.mode) + ")");
            line("updated digest:", hex(record.digest.data(), record.digest.size()));
            break;
        }
        case RecordState::damaged:
            line("record:", "damaged; a restore refuses this delta");
            // What the field holds instead of zeros or a sound record.
            line("reserved tag:", hex(trailer.tag(), TrailerRecord::kTagSize));
            break;
        case RecordState::absent:
            line("record:", "none; a restore cannot verify its output");
            break;
    }
    return {};
}

}  // namespace

void setup_info(CLI::App& root, CliContext& context) {
    auto path = std::make_shared<std::string>();
    CLI::App* command = root.add_subcommand("info", "Show what a delta file holds: check, method, sizes, times, mode and digest");
    command->add_option("DELTA", *path, "The delta file (- for standard input)")->required();
    command->callback([path, &context] {
        StandardStreams streams;
        std::string name = *path;
        if (!streams.take_input(name, "info")) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        const std::string problem = describe_delta(name, *path == "-" ? "standard input" : *path);
        if (!problem.empty()) {
            print_error(*path + ": " + problem);
            context.exit_status = EXIT_FILE_FAILED;
        }
    });
}

}  // namespace quoralith::cli
