// Stream windows, channels, temporary files and the caches the coder reads through.
#include "coder/stream.h"

#include "coder/digest.h"
#include "coder/runlength.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace quoralith {

namespace {
// Large transfers go in pieces so that a progress record precedes each piece.
constexpr std::int64_t kPiece = 0xFFFC;

// Reads at an offset without moving the stream's position or filling its
// buffer: one system call per piece, where seek-then-read costs two and copies
// through the stream buffer. Pending writes are pushed out first so that what
// was written through the stream is what is read. Returns bytes read or -1.
std::int64_t read_at_offset(FileSystem& files, std::FILE* file, off_t offset, std::uint8_t* out,
                            std::int64_t count) {
    if (std::fflush(file) != 0) return -1;
    const int fd = files.fileno(file);
    std::int64_t total = 0;
    while (total < count) {
        ssize_t got = files.pread(fd, out + total, static_cast<std::size_t>(count - total), offset + total);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        total += got;
    }
    return total;
}

// The write counterpart: straight to the file at `offset`, after any bytes the
// stream itself still buffers. Returns false on any failure (a full disk).
bool write_at_offset(FileSystem& files, std::FILE* file, off_t offset, const std::uint8_t* in,
                     std::int64_t count) {
    if (std::fflush(file) != 0) return false;
    const int fd = files.fileno(file);
    std::int64_t total = 0;
    while (total < count) {
        ssize_t put = files.pwrite(fd, in + total, static_cast<std::size_t>(count - total), offset + total);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        total += put;
    }
    return true;
}

std::int64_t file_size(FileSystem& files, std::FILE* file) {
    struct stat st;
    if (files.fstat(files.fileno(file), &st) != 0) return -1;
    return st.st_size;
}

// The file system a window's file was made by.
FileSystem& files_of(const StreamWindow& window) {
    return window.files ? *window.files : real_file_system();
}
}  // namespace

CoderContext::CoderContext(const ProgressCallback& callback, std::int16_t algorithm,
                           const std::uint8_t* tag)
    : callback_(callback), algorithm_(algorithm), tag_(tag) {}

void CoderContext::register_windows(StreamWindow* first, StreamWindow* second, StreamWindow* third) {
    windows_[0] = first;
    windows_[1] = second;
    windows_[2] = third;
    for (StreamWindow* w : windows_) {
        if (!w) continue;
        w->position = 0;
        if (!w->file) {
            w->length = 0;
            continue;
        }
        std::int64_t size = file_size(files_of(*w), w->file);
        if (size < 0) {
            w->length = -1;
        } else if (size < static_cast<std::int64_t>(w->start) + w->length) {
            w->length = size < w->start ? 0 : static_cast<std::int32_t>(size - w->start);
        }
    }
}

bool CoderContext::announce(int slot, std::int32_t position) {
    if (stopped_) return false;
    if (!callback_) return true;
    ProgressRecord record;
    record.code = static_cast<std::int16_t>(slot + 2);
    record.restore_tag = tag_;
    record.algorithm = algorithm_;
    record.position = position;
    if (callback_(record) == ANSWER_STOP) stopped_ = true;
    return !stopped_;
}

Channel Channel::of_window(CoderContext& context, int slot) {
    Channel c;
    c.context_ = &context;
    c.window_ = context.window(slot);
    c.slot_ = slot;
    return c;
}

Channel Channel::of_file(std::FILE* file) {
    Channel c;
    c.file_ = file;
    return c;
}

Channel Channel::of_file(std::FILE* file, CoderContext& context, int slot) {
    Channel c;
    c.file_ = file;
    c.context_ = &context;
    c.slot_ = slot;
    return c;
}

Channel Channel::of_memory(std::vector<std::uint8_t>& bytes) {
    Channel c;
    c.memory_ = &bytes;
    return c;
}

Channel Channel::of_form(Channel& source, RunLengthMap& map) {
    Channel c;
    c.form_ = &map;
    c.form_source_ = &source;
    return c;
}

