// Stand-in for the cover search until it is built: it offers no candidate, so
// the compact container keeps one of its library methods.
#include "coder/compact/covers.h"

namespace quoralith::compact {

bool encode_covers(std::span<const std::uint8_t>, std::span<const std::uint8_t>, const CoverOptions&,
                   std::vector<std::uint8_t>&) {
    return false;
}

DecodeStatus decode_covers(std::span<const std::uint8_t>, std::span<const std::uint8_t>, std::uint64_t,
                           const ByteSink&) {
    return DecodeStatus::damaged;
}

}  // namespace quoralith::compact
