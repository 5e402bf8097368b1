// Helpers of the desktop program's tests: an isolated place to start the
// program in (working, configuration and data directories of its own), and
// builders of bitmap and wave files.
#pragma once

#include "shell/app/wave_sound.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

namespace quoralith::test {

// A scratch tree with cwd/, config/ and data/; the process's working
// directory, XDG_CONFIG_HOME and the program's data directory point into it
// while the object lives. Message boxes and dialogs are in test mode.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    QString cwd(const QString& name = {}) const;
    QString config(const QString& name = {}) const;  // <config>/quoralith/name
    QString data(const QString& name = {}) const;
    QString path(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    QString old_cwd_;
    QByteArray old_config_;
};

void write_file(const QString& path, const QByteArray& bytes);
QByteArray read_file(const QString& path);

// A bitmap file. `bits` 1, 4, 8, 16, 24 or 32; `core` chooses the 12-byte
// header; a negative height writes a top-down picture. Pixels are produced by
// `index_or_rgb(x, y)`: a colour index for up to 8 bits, else 0xRRGGBB.
// `colours` fills the colour table (when empty, a table of 2^bits greys).
QByteArray make_bmp(int width, int height, int bits, bool core = false,
                    std::uint32_t (*index_or_rgb)(int x, int y) = nullptr,
                    const std::vector<std::uint32_t>& colours = {}, std::uint32_t used_colours = 0);

// A wave file; chunks are written in the order given.
struct WaveChunk {
    QByteArray id;
    QByteArray body;
    std::uint32_t claimed_size = 0xFFFFFFFFu;  // the body's size unless set
};
QByteArray make_riff(const QByteArray& form, const std::vector<WaveChunk>& chunks);
QByteArray pcm_format(std::uint16_t tag = 1, std::uint16_t channels = 1, std::uint32_t rate = 22050,
                      std::uint16_t bits = 16);
QByteArray make_wave(int samples = 100);

// An audio output that plays nothing and records what it was asked.
class FakeAudioOutput final : public AudioOutput {
public:
    bool device = true;
    bool supported = true;
    int play_result = 0;
    int reset_result = 0;
    int close_result = 0;
    int supports_calls = 0;
    int plays = 0;
    int resets = 0;
    int closes = 0;
    std::size_t played_bytes = 0;

    bool has_device() override { return device; }
    bool supports(const WaveFormat&) override {
        ++supports_calls;
        return supported;
    }
    int play(const WaveFormat&, const std::vector<std::uint8_t>& samples) override {
        ++plays;
        played_bytes = samples.size();
        return play_result;
    }
    int reset() override {
        ++resets;
        return reset_result;
    }
    int close() override {
        ++closes;
        return close_result;
    }
};

}  // namespace quoralith::test
