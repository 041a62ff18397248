#!/usr/bin/env bash
# Runs Relaybox under a virtual X display with a fresh HOME and three queued updates, and
# saves screenshots of the main window and of the About box.
#   scripts/screenshot.sh [output folder]   (default: build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/screenshots}")
mkdir -p "$out"
[ -x build/relaybox ] || scripts/setup.sh

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
folder=$home/Documents/Quintel/Hoofline/Relaybox
mkdir -p "$folder"
printf 'Main Street Stables\r\nhttp://www.hoofline.example/hl/update.php?horse=12&time=61.4\r\n' >"$folder/C000101.txt"
printf 'Riverside Farm\r\nhttp://127.0.0.1:8080/results?race=3\r\n' >"$folder/C000102.txt"
printf 'Oak Hill\r\nhttp://127.0.0.1:8080/results?race=4\r\n' >"$folder/C000103.txt"
printf 'Not yet\r\nhttp://127.0.0.1:8080/late\r\n' >"$folder/C999999.txt"

HOME=$home xvfb-run -a -s "-screen 0 800x480x24" bash -c '
  build/relaybox & pid=$!
  sleep 2
  import -window root "$0/main-window.png"
  win=$(xdotool search --sync --name "^Hoofline Relaybox$" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$win")"
  # The About item stands second on the menu bar.
  xdotool mousemove $((X + 60)) $((Y + 8)) click 1
  sleep 1
  import -window root "$0/about-box.png"
  kill $pid' "$out"
echo "Screenshots in $out"
