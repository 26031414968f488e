#!/usr/bin/env python3
"""Fake adb host server for the adb client tests.

Listens on 127.0.0.1 (the port given with --port, or an ephemeral one) and writes
"<port>\\n" to $TARVO_READY_FILE once it listens. It speaks the host side of the adb
smart-socket protocol and, after a transport request, the device services "shell:"
and "sync:". Every connection, request and sync message is appended to the --log
file as one JSON object per line, with exact bytes in hex. Files pushed with SEND are
stored in the --store folder. It exits on "host:kill" and after --time-limit seconds.

The --config file (JSON) scripts the answers:
  serial         serial known to "host:transport:<serial>" (default "127.0.0.1:5555")
  version        four hex digits answered to "host:version" (default "001f")
  features       text answered to "host:features" and "host-serial:<serial>:features"
                 (default "")
  replies        {service: {"send": latin-1 text, "close": bool, "silent": bool}}:
                 raw bytes sent instead of the normal answer; "close" closes after
                 them, "silent" sends nothing more and waits; otherwise the
                 connection waits for the peer to close
  chunk          send every answer in pieces of this many bytes (0: at once)
  silent         accept every connection and never answer
  shell          {command: text} output of "shell:<command>"
  shell_silent   answer "shell:" with OKAY and then stay silent
  list           {path: [{"name", "mode", "size", "time"}]} entries of LIST
                 (a path not listed gives DONE only)
  list_variant   "normal", "fail", "long_name", "unknown_id" or "close_midway"
  stat           {path: mode} for STAT (0 for a path not listed)
  send_reply     "okay", "fail" or "unknown": answer to the DONE of a SEND
  send_message   the message of a FAIL answer to DONE
  linger         seconds to wait for the peer to close after an answer (default 20)

The device also checks what it is asked to install:
  shared_dir     Linux folder that the device sees as "/mnt/shared/tv_shared"; LIST of
                 that path (unless "list" scripts it) answers ".", ".." and its files
  "pm install -r <rest>" (unless "shell" scripts the command) decodes <rest> with a
                 real /bin/sh (printf '%s\0'), logs {"ev": "pm_install", "args", "hex"}
                 and answers "Failure [BAD_ARGUMENTS]" unless there is exactly one
                 argument, "Failure [INSTALL_FAILED_INVALID_URI]" unless it names a file
                 stored by a SEND of that path or present in shared_dir, else by file
                 name from install_replies, else install_reply (default "Success\r\n")
  install_hold   {"release_file": Linux path, "limit_s": 30}: the reply waits for it
  install_silent answer OKAY, then nothing until the client closes
  apks           {file name: package}: what a "Success" adds to the installed set
                 (default: the file name without ".apk")

The device's own state:
  packages       [[path, package]]: 'pm "list" "packages" "-f"' answers
                 "package:<path>=<package>" for each, then for each package of the
                 installed set; with neither, the default lines below
  line_end       line end of that listing ("\r\n" by default, or "\n")
  boot_after     "getprop sys.boot_completed" answers "0" until this many earlier
                 getprop requests were answered, then "1" (default 0)
  boot_never     getprop always answers "0"
  device_absent_first  the first N "host:transport:<serial>" requests answer FAIL
                 "device '<serial>' not found"
  "am start <rest>" decodes <rest> like pm install, logs {"ev": "am_start", "args"}
                 and answers "Starting: Intent { cmp=<args> }\r\n"
An exact "shell" entry wins over all of these.
"""
import argparse
import binascii
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time

LOG_LOCK = threading.Lock()
LOG_PATH = None
STORE = None
CONFIG = {}
COUNTER = [0]
COUNTER_LOCK = threading.Lock()
LISTENER = None
GUEST_SHARED = "/mnt/shared/tv_shared"
SENT_PATHS = set()
INSTALLED = []  # (device path, package) in install order
DEVICE_LOCK = threading.Lock()
GETPROP_COUNT = [0]
TRANSPORT_COUNT = [0]


def now_ms():
    return int(time.time() * 1000)


def log(**event):
    event["t"] = now_ms()
    line = json.dumps(event, sort_keys=True)
    with LOG_LOCK:
        with open(LOG_PATH, "a") as f:
            f.write(line + "\n")
            f.flush()


class Closed(Exception):
    pass