std::int64_t Channel::length() const {
    if (window_) return window_->length < 0 ? 0 : window_->length;
    if (memory_) return static_cast<std::int64_t>(memory_->size());
    if (form_) return form_->length();
    if (!file_) return 0;
    std::int64_t size = file_size(real_file_system(), file_);
    return size < 0 ? 0 : size;
}

std::int64_t Channel::tell() const { return window_ ? window_->position : plain_position_; }

bool Channel::seek(std::int64_t offset, int origin) {
    std::int64_t base = origin == SEEK_CUR ? tell() : origin == SEEK_END ? length() : 0;
    std::int64_t target = base + offset;
    if (target < 0 || target > 0x7FFFFFFF) return false;
    if (window_) {
        if (!window_->file) return true;
        window_->position = static_cast<std::int32_t>(target);
        if (target > window_->length) window_->length = static_cast<std::int32_t>(target);
        return true;
    }
    if (!file_ && !memory_ && !form_) return false;
    plain_position_ = target;
    return true;
}

std::int64_t Channel::read(void* buffer, std::int64_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::int64_t total = 0;
    if (window_) {
        if (!window_->file) return 0;
        while (count > 0) {
            if (!context_->announce(slot_, window_->position)) return ERR_STOPPED;
            std::int64_t piece = std::min({count, kPiece,
                                           static_cast<std::int64_t>(window_->length) - window_->position});
            if (piece <= 0) break;
            const off_t at = static_cast<off_t>(window_->start) + window_->position;
            std::int64_t got = read_at_offset(files_of(*window_), window_->file, at, out + total, piece);
            if (got < 0) return ERR_READ_FAILED;
            window_->position += static_cast<std::int32_t>(got);
            total += got;
            count -= got;
            if (got < piece) break;
        }
        return total;
    }
    if (form_) return read_form(out, count);
    if (memory_) {
        const std::int64_t got = std::clamp<std::int64_t>(length() - plain_position_, 0, std::max<std::int64_t>(count, 0));
        if (got > 0) std::memcpy(out, memory_->data() + plain_position_, static_cast<std::size_t>(got));
        plain_position_ += got;
        return got;
    }
    if (!file_ || count <= 0) return 0;
    if (context_ && !context_->announce(slot_, static_cast<std::int32_t>(plain_position_))) return ERR_STOPPED;
    std::int64_t got = read_at_offset(real_file_system(), file_, static_cast<off_t>(plain_position_), out, count);
    if (got < 0) return ERR_READ_FAILED;
    plain_position_ += got;
    return got;
}

std::int64_t Channel::read_form(std::uint8_t* out, std::int64_t count) {
    count = std::clamp<std::int64_t>(form_->length() - plain_position_, 0, std::max<std::int64_t>(count, 0));
    std::int64_t total = 0;
    const int rc = form_->walk(
        plain_position_, count,
        [&](const std::uint8_t* bytes, std::int64_t n) {
            std::memcpy(out + total, bytes, static_cast<std::size_t>(n));
            total += n;
        },
        [&](std::int64_t source, std::int64_t n, std::size_t) {
            const std::int64_t got = form_source_->read_at(source, out + total, n);
            if (got < 0) return static_cast<int>(got);
            if (got != n) return ERR_READ_FAILED;  // the source is shorter than when it was mapped
            total += n;
            return 0;
        });
    if (rc < 0) return rc;
    plain_position_ += total;
    return total;
}

