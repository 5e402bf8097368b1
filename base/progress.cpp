// The progress callback a caller gets when it passes none.
#include "base/progress.h"

namespace quoralith {

std::int16_t default_progress_callback(const ProgressRecord& record) {
    return record.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
}

}  // namespace quoralith
