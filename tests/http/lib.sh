# Helpers of the HTTP suite: a site to serve, servers in child processes,
# curl and raw-socket clients, and the bookkeeping of cases. Sourced by suite,
# which sets java, classpath, library and transport.

work=$(mktemp -d)
chmod 755 "$work" # a server that left the superuser still reaches the site
# Every curl of the suite gives up after 60 s.
export CURL_HOME=$work
echo 'max-time = 60' >"$work/.curlrc"
servers=()
prefix=() # a command that start_server runs the server under
failures=0

trap 'for pid in "${servers[@]}"; do kill -9 "$pid" 2>/dev/null; done; rm -rf "$work"' EXIT

# A site with files of every size class, names that need escaping, links in
# and out of the root, a FIFO, files that only the superuser may read and a dotfile.
make_site() {
  local site=$1
  mkdir -p "$site/sub/deeper" "$work/site-evil"
  echo 'the root index' >"$site/index.html"
  printf 'small text\n' >"$site/small.txt"
  head -c 200000 /dev/urandom >"$site/blob.bin"
  head -c $((1048576 + 12345)) /dev/urandom >"$site/big.bin"
  truncate -s 64M "$site/huge.bin" # more than the socket buffers hold: a client that does not read stalls its writer
  : >"$site/empty.txt"
  echo spaced >"$site/with space.txt"
  echo '<p>inner</p>' >"$site/sub/inner.html"
  echo private >"$site/sub/private.txt"; chmod 640 "$site/sub/private.txt"
  echo odd >"$site/sub/odd & <name>.txt"
  chmod 750 "$site/sub/deeper"
  ln -s ../small.txt "$site/sub/back"
  ln -s small.txt "$site/in-link"
  ln -s sub "$site/in-dir"
  ln -s /etc "$site/out-dir"
  ln -s /etc/passwd "$site/out-file"
  echo outside >"$work/outside.txt"; ln -s ../outside.txt "$site/out-relative"
  echo secret >"$work/site-evil/secret.txt"; ln -s ../site-evil "$site/out-sibling"
  ln -s nothing-here "$site/dangling"
  mkfifo "$site/fifo"
  echo secret >"$site/secret.txt"; chmod 600 "$site/secret.txt"
  # Non-ASCII names: a way out, a file and a way to it, and a link whose target is not UTF-8.
  ln -s /etc "$site/é"; echo café >"$site/sub/café.txt"; ln -s sub/café.txt "$site/to-café"; ln -s $'\xff' "$site/bad-target"
  echo 'KEY=secret' >"$site/sub/.env"
  touch "$site/a."{mp4,mp3,woff2,csv,mjs}
}

# The server's command: a checked JVM that may load the library without a warning.
fileserver=("$java" -Xcheck:jni --enable-native-access=ALL-UNNAMED -Dtalvo.library="$library" -cp "$classpath"
  fileserver.FileServer)

free_port() { "$(dirname "${BASH_SOURCE[0]}")/../../scripts/free-port"; }

# start_server NAME ROOT [OPTION...]: sets server_pid, server_port, server_url.
start_server() {
  local name=$1 root=$2 attempt
  shift 2
  for attempt in 1 2 3 4 5; do
    server_port=$(free_port)
    : >"$work/$name.log"
    # A background job starts with Ctrl-C ignored; the server must see it as from a terminal.
    env --default-signal=INT "${prefix[@]}" "${fileserver[@]}" \
      --transport="$transport" --root "$root" --port "$server_port" "$@" >"$work/$name.log" 2>&1 &
    server_pid=$!
    servers+=("$server_pid")
    for _ in $(seq 150); do
      grep -q '^fileserver: serving' "$work/$name.log" && break
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    if grep -q '^fileserver: serving' "$work/$name.log"; then
      server_url="http://127.0.0.1:$server_port"
      return 0
    fi
    kill -9 "$server_pid" 2>/dev/null
    echo "server $name did not start on port $server_port (attempt $attempt):"; cat "$work/$name.log"
  done
  echo "FAIL could not start the $transport server"; exit 1
}

# Ctrl-C: the server must end within 10 s, saying so when its log is ours.
stop_server() {
  local pid=$1
  kill -INT "$pid" 2>/dev/null || return 1
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then echo "process $pid ignored Ctrl-C"; kill -9 "$pid"; return 1; fi
  return 0
}

# Waits (at most 15 s) until the server holds one TCP socket: its listener.
expect_only_listener() {
  local pid=$1 n
  for _ in $(seq 150); do
    n=$(ss -Htanp | grep -c "pid=$pid,")
    [ "$n" = 1 ] && return 0
    sleep 0.1
  done
  echo "server holds $n TCP sockets"; ss -tanp | grep "pid=$pid,"
  return 1
}

# raw REQUEST: sends the text, with backslash escapes such as \r\n applied,
# on a new connection and prints the whole answer; the server must close.
raw() {
  exec 3<>"/dev/tcp/127.0.0.1/$server_port" || return 1
  printf %b "$1" >&3
  timeout 10 cat <&3
  exec 3<&-
}

# hold REQUEST: sends it on a new connection that stays open and is never read; sets held.
hold() {
  exec {held}<>"/dev/tcp/127.0.0.1/$server_port" && printf %b "$1" >&"$held"
}

# Waits (at most 10 s) until no connection of the server is still established.
expect_all_closed() {
  for _ in $(seq 100); do
    [ "$(ss -Htn state established "( sport = :$server_port )" | wc -l)" = 0 ] && return 0
    sleep 0.1
  done
  echo "the server still holds: $(ss -Htn state established "( sport = :$server_port )")"; return 1
}

code() { curl -s -o /dev/null -w '%{http_code}' "$@"; }

# headers URL [CURL OPTION...]: the answer's status and headers into $work/head.
headers() { curl -s -o /dev/null -D "$work/head" "${@:2}" "$1"; }

expect_status() {
  head -1 "$work/head" | grep -q "^HTTP/1.1 $1 " || { echo "status: $(head -1 "$work/head")"; return 1; }
}

expect_header() {
  local got
  got=$(grep -i "^$1:" "$work/head" | head -1 | cut -d: -f2- | sed 's/^ *//' | tr -d '\r')
  [ "$got" = "$2" ] || { echo "$1: '$got', expected '$2'"; return 1; }
}

http_date() { date -u -d "@$(stat -c %Y "$1")" '+%a, %d %b %Y %H:%M:%S GMT'; }


fail_case() { echo "FAIL $1"; failures=$((failures + 1)); }

# Runs every function named case_*, each on its own, in name order.
run_cases() {
  local c
  for c in $(declare -F | awk '{print $3}' | grep '^case_'); do
    if out=$("$c" 2>&1); then
      echo "ok   ${c#case_}"
    else
      fail_case "${c#case_}"
      echo "$out" | sed 's/^/     /'
    fi
  done
}

finish() {
  if grep -l -E 'WARNING in native method|FATAL ERROR in native method|JNI (WARNING|ERROR)' "$work"/*.log; then
    fail_case "the JVM reported a JNI problem"
  fi
  echo "$transport transport: $failures failure(s)"
  [ "$failures" = 0 ]
}
