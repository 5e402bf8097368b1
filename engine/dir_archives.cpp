// Directory jobs whose Base, Updated or delta tree is one archive file.
#include "engine/engine.h"

namespace quoralith {

int engine_dir_archive_op(EngineRun&, int, const std::string&, const std::string&, const std::string&,
                          const std::string&, EngineFlags, AlgorithmMask, const ProgressCallback&) {
    return ERR_BAD_REQUEST;
}

}  // namespace quoralith
