#!/usr/bin/env bash
# Runs Relaybox under a virtual X display with a fresh HOME and a loopback web server, drops
# five updates (one answered, one not found, one refused, two held by a server that never
# replies) and saves screenshots of the main window mid-delivery and of the About box.
#   scripts/screenshot.sh [output folder]   (default: build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/screenshots}")
mkdir -p "$out"
. scripts/packages.sh
install_missing "${relaybox_test_packages[@]}"
[ -x build/relaybox ] || scripts/setup.sh

home=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$home"' EXIT
mkdir -p "$home/www/results"
printf 'Result recorded: race 3, Riverside Farm\n' >"$home/www/results/3"

# Each server prints the port the system gave it.
serve() { python3 -u -c "$1" "$home/www" >"$home/$2.port" 2>/dev/null & pids+=($!); }
serve 'import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.HTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1])
server.serve_forever()' answering
serve 'import socket, time
s = socket.create_server(("127.0.0.1", 0))
print(s.getsockname()[1])
held = []
while True: held.append(s.accept())' silent
for name in answering silent; do
  for _ in $(seq 50); do [ -s "$home/$name.port" ] && break; sleep 0.1; done
done
answering=$(head -1 "$home/answering.port")
silent=$(head -1 "$home/silent.port")
refused=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

folder=$home/Documents/Quintel/Hoofline/Relaybox
mkdir -p "$folder"
printf 'Riverside Farm\r\nhttp://127.0.0.1:%s/results/3\r\n' "$answering" >"$folder/C000101.txt"
printf 'Oak Hill\r\nhttp://127.0.0.1:%s/results/4\r\n' "$answering" >"$folder/C000102.txt"
printf 'Brook Lane\r\nhttp://127.0.0.1:%s/results/5\r\n' "$refused" >"$folder/C000103.txt"
printf 'Main Street Stables\r\nhttp://127.0.0.1:%s/hl/update.php?horse=12&time=61.4\r\n' "$silent" >"$folder/C000104.txt"
printf 'Hill Top\r\nhttp://127.0.0.1:%s/hl/update.php?horse=7&time=63.0\r\n' "$silent" >"$folder/C000105.txt"

HOME=$home xvfb-run -a -s "-screen 0 800x480x24" bash -c '
  build/relaybox & pid=$!
  win=$(xdotool search --sync --name "^Hoofline Relaybox$" | head -1)
  sleep 3
  import -window "$win" "$0/main-window.png"
  eval "$(xdotool getwindowgeometry --shell "$win")"
  # The About item stands second on the menu bar.
  xdotool mousemove $((X + 60)) $((Y + 8)) click 1
  sleep 1
  import -window root "$0/about-box.png"
  kill $pid' "$out"
echo "Screenshots in $out"
