// The algorithm 0 encoder: Base' in overlapping chunks, each indexed by the 20
// bytes at every offset, Updated' matched slice by slice against them with long
// (20-byte) lookups at every 10th position and short (5-byte) ones in between.
// The delta is a deterministic function of Base, Updated and the algorithm, so
// every shortcut of its stages (bucketed sort, word-wide comparison, sliding
// caches) gives exactly what the plain byte-by-byte procedure gives.
//
// This file holds the encoder's driver: reading Updated', the threads that
// index and search chunks ahead, and writing the records. The chunk index
// (chunk_index.h) and the search over it (algorithm0_search.h) are its stages.
#include "coder/algorithm0.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "coder/algorithm0_keys.h"
#include "coder/algorithm0_search.h"
#include "coder/chunk_index.h"
#include "coder/coder.h"

namespace quoralith {

using namespace alg0;

namespace {

constexpr std::int64_t kMinWindow = 200;
constexpr std::int64_t kMaxWindow = 1500000;
// Chunks shorter than this are indexed by the encoder's own thread.
constexpr std::int64_t kThreadedIndex = 1 << 16;
// A search ahead of a chunk copies its slice of Updated' and this much
// beyond it, for matches that run past the slice end (within the limits of
// Algorithm0Limits).
constexpr std::int64_t kStretchMargin = 1 << 20;
// Chunks searched at once, each on a thread of its own.
constexpr std::size_t kTasks = 2;

// Whether the match coding kept under U, or the small path must take over.
enum class Outcome { kMatched, kAbandoned };

// Sequential reads of Updated' through one large buffer. Every access of the
// encoder lies at or after the position up to which records exist, which only
// grows, so a window that slides forward and keeps a margin behind it serves
// nearly every request without a read.
class UpdatedReader {
public:
    UpdatedReader(Channel channel, std::int64_t length, std::int64_t capacity, std::int64_t margin)
        : channel_(channel), length_(length), buffer_(static_cast<std::size_t>(capacity)), margin_(margin) {}

    // Bytes [position, position + count); valid until the next call.
    const std::uint8_t* view(std::int64_t position, std::int64_t count) {
        if (position >= lo_ && position + count <= hi_) return buffer_.data() + (position - lo_);
        return reload(position, count);
    }

private:
    const std::uint8_t* reload(std::int64_t position, std::int64_t count) {
        if (position < 0 || count < 0 || position + count > length_) throw TransferFailure{ERR_MALFORMED};
        const std::int64_t capacity = static_cast<std::int64_t>(buffer_.size());
        if (count + margin_ > capacity) throw TransferFailure{ERR_MALFORMED};
        std::int64_t new_lo;
        if (hi_ > lo_ && position >= lo_) {
            new_lo = std::max(lo_, position - margin_);  // moving forward: keep a margin behind
        } else {
            new_lo = std::max<std::int64_t>(0, position + count + margin_ - capacity);  // moving back
        }
        const std::int64_t new_hi = std::min(length_, new_lo + capacity);
        std::int64_t read_from = new_lo;
        if (new_lo >= lo_ && new_lo < hi_) {
            std::memmove(buffer_.data(), buffer_.data() + (new_lo - lo_), static_cast<std::size_t>(hi_ - new_lo));
            read_from = hi_;
        }
        const std::int64_t want = new_hi - read_from;
        lo_ = hi_ = 0;
        if (want > 0) {
            std::int64_t got = channel_.read_at(read_from, buffer_.data() + (read_from - new_lo), want);
            if (got < 0) throw TransferFailure{static_cast<int>(got)};
            if (got != want) throw TransferFailure{ERR_READ_FAILED};  // shorter than its stated length
        }
        lo_ = new_lo;
        hi_ = new_hi;
        return buffer_.data() + (position - lo_);
    }

    Channel channel_;
    std::int64_t length_;
    Array<std::uint8_t> buffer_;
    std::int64_t margin_;
    std::int64_t lo_ = 0;
    std::int64_t hi_ = 0;
};

// Buffer sizes that depend on the Updated length (untransformed).
struct BufferSizes {
    std::int64_t literal;
    std::int64_t second_literal;
    std::int64_t control;
    std::int64_t packer;

