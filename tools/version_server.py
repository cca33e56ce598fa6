#!/usr/bin/env python3
"""Local HTTP server that the tests download version documents from.

Usage: version_server.py start DIR   (serves on 127.0.0.1, a free port, in the background)
       version_server.py stop DIR

DIR/port receives the port; DIR/requests.log gets one JSON line per request
(path with query, headers). Routes:
  /doc/NAME    the bytes of DIR/docs/NAME (404 when missing); when DIR/docs/NAME.route
               exists, /doc/NAME answers as the route it names instead (hang, reset, ...)
  /status404   a 404 answer with an HTML body
  /empty       200 with an empty body
  /nul         200 with the body "ab\\0cd"
  /hang        reads the request, then never answers
  /reset       promises 100000 bytes, sends 100, then resets the connection
  /big         200 with a 50 MB body
  /garbage     200 with 4096 bytes of binary noise
  /counter     200 with a 1 MB document whose version is the number of the request
"""
import http.server
import json
import os
import signal
import socket
import struct
import sys
import threading
import time


def make_handler(root):
    log_lock = threading.Lock()
    counter = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Headers and body go out in separate writes; with Nagle on, the
        # client's delayed ACK holds the body back about 40 ms.
        disable_nagle_algorithm = True

        def log_message(self, *args):
            pass

        def record(self):
            entry = {"path": self.path, "headers": dict(self.headers.items())}
            with log_lock, open(os.path.join(root, "requests.log"), "a") as log:
                log.write(json.dumps(entry) + "\n")

        def answer(self, status, body, content_type="text/xml"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            route = self.path.split("?", 1)[0]
            self.record()
            if route.startswith("/doc/"):
                name = os.path.basename(route[len("/doc/"):])
                try:
                    with open(os.path.join(root, "docs", name + ".route")) as f:
                        route = "/" + f.read().strip()
                except OSError:
                    pass
            if route.startswith("/doc/"):
                try:
                    with open(os.path.join(root, "docs", name), "rb") as f:
                        body = f.read()
                except OSError:
                    self.answer(404, b"<html><body>missing</body></html>", "text/html")
                    return
                self.answer(200, body)
            elif route == "/status404":
                self.answer(404, b"<html><body><h1>Not Found</h1></body></html>", "text/html")
            elif route == "/empty":
                self.answer(200, b"")
            elif route == "/nul":
                self.answer(200, b"ab\0cd", "text/plain")
            elif route == "/hang":
                while True:
                    time.sleep(3600)
            elif route == "/reset":
                self.send_response(200)
                self.send_header("Content-Length", "100000")
                self.end_headers()
                self.wfile.write(b"x" * 100)
                self.wfile.flush()
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
                self.connection.close()
            elif route == "/big":
                self.answer(200, b"<v><a>big</a></v>" + b" " * (50 * 1024 * 1024))
            elif route == "/counter":
                with log_lock:
                    counter[0] += 1
                    number = counter[0]
                self.answer(200, b"<v><a>%d</a><pad>%s</pad></v>" % (number, b"x" * (1 << 20)))
            elif route == "/garbage":
                noise = bytes((i * 7919 + (i >> 3) * 104729) % 256 for i in range(4096))
                self.answer(200, noise, "application/octet-stream")
            else:
                self.answer(404, b"<html><body>unknown</body></html>", "text/html")

    return Handler


def serve(root):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(root))
    server.daemon_threads = True
    tmp = os.path.join(root, "port.tmp")
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, os.path.join(root, "port"))
    server.serve_forever()


def start(root):
    os.makedirs(os.path.join(root, "docs"), exist_ok=True)
    for name in ("port", "requests.log"):
        try:
            os.remove(os.path.join(root, name))
        except FileNotFoundError:
            pass
    pid = os.fork()
    if pid == 0:
        # Detach fully, so that the caller's pipes (ctest's) close at once.
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        try:
            serve(root)
        finally:
            os._exit(0)
    with open(os.path.join(root, "pid"), "w") as f:
        f.write(str(pid))
    for _ in range(200):
        if os.path.exists(os.path.join(root, "port")):
            return 0
        time.sleep(0.05)
    print("version server did not start", file=sys.stderr)
    return 1


def stop(root):
    try:
        with open(os.path.join(root, "pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(start(sys.argv[2]) if sys.argv[1] == "start" else stop(sys.argv[2]))
