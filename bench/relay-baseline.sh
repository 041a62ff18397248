#!/usr/bin/env bash
# The relay done as a shell script, for the relay bench to compare against: waits on inotify
# for update files (C + six digits + .txt) in FOLDER, takes them lowest number first, reads
# the URL from line 2, deletes the file and fetches the URL with one HTTP/1.0 GET, one update
# at a time. It forks only for inotifywait (once), rm and curl (once per update).
#   bench/relay-baseline.sh FOLDER
set -u
export LC_ALL=C  # globs sort bytewise, so six-digit names come out in number order
folder=${1:?usage: relay-baseline.sh FOLDER}
cd -- "$folder" || exit 1
shopt -s nullglob

# Delivers every update in the folder, and those that arrive meanwhile, then returns.
deliver_all() {
  local files file url
  while files=(C[0-9][0-9][0-9][0-9][0-9][0-9].txt); ((${#files[@]})); do
    for file in "${files[@]}"; do
      url=''
      { read -r _; IFS= read -r url; } <"$file"
      url=${url%$'\r'}
      rm -f -- "$file"
      [[ $url == http://* ]] && curl -s -o /dev/null --http1.0 -m 10 -- "$url"
    done
  done
}

# The watcher's messages come through the same pipe as its events, so files that arrive
# before "Watches established." are caught by the first deliver_all instead of being missed.
exec {events}< <(exec inotifywait -m -e moved_to,close_write --format '%f' . 2>&1)
watcher=$!
trap 'kill "$watcher" 2>/dev/null' EXIT
while IFS= read -r -u "$events" line && [[ $line != 'Watches established.' ]]; do :; done
deliver_all
while IFS= read -r -u "$events" name; do
  [[ $name == C[0-9][0-9][0-9][0-9][0-9][0-9].txt ]] || continue
  # Events for files taken by the last round are stale: skip what is already buffered.
  while read -r -t 0 -u "$events"; do IFS= read -r -u "$events" name || break; done
  deliver_all
done