    explicit BufferSizes(std::int64_t updated_length) {
        const bool small = updated_length <= 200;
        literal = small ? 200 : std::min<std::int64_t>(updated_length, 0xFFFC);
        second_literal = small ? 200 : std::min<std::int64_t>(updated_length, 40000);
        control = small ? 200 : std::min<std::int64_t>(updated_length, 20000);
        const std::int64_t v = std::min<std::int64_t>(literal, 8192);
        const std::int64_t w = std::max<std::int64_t>(v + 2 * (v + v / 4) + 2, 2048);
        packer = w + 5 * v + 6;
    }
    std::int64_t working_buffer(std::int64_t window) const {
        const std::int64_t width = window < 0x10000 ? 2 : 3;
        return std::max(literal + control + second_literal + window * (width + 1) + 2, packer);
    }
};

// A search of a chunk made ahead, on another thread, while the encoder writes
// the records of the chunks before it. It cannot know where those records will
// end (a match often runs past its slice end), so it starts at the slice start
// and records what it finds, with the points where each loop of match_slice
// began an iteration. The records from r on are a function of r, the loop and
// the chunk alone, so when the encoder, starting from where it really is,
// reaches one of those points, the rest of the slice is already known and is
// replayed: the delta is exactly the one a single thread makes.
struct Speculation {
    struct Op {
        std::int64_t r;
        std::int64_t m0;
        Match m;
        bool matched;
        bool checked;  // the abandon rule is applied after this record
    };
    struct Point {
        std::int64_t r;
        Phase phase;
        std::size_t op;  // the first record made from there
    };
    Scratch<std::uint8_t> stretch;  // holds Updated' [lo, hi) at `bytes`
    const std::uint8_t* bytes = nullptr;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    std::vector<Op> ops;
    std::vector<Point> points;  // in the order met, so r does not decrease
    std::int64_t end = -1;      // where its records end; -1 when it was given up
    bool indexed = false;       // the chunk's index was built
    const std::atomic<bool>* cancel = nullptr;
    std::atomic<std::int64_t>* reached = nullptr;  // the last point's r, for other threads
    std::size_t max_ops = 0;

    // The Source of its search.
    const std::uint8_t* view(std::int64_t position, std::int64_t count) const {
        if (position < lo || position + count > hi) throw GiveUp{};
        return bytes + (position - lo);
    }
    void poll() const {
        if (cancel->load(std::memory_order_relaxed)) throw GiveUp{};
    }

    // Its Sink.
    std::int64_t resume(Phase phase, std::int64_t r) {
        points.push_back({r, phase, ops.size()});
        reached->store(r, std::memory_order_relaxed);
        return kUnknown;
    }
    void record(std::int64_t r, std::int64_t m0, const Match* m) {
        if (ops.size() >= max_ops) throw GiveUp{};
        ops.push_back({r, m0, m ? *m : Match{}, m != nullptr, false});
    }
    bool abandons() {
        ops.back().checked = true;
        return false;
    }

    // The first record made from `r` in `phase`, when the search met that point.
    const Point* find(Phase phase, std::int64_t r) const {
        auto it = std::lower_bound(points.begin(), points.end(), r,
                                   [](const Point& point, std::int64_t v) { return point.r < v; });
        for (; it != points.end() && it->r == r; ++it)
            if (it->phase == phase) return &*it;
        return nullptr;
    }
};

// A thread that is waited for when its holder goes, on every path.
struct JoinedThread {
    std::thread thread;
    JoinedThread() = default;
    JoinedThread(JoinedThread&&) = default;
    JoinedThread& operator=(JoinedThread&& other) {
        join();
        thread = std::move(other.thread);
        return *this;
    }
    ~JoinedThread() { join(); }
    void join() {
        if (thread.joinable()) thread.join();
    }
    bool running() const { return thread.joinable(); }
};

// Chunk 0 of Base', read and set to be indexed on a thread of its own as soon
// as Base' exists, so that the index is built while Updated is transformed.
struct FirstIndex {
    std::int64_t window = 0;
    std::unique_ptr<ChunkIndex> index;  // set exactly when `builder` runs
    JoinedThread builder;

