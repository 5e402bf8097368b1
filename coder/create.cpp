// The create driver: sets the algorithm's parameters, applies the run-length
// form, chooses between storing, packing and match coding, and assembles the
// delta: payload, method header, method byte, Base check block, trailer.
#include <algorithm>
#include <new>

#include "coder/coder.h"
#include "coder/create_internal.h"
#include "coder/packer.h"
#include "coder/runlength.h"

namespace quoralith {

namespace {

// A form described by more tokens than this (3.5 MiB of them) is written to a
// temporary file as it is found instead.
constexpr std::size_t kMapTokens = std::size_t{1} << 17;

// Makes `prime` the run-length form of `source` when the source is at least T
// bytes long and the form is not longer; returns 1 when it did, 0 when the
// source stays as it is, or a negative code. A form already made by an earlier
// pass over the same pair is reused.
//
// The form is described, not stored: a map of its tokens over `source` (held
// in `own_map`, or in the shared form) that reads give the form's bytes from.
// Writing megabytes of a form to a temporary file and reading them back costs
// more than the description, which is a few entries for the files where the
// form pays. Only a form of too many tokens to describe is written out.
int transform(CreateJob& job, int which, Channel& source, std::int64_t length, TempFile& own, RunLengthMap& own_map,
              Channel& prime, std::int64_t& prime_length) {
    const std::uint32_t threshold = job.params.run_threshold;
    const int slot = which == 1 ? SLOT_SECOND : SLOT_FIRST;
    prime = source;
    prime_length = length;
    if (length < static_cast<std::int64_t>(threshold)) return 0;
    CreateShared::Form* form = job.shared ? job.shared->find(which, threshold) : nullptr;
    if (!form) {
        TempFile* file = &own;
        RunLengthMap* map = &own_map;
        if (job.shared) {
            form = &job.shared->add(which, threshold);
            file = &form->file;
            map = &form->map;
        }
        // Base is read whole here: the check block the delta ends with is
        // folded in on the way instead of in a pass of its own.
        CheckFold check(length);
        CheckFold* fold = which == 0 ? &check : nullptr;
        std::int64_t n = runlength_map(source, length, threshold, kMapTokens, *map, fold);
        const bool described = n >= 0;
        if (n == ERR_NO_MEMORY) {
            *map = RunLengthMap();
            if (!file->open()) return ERR_TEMP_FILE;
            Channel out = file->channel();
            check = CheckFold(length);  // the map pass stopped part way: fold from the start again
            n = runlength_encode(source, length, threshold, out, fold);
        }
        if (which == 0 && n >= 0 && check.folded() == length) {
            check.finish(kCheckLong, job.base_check);
            job.has_base_check = true;
        }
        if (n < 0 || n > length) {  // failed, or longer than its source and not used
            file->close();
            *map = RunLengthMap();
            if (form) form->length = -1;
            return n < 0 ? static_cast<int>(n) : 0;
        }
        if (form) {
            form->length = n;
            form->described = described;
        }
        prime = described ? Channel::of_form(source, *map) : Channel::of_file(file->get(), job.context, slot);
        prime_length = n;
        return 1;
    }
    if (form->length < 0) return 0;
    prime = form->described ? Channel::of_form(source, form->map) : Channel::of_file(form->file.get(), job.context, slot);
    prime_length = form->length;
    return 1;
}

}  // namespace

int prepare_updated(CreateJob& job) {
    int rc = transform(job, 1, job.updated, job.updated_length, job.updated_rle_file, job.updated_map,
                       job.updated_prime, job.u);
    if (rc > 0) job.method |= MB_UPDATED_RLE;
    return rc < 0 ? rc : 0;
}

int prepare_base(CreateJob& job) {
    int rc = transform(job, 0, job.base, job.base_length, job.base_rle_file, job.base_map, job.base_prime, job.n);
    if (rc > 0) job.method |= MB_BASE_RLE;
    return rc < 0 ? rc : 0;
}

std::int64_t write_payload(CreateJob& job, Channel& data, std::int64_t length) {
    const std::int64_t start = job.delta.tell();
    if (!data.seek(0)) return ERR_READ_FAILED;
    std::int64_t packed = pack_stream(data, length, job.params.packer_threshold, job.delta, job.thorough_packing);
    if (packed >= 0) {
        job.method |= MB_PACKED;
        return packed;
    }
    if (packed != PACK_NOT_SMALLER) return packed;
    if (!job.delta.seek(start) || !data.seek(0)) return ERR_WRITE_FAILED;
    return copy_channel(data, job.delta, length);
}

int finish_delta(CreateJob& job, const std::uint8_t* header, int header_length) {
    std::uint8_t tail[12];
    std::copy(header, header + header_length, tail);
    tail[header_length] = static_cast<std::uint8_t>(job.method | job.algorithm);
    std::int64_t put = job.delta.write(tail, header_length + 1);
    if (put < 0) return static_cast<int>(put);

    const int check_length = job.trailer.check_length();
    if (check_length > 0) {
        std::uint8_t check[kCheckLong];
        if (job.shared && job.shared->has_check) {
            fold_check_block(job.shared->check, std::min(check_length, kCheckLong), check);
        } else if (job.has_base_check) {
            if (job.shared) {
                std::copy(job.base_check, job.base_check + kCheckLong, job.shared->check);
                job.shared->has_check = true;
            }
            fold_check_block(job.base_check, std::min(check_length, kCheckLong), check);
        } else if (job.shared) {
            int rc = compute_check_block(job.base, kCheckLong, job.shared->check);
            if (rc < 0) return rc;
            job.shared->has_check = true;
            fold_check_block(job.shared->check, std::min(check_length, kCheckLong), check);
        } else {
            int rc = compute_check_block(job.base, std::min(check_length, kCheckLong), check);
            if (rc < 0) return rc;
        }
        put = job.delta.write(check, std::min(check_length, kCheckLong));
        if (put < 0) return static_cast<int>(put);
        put = job.delta.write(job.trailer.bytes.data(), kTrailerSize);
        if (put < 0) return static_cast<int>(put);
    }
    if (!job.delta.truncate_here()) return ERR_WRITE_FAILED;
    return static_cast<int>(job.delta.tell());
}

int finish_match_coded(CreateJob& job, TempFile& literal_file, std::int64_t control_end,
                       std::int64_t literal_length) {
    job.method |= MB_MATCHED;
    if (!job.delta.seek(control_end)) return ERR_WRITE_FAILED;
    Channel lit = literal_file.channel();
    const std::int64_t put = write_payload(job, lit, literal_length);
    if (put < 0) return static_cast<int>(put);
    std::uint8_t header[8];
    put_be32(header, static_cast<std::uint32_t>(job.u));
    put_be32(header + 4, static_cast<std::uint32_t>(control_end));
    return finish_delta(job, header, 8);
}

int finish_stored(CreateJob& job) {
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    const std::int64_t put = write_payload(job, job.updated_prime, job.u);
    if (put < 0) return static_cast<int>(put);
    return finish_delta(job, nullptr, 0);
}

int small_path(CreateJob& job) {
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    std::int64_t put = write_payload(job, job.updated_prime, job.u);
    if (put < 0) return static_cast<int>(put);
    return finish_delta(job, nullptr, 0);
}

namespace {

int create_body(CreateJob& job) {
    job.base_length = job.base.length();
    job.updated_length = job.updated.length();
    if (job.base_length > MAX_FILE_LENGTH || job.updated_length > MAX_FILE_LENGTH) return ERR_MALFORMED;
    if (job.context.window(SLOT_FIRST)->length < 0 || job.context.window(SLOT_SECOND)->length < 0)
        return ERR_READ_FAILED;
    if (job.base_length == 0 && job.algorithm == 2) job.algorithm = 4;
    job.params = algorithm_params(job.algorithm);
    if (job.algorithm == 0) return create_algorithm0(job);

    int rc = prepare_updated(job);
    if (rc < 0) return rc;
    if (job.u < 200) return small_path(job);
    rc = prepare_base(job);
    if (rc < 0) return rc;
    if (job.n < 200) return small_path(job);

    TempFile literal_file;
    if (!literal_file.open()) return ERR_TEMP_FILE;
    if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
    const std::int64_t updated_buffer = std::clamp<std::int64_t>(job.updated_length, 200, 0xFFFC);
    ControlWriter control(job.delta, static_cast<std::size_t>(std::min<std::int64_t>(updated_buffer, 10000)));
    BufferedWriter literals(literal_file.channel());

    std::int64_t q = match_search(job, control, literals);
    if (q == kMatchNotSmaller) return finish_stored(job);
    if (q < 0) return static_cast<int>(q);
    if (job.context.stopped()) return ERR_STOPPED;
    const std::int64_t tail = job.u - q;
    if (tail > 0) {
        control.put_flag(true);
        control.put_count(static_cast<std::uint32_t>(tail + 1));
    }
    const std::int64_t v = control.byte_count();
    const std::int64_t x = literals.written() + tail;
    if (v + x + 9 < job.u) {
        rc = control.finish();
        if (rc < 0) return rc;
        // The tail bytes of Updated' close the literal stream.
        if (tail > 0) {
            if (literals.flush() < 0) return literals.error();
            Channel lit = literal_file.channel();
            if (!lit.seek(literals.written()) || !job.updated_prime.seek(q)) return ERR_READ_FAILED;
            std::int64_t copied = copy_channel(job.updated_prime, lit, tail);
            if (copied < 0) return static_cast<int>(copied);
        } else if (literals.flush() < 0) {
            return literals.error();
        }
        return finish_match_coded(job, literal_file, v, x);
    }
    // Match coding does not pay: the delta stores Updated' instead.
    return finish_stored(job);
}

}  // namespace

int coder_create(StreamWindow* base, StreamWindow* updated, StreamWindow* delta, int algorithm,
                 const ProgressCallback& callback, const TrailerRecord& trailer, CreateShared* shared) {
    if (algorithm < 0 || algorithm > 15) algorithm = 15;
    TrailerRecord copy = trailer;
    copy.set_magic();
    CoderContext context(callback, static_cast<std::int16_t>(algorithm), copy.tag());
    StreamWindow no_base;
    no_base.file = nullptr;
    context.register_windows(base ? base : &no_base, updated, delta);
    CreateJob job(context, algorithm, copy, Channel::of_window(context, SLOT_FIRST),
                  Channel::of_window(context, SLOT_SECOND), Channel::of_window(context, SLOT_THIRD));
    job.shared = shared;
    int result;
    try {
        result = create_body(job);
    } catch (const std::bad_alloc&) {
        result = ERR_NO_MEMORY;
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

}  // namespace quoralith
