#!/usr/bin/env python3
"""Runs TarvoLoader.exe the way the product's setup package leaves it, in a Wine
prefix of its own, against the sample channel on 127.0.0.1, and collects what
the run did. Standard library only. Used by scripts/run-loader-inner.sh and by
qv_road_e2e.py.

A Road owns one prefix and one channel server:
  road = Road(arch_dir, prefix, files=[case_dir], channel={"romversion": ...})
  run = road.run(["-s", "--backinstall"], modes="...")   # a Run
  road.close()

A VBox road (vbox=VBox(cpu="amd", adb={...})) also has the VirtualBox stand-ins'
state folder (VBOX_STANDIN_DIR, fresh in the prefix), the player stand-in's
state and record, the processor given to the loader's test build
(TARVO_TEST_CPU; bin/seams/TarvoLoader.exe unless another loader is given), and
the fake adb host server on 127.0.0.1:52817, started before the run and ended
by its pid. road.seed([...]) runs vbox_standin_seed.exe; close() ends every
stand-in and player pid that the records list as running.

As a program (run-loader-inner.sh):
  road.py --arch-dir BUILD/ARCH --prefix DIR [--keep-prefix] [--vbox] [words...]
prints the run, a summary and the paths, and exits with the run-loader rule:
the loader's code when it is not 0, else 1 when the log says "install end: <negative>",
else 0.
"""
import argparse
import codecs
import ctypes
import fcntl
import getpass
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import prefix_copy  # noqa: E402
HOST_KEYS = ("stat_host", "product_host", "market_host", "market_down_host", "market_stat_host", "www_host",
             "cdn_host")
# Stand-ins that keep running after the loader: the services and the front-end.
LONG_LIVED = {"TV-Service", "tvHdDrv", "TV-Frontend", "TarvoHelper", "helper_service_stub", "VBoxSVC", "VBoxHeadless",
              "VBoxNetDHCP", "VirtualBox"}
ADB_PORT = 52817  # the product's adb client never changes it
VBOX_STATE = "vbox-state"  # C:\vbox-state
LOADER_LIMIT_S = 600
# One loader run of a test case: seconds alone, about a minute on a loaded machine;
# a hung run ends here, well inside the time limit of its test.
RUN_LIMIT_S = 180
SETTLE_LIMIT_S = 30
QUIET_S = 1.5
UNLISTED_QUIET_S = 5


