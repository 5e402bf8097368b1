// Names as they may be shown: a file or member name comes from a file system
// or an archive that someone else made, and written raw to a terminal its
// control characters would move the cursor, retitle the window or worse.
//
// Thread safety: a plain function over values.
#pragma once

#include <string>
#include <string_view>

namespace quoralith {

// `text` with every byte that could steer a terminal written as a "\xNN"
// escape: the C0 controls (tab and line feed included, so that one name stays
// one line), DEL, the C1 controls U+0080 to U+009F (each byte of their UTF-8
// form), and every byte that is not part of valid UTF-8. Everything else,
// other scripts included, is kept as it is.
std::string printable_name(std::string_view text);

}  // namespace quoralith
