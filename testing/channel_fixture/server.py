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
  /Stat..., /mobi.html..., /Orvekmobilemgr/stat.php...
                  200 "ok"
  /files/NAME     DIR/NAME of the first --files DIR that has it (ROOT/files comes
                  last), with its
                  Content-Length (HEAD too); /150706/<32 hex digits>/NAME serves
                  DIR/dotnet/NAME. DIR/NAME.status overrides as under /data/;
                  DIR/NAME.fault changes the reply, by its first line:
                    "truncate N"  the whole file's Content-Length, N bytes, close
                    "close N"     no Content-Length, N bytes, close
                    "html"        200 with a short HTML page
                    "slow CHUNK PAUSE_MS"  the file in CHUNK-byte pieces
                    "stall N"     N bytes of a whole-file Content-Length, then
                                  silence until the client closes
  anything else   404

With --substitute, "@BASE@" in /data/ files and market replies becomes http://127.0.0.1:<port>.
"""
import argparse
import json
import os
import re
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


def answer_status(conn, base, status):
    words = status.decode("utf-8").split()
    code = int(words[0])
    if code in (301, 302) and len(words) > 1:
        return answer(conn, code, b"", {"Location": base + words[1]})
    return answer(conn, code, b"status %d" % code)


def head_of(status, length=None):
    head = "HTTP/1.1 %d X\r\nConnection: close\r\n" % status
    if length is not None:
        head += "Content-Length: %d\r\n" % length
    return (head + "\r\n").encode("latin-1")


def wait_for_close(conn, deadline):
    conn.settimeout(1)
    while time.time() < deadline:
        try:
            if not conn.recv(4096):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def serve_file(conn, args, base, name, sub, method):
    """One file of the --files folders (sub: "" or "dotnet")."""
    if name in ("", ".", "..") or "/" in name or "\\" in name:
        return answer(conn, 404, b"no file")
    for folder in args.files:
        path = os.path.join(folder, sub, name)
        status = read(path + ".status")
        fault = read(path + ".fault")
        body = read(path)
        if status is None and body is None:
            continue
        if status is not None:
            return answer_status(conn, base, status)
        words = fault.decode("utf-8").split("\n", 1)[0].split() if fault else []
        kind = words[0] if words else ""
        if kind == "html":
            page = b"<html><body>please log in</body></html>"
            conn.sendall(head_of(200, len(page)) + (b"" if method == "HEAD" else page))
            return
        if method == "HEAD":
            conn.sendall(head_of(200, len(body)))
            return
        if kind == "truncate":
            conn.sendall(head_of(200, len(body)) + body[:int(words[1])])
        elif kind == "close":
            conn.sendall(head_of(200) + body[:int(words[1])])
        elif kind == "stall":
            conn.sendall(head_of(200, len(body)) + body[:int(words[1])])
            wait_for_close(conn, time.time() + args.lifetime)
        elif kind == "slow":
            chunk, pause = int(words[1]), int(words[2]) / 1000.0
            conn.sendall(head_of(200, len(body)))
            for at in range(0, len(body), chunk):
                conn.sendall(body[at:at + chunk])
                time.sleep(pause)
        else:
            conn.sendall(head_of(200, len(body)) + body)
        return
    answer(conn, 404, b"no file")


def serve_data(conn, args, base, name):
    path = os.path.join(args.root, name)
    status = read(path + ".status")
    if status is not None:
        return answer_status(conn, base, status)
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
    method = parts[0]
    target = parts[1] if len(parts) > 1 else "/"
    path = target.split("?", 1)[0]
    dotnet = re.match(r"^/150706/[0-9a-fA-F]{32}/([^/]+)$", path)
    if path.startswith("/files/"):
        serve_file(conn, args, base, path[7:], "", method)
    elif dotnet:
        serve_file(conn, args, base, dotnet.group(1), "dotnet", method)
    elif path.startswith("/mobi.html") or path.startswith("/Orvekmobilemgr/stat.php"):
        answer(conn, 200, b"ok")
    elif path.startswith("/data/") and "/" not in path[6:] and path[6:] not in ("", ".", ".."):
        serve_data(conn, args, base, path[6:])
    elif path.startswith(MARKET):
        serve_market(conn, args, base, path)
    elif path.startswith("/Stat"):
        answer(conn, 200, b"ok")
    else:
        answer(conn, 404, b"no route")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=".")
    parser.add_argument("--log", default="requests.log")
    parser.add_argument("--substitute", action="store_true")
    parser.add_argument("--lifetime", type=int, default=600)
    parser.add_argument("--files", action="append", default=[],
                        help="folder served under /files/ (repeatable, the first that has a file wins)")
    args = parser.parse_args()
    args.files.append(os.path.join(args.root, "files"))

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
