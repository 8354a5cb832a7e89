#!/bin/bash
# Runs the demo installation laid out by `make demo`: starts nexoral-server and the chunked
# web-mail server behind /owa/chunked/, sends a few requests with curl, shows how the sample
# worker rewrote the web-mail page and what it logged, then keeps the server in the foreground
# until Ctrl-C.
#   demo/tour.sh <nexoral-server> <demo folder> <nexoral-demo-upstream>
set -u
server="$1"
demo="$2"
upstream="$3"
base="http://127.0.0.2:8080"
ready="$demo/ready"
rm -f "$ready"

# The page again, from a server that sends it chunked (server.conf routes /owa/chunked/ to it).
"$upstream" 127.0.0.2 8081 "$demo/www/owa/index.html" > "$demo/upstream.log" &
upstream_pid=$!
start_server() {
  rm -f "$ready"
  "$server" --config "$demo/server.conf" --ready-file "$ready" &
  server_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$ready" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || { echo "nexoral: the server did not start"; exit 1; }
    sleep 0.1
  done
}
start_server
trap 'kill -TERM "$server_pid" 2>/dev/null' INT TERM
trap 'kill -TERM "$upstream_pid" 2>/dev/null' EXIT

log_files() { find "$demo/logs" -type f -name '*.log' 2>/dev/null; }
show() {  # prints the status of one request, as curl gets it
  printf 'nexoral: %-58s -> %s\n' "$1" "$(curl -s -o /dev/null -w '%{http_code}' "${@:2}")"
}

echo "nexoral: a short tour"
show "GET /owa/?ae=Folder (as demo)" -u demo:demo "$base/owa/?ae=Folder"
show "GET /owa/ (no credentials)" "$base/owa/"
show "GET /public/about.txt (no worker subscribes)" "$base/public/about.txt"
prefix=$(grep -ho 'added csm header value: [A-Za-z0-9]*zq_' $(log_files) | tail -n 1 | awk '{print $NF}')
if [ -n "$prefix" ]; then
  show "GET /owa/scripts/${prefix}mail.js (decorated name)" "$base/owa/scripts/${prefix}mail.js"
fi

# A page as the client gets it: the script reference and the banner the sample worker inserted,
# and whether the announced length is the length of the body that came.
rewritten() {  # <what> <path>
  local headers="$demo/tour-headers" body="$demo/tour-body" script banner announced actual
  curl -s -u demo:demo -D "$headers" -o "$body" "$base$2"
  script=$(grep -o "<script src=\"/owa/scripts/${prefix:-?}nexoral-demo.js\"></script>" "$body")
  banner=$(grep -o '<div id="nexoral-banner">[^<]*</div>' "$body")
  announced=$(grep -i '^Content-Length:' "$headers" | tr -dc '0-9')
  actual=$(wc -c < "$body")
  echo "nexoral: GET $2 as demo, $1:"
  echo "    script reference after <head>: ${script:-MISSING}"
  echo "    banner before </body>:         ${banner:-MISSING}"
  case "$2" in /owa/chunked/*) tail -n 1 "$demo/upstream.log" ;; esac
  if [ -n "$announced" ] && [ "$announced" -eq "$actual" ]; then
    echo "    Content-Length: $announced, the body's length"
  else
    echo "    Content-Length: ${announced:-none}, WRONG: the body has $actual bytes"
  fi
}
echo "nexoral: the sample worker rewrites the web-mail page:"
rewritten "a static file with a Content-Length" /owa/
rewritten "from an upstream that sends it chunked" /owa/chunked/
if [ -n "$prefix" ]; then
  show "GET /owa/scripts/${prefix}nexoral-demo.js (inserted)" \
    "$base/owa/scripts/${prefix}nexoral-demo.js"
fi
# A per-user setting: bob hides the banner (the sample worker stores it as bob's custom property
# in the mailbox store); it holds for bob after a restart of the server, and for no one else.
banner_of() {  # <user:password> [query]
  if curl -s -u "$1" "$base/owa/${2:-}" | grep -q 'id="nexoral-banner"'; then echo shown; else echo hidden; fi
}
echo "nexoral: a user's own setting, kept in the mailbox store:"
echo "    bob asks for no banner (?banner=0):    banner $(banner_of bob:bob '?banner=0')"
kill -TERM "$server_pid"; wait "$server_pid" 2>/dev/null
start_server
echo "    after a restart of the server, bob:    banner $(banner_of bob:bob)"
echo "    alice, at the same time:               banner $(banner_of alice:alice)"
echo "    bob asks for it again (?banner=1):     banner $(banner_of bob:bob '?banner=1')"
echo "nexoral: what the sample worker saw:"
grep -h 'SampleWorker \[' $(log_files) | sed 's/^/    /'
echo "nexoral: the server runs on $base (try  curl -i -u demo:demo $base/owa/, or open"
echo "    $base/owa/ in a browser as demo/demo: the banner says the script ran); Ctrl-C stops it"
echo "nexoral: the log is in $demo/logs, the events in $demo/events.log"
wait "$server_pid"
wait "$server_pid" 2>/dev/null
