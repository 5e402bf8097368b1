// Where the bytes of a deep delta go: makes the deep delta of each pair given
// and prints the control stream's bits by kind and the literal stream before
// and after the packer, beside the delta's size and, when given, the size of
// another tool's delta of the same pair.
//
//   deep_bits BASE UPDATED [OTHER_SIZE [LABEL]] ...   (groups of 2 to 4 arguments, '--' between groups)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "coder/coder.h"
#include "coder/deep.h"

namespace {

using namespace quoralith;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

double bytes_of_bits(std::int64_t bits) { return static_cast<double>(bits) / 8.0; }

int report(const std::string& base_path, const std::string& updated_path, long other, const std::string& label) {
    File base(std::fopen(base_path.c_str(), "rb"));
    File updated(std::fopen(updated_path.c_str(), "rb"));
    File delta(std::tmpfile());
    if (!base || !updated || !delta) {
        std::fprintf(stderr, "cannot open %s or %s\n", base_path.c_str(), updated_path.c_str());
        return 1;
    }
    StreamWindow b{base.get()}, u{updated.get()}, d{delta.get(), 0, 0, 0};
    // The short check, as the command line writes by default.
    TrailerRecord trailer;
    trailer.set_check_length(static_cast<std::int16_t>(kCheckShort));
    DeepBits bits;
    DeepOptions options;
    options.bits = &bits;
    const ProgressCallback go_on = [](const ProgressRecord&) -> std::int16_t { return ANSWER_SKIP; };
    const auto started = std::chrono::steady_clock::now();
    const int length = coder_create_deep(&b, &u, &d, go_on, trailer, nullptr, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (length < 0) {
        std::fprintf(stderr, "deep create failed: %d\n", length);
        return 1;
    }
    std::printf("%s: deep %d bytes (algorithm %d, %.2f s)", updated_path.c_str(), length, bits.algorithm, seconds);
    if (other > 0) std::printf("; %s %ld bytes (deep is %+.1f%%)", label.c_str(), other, 100.0 * (length - other) / other);
    std::printf("\n");
    if (!bits.matched) {
        std::printf("  stored or packed Updated'\n");
        return 0;
    }
    const std::int64_t fixed = length - bits.control - bits.literals_out;
    std::printf("  records %lld positioned, %lld relative; %lld substitutions (%lld bytes); %lld bytes copied\n",
                static_cast<long long>(bits.positioned), static_cast<long long>(bits.relative),
                static_cast<long long>(bits.substitutions), static_cast<long long>(bits.substituted),
                static_cast<long long>(bits.copied));
    struct Row {
        const char* what;
        std::int64_t bits;
    } rows[] = {{"record flags", bits.flag_bits},
                {"literal-length codes", bits.literal_length_bits},
                {"positions (B bits)", bits.position_bits},
                {"relative advances", bits.advance_bits},
                {"substitution counts", bits.count_bits},
                {"equal-run lengths", bits.equal_bits},
                {"substitution flags", bits.substitution_flag_bits},
                {"end record", bits.tail_bits}};
    for (const Row& row : rows)
        std::printf("  %-22s %12.0f bytes %5.1f%%\n", row.what, bytes_of_bits(row.bits),
                    100.0 * bytes_of_bits(row.bits) / length);
    std::printf("  %-22s %12lld bytes %5.1f%%\n", "control stream", static_cast<long long>(bits.control),
                100.0 * static_cast<double>(bits.control) / length);
    std::printf("  %-22s %12lld bytes -> %lld packed (%.2f bits a byte) %5.1f%%\n", "literal stream",
                static_cast<long long>(bits.literals), static_cast<long long>(bits.literals_out),
                8.0 * static_cast<double>(bits.literals_out) / static_cast<double>(bits.literals),
                100.0 * static_cast<double>(bits.literals_out) / length);
    std::printf("  %-22s %12lld bytes %5.1f%%\n", "header, check, trailer", static_cast<long long>(fixed),
                100.0 * static_cast<double>(fixed) / length);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::vector<std::string>> groups(1);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            groups.emplace_back();
        } else {
            groups.back().push_back(argv[i]);
        }
    }
    int rc = 0;
    for (const auto& g : groups) {
        if (g.size() < 2 || g.size() > 4) {
            std::fprintf(stderr, "usage: deep_bits BASE UPDATED [OTHER_SIZE [LABEL]] [-- ...]\n");
            return 2;
        }
        rc |= report(g[0], g[1], g.size() > 2 ? std::atol(g[2].c_str()) : 0, g.size() > 3 ? g[3] : "peer");
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return rc;
}
