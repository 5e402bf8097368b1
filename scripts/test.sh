#!/usr/bin/env bash
# Builds every part with clang++ under AddressSanitizer and UBSan in build-test
# and runs every test: the unit suites, the command line suite and the bounded
# fuzz runs (QUORALITH_FUZZ_SECONDS, 60 by default). The desktop program and
# its tests are included when Qt 6 is installed (QUORALITH_GUI=OFF leaves them out).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-$(nproc)}"
gui="${QUORALITH_GUI:-}"
if [ -z "$gui" ]; then
  if compgen -G "/usr/lib/*/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake" >/dev/null; then gui=ON; else gui=OFF; fi
fi

cmake -S . -B build-test -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DQUORALITH_SANITIZE=ON \
  -DQUORALITH_FUZZ=ON \
  -DQUORALITH_FUZZ_SECONDS="${QUORALITH_FUZZ_SECONDS:-60}" \
  -DQUORALITH_BUILD_TESTS=ON \
  -DQUORALITH_BUILD_GUI="$gui"
cmake --build build-test -j "$jobs"

# Widgets run without a display.
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
ctest --test-dir build-test --output-on-failure -j "$jobs"
