// Codes one Base/Updated pair with the compact format's covers, restores it,
// checks the round trip, and prints the payload's size, each stream's size
// before and after compression, the times, and the peak memory.
//   compact_covers_bench BASE UPDATED [LEVEL]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "coder/compact/covers.h"

namespace {

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool varint(const std::vector<std::uint8_t>& b, std::size_t& at, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && at < b.size(); shift += 7) {
        v |= static_cast<std::uint64_t>(b[at] & 0x7F) << shift;
        if (!(b[at++] & 0x80)) return true;
    }
    return false;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quoralith::compact;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BASE UPDATED [LEVEL]\n", argv[0]);
        return 2;
    }
    const std::vector<std::uint8_t> base = read_file(argv[1]);
    const std::vector<std::uint8_t> updated = read_file(argv[2]);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);  // the two inputs, held in memory
    CoverOptions options;
    if (argc > 3) options.level = std::atoi(argv[3]);

    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> payload;
    encode_covers(base, updated, options, payload);
    const double encode_s = seconds_since(t0);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long encode_rss_kib = usage.ru_maxrss;

    t0 = std::chrono::steady_clock::now();
    std::size_t at = 0;
    bool same = true;
    const DecodeStatus status = decode_covers(base, payload, updated.size(), [&](std::span<const std::uint8_t> piece) {
        if (piece.size() > updated.size() - at || !std::equal(piece.begin(), piece.end(), updated.begin() + at))
            same = false;
        at += piece.size();
        return true;
    });
    const double decode_s = seconds_since(t0);
    const bool ok = status == DecodeStatus::ok && same && at == updated.size();

    // The header: methods, control and diff raw sizes, packed sizes of the
    // compressed ones; the new bytes take the rest.
    static const char* const kMethod[] = {"stored", "zstd", "xz", "zeros"};
    std::size_t h = 1;
    std::uint64_t control_raw = 0, diff_raw = 0, control_packed = 0, diff_packed = 0;
    varint(payload, h, control_raw);
    varint(payload, h, diff_raw);
    std::uint64_t fresh_raw = 0;
    varint(payload, h, fresh_raw);
    const int mc = payload[0] & 3, md = payload[0] >> 2 & 3, mf = payload[0] >> 4 & 3;
    control_packed = mc == 0 ? control_raw : 0;
    diff_packed = md == 0 ? diff_raw : 0;
    if (mc == 1 || mc == 2) varint(payload, h, control_packed);
    if (md == 1 || md == 2) varint(payload, h, diff_packed);
    if (payload[0] & 0x40) {
        std::printf("payload %zu bytes (header %zu + check 4, streams joined, %s)  encode %.3f s  decode %.3f s  peak RSS %.1f MiB  %s\n",
                    payload.size(), h, kMethod[payload[0] & 3], encode_s, decode_s, encode_rss_kib / 1024.0,
                    ok ? "ok" : "ROUND TRIP FAILED");
        return ok ? 0 : 1;
    }
    const std::uint64_t fresh_packed = payload.size() - 4 - h - control_packed - diff_packed;
    std::printf("payload %zu bytes (header %zu + check 4)  encode %.3f s  decode %.3f s  peak RSS %.1f MiB (inputs %.1f)  %s\n",
                payload.size(), h, encode_s, decode_s, encode_rss_kib / 1024.0, before.ru_maxrss / 1024.0,
                ok ? "ok" : "ROUND TRIP FAILED");
    std::printf("  control %10llu -> %8llu (%s)\n", static_cast<unsigned long long>(control_raw),
                static_cast<unsigned long long>(control_packed), kMethod[mc]);
    std::printf("  diff    %10llu -> %8llu (%s)\n", static_cast<unsigned long long>(diff_raw),
                static_cast<unsigned long long>(diff_packed), kMethod[md]);
    std::printf("  new     %10llu -> %8llu (%s)\n", static_cast<unsigned long long>(fresh_raw),
                static_cast<unsigned long long>(fresh_packed), kMethod[mf]);
    return ok ? 0 : 1;
}
