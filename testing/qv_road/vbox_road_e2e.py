#!/usr/bin/env python3
"""The loader's whole VBox install under Wine, one case per run of this program,
each in a fresh prefix (<build>/wine/e2e-<arch>-vbox_<case>), removed after a
pass and kept, with its path printed, after a failure. The cases are the rows of
CASES; each row names its seed, package, stand-in modes, adb script, words and
result, and the checks that are its own.

  vbox_road_e2e.py --arch-dir BUILD/ARCH CASE
Exit 77: the case cannot run on this machine (printed why).
"""
import argparse
import json
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import road  # noqa: E402
import qv_road_e2e  # noqa: E402

PACKAGE = "vbox_engine_3.1.0.1001.zip"
WORDS = ["-s", "--cno", "52818"]
UPGRADE = ["--silent-upgrade", "--cno", "52818"]
SKIP = 77
VBOX_PROGRAMS = ("VBoxSVC", "VBoxC", "SUPInstall", "SUPUninstall", "VBoxManage", "VBoxHeadless", "VBoxNetDHCP",
                 "VirtualBox")
STATS = ["QV_lod_start", "vbox_install_start", "vbox_download_rom", "vbox_download_ok", "vbox_rom_download_ok",
         "ping:peerfetch", "ping:mobi", "ping:cdn", "vbox_rom_install_ok", "hall_install", "vbox_install_apk_ok",
         "vbox_install_ok"]
GBK_DRIVER_FAILED = u"安装tvdrv驱动失败！"


