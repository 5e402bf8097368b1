// The startup sound: our own walk over the RIFF chunks of a wave file, and the
// PCM data played through an audio output that does not block the window.
//
// The audio output is an interface so that the program can run, and be tested,
// without a sound device: the Qt Multimedia implementation is the default, and
// a missing device means silence without a message.
//
// Thread safety: user-interface thread only (the output device is process-wide).
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QObject;

namespace quoralith {

// Load result codes of wave_load.
enum WaveLoadResult : int {
    WAVE_LOADED = 0,
    WAVE_CANNOT_OPEN = 106,        // silent: the sound is simply skipped
    WAVE_OUT_OF_MEMORY = 107,      // "No enough memory"
    WAVE_BAD_FORMAT = 110,         // "Wrong or unsupported format of file"
    WAVE_READ_ERROR = 113,         // "Error reading"
};

// Error codes of the audio output (0 is success). The numbers follow the
// classic wave-output codes so that a code read in a log means the same thing.
enum WaveOutputError : int {
    WAVE_OUTPUT_OK = 0,
    WAVE_OUTPUT_ERROR = 1,          // unspecified failure
    WAVE_OUTPUT_NO_DEVICE = 2,      // no such device
    WAVE_OUTPUT_IN_USE = 4,         // the device is busy
    WAVE_OUTPUT_NO_MEMORY = 7,
    WAVE_OUTPUT_NOT_OPEN = 5,       // nothing is open to reset or close
    WAVE_OUTPUT_BAD_FORMAT = 32,    // the device cannot play the format
};

// The first 16 bytes of the "fmt " chunk.
struct WaveFormat {
    std::uint16_t format_tag = 0;  // 1 = PCM
    std::uint16_t channels = 0;
    std::uint32_t samples_per_second = 0;
    std::uint32_t average_bytes_per_second = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0;
};

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr const char* WAVE_FILE_NAME = "QRALITH.wav";
inline constexpr const char* WAVE_ERROR_CAPTION = "Wave Error";

struct WaveSound {
    std::uint32_t data_size = 0;    // bytes of the "data" chunk's contents as loaded
    std::uint32_t data_offset = 0;  // file offset of those contents
    std::unique_ptr<WaveFormat> format;
    std::vector<std::uint8_t> samples;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t frame_size = 0;   // channels * (bits per sample / 8)
};

// Where the sound goes. Implementations report errors with WaveOutputError codes.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    virtual bool has_device() = 0;
    // Whether the device could play `format` (no device is opened).
    virtual bool supports(const WaveFormat& format) = 0;
    // Opens the device and starts playing `samples` (which stay alive until
    // close); returns at once.
    virtual int play(const WaveFormat& format, const std::vector<std::uint8_t>& samples) = 0;
    virtual int reset() = 0;  // stops the sound
    virtual int close() = 0;  // releases the device
};

// The process's audio output: the Qt Multimedia one unless a test set another.
AudioOutput& audio_output();
// Replaces it (null goes back to the default); the caller keeps ownership.
void set_audio_output(AudioOutput* output);

// Reads the format and the PCM data of `file_name` into `sound`. Returns a
// WaveLoadResult. A chunk whose size lies beyond the file is cut to the file;
// nothing is read outside the file.
int wave_load(WaveSound& sound, const std::string& file_name);

// The message of a load code; empty for 0 and 106.
QString wave_load_message(int code);

// Loads the startup sound: the output must have a device (else 0 without a
// message); "QRALITH.wav" is looked up in the current, configuration and data
// directories. Returns 1 when the sound is ready; shows the load message and
// returns 0 otherwise (silently when the file is missing).
int wave_prepare(WaveSound& sound);
int wave_prepare(WaveSound& sound, const std::string& file_name);

// Starts playing; 0 when playing has begun, otherwise a WaveOutputError.
int wave_play(WaveSound& sound);

// The words for an output error code ("Unknown Error" for a code we do not know).
QString wave_error_text(int code);
// Shows those words in the "Wave Error" box.
void wave_report_error(int code);

}  // namespace quoralith