    void start(CreateJob& job, std::int64_t w) {
        if (job.n < kMinWindow) return;  // too short to be match coded
        // A small chunk is indexed in less time than a thread takes to start;
        // the encoder indexes it itself.
        if (std::min(w, job.n) < kThreadedIndex) return;
        try {
            const std::int64_t length = std::min(w, job.n);  // the encoder's window, W'
            auto chunk = std::make_unique<ChunkIndex>(length);
            // A failed read is left to the encoder, which reads the chunk again.
            if (job.base_prime.read_exact_at(0, chunk->prepare(length), length) < 0) return;
            builder.thread = std::thread([ix = chunk.get()] { ix->build_index(); });
            index = std::move(chunk);
            window = length;
        } catch (const std::bad_alloc&) {
        } catch (const std::system_error&) {
        }
    }
    // Hands the index over when it was made for this window; the builder goes with it.
    std::unique_ptr<ChunkIndex> take(std::int64_t w, JoinedThread& to) {
        if (!index || window != w) return nullptr;
        to = std::move(builder);
        return std::move(index);
    }
};

class Encoder {
public:
    Encoder(CreateJob& job, const ChunkGeometry& geometry, const Algorithm0Limits& limits, ControlWriter& control,
            BufferedWriter& literals, UpdatedReader& updated, FirstIndex& first)
        : job_(job), geometry_(geometry), limits_(limits), control_(control), literals_(literals), updated_(updated),
          position_bits_(bit_length_min1(static_cast<std::uint64_t>(geometry.window - 1))),
          together_(geometry.count > 1 && limits.search_ahead && std::thread::hardware_concurrency() != 1) {
        if (!together_) {
            alone_ = first.take(geometry.window, alone_builder_);
            if (!alone_) alone_ = std::make_unique<ChunkIndex>(geometry.window);
            return;
        }
        for (Task& task : tasks_) {
            task.index = &task == &tasks_[0] ? first.take(geometry.window, task.builder) : nullptr;
            if (!task.index) task.index = std::make_unique<ChunkIndex>(geometry.window);
            task.ahead.cancel = &task.cancel;
            task.ahead.reached = &task.reached;
            task.ahead.max_ops = static_cast<std::size_t>(std::max<std::int64_t>(limits.ahead_records, 0));
        }
    }

    Outcome run() {
        const std::int64_t u = geometry_.u;
        std::int64_t r = 0;
        std::int64_t c = 0;
        std::int64_t next = 0;  // the next chunk to hand to a task
        for (;;) {
            const std::int64_t e = geometry_.slice_end(c);
            Source source{updated_, job_.context};
            std::int64_t end;
            if (!together_) {
                if (alone_builder_.running()) {
                    alone_builder_.join();  // chunk 0, read and indexed already
                } else {
                    load_chunk(*alone_, c);
                    alone_->build_index();
                }
                ix_ = alone_.get();
                Searcher<Source> search(source, *alone_);
                Writer sink{*this};
                end = match_slice(search, sink, r, e, u);
            } else {
                // Both tasks search the chunks that come next while this thread
                // writes the records of chunk c from what its task found.
                for (Task& task : tasks_)
                    if (task.chunk >= 0 && task.chunk < c) discard(task);
                next = std::max(next, c);
                for (Task& task : tasks_) {
                    if (task.chunk >= 0 || (next > 0 && geometry_.is_last(next - 1))) continue;
                    start(task, next++);
                }
                Task& task = *std::find_if(tasks_.begin(), tasks_.end(), [c](const Task& t) { return t.chunk == c; });
                // A task still short of where the records of its chunk begin
                // searches what no record needs: the rest is searched here.
                if (!task.finished && std::max(task.reached.load(), task.ahead.lo) < r) task.cancel = true;
                if (task.thread.joinable()) task.thread.join();
                if (task.builder.running()) {
                    task.builder.join();
                    task.ahead.indexed = true;
                }
                if (!task.ahead.indexed) task.index->build_index();
                ix_ = task.index.get();
                Searcher<Source> search(source, *task.index);
                Task* half = task.ahead.end < 0 ? second_half(task, c, r, e) : nullptr;
                if (task.ahead.end >= 0) {
                    Resumer sink{{*this}, task.ahead};
                    end = match_slice(search, sink, r, e, u);
                } else if (half) {
                    HalfResumer sink{{*this}, *half};
                    end = match_slice(search, sink, r, e, u);
                    discard(*half);
                } else {
                    Writer sink{*this};
                    end = match_slice(search, sink, r, e, u);
                }
                task.chunk = -1;
            }
            if (end < 0) return Outcome::kAbandoned;
            r = end;
            if (literals_.flush() < 0) throw TransferFailure{literals_.error()};
            if (control_.error() < 0) throw TransferFailure{control_.error()};
            if (r >= u) break;
            // A match may have run past several slice ends.
            while (!geometry_.is_last(c) && r >= geometry_.boundary(c)) ++c;
        }
        return estimate() < u ? Outcome::kMatched : Outcome::kAbandoned;
    }

private:
    // One chunk indexed and searched on a thread of its own, from its slice
    // start, while this thread writes the records of the chunks before it.
    struct Task {
        std::int64_t chunk = -1;  // -1: free
        std::unique_ptr<ChunkIndex> index;
        JoinedThread builder;  // while chunk 0, read early, is being indexed (FirstIndex)
        Speculation ahead;
        std::atomic<bool> cancel{false};
        std::atomic<bool> finished{false};
        std::atomic<std::int64_t> reached{-1};
        std::thread thread;

