#!/usr/bin/env python3
"""Local HTTP server that the tests download version documents from.

Usage: version_server.py start DIR   (serves on 127.0.0.1, a free port, in the background)
       version_server.py stop DIR

DIR/port receives the port; DIR/requests.log gets one JSON line per request
(path with query, headers). DIR/reset.port receives the port of a broken proxy:
it takes each connection and its request, logs the request line ("reset"),
and resets the connection without an answer. For every DIR/tls/NAME.pem (certificate chain and
key) present at start, the same routes are served over TLS as well, on the
port written to DIR/tls/NAME.port. Routes:
  /doc/NAME    the bytes of DIR/docs/NAME (404 when missing); when DIR/docs/NAME.route
               exists, /doc/NAME answers as the route it names instead (hang, reset, ...)
  /status404   a 404 answer with an HTML body
  /empty       200 with an empty body
  /nul         200 with the body "ab\\0cd"
  /hang        reads the request, then never answers
  /drop        reads the request, then resets the connection without an answer
  /close       reads the request, then closes the connection without an answer
  /trickle     promises 100000 bytes and sends one every 100 ms
  /bom8, /bom16  a version document (version 8.8) saved as UTF-8 or UTF-16 with a byte-order mark
  /reset       promises 100000 bytes, sends 100, then resets the connection
  /big         200 with a 768 KiB body
  /garbage     200 with 4096 bytes of binary noise
  /counter     200 with a 1 MB document whose version is the number of the request
  /xmlerrorNNN status NNN with an XML error body, as cloud storage answers a missing or
               forbidden object
  /proxyauth   407 Proxy Authentication Required with an HTML page
  /auth401     401 asking for NTLM, Negotiate or Basic credentials, with an XML body
  /portal      302 to /portalpage, a captive portal's sign-in page (200, text/html)
  /htmlversion 200 with a version document served as text/html
  /oversize    200 with a version document padded to one byte past 1 MiB
  /endless     200 with a body that never ends (no length; stops when the client goes)
  /latin1      200 with a version document in ISO-8859-1, said so in the Content-Type
  /bom16be     the version document of /bom16, big-endian
  /toplain     302 to /doc/desktop.xml on the plain-http port (from a TLS port: a downgrade)
  /proxy.pac   a proxy script that sends every address through this server
  /gzip        200 with a version document compressed, as Content-Encoding: gzip says,
               whatever the request asked (as cloud storage serves a compressed upload)
A request whose target is an absolute http:// address is served as a proxy
would serve it, from this server's routes ("proxied" in the log); the built-in
address's desktop.xml, under any path, is /doc/desktop.xml there.
"""
import gzip
import http.server
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time


BOM_DOCUMENT = '<?xml version="1.0"?>\r\n<version><v>8.8</v></version>\r\n'
XML_ERROR = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>NoSuchKey</Code>'
             b'<Message>The specified key does not exist.</Message></Error>')
