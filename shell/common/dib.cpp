// Bitmap file reading and drawing, bounds-checked against the block's size.
#include "shell/common/dib.h"

#include <QPainter>

#include <cstring>

namespace quoralith {

namespace {

constexpr std::size_t FILE_HEADER_SIZE = 14;
constexpr std::uint16_t BMP_SIGNATURE = 0x4D42;  // "BM" read little-endian
constexpr std::uint32_t BI_RGB = 0;

// Little-endian reads that give 0 past the end of the block.
std::uint32_t u16_at(const DibBlock& dib, std::size_t at) {
    if (at + 2 > dib.size()) return 0;
    return std::uint32_t(dib[at]) | std::uint32_t(dib[at + 1]) << 8;
}

std::uint32_t u32_at(const DibBlock& dib, std::size_t at) {
    if (at + 4 > dib.size()) return 0;
    return u16_at(dib, at) | u16_at(dib, at + 2) << 16;
}

// The information form's fields exist only when its 40 bytes do.
bool has_info_fields(const DibBlock& dib) {
    return dib_is_info_header(dib) && dib.size() >= DIB_INFO_HEADER_SIZE;
}

std::uint64_t row_stride(int width, int bits) {
    return ((std::uint64_t(width) * std::uint64_t(bits) + 31) / 32) * 4;
}

std::unique_ptr<DibBlock> block_after_header(const std::uint8_t* header, std::uint64_t file_length) {
    if (file_length < FILE_HEADER_SIZE) return nullptr;
    if ((header[0] | header[1] << 8) != BMP_SIGNATURE) return nullptr;
    if (file_length > DIB_MAX_FILE_SIZE) return nullptr;
    return std::make_unique<DibBlock>(std::size_t(file_length - FILE_HEADER_SIZE), std::uint8_t(0));
}

// The colour table as RGB values (opaque), at most `count` entries; empty when
// the table does not lie inside the block.
std::vector<QRgb> colour_table(const DibBlock& dib) {
    std::vector<QRgb> table;
    std::uint32_t header = dib_header_size(dib);
    std::uint32_t count = dib_num_colors(dib);
    std::uint32_t entry = dib_is_info_header(dib) ? 4 : 3;
    if (header == 0 || count == 0) return table;
    if (std::uint64_t(header) + std::uint64_t(count) * entry > dib.size()) return table;
    table.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* p = dib.data() + header + std::size_t(i) * entry;
        table.push_back(qRgb(p[2], p[1], p[0]));
    }
    return table;
}

}  // namespace

std::unique_ptr<DibBlock> read_dib_file(std::FILE* file) {
    if (!file) return nullptr;
    if (std::fseek(file, 0, SEEK_END) != 0) return nullptr;
    long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) return nullptr;
    std::uint8_t header[FILE_HEADER_SIZE];
    if (std::fread(header, 1, FILE_HEADER_SIZE, file) != FILE_HEADER_SIZE) return nullptr;
    std::unique_ptr<DibBlock> dib = block_after_header(header, std::uint64_t(length));
    if (!dib) return nullptr;
    std::size_t got = dib->empty() ? 0 : std::fread(dib->data(), 1, dib->size(), file);
    // A file that changed length under us, or a read error, is not a picture.
    if (got != dib->size()) return nullptr;
    return dib;
}

std::unique_ptr<DibBlock> read_dib_bytes(std::span<const std::uint8_t> file) {
    if (file.size() < FILE_HEADER_SIZE) return nullptr;
    std::unique_ptr<DibBlock> dib = block_after_header(file.data(), file.size());
    if (!dib) return nullptr;
    if (!dib->empty()) std::memcpy(dib->data(), file.data() + FILE_HEADER_SIZE, dib->size());
    return dib;
}

std::uint32_t dib_header_size(const DibBlock& dib) { return u32_at(dib, 0); }

bool dib_is_info_header(const DibBlock& dib) { return dib_header_size(dib) >= DIB_INFO_HEADER_SIZE; }

int dib_width(const DibBlock& dib) {
    if (has_info_fields(dib)) return std::int32_t(u32_at(dib, 4));
    if (dib_is_info_header(dib)) return 0;
    return int(u16_at(dib, 4));
}

int dib_height(const DibBlock& dib) {
    if (has_info_fields(dib)) return std::int32_t(u32_at(dib, 8));
    if (dib_is_info_header(dib)) return 0;
    return int(u16_at(dib, 6));
}

int dib_bit_count(const DibBlock& dib) {
    if (has_info_fields(dib)) return int(u16_at(dib, 14));
    if (dib_is_info_header(dib)) return 0;
    return int(u16_at(dib, 10));
}

std::uint16_t dib_num_colors(const DibBlock& dib) {
    if (has_info_fields(dib)) {
        std::uint32_t used = u32_at(dib, 32);
        if (used != 0) return std::uint16_t(used & 0xFFFF);
    }
    switch (dib_bit_count(dib)) {
        case 1: return 2;
        case 4: return 16;
        case 8: return 256;
        default: return 0;
    }
}

