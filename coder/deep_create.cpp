// The deep create (see deep.h): the scan's stretches and the suffix array's
// matches are the candidates of a parse that picks copy runs by their exact
// cost in bits (deep_parse.h); each run it picks becomes one record, with
// substitutions of one or two bytes between equal bytes, its head positioned
// or relative, whichever is shorter.
#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <vector>

#include "coder/create_internal.h"
#include "coder/deep.h"
#include "coder/deep_parse.h"
#include "coder/deep_search.h"

namespace quoralith {

namespace {

// Ends the deep create from inside the search: a stop or a failed transfer.
struct DeepAbort {
    int code;
};

// What a literal byte is taken to cost, in sixteenths of a bit, when the
// parse weighs it against a copy run. Less than the packer's average (about 6
// bits of the 8 on executables and text): the bytes a copy run would take
// out of the literal stream are those that have a match, which the packer's
// own matches inside its blocks would mostly have coded cheaply too.
// Measured on the developer corpus, 2 to 4.5 bits give deltas within 1% of
// each other's best; more than 5 bits lets short copies crowd out literals
// that the packer would have coded for less.
constexpr int kLiteral16 = 3 * 16;
// Pairs whose Updated' is at most this long are parsed with three literal
// costs, not one: their parse takes milliseconds.
constexpr std::int64_t kSmallPair = std::int64_t{1} << 20;

class DeepEncoder {
public:
    DeepEncoder(CreateJob& job, ControlWriter& control, BufferedWriter& literals, DeepBits& bits)
        : control_(control),
          literals_(literals),
          rice_(job.params.rice),
          position_bits_(bit_length_min1(static_cast<std::uint64_t>(job.n > 0 ? job.n - 1 : 0))),
          u_(job.u),
          bits_(bits) {
        bits_ = DeepBits();
        bits_.algorithm = job.algorithm;
    }

    std::int64_t base_end() const { return pe_; }
    int position_bits() const { return position_bits_; }

    // The bytes at hand: Base' from `base_start` (a window) and Updated' from
    // `updated_start` (the part being searched).
    void set_view(const std::uint8_t* base, std::int64_t base_start, const std::uint8_t* updated,
                  std::int64_t updated_start) {
        base_ = base;
        base_start_ = base_start;
        updated_ = updated;
        updated_start_ = updated_start;
    }

