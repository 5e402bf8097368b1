// Throughput of the block packer, the run-length form and the create and
// restore drivers on generated data, in MB/s (bytes processed), with the peak
// resident memory of the whole run printed at the end: memory must stay
// bounded whatever the file size.
//
//   quoralith_bench [--benchmark_filter=Restore] [google benchmark flags]
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "coder/coder.h"
#include "coder/packer.h"
#include "coder/runlength.h"

namespace {

using namespace quoralith;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

double peak_mebibytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// Text-like content: words from a small vocabulary, so that it packs and matches.
std::vector<std::uint8_t> text_data(std::size_t size, std::uint32_t seed) {
    static const char* words[] = {"delta ", "base ", "update ", "the ", "file ", "block ", "run ", "match\n",
                                  "copy ", "of ", "and ", "0123 ", "{ ", "} ", "restore ", "window "};
    std::mt19937 random(seed);
    std::vector<std::uint8_t> data;
    data.reserve(size);
    while (data.size() < size) {
        for (const char* p = words[random() % 16]; *p && data.size() < size; ++p)
            data.push_back(static_cast<std::uint8_t>(*p));
    }
    return data;
}

// Mostly periodic content, as the run-length form meets in images and tables.
std::vector<std::uint8_t> run_data(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> data;
    data.reserve(size);
    while (data.size() < size) {
        const std::size_t period = std::vector<std::size_t>{1, 2, 3, 4, 6, 12}[random() % 6];
        const std::size_t repeat = 20 + random() % 400;
        std::uint8_t pattern[12];
        for (auto& b : pattern) b = static_cast<std::uint8_t>(random());
        for (std::size_t i = 0; i < period * repeat && data.size() < size; ++i) data.push_back(pattern[i % period]);
        for (std::size_t i = random() % 64; i > 0 && data.size() < size; --i)
            data.push_back(static_cast<std::uint8_t>(random()));
    }
    return data;
}

// An Updated made from Base by scattered edits, an insertion and a deletion.
std::vector<std::uint8_t> edited(std::vector<std::uint8_t> data, std::uint32_t seed) {
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < data.size() / 20000 + 1; ++i) data[random() % data.size()] ^= 0x5A;
    const std::size_t at = data.size() / 3;
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), 4096, 'i');
    data.erase(data.begin() + static_cast<std::ptrdiff_t>(2 * data.size() / 3),
               data.begin() + static_cast<std::ptrdiff_t>(2 * data.size() / 3 + 2048));
    return data;
}

File file_with(const std::vector<std::uint8_t>& data) {
    File file(std::tmpfile());
    if (!file) std::abort();
    std::fwrite(data.data(), 1, data.size(), file.get());
    std::fflush(file.get());
    std::rewind(file.get());
    return file;
}

void finish(benchmark::State& state, std::int64_t bytes_per_iteration) {
    state.SetBytesProcessed(state.iterations() * bytes_per_iteration);
    state.counters["peak_MiB"] = peak_mebibytes();
}

void BM_Pack(benchmark::State& state) {
    const auto data = text_data(static_cast<std::size_t>(state.range(0)), 1);
    File in = file_with(data);
    for (auto _ : state) {
        File out(std::tmpfile());
        Channel source = Channel::of_file(in.get());
        Channel sink = Channel::of_file(out.get());
        benchmark::DoNotOptimize(pack_stream(source, static_cast<std::int64_t>(data.size()), 30000, sink));
    }
    finish(state, state.range(0));
}
BENCHMARK(BM_Pack)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

void BM_Unpack(benchmark::State& state) {
    const auto data = text_data(static_cast<std::size_t>(state.range(0)), 2);
    File in = file_with(data);
    File packed(std::tmpfile());
    Channel source = Channel::of_file(in.get());
    Channel sink = Channel::of_file(packed.get());
    const std::int64_t packed_length = pack_stream(source, static_cast<std::int64_t>(data.size()), 30000, sink);
    if (packed_length <= 0) {
        state.SkipWithError("the data did not pack");
        return;
    }
    for (auto _ : state) {
        File out(std::tmpfile());
        Channel form = Channel::of_file(packed.get());
        Channel result = Channel::of_file(out.get());
        benchmark::DoNotOptimize(unpack_stream(form, 0, packed_length, 30000, result));
    }
    finish(state, state.range(0));
}
BENCHMARK(BM_Unpack)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

