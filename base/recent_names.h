// The names a user gave lately, kept per kind of name field (the Base, Updated
// and Delta names, the report file) so that every path field can offer them
// again. They live in one profile file of the configuration directory, one
// section per list with keys "1" (the newest) to "8". Toolkit-free, so that
// the job code may add to them too.
//
// Thread safety: each call loads and saves the file; user-interface thread
// only in practice.
#pragma once

#include <string>
#include <vector>

namespace quoralith {

// The file the recent names and the last jobs are kept in (configuration
// directory; see recent_names_file).
inline constexpr const char* RECENT_NAMES_FILE_NAME = "recent-names.ini";
// How many names one list keeps.
inline constexpr int RECENT_NAMES_KEPT = 8;

// The lists.
inline constexpr const char* RECENT_BASE = "Base";
inline constexpr const char* RECENT_UPDATED = "Updated";
inline constexpr const char* RECENT_DELTA = "Delta";
inline constexpr const char* RECENT_REPORT = "Report";

// The file's path: the configuration directory's, or empty when no
// configuration directory is known (nothing is then remembered: the current
// directory is never written).
std::string recent_names_file();

// The names of `list`, newest first.
std::vector<std::string> recent_names(const std::string& list);
// Puts `name` at the head of `list` (moving it there when it is already in
// the list) and keeps RECENT_NAMES_KEPT names. An empty name is not added.
// False when the file could not be written.
bool add_recent_name(const std::string& list, const std::string& name);

}  // namespace quoralith