class Conn:
    def __init__(self, sock, number):
        self.sock = sock
        self.number = number
        self.closed_logged = False

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            try:
                chunk = self.sock.recv(n - len(data))
            except OSError:
                chunk = b""
            if not chunk:
                raise Closed()
            data += chunk
        return data

    def send(self, data):
        chunk = int(CONFIG.get("chunk", 0) or 0)
        if chunk <= 0:
            self.sock.sendall(data)
            return
        for i in range(0, len(data), chunk):
            self.sock.sendall(data[i:i + chunk])
            time.sleep(0.005)

    def wait_peer_close(self):
        """Waits (bounded) until the client closes its end."""
        self.sock.settimeout(float(CONFIG.get("linger", 20)))
        try:
            while True:
                data = self.sock.recv(65536)
                if not data:
                    self.log_closed("peer")
                    return
                log(ev="extra", conn=self.number, hex=binascii.hexlify(data).decode())
        except socket.timeout:
            self.log_closed("timeout")
        except OSError:
            self.log_closed("peer")

    def log_closed(self, by):
        if not self.closed_logged:
            self.closed_logged = True
            log(ev="closed", conn=self.number, by=by)


def okay():
    return b"OKAY"


def fail(message):
    data = message.encode("latin-1")
    return b"FAIL" + ("%04x" % len(data)).encode() + data


def read_request(conn):
    head = conn.recv_exact(4)
    try:
        length = int(head.decode("latin-1"), 16)
    except ValueError:
        log(ev="bad_request", conn=conn.number, hex=binascii.hexlify(head).decode())
        raise Closed()
    body = conn.recv_exact(length)
    service = body.decode("latin-1")
    log(ev="request", conn=conn.number, service=service, length_field=head.decode("latin-1"),
        hex=binascii.hexlify(head + body).decode())
    return service


def scripted(conn, service):
    """Sends a scripted reply; returns True when the connection is finished."""
    rule = CONFIG.get("replies", {}).get(service)
    if rule is None:
        return None
    if rule.get("silent"):
        conn.wait_peer_close()
        return True
    conn.send(rule.get("send", "").encode("latin-1"))
    if rule.get("close"):
        conn.log_closed("server")
        return True
    conn.wait_peer_close()
    return True


def package_listing():
    with DEVICE_LOCK:
        installed = list(INSTALLED)
    listed = [tuple(e) for e in CONFIG.get("packages", [])] + installed
    if "packages" not in CONFIG and not installed:
        return ("package:/data/app/com.example.one-1/base.apk=com.example.one\r\n"
                "package:/system/app/Settings.apk=com.android.settings\r\n")
    end = CONFIG.get("line_end", "\r\n")
    return "".join("package:%s=%s%s" % (path, package, end) for path, package in listed)


def boot_reply():
    end = CONFIG.get("line_end", "\r\n")
    with DEVICE_LOCK:
        earlier = GETPROP_COUNT[0]
        GETPROP_COUNT[0] += 1
    if CONFIG.get("boot_never"):
        return "0" + end
    return ("1" if earlier >= int(CONFIG.get("boot_after", 0)) else "0") + end


def shell_output(conn, command):
    table = CONFIG.get("shell", {})
    if command in table:
        return table[command]
    if command.startswith("pm install -r "):
        return "Success\r\n"
    if command == 'pm "list" "packages" "-f"':
        return package_listing()
    if command == "getprop sys.boot_completed":
        return boot_reply()
    if command.startswith("am start "):
        words = decode_shell_words(command[len("am start "):])
        args = [w.decode("utf-8", "replace") for w in (words or [])]
        log(ev="am_start", conn=conn.number, args=args)
        return "Starting: Intent { cmp=%s }\r\n" % b" ".join(words or []).decode("latin-1")
    return CONFIG.get("shell_default", "")


def decode_shell_words(rest):
    """The words the device shell makes of `rest`, as bytes; None when the shell fails."""
    try:
        p = subprocess.run([b"/bin/sh", b"-c", b"printf '%s\\0' " + rest.encode("latin-1")], env={},
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=5)
    except (subprocess.TimeoutExpired, OSError):
        return None
    if p.returncode != 0:
        return None
    return p.stdout.split(b"\0")[:-1]


def pm_install_reply(conn, rest):
    words = decode_shell_words(rest)
    log(ev="pm_install", conn=conn.number, args=[w.decode("utf-8", "replace") for w in (words or [])],
        hex=[binascii.hexlify(w).decode() for w in (words or [])])
    if words is None or len(words) != 1:
        return None, "Failure [BAD_ARGUMENTS]\r\n"
    path = words[0].decode("utf-8", "replace")
    name = path.rsplit("/", 1)[-1]
    readable = False
    with DEVICE_LOCK:
        if path.startswith("/sdcard/") and path in SENT_PATHS:
            readable = True
    shared = CONFIG.get("shared_dir")
    if shared and path.startswith(GUEST_SHARED + "/") and "/" not in path[len(GUEST_SHARED) + 1:]:
        readable = readable or os.path.isfile(os.path.join(shared, name))
    if not readable:
        return None, "Failure [INSTALL_FAILED_INVALID_URI]\r\n"
    reply = CONFIG.get("install_replies", {}).get(name, CONFIG.get("install_reply", "Success\r\n"))
    return path, reply


