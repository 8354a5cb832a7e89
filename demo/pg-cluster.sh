#!/bin/bash
# A PostgreSQL server of its own in one folder, for the farm demo, the tests and the benchmarks:
# Debian's server binaries, run as an unprivileged user (as "postgres", else "nobody", when
# started by root), listening on 127.0.0.1 only.
#
#   demo/pg-cluster.sh start <folder> <port>   makes the cluster when <folder>/data is missing,
#                                               starts it and prints the connection URI
#   demo/pg-cluster.sh stop <folder>            stops it (fast: open sessions are ended)
#   demo/pg-cluster.sh psql <folder> [args]     psql on the running cluster's database, as its
#                                               superuser, over the socket
#   demo/pg-cluster.sh owner                    the user the server runs as (when root starts it)
#
# The superuser and the database are both "nexoral". Its password is <folder>/password (mode
# 0600; a random one is made with the cluster): TCP connections must give it, connections over
# the socket in <folder> are trusted. PG_CLUSTER_OPTIONS adds server options
# ("-c fsync=off"). The server's log is <folder>/postgres.log.
set -euo pipefail

usage() { echo "usage: $0 start <folder> <port> | stop <folder> | psql <folder> [args] | owner" >&2; exit 2; }
owner() { if id -u postgres >/dev/null 2>&1; then echo postgres; else echo nobody; fi; }
[ "${1:-}" = owner ] && { owner; exit 0; }
[ $# -ge 2 ] || usage
command="$1"
folder="$2"

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/pg_ctl" ] || { echo "pg-cluster: Debian's PostgreSQL server (postgresql) is not installed" >&2; exit 1; }

# The server refuses to run as root: root hands it to an unprivileged user.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$(owner)" -- "$@"
  else
    "$@"
  fi
}

make_cluster() {
  mkdir -p "$folder"
  chmod 0700 "$folder"
  if [ ! -s "$folder/password" ]; then
    (umask 077 && head -c 24 /dev/urandom | base64 | tr -d '/+=\n' > "$folder/password")
  fi
  [ "$(id -u)" -ne 0 ] || chown -R "$(owner)" "$folder"
  as_owner "$bin/initdb" -D "$folder/data" -U nexoral --pwfile="$folder/password" -E UTF8 \
    --locale=C --auth-local=trust --auth-host=scram-sha-256 --no-sync >"$folder/initdb.log" 2>&1 ||
    { cat "$folder/initdb.log" >&2; exit 1; }
}

case "$command" in
  start)
    [ $# -eq 3 ] || usage
    port="$3"
    [[ "$port" =~ ^[0-9]+$ ]] || usage
    folder=$(realpath -m "$folder")
    [ -d "$folder/data" ] || make_cluster
    # shellcheck disable=SC2086  # the options are words
    as_owner "$bin/pg_ctl" -D "$folder/data" -l "$folder/postgres.log" -w -t 60 \
      -o "-c listen_addresses=127.0.0.1 -p $port -k $folder ${PG_CLUSTER_OPTIONS:-}" start >/dev/null ||
      { tail -n 20 "$folder/postgres.log" >&2; exit 1; }
    if ! as_owner "$bin/psql" -h "$folder" -p "$port" -U nexoral -d postgres -tAc \
        "SELECT 1 FROM pg_database WHERE datname = 'nexoral'" | grep -q 1; then
      as_owner "$bin/createdb" -h "$folder" -p "$port" -U nexoral nexoral
    fi
    echo "$port" > "$folder/port"
    echo "postgresql://nexoral@127.0.0.1:$port/nexoral"
    ;;
  psql)
    folder=$(realpath -m "$folder")
    port=$(cat "$folder/port")
    as_owner "$bin/psql" -h "$folder" -p "$port" -U nexoral -d nexoral -v ON_ERROR_STOP=1 "${@:3}"
    ;;
  stop)
    [ $# -eq 2 ] || usage
    as_owner "$bin/pg_ctl" -D "$folder/data" -m fast -w stop >/dev/null
    ;;
  *) usage ;;
esac
