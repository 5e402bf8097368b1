// The cover search's entry points: Updated coded against Base as covers
// (approximate matches with their difference bytes) and new bytes, in a
// self-contained payload that the compact container carries as one method.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quoralith::compact {

using ByteSink = std::function<bool(std::span<const std::uint8_t>)>;  // false: stop
using StopCheck = std::function<bool()>;                               // true: stop now
struct CoverOptions {
    int level = 19;
    StopCheck stop;
};
// Codes `updated` against `base` into a self-contained payload; false when stopped.
bool encode_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                   const CoverOptions& options, std::vector<std::uint8_t>& payload);
enum class DecodeStatus { ok, damaged, stopped };
// Rebuilds exactly `updated_size` bytes in order into `sink`; damaged for any payload that is not one
// encode_covers wrote for this size (never reads or writes out of bounds, never allocates by a claim).
DecodeStatus decode_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> payload,
                           std::uint64_t updated_size, const ByteSink& sink);

}  // namespace quoralith::compact
