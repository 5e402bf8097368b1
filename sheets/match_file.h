// The name-matching list of a directory Create: pairs of a Base-side and an
// Updated-side name, built on the Name Matching page and written as a match
// file (one "base  ;   updated" line per pair, each ended by a line feed).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quoralith {

// An entry's text holds at most this many characters.
inline constexpr std::size_t MATCH_ENTRY_MAX = 299;
inline constexpr const char* MATCH_SEPARATOR = "  ;   ";

// The entry of a pair, cut to MATCH_ENTRY_MAX characters.
std::string match_entry_text(std::string_view base_entry, std::string_view updated_entry);

// The entry name of `chosen` inside `directory`: `chosen` without the first
// directory-length characters, or nothing when `chosen` does not begin with
// the text of `directory` (only the leading text is compared, so
// "/data/x" inside "/dat" gives "a/x").
std::optional<std::string> entry_name_inside(std::string_view chosen, std::string_view directory);

// The folder part of a chosen file (the text before its last "/"), or empty
// when there is no "/" after the first character.
std::string folder_of(std::string_view chosen);

// Writes the entries, each followed by a line feed, to a temporary file
// beside `path` and renames it over `path`. Returns false, leaving `path` as
// it was, when that fails.
bool write_match_file(const std::string& path, const std::vector<std::string>& entries);

}  // namespace quoralith