std::uint32_t dib_palette_size(const DibBlock& dib) {
    return std::uint32_t(dib_num_colors(dib)) * (dib_is_info_header(dib) ? 4u : 3u);
}

const std::uint8_t* find_dib_bits(const DibBlock& dib) {
    std::uint64_t offset = std::uint64_t(dib_header_size(dib)) + dib_palette_size(dib);
    if (dib_header_size(dib) == 0 || offset >= dib.size()) return nullptr;
    return dib.data() + offset;
}

bool dib_is_drawable(const DibBlock& dib) {
    std::uint32_t header = dib_header_size(dib);
    if (header != DIB_CORE_HEADER_SIZE && header < DIB_INFO_HEADER_SIZE) return false;
    if (header > dib.size()) return false;
    if (dib_is_info_header(dib) && u32_at(dib, 16) != BI_RGB) return false;
    int width = dib_width(dib);
    int height = dib_height(dib);
    int bits = dib_bit_count(dib);
    if (width <= 0 || height <= 0) return false;
    if (width > DIB_MAX_SIDE || height > DIB_MAX_SIDE) return false;
    if (std::uint64_t(width) * std::uint64_t(height) > DIB_MAX_PIXELS) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
    std::uint64_t needed = std::uint64_t(header) + dib_palette_size(dib) + row_stride(width, bits) * std::uint64_t(height);
    return needed <= dib.size();
}

bool create_dib_palette(const DibBlock& dib, DibPalette& palette) {
    std::vector<QRgb> table = colour_table(dib);
    if (table.empty()) return false;
    palette.entries = std::move(table);
    return true;
}

QImage dib_to_image(const DibBlock& dib) {
    if (!dib_is_drawable(dib)) return {};
    const int width = dib_width(dib);
    const int height = dib_height(dib);
    const int bits = dib_bit_count(dib);
    const std::uint8_t* pixels = find_dib_bits(dib);
    if (!pixels) return {};
    const std::size_t stride = std::size_t(row_stride(width, bits));

    QImage::Format format = QImage::Format_RGB32;
    if (bits == 1) format = QImage::Format_Mono;
    else if (bits == 4 || bits == 8) format = QImage::Format_Indexed8;
    else if (bits == 24) format = QImage::Format_BGR888;
    QImage image(width, height, format);
    if (image.isNull()) return {};

    if (bits <= 8) {
        // Indices past the end of a short table draw black instead of reading
        // beyond it.
        QList<QRgb> table(1 << bits, qRgb(0, 0, 0));
        std::vector<QRgb> entries = colour_table(dib);
        for (std::size_t i = 0; i < entries.size() && i < std::size_t(table.size()); ++i) table[qsizetype(i)] = entries[i];
        image.setColorTable(table);
    }

    for (int row = 0; row < height; ++row) {
        // Rows are stored bottom-up.
        const std::uint8_t* source = pixels + std::size_t(height - 1 - row) * stride;
        std::uint8_t* target = image.scanLine(row);
        switch (bits) {
            case 1:
                std::memcpy(target, source, std::size_t((width + 7) / 8));
                break;
            case 4:
                for (int x = 0; x < width; ++x) target[x] = (x & 1) ? source[x / 2] & 0x0F : source[x / 2] >> 4;
                break;
            case 8:
                std::memcpy(target, source, std::size_t(width));
                break;
            case 16: {
                auto* out = reinterpret_cast<QRgb*>(target);
                for (int x = 0; x < width; ++x) {
                    unsigned v = source[2 * x] | source[2 * x + 1] << 8;
                    unsigned r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
                    out[x] = qRgb(int(r << 3 | r >> 2), int(g << 3 | g >> 2), int(b << 3 | b >> 2));
                }
                break;
            }
            case 24:
                std::memcpy(target, source, std::size_t(width) * 3);
                break;
            case 32: {
                auto* out = reinterpret_cast<QRgb*>(target);
                for (int x = 0; x < width; ++x)
                    out[x] = qRgb(source[4 * x + 2], source[4 * x + 1], source[4 * x]);
                break;
            }
        }
    }
    return image;
}

// The logical palette matters only to palette devices; on today's true-colour
// displays the colour table itself gives the colours, so it is not consulted.
bool paint_dib(QPainter& painter, const QRect& destination, const DibBlock* dib, const QRect& source,
               const DibPalette*) {
    if (!dib) return false;
    QImage image = dib_to_image(*dib);
    if (image.isNull()) return false;
    if (destination.size() == source.size()) {
        painter.drawImage(destination.topLeft(), image, source);
    } else {
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(destination, image, source);
        painter.restore();
    }
    return true;
}

}  // namespace quoralith
