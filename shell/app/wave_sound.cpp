// Wave file loading (our own RIFF chunk walk) and playing through Qt Multimedia.
#include "shell/app/wave_sound.h"

#include "base/program_files.h"
#include "shell/common/ui_seams.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace quoralith {

namespace {

// Larger "data" chunks are refused as out of memory rather than held whole.
constexpr std::uint64_t MAX_SOUND_BYTES = 64u << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

bool read_at(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset > std::uint64_t(LONG_MAX)) return false;
    if (std::fseek(file, long(offset), SEEK_SET) != 0) return false;
    return std::fread(buffer, 1, size, file) == size;
}

// A chunk's contents: where they start and how many bytes of them lie inside
// the enclosing range (a chunk that claims more is cut to the range).
struct Chunk {
    std::uint64_t content = 0;
    std::uint64_t size = 0;
    std::uint64_t claimed = 0;
};

// Finds the first chunk `id` (with form type `form` when given) whose header
// starts in [begin, end). Chunks are word-aligned, as RIFF requires.
bool find_chunk(std::FILE* file, std::uint64_t begin, std::uint64_t end, const char* id, const char* form,
                Chunk& found) {
    std::uint64_t at = begin;
    while (at + 8 <= end) {
        std::uint8_t header[8];
        if (!read_at(file, at, header, sizeof header)) return false;
        std::uint64_t claimed = le32(header + 4);
        std::uint64_t content = at + 8;
        if (std::memcmp(header, id, 4) == 0) {
            bool matches = true;
            if (form) {
                std::uint8_t type[4];
                matches = content + 4 <= end && read_at(file, content, type, 4) && std::memcmp(type, form, 4) == 0;
            }
            if (matches) {
                found.content = content;
                found.claimed = claimed;
                found.size = std::min(claimed, end - content);
                return true;
            }
        }
        at = content + claimed + (claimed & 1);
    }
    return false;
}

std::uint64_t file_length(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return 0;
    long length = std::ftell(file);
    return length < 0 ? 0 : std::uint64_t(length);
}

// Qt Multimedia output: the data plays from a buffer the output owns, so the
// window keeps running while it plays.
class QtAudioOutput final : public AudioOutput {
public:
    ~QtAudioOutput() override { close(); }

    bool has_device() override { return !QMediaDevices::audioOutputs().isEmpty(); }

    bool supports(const WaveFormat& format) override {
        QAudioFormat qt_format;
        if (!to_qt(format, qt_format)) return false;
        return QMediaDevices::defaultAudioOutput().isFormatSupported(qt_format);
    }

    int play(const WaveFormat& format, const std::vector<std::uint8_t>& samples) override {
        close();
        QAudioFormat qt_format;
        if (!to_qt(format, qt_format)) return WAVE_OUTPUT_BAD_FORMAT;
        QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) return WAVE_OUTPUT_NO_DEVICE;
        data_ = QByteArray(reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size()));
        buffer_ = std::make_unique<QBuffer>(&data_);
        buffer_->open(QIODevice::ReadOnly);
        sink_ = std::make_unique<QAudioSink>(device, qt_format);
        sink_->start(buffer_.get());
        if (sink_->error() == QAudio::OpenError) {
            close();
            return WAVE_OUTPUT_IN_USE;
        }
        if (sink_->error() != QAudio::NoError) {
            close();
            return WAVE_OUTPUT_ERROR;
        }
        return WAVE_OUTPUT_OK;
    }

    int reset() override {
        if (!sink_) return WAVE_OUTPUT_NOT_OPEN;
        sink_->stop();
        return WAVE_OUTPUT_OK;
    }

    int close() override {
        if (!sink_) return WAVE_OUTPUT_NOT_OPEN;
        sink_->stop();
        sink_.reset();
        buffer_.reset();
        data_.clear();
        return WAVE_OUTPUT_OK;
    }

private:
    static bool to_qt(const WaveFormat& format, QAudioFormat& out) {
        out.setSampleRate(int(format.samples_per_second));
        out.setChannelCount(format.channels);
        switch (format.bits_per_sample) {
            case 8: out.setSampleFormat(QAudioFormat::UInt8); break;
            case 16: out.setSampleFormat(QAudioFormat::Int16); break;
            case 32: out.setSampleFormat(QAudioFormat::Int32); break;
            default: return false;
        }
        return format.channels > 0 && format.samples_per_second > 0;
    }

    QByteArray data_;
    std::unique_ptr<QBuffer> buffer_;
    std::unique_ptr<QAudioSink> sink_;
};

AudioOutput* output_override = nullptr;

}  // namespace

AudioOutput& audio_output() {
    if (output_override) return *output_override;
    static QtAudioOutput qt_output;
    return qt_output;
}

void set_audio_output(AudioOutput* output) { output_override = output; }

