// engine_run with the request's fields given in order, for tests that make
// many requests of one shape.
#pragma once

#include <string>

#include "engine/engine.h"

namespace quoralith::test {

// One engine_run request spelled out in the order the engine's fields go;
// `output` receives the final name the engine left.
inline int run_engine(int type, const std::string& first, const std::string& second, std::string& output,
                      const std::string& pattern, const std::string& match_file, EngineFlags flags,
                      AlgorithmMask mask, const ProgressCallback& callback = {}) {
    EngineRequest request;
    request.type = type;
    request.first = first;
    request.second = second;
    request.output = output;
    request.pattern = pattern;
    request.match_file = match_file;
    request.flags = flags;
    request.mask = mask;
    request.callback = callback;
    const int result = engine_run(request);
    output = request.output;
    return result;
}

}  // namespace quoralith::test