    // The copy run [q, q + length) of Updated' from Base' p, which starts
    // and ends with an equal byte and has no three differing bytes in a row:
    // one record, its head positioned or relative, whichever is shorter.
    void copy(std::int64_t q, std::int64_t p, std::int64_t length) {
        const std::uint8_t* b = base_ + (p - base_start_);
        const std::uint8_t* a = updated_ + (q - updated_start_);
        std::int64_t start = 0;
        while (start < length) {
            substitutions_.clear();
            std::int64_t equal = 0, j = start;
            int pending = 0;
            for (; j < length; ++j) {
                if (b[j] == a[j]) {
                    if (pending > 0) {
                        if (substitutions_.size() == kDeepMaxSubstitutions) {
                            j -= pending;
                            break;
                        }
                        substitutions_.push_back({static_cast<std::uint32_t>(equal), static_cast<std::uint32_t>(pending)});
                        equal = 0;
                        pending = 0;
                    }
                    ++equal;
                } else {
                    ++pending;
                }
            }
            record(q + start, p + start, j - start, equal);
            start = j;
            // A cut run goes on after the substitution it could not hold,
            // whose bytes become the next record's literals.
            while (start < length && b[start] != a[start]) ++start;
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
            bits_.tail_bits += 1 + count_bits(static_cast<std::uint64_t>(tail + 1));
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

    // The record of the run [q, q + length) from Base' p, whose substitutions
    // are listed and whose last `final_equal` bytes are equal.
    void record(std::int64_t q, std::int64_t p, std::int64_t length, std::int64_t final_equal) {
        const std::int64_t literal = q - o_;
        const std::int64_t positioned = count_bits(static_cast<std::uint64_t>(literal + 1)) + position_bits_;
        std::int64_t relative = INT64_MAX;
        if (p >= pe_)
            relative = rice_bits(rice_, static_cast<std::uint64_t>(literal + 1)) +
                       rice_bits(rice_, static_cast<std::uint64_t>(p - pe_ + 1));
        bits_.flag_bits += 1;
        std::int64_t count_coded = positioned;
        if (p >= pe_)
            count_coded = std::min(positioned, count_bits(static_cast<std::uint64_t>(literal + 1)) +
                                                   count_bits(static_cast<std::uint64_t>(p - pe_ + 1)));
        bits_.count_coded_saving_bits += std::min(positioned, relative) - count_coded;
        if (relative <= positioned) {
            control_.put_flag(false);
            control_.put_rice(rice_, static_cast<std::uint32_t>(literal + 1));
            control_.put_rice(rice_, static_cast<std::uint32_t>(p - pe_ + 1));
            ++bits_.relative;
            bits_.literal_length_bits += rice_bits(rice_, static_cast<std::uint64_t>(literal + 1));
            bits_.advance_bits += rice_bits(rice_, static_cast<std::uint64_t>(p - pe_ + 1));
        } else {
            control_.put_flag(true);
            control_.put_count(static_cast<std::uint32_t>(literal + 1));
            control_.put_bits(static_cast<std::uint32_t>(p), position_bits_);
            ++bits_.positioned;
            bits_.literal_length_bits += count_bits(static_cast<std::uint64_t>(literal + 1));
            bits_.position_bits += position_bits_;
        }
        put_updated(literal_done_, q - literal_done_);
        control_.put_count(static_cast<std::uint32_t>(substitutions_.size() + 1));
        bits_.count_bits += count_bits(substitutions_.size() + 1);
        std::int64_t at = q, replaced = 0;
        for (const Substitution& s : substitutions_) {
            control_.put_count(s.equal);
            control_.put_flag(s.bytes == 2);
            bits_.equal_bits += count_bits(s.equal);
            bits_.substitution_flag_bits += 1;
            replaced += s.bytes;
            at += s.equal;
            put_updated(at, s.bytes);
            at += s.bytes;
        }
        bits_.substitutions += static_cast<std::int64_t>(substitutions_.size());
        bits_.substituted += replaced;
        control_.put_count(static_cast<std::uint32_t>(final_equal));
        bits_.equal_bits += count_bits(static_cast<std::uint64_t>(final_equal));
        bits_.copied += length - replaced;
        o_ = q + length;
        pe_ = p + length;
        literal_done_ = o_;
    }

    static std::int64_t count_bits(std::uint64_t v) { return deep_count_bits(v); }
    static std::int64_t rice_bits(int k, std::uint64_t v) { return deep_rice_bits(k, v); }

    ControlWriter& control_;
    BufferedWriter& literals_;
    const int rice_;
    const int position_bits_;
    const std::int64_t u_;
    DeepBits& bits_;

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
                  TempFile& literal_file, DeepBits& bits) {
    encoder.finish();
    if (control.error()) return control.error();
    if (literals.flush() < 0) return literals.error();
    const std::int64_t v = control.byte_count();
    const std::int64_t x = literals.written();
    bits.control = v;
    bits.literals = x;
    int result;
    if (v + x + 9 < job.u) {
        if (const int rc = control.finish(); rc < 0) return rc;
        result = finish_match_coded(job, literal_file, v, x);
        bits.matched = true;
        // Without a check block there is no trailer either (archive members).
        const int check = job.trailer.check_length();
        bits.literals_out = result - v - 9 - (check > 0 ? std::min(check, kCheckLong) + kTrailerSize : 0);
    } else {
        result = finish_stored(job);
    }
    bits.delta = result;
    return result;
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

// A search over the whole of Base' and Updated', kept so that its records
// can be chosen in the formats of several algorithms.
struct Found {
    std::unique_ptr<std::uint8_t[]> base;
    std::unique_ptr<std::uint8_t[]> updated;
    std::unique_ptr<SuffixIndex> index;
    std::vector<DeepSegment> segments;
    std::uint8_t forms = 0;  // the run-length flags of the Base' and Updated' searched
    bool valid = false;
};

void search_whole(CreateJob& job, Found& found) {
    found = Found();
    found.base = bytes_of(job.n);
    read_into(job.base_prime, 0, found.base.get(), job.n);
    found.index = std::make_unique<SuffixIndex>(found.base.get(), static_cast<std::int32_t>(job.n));
    // Taken after the index is built: sorting needs more than searching.
    found.updated = bytes_of(job.u);
    read_into(job.updated_prime, 0, found.updated.get(), job.u);
    deep_scan(
        *found.index, found.base.get(), found.updated.get(), static_cast<std::int32_t>(job.u), 0,
        [&](const DeepSegment& s) { found.segments.push_back(s); }, ticker(job, 0));
    found.forms = job.method & (MB_UPDATED_RLE | MB_BASE_RLE);
    found.valid = true;
}

DeepCosts costs_of(const CreateJob& job, int literal16) {
    DeepCosts costs;
    costs.rice = job.params.rice;
    costs.position_bits = bit_length_min1(static_cast<std::uint64_t>(job.n > 0 ? job.n - 1 : 0));
    costs.literal16 = literal16;
    return costs;
}

int code_found(CreateJob& job, const Found& found, int literal16, DeepBits& bits) {
    TempFile literal_file;
    if (!literal_file.open()) return ERR_TEMP_FILE;
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    ControlWriter control(job.delta, 10000);
    BufferedWriter literals(literal_file.channel());
    DeepEncoder encoder(job, control, literals, bits);
    encoder.set_view(found.base.get(), 0, found.updated.get(), 0);
    const DeepCosts costs = costs_of(job, literal16);
    DeepParseState state;
    deep_parse(
        *found.index, found.base.get(), static_cast<std::int32_t>(job.n), found.updated.get(),
        static_cast<std::int32_t>(job.u), found.segments, costs, state,
        [&](std::int32_t q, std::int32_t p, std::int32_t length) { encoder.copy(q, p, length); }, ticker(job, 0));
    encoder.end_part(job.u);
    return finish_coding(job, encoder, control, literals, literal_file, bits);
}

// Files larger than the window: Updated' part by part, each against the
// stretch of Base' at the same relative place, coded as it is found.
int code_by_parts(CreateJob& job, std::int64_t window, DeepBits& bits) {
    TempFile literal_file;
    if (!literal_file.open()) return ERR_TEMP_FILE;
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    ControlWriter control(job.delta, 10000);
    BufferedWriter literals(literal_file.channel());
    DeepEncoder encoder(job, control, literals, bits);
    const DeepCosts costs = costs_of(job, kLiteral16);

    const std::int64_t n = job.n;
    const std::int64_t u = job.u;
    const std::int64_t base_span = std::min(n, window);
    const std::int64_t part = std::min(u, window);
    std::unique_ptr<std::uint8_t[]> base_bytes = bytes_of(base_span);
    std::unique_ptr<std::uint8_t[]> part_bytes;
    std::unique_ptr<SuffixIndex> index;
    std::vector<DeepSegment> segments;
    std::int64_t loaded = -1;
    std::int64_t literal_run = 0;
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
        segments.clear();
        deep_scan(
            *index, base_bytes.get(), part_bytes.get(), static_cast<std::int32_t>(qb - qa),
            static_cast<std::int32_t>(start_p), [&](const DeepSegment& s) { segments.push_back(s); },
            ticker(job, qa));
        DeepParseState state{start_p, literal_run};
        deep_parse(
            *index, base_bytes.get(), static_cast<std::int32_t>(base_span), part_bytes.get(),
            static_cast<std::int32_t>(qb - qa), segments, costs, state,
            [&](std::int32_t q, std::int32_t p, std::int32_t length) { encoder.copy(qa + q, ba + p, length); },
            ticker(job, qa));
        literal_run = state.literal_run;
        encoder.end_part(qb);
    }
    index.reset();
    return finish_coding(job, encoder, control, literals, literal_file, bits);
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

// Whether the search and parse for `algorithm` may find a smaller delta than
// what is known already, given the run-length forms its job settled on
// (`forms`) and what the first algorithm's records showed.
bool worth_searching(const CreateJob& job, int algorithm, std::uint8_t forms, const Found& found,
                     const DeepBits& first_bits) {
    if (algorithm == 4 && forms == 0) return false;  // algorithm 7's delta over the same bytes
    // A search of their own for the run-length forms only when they
    // leave out a good part of the files; a form that shortens a file
    // by a little rarely gives a much smaller delta (its tokens'
    // headers break up matches), and the search is the costly part.
    if (forms != 0 && forms != found.forms &&
        16 * (job.base_length - job.n + job.updated_length - job.u) < job.base_length + job.updated_length)
        return false;
    // Count-coded relative records (algorithm 1) differ from
    // Rice-coded ones only where literal runs or moves are long;
    // when the records found for the first algorithm say that
    // gains little, the same parse is not run again.
    if (job.params.rice == 0 && first_bits.matched && forms == found.forms &&
        first_bits.count_coded_saving_bits * 1000 < first_bits.delta * 8 * 3)
        return false;
    return true;
}

// Copies the `length` bytes of the chosen delta to the Delta window, which
// ends there.
int copy_best(TempFile& best, Channel& delta, int length) {
    Channel from = best.channel();
    if (!from.seek(0) || !delta.seek(0)) return ERR_WRITE_FAILED;
    const std::int64_t copied = copy_channel(from, delta, length);
    if (copied < 0) return static_cast<int>(copied);
    if (!delta.truncate_here()) return ERR_WRITE_FAILED;
    return length;
}

// Codes the pair with each of kDeepAlgorithms (a pair larger than the window
// with algorithm 7 alone, part by part) and keeps the smallest delta.
int deep_body(CoderContext& context, const TrailerRecord& trailer, CreateShared* shared,
              const DeepOptions& options, DeepBits& best_bits) {
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
        job.thorough_packing = true;
        job.base_length = base_length;
        job.updated_length = updated_length;
    };
    best_bits = DeepBits();
    if (base_length > window || updated_length > window) {
        CreateJob job(context, 7, trailer, base, updated, delta);
        start(job);
        int result = 0;
        const int rc = prepare(job, result);
        if (rc < 0) return rc;
        best_bits.algorithm = 7;
        return rc > 0 ? result : code_by_parts(job, window, best_bits);
    }

    // Each delta goes to a temporary file; the smallest is copied to the
    // Delta window. A search is shared by algorithms that match the same
    // Base' and Updated'.
    Found found;
    TempFile best;
    int best_length = -1;
    int best_algorithm = 7;
    int chosen16 = kLiteral16;
    DeepBits first_bits;  // the first algorithm's smallest delta
    for (const int algorithm : kDeepAlgorithms) {
        // Small pairs cost little to parse: there the first algorithm also
        // tries a literal cost below and above the default, and the others
        // take the best one.
        int tries16[3] = {chosen16, kLiteral16 * 2 / 3, kLiteral16 * 3 / 2};
        int tries = 1;
        for (int t = 0; t < tries; ++t) {
            TempFile out;
            if (!out.open()) return ERR_TEMP_FILE;
            context.set_algorithm(static_cast<std::int16_t>(algorithm));
            CreateJob job(context, algorithm, trailer, base, updated, out.channel());
            start(job);
            int result = 0;
            DeepBits bits;
            bits.algorithm = algorithm;
            const int rc = prepare(job, result);
            if (rc < 0) return rc;
            if (rc == 0) {
                const std::uint8_t forms = job.method & (MB_UPDATED_RLE | MB_BASE_RLE);
                if (!worth_searching(job, algorithm, forms, found, first_bits)) break;
                if (!found.valid || found.forms != forms) {
                    found = Found();  // the old search's memory goes first
                    search_whole(job, found);
                }
                if (t == 0 && algorithm == kDeepAlgorithms[0] && job.u <= kSmallPair) tries = 3;
                result = code_found(job, found, tries16[t], bits);
            } else {
                bits.delta = result;
            }
            if (result < 0) return result;
            if (algorithm == kDeepAlgorithms[0] && bits.delta > 0 && (!first_bits.matched || bits.delta < first_bits.delta))
                first_bits = bits;
            if (best_length < 0 || result < best_length) {
                best = std::move(out);
                best_length = result;
                best_algorithm = algorithm;
                best_bits = bits;
                chosen16 = tries16[t];
            }
            if (rc > 0) break;
        }
    }
    found = Found();
    // The delta's own number is the one its last progress records carry.
    context.set_algorithm(static_cast<std::int16_t>(best_algorithm));
    return copy_best(best, delta, best_length);
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
        DeepBits bits;
        result = deep_body(context, copy, shared ? shared : &own, options, bits);
        if (options.bits) *options.bits = bits;
    } catch (const DeepAbort& abort) {
        result = abort.code;
    } catch (const std::bad_alloc&) {
        result = ERR_NO_MEMORY;
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

}  // namespace quoralith
