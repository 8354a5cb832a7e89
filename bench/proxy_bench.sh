#!/usr/bin/env bash
# Compares nexoral-server with nginx as reverse proxies of the same upstream on loopback.
# The upstream is an nginx serving a small file; wrk drives each front end in turn and the
# script prints requests per second and latency percentiles side by side, with their ratio.
# Not part of `make test`. Usage: bench/proxy_bench.sh [seconds] [connections] [threads]
# Needs the release build (make build); installs wrk and nginx-light when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION="${1:-10}"
CONNECTIONS="${2:-32}"
THREADS="${3:-2}"
SERVER=build/server/nexoral-server
MODULE=build/src/nexoral.so
UPSTREAM_PORT=18081
NGINX_PROXY_PORT=18082
NEXORAL_PORT=18083

for tool in wrk nginx; do
  if ! command -v "$tool" >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then echo "bench: $tool is missing (run as root to install)"; exit 1; fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$([ "$tool" = nginx ] && echo nginx-light || echo wrk)"
  fi
done
[ -x "$SERVER" ] || { echo "bench: build first (make build)"; exit 1; }

WORK="$(mktemp -d /tmp/nexoral-bench-XXXXXX)"
chmod 755 "$WORK"  # nginx workers run as an unprivileged user
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# ---- the upstream and the nginx proxy: one nginx, two servers ----
mkdir -p "$WORK/nginx/logs" "$WORK/www/api"
head -c 2048 /dev/zero | tr '\0' 'x' > "$WORK/www/api/bench.txt"
cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  upstream backend { server 127.0.0.1:$UPSTREAM_PORT; keepalive 32; }
  server { listen 127.0.0.1:$UPSTREAM_PORT; root $WORK/www; }
  server {
    listen 127.0.0.1:$NGINX_PROXY_PORT;
    location /api/ {
      proxy_pass http://backend;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
    }
  }
}
CONF
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" &
PIDS+=($!)

# ---- nexoral-server with the module loaded, proxying /api/ to the same upstream ----
cat > "$WORK/server.conf" <<CONF
[server]
threads = 1
module = $PWD/$MODULE
[listen]
http = 127.0.0.1:$NEXORAL_PORT
[auth]
anonymous = /api/
[proxy]
route = /api/ 127.0.0.1:$UPSTREAM_PORT
idle_connections = 64
CONF
"$SERVER" --config "$WORK/server.conf" --ready-file "$WORK/ready" 2>"$WORK/server.err" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/ready" ] && curl -sf "http://127.0.0.1:$NGINX_PROXY_PORT/api/bench.txt" >/dev/null && break; sleep 0.1; done
curl -sf "http://127.0.0.1:$NEXORAL_PORT/api/bench.txt" >/dev/null || { echo "bench: nexoral-server does not answer"; cat "$WORK/server.err"; exit 1; }

# ---- measure ----
measure() {  # name port -> file with rps and percentiles
  wrk -t"$THREADS" -c"$CONNECTIONS" -d"${DURATION}s" --latency "http://127.0.0.1:$2/api/bench.txt" > "$WORK/$1.txt"
}
measure nginx "$NGINX_PROXY_PORT"
measure nexoral "$NEXORAL_PORT"

field() {  # file pattern -> value
  awk -v pattern="$2" '$1 == pattern { print $2; exit }' "$1"
}
to_ms() {  # "1.23ms" / "850.00us" / "1.01s" -> milliseconds
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0; else if (v ~ /s$/) n *= 1000; printf "%.3f", n }'
}
row() {  # label nexoral nginx
  awk -v l="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%-14s %14s %14s %10.2f\n", l, a, b, (b > 0 ? a / b : 0) }'
}
echo "upstream: 2 KiB file from nginx; wrk -t$THREADS -c$CONNECTIONS -d${DURATION}s; nexoral-server threads = 1, nginx worker_processes 1"
printf "%-14s %14s %14s %10s\n" "" "nexoral-server" "nginx" "ratio"
row "requests/s" "$(field "$WORK/nexoral.txt" Requests/sec:)" "$(field "$WORK/nginx.txt" Requests/sec:)"
for p in 50% 75% 90% 99%; do
  row "latency $p ms" "$(to_ms "$(field "$WORK/nexoral.txt" "$p")")" "$(to_ms "$(field "$WORK/nginx.txt" "$p")")"
done
grep -h -E "Non-2xx|Socket errors" "$WORK/nexoral.txt" "$WORK/nginx.txt" || true
