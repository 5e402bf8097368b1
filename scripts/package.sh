#!/usr/bin/env bash
# Builds the programs for release in build-package and makes the Debian
# package there with CPack: build-package/quoralith_<version>_<arch>.deb.
# Install it with: sudo apt-get install ./build-package/quoralith_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-$(nproc)}"
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORALITH_BUILD_TESTS=OFF
cmake --build build-package -j "$jobs"
(cd build-package && cpack -G DEB)
ls build-package/quoralith_*.deb
