#!/usr/bin/env bash
# Replays one capture file through ravelin, tshark and tcpdump in the same run and prints
# throughput, wall time, the ratios between them, and ravelin's memory per listed packet
# beyond the payload bytes it copies.
#
# Usage: bench/replay.sh [FILE] [ROUNDS]
#   FILE    capture to replay (default bench/data/replay-1m.pcap, generated when missing)
#   ROUNDS  runs of each command, interleaved; the median is reported (default 3)
#
# The machine may be shared, so only ratios from one run of this script mean much.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
file=${1:-bench/data/replay-1m.pcap}
rounds=${2:-3}

for tool in tshark tcpdump python3; do
  command -v "$tool" >/dev/null || { echo "replay.sh: $tool is not installed" >&2; exit 1; }
done
# GNU time (Debian package "time") for the peak RSS; the shell keyword has no -v.
[ -x /usr/bin/time ] || { echo "replay.sh: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

echo "== build (release preset)" >&2
cmake --preset release >/dev/null
# Only the program: the benchmark's figures must not depend on whether the tests build.
cmake --build --preset release --target ravelin >/dev/null
ravelin=build/release/src/ravelin

if [ ! -f "$file" ] && [ "$file" = bench/data/replay-1m.pcap ]; then
  echo "== generating $file" >&2
  python3 bench/make_capture.py "$file" >&2
fi
[ -f "$file" ] || { echo "replay.sh: no such file: $file" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The baseline: the same program replaying a file of ten packets, i.e. everything that does not
# grow with the capture (code, libraries, thread stacks, the batch queue).
tiny=$work/tiny.pcap
python3 bench/make_capture.py "$tiny" --packets 10 >/dev/null

# Payload bytes the row store copies: TCP and UDP payloads. make_capture.py records them; for
# any other file, ravelin's own packet list says (data-length column of TCP and UDP rows).
if [ -f "$file.meta" ]; then
  payload_bytes=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["payload_bytes"])' "$file.meta")
else
  echo "== summing payload bytes from ravelin --print packets" >&2
  payload_bytes=$("$ravelin" --print packets --read "$file" |
    awk -F'\t' '$3 == "TCP" || $3 == "UDP" { sum += $8 } END { printf "%d\n", sum }')
fi

# Runs a command once; appends "wall_seconds peak_rss_kib" to $work/$name.runs and keeps its
# standard output in $work/$name.out.
measure() {
  local name=$1
  shift
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>>"$work/$name.err"
  end=$(date +%s%N)
  local rss
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/$name.time")
  echo "$(( (end - start) / 1000 )) $rss" | awk '{ printf "%.6f %d\n", $1 / 1e6, $2 }' >>"$work/$name.runs"
}

median() {  # median of a column of numbers on standard input
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "== warming the page cache" >&2
cat "$file" >/dev/null

measure baseline "$ravelin" --print summary --read "$tiny"
for ((round = 1; round <= rounds; ++round)); do
  echo "== round $round of $rounds" >&2
  measure ravelin "$ravelin" --print summary --read "$file"
  grep -o 'seconds=[0-9.]*' "$work/ravelin.out" | cut -d= -f2 >>"$work/ravelin.seconds"
  measure tshark tshark -r "$file" -T fields -e ip.src -e ip.dst -e tcp.srcport -e tcp.dstport
  measure tcpdump tcpdump -nn -r "$file"
  measure baseline "$ravelin" --print summary --read "$tiny"
done

packets=$(grep -o 'packets=[0-9]*' "$work/ravelin.out" | cut -d= -f2)
frames=$(wc -l <"$work/tcpdump.out")
pipeline_seconds=$(median <"$work/ravelin.seconds")
wall() { cut -d' ' -f1 "$work/$1.runs" | median; }
rss() { cut -d' ' -f2 "$work/$1.runs" | median; }
ravelin_wall=$(wall ravelin) tshark_wall=$(wall tshark) tcpdump_wall=$(wall tcpdump)
ravelin_rss=$(rss ravelin) tshark_rss=$(rss tshark) tcpdump_rss=$(rss tcpdump)
baseline_rss=$(rss baseline)

echo
echo "file: $file ($(du -h "$file" | cut -f1)), $frames frames, ravelin listed $packets packets," \
  "payload $payload_bytes bytes; median of $rounds"
awk -v n="$packets" -v frames="$frames" -v ps="$pipeline_seconds" \
    -v rw="$ravelin_wall" -v tw="$tshark_wall" -v dw="$tcpdump_wall" \
    -v rr="$ravelin_rss" -v tr="$tshark_rss" -v dr="$tcpdump_rss" -v br="$baseline_rss" \
    -v payload="$payload_bytes" 'BEGIN {
  printf "%-28s %14s %10s %12s %12s\n", "command", "packets/s", "wall s", "wall ratio", "peak RSS MiB"
  printf "%-28s %14.0f %10.3f %12s %12s\n", "ravelin pipeline (own s)", n / ps, ps, "", ""
  printf "%-28s %14.0f %10.3f %12s %12.1f\n", "ravelin --print summary", n / rw, rw, "1.00", rr / 1024
  printf "%-28s %14.0f %10.3f %11.2fx %12.1f\n", "tshark -T fields", frames / tw, tw, tw / rw, tr / 1024
  printf "%-28s %14.0f %10.3f %11.2fx %12.1f\n", "tcpdump -nn", frames / dw, dw, dw / rw, dr / 1024
  printf "wall ratio: the command'\''s wall time over ravelin'\''s (above 1: ravelin is faster)\n"
  beyond = (rr - br) * 1024 - payload
  printf "ravelin memory beyond payload: (%.1f MiB peak - %.1f MiB baseline - %.1f MiB payload) / %d = %.1f bytes per listed packet\n",
    rr / 1024, br / 1024, payload / 1048576, n, beyond / n
}'
