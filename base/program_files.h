// Where the program's side files live: the options file, the history files, the
// help pages, the pictures and the sound. A side file is looked for in the
// current directory, then in the user's configuration directory, then in the
// program's data directory, and the first readable one wins.
//
// Thread safety: the data-directory override is process-wide; set it once at
// start-up (the desktop program, the command line and tests do) before any
// look-up runs.
#pragma once

#include <string>

namespace quoralith {

// Result codes of locate_program_file: 1 to 3 name a readable file found in
// that place; 4 to 6 mean nothing was found and the output holds the first
// candidate that was built; 0 means no candidate could be built.
enum ProgramFilePlace : int {
    PLACE_NONE = 0,
    PLACE_CURRENT_DIR = 1,
    PLACE_CONFIG_DIR = 2,
    PLACE_DATA_DIR = 3,
    PLACE_FALLBACK_CURRENT_DIR = 4,
    PLACE_FALLBACK_CONFIG_DIR = 5,
    PLACE_FALLBACK_DATA_DIR = 6,
};

inline bool place_found(int place) { return place >= PLACE_CURRENT_DIR && place <= PLACE_DATA_DIR; }

// The user's configuration directory: $XDG_CONFIG_HOME/quoralith when that
// variable holds an absolute path, else ~/.config/quoralith. Empty when no home
// directory is known. The directory is not created here.
std::string config_directory();

// The home directory the password file at `passwd_path` gives user `uid`;
// empty when it names none. (The home directory is HOME when that is set.)
std::string passwd_home(const char* passwd_path, unsigned uid);

// The program's read-only data directory: the override when one is set, else
// <folder of the executable>/../share/quoralith (which serves an installed
// program and a build tree that stages its data the same way).
std::string program_data_directory();
// Overrides the data directory; an empty text goes back to the default.
void set_program_data_directory(const std::string& directory);

// Finds `file_name`. `subdirectory` (null skips the current and data
// directories; empty is the usual value) is put in front of the name in those
// two places; `try_config_dir` enables the configuration directory. `out`
// receives the found path or the fallback candidate; returns a ProgramFilePlace.
int locate_program_file(const char* subdirectory, bool try_config_dir, const std::string& file_name,
                        std::string& out);

// The history files' rule: a readable file found by locate_program_file in the
// current or the configuration directory is used where it is; otherwise the file belongs in the configuration directory,
// where the first write creates it. Empty only when no configuration
// directory is known and nothing was found (the current directory is used).
std::string locate_history_file(const std::string& file_name);

}  // namespace quoralith
