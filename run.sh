#!/usr/bin/env bash
# Builds the library and the example file server, then serves the small site in
# examples/site at http://127.0.0.1:8080/ until Ctrl-C. Options go to the
# server, e.g. ./run.sh --transport=jdk, ./run.sh --port 9090 --log.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! log=$(cmake --build build -j "$(nproc)" --target talvo talvo_jar talvo_examples_jar 2>&1); then
  echo "$log"; exit 1
fi
exec java --enable-native-access=ALL-UNNAMED -Dtalvo.library="$PWD/build/libtalvo.so" -cp build/talvo.jar:build/talvo-examples.jar \
  fileserver.FileServer --root examples/site --port 8080 "$@"