int wave_load(WaveSound& sound, const std::string& file_name) {
    File file(std::fopen(file_name.c_str(), "rb"));
    if (!file) return WAVE_CANNOT_OPEN;
    const std::uint64_t length = file_length(file.get());

    Chunk riff;
    if (!find_chunk(file.get(), 0, length, "RIFF", "WAVE", riff)) return WAVE_BAD_FORMAT;
    const std::uint64_t riff_end = riff.content + riff.size;

    Chunk fmt;
    if (!find_chunk(file.get(), riff.content + 4, riff_end, "fmt ", nullptr, fmt)) return WAVE_BAD_FORMAT;

    auto format = std::make_unique<WaveFormat>();
    std::uint8_t raw[16];
    if (fmt.size < sizeof raw || !read_at(file.get(), fmt.content, raw, sizeof raw)) return WAVE_READ_ERROR;
    format->format_tag = le16(raw);
    format->channels = le16(raw + 2);
    format->samples_per_second = le32(raw + 4);
    format->average_bytes_per_second = le32(raw + 8);
    format->block_align = le16(raw + 12);
    format->bits_per_sample = le16(raw + 14);
    if (format->format_tag != WAVE_FORMAT_PCM) return WAVE_BAD_FORMAT;
    if (!audio_output().supports(*format)) return WAVE_BAD_FORMAT;

    // The data chunk is looked for after the format chunk, as a chunk walk
    // that leaves "fmt " and descends again would.
    Chunk data;
    std::uint64_t after_fmt = fmt.content + fmt.claimed + (fmt.claimed & 1);
    if (!find_chunk(file.get(), after_fmt, riff_end, "data", nullptr, data)) return WAVE_BAD_FORMAT;
    if (data.claimed == 0 || data.size == 0) return WAVE_BAD_FORMAT;
    if (data.size > MAX_SOUND_BYTES) return WAVE_OUT_OF_MEMORY;

    std::vector<std::uint8_t> samples;
    try {
        samples.resize(std::size_t(data.size));
    } catch (const std::bad_alloc&) {
        return WAVE_OUT_OF_MEMORY;
    }
    if (!read_at(file.get(), data.content, samples.data(), samples.size())) return WAVE_READ_ERROR;

    sound.bits_per_sample = format->bits_per_sample;
    sound.frame_size = std::uint16_t(format->channels * (format->bits_per_sample / 8));
    sound.format = std::move(format);
    sound.data_size = std::uint32_t(data.size);
    sound.data_offset = std::uint32_t(data.content);
    sound.samples = std::move(samples);
    return WAVE_LOADED;
}

QString wave_load_message(int code) {
    switch (code) {
        case WAVE_LOADED:
        case WAVE_CANNOT_OPEN: return {};
        case WAVE_OUT_OF_MEMORY: return QStringLiteral("No enough memory");
        case WAVE_BAD_FORMAT: return QStringLiteral("Wrong or unsupported format of file");
        case WAVE_READ_ERROR: return QStringLiteral("Error reading");
        default: return QStringLiteral("Unknown error");
    }
}

int wave_prepare(WaveSound& sound, const std::string& file_name) {
    if (!audio_output().has_device()) return 0;
    int code = wave_load(sound, file_name);
    if (code == WAVE_LOADED) return 1;
    if (code != WAVE_CANNOT_OPEN)
        MessageBox::show(nullptr, wave_load_message(code), QString::fromLatin1(WAVE_ERROR_CAPTION), MessageIcon::Error);
    return 0;
}

int wave_prepare(WaveSound& sound) {
    // The sound ships in the data directory; a copy in the current or the
    // configuration directory takes precedence, as for the other side files.
    std::string path;
    if (!place_found(locate_program_file("", true, WAVE_FILE_NAME, path))) path = WAVE_FILE_NAME;
    return wave_prepare(sound, path);
}

int wave_play(WaveSound& sound) {
    if (!sound.format || sound.samples.empty()) return WAVE_OUTPUT_ERROR;
    return audio_output().play(*sound.format, sound.samples);
}

QString wave_error_text(int code) {
    switch (code) {
        case WAVE_OUTPUT_ERROR: return QStringLiteral("An unspecified error occurred in the audio output.");
        case WAVE_OUTPUT_NO_DEVICE: return QStringLiteral("There is no audio output device.");
        case WAVE_OUTPUT_IN_USE: return QStringLiteral("The audio output device is already in use.");
        case WAVE_OUTPUT_NOT_OPEN: return QStringLiteral("No audio output device is open.");
        case WAVE_OUTPUT_NO_MEMORY: return QStringLiteral("There is not enough memory to play the sound.");
        case WAVE_OUTPUT_BAD_FORMAT: return QStringLiteral("The audio output device cannot play this format.");
        default: return QStringLiteral("Unknown Error");
    }
}

void wave_report_error(int code) {
    MessageBox::show(nullptr, wave_error_text(code), QString::fromLatin1(WAVE_ERROR_CAPTION), MessageIcon::Error);
}

}  // namespace quoralith
