#!/usr/bin/env bash
# Builds the library and the Java classes, then loads the library into a JVM
# and calls a native.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target talvo talvo_jar
java -Xcheck:jni -Dtalvo.library="$PWD/build/libtalvo.so" -cp build/talvo.jar examples/Smoke.java
