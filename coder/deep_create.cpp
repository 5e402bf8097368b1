// The deep create (see deep.h): the stretches the deep search finds are cut
// into copy runs as the format allows them (substitutions of one or two bytes
// between equal bytes; three differing bytes in a row end a run), and each run
// becomes a record only when the literal bits it saves exceed its record's
// exact cost in control bits, positioned or relative, whichever is cheaper.
#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <vector>

#include "coder/create_internal.h"
#include "coder/deep.h"
#include "coder/deep_search.h"

namespace quoralith {

namespace {

// Ends the deep create from inside the search: a stop or a failed transfer.
struct DeepAbort {
    int code;
};

// A copy run keeps at most this many substitutions; a longer one is cut and
// goes on in a relative record that advances by nothing (a few bits).
constexpr std::size_t kMaxSubstitutions = std::size_t{1} << 14;

// What a literal byte is taken to cost once the packer has coded the literal
// stream: measured on executables and text, the packer leaves about 6 bits
// of the 8 (a guess of 5 to 10 bits moves delta sizes by well under 1%).
constexpr int kLiteralBits = 6;

// Bits of the count code C(v), v >= 1.
inline std::int64_t count_bits(std::uint64_t v) { return 2 * (std::bit_width(v + 1) - 1); }
// Bits of the Rice code R_k(v), v >= 1 (k = 0: the count code).
inline std::int64_t rice_bits(int k, std::uint64_t v) {
    if (k == 0) return count_bits(v);
    return static_cast<std::int64_t>((v - 1) >> k) + 1 + k;
}

class DeepEncoder {
public:
    DeepEncoder(CreateJob& job, ControlWriter& control, BufferedWriter& literals, int literal_bits)
        : control_(control),
          literals_(literals),
          rice_(job.params.rice),
          position_bits_(bit_length_min1(static_cast<std::uint64_t>(job.n > 0 ? job.n - 1 : 0))),
          u_(job.u),
          literal_bits_(literal_bits) {}

    std::int64_t base_end() const { return pe_; }

    // The bytes at hand: Base' from `base_start` (a window) and Updated' from
    // `updated_start` (the part being searched).
    void set_view(const std::uint8_t* base, std::int64_t base_start, const std::uint8_t* updated,
                  std::int64_t updated_start) {
        base_ = base;
        base_start_ = base_start;
        updated_ = updated;
        updated_start_ = updated_start;
    }

    // A stretch [q, q + length) of Updated' along the diagonal that takes
    // Base' from p: cut into copy runs, each coded when it pays.
    void segment(std::int64_t q, std::int64_t p, std::int64_t length) {
        const std::uint8_t* b = base_ + (p - base_start_);
        const std::uint8_t* a = updated_ + (q - updated_start_);
        std::int64_t i = 0;
        while (i < length) {
            while (i < length && b[i] != a[i]) ++i;
            if (i == length) break;
            const std::int64_t start = i;
            std::int64_t end = i;  // just past the last equal byte of the run
            std::int64_t equal = 0;
            int pending = 0;
            substitutions_.clear();
            for (std::int64_t j = i; j < length; ++j) {
                if (b[j] == a[j]) {
                    if (pending > 0) {
                        substitutions_.push_back({static_cast<std::uint32_t>(equal), static_cast<std::uint32_t>(pending)});
                        equal = 0;
                        pending = 0;
                    }
                    ++equal;
                    end = j + 1;
                    if (substitutions_.size() == kMaxSubstitutions) break;
                } else if (++pending == 3) {
                    break;
                }
            }
            offer_run(q + start, p + start, end - start, equal);
            i = end;
        }
    }

    // Every Updated' byte below `end` that no record copies goes to the
    // literal stream now: the part that holds it is about to be replaced.
    void end_part(std::int64_t end) {
        put_updated(literal_done_, end - literal_done_);
        literal_done_ = end;
    }

    // The record that ends the delta: the bytes after the last run, as literals.
    std::int64_t finish() {
        const std::int64_t tail = u_ - o_;
        if (tail > 0) {
            control_.put_flag(true);
            control_.put_count(static_cast<std::uint32_t>(tail + 1));
        }
        return tail;
    }

private:
    struct Substitution {
        std::uint32_t equal;  // equal bytes before it
        std::uint32_t bytes;  // 1 or 2
    };

    void put_updated(std::int64_t from, std::int64_t count) {
        if (count > 0) literals_.put(updated_ + (from - updated_start_), static_cast<std::size_t>(count));
    }

