#!/bin/bash
# Runs the demo installation laid out by `make demo`: starts nexoral-server, sends a few
# requests with curl, shows what the sample worker logged of them, then keeps the server in
# the foreground until Ctrl-C.
#   demo/tour.sh <nexoral-server> <demo folder>
set -u
server="$1"
demo="$2"
base="http://127.0.0.2:8080"
ready="$demo/ready"
rm -f "$ready"

"$server" --config "$demo/server.conf" --ready-file "$ready" &
server_pid=$!
trap 'kill -TERM "$server_pid" 2>/dev/null' INT TERM

for _ in $(seq 1 100); do
  [ -s "$ready" ] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "nexoral: the server did not start"; exit 1; }
  sleep 0.1
done

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
echo "nexoral: what the sample worker saw:"
grep -h 'SampleWorker \[' $(log_files) | sed 's/^/    /'
echo "nexoral: the server runs on $base (try  curl -i -u demo:demo $base/owa/); Ctrl-C stops it"
echo "nexoral: the log is in $demo/logs, the events in $demo/events.log"
wait "$server_pid"
wait "$server_pid" 2>/dev/null
