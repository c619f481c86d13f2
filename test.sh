#!/usr/bin/env bash
# Builds the library, the Java classes and every suite, then runs them all.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVO_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)"
cd build
ctest --output-on-failure -j "$(nproc)" "$@"