        ~Task() {
            cancel = true;
            if (thread.joinable()) thread.join();
        }
    };

    // The last chunk, when this thread must search it from r itself, is the
    // longest stretch of work left with a thread idle: that thread indexes the
    // chunk too and searches the second half of what remains ahead, from where
    // this thread may take over (HalfResumer). Returns that task, or null.
    Task* second_half(const Task& task, std::int64_t c, std::int64_t r, std::int64_t e) {
        if (!geometry_.is_last(c) || limits_.half_search < 0 || e - r < limits_.half_search) return nullptr;
        const std::int64_t from = r + (e - r) / 2;
        if (e + kStretchMargin - from > limits_.ahead_stretch) return nullptr;
        for (Task& other : tasks_) {
            if (&other == &task || other.chunk >= 0) continue;
            start(other, c, from);
            return &other;
        }
        return nullptr;
    }

    // Reads chunk c and the stretch of Updated' its slice may reach, and sets
    // a thread to index and search it, from its slice start or from `from`.
    // Where the stretch would be too large, the thread only indexes the chunk.
    void start(Task& task, std::int64_t c, std::int64_t from = -1) {
        Speculation& ahead = task.ahead;
        task.chunk = c;
        task.cancel = false;
        task.finished = false;
        task.reached = -1;
        ahead.lo = ahead.hi = 0;
        ahead.ops.clear();
        ahead.points.clear();
        ahead.end = -1;
        ahead.indexed = false;
        if (!task.builder.running()) load_chunk(*task.index, c);
        const std::int64_t lo = from >= 0 ? from : c == 0 ? 0 : geometry_.boundary(c - 1);
        const std::int64_t e = geometry_.slice_end(c);
        const std::int64_t u = geometry_.u;
        const std::int64_t hi = std::min(u, std::max(lo, e) + kStretchMargin);
        const bool search = lo >= 0 && hi - lo <= limits_.ahead_stretch &&
                            (from >= 0 || limits_.search_last_ahead || !geometry_.is_last(c));
        if (search) {
            std::uint8_t* stretch = ahead.stretch.reserve(static_cast<std::size_t>(hi - lo));
            ahead.bytes = stretch;
            const int rc = job_.updated_prime.read_exact_at(lo, stretch, hi - lo);
            if (rc < 0) throw TransferFailure{rc == ERR_MALFORMED ? ERR_READ_FAILED : rc};
            ahead.lo = lo;
            ahead.hi = hi;
        }
        auto work = [&task, search, lo, e, u] {
            Speculation& ahead = task.ahead;
            try {
                if (task.builder.running()) {
                    task.builder.join();
                } else {
                    task.index->build_index();
                }
                ahead.indexed = true;
                if (search) {
                    Searcher<Speculation> searcher(ahead, *task.index);
                    ahead.end = match_slice(searcher, ahead, lo, e, u);
                }
            } catch (const GiveUp&) {
                ahead.end = -1;
            } catch (const std::bad_alloc&) {
                ahead.end = -1;
                ahead.indexed = false;
            }
            task.finished = true;
        };
        try {
            task.thread = std::thread(work);
        } catch (const std::system_error&) {
            // No thread to be had: the chunk is indexed and searched here
            // when its turn comes.
            task.finished = true;
        }
    }

