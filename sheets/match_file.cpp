// Match-file entries and the match file.
#include "sheets/match_file.h"

#include "base/profile_file.h"

namespace quoralith {

std::string match_entry_text(std::string_view base_entry, std::string_view updated_entry) {
    std::string text;
    text.reserve(base_entry.size() + updated_entry.size() + 6);
    text.append(base_entry).append(MATCH_SEPARATOR).append(updated_entry);
    if (text.size() > MATCH_ENTRY_MAX) text.resize(MATCH_ENTRY_MAX);
    return text;
}

std::optional<std::string> entry_name_inside(std::string_view chosen, std::string_view directory) {
    if (chosen.substr(0, directory.size()) != directory) return std::nullopt;
    return std::string(chosen.substr(directory.size()));
}

std::string folder_of(std::string_view chosen) {
    std::size_t slash = chosen.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return {};
    return std::string(chosen.substr(0, slash));
}

bool write_match_file(const std::string& path, const std::vector<std::string>& entries) {
    std::string content;
    for (const std::string& entry : entries) content.append(entry).push_back('\n');
    return replace_file_atomically(path, content);
}

}  // namespace quoralith
