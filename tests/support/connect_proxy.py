#!/usr/bin/env python3
"""HTTP proxy for tests, on 127.0.0.1: CONNECT tunnels and absolute-form
requests, to loopback targets only. With --refuse it answers every request
"403 Forbidden"; with --ask-sign-in it answers every request "407 Proxy
Authentication Required", offering the schemes named (e.g. "Negotiate,NTLM" or
"Basic"), on a connection it keeps open. Each request line is appended to
--log as it arrives, with " [Proxy-Authorization: <scheme>]" when the request
carried one."""

import argparse
import select
import socket
import socketserver
import sys
import threading

LOOPBACK = ("127.0.0.1", "::1", "localhost")
MAX_HEAD = 64 * 1024
IDLE = 300  # seconds of silence after which a tunnel is given up


def split_host_port(text, default_port):
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else ""
    else:
        host, _, port = text.partition(":")
    return host, int(port) if port else default_port


def relay(a, b):
    sockets = [a, b]
    while True:
        readable, _, _ = select.select(sockets, [], [], IDLE)
        if not readable:
            return
        for s in readable:
            try:
                data = s.recv(65536)
            except OSError:
                return
            if not data:
                return
            try:
                (b if s is a else a).sendall(data)
            except OSError:
                return


class Handler(socketserver.BaseRequestHandler):
    def read_head(self, client, pending):
        head = pending
        while b"\r\n\r\n" not in head:
            block = client.recv(4096)
            if not block or len(head) > MAX_HEAD:
                return None, b""
            head += block
        head, _, rest = head.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        authorization = [h.split(":", 1)[1].strip().split(" ")[0] for h in lines[1:]
                         if h.split(":", 1)[0].strip().lower() == "proxy-authorization"]
        self.server.log(lines[0] + "".join(" [Proxy-Authorization: %s]" % a
                                           for a in authorization))
        return lines, rest

    def handle(self):
        client = self.request
        lines, rest = self.read_head(client, b"")
        while lines is not None and self.server.sign_in:
            # Any body of the request is ignored; the tests send none.
            challenge = "".join("Proxy-Authenticate: %s\r\n"
                                % (scheme + ' realm="orvane-test"'
                                   if scheme.lower() in ("basic", "digest") else scheme)
                                for scheme in self.server.sign_in)
            client.sendall(("HTTP/1.1 407 Proxy Authentication Required\r\n%s"
                            "Content-Length: 0\r\n\r\n" % challenge).encode("ascii"))
            lines, rest = self.read_head(client, rest)
        if lines is None:
            return
        try:
            method, target, version = lines[0].split(" ")
        except ValueError:
            self.refuse(client, "400 Bad Request")
            return
        if method == "CONNECT":
            host, port = split_host_port(target, 443)
        elif target.startswith("http://"):
            authority, slash, path = target[len("http://"):].partition("/")
            host, port = split_host_port(authority, 80)
            target = slash + path if slash else "/"
        else:
            self.refuse(client, "400 Bad Request")
            return
        if self.server.refuse or host not in LOOPBACK:
            self.refuse(client, "403 Forbidden")
            return
        try:
            upstream = socket.create_connection((host, port), timeout=10)
            upstream.settimeout(None)
        except OSError:
            self.refuse(client, "502 Bad Gateway")
            return
        with upstream:
            if method == "CONNECT":
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            else:
                # One request per connection keeps the relay a plain byte pipe.
                headers = [h for h in lines[1:]
                           if h.split(":", 1)[0].strip().lower()
                           not in ("connection", "proxy-connection", "keep-alive")]
                request = [" ".join((method, target, version))] + headers + ["Connection: close"]
                upstream.sendall(("\r\n".join(request) + "\r\n\r\n").encode("latin-1"))
            if rest:
                upstream.sendall(rest)
            relay(client, upstream)

    @staticmethod
    def refuse(client, status):
        client.sendall(("HTTP/1.1 %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                        % status).encode("ascii"))


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def log(self, line):
        with self.log_lock:
            with open(self.log_path, "a", encoding="latin-1") as f:
                f.write(line + "\n")

    def handle_error(self, request, client_address):
        pass  # a client that goes away mid-tunnel is normal here


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--log", required=True, help="file of request lines")
    parser.add_argument("--refuse", action="store_true", help="answer 403 to everything")
    parser.add_argument("--ask-sign-in", default="",
                        help="answer 407 to everything, offering these schemes (comma-separated)")
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.refuse = args.refuse
    server.sign_in = [scheme for scheme in args.ask_sign_in.split(",") if scheme]
    server.log_path = args.log
    server.log_lock = threading.Lock()
    open(args.log, "w").close()
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
