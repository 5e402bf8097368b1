// The cover coding of the compact format: stretches of Updated copied
// approximately from Base (covers), found by a suffix-array search, and coded
// as three separately compressed streams (control values, the difference bytes
// over the covers, the new bytes between them). The payload's layout is in
// docs/compact-covers.md. The container around it (checks, digest, times) is
// the caller's.
//
// Both functions are reentrant: all state lives in the call.
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
// Throws std::bad_alloc when memory runs out.
bool encode_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                   const CoverOptions& options, std::vector<std::uint8_t>& payload);

enum class DecodeStatus { ok, damaged, stopped };

// Rebuilds exactly `updated_size` bytes in order into `sink`; damaged for any payload that is not one
// encode_covers wrote for this size (never reads or writes out of bounds, never allocates by a claim).
// `stopped` when the sink returns false. Bytes handed to the sink before `damaged` are not to be kept.
DecodeStatus decode_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> payload,
                           std::uint64_t updated_size, const ByteSink& sink);

}  // namespace quoralith::compact
