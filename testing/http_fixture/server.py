#!/usr/bin/env python3
"""Fixture HTTP server for the HTTP client tests.

Binds 127.0.0.1 on an ephemeral port and writes "<port>\\n" to $TARVO_READY_FILE.
Every raw request line and its headers are appended to requests.log in the
current folder. Routes are fixed (see ROUTES); anything else answers 404.
"""
import os
import socket
import sys
import threading
import time


def answer(conn, status, body=b"", headers=None, length=True):
    reason = {200: "OK", 301: "Moved", 302: "Found", 404: "Not Found", 500: "Error"}.get(status, "X")
    head = "HTTP/1.1 %d %s\r\n" % (status, reason)
    for k, v in (headers or {}).items():
        head += "%s: %s\r\n" % (k, v)
    if length:
        head += "Content-Length: %d\r\n" % len(body)
    head += "Connection: close\r\n\r\n"
    conn.sendall(head.encode("latin-1") + body)


def handle(conn, port):
    conn.settimeout(30)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return
        data += chunk
    head = data.split(b"\r\n\r\n", 1)[0]
    with open("requests.log", "ab") as log:
        log.write(head + b"\r\n\r\n")
    line = head.split(b"\r\n", 1)[0].decode("latin-1")
    parts = line.split(" ")
    target = parts[1] if len(parts) > 1 else "/"
    path = target.split("?", 1)[0]
    base = "http://127.0.0.1:%d" % port
    if path == "/ok":
        answer(conn, 200, b'{"a": 1, "b": "x"}', {"Content-Type": "application/json"})
    elif path == "/bom":
        answer(conn, 200, b'\xef\xbb\xbf{"a": 2}')
    elif path == "/chunked":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                     b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n")
    elif path == "/close":
        conn.sendall(b"HTTP/1.0 200 OK\r\n\r\nuntil the end")
    elif path == "/r301":
        answer(conn, 301, b"", {"Location": base + "/ok"})
    elif path == "/r302rel":
        answer(conn, 302, b"", {"Location": "../ok?from=rel"})
    elif path == "/loop":
        answer(conn, 302, b"", {"Location": "/loop"})
    elif path == "/tohttps":
        answer(conn, 302, b"", {"Location": "https://127.0.0.1:%d/ok" % port})
    elif path == "/404":
        answer(conn, 404, b"missing")
    elif path == "/500":
        answer(conn, 500, b"broken")
    elif path == "/notjson":
        answer(conn, 200, b"<html>no</html>")
    elif path == "/empty200":
        answer(conn, 200, b"")
    elif path == "/big":
        answer(conn, 200, b"x" * (16 * 1024 * 1024 + 1))
    elif path == "/hang":
        time.sleep(60)
    elif path == "/trickle":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n")
        for _ in range(100):
            time.sleep(2)
            conn.sendall(b"x")
    elif path == "/drop":
        pass
    elif path.startswith("/Stat"):
        answer(conn, 200, b"ok")
    else:
        answer(conn, 404, b"no route")


def main():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(64)
    port = srv.getsockname()[1]
    with open(os.environ["TARVO_READY_FILE"] + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.rename(os.environ["TARVO_READY_FILE"] + ".tmp", os.environ["TARVO_READY_FILE"])
    while True:
        conn, _ = srv.accept()

        def run(c=conn):
            try:
                handle(c, port)
            except Exception:
                pass
            finally:
                try:
                    c.close()
                except Exception:
                    pass

        threading.Thread(target=run, daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
