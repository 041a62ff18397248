#!/usr/bin/env bash
# Builds Relaybox with its tests and benchmarks, runs every benchmark in bench/ and writes
# build/bench/RESULTS.md: the machine, then per area each figure next to its baseline from the
# same run, its target and whether it was met. A bench that fails fails the run (exit 1), and
# the figures it did not measure show as failed. Copy the report to bench/RESULTS.md to keep it. Takes about 16 minutes, 8 of them for the relay
# bench's 2000-update queues (two programs, filled side by side at 5 files per second each).
# The relay bench writes a 1 GiB update file under /tmp for a moment.
#   scripts/bench.sh [--soak]   also runs the soak test's quick run (about 5 more minutes)
#   scripts/bench.sh [--full]   also runs the full soak test instead
set -euo pipefail
cd "$(dirname "$0")/.."

soak=
for arg; do
  case $arg in
    --soak) [ "$soak" = full ] || soak=quick ;;
    --full) soak=full ;;
    *) echo "usage: scripts/bench.sh [--soak] [--full]" >&2; exit 2 ;;
  esac
done

. scripts/packages.sh
install_missing "${relaybox_test_packages[@]}"
RELAYBOX_BUILD_ALL=1 scripts/setup.sh
bin=${RELAYBOX_BUILD_DIR:-build}/bench
# Each run writes its report here; bench/RESULTS.md is the copy kept in the tree, updated on
# purpose.
report=$bin/RESULTS.md
logs=$(mktemp -d /tmp/relaybox-bench-logs-XXXXXX)
trap 'rm -rf "$logs"' EXIT
started=$(date +%s)

# run NAME COMMAND...: shows the output as it comes and keeps it, with the exit status and the
# seconds taken, in $logs. A failing bench does not stop the others.
run() {
  local name=$1
  shift
  echo "== $name: $*"
  local start=$SECONDS
  { status=0; "$@" 2>&1 || status=$?; echo "$status" >"$logs/$name.status"; } | tee "$logs/$name.log"
  echo $((SECONDS - start)) >"$logs/$name.seconds"
  printf '%s\t%s\n' "$name" "$*" >>"$logs/runs"
}

run socket "$bin/relaybox_socket_bench"
run fetch "$bin/relaybox_fetch_bench" --rounds 5
run tls "$bin/relaybox_tls_bench"
run relay "$bin/relaybox_relay_bench"
run baseline "$bin/relaybox_relay_bench" --baseline
case $soak in
  quick) run soak "$bin/soak" --quick ;;
  full) run soak "$bin/soak" ;;
esac

# Area, name and label of each relay figure, in table order.
cat >"$logs/figures" <<'EOF'
Latency and throughput	latency_median	End-to-end latency, median
Latency and throughput	latency_p90	End-to-end latency, 90th percentile
Latency and throughput	latency_max	End-to-end latency, maximum
Latency and throughput	burst_rate	Sustained throughput (burst of 300)
Latency and throughput	cpu_per_delivery	CPU per delivery (burst of 300, headless)
Latency and throughput	cpu_per_delivery_window	CPU per delivery with the window shown (offscreen, burst of 300)
Latency and throughput	cpu_per_delivery_5000_waiting	CPU per delivery with 5,000 files waiting
Latency and throughput	backlog_cpu_vs_empty	That, against the burst's figure
Latency and throughput	first_delivery_after_start	Time from start to the first delivery (median of 3)
Idle and waiting	idle_cpu	CPU when idle (share of one core)
Idle and waiting	idle_cpu_100000_unrelated	CPU when idle with 100,000 unrelated files in the folder
Idle and waiting	silent_abort_after	Unanswered delivery given up after
Idle and waiting	silent_cpu	CPU while a delivery waits unanswered
Idle and waiting	flood_delivery_max	Longest delivery whose reply never ends (body flood, one-byte chunks, trickle), seen from the server
Memory	rss_idle	Resident memory at start
Memory	rss_2000_queued	Resident memory with 2000 updates of 1 KB queued
Memory	rss_peak	Peak resident memory by then
Memory	boundrss_2000_queued	Resident memory with 2000 updates queued whose two lines are at the 16,384-character bound (second program)
Memory	boundrss_peak	Peak resident memory of that program
Oversized and odd update files	bigline_cpu	CPU to take a 1 GiB update file whose site line runs for 60 MiB
Oversized and odd update files	bigline_peak_above_idle	Peak resident memory above idle while taking it
Oversized and odd update files	bigline_rss_settle	Time until resident memory is back within 4 MB of idle
Oversized and odd update files	oddfiles_idle_cpu	CPU with a FIFO and a link to /dev/zero named like updates (share of one core)
Oversized and odd update files	oddfiles_rss_above_idle	Resident memory above idle after 10 s with them
Scanning with 10,000 files waiting	scan_tick_filling	CPU per scan tick, queue filling
Scanning with 10,000 files waiting	scan_tick_full	CPU per scan tick, queue full (5 ticks/s)
Scanning with 10,000 files waiting	scan_tick_draining	CPU per tick while draining, deliveries included (5 ticks/s)
Scanning with 10,000 files waiting	scan_rate_10000_waiting	Throughput with 10,000 files waiting
Scanning with 10,000 files waiting	scan_tick_100000_waiting	CPU per scan tick with 100,000 files waiting, queue filling
EOF

