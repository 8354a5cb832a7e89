#!/usr/bin/env bash
# Measures nexoral-server as a reverse proxy side by side with nginx, one core's worth each:
# one nexoral-server thread (threads = 1) against one nginx worker (worker_processes 1), both
# passing the same pages on from a separate nginx upstream (its own instance, one worker, no
# access log) over kept-alive upstream connections, driven by wrk -t1 on loopback.
#
# Front-end configurations, each measured with a 2 KB and a 100 KB page:
#   1  nginx, proxy_pass (the reference)
#   2  nexoral-server without the module
#   3  nexoral-server with the module, log off, no worker subscribed to the page's URL
#   4  nexoral-server with the module, log off, the sample worker subscribed to the URL
#   5  nexoral-server with the module and the demo's log settings (a plain log file), the
#      sample worker subscribed
#   6  nginx, proxy_pass with sub_filter making the sample worker's edits of the page (its script
#      after "<head>", its banner before "</body>"): the pair of 4 once the sample worker rewrites
#      pages (it takes raw data); without that the row is left out and the output says so
# and, with the 100 KB page only, the same front ends asked for gzip (wrk and curl send
# "Accept-Encoding: gzip"; level 6 on both sides, nginx with gzip_min_length 256 as the server's
# default and proxy_set_header Accept-Encoding "" toward its upstream):
#   7  1 with gzip on (the reference of the gzip rows)
#   8  2: the server compresses the upstream's body as it comes
#   9  4: the server compresses the response the sample worker left
#  10  6 with gzip on, when 6 runs
# The module installations are laid out by demo/install.sh with demo/CoreSettings.xml, changed
# only where a configuration says so. Each response is checked once with curl (status 200, the
# page as the upstream sent it or, from 4, 5 and 6, one rewritten page the same byte for byte,
# the module's added response header exactly where a worker takes the request).
# Then every configuration runs once per round, the rounds one after the other, and the table
# gives per page and configuration the medians over the rounds of requests per second, p50 and
# p99 latency, and the front end's CPU time per request (utime + stime of its processes from
# /proc/<pid>/stat over the run, divided by the requests wrk completed; for nginx the master
# and the worker), with the ratios of req/s and p99 to nginx (the gzip rows: to row 7, with the
# bytes of one response as curl received it, head and body). wrk's non-2xx and socket errors
# are listed under the table.
#
# --syscalls instead runs each configuration once per page for a few seconds under
# `strace -c -f -p <pid>` (the nginx worker for the reference) and prints system calls per
# request: the ten most frequent of each configuration by name, and the total.
#
# Usage: bench/proxy_bench.sh [-d SECONDS] [-c CONNECTIONS] [-r ROUNDS] [--syscalls]
#   -d  length of each wrk run (default 10; 3 with --syscalls)
#   -c  wrk connections (default 32); also the idle upstream connections each front end keeps
#   -r  rounds, the medians are taken over them (default 3)
# Needs the release build (make build; BUILD_DIR=<folder> for another one). Installs wrk,
# nginx-light (and strace for --syscalls) with apt-get when run as root and they are missing.
# Everything it starts and the temporary folder go when it ends, Ctrl-C included.
# Not part of `make test`.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n 's/^# \{0,1\}//; /^Usage:/,/^Not part/p' "$0"; exit "${1:-0}"; }

DURATION=""
CONNECTIONS=32
ROUNDS=3
SYSCALLS=0
while [ $# -gt 0 ]; do
  case "$1" in
    -d | --duration) DURATION="${2:-}"; shift 2 || usage 2 ;;
    -c | --connections) CONNECTIONS="${2:-}"; shift 2 || usage 2 ;;
    -r | --rounds) ROUNDS="${2:-}"; shift 2 || usage 2 ;;
    --syscalls) SYSCALLS=1; shift ;;
    -h | --help) usage 0 ;;
    *) echo "bench: unknown argument $1" >&2; usage 2 ;;
  esac
