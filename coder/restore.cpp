// Placeholder until the restore driver lands.
#include "coder/coder.h"
namespace quoralith {
int coder_restore(StreamWindow*, StreamWindow*, StreamWindow*, const ProgressCallback&, TrailerRecord*) { return ERR_MALFORMED; }
}  // namespace quoralith