def handle_pm_install(conn, rest):
    conn.send(okay())
    if CONFIG.get("install_silent"):
        conn.wait_peer_close()
        return
    path, reply = pm_install_reply(conn, rest)
    hold = CONFIG.get("install_hold")
    if hold:
        deadline = time.time() + float(hold.get("limit_s", 30))
        while not os.path.exists(hold["release_file"]) and time.time() < deadline:
            time.sleep(0.02)
    conn.send(reply.encode("utf-8"))
    if path is not None and "Success" in reply:
        name = path.rsplit("/", 1)[-1]
        package = CONFIG.get("apks", {}).get(name, name[:-4] if name.endswith(".apk") else name)
        with DEVICE_LOCK:
            INSTALLED.append((path, package))
        log(ev="installed", conn=conn.number, path=path, package=package)
    try:
        conn.sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    conn.wait_peer_close()


def handle_shell(conn, command):
    if command.startswith("pm install -r ") and command not in CONFIG.get("shell", {}):
        handle_pm_install(conn, command[len("pm install -r "):])
        return
    conn.send(okay())
    if CONFIG.get("shell_silent"):
        conn.wait_peer_close()
        return
    conn.send(shell_output(conn, command).encode("latin-1"))
    try:
        conn.sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    conn.wait_peer_close()


def sync_header(conn):
    head = conn.recv_exact(8)
    ident = head[:4].decode("latin-1")
    (arg,) = struct.unpack("<I", head[4:])
    return head, ident, arg


def handle_list(conn, path):
    variant = CONFIG.get("list_variant", "normal")
    if variant == "fail":
        msg = b"no such folder"
        conn.send(b"FAIL" + struct.pack("<I", len(msg)) + msg)
        return
    if variant == "long_name":
        conn.send(b"DENT" + struct.pack("<IIII", 0o40755, 0, 0, 257) + b"x" * 257)
        return
    if variant == "unknown_id":
        conn.send(b"ABCD" + b"\0" * 16)
        return
    if variant == "close_midway":
        conn.send(b"DENT" + struct.pack("<III", 0o40755, 0, 0))
        conn.log_closed("server")
        raise Closed()
    out = b""
    entries = CONFIG.get("list", {}).get(path)
    if entries is None:
        entries = shared_entries(path)
    for e in entries:
        name = e["name"].encode("utf-8")
        out += b"DENT" + struct.pack("<IIII", e.get("mode", 0o100644), e.get("size", 0), e.get("time", 0),
                                     len(name)) + name
    out += b"DONE" + b"\0" * 16
    conn.send(out)


def shared_entries(path):
    """The LIST entries of the shared folder; none for any other path."""
    shared = CONFIG.get("shared_dir")
    if not shared or path.rstrip("/") != GUEST_SHARED or not os.path.isdir(shared):
        return []
    entries = [{"name": ".", "mode": 0o40777}, {"name": "..", "mode": 0o40777}]
    for name in sorted(os.listdir(shared)):
        st = os.stat(os.path.join(shared, name))
        entries.append({"name": name, "mode": st.st_mode, "size": st.st_size, "time": int(st.st_mtime)})
    return entries


def handle_send(conn, request):
    path, _, mode = request.rpartition(",")
    COUNTER_LOCK.acquire()
    COUNTER[0] += 1
    number = COUNTER[0]
    COUNTER_LOCK.release()
    data = bytearray()
    while True:
        head, ident, arg = sync_header(conn)
        if ident == "DATA":
            chunk = conn.recv_exact(arg)
            data.extend(chunk)
            log(ev="sync", conn=conn.number, id="DATA", arg=arg, header=binascii.hexlify(head).decode(),
                size=len(chunk))
            continue
        if ident == "DONE":
            log(ev="sync", conn=conn.number, id="DONE", arg=arg, header=binascii.hexlify(head).decode())
            name = "stored_%d.bin" % number
            with open(os.path.join(STORE, name), "wb") as f:
                f.write(data)
            log(ev="stored", conn=conn.number, path=path, mode=mode, mtime=arg, file=name, size=len(data))
            with DEVICE_LOCK:
                SENT_PATHS.add(path)
            reply = CONFIG.get("send_reply", "okay")
            if reply == "fail":
                msg = CONFIG.get("send_message", "disk full").encode("latin-1")
                conn.send(b"FAIL" + struct.pack("<I", len(msg)) + msg)
            elif reply == "unknown":
                conn.send(b"WXYZ" + struct.pack("<I", 0))
            else:
                conn.send(b"OKAY" + struct.pack("<I", 0))
            return
        log(ev="sync", conn=conn.number, id=ident, arg=arg, header=binascii.hexlify(head).decode())
        raise Closed()