    // The run [q, q + length) from Base' p, whose substitutions are listed and
    // whose last `final_equal` bytes are equal.
    void offer_run(std::int64_t q, std::int64_t p, std::int64_t length, std::int64_t final_equal) {
        std::int64_t code = count_bits(substitutions_.size() + 1) + count_bits(static_cast<std::uint64_t>(final_equal));
        std::int64_t replaced = 0;
        for (const Substitution& s : substitutions_) {
            code += count_bits(s.equal) + 1;
            replaced += s.bytes;
        }
        const std::int64_t literal = q - o_;
        const std::int64_t positioned = 1 + count_bits(static_cast<std::uint64_t>(literal + 1)) + position_bits_;
        std::int64_t relative = INT64_MAX;
        if (p >= pe_)
            relative = 1 + rice_bits(rice_, static_cast<std::uint64_t>(literal + 1)) +
                       rice_bits(rice_, static_cast<std::uint64_t>(p - pe_ + 1));
        const std::int64_t head = std::min(positioned, relative);
        // Substituted bytes cost the same as literals: only equal bytes save.
        if ((length - replaced) * literal_bits_ <= head + code) return;

        if (relative <= positioned) {
            control_.put_flag(false);
            control_.put_rice(rice_, static_cast<std::uint32_t>(literal + 1));
            control_.put_rice(rice_, static_cast<std::uint32_t>(p - pe_ + 1));
        } else {
            control_.put_flag(true);
            control_.put_count(static_cast<std::uint32_t>(literal + 1));
            control_.put_bits(static_cast<std::uint32_t>(p), position_bits_);
        }
        put_updated(literal_done_, q - literal_done_);
        control_.put_count(static_cast<std::uint32_t>(substitutions_.size() + 1));
        std::int64_t at = q;
        for (const Substitution& s : substitutions_) {
            control_.put_count(s.equal);
            control_.put_flag(s.bytes == 2);
            at += s.equal;
            put_updated(at, s.bytes);
            at += s.bytes;
        }
        control_.put_count(static_cast<std::uint32_t>(final_equal));
        o_ = q + length;
        pe_ = p + length;
        literal_done_ = o_;
    }

    ControlWriter& control_;
    BufferedWriter& literals_;
    const int rice_;
    const int position_bits_;
    const std::int64_t u_;
    const std::int64_t literal_bits_;

    std::int64_t o_ = 0;             // Updated' bytes coded by records so far
    std::int64_t pe_ = 0;            // Base' position after the last run
    std::int64_t literal_done_ = 0;  // Updated' bytes accounted for in the literal stream

