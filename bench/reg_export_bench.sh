#!/usr/bin/env bash
# Times reading a key of many values through the Win32 registry store under
# Wine: `orvane-reg export` (the store's value listing, as a backup reads it)
# against Wine's own `reg export` of the same key, for a few key sizes. Prints
# the fastest of N runs of each (wall time, and for orvane-reg also the CPU
# time of its own process, which a busy machine disturbs less); the first row
# (an empty key) is the start-up.
#   bench/reg_export_bench.sh [runs, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
cmake --preset windows >/dev/null
cmake --build build/windows --target orvane-reg >/dev/null
tool=build/windows/tools/orvane-reg/orvane-reg.exe
export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$wine" wineboot </dev/null >/dev/null 2>&1 || true

fastest() { # command... ; prints "wall cpu", each the least of $runs runs
  local wall="" cpu=""
  for _ in $(seq "$runs"); do
    /usr/bin/time -o "$work/time" -f '%e %U %S' "$@" >/dev/null 2>&1
    read -r w u s <"$work/time"
    local c; c=$(echo "$u + $s" | bc)
    if [ -z "$wall" ] || [ "$(echo "$w < $wall" | bc)" = 1 ]; then wall=$w; fi
    if [ -z "$cpu" ] || [ "$(echo "$c < $cpu" | bc)" = 1 ]; then cpu=$c; fi
  done
  printf '%.2f %.2f' "$wall" "$cpu"
}

echo "| Values | orvane-reg export: wall s | its CPU s | reg export: wall s |"
echo "|---|---|---|---|"
for n in 0 1000 4000 16000; do
  key="HKEY_CURRENT_USER\\Software\\OrvaneBench\\K$n"
  python3 - "$n" "$work/k$n.reg" <<'PY'
import sys
n, out = int(sys.argv[1]), sys.argv[2]
lines = ["Windows Registry Editor Version 5.00", "", f"[HKEY_CURRENT_USER\\Software\\OrvaneBench\\K{n}]"]
lines += [f'"$(BDS)\\\\bin\\\\package{i:05d}.bpl"="Package number {i}"' for i in range(n)]
open(out, "w", encoding="utf-8").write("\r\n".join(lines) + "\r\n")
PY
  "$wine" "$tool" import "Z:$work/k$n.reg"
  read -r ours_wall ours_cpu <<<"$(fastest "$wine" "$tool" export "$key" "Z:$work/ours$n.reg")"
  read -r theirs_wall _ <<<"$(fastest "$wine" reg export "$key" "Z:$work/theirs$n.reg" /y)"
  echo "| $n | $ours_wall | $ours_cpu | $theirs_wall |"
done
"$wine" reg delete 'HKEY_CURRENT_USER\Software\OrvaneBench' /f >/dev/null 2>&1 || true
