#!/usr/bin/env python3
"""Fixture web server for the Windows-side tests (run on the Linux side).

Serves a folder on 127.0.0.1 on an ephemeral port and writes "<port>\\n" to the
file named by $TARVO_READY_FILE once it listens (the file named by --ready-file
when given). It ends by itself after --lifetime seconds whatever happens.
Every request is appended to requests.log in the current folder as one line:
"<METHOD> <target>".

Routes (NAME is a file under --root; the query string is ignored unless said):
  /files/NAME          the file with Content-Length
  /chunked/NAME        the file in chunked transfer encoding, no length
  /status/CODE         that status with a short body
  /redirect/REST       302 to /REST (absolute address, query kept)
  /slow/NAME           the file with Content-Length in small chunks with pauses
                       (?chunk=BYTES, default 1024; ?pause=MS, default 100)
  /stall               headers with Content-Length: 1000000, then ?bytes=N bytes
                       (default 100), then silence until the client closes
  /truncated           headers with Content-Length: 1000000, then ?bytes=N bytes
                       (default 100), then the connection is closed
  /huge                ?bytes=N of filler (default 1 MiB); ?length=1 (default) sends
                       Content-Length, ?length=0 ends the body by closing
  /html                200, text/html, a short page
  POST /echo           appends "<METHOD>\t<Content-Type>\t<body>\n" to posts.log and
                       answers 200 with the body (a GET records an empty body)
anything else          404
"""
import argparse
import os
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fixture"

    def log_message(self, fmt, *args):
        pass

    def record(self):
        with self.server.log_lock:
            with open("requests.log", "a", encoding="utf-8") as log:
                log.write("%s %s\n" % (self.command, self.path))

    def send_body(self, status, body, content_type="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def read_file(self, name):
        name = urllib.parse.unquote(name)
        root = os.path.realpath(self.server.root)
        path = os.path.realpath(os.path.join(root, name))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def do_HEAD(self):
        self.do_GET()

    def do_POST(self):
        self.record()
        url = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        try:
            if url.path != "/echo":
                return self.send_body(404, b"missing", "text/plain")
            with self.server.log_lock:
                with open("posts.log", "ab") as log:
                    line = "%s\t%s\t" % (self.command, self.headers.get("Content-Type", ""))
                    log.write(line.encode("latin-1", "replace") + body + b"\n")
            return self.send_body(200, body)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            return

    def do_GET(self):
        self.record()
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = url.path.split("/", 2)  # "", route, rest
        route = parts[1] if len(parts) > 1 else ""
        rest = parts[2] if len(parts) > 2 else ""
        try:
            if route == "files":
                data = self.read_file(rest)
                if data is None:
                    return self.send_body(404, b"missing", "text/plain")
                return self.send_body(200, data)
            if route == "chunked":
                data = self.read_file(rest)
                if data is None:
                    return self.send_body(404, b"missing", "text/plain")
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.send_header("Connection", "close")
                self.end_headers()
                for i in range(0, len(data), 4096):
                    piece = data[i:i + 4096]
                    self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                self.wfile.write(b"0\r\n\r\n")
                return
            if route == "status":
                code = int(rest or "500")
                return self.send_body(code, b"status %d" % code, "text/plain")
            if route == "redirect":
                target = "http://127.0.0.1:%d/%s" % (self.server.server_port, rest)
                if url.query:
                    target += "?" + url.query
                self.send_response(302)
                self.send_header("Location", target)
                self.send_header("Content-Length", "0")
                self.send_header("Connection", "close")
                self.end_headers()
                return
            if route == "slow":
                data = self.read_file(rest)
                if data is None:
                    return self.send_body(404, b"missing", "text/plain")
                chunk = int(query.get("chunk", ["1024"])[0])
                pause = int(query.get("pause", ["100"])[0]) / 1000.0
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Connection", "close")
                self.end_headers()
                for i in range(0, len(data), chunk):
                    self.wfile.write(data[i:i + chunk])
                    self.wfile.flush()
                    time.sleep(pause)
                return
            if route == "stall":
                count = int(query.get("bytes", ["100"])[0])
                self.send_response(200)
                self.send_header("Content-Length", "1000000")
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(b"s" * count)
                self.wfile.flush()
                # Silence until the client closes (or the server's lifetime ends).
                self.connection.settimeout(1.0)
                while not self.server.ending:
                    try:
                        if not self.connection.recv(1024):
                            return
                    except socket.timeout:
                        continue
                return
            if route == "truncated":
                count = int(query.get("bytes", ["100"])[0])
                self.send_response(200)
                self.send_header("Content-Length", "1000000")
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(b"t" * count)
                self.wfile.flush()
                self.close_connection = True
                return
            if route == "huge":
                total = int(query.get("bytes", [str(1024 * 1024)])[0])
                with_length = query.get("length", ["1"])[0] != "0"
                self.send_response(200)
                if with_length:
                    self.send_header("Content-Length", str(total))
                self.send_header("Connection", "close")
                self.end_headers()
                piece = b"h" * 65536
                sent = 0
                while sent < total and not self.server.ending:
                    n = min(len(piece), total - sent)
                    self.wfile.write(piece[:n])
                    sent += n
                self.wfile.flush()
                self.close_connection = True
                return
            if route == "echo":
                with self.server.log_lock:
                    with open("posts.log", "ab") as log:
                        line = "%s\t%s\t\n" % (self.command, self.headers.get("Content-Type", ""))
                        log.write(line.encode("latin-1", "replace"))
                return self.send_body(200, b"")
            if route == "html":
                page = (b"<!DOCTYPE html>\n<html><head><title>fixture</title></head>"
                        b"<body><p>a page, not a picture</p></body></html>\n")
                return self.send_body(200, page, "text/html")
            return self.send_body(404, b"missing", "text/plain")
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            return


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=".", help="folder served under /files/ and friends")
    parser.add_argument("--lifetime", type=float, default=120.0, help="seconds before the server ends")
    parser.add_argument("--ready-file", default=os.environ.get("TARVO_READY_FILE", ""))
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = args.root
    server.ending = False
    server.log_lock = threading.Lock()

    def end_later():
        time.sleep(args.lifetime)
        server.ending = True
        os._exit(0)

    threading.Thread(target=end_later, daemon=True).start()
    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % server.server_port)
        os.replace(tmp, args.ready_file)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