def handle_sync(conn):
    conn.send(okay())
    while True:
        head, ident, arg = sync_header(conn)
        payload = b""
        if ident in ("LIST", "STAT", "SEND"):
            payload = conn.recv_exact(arg)
        log(ev="sync", conn=conn.number, id=ident, arg=arg, header=binascii.hexlify(head).decode(),
            payload=payload.decode("utf-8", "replace"), hex=binascii.hexlify(payload).decode())
        text = payload.decode("utf-8", "replace")
        if ident == "LIST":
            handle_list(conn, text)
        elif ident == "STAT":
            mode = int(CONFIG.get("stat", {}).get(text, 0))
            conn.send(b"STAT" + struct.pack("<III", mode, 0, 0))
        elif ident == "SEND":
            handle_send(conn, text)
        elif ident == "QUIT":
            conn.log_closed("server")
            return
        else:
            raise Closed()


def handle_device(conn, service):
    if scripted(conn, service):
        return
    if service.startswith("shell:"):
        handle_shell(conn, service[len("shell:"):])
    elif service == "sync:":
        handle_sync(conn)
    else:
        conn.send(fail("unknown device service"))
        conn.wait_peer_close()


def handle(sock, number):
    conn = Conn(sock, number)
    log(ev="accept", conn=number)
    try:
        sock.settimeout(60)
        if CONFIG.get("silent"):
            conn.wait_peer_close()
            return
        service = read_request(conn)
        if scripted(conn, service):
            return
        serial = CONFIG.get("serial", "127.0.0.1:5555")
        # A real server closes the connection after these answers.
        if service == "host:version":
            version = CONFIG.get("version", "001f")
            conn.send(okay() + ("%04x" % len(version)).encode() + version.encode("latin-1"))
            conn.log_closed("server")
        elif service in ("host:features", "host-serial:%s:features" % serial):
            features = CONFIG.get("features", "").encode("latin-1")
            conn.send(okay() + ("%04x" % len(features)).encode() + features)
            conn.log_closed("server")
        elif service == "host:kill":
            conn.send(okay())
            log(ev="kill", conn=number)
            try:
                LISTENER.close()
            except OSError:
                pass
            sock.close()
            os._exit(0)
        elif service.startswith("host:transport:") or service.startswith("host:tport:"):
            # "host:tport:serial:<serial>" (or "any") also answers an 8-byte transport id.
            tport = service.startswith("host:tport:")
            wanted = service.split(":", 2)[2]
            if tport and wanted.startswith("serial:"):
                wanted = wanted[len("serial:"):]
            elif tport and wanted == "any":
                wanted = serial
            absent = False
            if not tport:
                with DEVICE_LOCK:
                    TRANSPORT_COUNT[0] += 1
                    absent = TRANSPORT_COUNT[0] <= int(CONFIG.get("device_absent_first", 0))
            if wanted != serial or absent:
                conn.send(fail("device '%s' not found" % wanted))
                conn.wait_peer_close()
                return
            conn.send(okay() + (struct.pack("<Q", 1) if tport else b""))
            handle_device(conn, read_request(conn))
        elif service in ("host:transport-any", "host:transport-usb", "host:transport-local"):
            conn.send(okay())
            handle_device(conn, read_request(conn))
        else:
            conn.send(fail("unknown host service"))
            conn.wait_peer_close()
    except Closed:
        conn.log_closed("peer")
    except OSError as e:
        log(ev="error", conn=number, text=str(e))
        conn.log_closed("peer")
    finally:
        try:
            sock.close()
        except OSError:
            pass


def main():
    global LOG_PATH, STORE, CONFIG, LISTENER
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--config")
    p.add_argument("--log", required=True)
    p.add_argument("--store", required=True)
    p.add_argument("--time-limit", type=float, default=120)
    a = p.parse_args()
    LOG_PATH = a.log
    STORE = a.store
    if a.config:
        with open(a.config) as f:
            CONFIG = json.load(f)
    timer = threading.Timer(a.time_limit, lambda: os._exit(3))
    timer.daemon = True
    timer.start()
    LISTENER = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    LISTENER.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    LISTENER.bind(("127.0.0.1", a.port))
    LISTENER.listen(64)
    port = LISTENER.getsockname()[1]
    ready = os.environ.get("TARVO_READY_FILE")
    if ready:
        with open(ready + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.rename(ready + ".tmp", ready)
    number = 0
    while True:
        try:
            sock, _ = LISTENER.accept()
        except OSError:
            break
        number += 1
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=handle, args=(sock, number), daemon=True).start()


if __name__ == "__main__":
    main()