void BM_RunLengthEncode(benchmark::State& state) {
    const auto data = run_data(static_cast<std::size_t>(state.range(0)), 3);
    File in = file_with(data);
    for (auto _ : state) {
        File out(std::tmpfile());
        Channel source = Channel::of_file(in.get());
        Channel sink = Channel::of_file(out.get());
        benchmark::DoNotOptimize(runlength_encode(source, static_cast<std::int64_t>(data.size()), 36, sink));
    }
    finish(state, state.range(0));
}
BENCHMARK(BM_RunLengthEncode)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_RunLengthDecode(benchmark::State& state) {
    const auto data = run_data(static_cast<std::size_t>(state.range(0)), 4);
    File in = file_with(data);
    File form(std::tmpfile());
    Channel source = Channel::of_file(in.get());
    Channel sink = Channel::of_file(form.get());
    const std::int64_t form_length = runlength_encode(source, static_cast<std::int64_t>(data.size()), 36, sink);
    for (auto _ : state) {
        File out(std::tmpfile());
        Channel encoded = Channel::of_file(form.get());
        Channel result = Channel::of_file(out.get());
        benchmark::DoNotOptimize(runlength_decode(encoded, form_length, 36, result));
    }
    finish(state, state.range(0));
}
BENCHMARK(BM_RunLengthDecode)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

const ProgressCallback kGoOn = [](const ProgressRecord&) -> std::int16_t { return ANSWER_SKIP; };

// Create with one algorithm (the argument pair: size, algorithm).
void BM_Create(benchmark::State& state) {
    const auto base_data = text_data(static_cast<std::size_t>(state.range(0)), 5);
    const auto updated_data = edited(base_data, 6);
    File base = file_with(base_data);
    File updated = file_with(updated_data);
    TrailerRecord trailer;
    trailer.set_check_length(kCheckShort);
    int delta_length = 0;
    for (auto _ : state) {
        File delta(std::tmpfile());
        StreamWindow b{base.get()}, u{updated.get()}, d{delta.get(), 0, 0, 0};
        delta_length = coder_create(&b, &u, &d, static_cast<int>(state.range(1)), kGoOn, trailer);
    }
    state.counters["delta_bytes"] = delta_length;
    finish(state, static_cast<std::int64_t>(updated_data.size()));
}
BENCHMARK(BM_Create)
    ->ArgsProduct({{16 << 20}, {0, 1, 2, 3, 4, 5, 6, 7}})
    ->Unit(benchmark::kMillisecond);

// Restore (size, algorithm, and 1 for a delta with the record of Updated's
// digest, which the restore then verifies as it writes).
void BM_Restore(benchmark::State& state) {
    const auto base_data = text_data(static_cast<std::size_t>(state.range(0)), 7);
    const auto updated_data = edited(base_data, 8);
    File base = file_with(base_data);
    File updated = file_with(updated_data);
    File delta(std::tmpfile());
    TrailerRecord trailer;
    trailer.set_check_length(kCheckShort);
    if (state.range(2)) write_updated_record(trailer, {0644, digest_of_bytes(updated_data.data(), updated_data.size())});
    {
        StreamWindow b{base.get()}, u{updated.get()}, d{delta.get(), 0, 0, 0};
        if (coder_create(&b, &u, &d, static_cast<int>(state.range(1)), kGoOn, trailer) < 0) {
            state.SkipWithError("create failed");
            return;
        }
    }
    for (auto _ : state) {
        File out(std::tmpfile());
        TrailerRecord read_back;
        StreamWindow b{base.get()}, d{delta.get()}, o{out.get(), 0, 0, 0};
        benchmark::DoNotOptimize(coder_restore(&b, &d, &o, kGoOn, &read_back));
    }
    finish(state, static_cast<std::int64_t>(updated_data.size()));
}
BENCHMARK(BM_Restore)->ArgsProduct({{16 << 20}, {0, 7}, {0, 1}})->Unit(benchmark::kMillisecond);

// The content digest alone, over bytes in memory.
void BM_ContentDigest(benchmark::State& state) {
    const auto data = text_data(static_cast<std::size_t>(state.range(0)), 9);
    for (auto _ : state) benchmark::DoNotOptimize(digest_of_bytes(data.data(), data.size()));
    finish(state, static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_ContentDigest)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("peak resident memory of the run: %.1f MiB\n", peak_mebibytes());
    return 0;
}