    // Ends the task of a chunk the records have run past.
    static void discard(Task& task) {
        task.cancel = true;
        if (task.thread.joinable()) task.thread.join();
        task.builder.join();
        task.chunk = -1;
    }

    // Updated' as the encoder's own searches read it.
    struct Source {
        UpdatedReader& reader;
        const CoderContext& context;
        const std::uint8_t* view(std::int64_t position, std::int64_t count) { return reader.view(position, count); }
        void poll() const {
            if (context.stopped()) throw TransferFailure{ERR_STOPPED};
        }
    };

    // The sink that writes every record.
    struct Writer {
        Encoder& encoder;
        std::int64_t resume(Phase, std::int64_t) { return kUnknown; }
        void record(std::int64_t r, std::int64_t m0, const Match* m) { encoder.write_record(r, m0, m); }
        bool abandons() { return encoder.estimate() >= encoder.geometry_.u; }
    };

    // The sink for a chunk searched ahead: it writes records until it meets a
    // point the search ahead met, then replays that search's records from there.
    struct Resumer : Writer {
        const Speculation& ahead;
        std::int64_t resume(Phase phase, std::int64_t r) { return replay(ahead, phase, r); }

        std::int64_t replay(const Speculation& from, Phase phase, std::int64_t r) {
            const Speculation::Point* point = from.find(phase, r);
            if (!point) return kUnknown;
            for (std::size_t i = point->op; i < from.ops.size(); ++i) {
                const Speculation::Op& op = from.ops[i];
                encoder.write_record(op.r, op.m0, op.matched ? &op.m : nullptr);
                if (op.checked && abandons()) return -1;
            }
            return from.end;
        }
    };

    // The sink while another task searches the second half of the rest of a
    // chunk ahead (second_half): from the point where that half begins, it
    // waits for that search (or ends it, when it is still short of r) and
    // then resumes from it as Resumer does.
    struct HalfResumer : Resumer {
        Task& half;
        bool joined = false;
        HalfResumer(Writer writer, Task& task) : Resumer{writer, task.ahead}, half(task) {}
        std::int64_t resume(Phase phase, std::int64_t r) {
            if (r < half.ahead.lo) return kUnknown;
            if (!joined) {
                if (!half.finished && half.reached.load() < r) half.cancel = true;
                if (half.thread.joinable()) half.thread.join();
                joined = true;
            }
            return half.ahead.end < 0 ? kUnknown : replay(half.ahead, phase, r);
        }
    };

    // Size the delta would have if it ended here (before packing).
    std::int64_t estimate() const { return literals_.written() + control_.byte_count() + 11; }

    void load_chunk(ChunkIndex& target, std::int64_t c) {
        if (job_.context.stopped()) throw TransferFailure{ERR_STOPPED};
        const std::int64_t length = geometry_.length(c);
        const int rc = job_.base_prime.read_exact_at(geometry_.start(c), target.prepare(length), length);
        if (rc < 0) throw TransferFailure{rc == ERR_MALFORMED ? ERR_READ_FAILED : rc};
    }

    // Walks a match from its start: visit(E, t, bytes) for every substitution
    // point (equal run E, then t = 1 or 2 substituted Updated' bytes), and
    // visit(E, 0, nullptr) for the final equal run.
    template <class Visit>
    void walk(const Match& m, Visit&& visit) {
        std::int64_t position = m.m0;
        std::int64_t offset = m.u;
        std::int64_t equal = 0;
        while (position < m.m1) {
            const std::int64_t block = std::min(m.m1 - position, kBlock);
            // Two bytes beyond the block so that a substitution on its edge is seen whole.
            const std::int64_t available = std::min(m.m1 - position, block + 2);
            const std::uint8_t* b = updated_.view(position, available);
            const std::uint8_t* a = ix_->chunk() + offset;
            std::int64_t i = 0;
            while (i < block) {
                const std::int64_t run = equal_prefix(a + i, b + i, block - i);
                i += run;
                equal += run;
                if (i >= block) break;
                const int t = i + 1 < available && a[i + 1] != b[i + 1] ? 2 : 1;
                visit(equal, t, b + i);
                equal = 0;
                i += t;
            }
            position += i;
            offset += i;
        }
        visit(equal, 0, nullptr);
    }

