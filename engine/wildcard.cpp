// The file-name wildcard of directory listings: fnmatch rules, implemented here
// so that a listing gives the same answer whatever the process locale is.
#include "engine/dir_list.h"

namespace quoralith {
namespace {

unsigned char fold(unsigned char c, int options) {
    if ((options & WM_CASEFOLD) && c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A' + 'a');
    return c;
}

bool in_class(std::string_view name, unsigned char c) {
    auto is = [&](const char* n) { return name == n; };
    if (is("alpha")) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    if (is("digit")) return c >= '0' && c <= '9';
    if (is("alnum")) return in_class("alpha", c) || in_class("digit", c);
    if (is("upper")) return c >= 'A' && c <= 'Z';
    if (is("lower")) return c >= 'a' && c <= 'z';
    if (is("space")) return c == ' ' || (c >= '\t' && c <= '\r');
    if (is("blank")) return c == ' ' || c == '\t';
    if (is("punct")) return c > 32 && c < 127 && !in_class("alnum", c);
    if (is("print")) return c >= 32 && c < 127;
    if (is("graph")) return c > 32 && c < 127;
    if (is("cntrl")) return c < 32 || c == 127;
    if (is("xdigit")) return in_class("digit", c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    return false;
}

// Matches the bracket expression that starts at pattern[p] ("[") against c.
// Returns the index just past the closing "]", or 0 when the expression has no
// closing "]" (the "[" is then an ordinary character).
std::size_t match_bracket(std::string_view pattern, std::size_t p, unsigned char c, int options, bool& matched) {
    std::size_t i = p + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    const unsigned char folded = fold(c, options);
    // With case folding a range such as [A-Z] also takes lower-case letters.
    const unsigned char upper =
        (options & WM_CASEFOLD) && c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
    bool found = false;
    bool first = true;
    while (i < pattern.size()) {
        unsigned char lo = static_cast<unsigned char>(pattern[i]);
        if (lo == ']' && !first) {
            matched = found != negate;
            return i + 1;
        }
        first = false;
        if (lo == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
            const std::size_t end = pattern.find(":]", i + 2);
            if (end != std::string_view::npos) {
                const std::string_view cls = pattern.substr(i + 2, end - i - 2);
                if (in_class(cls, c) ||
                    ((options & WM_CASEFOLD) && (cls == "upper" || cls == "lower") && in_class("alpha", c)))
                    found = true;
                i = end + 2;
                continue;
            }
        }
        if (lo == '\\' && !(options & WM_NOESCAPE) && i + 1 < pattern.size()) lo = static_cast<unsigned char>(pattern[++i]);
        ++i;
        unsigned char hi = lo;
        if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
            hi = static_cast<unsigned char>(pattern[i + 1]);
            i += 2;
            if (hi == '\\' && !(options & WM_NOESCAPE) && i < pattern.size()) hi = static_cast<unsigned char>(pattern[i++]);
        }
        if ((c >= lo && c <= hi) || (folded >= lo && folded <= hi) || (upper >= lo && upper <= hi)) found = true;
    }
    return 0;
}

// A "." that only a literal "." in the pattern may match.
bool protected_period(std::string_view name, std::size_t n, int options) {
    if (!(options & WM_PERIOD) || n >= name.size() || name[n] != '.') return false;
    return n == 0 || ((options & WM_PATHNAME) && name[n - 1] == '/');
}

}  // namespace

int wildcard_match(std::string_view pattern, std::string_view name, int options) {
    std::size_t p = 0, n = 0;
    // Where to resume after the latest "*": the pattern just past it and the
    // name position it currently stops at. An earlier "*" never needs to grow,
    // because whatever it would take, the later one can take as well (the one
    // exception, "/" under WM_PATHNAME, ends the match attempt below).
    std::size_t star_p = std::string_view::npos, star_n = 0;

    while (true) {
        if (p < pattern.size()) {
            const char pc = pattern[p];
            if (pc == '*') {
                if (protected_period(name, n, options)) goto backtrack;
                while (p < pattern.size() && pattern[p] == '*') ++p;
                star_p = p;
                star_n = n;
                continue;
            }
            if (n < name.size()) {
                const unsigned char nc = static_cast<unsigned char>(name[n]);
                if (pc == '?') {
                    if ((nc == '/' && (options & WM_PATHNAME)) || protected_period(name, n, options)) goto backtrack;
                    ++p;
                    ++n;
                    continue;
                }
                if (pc == '[') {
                    bool matched = false;
                    const std::size_t next = match_bracket(pattern, p, nc, options, matched);
                    if (next != 0) {
                        if (!matched || (nc == '/' && (options & WM_PATHNAME)) || protected_period(name, n, options))
                            goto backtrack;
                        p = next;
                        ++n;
                        continue;
                    }
                    // No closing "]": an ordinary "[".
                }
                unsigned char lit = static_cast<unsigned char>(pc);
                std::size_t step = 1;
                if (pc == '\\' && !(options & WM_NOESCAPE) && p + 1 < pattern.size()) {
                    lit = static_cast<unsigned char>(pattern[p + 1]);
                    step = 2;
                }
                if (fold(lit, options) == fold(nc, options)) {
                    p += step;
                    ++n;
                    continue;
                }
            }
        } else {
            if (n == name.size()) return 0;
            if ((options & WM_LEADING_DIR) && name[n] == '/') return 0;
        }
    backtrack:
        if (star_p == std::string_view::npos || star_n >= name.size()) return WM_NOMATCH;
        if ((options & WM_PATHNAME) && name[star_n] == '/') {
            if ((options & WM_LEADING_DIR) && star_p == pattern.size()) return 0;
            return WM_NOMATCH;
        }
        ++star_n;
        p = star_p;
        n = star_n;
    }
}

}  // namespace quoralith
