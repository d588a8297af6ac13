#!/usr/bin/env bash
# The local API server for the demo: sample packages generated into a folder,
# served on 127.0.0.1 with the demo account. Prints "PORT <n>" first.
#   tools/demo_server.sh [folder, default: a new temp folder] [port, default 8765]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=${1:-$(mktemp -d)}
port=${2:-8765}
# Packages of some size, sent at a pace a person can watch (about 4 MiB/s).
python3 "$here/make_sample_packages.py" --out "$root" --docs-mb 24
exec python3 "$here/api_server.py" --root "$root" --port "$port" \
  --accounts "$here/demo_accounts.json" --slow-files 4