done
[ -n "$DURATION" ] || DURATION=$([ "$SYSCALLS" = 1 ] && echo 3 || echo 10)
for value in "$DURATION" "$CONNECTIONS" "$ROUNDS"; do
  [[ "$value" =~ ^[1-9][0-9]{0,5}$ ]] || { echo "bench: $value is not a positive number" >&2; exit 2; }
done

BUILD="${BUILD_DIR:-build}"
SERVER="$BUILD/server/nexoral-server"
FRONT_ADDRESS=127.0.0.2  # the module redirects requests that arrive through 127.0.0.1
UPSTREAM_ADDRESS=127.0.0.1
PAGE_PREFIX=/owa/bench/  # under the sample worker's subscription in demo/CoreSettings.xml
PAGES=(2k 100k)
declare -A PAGE_BYTES=([2k]=2048 [100k]=102400) PAGE_TITLE=([2k]="2 KB" [100k]="100 KB")
CONFIGS=(1 2 3 4 5)
declare -A LABEL=(
  [1]="1 nginx proxy (reference)"
  [2]="2 nexoral-server, no module"
  [3]="3 module, log off, not subscribed"
  [4]="4 module, log off, worker subscribed"
  [5]="5 module, demo log on, worker subscribed"
  [6]="6 nginx proxy + sub_filter, 4's edits"
  [7]="7 nginx proxy, gzip"
  [8]="8 nexoral-server, no module, gzip"
  [9]="9 module, log off, worker subscribed, gzip"
  [10]="10 nginx proxy + sub_filter, gzip")
# The gzip rows: the front end each one asks, and the page they run with.
declare -A GZIP_OF=([7]=1 [8]=2 [9]=4 [10]=6)
GZIP_CONFIGS=(7 8 9)
GZIP_PAGE=100k
GZIP_HEADER="Accept-Encoding: gzip"
configs_for() {  # page -> the configurations measured with it
  if [ "$1" = "$GZIP_PAGE" ]; then echo "${CONFIGS[*]} ${GZIP_CONFIGS[*]}"; else echo "${CONFIGS[*]}"; fi
}

# ---- tools and build ----
PATH="$PATH:/usr/sbin:/sbin"
missing=()
command -v wrk >/dev/null || missing+=(wrk)
command -v nginx >/dev/null || missing+=(nginx-light)
command -v curl >/dev/null || missing+=(curl)
[ "$SYSCALLS" = 0 ] || command -v strace >/dev/null || missing+=(strace)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then echo "bench: missing ${missing[*]} (run as root to install)" >&2; exit 1; fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
for built in "$SERVER" "$BUILD/src/nexoral.so" "$BUILD/workers/SampleWorker.so" \
    "$BUILD/components/resource/CoreRes.so" "$BUILD/components/logmodule/LogModule.so" \
    "$BUILD/components/bin/ZQCache.so"; do
  [ -f "$built" ] || { echo "bench: $built is missing: build first (make build)" >&2; exit 1; }
done
TICKS=$(getconf CLK_TCK)

