// Placeholder until the create driver lands.
#include "coder/coder.h"
namespace quoralith {
int coder_create(StreamWindow*, StreamWindow*, StreamWindow*, int, const ProgressCallback&, const TrailerRecord&) { return ERR_MALFORMED; }
}  // namespace quoralith
