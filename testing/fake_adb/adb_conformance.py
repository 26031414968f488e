#!/usr/bin/env python3
"""Conformance harness: Debian's adb server with a fake device behind it.

  client --> version shim (port written to $TARVO_READY_FILE)
               "host:version" answered with 31 (Debian's server says 41);
               every other connection relayed byte for byte
         --> Debian's adb server on a port of its own (never 5037)
         --> fake device on 127.0.0.1:<devport>, outside 5555-5585, attached
             with "adb -P <p> connect"; it speaks the transport protocol
             (CNXN, OPEN, OKAY, WRTE, CLSE) and serves "shell:" and "sync:".

The device port is logged as {"ev": "device", "port": N}; shell commands, sync
messages and stored files are logged like fake_adb.py does (--log, --store).
The adb server runs with its own HOME and TMPDIR under a temporary folder and is
ended with "adb -P <p> kill-server" and by its pid. Everything stops after
--time-limit seconds or on SIGTERM.
"""
import argparse
import binascii
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ADB = "/usr/bin/adb"
LOG_LOCK = threading.Lock()
LOG_PATH = None
STORE = None
STATE = {"server": None, "port": None, "home": None, "stored": 0}

A_CNXN = 0x4E584E43
A_OPEN = 0x4E45504F
A_OKAY = 0x59414B4F
A_CLSE = 0x45534C43
A_WRTE = 0x45545257
A_AUTH = 0x48545541
VERSION = 0x01000001
MAXDATA = 256 * 1024
BANNER = b"device::ro.product.name=fake;ro.product.model=fake;ro.product.device=fake;features="
SHELL = {"echo hi": b"hi\n"}
FOLDERS = {"/sdcard", "/sdcard/", "/data/local/tmp"}


def log(**event):
    event["t"] = int(time.time() * 1000)
    with LOG_LOCK:
        with open(LOG_PATH, "a") as f:
            f.write(json.dumps(event, sort_keys=True) + "\n")


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError()
        data += chunk
    return data


# --- fake device --------------------------------------------------------------------

class SyncParser:
    """Puts sync messages back together across WRTE payloads."""

    def __init__(self, stream):
        self.buf = b""
        self.stream = stream
        self.sending = None
        self.data = b""

    def feed(self, data):
        self.buf += data
        while True:
            if len(self.buf) < 8:
                return
            ident = self.buf[:4].decode("latin-1")
            (arg,) = struct.unpack("<I", self.buf[4:8])
            need = 8 + arg if ident in ("LIST", "STAT", "SEND", "DATA") else 8
            if len(self.buf) < need:
                return
            payload = self.buf[8:need]
            head = self.buf[:8]
            self.buf = self.buf[need:]
            self.message(ident, arg, head, payload)

    def message(self, ident, arg, head, payload):
        event = dict(ev="sync", conn=self.stream.remote, id=ident, arg=arg, header=binascii.hexlify(head).decode())
        if ident != "DATA":
            event["payload"] = payload.decode("utf-8", "replace")
        else:
            event["size"] = len(payload)
        log(**event)
        if ident == "LIST":
            out = b""
            for name, mode in ((".", 0o40771), ("..", 0o40755), ("hello.txt", 0o100660)):
                n = name.encode()
                out += b"DENT" + struct.pack("<IIII", mode, 0, 0, len(n)) + n
            self.stream.write(out + b"DONE" + b"\0" * 16)
        elif ident == "STAT":
            path = payload.decode("utf-8", "replace")
            mode = 0o40771 if path in FOLDERS else 0
            self.stream.write(b"STAT" + struct.pack("<III", mode, 0, 0))
        elif ident == "SEND":
            self.sending = payload.decode("utf-8", "replace")
            self.data = b""
        elif ident == "DATA":
            self.data += payload
        elif ident == "DONE" and self.sending is not None:
            path, _, mode = self.sending.rpartition(",")
            STATE["stored"] += 1
            name = "stored_%d.bin" % STATE["stored"]
            with open(os.path.join(STORE, name), "wb") as f:
                f.write(self.data)
            log(ev="stored", conn=self.stream.remote, path=path, mode=mode, mtime=arg, file=name, size=len(self.data))
            self.sending = None
            self.stream.write(b"OKAY" + struct.pack("<I", 0))
        elif ident == "QUIT":
            self.stream.close()


class Stream:
    """One service stream of the device: at most one WRTE awaiting the host's OKAY."""

    def __init__(self, device, local, remote):
        self.device = device
        self.local = local
        self.remote = remote
        self.queue = []
        self.waiting = False
        self.closing = False
        self.sync = None

    def write(self, data):
        for i in range(0, len(data), MAXDATA):
            self.queue.append(data[i:i + MAXDATA])
        self.pump()

    def close(self):
        self.closing = True
        self.pump()

    def acked(self):
        self.waiting = False
        self.pump()

    def pump(self):
        if self.waiting:
            return
        if self.queue:
            self.waiting = True
            self.device.send(A_WRTE, self.local, self.remote, self.queue.pop(0))
        elif self.closing:
            self.device.send(A_CLSE, self.local, self.remote, b"")
            self.device.streams.pop(self.local, None)