def wine_loader():
    try:
        subprocess.run(["/lib/ld-linux.so.2", "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
        return "wine"
    except (OSError, subprocess.CalledProcessError):
        return "/usr/lib/wine/wine64"


def decode_debugstr(text):
    """A Wine debugstr text back to characters."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "u" and re.match(r"[0-9a-fA-F]{4}", text[i + 2:i + 6]):
                out.append(chr(int(text[i + 2:i + 6], 16)))
                i += 6
                continue
            if n == "x" and re.match(r"[0-9a-fA-F]{2}", text[i + 2:i + 4]):
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    text = "".join(out)
    # Narrow debugger output arrives as bytes of code page 936.
    try:
        return text.encode("latin-1").decode("gbk")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return text


class Run:
    """What one loader run did."""

    def __init__(self):
        self.exit_code = None       # None: killed at the time limit
        self.debug = []             # debugger-output lines
        self.log = []               # this run's log lines, whole
        self.requests = []          # request lines ("GET /path HTTP/1.1") of this run
        self.record = []            # stand-in record: (program, pid, event, details)
        self.vbox_record = []       # the VirtualBox stand-ins' record, the same fields
        self.player = []            # the player stand-in's command lines
        self.player_state = []      # its state lines ("pid <n>", "vm-mutex <name>", ...)
        self.adb = []               # the fake adb server's log objects
        self.probe = {}

    def log_messages(self):
        """The log lines without their time and thread columns."""
        out = []
        for line in self.log:
            at = line.find(", , ")
            out.append(line[at + 4:] if at >= 0 else line)
        return out

    def install_result(self):
        result = None
        for m in self.log_messages():
            hit = re.match(r"install end: (-?\d+)$", m)
            if hit:
                result = int(hit.group(1))
        return result

    def actions(self):
        """/Stat action words and market pings, in order."""
        out = []
        for r in self.requests:
            path = r.split(" ")[1] if " " in r else r
            if path.startswith("/Stat?action="):
                out.append(path[len("/Stat?action="):].split("&")[0])
            elif path.startswith("/Stat/getPeerfetchUrl"):
                out.append("ping:peerfetch")
            elif path.startswith("/mobi.html"):
                out.append("ping:mobi")
            elif path.startswith("/Orvekmobilemgr/"):
                out.append("ping:cdn")
        return out

    def starts(self, program):
        return [d for p, _, e, d in self.record if p == program and e == "start"]

    def exit_rule(self):
        if self.exit_code is None:
            return 1
        if self.exit_code != 0:
            return self.exit_code
        result = self.install_result()
        return 1 if result is not None and result < 0 else 0


class VBox:
    """What a VBox road adds: the processor of the test build, the fake adb
    server's script (fake_adb.py --config), and the loader to run."""

    def __init__(self, cpu="amd", adb=None, loader=None):
        self.cpu = cpu
        self.adb = adb or {}
        self.loader = loader  # default: the test build bin/seams/TarvoLoader.exe


def end_with_parent():
    """In a child before its program starts: SIGTERM when the parent ends (Linux)."""
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def read_lines(path, encoding="utf-8"):
    try:
        with open(path, "rb") as f:
            return f.read().decode(encoding, "replace").splitlines()
    except OSError:
        return []


def end_wineserver(build_dir, prefix):
    """Ends the wineserver of that prefix (and every program of it)."""
    if os.path.isdir(prefix):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix,
                                                      HOME=os.path.join(build_dir, "wine", "home")),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def copy_template(arch_dir, prefix, env):
    """A fresh prefix is a copy of one that wine-run set up once for this
    architecture (half a minute saved per case); the copy has its own wineserver."""
    build_dir = os.path.dirname(arch_dir)
    template = os.path.join(build_dir, "wine", "road-template-" + os.path.basename(arch_dir))
    os.makedirs(os.path.dirname(template), exist_ok=True)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        ready = os.path.join(template, "drive_c", ".road-template")
        if not os.path.exists(ready):
            shutil.rmtree(template, ignore_errors=True)
            template_env = dict(env, TARVO_BUILD_DIR=build_dir, TARVO_WINEPREFIX=template)
            subprocess.run([os.path.join(ROOT, "scripts", "wine-run"),
                            os.path.join(arch_dir, "bin", "qv_road_probe.exe")],
                           env=template_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=900)
            end_wineserver(build_dir, template)
            subprocess.run(["wineserver", "-w"], env=dict(env, WINEPREFIX=template,
                                                          HOME=os.path.join(build_dir, "wine", "home")),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            if os.path.isdir(os.path.join(template, "drive_c")):
                open(ready, "w").close()
        if os.path.exists(ready):
            os.makedirs(os.path.dirname(prefix), exist_ok=True)
            prefix_copy.copy_prefix(template, prefix)
            os.remove(os.path.join(prefix, "drive_c", ".road-template"))


def fresh_prefix(arch_dir, prefix):
    """The prefix made afresh from the template, its old wineserver ended first."""
    arch_dir, prefix = os.path.abspath(arch_dir), os.path.abspath(prefix)
    end_wineserver(os.path.dirname(arch_dir), prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    copy_template(arch_dir, prefix, os.environ)


class Road:
    def __init__(self, arch_dir, prefix, files=(), channel=None, keep_prefix=False, vbox=None,
                 run_limit=LOADER_LIMIT_S):
        self.arch_dir = os.path.abspath(arch_dir)
        self.run_limit = run_limit  # of each loader run
        self.build_dir = os.path.dirname(self.arch_dir)
        self.prefix = os.path.abspath(prefix)
        self.bin = os.path.join(self.arch_dir, "bin")
        self.work = tempfile.mkdtemp(prefix="qvroad-")
        self.server = None
        self.base = None
        self.request_log = os.path.join(self.work, "requests.log")
        self.env = dict(os.environ, TARVO_BUILD_DIR=self.build_dir, TARVO_WINEPREFIX=self.prefix)
        self.env.pop("QV_STANDIN_DIR", None)
        self.vbox = vbox
        self.adb = None
        if vbox:
            state = "C:\\" + VBOX_STATE
            self.env.update(VBOX_STANDIN_DIR=state, TARVO_PLAYER_MODE="run", TARVO_PLAYER_LINGER_MS="1800000",
                            TARVO_PLAYER_STATE=state + "\\player-state.txt",
                            TARVO_PLAYER_RECORD=state + "\\player-record.txt")
            if vbox.cpu:
                self.env["TARVO_TEST_CPU"] = vbox.cpu
        if not keep_prefix:
            self._kill_wineserver()
            shutil.rmtree(self.prefix, ignore_errors=True)
            self._copy_template()
        # A prefix that is not there comes from wine-run's own set-up (slow on a loaded
        # machine); the probe is the first program.
        self.probe(limit=900)
        user = os.path.join(self.prefix, "drive_c", "users", getpass.getuser())
        self.user_data = os.path.join(user, "AppData", "Roaming", "tarvozhushou")
        self.program_data = os.path.join(self.prefix, "drive_c", "ProgramData")
        self.log_path = os.path.join(self.user_data, "log", "TarvoLoader.log")
        self.record_path = os.path.join(self.program_data, "qv-standin", "record.log")
        self.vbox_state = os.path.join(self.prefix, "drive_c", VBOX_STATE)
        self.vbox_record_path = os.path.join(self.vbox_state, "record.log")
        self.adb_log = os.path.join(self.work, "adb.log")
        self.docs = os.path.join(self.work, "channel")
        self.set_channel(channel or {})
        self._start_server(list(files) + [os.path.join(self.arch_dir, "sample_files")])
        loader = os.path.join(self.bin, "TarvoLoader.exe")
        if vbox:
            shutil.rmtree(self.vbox_state, ignore_errors=True)
            os.makedirs(self.vbox_state)
            self._start_adb(vbox.adb)
            loader = vbox.loader or os.path.join(self.bin, "seams", "TarvoLoader.exe")
        self._place_loader(loader)

    # -- set-up ----------------------------------------------------------------

    def _copy_template(self):
        copy_template(self.arch_dir, self.prefix, self.env)

    def set_channel(self, changes):
        """The sample channel's documents, with changes to the entry of every channel."""
        shutil.rmtree(self.docs, ignore_errors=True)
        shutil.copytree(os.path.join(ROOT, "testing", "sample_channel"), self.docs)
        path = os.path.join(self.docs, "channel_config.json")
        with open(path, encoding="utf-8") as f:
            entries = json.load(f)
        for entry in entries:
            entry.update(changes)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(entries, f, ensure_ascii=False, indent=2)

    def _start_server(self, files):
        ready = os.path.join(self.work, "ready")
        args = [sys.executable, os.path.join(ROOT, "testing", "channel_fixture", "server.py"), "--root", self.docs,
                "--substitute", "--log", self.request_log, "--lifetime", "3600"]
        for folder in files:
            args += ["--files", folder]
        self.server = subprocess.Popen(args, env=dict(os.environ, TARVO_READY_FILE=ready),
                                       stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.work, "server.err"),
                                                                               "wb"))
        for _ in range(200):
            if os.path.exists(ready) and open(ready).read().strip():
                break
            if self.server.poll() is not None:
                raise RuntimeError("the channel server ended: " + open(os.path.join(self.work, "server.err")).read())
            time.sleep(0.05)
        port = int(open(ready).read().split()[0])
        self.base = "http://127.0.0.1:%d" % port

    def _start_adb(self, config):
        """The fake adb host server on the product's port, its log in the work folder."""
        ready = os.path.join(self.work, "adb.ready")
        store = os.path.join(self.work, "adb-store")
        os.makedirs(store, exist_ok=True)
        args = [sys.executable, os.path.join(ROOT, "testing", "fake_adb", "fake_adb.py"), "--port", str(ADB_PORT),
                "--log", self.adb_log, "--store", store, "--time-limit", "1800"]
        if config:
            path = os.path.join(self.work, "adb.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(config, f)
            args += ["--config", path]
        err = os.path.join(self.work, "adb.err")
        # It holds a fixed port: it ends with this driver, also when the driver is killed.
        self.adb = subprocess.Popen(args, env=dict(os.environ, TARVO_READY_FILE=ready), stdout=subprocess.DEVNULL,
                                    stderr=open(err, "wb"), preexec_fn=end_with_parent)
        for _ in range(1200):
            if os.path.exists(ready) and open(ready).read().strip():
                return
            if self.adb.poll() is not None:
                raise RuntimeError("the fake adb server did not start on %d: %s" % (ADB_PORT, open(err).read()))
            time.sleep(0.05)
        raise RuntimeError("the fake adb server did not get ready on %d" % ADB_PORT)

    def _place_loader(self, loader):
        """Where the product's setup package puts the loader, with developer settings
        that point every host at the server."""
        os.makedirs(self.user_data, exist_ok=True)
        shutil.copy(loader, os.path.join(self.user_data, "TarvoLoader.exe"))
        with open(os.path.join(self.user_data, "tarvo-dev.lic"), "w", newline="") as f:
            f.write("online=1\r\n")
            for key in HOST_KEYS:
                f.write("%s=%s\r\n" % (key, self.base))

    def write_modes(self, modes):
        state = os.path.join(self.program_data, "qv-standin")
        os.makedirs(state, exist_ok=True)
        path = os.path.join(state, "modes.ini")
        if modes:
            with open(path, "w", newline="") as f:
                f.write(modes.replace("\r\n", "\n").replace("\n", "\r\n"))
        elif os.path.exists(path):
            os.remove(path)

    # -- running ---------------------------------------------------------------

    def seed(self, args, limit=300):
        """vbox_standin_seed.exe with args; its JSON (empty when it failed)."""
        out_file = os.path.join(self.work, "seed.out")
        with open(out_file, "wb") as out:
            # Into a file: the programs it leaves running keep Wine's stdio open.
            rc, _ = self.wine_run(os.path.join(self.bin, "vbox_standin", "vbox_standin_seed.exe"), args, limit,
                                  stdout=out)
        text = open(out_file, "rb").read().decode("utf-8", "replace")
        try:
            seeded = json.loads(text)
        except ValueError:
            seeded = {}
        if rc != 0 or not seeded.get("ok"):
            raise RuntimeError("vbox_standin_seed %s failed (%s): %s" % (" ".join(args), rc, text))
        return seeded

    def wine_run(self, exe, args, timeout, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, debug=None, env=None):
        env = dict(self.env, **(env or {}))
        if debug:
            env["WINEDEBUG"] = debug
        proc = subprocess.Popen([os.path.join(ROOT, "scripts", "wine-run"), exe] + list(args), env=env,
                                stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr, start_new_session=True)
        try:
            out, _ = proc.communicate(timeout=timeout)
            return proc.returncode, out
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return None, None

    def probe(self, limit=120):
        rc, out = self.wine_run(os.path.join(self.bin, "qv_road_probe.exe"), [], limit)
        if rc != 0 or not out:
            return {}
        try:
            return json.loads(out.decode("utf-8", "replace"))
        except ValueError:
            return {"unreadable": out.decode("utf-8", "replace")}

    def read_record(self, path=None):
        out = []
        for line in read_lines(path or self.record_path):
            fields = line.split("\t", 3)
            if len(fields) == 4:
                out.append((fields[0], int(fields[1]) if fields[1].isdigit() else 0, fields[2], fields[3]))
        return out

    def _settled(self, record):
        running = {}
        for program, pid, event, _ in record:
            if program in LONG_LIVED:
                continue
            if event == "start":
                running[pid] = program
            elif event in ("exit", "hang-end") or event.startswith("crash"):
                running.pop(pid, None)
        return not running

    def _short_lived_processes(self):
        """Images of the prefix's processes that are neither Wine's own, nor the
        long-lived stand-ins and the player, nor this probe; None when the list
        cannot be read."""
        rc, out = self.wine_run(os.path.join(self.bin, "qv_road_probe.exe"), ["--processes"], 60)
        try:
            listed = json.loads(out.decode("utf-8", "replace"))["processes"] if rc == 0 and out else None
        except (ValueError, KeyError):
            listed = None
        if listed is None:
            return None
        out = []
        for p in listed:
            image = p.get("image", "")
            name = re.sub(r"\.exe$", "", image.split("\\")[-1], flags=re.I)
            if image.lower().startswith("c:\\windows\\") or name in LONG_LIVED | {"TarvoPlayer", "qv_road_probe"}:
                continue
            out.append(image)
        return out

    def run(self, words, modes=None):
        """Runs the loader with words, for at most run_limit seconds, and collects the Run."""
        self.write_modes(modes)
        run = Run()
        log_before = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        requests_before = self._request_lines()
        record_before = len(self.read_record())
        vbox_before = len(self.read_record(self.vbox_record_path))
        player_before = len(read_lines(os.path.join(self.vbox_state, "player-record.txt")))
        state_before = len(read_lines(os.path.join(self.vbox_state, "player-state.txt")))
        adb_before = len(read_lines(self.adb_log))
        debug_file = os.path.join(self.work, "debug.txt")
        with open(debug_file, "wb") as err:
            # Into a file, not a pipe: programs that the loader starts keep Wine's stdio open.
            run.exit_code, _ = self.wine_run(os.path.join(self.user_data, "TarvoLoader.exe"), words, self.run_limit,
                                             stdout=err, stderr=err, debug="-all,warn+seh,+debugstr")
        # Tools that the loader started without waiting finish first. A tool that is
        # still starting has no line yet but is a process of the prefix already; a
        # long-lived program may still start one, so the record also stays quiet a while.
        deadline = time.time() + SETTLE_LIMIT_S
        seen, quiet_since = -1, time.time()
        while time.time() < deadline:
            record = self.read_record()[record_before:] + self.read_record(self.vbox_record_path)[vbox_before:]
            if len(record) != seen:
                seen, quiet_since = len(record), time.time()
            elif self._settled(record) and time.time() - quiet_since >= QUIET_S:
                left = self._short_lived_processes()
                # Without a process list only a longer quiet tells.
                if left == [] or (left is None and time.time() - quiet_since >= UNLISTED_QUIET_S):
                    break
            time.sleep(0.25)
        with open(debug_file, "rb") as f:
            for raw in f.read().decode("latin-1").splitlines():
                hit = re.search(r'OutputDebugString[AW] "(.*)"(\.\.\.)?$', raw)
                if hit:
                    run.debug.append(decode_debugstr(hit.group(1)).rstrip("\r\n") + (hit.group(2) or ""))
        if os.path.exists(self.log_path):
            with open(self.log_path, "rb") as f:
                f.seek(log_before)
                run.log = codecs.decode(f.read(), "gbk", "replace").splitlines()
        run.requests = self._request_lines()[len(requests_before):]
        run.record = self.read_record()[record_before:]
        run.vbox_record = self.read_record(self.vbox_record_path)[vbox_before:]
        run.player = read_lines(os.path.join(self.vbox_state, "player-record.txt"))[player_before:]
        run.player_state = read_lines(os.path.join(self.vbox_state, "player-state.txt"))[state_before:]
        for line in read_lines(self.adb_log)[adb_before:]:
            try:
                run.adb.append(json.loads(line))
            except ValueError:
                pass
        run.probe = self.probe()
        return run

    def _request_lines(self):
        try:
            with open(self.request_log, "rb") as f:
                text = f.read().decode("latin-1")
        except OSError:
            return []
        return [l for l in text.splitlines() if re.match(r"(GET|HEAD|POST) /", l)]

    # -- tear-down -------------------------------------------------------------

    def _kill_wineserver(self):
        end_wineserver(self.build_dir, self.prefix)

    def running_pids(self):
        """"pid:image" of every stand-in and player that the records list as
        started and not ended."""
        running, player = {}, None
        for path in (self.record_path, self.vbox_record_path):
            for program, pid, event, _ in self.read_record(path):
                if event == "start":
                    running[pid] = program + ".exe"
                elif event in ("exit", "hang-end") or event.startswith("crash"):
                    running.pop(pid, None)
        for line in read_lines(os.path.join(self.vbox_state, "player-state.txt")):
            if line.startswith("pid ") and line[4:].isdigit():
                player = int(line[4:])
                running[player] = "TarvoPlayer.exe"
            elif line == "exit":
                running.pop(player, None)
        return ["%d:%s" % item for item in sorted(running.items()) if item[0]]

    def close(self, remove_prefix=False):
        """Ends the stand-ins and players that still run, stops the servers and this
        prefix's wineserver (and with it the services that the run started); removes
        the prefix when asked."""
        if self.vbox and os.path.isdir(self.prefix):
            pids = self.running_pids()
            if pids:
                self.wine_run(os.path.join(self.bin, "vbox_standin", "vbox_standin_seed.exe"), ["--end"] + pids, 120,
                              stdout=subprocess.DEVNULL)
        for proc in (self.adb, self.server):
            if proc:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
        self.adb = None
        self.server = None
        self._kill_wineserver()
        if remove_prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def keep_work(self, folder):
        """Copies the request log and server output next to a kept prefix."""
        os.makedirs(folder, exist_ok=True)
        for name in ("requests.log", "server.err", "debug.txt", "adb.log", "adb.err", "seed.out"):
            if os.path.exists(os.path.join(self.work, name)):
                shutil.copy(os.path.join(self.work, name), os.path.join(folder, name))


# -- summary of run-loader.sh ---------------------------------------------------

STATES = {1: "stopped", 2: "start pending", 3: "stop pending", 4: "running"}


def summary(run):
    p = run.probe or {}
    out = []
    result = run.install_result()
    out.append("install result: %s" % ("(no install ran)" if result is None else result))
    key = (p.get("qv_keys") or {}).get("SOFTWARE\\tarvoGames") or {}
    out.append("engine folder: %s" % (key.get("InstallDir") or "(none)"))
    out.append("engine version: %s" % (key.get("Version") or "(none)"))
    for name, svc in sorted((p.get("services") or {}).items()):
        if svc.get("exists"):
            out.append("service %s: %s, %s" % (name, STATES.get(svc.get("state"), svc.get("state")), svc.get("binary")))
        else:
            out.append("service %s: absent" % name)
    entry = p.get("uninstall_entry")
    if entry:
        out.append("uninstall entry: %s, version %s, %s" % (entry.get("key"), entry.get("DisplayVersion"),
                                                            entry.get("UninstallString")))
    else:
        out.append("uninstall entry: (none)")
    for link in p.get("links") or []:
        out.append("shortcut %s -> %s %s" % (link.get("path"), link.get("target"), link.get("arguments") or ""))
    for link in p.get("urls") or []:
        out.append("web link %s -> %s" % (link.get("path"), link.get("url")))
    files = (p.get("user_data_files") or {}).get("files") or {}
    installed = {d.split(" ")[0] for prog, _, e, d in run.record if e == "apk-installed"}
    installed |= {e.get("package") for e in run.adb if e.get("ev") == "installed"}
    for name in sorted(files):
        if re.match(r"apps\\app_[^\\]+\\app\.ini$", name):
            out.append("app %s: %s" % (name.split("\\")[1], "in the engine" if installed else "not in the engine"))
    launched = ["%s %s" % (prog, d) for prog, _, e, d in run.record if e in ("runapp", "launcher", "frontend")]
    out.append("launched: %s" % ("; ".join(launched) if launched else "(nothing)"))
    return out


def vbox_summary(run):
    """The VirtualBox set-up that a VBox run left, and the stand-ins' record."""
    p = run.probe or {}
    out = ["player folder: %s" % ((p.get("adapter_ini") or {}).get("install_path") or "(none)")]
    for name, value in sorted((p.get("com_registrations") or {}).items()):
        out.append("registration %s: %s" % (name, value or "(none)"))
    drv = (p.get("services") or {}).get("VBoxDrv") or {}
    counters = p.get("vbox_driver") or {}
    out.append("driver VBoxDrv: %s, loads %s, unloads %s" % (
        "%s, %s" % (STATES.get(drv.get("state"), drv.get("state")), drv.get("binary")) if drv.get("exists")
        else "absent", counters.get("Loads") or 0, counters.get("Unloads") or 0))
    settings = p.get("vbox_settings") or {}
    out.append("settings file: %s%s" % (settings.get("path"), "" if settings.get("loads") else " (missing or unreadable)"))
    for m in settings.get("machines") or []:
        out.append("machine %s: %s" % (m.get("uuid"), m.get("src")))
    out.append("player starts: %s" % ("; ".join(run.player) if run.player else "(none)"))
    out.append("--- VirtualBox stand-ins' record")
    for program, pid, event, details in run.vbox_record:
        out.append("%s %d %s %s" % (program, pid, event, details.replace("\t", " | ")))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch-dir", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--keep-prefix", action="store_true")
    parser.add_argument("--vbox", action="store_true")
    parser.add_argument("words", nargs=argparse.REMAINDER)
    a = parser.parse_args()
    words = [w for w in a.words if w != "--"] or (["-s", "--cno", "52818"] if a.vbox else ["-s", "--backinstall"])
    road = Road(a.arch_dir, a.prefix, keep_prefix=a.keep_prefix, vbox=VBox(cpu="amd") if a.vbox else None)
    try:
        print("sample channel on %s" % road.base)
        print("loader words: %s" % " ".join(words))
        run = road.run(words)
        for line in run.debug:
            print(line)
        print("TarvoLoader exit code: %s" % ("killed after %d s" % road.run_limit if run.exit_code is None
                                              else run.exit_code))
        print("--- this run's lines of %s" % road.log_path)
        for line in run.log:
            print(line)
        print("--- summary")
        for line in summary(run):
            print(line)
        if a.vbox:
            for line in vbox_summary(run):
                print(line)
        kept = os.path.join(os.path.dirname(a.prefix), "run-files")
        road.keep_work(kept)
        with open(os.path.join(kept, "probe.json"), "w", encoding="utf-8") as f:
            json.dump(run.probe, f, ensure_ascii=False, indent=1)
        print("prefix: %s" % road.prefix)
        print("log: %s" % road.log_path)
        print("requests: %s" % os.path.join(kept, "requests.log"))
        print("stand-in record: %s" % (road.vbox_record_path if a.vbox else road.record_path))
        if a.vbox:
            print("adb log: %s" % os.path.join(kept, "adb.log"))
        print("probe: %s" % os.path.join(kept, "probe.json"))
        sys.stdout.flush()
        return run.exit_rule()
    finally:
        road.close()
        shutil.rmtree(road.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
