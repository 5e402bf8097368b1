// The default progress callback and the words for every result code.
#include "engine/progress.h"

namespace quoralith {

std::int16_t default_progress_callback(const ProgressRecord& record) {
    return record.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
}

std::string describe_error(int code) {
    // Completed by the engine work; kept here so that every front end shares it.
    return "error " + std::to_string(code);
}

}  // namespace quoralith
