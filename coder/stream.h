// Stream windows and the per-call coder context: every byte the coder moves
// between it and the engine's three files passes through here, and every such
// transfer is announced to the progress callback.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "base/file_system.h"
#include "base/progress.h"

namespace quoralith {

// A stretch of an open file: byte 0 of the window is byte `start` of the file.
// The engine passes length 0x7FFFFFFF, meaning "to the end of the file". A window
// without a file counts as empty (a missing Base). `files` is the file system
// that made the file, through which every transfer goes (null: the real one).
struct StreamWindow {
    std::FILE* file = nullptr;
    std::int32_t start = 0;
    std::int32_t length = 0x7FFFFFFF;
    std::int32_t position = 0;
    FileSystem* files = nullptr;
};

// Slots of the window table: the order of the driver's window arguments.
class RunLengthMap;
class DigestBuilder;

enum WindowSlot : int { SLOT_FIRST = 0, SLOT_SECOND = 1, SLOT_THIRD = 2 };

// All state of one create or restore call. Nothing in the coder outlives it, so
// several calls may run side by side on different contexts.
class CoderContext {
public:
    // `tag` points at the 24 reserved trailer bytes shown in progress records.
    CoderContext(const ProgressCallback& callback, std::int16_t algorithm, const std::uint8_t* tag);

    // Puts the three windows in the table: position 0, length cut to the file.
    void register_windows(StreamWindow* first, StreamWindow* second, StreamWindow* third);

    StreamWindow* window(int slot) const { return windows_[slot]; }

    // Sends the record that precedes a transfer on `slot`. Returns false (and
    // latches stopped()) when the callback answers ANSWER_STOP.
    bool announce(int slot, std::int32_t position);

    bool stopped() const { return stopped_; }
    void set_algorithm(std::int16_t algorithm) { algorithm_ = algorithm; }

    // Every byte written through the third window is also handed to
    // `builder` at its position (a restore digests its output as it writes).
    void digest_output(DigestBuilder* builder) { output_digest_ = builder; }
    DigestBuilder* output_digest() const { return output_digest_; }

private:
    StreamWindow* windows_[3] = {nullptr, nullptr, nullptr};
    ProgressCallback callback_;  // a copy: callers may pass a temporary
    std::int16_t algorithm_;
    const std::uint8_t* tag_;
    DigestBuilder* output_digest_ = nullptr;
    bool stopped_ = false;
};

// A handle through which the coder reads or writes one stream: either a
// registered window (transfers are announced, positions are window-relative) or
// a plain file such as an anonymous temporary (transfers go straight through).
// Results of transfers: bytes moved (>= 0), ERR_STOPPED after a stop answer,
// ERR_READ_FAILED or ERR_WRITE_FAILED on an I/O error.
class Channel {
public:
    Channel() = default;
    static Channel of_window(CoderContext& context, int slot);
    static Channel of_file(std::FILE* file);
    // A plain file whose reads are announced as reads of `slot`, so that a long
    // pass over a transformed Base or Updated keeps the progress bar and Stop live.
    static Channel of_file(std::FILE* file, CoderContext& context, int slot);
    // Bytes held in memory, for short intermediate streams: a temporary file
    // costs more to make than a few kilobytes cost to keep.
    static Channel of_memory(std::vector<std::uint8_t>& bytes);
    // The run-length form of `source` that `map` describes, read without being
    // stored: headers and run patterns come from the map, a literal's bytes
    // from `source`. Read only; both must outlive the channel, and `source`
    // must not change while it is read.
    static Channel of_form(Channel& source, RunLengthMap& map);

    std::int64_t length() const;
    std::int64_t tell() const;
    // origin: SEEK_SET, SEEK_CUR or SEEK_END. A target past the end of a
    // window extends it (so that writes may land there).
    bool seek(std::int64_t offset, int origin = SEEK_SET);

