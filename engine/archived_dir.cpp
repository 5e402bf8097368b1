// Archived-directory jobs: a whole tree as one delta.
#include "engine/engine.h"

namespace quoralith {

int engine_archived_op(int, const std::string&, const std::string&, const std::string&, const std::string&,
                       EngineFlags, AlgorithmMask, const ProgressCallback&) {
    return ERR_BAD_REQUEST;
}

}  // namespace quoralith
