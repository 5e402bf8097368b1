// Placeholder until the run-length form lands.
#include "coder/runlength.h"
namespace quoralith {
std::int64_t runlength_encode(Channel&, std::int64_t, std::uint32_t, Channel&) { return ERR_MALFORMED; }
std::int64_t runlength_decode(Channel&, std::int64_t, std::uint32_t, Channel&) { return ERR_MALFORMED; }
}  // namespace quoralith
