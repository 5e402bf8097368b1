// The recent-names lists in their profile file.
#include "base/recent_names.h"

#include "base/profile_file.h"
#include "base/program_files.h"

#include <algorithm>

namespace quoralith {

std::string recent_names_file() {
    const std::string config = config_directory();
    if (config.empty()) return {};
    return config.back() == '/' ? config + RECENT_NAMES_FILE_NAME : config + "/" + RECENT_NAMES_FILE_NAME;
}

namespace {

std::vector<std::string> read_list(const ProfileFile& file, const std::string& list) {
    std::vector<std::string> names;
    for (int i = 1; i <= RECENT_NAMES_KEPT; ++i) {
        std::string value;
        if (file.get(list, std::to_string(i), value) && !value.empty() &&
            std::find(names.begin(), names.end(), value) == names.end())
            names.push_back(value);
    }
    return names;
}

}  // namespace

std::vector<std::string> recent_names(const std::string& list) {
    const std::string path = recent_names_file();
    if (path.empty()) return {};
    return read_list(ProfileFile(path), list);
}

bool add_recent_name(const std::string& list, const std::string& name) {
    const std::string path = recent_names_file();
    // A name with a line break cannot be kept on one line of the file.
    if (path.empty() || name.empty() || name.find_first_of("\r\n") != std::string::npos) return false;
    ProfileFile file(path);
    std::vector<std::string> names = read_list(file, list);
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
    names.insert(names.begin(), name);
    if (names.size() > std::size_t(RECENT_NAMES_KEPT)) names.resize(std::size_t(RECENT_NAMES_KEPT));
    // The section is written anew so that no stale key outlives a shorter list.
    file.remove_section(list);
    bool ok = true;
    for (std::size_t i = 0; i < names.size(); ++i) ok = file.set(list, std::to_string(i + 1), names[i]) && ok;
    return ok && file.save();
}

}  // namespace quoralith
