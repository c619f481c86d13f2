# Shared by bench/http and bench/soak: builds the server, makes a site of
# random files, starts servers and reads their figures. Sourced from the
# repository's root.

build_server() {
  scripts/install-deps
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  if ! log=$(cmake --build build -j "$(nproc)" --target talvo talvo_jar talvo_examples_jar 2>&1); then
    echo "$log"; exit 1
  fi
}

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { scripts/free-port; }

# start_java NAME PORT [OPTION...]: the example server in the background; sets pid.
start_java() {
  local name=$1 port=$2
  shift 2
  java ${JAVA_OPTS:-} --enable-native-access=ALL-UNNAMED -Dtalvo.library="$PWD/build/libtalvo.so" -cp build/talvo.jar:build/talvo-examples.jar \
    fileserver.FileServer --root "$work/site" --port "$port" "$@" >"$work/$name.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_port "$port" "$work/$name.log"
}

wait_port() {
  for _ in $(seq 150); do
    curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0
    sleep 0.1
  done
  echo "nothing answers on port $1:"; cat "$2"; exit 1
}

open_fds() { find "/proc/$1/fd" -mindepth 1 2>/dev/null | wc -l; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
