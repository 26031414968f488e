#!/usr/bin/env python3
"""The loader's whole Qv install under Wine, one case per run of this program,
each in a fresh prefix (<build>/wine/e2e-<arch>-<case>), removed after a pass
and kept, with its path printed, after a failure.

  qv_road_e2e.py --arch-dir BUILD/ARCH CASE
"""
import argparse
import os
import re
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import road  # noqa: E402

CHANNEL_DOCS = ("GET /data/channel_config.json", "GET /data/apk_config.json")
PACKAGE = "qv_engine_3.1.0.1001.zip"


class Check:
    def __init__(self):
        self.failures = []
        self.notes = []

    def that(self, ok, what, seen=None):
        if not ok:
            self.failures.append(what + ("" if seen is None else "\n      seen: %r" % (seen,)))
        return ok

    def eq(self, want, seen, what):
        return self.that(want == seen, "%s: want %r" % (what, want), seen)

    def in_order(self, seen, wanted, what):
        k = 0
        for s in seen:
            if k < len(wanted) and s == wanted[k]:
                k += 1
        return self.that(k == len(wanted), "%s in order: %r" % (what, wanted), seen)


class Case:
    def __init__(self, arch_dir, name):
        self.arch_dir = os.path.abspath(arch_dir)
        self.name = name
        arch = os.path.basename(self.arch_dir)
        self.prefix = os.path.join(os.path.dirname(self.arch_dir), "wine", "e2e-%s-%s" % (arch, name))
        self.files = tempfile.mkdtemp(prefix="qvroad-case-")
        self.check = Check()
        self.road = None

    def serve_as_package(self, generated):
        """The case folder serves a generated file under the channel's package name."""
        shutil.copy(os.path.join(self.arch_dir, "sample_files", generated), os.path.join(self.files, PACKAGE))

    def open(self, channel=None):
        self.road = road.Road(self.arch_dir, self.prefix, files=[self.files], channel=channel,
                              run_limit=road.RUN_LIMIT_S)
        return self.road

    # -- views of the probe ------------------------------------------------

    @staticmethod
    def qv_key(run, value):
        return ((run.probe.get("qv_keys") or {}).get("SOFTWARE\\tarvoGames") or {}).get(value)

    @staticmethod
    def user_files(run):
        return (run.probe.get("user_data_files") or {}).get("files") or {}

    @staticmethod
    def player_files(run):
        return (run.probe.get("player_files") or {}).get("files") or {}

    def user_data(self, run):
        return run.probe.get("user_data", "")

    def player(self, run):
        """The folder the run extracted into (the install root is chosen by free space)."""
        for m in run.log_messages():
            if m.startswith("extract main app to ") and m.endswith("..."):
                return m[len("extract main app to "):-3]
        return (run.probe.get("player_files") or {}).get("path", "")

    def links(self, run):
        return {l["path"].split("\\")[-1]: l for l in run.probe.get("links") or []}

    def task_files(self, run):
        """Files of the download's task folder (user data\\download\\...)."""
        return {k: v for k, v in self.user_files(run).items() if k.lower().startswith("download\\")}

    # -- shared checks -----------------------------------------------------

    def product_pieces_absent(self, run):
        c = self.check
        c.that(not (run.probe.get("services") or {}).get("TarvoHelper", {}).get("exists"), "no helper service")
        c.eq([], sorted(self.links(run)), "no shortcuts")
        c.eq(None, run.probe.get("uninstall_entry"), "no uninstall entry")
        c.eq(None, self.qv_key(run, "InstallDir"), "no InstallDir")

    def product_pieces_present(self, run):
        c = self.check
        data = self.user_data(run)
        helper = (run.probe.get("services") or {}).get("TarvoHelper") or {}
        c.that(helper.get("exists"), "the helper service exists", helper)
        c.eq((data + "\\TarvoHelper.exe").lower(), (helper.get("binary") or "").strip('"').lower(),
             "the helper service's program")
        c.eq(0x10, helper.get("type"), "the helper service runs in its own process")
        c.eq(2, helper.get("start"), "the helper service starts automatically")
        links = self.links(run)
        loader = data + "\\TarvoLoader.exe"
        for name, args in ((u"塔沃助手.lnk", ""), (u"卸载塔沃助手.lnk", "--uninstall")):
            link = links.get(name)
            if c.that(link is not None, "shortcut " + name, sorted(links)):
                c.eq(loader.lower(), link.get("target", "").lower(), name + " target")
                c.eq(args, link.get("arguments"), name + " arguments")
        desktop = [l for l in run.probe.get("links") or []
                   if l["path"].lower() == (run.probe.get("desktop", "?") + u"\塔沃助手.lnk").lower()]
        c.eq([loader.lower()], [l.get("target", "").lower() for l in desktop], "the desktop link targets the loader")
        menu = [l for l in run.probe.get("links") or []
                if l["path"].lower().startswith((run.probe.get("common_programs", "?") + u"\\塔沃助手\\").lower())]
        c.eq(2, len(menu), "two start-menu links")
        # No internet-shortcut object under Wine: the web-site link is only made on Windows.
        entry = run.probe.get("uninstall_entry") or {}
        c.eq(u"塔沃助手", entry.get("key"), "uninstall entry")
        c.eq('"%s" --uninstall' % loader, entry.get("UninstallString"), "UninstallString")
        c.eq(data, entry.get("InstallLocation"), "InstallLocation")

    def ended_normally(self, run, result):
        c = self.check
        c.eq(0, run.exit_code, "loader exit code")
        c.eq(result, run.install_result(), "install end")
        c.that("loader exit 0" in run.log_messages(), "loader exit 0 logged", run.log_messages()[-5:])

    # -- the cases -----------------------------------------------------------

    def fresh_rerun_upgrade(self):
        c = self.check
        r = self.open()
        run = r.run(["-s", "--backinstall"])
        self.ended_normally(run, 0)
        data, player = self.user_data(run), self.player(run)
        engine = player + "\\qvplayer"
        app_folder = data + "\\apps\\app_1001"

        # Requests: the channel documents first, then the statistics in order.
        c.eq(list(CHANNEL_DOCS), [q.rsplit(" ", 1)[0] for q in run.requests[:2]], "the channel documents first")
        c.eq(["QV_lod_start", "QV_install_start", "download_rom", "QV_download_ok", "QV_rom_download_ok",
              "QV_dotnet_no", "QV_qvinstall_start", "ping:peerfetch", "ping:mobi", "ping:cdn", "QV_install_ok"],
             run.actions(), "statistics")
        rom = [q for q in run.requests if "action=download_rom&" in q]
        if c.that(len(rom) == 1, "one download_rom", rom):
            c.that(re.search(r"&ssse3=[01]", rom[0]) and "&cpu=" in rom[0] and
                   re.search(r"&romurl=http(%3A|:)(%2F|/)(%2F|/)127\.0\.0\.1", rom[0]), "download_rom carries ssse3, cpu and romurl", rom[0])
        ok = [q for q in run.requests if "action=QV_rom_download_ok&" in q]
        c.that(len(ok) == 1 and "&mainpkg=" in ok[0], "QV_rom_download_ok carries mainpkg", ok)
        fetched = sorted(q.split(" ")[1] for q in run.requests if q.startswith("GET /files/"))
        c.that(len(fetched) == 3, "three file fetches", fetched)
        c.that("/files/" + PACKAGE in fetched, "the package was fetched", fetched)

        c.eq(engine + "\\", self.qv_key(run, "InstallDir"), "InstallDir")
        c.eq("3.1.0.1001", self.qv_key(run, "Version"), "Version")
        self.product_pieces_present(run)
        c.eq("3.1.0.1001", (run.probe.get("uninstall_entry") or {}).get("DisplayVersion"), "DisplayVersion")
        services = run.probe.get("services") or {}
        c.eq(4, (services.get("TarvoHelper") or {}).get("state"), "the helper service runs")
        for name in ("tvHdAndroidSvc", "tvHdDrv"):
            c.eq(4, (services.get(name) or {}).get("state"), name + " runs")

        pf = self.player_files(run)
        c.that("qvPlayer.exe" in pf and "qvplayer\\TV-Service.exe" in pf and "qvplayer\\engine.ini" in pf,
               "the engine's files in the player folder", sorted(pf))
        for helper in ("qvInstaller.exe", "TarvoHelper.exe", "TarvoTips.exe"):
            c.that(helper not in pf, helper + " left the player folder")
            c.that(helper in self.user_files(run), helper + " in the user data folder")
        uf = self.user_files(run)
        c.that("apps\\app_1001\\app.ini" in uf, "the app's app.ini", sorted(uf))
        c.that("apps\\app_1001\\sample_1.0.apk" not in uf, "no APK left beside app.ini")
        c.eq([], [k for k in self.task_files(run) if k.endswith(".zip")], "the package left the task folder")
        dat = [k for k in uf if k.lower().endswith("tvdata2.dat")]
        if c.that(len(dat) == 1, "tvdata2.dat", sorted(uf)):
            with open(self.unix(r, data + "\\" + dat[0]), "rb") as f:
                c.eq(2, len(f.read().splitlines()), "tvdata2.dat lines")
        app_ini = self.read_ini(r, app_folder + "\\app.ini")
        for key, want in (("id", "1001"), ("package", "com.tarvo.sample"), ("activity", ".MainActivity"),
                          ("apk", "sample_1.0.apk"), ("version", "1.0")):
            c.eq(want, app_ini.get(key), "app.ini " + key)
        for key in ("name", "latest", "tip_pics"):
            c.that(key in app_ini, "app.ini has " + key, app_ini)
        adapter = run.probe.get("adapter_ini") or {}
        c.eq(player, adapter.get("install_path"), "install_path")
        c.that("launched" not in adapter, "no launched", adapter)

        setup = '"%s\\qvInstaller.exe" install "%s"' % (data, engine)
        c.eq([setup], run.starts("qvInstaller"), "the setup's command line")
        c.that(("qvInstaller", "exit", "1") in [(p, e, d) for p, _, e, d in run.record], "the setup exits 1")
        c.eq([' "%s\\sample_1.0.apk" -h' % app_folder], run.starts("TV-ApkHandler"), "the APK tool's command line")
        events = [(p, e, d) for p, _, e, d in run.record]
        c.in_order(events, [("TV-ApkHandler", "start", ' "%s\\sample_1.0.apk" -h' % app_folder),
                            ("TV-RunApp", "start", "  -p com.tarvo.sample -a MainActivity"),
                            ("TV-Frontend", "frontend", "app com.tarvo.sample/MainActivity")], "install then launch")
        c.eq([], run.starts("TV-Quit"), "no TV-Quit")
        c.in_order(run.log_messages(), ["not install anything", "flags i: 1, u: 0, r: 0", "start install...",
                                        "do install...", "stop service and app...", "run setup...",
                                        "extract over, time: sa log", "create all ok.", "call qvInstaller ok",
                                        "install apk...", "APK had install", "install ok!", "app 1001 exists!"],
                   "log lines")

        # 2. The same words again: nothing to install, the engine is started.
        run = r.run(["-s", "--backinstall"])
        c.eq(0, run.exit_code, "second run's exit code")
        c.that("start install..." not in run.log_messages(), "no install on the second run")
        c.eq(["lod_start"], run.actions(), "second run's statistics")
        c.that(len(run.starts("TV-StartLauncher")) == 1, "TV-StartLauncher started once", run.record)

        # 3. A newer engine: a silent upgrade over the running one.
        r.set_channel({"romversion": "3.1.0.1002", "romurl": "@BASE@/files/qv_engine_3.1.0.1002.zip"})
        run = r.run(["--silent-upgrade", "-s"])
        self.ended_normally(run, 0)
        c.that(len(run.starts("TV-Quit")) >= 1, "TV-Quit ran before the extraction", run.record)
        c.eq([setup], run.starts("qvInstaller"), "the setup runs again on the same folder")
        c.eq("3.1.0.1002", self.qv_key(run, "Version"), "upgraded Version")
        c.eq("3.1.0.1002", (run.probe.get("uninstall_entry") or {}).get("DisplayVersion"),
             "upgraded DisplayVersion")
        acts = run.actions()
        c.eq([], [a for a in acts if a.startswith("ping:")], "no pings on the upgrade")
        c.eq([], run.starts("TV-ApkHandler"), "no app install on the upgrade")
        c.that("apps\\app_1001\\sample_1.0.apk" in self.user_files(run), "sample_1.0.apk stays in the app folder")
        c.that("QV_lod_start" not in acts and "lod_start" not in acts, "no start statistics", acts)
        launched = [(p, e) for p, _, e, _ in run.record if e in ("runapp", "launcher", "frontend")]
        c.eq([], launched, "nothing launched on the upgrade")

    def download_fails(self):
        c = self.check
        with open(os.path.join(self.files, PACKAGE + ".status"), "w") as f:
            f.write("404\n")
        run = self.open().run(["-s", "--backinstall"])
        self.ended_normally(run, -1)
        c.that("download failed: -1" in run.log_messages(), "download failed: -1 logged")
        c.eq(["QV_lod_start", "QV_install_start", "download_rom"], run.actions(), "statistics")
        c.eq({}, self.player_files(run), "no engine files")
        self.product_pieces_absent(run)
        c.eq(1, run.exit_rule(), "the run-loader exit rule")

    def damaged_package(self):
        c = self.check
        self.serve_as_package("qv_engine_damaged.zip")
        run = self.open().run(["-s", "--backinstall"])
        self.ended_normally(run, -1)
        msgs = run.log_messages()
        c.that(any(m.startswith("extract main package failed: ") for m in msgs), "extract failure logged", msgs)
        c.that("rom_install_fail" in run.actions(), "rom_install_fail", run.actions())
        c.that("QV_qvinstall_start" not in run.actions(), "no QV_qvinstall_start")
        c.eq([PACKAGE], [k.split("\\")[-1] for k in self.task_files(run) if k.endswith(".zip")],
             "the package stays in the task folder")
        c.eq([], [k for k, size in self.player_files(run).items() if size >= 0], "the player folder holds no file")
        self.product_pieces_absent(run)

    def setup_missing(self):
        c = self.check
        self.serve_as_package("qv_engine_nosetup.zip")
        run = self.open().run(["-s", "--backinstall"])
        self.ended_normally(run, -1)
        c.that("QV_qvinstall_notfind" in run.actions(), "QV_qvinstall_notfind", run.actions())
        c.that(any(m.startswith("qvInstaller.exe not exits ") for m in run.log_messages()), "setup missing logged")
        self.product_pieces_present(run)
        c.eq(None, self.qv_key(run, "InstallDir"), "no InstallDir")

    def setup_fails_then_uninstall(self):
        c = self.check
        r = self.open()
        run = r.run(["-s", "--backinstall"], modes="[qvInstaller.install]\nmode=exit\nexit_code=0\n")
        self.ended_normally(run, -1)
        events = [(p, e, d) for p, _, e, d in run.record if p == "qvInstaller"]
        c.that(len(events) >= 2 and events[0][1] == "start" and ("qvInstaller", "exit", "0") in events,
               "the setup started and exited 0", events)
        c.that("rom_install_fail" in run.actions(), "rom_install_fail", run.actions())
        c.in_order(run.log_messages(), ["call qvInstaller failed, exit code 0", "install end: -1", "loader exit 0"],
                   "log lines")
        self.product_pieces_present(run)
        run = r.run(["--uninstall", "-s"])
        c.eq(0, run.exit_code, "the uninstall's exit code")
        for name, svc in (run.probe.get("services") or {}).items():
            c.that(not svc.get("exists"), name + " removed", svc)
        c.eq([], sorted(self.links(run)), "the shortcuts removed")
        c.eq(None, run.probe.get("uninstall_entry"), "the uninstall entry removed")
        c.that(not (run.probe.get("player_files") or {}).get("exists"), "the player folder removed")

    # -- helpers -------------------------------------------------------------

    def unix(self, r, windows_path):
        return os.path.join(r.prefix, "drive_c", windows_path[3:].replace("\\", "/"))

    def read_ini(self, r, windows_path):
        out = {}
        try:
            raw = open(self.unix(r, windows_path), "rb").read()
        except OSError:
            return out
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("gbk", "replace")
        for line in text.splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                out[k.strip()] = v.strip()
        return out


