// Placeholder until the match search lands: finds nothing, so every delta of
// algorithms 1 to 15 is stored or packed.
#include "coder/create_internal.h"
namespace quoralith {
std::int64_t match_search(CreateJob&, ControlWriter&, BufferedWriter&) { return 0; }
}  // namespace quoralith
