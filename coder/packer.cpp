// Placeholder until the block packer lands.
#include "coder/packer.h"
namespace quoralith {
std::int64_t pack_stream(Channel&, std::int64_t, std::uint32_t, Channel&) { return PACK_NOT_SMALLER; }
std::int64_t unpack_stream(Channel&, std::int64_t, std::int64_t, std::uint32_t, Channel&) { return ERR_MALFORMED; }
}  // namespace quoralith
