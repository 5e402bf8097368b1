// Scripted engines for the job runner's tests, written with the request's
// fields as parameters: most scripts look at two or three of them, and a
// parameter list says which at a glance.
#pragma once

#include <string>
#include <utility>

#include "jobs/run_job.h"
#include "tests/engine/run_engine.h"

namespace quoralith::test {

// An EngineEntry that hands the request's fields, in order, to `script`.
template <class Script>
EngineEntry positional_engine(Script script) {
    return [script = std::move(script)](EngineRequest& request) mutable {
        return script(request.type, request.first, request.second, request.output, request.pattern,
                      request.match_file, request.flags, request.mask, request.callback);
    };
}

// The real engine called with the fields of a request.
inline int run_real_engine(int type, const std::string& first, const std::string& second, std::string& output,
                           const std::string& pattern, const std::string& match_file, EngineFlags flags,
                           AlgorithmMask mask, const ProgressCallback& callback) {
    return run_engine(type, first, second, output, pattern, match_file, flags, mask, callback);
}

}  // namespace quoralith::test
