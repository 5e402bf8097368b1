// Profile files: a line-preserving reader and writer with atomic replacement.
#include "base/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace quoralith {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    a = trim(a);
    b = trim(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool is_comment(std::string_view line) {
    line = trim(line);
    return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// The name of a "[name]" line, or false when the line is not a section header.
bool section_header(std::string_view line, std::string_view& name) {
    line = trim(line);
    if (line.empty() || line.front() != '[') return false;
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) return false;
    name = trim(line.substr(1, close - 1));
    return true;
}

// Splits a "key=value" line; false for blank lines, comments and lines without "=".
bool key_line(std::string_view line, std::string_view& key, std::string_view& value) {
    if (is_comment(line)) return false;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    return !key.empty();
}

bool has_line_break(std::string_view text) {
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

// Writes `content` to `target` through a temporary in the same folder, so that
// the rename is atomic and a crash never leaves a half-written file in place.
bool write_atomically(const fs::path& target, const std::string& content) {
    std::error_code ec;
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    fs::create_directories(folder, ec);
    if (ec) return false;

    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) return false;

    bool ok = true;
    const char* data = content.data();
    std::size_t left = content.size();
    while (ok && left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    // Keep the permissions of the file being replaced; a new file gets the
    // usual rw-r--r-- instead of mkstemp's owner-only bits.
    struct stat old_status {};
    mode_t mode = (::stat(target.c_str(), &old_status) == 0) ? (old_status.st_mode & 07777) : 0644;
    if (ok && ::fchmod(fd, mode) != 0) ok = false;
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(pattern.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(pattern.c_str());
        return false;
    }
    // Make the rename itself durable.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace

bool replace_file_atomically(const std::string& target, const std::string& content) {
    return write_atomically(fs::path(target), content);
}

int parse_leading_int(std::string_view text, int fallback) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') return fallback;
    long long value = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        if (value <= INT_MAX) value = value * 10 + (text.front() - '0');
        text.remove_prefix(1);
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {
    std::error_code ec;
    bool present = fs::exists(path_, ec) || ec;
    std::FILE* in = present ? std::fopen(path_.c_str(), "rb") : nullptr;
    if (!in) {
        // A file that is there but cannot be read must never be replaced by a
        // document that lacks everything it held.
        unreadable_ = present;
        return;
    }
    std::string content;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) content.append(chunk, got);
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        unreadable_ = true;
        return;
    }
    existed_ = true;
    // Editors on other systems may lead the file with a UTF-8 byte order mark;
    // it must not hide the first section's name. It is put back on saving.
    if (content.starts_with("\xEF\xBB\xBF")) {
        byte_order_mark_ = true;
        content.erase(0, 3);
    }

    bool saw_crlf = false;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            // The last line lacks its line end; a lone "\r" there is still one.
            std::string last = content.substr(start);
            if (!last.empty() && last.back() == '\r') last.pop_back();
            lines_.push_back(std::move(last));
            break;
        }
        std::size_t stop = end;
        if (stop > start && content[stop - 1] == '\r') {
            --stop;
            saw_crlf = true;
        }
        lines_.push_back(content.substr(start, stop - start));
        start = end + 1;
    }
    if (saw_crlf) line_end_ = "\r\n";
}

std::size_t ProfileFile::find_section(std::string_view section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (section_header(lines_[i], name) && same_name(name, section)) return i;
    }
    return npos;
}

std::size_t ProfileFile::section_end(std::size_t header) const {
    std::size_t i = header + 1;
    std::string_view name;
    while (i < lines_.size() && !section_header(lines_[i], name)) ++i;
    return i;
}

std::vector<std::string> ProfileFile::section_names() const {
    std::vector<std::string> names;
    for (const std::string& line : lines_) {
        std::string_view name;
        if (section_header(line, name)) names.emplace_back(name);
    }
    return names;
}

bool ProfileFile::has_section(std::string_view section) const { return find_section(section) != npos; }

bool ProfileFile::get(std::string_view section, std::string_view key, std::string& value) const {
    std::size_t header = find_section(section);
    if (header == npos) return false;
    std::size_t end = section_end(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string_view k, v;
        if (key_line(lines_[i], k, v) && same_name(k, key)) {
            value.assign(v);
            return true;
        }
    }
    return false;
}

bool ProfileFile::set(std::string_view section, std::string_view key, std::string_view value) {
    section = trim(section);
    key = trim(key);
    if (section.empty() || key.empty() || has_line_break(section) || has_line_break(key) ||
        has_line_break(value) || key.find('=') != std::string_view::npos ||
        section.find(']') != std::string_view::npos || key.front() == '[' || key.front() == ';' ||
        key.front() == '#')
        return false;

    std::string line = std::string(key) + "=" + std::string(value);
    std::size_t header = find_section(section);
    if (header == npos) {
        lines_.push_back("[" + std::string(section) + "]");
        lines_.push_back(std::move(line));
        return true;
    }
    std::size_t end = section_end(header);
    std::size_t last_content = header;
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string_view k, v;
        if (key_line(lines_[i], k, v) && same_name(k, key)) {
            // Keep the key as the file spells and indents it; only the value changes.
            std::string indent = lines_[i].substr(0, lines_[i].find_first_not_of(" \t"));
            lines_[i] = indent + std::string(k) + "=" + std::string(value);
            return true;
        }
        if (!trim(lines_[i]).empty()) last_content = i;
    }
    // New keys go after the section's last non-blank line, ahead of any blank
    // lines that separate it from the next section.
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last_content + 1), std::move(line));
    return true;
}

void ProfileFile::remove_section(std::string_view section) {
    for (std::size_t header = find_section(section); header != npos; header = find_section(section)) {
        std::size_t end = section_end(header);
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(end));
    }
}

bool ProfileFile::save() const {
    if (unreadable_) return false;
    std::string content = byte_order_mark_ ? "\xEF\xBB\xBF" : "";
    for (const std::string& line : lines_) {
        content += line;
        content += line_end_;
    }
    std::error_code ec;
    fs::path target = path_;
    // Write through a symbolic link rather than replacing the link itself.
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }
    return write_atomically(target, content);
}

int profile_read_int(const std::string& file, std::string_view section, std::string_view key, int fallback) {
    std::string value;
    if (!ProfileFile(file).get(section, key, value)) return fallback;
    return parse_leading_int(value, fallback);
}

std::string profile_read_text(const std::string& file, std::string_view section, std::string_view key,
                              std::string_view fallback, std::size_t size) {
    std::string value;
    if (!ProfileFile(file).get(section, key, value)) value.assign(fallback);
    std::size_t limit = size > 0 ? size - 1 : 0;
    if (value.size() > limit) value.resize(limit);
    return value;
}

bool profile_write_text(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    ProfileFile profile(file);
    if (!profile.set(section, key, value)) return false;
    return profile.save();
}

bool profile_delete_section(const std::string& file, std::string_view section) {
    ProfileFile profile(file);
    if (!profile.existed()) return true;
    if (!profile.has_section(section)) return true;
    profile.remove_section(section);
    return profile.save();
}

}  // namespace quoralith