class Case(qv_road_e2e.Case):
    def __init__(self, arch_dir, row):
        super().__init__(arch_dir, "vbox_" + row["name"])
        self.row = row
        self.seeded = {}
        self.seeded_settings = None
        self.own_before = None
        self.last_run = None

    # -- paths -----------------------------------------------------------------

    def read(self, windows_path):
        try:
            with open(self.unix(self.road, windows_path), "rb") as f:
                return f.read()
        except OSError:
            return None

    def own_machine_files(self):
        folder = self.unix(self.road, self.seeded["own_machines"])
        out = {}
        for top, _, names in os.walk(folder):
            for name in names:
                with open(os.path.join(top, name), "rb") as f:
                    out[os.path.relpath(os.path.join(top, name), folder)] = f.read()
        return out

    def serve_as_package(self, generated):
        """The case folder serves a generated file under the channel's package name."""
        shutil.copy(os.path.join(self.arch_dir, "sample_files", generated), os.path.join(self.files, PACKAGE))

    # -- the run ---------------------------------------------------------------

    def play(self):
        row, c = self.row, self.check
        if row.get("package"):
            self.serve_as_package(row["package"])
        if row.get("status"):
            with open(os.path.join(self.files, PACKAGE + ".status"), "w") as f:
                f.write("%d\n" % row["status"])
        loader = None
        if row.get("product_loader"):
            if os.path.basename(self.arch_dir) == "i686" and road.wine_loader() != "wine":
                print("skipped: this machine cannot run the i686 product loader (no 32-bit support)")
                return SKIP
            loader = os.path.join(self.arch_dir, "bin", "TarvoLoader.exe")
        r = self.road = road.Road(self.arch_dir, self.prefix, files=[self.files], channel=row.get("channel"),
                                  vbox=road.VBox(cpu="amd", adb=row.get("adb"), loader=loader),
                                  run_limit=road.RUN_LIMIT_S)
        if row.get("seed"):
            self.seeded = r.seed(row["seed"])
        if "settings" in self.seeded:
            self.seeded_settings = self.read(self.seeded["settings"])
        for name in row.get("remove", ()):
            os.remove(self.unix(self.road, self.seeded["player"] + "\\" + name))
        if "own_settings" in self.seeded:
            self.own_before = (self.read(self.seeded["own_settings"]), self.own_machine_files())
        if row.get("modes"):
            with open(os.path.join(r.vbox_state, "modes.ini"), "w", newline="") as f:
                f.write(row["modes"].replace("\n", "\r\n"))
        run = self.last_run = r.run(row.get("words", WORDS))
        self.ended_normally(run, row["result"])
        msgs = run.log_messages()
        c.in_order(msgs, row.get("log", []), "log lines")
        acts = run.actions()
        if "stats" in row:
            c.eq(row["stats"], acts, "statistics")
        for word in row.get("stats_in", ()):
            c.that(word in acts, word + " sent", acts)
        if row["result"] != 0:
            c.that("vbox_install_ok" not in acts, "no vbox_install_ok", acts)
        c.eq([], [q for q in run.requests if re.search(r"action=(install_vbox|import_vm|debug)\b", q)],
             "no manager statistics")
        if self.own_before is not None:
            self.own_untouched(run)
        for check in row.get("checks", ()):
            check(self, run)
        return 0

    # -- views -----------------------------------------------------------------

    def player(self, run):
        return (run.probe.get("adapter_ini") or {}).get("install_path", "")

    def settings(self, run):
        return run.probe.get("vbox_settings") or {}

    def machine_names(self, run):
        return sorted(m.get("src", "").split("\\")[-1] for m in self.settings(run).get("machines") or [])

    def vbox_starts(self, run):
        """(program, command line, VBOX_USER_HOME) of the VirtualBox programs the run started,
        and the libraries' calls as (program, call, code)."""
        out = []
        for program, _, event, details in run.vbox_record:
            fields = details.split("\t")
            if event == "start":
                home = [f[len("VBOX_USER_HOME="):] for f in fields if f.startswith("VBOX_USER_HOME=")]
                out.append((program, fields[0], home[0] if home else None))
            elif event == "call":
                out.append((program, fields[1] if len(fields) > 1 else "", fields[2] if len(fields) > 2 else ""))
        return out

    def running(self, run):
        return {p["pid"]: p["image"] for p in run.probe.get("processes") or []}

    # -- checks shared by rows -------------------------------------------------

    def own_untouched(self, run):
        c = self.check
        settings, machines = self.own_before
        c.that(settings is not None and settings == self.read(self.seeded["own_settings"]),
               "the user's own settings file is byte-identical")
        c.that(machines == self.own_machine_files(), "the user's own machine folder is unchanged")
        alive = self.running(run)
        for key in ("own_svc", "own_headless"):
            image = alive.get(self.seeded.get(key))
            c.that(image and image.lower().startswith(self.seeded["own_folder"].lower() + "\\"),
                   "the user's own %s still runs" % key[4:], image)

    def no_vbox_program(self, run):
        self.check.eq([], [p for p, _, _ in self.vbox_starts(run)], "no VirtualBox program ran")

    def upgraded(self, run):
        c = self.check
        player = self.player(run)
        c.eq(self.seeded.get("player"), player, "the seeded player folder")
        c.eq(b"seeded", self.read(player + "\\vbox\\standin-build.txt"), "no VirtualBox archive unpacked again")
        c.eq(["MyAndroid2.vbox", "tarvoplayer.vbox", "tarvoplayer_1.vbox"], self.machine_names(run),
             "both earlier machines kept, tarvoplayer_1 added")
        c.that(self.player_version(player) == "3.1.0.1001", "TarvoPlayer.exe is 3.1.0.1001",
               self.player_version(player))
        # The engine's machine and server ended before the manager's first program.
        msgs = run.log_messages()
        first = next((i for i, m in enumerate(msgs) if "/UnregServer" in m), len(msgs))
        stopped = [m for m in msgs[:first] if m.startswith("stop ")]
        for key, name in (("engine_headless", "VBoxHeadless.exe"), ("engine_svc", "VBoxSVC.exe")):
            c.that(any(m.startswith("stop " + name) and m.endswith("(%d)" % self.seeded[key]) for m in stopped),
                   "the engine's %s was ended before the manager's steps" % name, stopped)
            c.that(self.seeded[key] not in self.running(run), "the engine's %s no longer runs" % name)
        c.that("vbox_install_ok" in run.actions(), "vbox_install_ok", run.actions())

    def player_version(self, player):
        """The version resource of TarvoPlayer.exe (its VS_FIXEDFILEINFO)."""
        data = self.read(player + "\\TarvoPlayer.exe") or b""
        at = data.find(b"\xbd\x04\xef\xfe")
        if at < 0:
            return None
        words = [int.from_bytes(data[at + 8 + 2 * i:at + 10 + 2 * i], "little") for i in range(4)]
        return "%d.%d.%d.%d" % (words[1], words[0], words[3], words[2])

    def first_install(self, run):
        c = self.check
        data, player = self.user_data(run), self.player(run)
        c.that(player.lower().endswith("\\tarvoplayer") and player[1:3] == ":\\", "the player folder", player)
        vbox = player + "\\vbox"
        pf = self.player_files(run)
        for name in ("TarvoPlayer.exe", "vbox\\VBoxManage.exe", "vbox\\VBoxSVC.exe", "vbox\\tvc288.dll",
                     "deployed\\tarvoplayer\\tarvoplayer.vbox", "deployed\\tarvoplayer\\tarvoplayer-disk001.vmdk",
                     "ovas\\tarvoplayer.ova", "install\\vbox-x64.zip"):
            c.that(name in pf, "player folder holds " + name, sorted(pf))
        c.eq(b"package", self.read(vbox + "\\standin-build.txt"), "the stand-ins came from the package")
        uf = self.user_files(run)
        for name in ("TarvoHelper.exe", "TarvoTips.exe", "TarvoHall.exe"):
            c.that(name in uf, name + " in the user data folder", sorted(uf))
        c.that("apps\\app_1001\\sample_1.0.apk" not in uf, "the installed APK is gone")
        app_ini = self.read_ini(self.road, data + "\\apps\\app_1001\\app.ini")
        for key in ("id", "name", "package", "activity", "apk", "icon"):
            c.that(app_ini.get(key), "app.ini has " + key, app_ini)
        s = self.settings(run)
        c.eq((vbox + "\\tvc288.dll").lower(), (s.get("device_module") or "").lower(), "the device-module item")
        c.eq({"VBoxInternal/Devices/tvc288/0/Trusted": "1", "VBoxInternal/Devices/tvc288/1/Trusted": "1"},
             s.get("trusted"), "both Trusted items")
        c.eq((player + "\\deployed").lower(), (s.get("machine_folder") or "").lower(), "the machine folder")
        c.eq(["tarvoplayer.vbox"], self.machine_names(run), "one MachineEntry")
        env = {"VBOX_USER_HOME": data + "\\vmconfig"}
        rc, out = self.road.wine_run(self.unix(self.road, vbox + "\\VBoxManage.exe"), ["list", "vms"], 120, env=env)
        c.that(rc == 0 and b'"tarvoplayer"' in (out or b""), "VBoxManage list vms shows tarvoplayer", out)

        entry = run.probe.get("uninstall_entry") or {}
        for value in ("DisplayName", "DisplayIcon", "DisplayVersion", "UninstallString", "InstallLocation",
                      "Publisher", "URLInfoAbout"):
            c.that(entry.get(value), "uninstall entry " + value, entry)
        com = run.probe.get("com_registrations") or {}
        c.eq((vbox + "\\VBoxSVC.exe").lower(), (com.get("LocalServer32") or "").strip('"').lower(), "LocalServer32")
        c.eq((vbox + "\\VBoxC.dll").lower(), (com.get("InprocServer32") or "").strip('"').lower(), "InprocServer32")
        layers = {k.lower(): v for k, v in (run.probe.get("compat_layers") or {}).items()}
        for program in ("VBoxManage.exe", "VirtualBox.exe"):
            c.eq("VISTASP2", layers.get((vbox + "\\" + program).lower()), "compatibility layer of " + program)
        services = run.probe.get("services") or {}
        drv = services.get("VBoxDrv") or {}
        c.eq(4, drv.get("state"), "VBoxDrv runs")
        c.eq(1, drv.get("type"), "VBoxDrv is a kernel driver")
        c.that((vbox + "\\VBoxDrv.sys").lower() in (drv.get("binary") or "").lower(), "VBoxDrv's binary", drv)
        c.eq(1, (run.probe.get("vbox_driver") or {}).get("Loads"), "the driver loaded once")
        helper = services.get("TarvoHelper") or {}
        c.eq((4, 0x10, 2), (helper.get("state"), helper.get("type"), helper.get("start")),
             "TarvoHelper runs in its own process and starts automatically")

        home = data + "\\vmconfig"
        q = '"%s\\%s"'
        want = [("VBoxSVC", q % (vbox, "VBoxSVC.exe") + " /UnregServer", home),
                ("VBoxSVC", q % (vbox, "VBoxSVC.exe") + " /RegServer", home),
                ("VBoxC", "DllUnregisterServer", "0x00000000"), ("VBoxC", "DllRegisterServer", "0x00000000"),
                ("SUPUninstall", q % (vbox, "SUPUninstall.exe"), home), ("SUPInstall", q % (vbox, "SUPInstall.exe"), home),
                ("VBoxManage", q % (vbox, "VBoxManage.exe") + ' import "%s\\ovas\\tarvoplayer.ova"' % player, home)]
        seen = [s for s in self.vbox_starts(run) if s[0] != "VBoxSVC" or "/" in s[1]]
        c.eq(want, seen[:len(want)], "the stand-ins' record")

        c.eq(['"%s\\TarvoPlayer.exe" --vmid "vbox_1" --headless' % player], run.player[:1], "the player's start")
        c.that(any(l.startswith("vm-mutex vbox_1_c189726741d83ce2655d90b94382d566") for l in run.player_state),
               "the player took the VM mutex", run.player_state)
        stored = [e.get("path") for e in run.adb if e.get("ev") == "stored"]
        c.that("/sdcard/sample_1.0.apk" in stored, "the APK was pushed", stored)
        services_asked = [e.get("service") for e in run.adb if e.get("ev") == "request"]
        c.that('shell:pm install -r "/sdcard/sample_1.0.apk"' in services_asked, "pm install of the pushed APK",
               services_asked)
        msgs = run.log_messages()
        c.that("extract main app to %s..." % player in msgs, "the extraction's log line", player)
        imported = [i for i, m in enumerate(msgs)
                    if m.startswith('cmd: "%s\\VBoxManage.exe" import "%s\\ovas\\tarvoplayer.ova"' % (vbox, player))]
        c.that(len(imported) == 1 and any(m.endswith(", ret = 0") for m in msgs[imported[0]:]),
               "the import's log line with ret = 0", imported)
        rom = [q for q in run.requests if "action=vbox_download_rom&" in q]
        c.that(len(rom) == 1 and "&cpu=AuthenticAMD" in rom[0], "vbox_download_rom with the forced vendor", rom)
        codes = [q for q in run.requests if "action=vbox_rom_install_ok&" in q]
        c.that(len(codes) == 1 and "&install_code=0&import_code=0" in codes[0], "the install and import codes",
               codes)

    def import_failed(self, run):
        imports = [s for s in self.vbox_starts(run) if s[0] == "VBoxManage" and " import " in s[1]]
        self.check.eq(2, len(imports), "two import lines in the record")
        self.check.that("install_vbox_failed" in run.actions(), "install_vbox_failed", run.actions())
        codes = [q for q in run.requests if "action=vbox_rom_install_ok&" in q]
        self.check.that(len(codes) == 1 and "&install_code=0&import_code=-103" in codes[0], "the import's code",
                        codes)

    def driver_failed(self, run):
        c = self.check
        c.that((run.probe.get("services") or {}).get("TarvoHelper", {}).get("exists"), "the helper service exists")
        c.that(run.probe.get("uninstall_entry"), "the uninstall entry exists")
        c.eq(["MyAndroid2.vbox", "tarvoplayer.vbox"], self.machine_names(run),
             "the template with the seeded machines carried over")
        s = self.settings(run)
        c.eq({"VBoxInternal/Devices/tvc288/0/Trusted": "1", "VBoxInternal/Devices/tvc288/1/Trusted": "1"},
             s.get("trusted"), "the template's Trusted items")
        c.eq(self.seeded_settings, self.read(self.seeded["settings"] + ".tv-first.bak"),
             "the first backup is the seeded file")

    def nothing_unpacked(self, run):
        self.no_vbox_program(run)
        self.check.eq([], [k for k in self.player_files(run) if not k.endswith("\\")], "nothing unpacked")
        self.check.that("vbox_download_failed" in run.actions(), "vbox_download_failed", run.actions())

    def apps_installed(self, run):
        self.no_vbox_program(run)
        services_asked = [e.get("service") for e in run.adb if e.get("ev") == "request"]
        self.check.that('shell:pm install -r "/sdcard/sample_1.0.apk"' in services_asked, "the app was installed",
                        services_asked)

    def recovered(self, run):
        c = self.check
        player = self.player(run)
        c.eq(self.seeded_settings, self.read(self.seeded["settings"] + ".tv-first.bak"),
             "the garbage file is backed up byte for byte")
        c.eq(["tarvoplayer.vbox", "tarvoplayer_1.vbox"], self.machine_names(run),
             "the seeded machine registered again, the import added tarvoplayer_1")
        c.eq(b"package", self.read(player + "\\vbox\\standin-build.txt"), "the stand-ins unpacked again")
        fetched = [q for q in run.requests if q.startswith("GET /files/" + PACKAGE)]
        c.eq(1, len(fetched), "the package fetched despite the equal version")