    const std::uint8_t* base_ = nullptr;
    std::int64_t base_start_ = 0;
    const std::uint8_t* updated_ = nullptr;
    std::int64_t updated_start_ = 0;
    std::vector<Substitution> substitutions_;
};

void read_into(Channel& channel, std::int64_t position, std::uint8_t* out, std::int64_t count) {
    const int rc = channel.read_exact_at(position, out, count);
    if (rc != 0) throw DeepAbort{rc == ERR_MALFORMED ? ERR_READ_FAILED : rc};
}

// After the last record: the delta is match-coded when that is smaller than
// Updated', else Updated' is stored (packed when that is smaller).
int finish_coding(CreateJob& job, DeepEncoder& encoder, ControlWriter& control, BufferedWriter& literals,
                  TempFile& literal_file) {
    encoder.finish();
    if (control.error()) return control.error();
    if (literals.flush() < 0) return literals.error();
    const std::int64_t v = control.byte_count();
    const std::int64_t x = literals.written();
    if (v + x + 9 < job.u) {
        if (const int rc = control.finish(); rc < 0) return rc;
        return finish_match_coded(job, literal_file, v, x);
    }
    return finish_stored(job);
}

// Plain heap blocks, not huge pages: these are read in order, and a huge
// page's rounding would cost up to 2 MiB each.
std::unique_ptr<std::uint8_t[]> bytes_of(std::int64_t count) {
    return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[static_cast<std::size_t>(std::max<std::int64_t>(count, 1))]);
}

// Calls announce() for the scan's progress; a stop ends the search.
auto ticker(CreateJob& job, std::int64_t offset) {
    return [&job, offset](std::int32_t scanned) {
        if (!job.context.announce(SLOT_SECOND, static_cast<std::int32_t>(offset + scanned)))
            throw DeepAbort{ERR_STOPPED};
    };
}

// A search over the whole of Base' and Updated', kept so that what it found
// can be coded in the formats of several algorithms.
struct Found {
    std::unique_ptr<std::uint8_t[]> base;
    std::unique_ptr<std::uint8_t[]> updated;
    std::vector<DeepSegment> segments;
    std::uint8_t forms = 0;  // the run-length flags of the Base' and Updated' searched
    bool valid = false;
};

void search_whole(CreateJob& job, Found& found) {
    found = Found();
    found.base = bytes_of(job.n);
    read_into(job.base_prime, 0, found.base.get(), job.n);
    auto index = std::make_unique<SuffixIndex>(found.base.get(), static_cast<std::int32_t>(job.n));
    // Taken after the index is built: sorting needs more than searching.
    found.updated = bytes_of(job.u);
    read_into(job.updated_prime, 0, found.updated.get(), job.u);
    deep_scan(
        *index, found.base.get(), found.updated.get(), static_cast<std::int32_t>(job.u), 0,
        [&](const DeepSegment& s) { found.segments.push_back(s); }, ticker(job, 0));
    found.forms = job.method & (MB_UPDATED_RLE | MB_BASE_RLE);
    found.valid = true;
}

int code_found(CreateJob& job, const Found& found, int literal_bits) {
    TempFile literal_file;
    if (!literal_file.open()) return ERR_TEMP_FILE;
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    ControlWriter control(job.delta, 10000);
    BufferedWriter literals(literal_file.channel());
    DeepEncoder encoder(job, control, literals, literal_bits);
    encoder.set_view(found.base.get(), 0, found.updated.get(), 0);
    for (const DeepSegment& s : found.segments) encoder.segment(s.q, s.p, s.length);
    encoder.end_part(job.u);
    return finish_coding(job, encoder, control, literals, literal_file);
}

// Files larger than the window: Updated' part by part, each against the
// stretch of Base' at the same relative place, coded as it is found.
int code_by_parts(CreateJob& job, std::int64_t window) {
    TempFile literal_file;
    if (!literal_file.open()) return ERR_TEMP_FILE;
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    ControlWriter control(job.delta, 10000);
    BufferedWriter literals(literal_file.channel());
    DeepEncoder encoder(job, control, literals, kLiteralBits);

    const std::int64_t n = job.n;
    const std::int64_t u = job.u;
    const std::int64_t base_span = std::min(n, window);
    const std::int64_t part = std::min(u, window);
    std::unique_ptr<std::uint8_t[]> base_bytes = bytes_of(base_span);
    std::unique_ptr<std::uint8_t[]> part_bytes;
    std::unique_ptr<SuffixIndex> index;
    std::int64_t loaded = -1;
    for (std::int64_t qa = 0; qa < u; qa += part) {
        const std::int64_t qb = std::min(u, qa + part);
        std::int64_t ba = 0;
        if (n > window) ba = std::clamp((qa + qb) / 2 * n / u - base_span / 2, std::int64_t{0}, n - base_span);
        if (ba != loaded) {
            index.reset();
            read_into(job.base_prime, ba, base_bytes.get(), base_span);
            index = std::make_unique<SuffixIndex>(base_bytes.get(), static_cast<std::int32_t>(base_span));
            loaded = ba;
        }
        if (!part_bytes) part_bytes = bytes_of(part);
        read_into(job.updated_prime, qa, part_bytes.get(), qb - qa);
        encoder.set_view(base_bytes.get(), ba, part_bytes.get(), qa);
        const std::int64_t start_p = std::clamp(encoder.base_end() - ba, std::int64_t{0}, base_span);
        deep_scan(
            *index, base_bytes.get(), part_bytes.get(), static_cast<std::int32_t>(qb - qa),
            static_cast<std::int32_t>(start_p),
            [&](const DeepSegment& s) { encoder.segment(qa + s.q, ba + s.p, s.length); }, ticker(job, qa));
        encoder.end_part(qb);
    }
    index.reset();
    return finish_coding(job, encoder, control, literals, literal_file);
}

// Base' and Updated' of `job` as its algorithm makes them; 1 when a delta was
// already written (too small to match), 0 to go on, or a negative code.
int prepare(CreateJob& job, int& result) {
    int rc = prepare_updated(job);
    if (rc < 0) return rc;
    if (job.u < 200) {
        result = small_path(job);
        return 1;
    }
    rc = prepare_base(job);
    if (rc < 0) return rc;
    if (job.n < 200) {
        result = small_path(job);
        return 1;
    }
    return 0;
}

// Algorithms whose formats the deep search writes, in the order tried: 7
// (Rice-coded relative records, no run-length forms), 1 (count-coded relative
// records, which are cheaper for long literal runs and skips), and 4 (7's
// records over the run-length forms, tried only when a form is used).
constexpr int kDeepAlgorithms[] = {7, 1, 4};

int deep_body(CoderContext& context, const TrailerRecord& trailer, CreateShared* shared,
              const DeepOptions& options) {
    Channel base = Channel::of_window(context, SLOT_FIRST);
    Channel updated = Channel::of_window(context, SLOT_SECOND);
    Channel delta = Channel::of_window(context, SLOT_THIRD);
    const std::int64_t base_length = base.length();
    const std::int64_t updated_length = updated.length();
    if (base_length > MAX_FILE_LENGTH || updated_length > MAX_FILE_LENGTH) return ERR_MALFORMED;
    if (context.window(SLOT_FIRST)->length < 0 || context.window(SLOT_SECOND)->length < 0) return ERR_READ_FAILED;
    const std::int64_t window = std::max<std::int64_t>(options.window, 4096);
    auto start = [&](CreateJob& job) {
        job.shared = shared;
        job.base_length = base_length;
        job.updated_length = updated_length;
    };
    if (base_length > window || updated_length > window) {
        CreateJob job(context, 7, trailer, base, updated, delta);
        start(job);
        int result = 0;
        const int rc = prepare(job, result);
        if (rc < 0) return rc;
        return rc > 0 ? result : code_by_parts(job, window);
    }

    // Each algorithm's delta goes to a temporary file; the smallest is copied
    // to the Delta window. A search is shared by algorithms that match the
    // same Base' and Updated'.
    Found found;
    TempFile best;
    int best_length = -1;
    int best_algorithm = 7;
    for (const int algorithm : kDeepAlgorithms) {
        TempFile out;
        if (!out.open()) return ERR_TEMP_FILE;
        context.set_algorithm(static_cast<std::int16_t>(algorithm));
        CreateJob job(context, algorithm, trailer, base, updated, out.channel());
        start(job);
        int result = 0;
        const int rc = prepare(job, result);
        if (rc < 0) return rc;
        if (rc == 0) {
            const std::uint8_t forms = job.method & (MB_UPDATED_RLE | MB_BASE_RLE);
            if (algorithm == 4 && forms == 0) continue;  // algorithm 7's delta over the same bytes
            // A search of their own for the run-length forms only when they
            // leave out a good part of the files; a form that shortens a file
            // by a little rarely gives a smaller delta (its tokens' headers
            // break up matches) and the search is the costly part.
            if (forms != 0 && forms != found.forms &&
                16 * (job.base_length - job.n + job.updated_length - job.u) < job.base_length + job.updated_length)
                continue;
            if (!found.valid || found.forms != forms) {
                found = Found();  // the old search's memory goes first
                search_whole(job, found);
            }
            result = code_found(job, found, kLiteralBits);
        }
        if (result < 0) return result;
        if (best_length < 0 || result < best_length) {
            best = std::move(out);
            best_length = result;
            best_algorithm = algorithm;
        }
    }
    found = Found();
    // The delta's own number is the one its last progress records carry.
    context.set_algorithm(static_cast<std::int16_t>(best_algorithm));
    Channel from = best.channel();
    if (!from.seek(0) || !delta.seek(0)) return ERR_WRITE_FAILED;
    const std::int64_t copied = copy_channel(from, delta, best_length);
    if (copied < 0) return static_cast<int>(copied);
    if (!delta.truncate_here()) return ERR_WRITE_FAILED;
    return best_length;
}

}  // namespace

int coder_create_deep(StreamWindow* base, StreamWindow* updated, StreamWindow* delta,
                      const ProgressCallback& callback, const TrailerRecord& trailer, CreateShared* shared,
                      const DeepOptions& options) {
    TrailerRecord copy = trailer;
    copy.set_magic();
    CoderContext context(callback, 7, copy.tag());
    StreamWindow no_base;
    no_base.file = nullptr;
    context.register_windows(base ? base : &no_base, updated, delta);
    // The run-length forms and the check block serve every algorithm tried.
    CreateShared own;
    int result;
    try {
        result = deep_body(context, copy, shared ? shared : &own, options);
    } catch (const DeepAbort& abort) {
        result = abort.code;
    } catch (const std::bad_alloc&) {
        result = ERR_NO_MEMORY;
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

}  // namespace quoralith