class Device:
    def __init__(self, sock):
        self.sock = sock
        self.streams = {}
        self.next_id = 1
        self.lock = threading.Lock()

    def send(self, cmd, arg0, arg1, data):
        header = struct.pack("<6I", cmd, arg0, arg1, len(data), sum(data) & 0xFFFFFFFF, cmd ^ 0xFFFFFFFF)
        with self.lock:
            self.sock.sendall(header + data)

    def run(self):
        while True:
            cmd, arg0, arg1, length, _check, _magic = struct.unpack("<6I", recv_exact(self.sock, 24))
            data = recv_exact(self.sock, length) if length else b""
            if cmd == A_CNXN:
                log(ev="cnxn", banner=data.decode("latin-1", "replace"))
                self.send(A_CNXN, VERSION, MAXDATA, BANNER)
            elif cmd == A_OPEN:
                service = data.rstrip(b"\0").decode("utf-8", "replace")
                log(ev="open", service=service, remote=arg0)
                local = self.next_id
                self.next_id += 1
                stream = Stream(self, local, arg0)
                if service.startswith("shell:"):
                    self.streams[local] = stream
                    self.send(A_OKAY, local, arg0, b"")
                    output = SHELL.get(service[len("shell:"):], b"")
                    if output:
                        stream.write(output)
                    stream.close()
                elif service == "sync:":
                    self.streams[local] = stream
                    stream.sync = SyncParser(stream)
                    self.send(A_OKAY, local, arg0, b"")
                else:
                    self.send(A_CLSE, 0, arg0, b"")
            elif cmd == A_WRTE:
                stream = self.streams.get(arg1)
                if stream is None:
                    continue
                self.send(A_OKAY, stream.local, stream.remote, b"")
                if stream.sync:
                    stream.sync.feed(data)
            elif cmd == A_OKAY:
                stream = self.streams.get(arg1)
                if stream:
                    stream.acked()
            elif cmd == A_CLSE:
                stream = self.streams.pop(arg1, None)
                log(ev="clse", remote=arg0, known=stream is not None)
            elif cmd == A_AUTH:
                log(ev="auth")


def device_loop(listener):
    while True:
        try:
            sock, _ = listener.accept()
        except OSError:
            return
        log(ev="device_accept")

        def serve(s=sock):
            try:
                Device(s).run()
            except (EOFError, OSError):
                pass
            finally:
                s.close()
                log(ev="device_closed")

        threading.Thread(target=serve, daemon=True).start()


# --- version shim -------------------------------------------------------------------

def relay(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    try:
        dst.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def shim_client(client, server_port):
    try:
        head = recv_exact(client, 4)
        body = recv_exact(client, int(head.decode("latin-1"), 16))
        log(ev="request", service=body.decode("latin-1"))
        if body == b"host:version":
            client.sendall(b"OKAY0004001f")
            return
        upstream = socket.create_connection(("127.0.0.1", server_port), timeout=30)
        upstream.settimeout(None)
        upstream.sendall(head + body)
        t = threading.Thread(target=relay, args=(upstream, client), daemon=True)
        t.start()
        relay(client, upstream)
        t.join(60)
        upstream.close()
    except (EOFError, OSError, ValueError):
        pass
    finally:
        client.close()


def shim_loop(listener, server_port):
    while True:
        try:
            client, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=shim_client, args=(client, server_port), daemon=True).start()


# --- the real server ----------------------------------------------------------------

def adb_env():
    env = dict(os.environ)
    env.update(HOME=STATE["home"], ANDROID_SDK_HOME=STATE["home"], TMPDIR=STATE["home"])
    return env


def adb(*args, timeout=20):
    return subprocess.run([ADB, "-P", str(STATE["port"])] + list(args), env=adb_env(), capture_output=True,
                          timeout=timeout, text=True)


def shutdown_server(*_):
    server = STATE.get("server")
    if server is not None:
        try:
            adb("kill-server", timeout=10)
        except Exception:
            pass
        try:
            server.wait(5)
        except Exception:
            server.kill()
        STATE["server"] = None
    if STATE.get("home"):
        shutil.rmtree(STATE["home"], ignore_errors=True)
    os._exit(0)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    global LOG_PATH, STORE
    p = argparse.ArgumentParser()
    p.add_argument("--log", required=True)
    p.add_argument("--store", required=True)
    p.add_argument("--time-limit", type=float, default=120)
    p.add_argument("--config")  # accepted for symmetry with fake_adb.py
    p.add_argument("--port")
    a = p.parse_args()
    LOG_PATH, STORE = a.log, a.store
    signal.signal(signal.SIGTERM, shutdown_server)
    timer = threading.Timer(a.time_limit, shutdown_server)
    timer.daemon = True
    timer.start()

    STATE["home"] = tempfile.mkdtemp(prefix="adbconf")
    device = socket.socket()
    device.bind(("127.0.0.1", 0))
    device.listen(4)
    dev_port = device.getsockname()[1]
    threading.Thread(target=device_loop, args=(device,), daemon=True).start()
    log(ev="device", port=dev_port)

    STATE["port"] = free_port()
    # The server in the foreground, as this harness's own child (ended by pid too).
    STATE["server"] = subprocess.Popen([ADB, "-P", str(STATE["port"]), "nodaemon", "server"], env=adb_env(),
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=open(os.path.join(STATE["home"], "server.log"), "w"))
    deadline = time.time() + 20
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", STATE["port"]), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)
    serial = "127.0.0.1:%d" % dev_port
    r = adb("connect", serial)
    log(ev="connect", stdout=r.stdout, stderr=r.stderr)
    online = False
    while time.time() < deadline and not online:
        r = adb("devices")
        online = ("%s\tdevice" % serial) in r.stdout
        if not online:
            time.sleep(0.2)
    log(ev="online", ok=online)
    if not online:
        shutdown_server()

    shim = socket.socket()
    shim.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    shim.bind(("127.0.0.1", 0))
    shim.listen(16)
    threading.Thread(target=shim_loop, args=(shim, STATE["port"]), daemon=True).start()
    ready = os.environ.get("TARVO_READY_FILE")
    if ready:
        with open(ready + ".tmp", "w") as f:
            f.write("%d\n" % shim.getsockname()[1])
        os.rename(ready + ".tmp", ready)
    while True:
        time.sleep(1)


if __name__ == "__main__":
    main()
