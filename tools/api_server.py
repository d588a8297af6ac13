#!/usr/bin/env python3
"""Local API server for tests and the demo: tokens, configuration documents and
package files served from a folder, on 127.0.0.1 only.

Folder layout (see make_sample_packages.py):
  <root>/config/dev.json, <root>/config/com.json   configuration per edition
  <root>/files/<name>                              package files, under /file/<name>

Faults for tests are set through /control/ (see ControlRequest)."""

import argparse
import hashlib
import json
import os
import secrets
import socket
import ssl
import sys
import threading
import time
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

FAULT_KINDS = ("status", "redirect", "nonjson", "nonobject", "truncated", "slow", "drop",
               "nolength", "stall", "accept-silent", "late", "burst", "lf-status", "switch",
               "redirect-body", "endless", "huge", "trickle", "chunked", "chunked-cut", "length",
               "norange", "newvalidator", "half", "hold", "last", "ignoreifrange", "part206")
# Answers written byte by byte, the way no well-behaved server writes them.
RAW_KINDS = ("lf-status", "switch", "redirect-body")
# What a raw answer carries: taken for success, it would pass as a token.
STOLEN = b'{"token": "stolen"}'

# Upper bound of a silence, so a forgotten client never keeps a thread for ever.
MAX_HOLD = 300.0
CHUNK = 256 * 1024


class State:
    def __init__(self, root, accounts):
        self.root = os.path.abspath(root)
        self.accounts = accounts  # user -> MD5 text of the password
        self.tokens = {}  # token -> edition word
        self.faults = []  # dicts: kind, prefix, count (-1 endless), code, delay
        self.requests = []  # raw request targets, in arrival order
        # per package-file answer: target, Range and If-Range asked, status, body bytes sent
        self.transfers = []
        self.lock = threading.Lock()
        # Lets the requests a "hold" fault keeps go on (/control/release).
        self.released = threading.Event()

    def issue_token(self, mode):
        token = secrets.token_hex(16)
        with self.lock:
            self.tokens[token] = mode
        return token

    def token_mode(self, token):
        with self.lock:
            return self.tokens.get(token)

    def take_fault(self, path):
        with self.lock:
            for fault in self.faults:
                if path.startswith(fault["prefix"]) and fault["count"] != 0:
                    if fault["skip"] > 0:
                        fault["skip"] -= 1
                        continue
                    if fault["count"] > 0:
                        fault["count"] -= 1
                    return dict(fault)
        return None


