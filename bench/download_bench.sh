#!/usr/bin/env bash
# Downloads one large file from the local API server with TDownloader
# (bench/DownloadBench.cpp) and with `curl -o`, alternating, and writes
# throughput and peak memory of each to docs/benchmarks.md.
#   bench/download_bench.sh [size in MiB, default 1024] [rounds, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."

size_mib=${1:-1024}
rounds=${2:-3}

cmake --preset release >/dev/null
cmake --build build/release --target download_bench >/dev/null
bench=build/release/bench/download_bench

. bench/local_server.sh
truncate -s "${size_mib}M" "$work/root/files/big.bin"
start_local_server
token=$(curl -s "$base/token/" | python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])')

# "m:ss.ss" or "h:mm:ss" from GNU time -> seconds
to_seconds() { awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }'; }
field() { grep "$1" "$2" | sed 's/.*: //'; }

# Warm the server's page cache so neither tool pays for the first read.
curl -s -o /dev/null "$base/file/big.bin?token=$token"

results="$work/results"
: >"$results"
for round in $(seq "$rounds"); do
  for tool in orvane curl; do
    out="$work/out.bin"
    if [ "$tool" = orvane ]; then
      /usr/bin/time -v -o "$work/time" "$bench" "$base" "file/big.bin" "$out" >/dev/null
    else
      /usr/bin/time -v -o "$work/time" curl -s -o "$out" "$base/file/big.bin?token=$token"
    fi
    bytes=$(stat -c %s "$out")
    [ "$bytes" -eq $((size_mib * 1048576)) ] || { echo "short download by $tool: $bytes" >&2; exit 1; }
    secs=$(field "Elapsed (wall clock)" "$work/time" | to_seconds)
    rss=$(field "Maximum resident set size" "$work/time")
    echo "$round $tool $secs $rss" >>"$results"
    rm -f "$out"
    echo "round $round $tool: ${secs}s, peak RSS ${rss} KiB" >&2
  done
done

summary=$(awk -v mib="$size_mib" '
  { t[$2] += $3; n[$2]++; if ($4 > r[$2]) r[$2] = $4 }
  END {
    o = mib * n["orvane"] / t["orvane"]; c = mib * n["curl"] / t["curl"];
    printf "| TDownloader | %.0f MiB/s | %d KiB |\n", o, r["orvane"];
    printf "| curl -o | %.0f MiB/s | %d KiB |\n", c, r["curl"];
    printf "\nThroughput ratio TDownloader / curl: **%.2f**\n", o / c;
  }' "$results")

section="$work/section.md"
{
  echo "## Package download: TDownloader vs curl"
  echo
  echo "One ${size_mib} MiB file from the local API server (tools/api_server.py) on 127.0.0.1,"
  echo "written to disk; ${rounds} rounds after one warm-up, the two tools alternating. Release build;"
  echo "wall time and peak RSS from GNU time (TDownloader's figure includes the Qt runtime and its"
  echo "token request). Measured $(date -u '+%Y-%m-%d') on $(nproc) cores. The file streams to disk,"
  echo "so peak memory does not grow with the file size."
  echo
  echo "    bench/download_bench.sh ${size_mib} ${rounds}"
  echo
  echo "| Tool | Mean throughput | Peak RSS |"
  echo "|---|---|---|"
  echo "$summary"
  echo
  echo "Per run (round, tool, seconds, peak RSS in KiB):"
  echo
  sed 's/^/    /' "$results"
  echo
} >"$section"

# Replace this benchmark's section of docs/benchmarks.md, keeping the others.
bench/replace_section.py "$section" docs/benchmarks.md
echo "$summary"