std::int64_t Channel::write(const void* buffer, std::int64_t count) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::int64_t total = 0;
    if (form_) return ERR_WRITE_FAILED;  // a described form is read only
    if (window_) {
        if (!window_->file) return 0;
        while (count > 0) {
            if (!context_->announce(slot_, window_->position)) return ERR_STOPPED;
            std::int64_t piece = std::min(count, kPiece);
            if (static_cast<std::int64_t>(window_->position) + piece > 0x7FFFFFFF) return ERR_WRITE_FAILED;
            const off_t at = static_cast<off_t>(window_->start) + window_->position;
            if (!write_at_offset(files_of(*window_), window_->file, at, in + total, piece)) return ERR_WRITE_FAILED;
            if (slot_ == SLOT_THIRD && context_->output_digest())
                context_->output_digest()->add(window_->position, in + total, static_cast<std::size_t>(piece));
            window_->position += static_cast<std::int32_t>(piece);
            if (window_->position > window_->length) window_->length = window_->position;
            total += piece;
            count -= piece;
        }
        return total;
    }
    if (memory_) {
        if (count <= 0) return 0;
        const auto end = static_cast<std::size_t>(plain_position_ + count);
        if (end > memory_->size()) memory_->resize(end);  // a gap reads as zeros, as in a file
        std::memcpy(memory_->data() + plain_position_, in, static_cast<std::size_t>(count));
        plain_position_ += count;
        return count;
    }
    if (!file_ || count <= 0) return 0;
    if (!write_at_offset(real_file_system(), file_, static_cast<off_t>(plain_position_), in, count))
        return ERR_WRITE_FAILED;
    plain_position_ += count;
    return count;
}

std::int64_t Channel::read_at(std::int64_t position, void* buffer, std::int64_t count) {
    if (!seek(position)) return ERR_MALFORMED;
    return read(buffer, count);
}

int Channel::read_exact_at(std::int64_t position, void* buffer, std::int64_t count) {
    std::int64_t got = read_at(position, buffer, count);
    if (got < 0) return static_cast<int>(got);
    return got == count ? 0 : ERR_MALFORMED;
}

bool Channel::truncate_here() {
    if (form_) return false;
    if (memory_) {
        memory_->resize(static_cast<std::size_t>(plain_position_));
        return true;
    }
    std::FILE* f = window_ ? window_->file : file_;
    if (!f) return true;
    if (std::fflush(f) != 0) return false;
    off_t end = window_ ? static_cast<off_t>(window_->start) + window_->position
                        : static_cast<off_t>(plain_position_);
    FileSystem& files = window_ ? files_of(*window_) : real_file_system();
    if (files.ftruncate(files.fileno(f), end) != 0) return false;
    if (window_) window_->length = window_->position;
    return true;
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        close();
        file_ = other.file_;
        other.file_ = nullptr;
    }
    return *this;
}

bool TempFile::open() {
    close();
    file_ = std::tmpfile();
    return file_ != nullptr;
}

void TempFile::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

BufferedWriter::BufferedWriter(Channel channel, std::size_t capacity)
    : channel_(channel), buffer_(capacity) {}

void BufferedWriter::put_across(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        if (fill_ == buffer_.size()) flush();
        std::size_t n = std::min(count, buffer_.size() - fill_);
        std::memcpy(buffer_.data() + fill_, bytes, n);
        fill_ += n;
        bytes += n;
        count -= n;
    }
}

int BufferedWriter::flush() {
    if (fill_ > 0 && error_ == 0) {
        std::int64_t put = channel_.write(buffer_.data(), static_cast<std::int64_t>(fill_));
        if (put < 0) error_ = static_cast<int>(put);
    }
    flushed_ += static_cast<std::int64_t>(fill_);
    fill_ = 0;
    return error_;
}

SequentialReader::SequentialReader(Channel channel, std::int64_t offset, std::int64_t length, std::size_t capacity)
    : channel_(channel), next_(offset), end_(offset + length), buffer_(capacity) {}

bool SequentialReader::refill() {
    std::int64_t want = std::min<std::int64_t>(end_ - next_, static_cast<std::int64_t>(buffer_.size()));
    if (want <= 0 || error_ != 0) {
        if (error_ == 0) error_ = ERR_MALFORMED;
        return false;
    }
    std::int64_t got = channel_.read_at(next_, buffer_.data(), want);
    if (got <= 0) {
        error_ = got < 0 ? static_cast<int>(got) : ERR_MALFORMED;
        return false;
    }
    next_ += got;
    fill_ = static_cast<std::size_t>(got);
    index_ = 0;
    return true;
}