# Rows "area<TAB>label<TAB>value<TAB>baseline<TAB>target<TAB>met" from "figure:" lines, which
# read "figure: NAME = VALUE UNIT (target OP NUMBER)" or "(target none)".
relay_rows() {
  awk -F'\t' -v failed="$([ "$(cat "$logs/relay.status")" = 0 ] || echo 1)" '
    function parse(line, into, targets,   f, name) {
      split(line, f, " ")
      name = f[2]
      into[name] = f[4] " " f[5]
      number[name] = f[4]
      unit[name] = f[5]
      sub(/^.*\(target /, "", line); sub(/\)$/, "", line)
      if (targets) target[name] = line
    }
    FILENAME == ARGV[1] { area[NR] = $1; name[NR] = $2; label[NR] = $3; n = NR; next }
    FILENAME == ARGV[2] && /^figure: / { parse($0, program, 1); next }
    FILENAME == ARGV[3] && /^figure: / { parse($0, base, 0); next }
    END {
      for (i = 1; i <= n; i++) {
        k = name[i]
        if (!(k in program) && !(k in base) && !failed) continue
        t = (k in target) ? target[k] : "none"
        shown = (t == "none") ? "—" : t " " unit[k]
        met = "—"
        if (k in program && t != "none") {
          split(t, c, " "); v = number[k] + 0; lim = c[2] + 0
          ok = (c[1] == "<" && v < lim) || (c[1] == "<=" && v <= lim) || (c[1] == ">" && v > lim) || (c[1] == ">=" && v >= lim)
          met = ok ? "met" : "**not met**"
        }
        if (!(k in program) && failed) met = "**failed**"
        printf "%s\t%s\t%s\t%s\t%s\t%s\n", area[i], label[i], (k in program) ? program[k] : "(not measured)",
               (k in base) ? base[k] : "—", shown, met
      }
    }' "$logs/figures" "$logs/relay.log" "$logs/baseline.log"
}