HALL = {"hall_url": "@BASE@/files/TarvoHall.exe", "hall_ver": "1.0"}
OWN = ["--own"]
UPGRADE_SEED = ["--player-version", "3.0.0.1", "--start-vm", "--second-machine"]
CASES = [
    dict(name="first_install", seed=["--compat-key"], channel=HALL, result=0, stats=STATS,
         log=["do install...", "VBoxManager::install...", "install vbox 0", "vbox rom install ok ", "install ok!",
              "install end: 0", "loader exit 0"],
         checks=[Case.first_install]),
    dict(name="upgrade_beside_own", seed=UPGRADE_SEED + OWN, words=UPGRADE, result=0, checks=[Case.upgraded]),
    dict(name="upgrade_product_loader", seed=UPGRADE_SEED, words=UPGRADE, result=0, product_loader=True,
         checks=[Case.upgraded]),
    dict(name="apps_only", seed=["--player-version", "3.1.0.1001"], result=0,
         stats=["lod_start", "vbox_install_other_apk", "vbox_install_start", "vbox_download_ok", "ping:peerfetch",
                "ping:mobi", "ping:cdn", "vbox_install_apk_ok", "vbox_install_ok"],
         log=["engine up to date, apps only", "install end: 0"], checks=[Case.apps_installed]),
    dict(name="fail_nodriver", package="vbox_engine_nodriver.zip",
         seed=["--player-version", "3.0.0.1", "--no-trusted", "--second-machine"] + OWN,
         remove=["vbox\\SUPInstall.exe"], words=UPGRADE, result=-1, stats_in=["install_vbox_failed"],
         log=[GBK_DRIVER_FAILED, "install vbox -101", "install end: -1"], checks=[Case.driver_failed]),
    dict(name="fail_import", seed=OWN, modes="[VBoxManage.import]\nmode=fail\n", result=-1,
         log=["install vbox 0", "install end: -1"], checks=[Case.import_failed]),
    dict(name="fail_noova", package="vbox_engine_noova.zip", seed=OWN, result=-1,
         log=["install vbox 0", "install end: -1"], checks=[Case.import_failed]),
    dict(name="fail_adb", seed=OWN, adb={"install_reply": "Failure [INSTALL_FAILED_INVALID_APK]\r\n"}, result=-1,
         stats_in=["vbox_install_apk_failed"], log=["install failed!", "install end: -1"]),
    dict(name="fail_download", seed=OWN, status=404, result=-1, stats_in=["vbox_download_failed"],
         log=["install end: -1"], checks=[Case.nothing_unpacked]),
    dict(name="recovery", seed=["--player-version", "3.1.0.1001", "--garbage-settings"], result=0,
         stats_in=["vbox_install_other_apk", "vbox_install_ok"], log=["install end: 0"], checks=[Case.recovered]),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch-dir", required=True)
    parser.add_argument("case", nargs="?")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the run's files after a pass")
    a = parser.parse_args()
    if a.list:
        print(";".join(row["name"] for row in CASES))
        return 0
    rows = [row for row in CASES if row["name"] == a.case]
    if not rows:
        print("unknown case %s" % a.case)
        return 2
    case = Case(a.arch_dir, rows[0])

    def save_probe(kept):
        with open(os.path.join(kept, "probe.json"), "w", encoding="utf-8") as f:
            json.dump(case.last_run.probe if case.last_run else {}, f, ensure_ascii=False, indent=1)

    failed, code = qv_road_e2e.play_and_report(case, case.play, keep=a.keep, save_kept=save_probe,
                                               kept_what="requests, adb log, probe and debugger output")
    if failed:
        return 1
    if code == SKIP:
        return SKIP
    print("passed: %s" % a.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
