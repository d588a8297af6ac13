#!/usr/bin/env bash
# Installs three versions from the local API server, paced like a real download
# (bench/InstallOverlapBench.cpp), with the next package downloading while a
# version installs and without, against the downloads alone and the
# installations alone; writes the figures to docs/benchmarks.md.
#   bench/install_overlap_bench.sh [MiB per package, default 100]
#                                  [ms per 16 KiB block, default 1] [rounds, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-100}
pace=${2:-1}
rounds=${3:-3}
files=1500

cmake --preset release >/dev/null
cmake --build build/release --target bench_install_overlap bench_zip_extract >/dev/null
bench=build/release/bench/bench_install_overlap

. bench/local_server.sh
packages=()
for i in 1 2 3; do
  build/release/bench/bench_zip_extract generate "$work/root/files/orvane_$i.zip" "$mib" "$files"
  packages+=("orvane_$i.zip")
done
zip_mib=$(du -m "$work/root/files/orvane_1.zip" | cut -f1)
start_local_server --slow-files "$pace"

"$bench" "$base" "$work/run" "${packages[@]}" -- "$rounds" | tee "$work/results" >&2

summary=$(awk '
  function median(kind,   n, i, j, t, v) {
    n = count[kind]
    for (i = 1; i <= n; i++) v[i] = value[kind, i]
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  { value[$2, ++count[$2]] = $3 }
  END {
    d = median("download"); e = median("extract"); s = median("sequential"); o = median("overlapped")
    longer = d > e ? d : e
    printf "| Downloads alone (3 packages) | %.2f s |\n", d
    printf "| Extractions, copies and registry alone | %.2f s |\n", e
    printf "| Installation, next package downloaded ahead | %.2f s |\n", o
    printf "| Installation, each package downloaded at its turn | %.2f s |\n", s
    printf "\nOverlapped / longer of the two: **%.2fx** (goal: at most 1.15x); overlapped / their sum: **%.2fx**; downloading at each turn / their sum: %.2fx.\n", o / longer, o / (d + e), s / (d + e)
  }' "$work/results")

section="$work/section.md"
{
  echo "## Installing three versions: download overlapped with installation"
  echo
  echo "Three packages of ${mib} MiB in ${files} files each (${zip_mib} MiB zipped, made by"
  echo "\`bench_zip_extract generate\`) from the local API server on 127.0.0.1, paced like a real"
  echo "download (\`--slow-files ${pace}\`: ${pace} ms after every 16 KiB block), each installed into"
  echo "an IDE version of a fresh sandbox (SQLite registry store) by the engine. Per round, in one"
  echo "run: the three downloads alone through TDownloader, the installation with every package"
  echo "already downloaded (extraction, copies and registry alone), and the installation with and"
  echo "without the next package downloading ahead (which of the two goes first alternates)."
  echo "Medians of ${rounds} rounds; release build; measured $(date -u '+%Y-%m-%d') on $(nproc) cores"
  echo "shared with other builds."
  echo
  echo "    bench/install_overlap_bench.sh ${mib} ${pace} ${rounds}"
  echo
  echo "| Measurement | Median |"
  echo "|---|---|"
  echo "$summary"
  echo
  echo "The first download and the last installation have nothing to overlap with, so with"
  echo "downloads D and installations E per version the best an overlap of one version ahead"
  echo "reaches is D + 2 max(D, E) + E; the ratio to the longer of 3D and 3E is 4/3 when the two"
  echo "are equal and falls towards 1 as one dominates."
  echo
  echo "Per run (round, measurement, seconds):"
  echo
  sed 's/^/    /' "$work/results"
  echo
} >"$section"

# Replace this benchmark's section of docs/benchmarks.md, keeping the others.
bench/replace_section.py "$section" docs/benchmarks.md
echo "$summary"