ReadCache::ReadCache(Channel channel, std::int64_t length, std::size_t capacity, std::size_t back_margin)
    : channel_(channel), length_(length), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)),
      capacity_(capacity), back_margin_(back_margin) {}

const std::uint8_t* ReadCache::reload(std::int64_t position, std::size_t count) {
    if (position < 0 || position + static_cast<std::int64_t>(count) > length_ || error_ != 0) return nullptr;
    if (count + back_margin_ > capacity_) {
        fill_ = 0;  // what the old buffer held is gone
        capacity_ = count + back_margin_;
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
    }
    std::int64_t start = std::max<std::int64_t>(0, position - static_cast<std::int64_t>(back_margin_));
    std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(capacity_), length_ - start);
    std::int64_t got = channel_.read_at(start, buffer_.get(), want);
    if (got < 0) {
        error_ = static_cast<int>(got);
        fill_ = 0;
        return nullptr;
    }
    base_ = start;
    fill_ = got;
    if (position + static_cast<std::int64_t>(count) > base_ + fill_) {
        error_ = ERR_MALFORMED;  // the stream is shorter than its stated length
        return nullptr;
    }
    return buffer_.get() + (position - base_);
}

int ReadCache::copy_out(std::int64_t position, std::int64_t count, std::uint8_t* out) {
    const std::int64_t step = static_cast<std::int64_t>(capacity_ - back_margin_);
    while (count > 0) {
        std::int64_t n = std::min(count, step);
        const std::uint8_t* p = view(position, static_cast<std::size_t>(n));
        if (!p) return error_ ? error_ : ERR_MALFORMED;
        std::memcpy(out, p, static_cast<std::size_t>(n));
        out += n;
        position += n;
        count -= n;
    }
    return 0;
}

std::int64_t copy_channel(Channel& from, Channel& to, std::int64_t count) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 16)) + 1);
    std::int64_t total = 0;
    while (total < count) {
        std::int64_t n = std::min<std::int64_t>(count - total, static_cast<std::int64_t>(buffer.size()));
        std::int64_t got = from.read(buffer.data(), n);
        if (got < 0) return got;
        if (got == 0) return ERR_MALFORMED;
        std::int64_t put = to.write(buffer.data(), got);
        if (put < 0) return put;
        total += got;
    }
    return total;
}

namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;

// Rounded to small pages only: the system backs the whole huge pages inside the
// block with huge pages and its tail with small ones, so an array of 1.1 MiB
// costs 1.1 MiB and not the 2 MiB of a huge page it would mostly leave unused.
constexpr std::uintptr_t kSmallPage = 4096;

std::size_t mapped_size(std::size_t bytes) { return (bytes + kSmallPage - 1) & ~(kSmallPage - 1); }

}  // namespace

void* allocate_large(std::size_t bytes) {
    const std::size_t size = mapped_size(bytes);
    if (size < bytes) throw std::bad_alloc();
    // Mapped with a huge page of slack, so that the block can start on a huge
    // page boundary; the slack on either side is returned at once.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) munmap(raw, aligned - start);
    if (const std::uintptr_t after = start + size + kHugePage - (aligned + size); after > 0)
        munmap(reinterpret_cast<void*>(aligned + size), after);
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, size, MADV_HUGEPAGE);  // a hint: without it the block keeps small pages
#endif
    return block;
}

void release_large(void* block, std::size_t bytes) {
    if (block) munmap(block, mapped_size(bytes));
}

void shrink_large(void* block, std::size_t bytes, std::size_t keep) {
    const std::size_t from = mapped_size(keep), to = mapped_size(bytes);
    if (block && to > from) munmap(static_cast<std::uint8_t*>(block) + from, to - from);
}

}  // namespace quoralith