    std::int64_t read(void* buffer, std::int64_t count);
    std::int64_t write(const void* buffer, std::int64_t count);
    // read() at `position`; moves the current position.
    std::int64_t read_at(std::int64_t position, void* buffer, std::int64_t count);
    // Reads exactly `count` bytes or fails (ERR_MALFORMED when the stream is short).
    int read_exact_at(std::int64_t position, void* buffer, std::int64_t count);

    // Cuts the underlying file at the current position: what an earlier, longer
    // content left behind it is not part of what was written.
    bool truncate_here();

    bool valid() const { return file_ != nullptr || window_ != nullptr || memory_ != nullptr || form_ != nullptr; }

private:
    std::int64_t read_form(std::uint8_t* out, std::int64_t count);

    CoderContext* context_ = nullptr;
    StreamWindow* window_ = nullptr;
    int slot_ = -1;
    std::FILE* file_ = nullptr;
    std::vector<std::uint8_t>* memory_ = nullptr;
    RunLengthMap* form_ = nullptr;
    Channel* form_source_ = nullptr;
    std::int64_t plain_position_ = 0;
};

// An anonymous temporary file that vanishes when closed.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    TempFile(TempFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
    TempFile& operator=(TempFile&& other) noexcept;
    ~TempFile() { close(); }

    bool open();  // false when no temporary file could be made
    void close();
    std::FILE* get() const { return file_; }
    Channel channel() const { return Channel::of_file(file_); }
    explicit operator bool() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
};

// A fixed array left uninitialised. The coder's buffers and tables are each
// written before they are read, and clearing fresh memory costs as much as the
// transfer it serves (or, for an index of megabytes, a pass of its own).
//
// Arrays of megabytes (a chunk, its index) are placed in huge pages where the
// system offers them: their entries are reached in random order, and with
// small pages most such reaches also miss the address cache, while setting up
// and releasing thousands of small pages costs milliseconds of its own.
void* allocate_large(std::size_t bytes);  // throws std::bad_alloc
void release_large(void* block, std::size_t bytes);
// Gives back the end of a block from allocate_large() of `bytes`, keeping the
// first `keep`; release it afterwards with `keep` as its size.
void shrink_large(void* block, std::size_t bytes, std::size_t keep);
// Address checking watches only the ordinary heap: under it, every array
// stays there, where a read past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kLargeArray = SIZE_MAX;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kLargeArray = SIZE_MAX;
#else
constexpr std::size_t kLargeArray = std::size_t{1} << 20;
#endif
#else
constexpr std::size_t kLargeArray = std::size_t{1} << 20;
#endif

template <class T>
class Array {
public:
    explicit Array(std::size_t size) : size_(size) {
        if (size > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        if (size * sizeof(T) >= kLargeArray) {
            data_ = static_cast<T*>(allocate_large(size * sizeof(T)));
            large_ = true;
        } else {
            data_ = new T[size];
        }
    }
    ~Array() {
        if (large_) release_large(data_, size_ * sizeof(T));
        else delete[] data_;
    }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
    T* data_;
    std::size_t size_;
    bool large_ = false;
};

// A scratch array that grows to the largest size asked of it (by doubling, as
// sizes asked one after another often grow a little at a time). Its contents
// do not survive growth.
template <class T>
class Scratch {
public:
    T* reserve(std::size_t size) {
        if (!array_ || array_->size() < size) {
            const std::size_t grown = std::max(size, array_ ? 2 * array_->size() : size);
            array_.reset();  // the old block goes before the new one is taken
            array_ = std::make_unique<Array<T>>(grown);
        }
        return array_->data();
    }

private:
    std::unique_ptr<Array<T>> array_;
};

// Sequential buffered writer over a Channel. The first error sticks.
class BufferedWriter {
public:
    explicit BufferedWriter(Channel channel, std::size_t capacity = 1 << 16);
    ~BufferedWriter() = default;

