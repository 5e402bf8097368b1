// Escaping names for terminals and reports.
#include "engine/printable.h"

namespace quoralith {

namespace {

// The length of the valid UTF-8 sequence starting at `at`, or 0 when the byte
// there does not begin one (a stray continuation byte, an overlong form, a
// surrogate, a value past U+10FFFF, or a sequence cut short).
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

void escape(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

}  // namespace

std::string printable_name(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                escape(out, c);
            else
                out += static_cast<char>(c);
            ++at;
            continue;
        }
        const std::size_t length = utf8_length(text, at);
        // U+0080 to U+009F are C2 80 to C2 9F: controls in their own right.
        const bool c1_control = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        if (length == 0 || c1_control) {
            const std::size_t count = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < count; ++i) escape(out, static_cast<unsigned char>(text[at + i]));
            at += count;
            continue;
        }
        out.append(text.substr(at, length));
        at += length;
    }
    return out;
}

}  // namespace quoralith
