// Parsing the options that several subcommands share.
#include <cstdio>

#include "cli/cli.h"
#include "engine/printable.h"

namespace quoralith::cli {

// Error lines carry names from file systems and archives: their control
// characters are shown escaped, never sent to the terminal.
void print_error(const std::string& what) {
    std::fprintf(stderr, "quoralith: %s\n", printable_name(what).c_str());
}

namespace {

int parse_algorithm_number(const std::string& text, const std::string& list) {
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
        throw CLI::ValidationError("--algorithms", "'" + list + "' is not a list of algorithms 0 to 15");
    const int number = std::stoi(text);
    if (number > 15) throw CLI::ValidationError("--algorithms", "algorithm " + text + " does not exist (0 to 15)");
    return number;
}

}  // namespace

AlgorithmMask parse_algorithm_list(const std::string& list) {
    unsigned mask = 0;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string item = list.substr(start, end - start);
        const std::size_t dash = item.find('-');
        if (dash == std::string::npos) {
            mask |= 1u << parse_algorithm_number(item, list);
        } else {
            const int low = parse_algorithm_number(item.substr(0, dash), list);
            const int high = parse_algorithm_number(item.substr(dash + 1), list);
            if (low > high) throw CLI::ValidationError("--algorithms", "'" + item + "' is an empty range");
            for (int a = low; a <= high; ++a) mask |= 1u << a;
        }
        start = end + 1;
    }
    return static_cast<AlgorithmMask>(mask);
}

void add_fail_option(CLI::App& command, std::string& choice) {
    command.add_option("--fail", choice, "What to do when a file fails: copy the base file, skip it, or stop")
        ->check(CLI::IsMember({"copy", "skip", "stop"}))
        ->default_str("skip");
}

EngineFlags fail_flags(const std::string& choice) {
    if (choice == "copy") return EF_FAIL_COPY;
    if (choice == "stop") return EF_FAIL_STOP;
    return EF_FAIL_SKIP;
}

}  // namespace quoralith::cli