    void put(std::uint8_t byte) {
        if (fill_ == buffer_.size()) flush();
        buffer_[fill_++] = byte;
    }
    void put(const std::uint8_t* bytes, std::size_t count) {
        // Most puts are small and fit: no call beyond the copy.
        if (count <= buffer_.size() - fill_) {
            std::memcpy(buffer_.data() + fill_, bytes, count);
            fill_ += count;
            return;
        }
        put_across(bytes, count);
    }
    // Writes what is buffered; returns 0 or the first error code.
    int flush();
    int error() const { return error_; }
    std::int64_t written() const { return flushed_ + static_cast<std::int64_t>(fill_); }

private:
    void put_across(const std::uint8_t* bytes, std::size_t count);  // put() with flushes

    Channel channel_;
    Array<std::uint8_t> buffer_;
    std::size_t fill_ = 0;
    std::int64_t flushed_ = 0;
    int error_ = 0;
};

// Reads a bounded stretch [offset, offset + length) of a Channel from its
// start to its end through a buffer. Reading past the stretch, or a stream
// shorter than it, fails and sets error(); the first error sticks.
class SequentialReader {
public:
    SequentialReader(Channel channel, std::int64_t offset, std::int64_t length, std::size_t capacity = 1 << 16);

    bool next_byte(std::uint8_t& byte) {
        if (index_ == fill_ && !refill()) return false;
        byte = buffer_[index_++];
        return true;
    }
    // Moves `count` bytes to `sink` (anything with put(const std::uint8_t*,
    // std::size_t)); false when the stretch is too short.
    template <class Sink>
    bool feed(Sink& sink, std::int64_t count) {
        while (count > 0) {
            if (index_ == fill_ && !refill()) return false;
            const std::size_t n = fill_ - index_ < static_cast<std::uint64_t>(count) ? fill_ - index_
                                                                                     : static_cast<std::size_t>(count);
            sink.put(buffer_.data() + index_, n);
            index_ += n;
            count -= static_cast<std::int64_t>(n);
        }
        return true;
    }
    int error() const { return error_; }

private:
    bool refill();

    Channel channel_;
    std::int64_t next_;  // next offset to load
    std::int64_t end_;
    Array<std::uint8_t> buffer_;
    std::size_t fill_ = 0;
    std::size_t index_ = 0;
    int error_ = 0;
};

// Random-access read cache over a Channel of known length. view() makes a
// stretch resident and returns a pointer to it; stretches may be at most
// capacity() - back_margin bytes. The first error sticks.
class ReadCache {
public:
    ReadCache(Channel channel, std::int64_t length, std::size_t capacity = 1 << 18,
              std::size_t back_margin = 64);

    std::int64_t length() const { return length_; }
    std::size_t capacity() const { return capacity_; }

    // Returns a pointer to bytes [position, position + count), or nullptr when the
    // stretch is out of range or could not be read (error() tells which).
    const std::uint8_t* view(std::int64_t position, std::size_t count) {
        if (position >= base_ && position + static_cast<std::int64_t>(count) <= base_ + fill_ &&
            position >= 0)
            return buffer_.get() + (position - base_);
        return reload(position, count);
    }
    std::uint8_t at(std::int64_t position) {
        const std::uint8_t* p = view(position, 1);
        return p ? *p : 0;
    }
    // Copies [position, position + count) of any length into `out`.
    int copy_out(std::int64_t position, std::int64_t count, std::uint8_t* out);
    int error() const { return error_; }

private:
    const std::uint8_t* reload(std::int64_t position, std::size_t count);

    Channel channel_;
    std::int64_t length_;
    // Uninitialised: only bytes read into it are ever looked at.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::size_t back_margin_;
    std::int64_t base_ = 0;
    std::int64_t fill_ = 0;
    int error_ = 0;
};

// Copies `count` bytes from `from` (at its current position) to `to`.
// Returns bytes copied or a negative code; a short source is ERR_MALFORMED.
std::int64_t copy_channel(Channel& from, Channel& to, std::int64_t count);

}  // namespace quoralith
