// Scratch directories and file builders for the desktop program's tests.
#include "gui_test_support.h"

#include "base/program_files.h"
#include "shell/common/ui_seams.h"

#include <QDir>
#include <QFile>

#include <cstdlib>

namespace quoralith::test {

Sandbox::Sandbox() {
    QDir root(dir_.path());
    root.mkpath(QStringLiteral("cwd"));
    root.mkpath(QStringLiteral("config/quoralith"));
    root.mkpath(QStringLiteral("data"));
    old_cwd_ = QDir::currentPath();
    old_config_ = qgetenv("XDG_CONFIG_HOME");
    QDir::setCurrent(root.filePath(QStringLiteral("cwd")));
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toLocal8Bit());
    set_program_data_directory(root.filePath(QStringLiteral("data")).toStdString());
    MessageBox::setTestMode(true);
    MessageBox::clearShown();
}

Sandbox::~Sandbox() {
    QDir::setCurrent(old_cwd_);
    qputenv("XDG_CONFIG_HOME", old_config_);
    set_program_data_directory("");
    MessageBox::clearShown();
}

QString Sandbox::cwd(const QString& name) const { return dir_.filePath(QStringLiteral("cwd/") + name); }
QString Sandbox::config(const QString& name) const {
    return dir_.filePath(QStringLiteral("config/quoralith/") + name);
}
QString Sandbox::data(const QString& name) const { return dir_.filePath(QStringLiteral("data/") + name); }

void write_file(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(bytes);
}

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace {

void put16(QByteArray& out, std::uint32_t v) {
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

}  // namespace

QByteArray make_bmp(int width, int height, int bits, bool core, std::uint32_t (*pixel)(int, int),
                    const std::vector<std::uint32_t>& colours, std::uint32_t used_colours) {
    QByteArray header;
    if (core) {
        put32(header, 12);
        put16(header, std::uint32_t(width));
        put16(header, std::uint32_t(height));
        put16(header, 1);
        put16(header, std::uint32_t(bits));
    } else {
        put32(header, 40);
        put32(header, std::uint32_t(width));
        put32(header, std::uint32_t(height));
        put16(header, 1);
        put16(header, std::uint32_t(bits));
        put32(header, 0);
        put32(header, 0);
        put32(header, 2835);
        put32(header, 2835);
        put32(header, used_colours);
        put32(header, 0);
    }
    QByteArray table;
    if (bits <= 8) {
        std::size_t count = used_colours ? (used_colours & 0xFFFF) : std::size_t(1) << bits;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t rgb = i < colours.size() ? colours[i] : std::uint32_t(i * 255 / ((1u << bits) - 1)) * 0x010101u;
            table.append(char(rgb & 0xFF));
            table.append(char((rgb >> 8) & 0xFF));
            table.append(char((rgb >> 16) & 0xFF));
            if (!core) table.append('\0');
        }
    }
    int rows = height < 0 ? -height : height;
    int stride = ((width * bits + 31) / 32) * 4;
    QByteArray pixels(stride * rows, '\0');
    for (int file_row = 0; file_row < rows; ++file_row) {
        int y = height < 0 ? file_row : rows - 1 - file_row;
        char* row = pixels.data() + file_row * stride;
        for (int x = 0; x < width; ++x) {
            std::uint32_t v = pixel ? pixel(x, y) : 0;
            switch (bits) {
                case 1: if (v & 1) row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8))); break;
                case 4: row[x / 2] = char(row[x / 2] | ((x & 1) ? (v & 15) : (v & 15) << 4)); break;
                case 8: row[x] = char(v); break;
                case 16: {
                    std::uint32_t r = (v >> 19) & 31, g = (v >> 11) & 31, b = (v >> 3) & 31;
                    std::uint32_t w = r << 10 | g << 5 | b;
                    row[2 * x] = char(w & 0xFF);
                    row[2 * x + 1] = char(w >> 8);
                    break;
                }
                case 24:
                    row[3 * x] = char(v & 0xFF);
                    row[3 * x + 1] = char((v >> 8) & 0xFF);
                    row[3 * x + 2] = char((v >> 16) & 0xFF);
                    break;
                case 32:
                    row[4 * x] = char(v & 0xFF);
                    row[4 * x + 1] = char((v >> 8) & 0xFF);
                    row[4 * x + 2] = char((v >> 16) & 0xFF);
                    break;
            }
        }
    }
    QByteArray body = header + table + pixels;
    QByteArray file("BM");
    put32(file, std::uint32_t(14 + body.size()));
    put32(file, 0);
    put32(file, std::uint32_t(14 + header.size() + table.size()));
    return file + body;
}

QByteArray make_riff(const QByteArray& form, const std::vector<WaveChunk>& chunks) {
    QByteArray body = form;
    for (const WaveChunk& chunk : chunks) {
        body += chunk.id;
        put32(body, chunk.claimed_size == 0xFFFFFFFFu ? std::uint32_t(chunk.body.size()) : chunk.claimed_size);
        body += chunk.body;
        if (chunk.body.size() & 1) body.append('\0');
    }
    QByteArray file("RIFF");
    put32(file, std::uint32_t(body.size()));
    return file + body;
}

QByteArray pcm_format(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
    QByteArray fmt;
    put16(fmt, tag);
    put16(fmt, channels);
    put32(fmt, rate);
    put32(fmt, rate * channels * bits / 8);
    put16(fmt, std::uint32_t(channels * bits / 8));
    put16(fmt, bits);
    return fmt;
}

QByteArray make_wave(int samples) {
    QByteArray data(samples * 2, '\x11');
    return make_riff("WAVE", {{"fmt ", pcm_format()}, {"data", data}});
}

}  // namespace quoralith::test