# The socket and fetch benches print their own summary lines; their baselines are a plain
# recv loop and curl.
network_rows() {
  awk '
    /^plain blocking recv loop/ { plain = $(NF-1) " MB/s" }
    /^socket receive/ { value = $4 " MB/s"; pct = $6; sub(/^\(/, "", pct); sub(/%$/, "", pct)
                        receive = value; receiveMet = (pct + 0 >= 50) ? "met" : "**not met**" }
    /^socket send/ { send = $(NF-1) " MB/s" }
    /^idle connected socket/ { idle = $5 " s over 10 s" }
    /^relaybox-fetch .* ratio/ { fetch = $2 " MB/s"; curl = $5 " MB/s"; ratio = $8 + 0
                                 fetchMet = (ratio >= 0.8) ? "met" : "**not met**" }
    END {
      area = "Network (socket and HTTP client)"
      if (receive) printf "%s\tSocket receive over loopback\t%s\t%s (plain recv loop)\t>= 50%% of baseline\t%s\n", area, receive, plain, receiveMet
      if (send) printf "%s\tSocket send over loopback\t%s\t—\t—\t—\n", area, send
      if (idle) printf "%s\tCPU of an idle connected socket\t%s\t—\t—\t—\n", area, idle
      if (fetch) printf "%s\trelaybox-fetch, 200 MiB body, best of 5\t%s\t%s (curl)\t>= 0.80 × baseline\t%s\n", area, fetch, curl, fetchMet
    }' "$logs/socket.log" "$logs/fetch.log"
}

# The TLS bench's "figure:" lines: CPU per https delivery with a full handshake and resumed.
tls_rows() {
  awk '/^figure: tls\./ {
         name = $2; sub(/^tls\./, "", name); sub(/_cpu_per_delivery$/, "", name)
         what = "User and system CPU"
         if (name ~ /_user$/) { what = "User CPU"; sub(/_user$/, "", name) }
         kind = "full handshake (TLS 1.3)"
         if (name == "resumed") kind = "resumed session (TLS 1.3)"
         if (name == "resumed12") kind = "resumed session (TLS 1.2)"
         printf "HTTPS\t%s per https delivery, %s\t%s %s\t—\t—\t—\n", what, kind, $4, $5
       }' "$logs/tls.log"
}

# The soak test's "figure:" lines, when it ran and printed any.
soak_rows() {
  [ -f "$logs/soak.log" ] || return 0
  awk '/^figure: / {
         line = $0; sub(/^.*\(target /, "", line); sub(/\)$/, "", line)
         printf "Soak\t%s\t%s %s\t—\t%s\t—\n", $2, $4, $5, (line == "none") ? "—" : line
       }' "$logs/soak.log"
}

# Markdown tables, one per area, in the order the areas first appear.
tables() {
  awk -F'\t' '
    $1 != area { area = $1; printf "\n## %s\n\n| Figure | Relaybox | Baseline | Target | |\n| --- | --- | --- | --- | --- |\n", area }
    { printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }'
}

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
ram=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
distro=$(. /etc/os-release && echo "$PRETTY_NAME")
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -z "$(git status --porcelain 2>/dev/null)" ] || commit="$commit with local changes"

{
  echo "# Benchmark results"
  echo
  echo "Written by \`scripts/bench.sh${1:+ $*}\` on $(date -u '+%Y-%m-%d %H:%M UTC') in $(( ($(date +%s) - started + 30) / 60 )) min, at $commit."
  echo
  echo "Machine: $cpu, $(nproc) cores, $ram RAM, Linux $(uname -r), $distro."
  echo
  echo "The relay's baseline is \`bench/relay-baseline.sh\`: inotifywait, then curl for each update, one at a"
  echo "time. Its CPU counts the script and every process it started. Figures are from a single run on"
  echo "a machine that may be running other work, so they vary from run to run."
  echo
  echo "| Bench | Command | Exit status | Seconds |"
  echo "| --- | --- | --- | --- |"
  while IFS=$'\t' read -r name command; do
    echo "| $name | \`$command\` | $(cat "$logs/$name.status") | $(cat "$logs/$name.seconds") |"
  done <"$logs/runs"
  { relay_rows; network_rows; tls_rows; soak_rows; } | tables
  echo
  echo "## Output"
  while IFS=$'\t' read -r name command; do
    echo
    echo "\`$command\`"
    echo
    echo '```'
    tail -n 60 "$logs/$name.log"
    echo '```'
  done <"$logs/runs"
} >"$report"
echo "wrote $report"

# A bench that failed fails the run, whatever its figures said.
failed=$(while IFS=$'\t' read -r name command; do
  [ "$(cat "$logs/$name.status")" = 0 ] || printf ' %s' "$name"
done <"$logs/runs")
if [ -n "$failed" ]; then
  echo "failed:$failed" >&2
  exit 1
fi