    void copy_literals(std::int64_t from, std::int64_t count) {
        while (count > 0) {
            const std::int64_t n = std::min(count, kBlock);
            literals_.put(updated_.view(from, n), static_cast<std::size_t>(n));
            from += n;
            count -= n;
        }
    }

    // One record: the literal run [r, m0), then the match when there is one,
    // its equal runs in whichever code is shortest for them.
    void write_record(std::int64_t r, std::int64_t m0, const Match* m) {
        control_.put_count(static_cast<std::uint32_t>(m0 - r + 1));
        copy_literals(r, m0 - r);
        if (!m) return;
        std::uint64_t cost[6] = {};
        std::int64_t points = 0;
        walk(*m, [&](std::int64_t equal, int t, const std::uint8_t*) {
            const auto e = static_cast<std::uint64_t>(equal);
            cost[0] += 2 * static_cast<std::uint64_t>(std::bit_width(e + 1) - 1);
            for (int k = 1; k <= 5; ++k) cost[k] += ((e - 1) >> k) + 1 + static_cast<std::uint64_t>(k);
            if (t) ++points;
        });
        int code = 0;
        for (int k = 1; k <= 5; ++k)
            if (cost[k] < cost[code]) code = k;
        control_.put_bits(static_cast<std::uint32_t>(code), 3);
        control_.put_bits(static_cast<std::uint32_t>(m->u), position_bits_);
        control_.put_count(static_cast<std::uint32_t>(points + 1));
        walk(*m, [&](std::int64_t equal, int t, const std::uint8_t* bytes) {
            control_.put_rice(code, static_cast<std::uint32_t>(equal));
            if (t) {
                control_.put_flag(t == 2);
                literals_.put(bytes, static_cast<std::size_t>(t));
            }
        });
    }

    CreateJob& job_;
    const ChunkGeometry& geometry_;
    const Algorithm0Limits& limits_;
    ControlWriter& control_;
    BufferedWriter& literals_;
    UpdatedReader& updated_;
    const int position_bits_;

