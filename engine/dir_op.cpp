// PLACEHOLDER until the directory walk lands: this whole file is replaced by the
// real engine_dir_op / engine_clear_dir (see engine/engine_internal.h). Directory
// requests do nothing yet.
#include "engine/engine_internal.h"

namespace quoralith {

int engine_dir_op(EngineRun&, int, const std::string&, const std::string&, const std::string&, const std::string&,
                  EngineFlags, AlgorithmMask, const ProgressCallback&) {
    return 0;
}

int engine_clear_dir(const std::string&) { return 0; }

}  // namespace quoralith
