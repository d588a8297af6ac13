# Sourced by the benchmark scripts: a work folder removed at exit, and the local
# API server serving "$work/root" (config/ and files/) on a free port.
#   start_local_server [api_server.py options...]   sets server_pid and base
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root/config" "$work/root/files"

start_local_server() {
  python3 tools/api_server.py --root "$work/root" --port 0 "$@" >"$work/port" 2>"$work/server.log" &
  server_pid=$!
  for _ in $(seq 100); do grep -q '^PORT ' "$work/port" 2>/dev/null && break; sleep 0.1; done
  base="http://127.0.0.1:$(awk '/^PORT /{print $2}' "$work/port")"
}
