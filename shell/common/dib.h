// Our reader of the Windows bitmap format ("device-independent bitmaps"): the
// picture is kept as the file without its 14-byte file header, that is the
// bitmap header, the colour table and the pixel rows in file order.
//
// Two header forms exist, told apart by the header's first 32-bit word: the
// information header (40 bytes; the later 52/56/108/124-byte versions begin
// with the same 40 bytes and are read the same way) and the older 12-byte core
// header. Every accessor checks the block's real size, so a lying or truncated
// file gives zeros, null or false, never a read outside the block.
//
// Thread safety: plain functions over values; no shared state.
#pragma once

#include <QImage>
#include <QRect>
#include <QRgb>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

class QPainter;

namespace quoralith {

// The bitmap file without its file header.
using DibBlock = std::vector<std::uint8_t>;

// The logical palette made from a picture's colour table.
struct DibPalette {
    std::vector<QRgb> entries;
};

inline constexpr std::uint32_t DIB_INFO_HEADER_SIZE = 40;
inline constexpr std::uint32_t DIB_CORE_HEADER_SIZE = 12;
// Larger files are refused rather than read whole into memory.
inline constexpr std::uint64_t DIB_MAX_FILE_SIZE = 64u << 20;
// Bounds on the decoded picture. A one-bit picture packs eight pixels into a
// byte, so a file well within DIB_MAX_FILE_SIZE can describe half a billion
// pixels; every paint turns the picture into 32-bit pixels, and the main
// window grows to the picture's size. The bounds keep a decoded picture at no
// more than 64 MiB and still take a 5K screen's picture.
inline constexpr int DIB_MAX_SIDE = 16384;
inline constexpr std::uint64_t DIB_MAX_PIXELS = 16u << 20;

// Reads a whole bitmap file. Null when the file is shorter than its 14-byte
// header, does not begin with "BM", is larger than DIB_MAX_FILE_SIZE, or
// cannot be read in full. Nothing but the signature is checked here.
std::unique_ptr<DibBlock> read_dib_file(std::FILE* file);
// The same over bytes already in memory (a file's whole contents).
std::unique_ptr<DibBlock> read_dib_bytes(std::span<const std::uint8_t> file);

// True when the header is the information form (size word 40 or more).
bool dib_is_info_header(const DibBlock& dib);
// The header's size word; 0 when the block is too short to hold it.
std::uint32_t dib_header_size(const DibBlock& dib);
// Width and height as the header states them (the information form's are
// signed; a negative height means a top-down picture). 0 for a short block.
int dib_width(const DibBlock& dib);
int dib_height(const DibBlock& dib);
int dib_bit_count(const DibBlock& dib);
// Entries of the colour table: the information header's used-colour count
// (its low 16 bits) when non-zero, otherwise 2, 16 or 256 for 1, 4 or 8 bits
// per pixel and 0 for deeper pictures.
std::uint16_t dib_num_colors(const DibBlock& dib);
// Size of the colour table in bytes: 4 per entry (information form) or 3
// (core form). Kept 32-bit: a used-colour count near 65535 would overflow 16.
std::uint32_t dib_palette_size(const DibBlock& dib);
// The first pixel byte (header size plus colour table), or null when that lies
// outside the block.
const std::uint8_t* find_dib_bits(const DibBlock& dib);

// True when the picture can be drawn: a known header form that fits, positive
// width and height within DIB_MAX_SIDE and DIB_MAX_PIXELS, 1, 4, 8, 16, 24 or
// 32 bits per pixel without compression, and a colour table and pixel rows
// that lie wholly inside the block.
bool dib_is_drawable(const DibBlock& dib);

// Builds the palette from the colour table; false (and `palette` unchanged)
// when the picture has no colour table or the table lies outside the block.
bool create_dib_palette(const DibBlock& dib, DibPalette& palette);

// The picture as an image, top row first; a null image when it cannot be drawn.
QImage dib_to_image(const DibBlock& dib);

// Draws `source` (picture coordinates, top-left origin) of the picture into
// `destination`: copied when both have the same size, stretched otherwise.
// The colours come from the picture's own colour table. False when there is
// no drawable picture.
bool paint_dib(QPainter& painter, const QRect& destination, const DibBlock* dib, const QRect& source,
               const DibPalette* palette);

}  // namespace quoralith
