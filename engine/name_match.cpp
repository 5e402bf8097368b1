// Reading a name-matching file: lines "base-side name;updated-side name".
#include <cstring>

#include "engine/engine.h"

namespace quoralith {

NameMatchList read_name_match_list(std::FILE* file) {
    constexpr int kMaxEntries = 50;
    NameMatchList list;
    if (!file) return list;
    char line[256];
    // A 256-byte buffer splits longer lines into several entries, as a reader
    // of fixed-size lines does; the file format was written with that in mind.
    while (static_cast<int>(list.size()) < kMaxEntries && std::fgets(line, sizeof line, file)) {
        std::size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
        // Files written on other systems end lines with CR LF.
        if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
        NameMatchEntry entry;
        if (length > 0) {
            entry.empty = false;
            std::string text(line, length);
            const std::size_t separator = text.find(';');
            if (separator == std::string::npos) {
                entry.first = text;
            } else {
                entry.first = text.substr(0, separator);
                entry.second = text.substr(separator + 1);
            }
        }
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace quoralith