# ---- processes and clean-up ----
WORK="$(mktemp -d "${TMPDIR:-/tmp}/nexoral-bench-XXXXXX")"
chmod 755 "$WORK"  # nginx workers run as an unprivileged user when started by root
PIDS=()      # long-running processes: the nginx masters and the servers
CURRENT=""   # the wrk of the moment
TRACER=""    # the strace of the moment
stop() {  # pid: asks it to end, then insists after 15 s
  local pid="$1" child
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    for child in $(pgrep -P "$pid"); do kill -KILL "$child" 2>/dev/null; done
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
}
cleanup() {
  trap - EXIT INT TERM
  set +e
  [ -z "$CURRENT" ] || stop "$CURRENT"
  [ -z "$TRACER" ] || stop "$TRACER"  # detaches before the traced process goes
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do stop "$pid"; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
fail() { echo "bench: $*" >&2; exit 1; }

free_port() {  # variable: sets it to a port no socket listens on, nor one handed out before
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    grep -q "$(printf ':%04X ' "$port")" /proc/net/tcp /proc/net/tcp6 2>/dev/null && continue
    [[ " ${TAKEN_PORTS:-} " == *" $port "* ]] && continue
    TAKEN_PORTS="${TAKEN_PORTS:-} $port"
    printf -v "$1" '%s' "$port"
    return
  done
}

# ---- the pages and the upstream ----
mkdir -p "$WORK/www$PAGE_PREFIX"
for page in "${PAGES[@]}"; do
  head=$'<!DOCTYPE html>\n<html><head><title>bench</title></head><body>\n'
  tail=$'</body></html>\n'
  filler=$((PAGE_BYTES[$page] - ${#head} - ${#tail}))
  { printf '%s' "$head"
    yes '<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.</p>' | head -c "$filler" || true
    printf '%s' "$tail"; } > "$WORK/www${PAGE_PREFIX}page-$page.html"
done

start_nginx() {  # name config-body -> pid of the master
  mkdir -p "$WORK/$1"
  cat > "$WORK/$1/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $WORK/$1/nginx.pid;
error_log $WORK/$1/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  types { text/html html; }
$2
}
CONF
  nginx -p "$WORK/$1/" -e "$WORK/$1/error.log" -c "$WORK/$1/nginx.conf" &
  PIDS+=($!)
}
free_port UPSTREAM_PORT
start_nginx upstream "  sendfile on;
  server { listen $UPSTREAM_ADDRESS:$UPSTREAM_PORT; root $WORK/www; }"
UPSTREAM_PID=$!

# ---- the front ends ----
declare -A URL_BASE FRONT_PIDS INSTALL
free_port NGINX_PORT
# Upstream connections kept alive as many as wrk opens; a 100 KB page fits the proxy's buffers,
# so nginx never spills a response to a temporary file.
start_nginx_proxy() {  # configuration name port [directives of the location]
  start_nginx "$2" "  upstream backend {
    server $UPSTREAM_ADDRESS:$UPSTREAM_PORT;
    keepalive $CONNECTIONS;
    keepalive_requests 1000000;
  }
  server {
    listen $FRONT_ADDRESS:$3;
    location / {
      proxy_pass http://backend;
      proxy_http_version 1.1;
      proxy_set_header Connection \"\";
      proxy_set_header Accept-Encoding \"\";
      gzip on;
      gzip_comp_level 6;
      gzip_min_length 256;
      gzip_vary on;
      proxy_buffers 16 8k;
      proxy_max_temp_file_size 0;
${4:-}
    }
  }"
  local master=$!
  URL_BASE[$1]="http://$FRONT_ADDRESS:$3"
  for attempt in $(seq 100); do
    curl -sf -o /dev/null "${URL_BASE[$1]}${PAGE_PREFIX}page-2k.html" && break
    if ! kill -0 "$master" 2>/dev/null || ! kill -0 "$UPSTREAM_PID" 2>/dev/null; then
      fail "nginx did not start: $(cat "$WORK"/*/error.log)"
    fi
    [ "$attempt" -lt 100 ] || fail "nginx does not answer: $(cat "$WORK"/*/error.log)"
    sleep 0.1
  done
  FRONT_PIDS[$1]="$master $(pgrep -P "$master" | tr '\n' ' ')"
}
start_nginx_proxy 1 proxy "$NGINX_PORT"

SETTINGS=Zephyrquill/Nexoral/Settings/CoreSettings.xml
edit_settings() {  # root sed-expression what: changes the installation's settings, or fails
  local file="$1/$SETTINGS"
  cp "$file" "$file.demo"
  sed -i "$2" "$file"
  ! cmp -s "$file" "$file.demo" || fail "demo/CoreSettings.xml no longer has $3"
}
start_nexoral() {  # configuration [installation root]
  local dir="$WORK/nexoral-$1" module="" port
  mkdir -p "$dir"
  [ -z "${2:-}" ] || module="module = $2/Zephyrquill/Nexoral/Nexoral.so"
  cat > "$dir/server.conf" <<CONF
[server]
threads = 1
$module
[listen]
http = $FRONT_ADDRESS:0
[auth]
anonymous = $PAGE_PREFIX
[proxy]
route = $PAGE_PREFIX $UPSTREAM_ADDRESS:$UPSTREAM_PORT
idle_connections = $CONNECTIONS
CONF
  # The environment of `make demo`, rooted in the installation.
  env -u NEXORAL_COMPONENTS_DIR APP_POOL_ID=BenchPool \
    NEXORAL_REGISTRY_ROOT="${2:-$dir}/registry" NEXORAL_EVENT_LOG_FILE="${2:-$dir}/events.log" \
    NEXORAL_SYSTEM_DIR="${2:-$dir}/logs" NEXORAL_MAILBOX_STORE="${2:-$dir}/mailbox-properties.db" \
    NEXORAL_MAILBOX_DIRECTORY="${2:-$dir}/Zephyrquill/Nexoral/Settings/Directory.conf" \
    "$SERVER" --config "$dir/server.conf" --ready-file "$dir/ready" 2>"$dir/stderr.log" &
  PIDS+=($!)
  FRONT_PIDS[$1]=$!
  for _ in $(seq 300); do
    [ -s "$dir/ready" ] && break
    kill -0 "${FRONT_PIDS[$1]}" 2>/dev/null || fail "nexoral-server ($1) did not start: $(cat "$dir/stderr.log")"
    sleep 0.1
  done
  port=$(awk '$1 == "http" { print $3 }' "$dir/ready")
  [ -n "$port" ] || fail "nexoral-server ($1) did not say its port: $(cat "$dir/stderr.log")"
  URL_BASE[$1]="http://$FRONT_ADDRESS:$port"
}
start_nexoral 2
for config in 3 4 5; do
  INSTALL[$config]="$WORK/install-$config"
  demo/install.sh "$BUILD" "${INSTALL[$config]}"
done
LOG_OFF='s/\(<ITEM ID="14"[^>]*VALUE="\)[^"]*"/\10"/'
edit_settings "${INSTALL[3]}" "$LOG_OFF" "the log switch (item 14)"
edit_settings "${INSTALL[3]}" 's/<SUBSCRIBE FOLDER="owa"/<SUBSCRIBE FOLDER="not-benched"/' \
  "the sample worker's subscription to owa"
edit_settings "${INSTALL[4]}" "$LOG_OFF" "the log switch (item 14)"
for config in 3 4 5; do start_nexoral "$config" "${INSTALL[$config]}"; done

# ---- one check of every response ----
# The response header the demo settings add (item 82) to a response a worker takes.
ADDED_HEADER=$(sed -n 's/.*<ITEM ID="82"[^>]*VALUE="\([^":;]*\):.*/\1/p' demo/CoreSettings.xml | head -n 1)
BANNER_MARK='id="nexoral-banner"'  # in the sample worker's banner
check() {  # configuration page: status 200 and the added header where due; the body in $WORK
  local url="${URL_BASE[$1]}${PAGE_PREFIX}page-$2.html" got taken expected
  got=$(curl -s -o "$WORK/body-$1-$2" -D "$WORK/headers" -w '%{http_code}' "$url" || true)
  [ "$got" = 200 ] || fail "${LABEL[$1]}: $url gave status '$got', not 200"
  BYTES[$1]=$(($(wc -c < "$WORK/headers") + $(wc -c < "$WORK/body-$1-$2")))
  if [ -n "$ADDED_HEADER" ]; then
    taken=$(grep -qi "^$ADDED_HEADER:" "$WORK/headers" && echo yes || echo no)
    expected=$([ "$1" = 4 ] || [ "$1" = 5 ] && echo yes || echo no)
    [ "$taken" = "$expected" ] ||
      fail "${LABEL[$1]}: header $ADDED_HEADER present: $taken, expected: $expected"
  fi
}
declare -A BYTES  # of the last response checked per configuration: head and body
# A gzip row: gzip, Vary, and the body its front end sends without gzip once decompressed.
check_gzip() {  # configuration
  local base=${GZIP_OF[$1]} url got
  url="${URL_BASE[$base]}${PAGE_PREFIX}page-$GZIP_PAGE.html"
  got=$(curl -s -H "$GZIP_HEADER" -o "$WORK/gzip-$1" -D "$WORK/headers" -w '%{http_code}' "$url" || true)
  [ "$got" = 200 ] || fail "${LABEL[$1]}: $url gave status '$got', not 200"
  grep -qi '^Content-Encoding: gzip' "$WORK/headers" || fail "${LABEL[$1]}: the page is not gzip"
  grep -qi '^Vary: Accept-Encoding' "$WORK/headers" || fail "${LABEL[$1]}: no Vary: Accept-Encoding"
  gzip -dc < "$WORK/gzip-$1" > "$WORK/body-$1-$GZIP_PAGE" ||
    fail "${LABEL[$1]}: the page does not decompress"
  cmp -s "$WORK/body-$base-$GZIP_PAGE" "$WORK/body-$1-$GZIP_PAGE" ||
    fail "${LABEL[$1]}: the decompressed page differs from row $base's"
  BYTES[$1]=$(($(wc -c < "$WORK/headers") + $(wc -c < "$WORK/gzip-$1")))
}
REWRITE=""
for page in "${PAGES[@]}"; do
  for config in "${CONFIGS[@]}"; do
    check "$config" "$page"
    if [ "$config" -ge 4 ] && grep -q "$BANNER_MARK" "$WORK/body-$config-$page"; then
      REWRITE="$REWRITE $page"
      [ "$config" = 4 ] || cmp -s "$WORK/body-4-$page" "$WORK/body-$config-$page" ||
        fail "${LABEL[$config]}: the rewritten ${PAGE_TITLE[$page]} page differs from configuration 4's"
    else
      cmp -s "$WORK/www${PAGE_PREFIX}page-$page.html" "$WORK/body-$config-$page" ||
        fail "${LABEL[$config]}: the ${PAGE_TITLE[$page]} page did not arrive unchanged"
    fi
  done
done
# The rewrite pair: nginx's sub_filter makes the edits the sample worker made in configuration 4,
# taken from its page, so that both send the same bytes.
if [ "$(wc -w <<< "$REWRITE")" = 4 ]; then  # configurations 4 and 5, both pages
  script=$(grep -o '<script src="[^"]*"></script>' "$WORK/body-4-2k" | head -n 1)
  banner=$(grep -o "<div $BANNER_MARK>[^<]*</div>" "$WORK/body-4-2k" | head -n 1)
  if [ -z "$banner" ] || [[ "$script$banner" == *[\'\$\\]* ]]; then
    fail "unexpected edits of the sample worker: '$script' '$banner'"
  fi
  free_port SUB_FILTER_PORT
  # shellcheck disable=SC2016 # the single quotes are nginx's
  start_nginx_proxy 6 sub-filter "$SUB_FILTER_PORT" "      ${script:+sub_filter '<head>' '<head>$script';}
      sub_filter '</body>' '$banner</body>';"
  for page in "${PAGES[@]}"; do
    check 6 "$page"
    cmp -s "$WORK/body-4-$page" "$WORK/body-6-$page" ||
      fail "${LABEL[6]}: nginx's page differs from configuration 4's ($page)"
  done
  CONFIGS+=(6)
  GZIP_CONFIGS+=(10)
  LABEL[4]="4 module, log off, worker rewrites"
  LABEL[5]="5 module, demo log on, worker rewrites"
  LABEL[9]="9 module, log off, worker rewrites, gzip"
  REWRITE_NOTE="Rows 4, 5 and 6 send the page with $((${#script} + ${#banner})) bytes added."
elif [ -n "$REWRITE" ]; then
  fail "the sample worker rewrote only some pages:$REWRITE"
else
  REWRITE_NOTE="No rewrite pair (row 6): the sample worker in $BUILD does not rewrite pages."
fi
for config in "${GZIP_CONFIGS[@]}"; do check_gzip "$config"; done  # BYTES of the rest: 100 KB
grep -qs "SampleWorker \[1\] request GET ${PAGE_PREFIX}page-2k.html" \
  "${INSTALL[5]}"/logs/LogFiles/ZephyrquillLogs/*.log ||
  fail "${LABEL[5]}: the sample worker's lines are not in the log"

cpu_ticks() {  # pids -> utime + stime of them together, in clock ticks
  local total=0 pid
  for pid in "$@"; do
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }')))
  done
  echo "$total"
}
run_wrk() {  # url seconds output [header]
  wrk -t1 -c"$CONNECTIONS" -d"$2s" --latency ${4:+-H "$4"} "$1" > "$3" &
  CURRENT=$!
  wait "$CURRENT" || fail "wrk failed: $(cat "$3")"
  CURRENT=""
}
completed() { awk '/ requests in / { print $1; exit }' "$1"; }
errors() {  # wrk output -> its error lines, joined
  grep -E "Non-2xx|Socket errors" "$1" | sed 's/^ *//' | paste -sd ';' - || true
}
to_ms() {  # "1.23ms" / "850.00us" / "1.01s" -> milliseconds
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0;
                         else if (v ~ /s$/) n *= 1000; printf "%.3f", n }'
}
report_errors() {
  if [ -s "$WORK/errors" ]; then echo "wrk errors:"; cat "$WORK/errors"; else echo "wrk errors: none"; fi
}
truncate_log() {  # the plain log of configuration 5 grows by lines per request
  find "${INSTALL[5]}/logs" -type f -name '*.log' -exec truncate -s 0 {} +
}

echo "nexoral proxy bench: wrk -t1 -c$CONNECTIONS -d${DURATION}s on loopback; $(nproc) cores," \
  "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "front ends: nginx $(nginx -v 2>&1 | sed 's|.*/||') (worker_processes 1) and nexoral-server" \
  "(threads = 1); upstream: nginx, 1 worker; no access log anywhere"
for config in "${CONFIGS[@]}"; do echo "  ${LABEL[$config]}"; done
echo "$REWRITE_NOTE"

# ---- --syscalls: system calls per request under strace ----
if [ "$SYSCALLS" = 1 ]; then
  for page in "${PAGES[@]}"; do
    for config in "${CONFIGS[@]}"; do
      pid=${FRONT_PIDS[$config]%% *}
      [ "$config" != 1 ] && [ "$config" != 6 ] || pid=$(pgrep -P "$pid" | head -n 1)  # the worker
      out="$WORK/strace-$config-$page"
      strace -c -f -U calls,name -S calls -o "$out.txt" -p "$pid" 2>"$out.err" &
      TRACER=$!
      for _ in $(seq 100); do grep -q attached "$out.err" && break; sleep 0.05; done
      grep -q attached "$out.err" || fail "strace did not attach: $(cat "$out.err")"
      run_wrk "${URL_BASE[$config]}${PAGE_PREFIX}page-$page.html" "$DURATION" "$out.wrk"
      kill -INT "$TRACER"
      wait "$TRACER" || true
      TRACER=""
      [ "$config" != 5 ] || truncate_log
      requests=$(completed "$out.wrk")
      awk -v n="$requests" -v c="$config" \
        '$1 ~ /^[0-9]+$/ && $2 != "total" { printf "%s %s %.3f\n", c, $2, $1 / n }
         $2 == "total" { printf "%s total %.3f\n", c, $1 / n }' "$out.txt" |
        awk '$2 == "total" || ++rank[$1] <= 10' >> "$WORK/syscalls-$page"
      echo "$config requests $requests" >> "$WORK/syscalls-$page"
      e=$(errors "$out.wrk")
      [ -z "$e" ] || echo "  ${LABEL[$config]}, ${PAGE_TITLE[$page]}: $e" >> "$WORK/errors"
    done
    echo
    echo "System calls per request, ${PAGE_TITLE[$page]} page (${PAGE_BYTES[$page]} bytes)," \
      "the ten most frequent of each configuration:"
    awk -v configs="${CONFIGS[*]}" '
      { v[$2, $1] = $3 }
      $2 != "total" && $2 != "requests" && !($2 in seen) { seen[$2] = 1; names[++n] = $2 }
      END {
        k = split(configs, c, " ")
        printf "%-22s", "syscall"; for (i = 1; i <= k; i++) printf "%10s", c[i]; printf "\n"
        for (j = 1; j <= n; j++) {
          printf "%-22s", names[j]
          for (i = 1; i <= k; i++) printf "%10s", ((names[j], c[i]) in v) ? v[names[j], c[i]] : "-"
          printf "\n"
        }
        printf "%-22s", "total (all calls)"; for (i = 1; i <= k; i++) printf "%10s", v["total", c[i]]
        printf "\n%-22s", "requests (wrk)"; for (i = 1; i <= k; i++) printf "%10s", v["requests", c[i]]
        printf "\n"
      }' "$WORK/syscalls-$page"
  done
  echo
  echo "Columns are the configurations above; '-' is a call outside that configuration's ten."
  echo "For nginx the worker process; strace slows every front end, so only the counts matter."
  report_errors
  exit 0
fi

# ---- the measurement: rounds of every configuration and page ----
for round in $(seq "$ROUNDS"); do
  for page in "${PAGES[@]}"; do
    for config in $(configs_for "$page"); do
      out="$WORK/wrk-$config-$page-$round.txt"
      front=${GZIP_OF[$config]:-$config} header=""
      [ "$front" = "$config" ] || header="$GZIP_HEADER"
      # shellcheck disable=SC2086 # a list of pids
      before=$(cpu_ticks ${FRONT_PIDS[$front]})
      run_wrk "${URL_BASE[$front]}${PAGE_PREFIX}page-$page.html" "$DURATION" "$out" "$header"
      # shellcheck disable=SC2086
      after=$(cpu_ticks ${FRONT_PIDS[$front]})
      [ "$config" != 5 ] || truncate_log
      requests=$(completed "$out")
      rps=$(awk '$1 == "Requests/sec:" { print $2 }' "$out")
      p50=$(to_ms "$(awk '$1 == "50%" { print $2 }' "$out")")
      p99=$(to_ms "$(awk '$1 == "99%" { print $2 }' "$out")")
      cpu=$(awk -v t=$((after - before)) -v hz="$TICKS" -v n="$requests" \
        'BEGIN { printf "%.2f", (n > 0 ? t * 1e6 / hz / n : 0) }')
      echo "$page $config $rps $p50 $p99 $cpu" >> "$WORK/results"
      e=$(errors "$out")
      [ -z "$e" ] || echo "  ${LABEL[$config]}, ${PAGE_TITLE[$page]}, round $round: $e" >> "$WORK/errors"
    done
  done
done

median() {  # page config column -> the median of that column over the rounds
  awk -v p="$1" -v c="$2" -v k="$3" '$1 == p && $2 == c { print $k }' "$WORK/results" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
for page in "${PAGES[@]}"; do
  echo
  echo "${PAGE_TITLE[$page]} page: GET ${PAGE_PREFIX}page-$page.html, ${PAGE_BYTES[$page]} bytes of" \
    "text/html; medians of $ROUNDS rounds"
  printf "%-42s %10s %8s %8s %12s %11s %9s\n" configuration req/s "p50 ms" "p99 ms" "CPU µs/req" \
    "req/s ratio" "p99 ratio"
  ref_rps=$(median "$page" 1 3)
  ref_p99=$(median "$page" 1 5)
  for config in "${CONFIGS[@]}"; do
    rps=$(median "$page" "$config" 3)
    p99=$(median "$page" "$config" 5)
    awk -v l="${LABEL[$config]}" -v rps="$rps" -v p50="$(median "$page" "$config" 4)" -v p99="$p99" \
      -v cpu="$(median "$page" "$config" 6)" -v rr="$ref_rps" -v rp="$ref_p99" 'BEGIN {
        printf "%-42s %10.0f %8.3f %8.3f %11.1f %11.2f %9.2f\n", l, rps, p50, p99, cpu,
               (rr > 0 ? rps / rr : 0), (rp > 0 ? p99 / rp : 0) }'
  done
  if [[ " ${CONFIGS[*]} " == *" 6 "* ]]; then
    awk -v rps="$(median "$page" 4 3)" -v p99="$(median "$page" 4 5)" -v cpu="$(median "$page" 4 6)" \
      -v rr="$(median "$page" 6 3)" -v rp="$(median "$page" 6 5)" -v rc="$(median "$page" 6 6)" 'BEGIN {
        printf "rewrite pair, 4 over 6: req/s ratio %.2f, p99 ratio %.2f, CPU per request ratio %.2f\n",
               (rr > 0 ? rps / rr : 0), (rp > 0 ? p99 / rp : 0), (rc > 0 ? cpu / rc : 0) }'
  fi
  [ "$page" = "$GZIP_PAGE" ] || continue
  echo
  echo "${PAGE_TITLE[$page]} page with \"$GZIP_HEADER\" (gzip level 6 on both sides); medians of" \
    "$ROUNDS rounds; ratios to row 7"
  printf "%-42s %10s %8s %8s %12s %8s %11s %9s %11s\n" configuration req/s "p50 ms" "p99 ms" \
    "CPU µs/req" bytes "req/s ratio" "p99 ratio" "bytes ratio"
  # The gzip rows, then for scale the rows they compress (without ratios).
  for config in "${GZIP_CONFIGS[@]}" "${CONFIGS[@]}"; do
    case " 1 2 4 6 ${GZIP_CONFIGS[*]} " in *" $config "*) ;; *) continue ;; esac
    awk -v l="${LABEL[$config]}" -v rps="$(median "$page" "$config" 3)" \
      -v p50="$(median "$page" "$config" 4)" -v p99="$(median "$page" "$config" 5)" \
      -v cpu="$(median "$page" "$config" 6)" -v b="${BYTES[$config]}" -v rr="$(median "$page" 7 3)" \
      -v rp="$(median "$page" 7 5)" -v rb="${BYTES[7]}" -v gzip="${GZIP_OF[$config]:-}" 'BEGIN {
        printf "%-42s %10.0f %8.3f %8.3f %11.1f %8d", l, rps, p50, p99, cpu, b
        if (gzip == "") { printf "\n"; exit }
        printf " %11.2f %9.2f %11.2f\n", (rr > 0 ? rps / rr : 0), (rp > 0 ? p99 / rp : 0),
               (rb > 0 ? b / rb : 0) }'
  done
  if [[ " ${GZIP_CONFIGS[*]} " == *" 10 "* ]]; then
    awk -v rps="$(median "$page" 9 3)" -v p99="$(median "$page" 9 5)" -v cpu="$(median "$page" 9 6)" \
      -v rr="$(median "$page" 10 3)" -v rp="$(median "$page" 10 5)" -v rc="$(median "$page" 10 6)" \
      -v b="${BYTES[9]}" -v rb="${BYTES[10]}" 'BEGIN {
        printf "rewrite pair with gzip, 9 over 10: req/s ratio %.2f, p99 ratio %.2f, CPU per request" \
               " ratio %.2f, bytes ratio %.2f\n", (rr > 0 ? rps / rr : 0), (rp > 0 ? p99 / rp : 0),
               (rc > 0 ? cpu / rc : 0), (rb > 0 ? b / rb : 0) }'
  fi
done
echo
echo "req/s ratio: the configuration's req/s over nginx's (higher is better); p99 ratio: its p99"
echo "over nginx's (lower is better). CPU µs/req: the front end's own CPU time per request."
echo "bytes: one response as curl received it, head and body; under the gzip rows, the rows"
echo "they compress, uncompressed, for scale."
echo "$REWRITE_NOTE"
report_errors