def load_accounts(path):
    if not path:
        return {}
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    result = {}
    for account in data.get("accounts", []):
        if "password_md5" in account:
            digest = account["password_md5"].lower()
        else:
            digest = hashlib.md5(account["password"].encode("utf-8")).hexdigest()
        result[account["user"]] = digest
    return result


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OrvaneLocalApi/1.0"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("api_server: " + (fmt % args) + "\n")

    @property
    def state(self):
        return self.server.state

    def do_GET(self):
        parts = urlsplit(self.path)
        query = parse_qs(parts.query, keep_blank_values=True)
        if parts.path.startswith("/control/"):
            self.control_request(parts.path, query)
            return
        with self.state.lock:
            self.state.requests.append(self.path)
        fault = self.state.take_fault(self.path)
        if fault and fault["kind"] == "drop":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if fault and fault["kind"] == "accept-silent":
            # The request was read; no status line ever comes.
            self.hold_silence(fault["hold"])
            return
        if fault and fault["kind"] == "stall":
            # A normal start of an answer, then nothing.
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            self.wfile.flush()
            self.hold_silence(fault["hold"])
            return
        if fault and fault["kind"] == "status":
            self.send_json(fault["code"], {"error": "fault injected"})
            return
        if fault and fault["kind"] == "hold":
            # Kept until the test lets it go, then answered as usual; a hold
            # that runs out answers with the fault's status.
            if not self.state.released.wait(min(fault["hold"], MAX_HOLD)):
                self.send_json(fault["code"], {"error": "fault injected: never released"})
                return
            fault = None
        if fault and fault["kind"] in RAW_KINDS:
            self.send_raw(fault)
            return
        if fault and fault["kind"] in ("endless", "huge"):
            self.send_padding(fault)
            return
        if fault and fault["kind"] == "late":
            # The status answer, after a delay: a failure that arrives late.
            time.sleep(fault["delay"])
            self.send_json(fault["code"], {"error": "fault injected"})
            return
        if fault and fault["kind"] == "redirect":
            self.send_response(302)
            self.send_header("Location", "/elsewhere/")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if fault and fault["kind"] == "nonjson":
            self.send_body(200, b"<html><body>Service unavailable</body></html>", "text/html")
            return
        if fault and fault["kind"] == "nonobject":
            self.send_body(200, b"[1, 2, 3]", "application/json")
            return

        last = fault and fault["kind"] == "last"
        if last:
            fault = None
        if parts.path == "/token/":
            self.token_request(query)
        elif parts.path == "/cfg/":
            self.configuration_request(query, fault)
        elif parts.path.startswith("/file/"):
            self.file_request(parts.path[len("/file/"):], query, fault)
        else:
            self.send_json(404, {"error": "not found"})
        if last:
            # The server goes away after this answer: later connections are
            # refused, as by a machine where nothing listens any more.
            self.wfile.flush()
            # Shut down first: serve_forever's poll holds the socket open
            # until it wakes, and connections meanwhile would be reset.
            try:
                self.server.socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.server.socket.close()
            threading.Thread(target=self.server.shutdown, daemon=True).start()

    def hold_silence(self, seconds):
        """Sends nothing for the given time (or until the client leaves), then
        ends the connection."""
        self.close_connection = True
        deadline = time.monotonic() + min(seconds, MAX_HOLD)
        self.connection.settimeout(0.1)
        while time.monotonic() < deadline:
            try:
                if not self.connection.recv(4096):
                    break  # the client closed its end
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError:
                break
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def token_request(self, query):
        if "user" not in query and "pwd" not in query:
            self.send_json(200, {"token": self.state.issue_token("dev")})
            return
        user = query.get("user", [""])[0]
        pwd = query.get("pwd", [""])[0].lower()
        expected = self.state.accounts.get(user)
        if expected is None or not secrets.compare_digest(expected, pwd):
            self.send_json(401, {"error": "invalid user name or password"})
            return
        self.send_json(200, {"token": self.state.issue_token("com")})

    def configuration_request(self, query, fault):
        mode = query.get("mode", [""])[0]
        token = query.get("token", [""])[0]
        if mode not in ("dev", "com"):
            self.send_json(400, {"error": "unknown mode"})
            return
        if self.state.token_mode(token) != mode:
            self.send_json(403, {"error": "invalid token"})
            return
        path = os.path.join(self.state.root, "config", mode + ".json")
        if not os.path.isfile(path):
            self.send_json(404, {"error": "no configuration"})
            return
        self.send_file(path, "application/json", fault)

    def file_request(self, name, query, fault):
        token = query.get("token", [""])[0]
        if self.state.token_mode(token) is None:
            self.send_json(403, {"error": "invalid token"})
            return
        if not name or "/" in name or "\\" in name or name.startswith("."):
            self.send_json(404, {"error": "not found"})
            return
        path = os.path.join(self.state.root, "files", name)
        if not os.path.isfile(path):
            self.send_json(404, {"error": "not found"})
            return
        self.send_file(path, "application/zip", fault)

    def control_request(self, path, query):
        """/control/fault?kind=&prefix=&count=&code=&delay=&hold=&size=&length=  set a fault
           (delay: ms between blocks of "slow" and pieces of "trickle"; hold: ms
           of silence of "stall", "accept-silent" and "burst", default 60000, at
           most MAX_HOLD, and the longest "hold" waits for its release (then: code); size: bytes
           of a "huge" answer, bytes sent at once by "trickle"; length: the
           Content-Length text of "length"; skip: matching requests let through
           before the fault applies)
        /control/release                                   answer the requests "hold" keeps
        /control/clear                                     remove all faults
        /control/requests                                  request targets seen
        /control/transfers                                 file answers: target, range,
                                                           if_range, status, sent bytes"""
        if path == "/control/fault":
            kind = query.get("kind", [""])[0]
            if kind not in FAULT_KINDS:
                self.send_json(400, {"error": "unknown fault kind"})
                return
            fault = {
                "kind": kind,
                "prefix": query.get("prefix", ["/"])[0],
                "count": int(query.get("count", ["-1"])[0]),
                "code": int(query.get("code", ["500"])[0]),
                "delay": int(query.get("delay", ["50"])[0]) / 1000.0,
                "hold": int(query.get("hold", ["60000"])[0]) / 1000.0,
                "size": int(query.get("size", ["0"])[0]),
                "length": query.get("length", [""])[0],
                "skip": int(query.get("skip", ["0"])[0]),
            }
            with self.state.lock:
                self.state.faults.append(fault)
            self.send_json(200, {"ok": True})
        elif path == "/control/release":
            self.state.released.set()
            self.send_json(200, {"ok": True})
        elif path == "/control/clear":
            with self.state.lock:
                self.state.released.set()
                self.state.released = threading.Event()
                self.state.faults.clear()
                self.state.requests.clear()
                self.state.transfers.clear()
            self.send_json(200, {"ok": True})
        elif path == "/control/requests":
            with self.state.lock:
                requests = list(self.state.requests)
            self.send_json(200, {"requests": requests})
        elif path == "/control/transfers":
            with self.state.lock:
                transfers = [dict(t) for t in self.state.transfers]
            self.send_json(200, {"transfers": transfers})
        else:
            self.send_json(404, {"error": "not found"})

    def send_raw(self, fault):
        """lf-status: the fault's status (404 unless given) with status and
        header lines ended by LF alone; switch: an unasked-for "101 Switching
        Protocols", then the body; redirect-body: a 302 with LF endings and a
        body. Each body is STOLEN, and the connection ends after it."""
        kind = fault["kind"]
        if kind == "switch":
            head = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n"
        elif kind == "redirect-body":
            head = (b"HTTP/1.1 302 Found\nLocation: /elsewhere/\nContent-Type: application/json\n"
                    b"Content-Length: %d\n\n" % len(STOLEN))
        else:
            code = fault["code"] if fault["code"] != 500 else 404
            head = (b"HTTP/1.1 %d Fault\nContent-Type: application/json\nContent-Length: %d\n\n"
                    % (code, len(STOLEN)))
        self.close_connection = True
        self.wfile.write(head + STOLEN)
        self.wfile.flush()
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def send_padding(self, fault):
        """A 200 answer that does not end: "endless" with no announced length,
        "huge" announcing "size" bytes. The body is a JSON document opened with
        STOLEN's member and padded with blanks, so a reader that takes it
        whole holds it all in memory. Sent until the client leaves or, for
        "huge", the size is reached."""
        size = fault["size"]
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        if fault["kind"] == "huge":
            self.send_header("Content-Length", str(size))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        start = b'{"token": "stolen", "padding": "'
        block = b" " * CHUNK
        sent = 0
        try:
            self.wfile.write(start)
            sent = len(start)
            while fault["kind"] == "endless" or sent < size:
                piece = block if fault["kind"] == "endless" else block[:min(CHUNK, size - sent)]
                self.wfile.write(piece)
                sent += len(piece)
        except OSError:
            pass

    def send_json(self, code, value):
        self.send_body(code, json.dumps(value).encode("utf-8"), "application/json")

    def send_body(self, code, body, content_type):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def validators(self, path, fault):
        """ETag and Last-Modified of a file; "newvalidator" gives ones no client
        has seen, as if the file had just been replaced."""
        info = os.stat(path)
        etag = '"%x-%x"' % (info.st_size, info.st_mtime_ns)
        modified = formatdate(info.st_mtime, usegmt=True)
        if fault and fault["kind"] == "newvalidator":
            etag = '"%x-%s"' % (info.st_size, secrets.token_hex(4))
            modified = formatdate(time.time() + 1, usegmt=True)
        return etag, modified

    def requested_range(self, size, etag, modified, fault):
        """The first byte asked for by "Range: bytes=N-" (or N-M, served to the
        end), when If-Range (if sent) still names this file; else None. "norange"
        ignores Range as a server without range support does."""
        header = self.headers.get("Range", "")
        if not header.startswith("bytes=") or (fault and fault["kind"] == "norange"):
            return None
        if_range = self.headers.get("If-Range")
        ignores_if_range = fault and fault["kind"] == "ignoreifrange"
        if if_range is not None and if_range not in (etag, modified) and not ignores_if_range:
            return None
        first = header[len("bytes="):].split("-", 1)[0].strip()
        if not first.isdigit():
            return None
        return int(first)

    def send_file(self, path, content_type, fault):
        size = os.path.getsize(path)
        if fault and fault["kind"] in ("chunked", "chunked-cut"):
            self.send_chunked(path, content_type, fault["kind"] == "chunked-cut")
            return
        etag, modified = self.validators(path, fault)
        start = self.requested_range(size, etag, modified, fault)
        record = {"target": self.path, "range": self.headers.get("Range", ""),
                  "if_range": self.headers.get("If-Range", ""), "status": 200, "sent": 0}
        with self.state.lock:
            self.state.transfers.append(record)
        if start is not None and start >= size:
            record["status"] = 416
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        length = size - (start or 0)
        end = size - 1
        if start is None and fault and fault["kind"] == "part206":
            # A part nobody asked for, with its Content-Range: half the file.
            start, end = 0, size // 2 - 1
            length = size // 2
        if start is not None:
            record["status"] = 206
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        else:
            self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        if fault and fault["kind"] == "length":
            # A length as the fault writes it, whatever the body: the end of the
            # connection ends what is sent.
            self.send_header("Content-Length", fault["length"])
            self.send_header("Connection", "close")
            self.close_connection = True
        elif fault and fault["kind"] == "nolength":
            # No announced length: the end of the connection ends the body.
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()

        def write(data):
            self.wfile.write(data)
            with self.state.lock:
                record["sent"] += len(data)

        with open(path, "rb") as f:
            f.seek(start or 0)
            if fault and fault["kind"] in ("truncated", "half"):
                # truncated: half of this answer's body; half: the body up to
                # the middle of the file, when the answer reaches past it. Then
                # the connection ends.
                cut = length // 2 if fault["kind"] == "truncated" else size // 2 - (start or 0)
                if 0 < cut < length:
                    write(f.read(cut))
                    self.wfile.flush()
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
            if fault and fault["kind"] == "burst":
                # Half the body at once, then silence until the connection ends.
                write(f.read(length // 2))
                self.wfile.flush()
                self.hold_silence(fault["hold"])
                return
            if fault and fault["kind"] == "trickle":
                # "size" bytes at once, then the rest 256 bytes at a time.
                write(f.read(fault["size"]))
                self.wfile.flush()
                while True:
                    piece = f.read(256)
                    if not piece:
                        break
                    time.sleep(fault["delay"])
                    write(piece)
                    self.wfile.flush()
                return
            if fault and fault["kind"] == "length":
                write(f.read())
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            if fault and fault["kind"] == "slow":
                while True:
                    block = f.read(16 * 1024)
                    if not block:
                        break
                    write(block)
                    self.wfile.flush()
                    time.sleep(fault["delay"])
                return
            remaining = length
            while remaining > 0:
                block = f.read(min(CHUNK, remaining))
                if not block:
                    break
                write(block)
                remaining -= len(block)

    def send_chunked(self, path, content_type, cut):
        """The file in 16 KiB chunks and the terminating chunk; cut: only the
        chunks of its first half, then the connection closes at a chunk
        boundary."""
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        with open(path, "rb") as f:
            data = f.read()
        if cut:
            data = data[:len(data) // 2]
        for start in range(0, len(data), 16 * 1024):
            block = data[start:start + 16 * 1024]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(block), block))
        if cut:
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.wfile.write(b"0\r\n\r\n")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that goes away mid-answer is normal here (cancelled downloads).
        if self.verbose:
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder with config/ and files/")
    parser.add_argument("--port", type=int, default=8765, help="0 picks a free port")
    parser.add_argument("--accounts", help="JSON file of Commercial accounts")
    parser.add_argument("--cert", help="PEM certificate: serve HTTPS")
    parser.add_argument("--key", help="PEM private key for --cert")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    parser.add_argument("--slow-files", type=int, default=0, metavar="MS",
                        help="send package files in 16 KiB blocks MS ms apart (the demo's "
                             "progress stays visible)")
    args = parser.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.state = State(args.root, load_accounts(args.accounts))
    if args.slow_files > 0:
        server.state.faults.append({"kind": "slow", "prefix": "/file/", "count": -1,
                                    "code": 200, "delay": args.slow_files / 1000.0,
                                    "hold": 60.0, "size": 0, "length": "", "skip": 0})
    server.verbose = args.verbose
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass



if __name__ == "__main__":
    main()
