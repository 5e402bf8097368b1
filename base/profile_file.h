// Profile (INI) files: the options file and the history files are texts of
// "[section]" lines followed by "key=value" lines. This is our own reader and
// writer; it keeps everything it does not change (comments, blank lines, order,
// unknown keys, line ends) and replaces a file only by an atomic rename, so a
// crash in the middle of a write leaves either the old file or the new one.
//
// Reading is lenient the way hand-edited files need: blanks around names and
// values are dropped, CRLF and LF line ends are both accepted, section and key
// names compare without regard to ASCII case, and the first occurrence wins.
// Lines beginning with ";" or "#" are comments.
//
// Thread safety: a ProfileFile is a plain value; the free functions each load
// and (for writes) save the file, so concurrent writers of one file race as
// they would with any read-modify-write of a whole file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quoralith {

// A profile file held in memory line by line, for callers that read or change
// several keys at once and want one atomic save.
class ProfileFile {
public:
    // Loads `path`. A missing file gives an empty document (save() then creates
    // it); a file that exists but cannot be read gives an empty document that
    // save() refuses to write, so its contents are never lost.
    explicit ProfileFile(std::string path);

    const std::string& path() const { return path_; }
    // True when the file existed and was read.
    bool existed() const { return existed_; }

    // True when `section` holds `key`; its value, surrounding blanks removed,
    // goes to `value`.
    bool get(std::string_view section, std::string_view key, std::string& value) const;
    bool has_section(std::string_view section) const;
    // The names of the file's sections in file order (as spelled there).
    std::vector<std::string> section_names() const;

    // Replaces the key's value, or appends the key to the section, or appends
    // the section to the file. Returns false (and changes nothing) when a name
    // or the value cannot be stored on one line: a line break in any of them,
    // "=" in the key, "]" in the section, or an empty key or section.
    bool set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every section of that name with all of its lines.
    void remove_section(std::string_view section);

    // Writes the document to a temporary file beside the target, flushes it to
    // disk and renames it over the target (creating missing parent folders).
    // Every line ends with the file's own line end (CRLF when the file used it).
    // Returns false and leaves the old file untouched on any failure.
    bool save() const;

private:
    // Index of the header line of the first section named `section`, or npos.
    std::size_t find_section(std::string_view section) const;
    // One past the last line that belongs to the section whose header is at `header`.
    std::size_t section_end(std::size_t header) const;

    std::string path_;
    std::vector<std::string> lines_;
    std::string line_end_ = "\n";
    bool existed_ = false;
    bool unreadable_ = false;
    bool byte_order_mark_ = false;
};

// The four profile operations every caller relies on. Reads of a missing file,
// section or key give the default; writes and deletes return false and leave
// the file as it was when they fail.

// The leading decimal number of the stored text (an optional sign, then digits);
// the default when the key is missing or its text does not start with a number.
int profile_read_int(const std::string& file, std::string_view section, std::string_view key, int fallback);
// The stored text without surrounding blanks, cut to size - 1 characters (the
// caller's buffer size), or the default, cut the same way.
std::string profile_read_text(const std::string& file, std::string_view section, std::string_view key,
                              std::string_view fallback, std::size_t size);
bool profile_write_text(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value);
bool profile_delete_section(const std::string& file, std::string_view section);

// Writes `content` to a temporary file beside `target`, flushes it to disk and
// renames it over `target` (creating missing parent folders), keeping the
// permissions of the file it replaces. Returns false and leaves `target`
// untouched on any failure.
bool replace_file_atomically(const std::string& target, const std::string& content);

// The leading decimal number of `text` after blanks, or `fallback` when there is
// none. Values beyond the int range are clamped.
int parse_leading_int(std::string_view text, int fallback);

}  // namespace quoralith
