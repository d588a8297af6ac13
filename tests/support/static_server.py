#!/usr/bin/env python3
"""A plain static file server for the mirror tests: the standard library's
http.server, as "python3 -m http.server" runs it (no Range support, no sign-in),
on 127.0.0.1 only. Serves --root; the first line on standard output is
"PORT <n>"."""

import argparse
import functools
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    args = parser.parse_args()
    handler = functools.partial(SimpleHTTPRequestHandler, directory=args.root)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
