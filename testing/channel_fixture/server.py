#!/usr/bin/env python3
"""Web host of the channel tests: channel documents, market lookups, statistics.

Binds 127.0.0.1 on an ephemeral port and writes "<port>\\n" to $TARVO_READY_FILE
once it listens. Every raw request line with its headers is appended to the log
file (default requests.log in the current folder). Files are read at every
request, so a test can change them between cases.

  /data/NAME      ROOT/NAME with status 200; when ROOT/NAME.status exists its
                  first line decides instead: "404", "500", or "301 /some/path"
                  (a redirect to that path on this server); 404 when neither exists
  /index/getSoftInfoByIdsAccordingToFields/sids/SID/fields/FIELDS
                  the member SID (percent-decoded) of ROOT/market.json: a string
                  goes out as it is, anything else as JSON; 404 when absent
  /Stat...        200 "ok"
  /files/NAME     ROOT/files/NAME with status 200 (binary, unchanged); 404 when absent
  anything else   404

With --substitute, "@BASE@" in /data/ files and market replies becomes http://127.0.0.1:<port>.
"""
import argparse
import json
import os
import socket
import sys
import threading
import time
import urllib.parse

MARKET = "/index/getSoftInfoByIdsAccordingToFields/sids/"


def answer(conn, status, body=b"", extra=None):
    head = "HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n" % (status, len(body))
    for k, v in (extra or {}).items():
        head += "%s: %s\r\n" % (k, v)
    conn.sendall(head.encode("latin-1") + b"\r\n" + body)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def serve_data(conn, args, base, name):
    path = os.path.join(args.root, name)
    status = read(path + ".status")
    if status is not None:
        words = status.decode("utf-8").split()
        code = int(words[0])
        if code in (301, 302) and len(words) > 1:
            return answer(conn, code, b"", {"Location": base + words[1]})
        return answer(conn, code, b"status %d" % code)
    body = read(path)
    if body is None:
        return answer(conn, 404, b"no document")
    if args.substitute:
        body = body.replace(b"@BASE@", base.encode("ascii"))
    answer(conn, 200, body)


def serve_market(conn, args, base, target):
    rest = target[len(MARKET):]
    sid = urllib.parse.unquote(rest.split("/", 1)[0])
    raw = read(os.path.join(args.root, "market.json"))
    replies = json.loads(raw.decode("utf-8")) if raw else {}
    if sid not in replies:
        return answer(conn, 404, b"unknown sid")
    reply = replies[sid]
    body = reply if isinstance(reply, str) else json.dumps(reply, ensure_ascii=False)
    body = body.encode("utf-8")
    if args.substitute:
        body = body.replace(b"@BASE@", base.encode("ascii"))
    answer(conn, 200, body)


def handle(conn, args, base, log_lock):
    conn.settimeout(30)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return
        data += chunk
    head = data.split(b"\r\n\r\n", 1)[0]
    with log_lock:
        with open(args.log, "ab") as log:
            log.write(head + b"\r\n\r\n")
    parts = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
    target = parts[1] if len(parts) > 1 else "/"
    path = target.split("?", 1)[0]
    if path.startswith("/data/") and "/" not in path[6:] and path[6:] not in ("", ".", ".."):
        serve_data(conn, args, base, path[6:])
    elif path.startswith(MARKET):
        serve_market(conn, args, base, path)
    elif path.startswith("/Stat"):
        answer(conn, 200, b"ok")
    elif path.startswith("/files/") and "/" not in path[7:] and path[7:] not in ("", ".", ".."):
        body = read(os.path.join(args.root, "files", urllib.parse.unquote(path[7:])))
        if body is None:
            answer(conn, 404, b"no file")
        else:
            answer(conn, 200, body)
    else:
        answer(conn, 404, b"no route")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=".")
    parser.add_argument("--log", default="requests.log")
    parser.add_argument("--substitute", action="store_true")
    parser.add_argument("--lifetime", type=int, default=600)
    args = parser.parse_args()

    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(64)
    port = srv.getsockname()[1]
    base = "http://127.0.0.1:%d" % port
    ready = os.environ["TARVO_READY_FILE"]
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.rename(ready + ".tmp", ready)

    deadline = threading.Timer(args.lifetime, lambda: os._exit(0))
    deadline.daemon = True
    deadline.start()
    log_lock = threading.Lock()
    while True:
        conn, _ = srv.accept()

        def run(c=conn):
            try:
                handle(c, args, base, log_lock)
            except Exception as e:
                sys.stderr.write("channel fixture: %r\n" % e)
            finally:
                c.close()

        threading.Thread(target=run, daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