    const bool together_;              // chunks are searched by tasks on other threads
    std::unique_ptr<ChunkIndex> alone_;  // the chunk when they are not
    JoinedThread alone_builder_;         // while it is chunk 0, being indexed (FirstIndex)
    std::array<Task, kTasks> tasks_;
    ChunkIndex* ix_ = nullptr;  // the chunk whose records are written
};

}  // namespace

std::int64_t algorithm0_window(std::int64_t base_length, std::int64_t updated_length,
                               const Algorithm0Limits& limits) {
    const std::int64_t largest = std::clamp(limits.max_window, kMinWindow, kMaxWindow);
    std::int64_t w = base_length <= kMinWindow ? kMinWindow : std::min(base_length, largest);
    const BufferSizes sizes(updated_length);
    while (limits.memory_limit >= 0 && sizes.working_buffer(w) > limits.memory_limit) {
        w = w * 3 / 4;
        if (w < kMinWindow) return ERR_NO_MEMORY;
    }
    return w;
}

int create_algorithm0(CreateJob& job, const Algorithm0Limits& limits) {
    std::int64_t w = algorithm0_window(job.base_length, job.updated_length, limits);
    if (w < 0) return static_cast<int>(w);
    const BufferSizes sizes(job.updated_length);

    // Base first: its first chunk is indexed while Updated is transformed.
    int rc = prepare_base(job);
    if (rc < 0) return rc;
    FirstIndex first;
    first.start(job, w);
    rc = prepare_updated(job);
    if (rc < 0) return rc;
    if (job.u < 200) return small_path(job);

    TempFile literal_file;
    std::int64_t control_length = 0;
    std::int64_t literal_length = 0;
    std::int64_t window = 0;
    {
        // The chunk and its index are the encoder's one large allocation; when it
        // fails the window shrinks by a quarter, as under a memory ceiling.
        std::unique_ptr<ChunkGeometry> geometry;
        std::unique_ptr<Encoder> encoder;
        std::unique_ptr<ControlWriter> control;
        std::unique_ptr<BufferedWriter> literals;
        std::unique_ptr<UpdatedReader> updated;
        for (;;) {
            geometry = std::make_unique<ChunkGeometry>(job.n, w, job.u);
            if (job.n < 200 || job.u / geometry->count <= 5) return small_path(job);
            if (!literal_file && !literal_file.open()) return ERR_TEMP_FILE;
            if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
            try {
                control = std::make_unique<ControlWriter>(job.delta, static_cast<std::size_t>(sizes.control));
                literals = std::make_unique<BufferedWriter>(literal_file.channel());
                updated = std::make_unique<UpdatedReader>(job.updated_prime, job.u, std::int64_t{1} << 21,
                                                          std::int64_t{1} << 16);
                encoder = std::make_unique<Encoder>(job, *geometry, limits, *control, *literals, *updated, first);
                break;
            } catch (const std::bad_alloc&) {
                encoder.reset();
                updated.reset();
                w = w * 3 / 4;
                if (w < kMinWindow) return ERR_NO_MEMORY;
            }
        }
        Outcome outcome;
        try {
            outcome = encoder->run();
        } catch (const TransferFailure& failure) {
            return failure.code;
        }
        if (job.context.stopped()) return ERR_STOPPED;
        if (outcome == Outcome::kAbandoned) {
            // Nothing of the match coding stays: the small path rewrites the delta from its start.
            encoder.reset();
            return small_path(job);
        }
        rc = control->finish();
        if (rc < 0) return rc;
        if (literals->flush() < 0) return literals->error();
        control_length = control->byte_count();
        literal_length = literals->written();
        window = geometry->window;
    }

    job.method |= MB_MATCHED;
    if (!job.delta.seek(control_length)) return ERR_WRITE_FAILED;
    Channel literal_channel = literal_file.channel();
    std::int64_t put = write_payload(job, literal_channel, literal_length);
    if (put < 0) return static_cast<int>(put);
    std::uint8_t header[11];
    put_be32(header, static_cast<std::uint32_t>(job.u));
    header[4] = static_cast<std::uint8_t>(window >> 16);
    header[5] = static_cast<std::uint8_t>(window >> 8);
    header[6] = static_cast<std::uint8_t>(window);
    put_be32(header + 7, static_cast<std::uint32_t>(control_length));
    return finish_delta(job, header, 11);
}

int create_algorithm0(CreateJob& job) { return create_algorithm0(job, Algorithm0Limits{}); }

int coder_create_algorithm0(StreamWindow* base, StreamWindow* updated, StreamWindow* delta,
                            const ProgressCallback& callback, const TrailerRecord& trailer,
                            const Algorithm0Limits& limits) {
    TrailerRecord copy = trailer;
    copy.set_magic();
    CoderContext context(callback, 0, copy.tag());
    StreamWindow no_base;
    no_base.file = nullptr;
    context.register_windows(base ? base : &no_base, updated, delta);
    CreateJob job(context, 0, copy, Channel::of_window(context, SLOT_FIRST), Channel::of_window(context, SLOT_SECOND),
                  Channel::of_window(context, SLOT_THIRD));
    job.base_length = job.base.length();
    job.updated_length = job.updated.length();
    int result;
    if (job.base_length > MAX_FILE_LENGTH || job.updated_length > MAX_FILE_LENGTH) {
        result = ERR_MALFORMED;
    } else if (context.window(SLOT_FIRST)->length < 0 || context.window(SLOT_SECOND)->length < 0) {
        result = ERR_READ_FAILED;
    } else {
        try {
            result = create_algorithm0(job, limits);
        } catch (const std::bad_alloc&) {
            result = ERR_NO_MEMORY;
        }
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

}  // namespace quoralith