MAX_DOCUMENT_BYTES = 1024 * 1024
ENDLESS_SECONDS = 300  # an endless body still ends, should no client ever go


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

        def log_entry(self, entry):
            with log_lock, open(os.path.join(root, "requests.log"), "a") as log:
                log.write(json.dumps(entry) + "\n")

        def record(self, proxied=False):
            entry = {"path": self.path, "headers": dict(self.headers.items())}
            if proxied:
                entry["proxied"] = True
            if getattr(self.server, "tls_name", None):
                entry["tls"] = self.server.tls_name
            self.log_entry(entry)

        def setup(self):
            # The handshake runs here, on the request's own thread, so that a
            # client that refuses the certificate is logged and holds up no one.
            name = getattr(self.server, "tls_name", None)
            if name:
                try:
                    self.request.settimeout(30)
                    self.request.do_handshake()
                    self.request.settimeout(None)
                except OSError as error:
                    self.log_entry({"tls": name, "connection": "handshake failed: %s" % error})
                    raise
                # A client checks the certificate after the handshake and may
                # close the connection then, without a request.
                self.log_entry({"tls": name, "connection": "handshake done"})
            super().setup()

        def answer(self, status, body, content_type="text/xml"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            proxied = self.path.startswith("http://")
            self.record(proxied)
            target = self.path
            if proxied:
                path, _, query = target.partition("?")
                target = "/doc/desktop.xml?" + query if path.endswith("/desktop.xml") else "/"
            route = target.split("?", 1)[0]
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
            elif route in ("/drop", "/close"):
                if route == "/drop":
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                               struct.pack("ii", 1, 0))
                self.close_connection = True
                self.connection.close()
            elif route == "/trickle":
                self.send_response(200)
                self.send_header("Content-Length", "100000")
                self.end_headers()
                for _ in range(100000):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(0.1)
            elif route == "/bom8":
                self.answer(200, BOM_DOCUMENT.encode("utf-8-sig"))
            elif route == "/bom16":
                self.answer(200, BOM_DOCUMENT.encode("utf-16"))  # little-endian, with its mark
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
                self.answer(200, b"<v><a>big</a></v>" + b" " * (768 * 1024))
            elif route == "/counter":
                with log_lock:
                    counter[0] += 1
                    number = counter[0]
                self.answer(200, b"<v><a>%d</a><pad>%s</pad></v>" % (number, b"x" * (1 << 20)))
            elif route.startswith("/xmlerror") and route[len("/xmlerror"):].isdigit():
                self.answer(int(route[len("/xmlerror"):]), XML_ERROR, "application/xml")
            elif route == "/proxyauth":
                self.send_response(407)
                self.send_header("Proxy-Authenticate", 'Basic realm="proxy"')
                body = b"<html><body>Proxy Authentication Required</body></html>"
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            elif route == "/auth401":
                # A server that asks for Windows credentials, or any at all.
                self.send_response(401)
                for scheme in ("NTLM", "Negotiate", 'Basic realm="vexlo"'):
                    self.send_header("WWW-Authenticate", scheme)
                self.send_header("Content-Type", "application/xml")
                self.send_header("Content-Length", str(len(XML_ERROR)))
                self.end_headers()
                self.wfile.write(XML_ERROR)
            elif route == "/portal":
                self.send_response(302)
                self.send_header("Location", "/portalpage")
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif route == "/toplain":
                with open(os.path.join(root, "port")) as f:
                    plain = f.read()
                self.send_response(302)
                self.send_header("Location", "http://127.0.0.1:%s/doc/desktop.xml" % plain)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif route == "/proxy.pac":
                with open(os.path.join(root, "port")) as f:
                    plain = f.read()
                self.answer(200, ('function FindProxyForURL(url, host) '
                                  '{ return "PROXY 127.0.0.1:%s"; }' % plain).encode(),
                            "application/x-ns-proxy-autoconfig")
            elif route == "/gzip":
                body = gzip.compress(b"<v><a>7.7</a></v>")
                self.send_response(200)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            elif route == "/portalpage":
                self.answer(200, b"<html><body>Sign in to the hotel Wi-Fi</body></html>",
                            "text/html; charset=utf-8")
            elif route == "/htmlversion":
                self.answer(200, b"<v><a>9.9</a></v>", "text/html")
            elif route == "/oversize":
                head = b"<v><a>big</a></v>"
                self.answer(200, head + b" " * (MAX_DOCUMENT_BYTES + 1 - len(head)))
            elif route == "/endless":
                self.send_response(200)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Connection", "close")
                self.end_headers()
                self.close_connection = True
                chunk = b"<v>" * 21845
                ends = time.monotonic() + ENDLESS_SECONDS
                try:
                    while time.monotonic() < ends:
                        self.wfile.write(chunk)
                except OSError:
                    pass
            elif route == "/latin1":
                self.answer(200, "<v><a>caf\u00e9</a></v>".encode("latin-1"),
                            "text/xml; charset=ISO-8859-1")
            elif route == "/bom16be":
                self.answer(200, b"\xfe\xff" + BOM_DOCUMENT.encode("utf-16-be"))
            elif route == "/garbage":
                noise = bytes((i * 7919 + (i >> 3) * 104729) % 256 for i in range(4096))
                self.answer(200, noise, "application/octet-stream")
            else:
                self.answer(404, b"<html><body>unknown</body></html>", "text/html")

    return Handler


def listen(root, port_file, pem=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(root))
    server.daemon_threads = True
    if pem:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem)
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
        server.tls_name = os.path.basename(pem)[:-4]
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, port_file)
    return server


def reset_each_request(root, connection):
    """Reads one request head, then resets the connection (SO_LINGER 0)."""
    head = b""
    try:
        connection.settimeout(30)
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = connection.recv(4096)
            if not chunk:
                break
            head += chunk
        with open(os.path.join(root, "requests.log"), "a") as log:
            log.write(json.dumps({"reset": head.split(b"\r\n", 1)[0].decode("latin-1")}) + "\n")
    except OSError:
        pass
    finally:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        connection.close()


def listen_for_resets(root):
    """The broken proxy's port, written before the main port, which callers wait for."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port_file = os.path.join(root, "reset.port")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(port_file + ".tmp", port_file)

    def accept_forever():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=reset_each_request, args=(root, connection),
                             daemon=True).start()
    threading.Thread(target=accept_forever, daemon=True).start()


def serve(root):
    listen_for_resets(root)
    tls = os.path.join(root, "tls")
    names = sorted(n for n in os.listdir(tls) if n.endswith(".pem")) if os.path.isdir(tls) else []
    for name in names:
        server = listen(root, os.path.join(tls, name[:-4] + ".port"), os.path.join(tls, name))
        threading.Thread(target=server.serve_forever, daemon=True).start()
    listen(root, os.path.join(root, "port")).serve_forever()


def start(root):
    os.makedirs(os.path.join(root, "docs"), exist_ok=True)
    for name in ("port", "reset.port", "requests.log"):
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
