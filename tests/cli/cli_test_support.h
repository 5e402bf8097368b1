// What the command line's tests share: running the program in a scratch
// folder and looking at the trees it leaves.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

#include "support/test_support.h"

namespace quoralith::test {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// `text` as one word of a POSIX shell.
inline std::string quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the program with `arguments` (shell words) in `folder`, its input
// empty. A non-zero `timeout_seconds` ends a run that would wait for ever
// (status 124), so that a fault fails the test instead of hanging the suite.
inline Outcome run_cli(const std::filesystem::path& folder, const std::string& arguments, int timeout_seconds = 0) {
    const std::string out = (folder / "stdout.txt").string(), err = (folder / "stderr.txt").string();
    const std::string limit = timeout_seconds > 0 ? "timeout " + std::to_string(timeout_seconds) + " " : "";
    const std::string command = "cd " + quoted(folder.string()) + " && " + limit + quoted(QUORALITH_CLI) + " " +
                                arguments + " >" + quoted(out) + " 2>" + quoted(err) + " </dev/null";
    const int raw = std::system(command.c_str());
    const Bytes o = read_file(out), e = read_file(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(o.begin(), o.end()), std::string(e.begin(), e.end())};
}

// The two releases the tree tests start from, in old/ and new/ below `dir`:
// main.js with one byte changed, lib/gone.js only in the old one, and an
// empty lib/ in the new one for each test's own additions.
inline void write_two_releases(const ScratchDir& dir) {
    for (const char* d : {"old/lib", "new/lib"}) std::filesystem::create_directories(dir.file(d));
    Bytes text = text_like(60000, 3);
    write_file(dir.file("old/main.js"), text);
    text[100] ^= 1;
    write_file(dir.file("new/main.js"), text);
    write_file(dir.file("old/lib/gone.js"), text_like(500, 4));
}

// The bytes of every file below `root`, by relative name.
inline std::map<std::string, Bytes> files_below(const std::filesystem::path& root) {
    std::map<std::string, Bytes> tree;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it)
        if (it->is_regular_file()) tree[it->path().lexically_relative(root).string()] = read_file(it->path().string());
    return tree;
}

// The bytes and permission bits of every file below `root`.
inline std::map<std::string, std::pair<Bytes, mode_t>> files_and_modes_below(const std::filesystem::path& root) {
    std::map<std::string, std::pair<Bytes, mode_t>> tree;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file()) continue;
        struct stat st {};
        stat(it->path().c_str(), &st);
        tree[it->path().lexically_relative(root).string()] = {read_file(it->path().string()), st.st_mode & 0777};
    }
    return tree;
}

// Whether a temporary of ours lies anywhere below `dir`. The program may be
// renaming or removing entries while this looks, so a vanished entry is
// passed over rather than thrown.
inline bool has_temporary(const std::filesystem::path& dir) {
    std::error_code ec;
    auto it = std::filesystem::recursive_directory_iterator(dir, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->path().filename().string().rfind(".qrlth-", 0) == 0) return true;
    return false;
}

// What terminate_when gives back besides an exit status.
constexpr int kEndedTooSoon = -1;     // the run ended before it could be terminated
constexpr int kNotStarted = -2;       // the program could not be started
constexpr int kNoCleanExit = -3;      // it did not exit by itself (a signal killed it)

// Starts the program with `arguments` (its own words, no shell), its errors
// discarded; once `ready` says so (asked every 5 ms for at most 10 s) sends it
// SIGTERM, and returns its exit status or one of the values above.
inline int terminate_when(const std::vector<std::string>& arguments, const std::function<bool()>& ready) {
    std::vector<std::string> words = {QUORALITH_CLI};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, words[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return kNotStarted;
    for (int i = 0; i < 2000 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return kEndedTooSoon;
    kill(child, SIGTERM);
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return kNoCleanExit;
    return WEXITSTATUS(status);
}

}  // namespace quoralith::test
