#!/usr/bin/env bash
# User property reads and writes per second, the mailbox store on SQLite against PostgreSQL: runs
# <build>/bench/property_bench once on an SQLite file in a temporary folder and once on a
# PostgreSQL server of its own (demo/pg-cluster.sh, on a free port of 127.0.0.1), and prints one
# table: a row per operation (read, write), cache (without: through the mailbox component's client
# per operation; with: through the settings host and the property cache) and thread count (1, 8),
# a column of operations per second per store.
#
# Usage: bench/property_bench.sh [BUILD_DIR] [BENCHMARK OPTIONS...]
#   BUILD_DIR           the build holding bench/property_bench (default build); built beforehand:
#                       cmake --build build --target property_bench
#   BENCHMARK OPTIONS   passed to both runs, e.g. --benchmark_min_time=2 or
#                       --benchmark_repetitions=3 (the table then gives the medians)
# Needs Debian's postgresql. The server, its folder and the temporary folder go when the script
# ends, Ctrl-C included. Not part of `make test`.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=build
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then BUILD_DIR="$1"; shift; fi
BENCH="$BUILD_DIR/bench/property_bench"

fail() { echo "property bench: $*" >&2; exit 1; }
[ -x "$BENCH" ] || fail "$BENCH is missing: cmake --build $BUILD_DIR --target property_bench"
BENCH=$(realpath "$BENCH")

WORK=$(mktemp -d /tmp/nexoral-property-bench.XXXXXX)
# The cluster's folder must be new, under a folder its (unprivileged) server can pass through.
CLUSTER=$(mktemp -d /tmp/nexoral-property-pg.XXXXXX)
rmdir "$CLUSTER"
STARTED=0
cleanup() {
  trap - EXIT INT TERM
  if [ "$STARTED" = 1 ]; then demo/pg-cluster.sh stop "$CLUSTER" || true; fi
  rm -rf "$WORK" "$CLUSTER"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

free_port() {  # a port no socket listens on
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    grep -q "$(printf ':%04X ' "$port")" /proc/net/tcp /proc/net/tcp6 2>/dev/null || break
  done
  echo "$port"
}

# Runs the bench on the store the environment names; its results as JSON in <name>.json, its
# output in <name>.log. True when it ran to its end (single benchmarks may still have failed). It
# runs in the temporary folder, where anything it makes goes.
run() {
  local name="$1"
  shift
  echo "running on $name ..." >&2
  (cd "$WORK" && env "$@" TMPDIR="$WORK" "$BENCH" --benchmark_out="$name.json" \
     --benchmark_out_format=json "${OPTIONS[@]}" >"$name.log" 2>&1) && return 0
  echo "property bench: the $name run failed; its last lines:" >&2
  tail -n 5 "$WORK/$name.log" >&2
  return 1
}
OPTIONS=("$@")

LOAD=$(cut -d' ' -f1-3 /proc/loadavg)
run SQLite NEXORAL_MAILBOX_STORE="$WORK/mailbox-properties.db" || true

PORT=$(free_port)
if URI=$(demo/pg-cluster.sh start "$CLUSTER" "$PORT"); then
  STARTED=1
  run PostgreSQL NEXORAL_MAILBOX_STORE="$URI" NEXORAL_MAILBOX_STORE_PASSWORD_FILE="$CLUSTER/password" || true
else
  echo "property bench: the PostgreSQL server did not start" >&2
fi

# name<TAB>ops/s (or "failed") per benchmark of a JSON result: the median when there are
# repetitions, else the one run.
results() {
  [ -s "$1" ] || return 0
  awk '
    /^ *"run_name":/       { sub(/^ *"run_name": "/, ""); sub(/",$/, ""); name = $0 }
    /^ *"aggregate_name":/ { aggregate = $0 ~ /"median"/ ? "median" : "other" }
    /^ *"error_occurred": true/ { failed = 1 }
    /^ *"items_per_second":/ { sub(/^ *"items_per_second": /, ""); sub(/,$/, ""); rate = $0 }
    /^ *}/ {
      if (name != "" && aggregate != "other") {
        value = failed ? "failed" : sprintf("%.0f", rate)
        if (aggregate == "median" || !(name in median)) best[name] = value
        if (aggregate == "median") median[name] = 1
      }
      name = ""; aggregate = ""; failed = 0; rate = 0
    }
    END { for (n in best) print n "\t" best[n] }' "$1"
}
declare -A SQLITE POSTGRES
while IFS=$'\t' read -r name value; do SQLITE[$name]=$value; done < <(results "$WORK/SQLite.json")
while IFS=$'\t' read -r name value; do POSTGRES[$name]=$value; done < <(results "$WORK/PostgreSQL.json")

echo
echo "property bench: $(nproc) cores, load average before: $LOAD"
echo "SQLite file and PostgreSQL $(ls /usr/lib/postgresql 2>/dev/null | sort -V | tail -n 1) cluster in /tmp ($(stat -f -c %T "$WORK")); ops/s of all threads together"
printf '%-10s %-8s %7s %14s %17s\n' operation cache threads "SQLite ops/s" "PostgreSQL ops/s"
for operation in Read Write; do
  for cache in 0 1; do
    for threads in 1 8; do
      key="BM_Property$operation/cache:$cache/real_time/threads:$threads"
      printf '%-10s %-8s %7s %14s %17s\n' "${operation,}" "$([ "$cache" = 1 ] && echo with || echo without)" \
        "$threads" "${SQLITE[$key]:--}" "${POSTGRES[$key]:--}"
    done
  done
done
for name in SQLite PostgreSQL; do
  if grep -q '"error_occurred": true' "$WORK/$name.json" 2>/dev/null; then
    echo "$name failures:"
    sed -n 's/^ *"error_message": "\(.*\)",\{0,1\}$/  \1/p' "$WORK/$name.json" | sort -u
  fi
done