def play_and_report(case, body, keep=False, save_kept=None, kept_what="requests and debugger output"):
    """Runs the case's body and prints its notes and failures. After a failure
    (or with keep) the prefix and the run's files stay, with save_kept(folder)
    adding to the latter; after a pass without keep they go. Returns
    (failed, what body returned)."""
    result = None
    try:
        result = body()
    except Exception as e:  # noqa: BLE001 - a broken road is a failed case, with its prefix kept
        case.check.failures.append("%s: %s" % (type(e).__name__, e))
    finally:
        if case.road:
            case.road.close()
    for note in case.check.notes:
        print("note: " + note)
    for f in case.check.failures:
        print("FAILED: " + f)
    failed = bool(case.check.failures)
    if failed or keep:
        if case.road:
            kept = case.prefix + "-files"
            case.road.keep_work(kept)
            if save_kept:
                save_kept(kept)
            print("prefix kept: %s (%s in %s)" % (case.prefix, kept_what, kept))
    else:
        shutil.rmtree(case.prefix, ignore_errors=True)
        shutil.rmtree(case.files, ignore_errors=True)
        if case.road:
            shutil.rmtree(case.road.work, ignore_errors=True)
    return failed, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch-dir", required=True)
    parser.add_argument("case")
    a = parser.parse_args()
    case = Case(a.arch_dir, a.case)
    body = getattr(case, a.case, None)
    if body is None or a.case.startswith("_"):
        print("unknown case %s" % a.case)
        return 2
    failed, _ = play_and_report(case, body)
    if failed:
        return 1
    print("passed: %s" % a.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
