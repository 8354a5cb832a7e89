#!/bin/bash
# Two front ends on one mailbox store: starts a PostgreSQL server of its own
# (demo/pg-cluster.sh), then two nexoral-servers on the one demo installation laid out by
# `make demo-farm`, A on 127.0.0.2:8080 (server.conf) and B on 127.0.0.2:8082 (a copy with that
# port), both with the PostgreSQL store. As the user demo it has A and B take turns changing and
# showing demo's banner setting, so that a change stored through one front end shows through
# the other although that one had the old value cached. One line per step; the exit status is
# not 0 when a step shows something else. Everything it started is stopped at the end.
#   demo/farm.sh <nexoral-server> <demo folder>
# The environment is the demo's (see demo_env in the Makefile); NEXORAL_MAILBOX_STORE and
# NEXORAL_MAILBOX_STORE_PASSWORD_FILE are set here to the cluster's.
set -u
[ $# -eq 2 ] || { echo "usage: $0 <nexoral-server> <demo folder>" >&2; exit 2; }
server="$1"
demo=$(realpath -e "$2") || exit 1
here=$(dirname "$(realpath "$0")")
a="http://127.0.0.2:8080"
b="http://127.0.0.2:8082"

say() { echo "nexoral farm: $*"; }

# The cluster runs as an unprivileged user when this runs as root: its folder's parents must let
# that user through, else it goes to a folder of its own under /tmp, removed at the end.
pg="$demo/postgres"
pg_shown="${2%/}/postgres"  # as the caller named it
pg_log="$pg/postgres.log"
scratch=""
if [ "$(id -u)" -eq 0 ]; then
  if ! runuser -u "$("$here/pg-cluster.sh" owner)" -- test -x "$demo"; then
    scratch=$(mktemp -d /tmp/nexoral-farm.XXXXXX) || exit 1
    chmod 0755 "$scratch"
    pg="$scratch/postgres"
    pg_shown="$pg (removed at the end)"
    pg_log="$demo/postgres.log"  # copied there at the end
  fi
fi
rm -rf "$pg"

server_pids=()
cluster_started=0
stop_all() {
  local pid
  for pid in "${server_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ "$cluster_started" -eq 1 ] && (cd / && "$here/pg-cluster.sh" stop "$pg" 2>/dev/null)
  if [ -n "$scratch" ]; then
    cp "$pg/postgres.log" "$demo/postgres.log" 2>/dev/null
    rm -rf "$scratch"
  fi
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# A free port on 127.0.0.1 for PostgreSQL: one that nothing listens on.
free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    if ! ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then echo "$port"; return 0; fi
  done
  return 1
}
port=$(free_port) || { say "no free port for PostgreSQL"; exit 1; }
# (From /: the cluster's user may not be allowed into the current folder.)
cluster_started=1
uri=$(cd / && "$here/pg-cluster.sh" start "$pg" "$port") || { say "PostgreSQL did not start"; exit 1; }
export NEXORAL_MAILBOX_STORE="$uri"
export NEXORAL_MAILBOX_STORE_PASSWORD_FILE="$pg/password"
say "PostgreSQL in $pg_shown, store $uri"

sed 's/^http = 127\.0\.0\.2:8080$/http = 127.0.0.2:8082/' "$demo/server.conf" > "$demo/server-b.conf"
start_server() {  # <name> <configuration>
  local ready="$demo/ready-$1" pid
  rm -f "$ready"
  "$server" --config "$2" --ready-file "$ready" > "$demo/server-$1.log" 2>&1 &
  pid=$!
  server_pids+=("$pid")
  for _ in $(seq 1 100); do
    [ -s "$ready" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  say "front end $1 did not start:"
  tail -n 5 "$demo/server-$1.log" | sed 's/^/    /'
  exit 1
}
start_server A "$demo/server.conf"
start_server B "$demo/server-b.conf"
say "front end A on $a, front end B on $b, one store"

# One step: a GET of the web-mail page as demo through one front end, and whether the banner
# is there. A change made through the other front end reaches this one's cache by a
# notification, a moment after that front end answered: such a step looks again for up to 2 s.
failed=0
step() {  # <number> <front end name> <base URL> <query> <shown|hidden> <retry: 0|1> <what>
  local body="$demo/farm-body" status seen tries=1
  [ "$6" -eq 1 ] && tries=20
  for _ in $(seq 1 "$tries"); do
    status=$(curl -s --max-time 10 -u demo:demo -o "$body" -w '%{http_code}' "$3/owa/$4")
    seen=hidden
    grep -q 'id="nexoral-banner"' "$body" && seen=shown
    [ "$status" = 200 ] && [ "$seen" = "$5" ] && break
    sleep 0.1
  done
  if [ "$status" = 200 ] && [ "$seen" = "$5" ]; then
    printf 'nexoral farm: %s. %s: GET /owa/%-9s -> banner %-6s %s\n' "$1" "$2" "$4" "$seen" "$7"
    return
  fi
  local got="banner $seen"
  [ "$status" = 200 ] || got="status $status"
  printf 'nexoral farm: %s. %s: GET /owa/%-9s -> %s, FAILED: should be banner %s %s\n' \
    "$1" "$2" "$4" "$got" "$5" "$7"
  failed=1
}
say "the user demo, through A and B in turn:"
step 1 B "$b" "" shown 0 "(B reads demo's setting and caches it)"
step 2 A "$a" "?banner=0" hidden 0 "(A stores 0)"
step 3 B "$b" "" hidden 1 "(A's store reaches B's cache)"
step 4 B "$b" "?banner=1" shown 0 "(B stores 1)"
step 5 A "$a" "" shown 1 "(B's store reaches A's cache)"
if [ "$failed" -ne 0 ]; then
  say "a step did not show what it should; see the servers' output (server-A.log, server-B.log)"
  say "    and the log in $demo, PostgreSQL's log in $pg_log"
  exit 1
fi
say "every step as it should be; stopping both front ends and PostgreSQL"
