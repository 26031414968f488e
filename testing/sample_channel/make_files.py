#!/usr/bin/env python3
"""Writes the files the sample channel serves under /files/: the engine
packages of both engines (the Qv ones through testing/qv_standin/make_qv_package.py,
with the VBox package's failure variants), the sample app with its icon and tip pictures,
the hall program and the .NET packages. Standard library only; every byte is
deterministic (fixed times, fixed seeds).

  make_files.py OUT_DIR --program KEY=PATH [--program KEY=PATH ...]

Programs are packed from the built stand-ins named by KEY. MANIFEST says which
stand-in each program of a package is; a program whose own stand-in is not
built yet is packed as the recorder.
"""
import io
import os
import sys
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "apk_fixture"))
sys.path.insert(0, os.path.join(HERE, "..", "qv_standin"))
import make_apk  # noqa: E402
import make_qv_package  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "vbox_standin"))
import make_ova  # noqa: E402

VERSION = "3.1.0.1001"
MIB = 1 << 20

# Program in a package -> stand-in key.
MANIFEST = {
    "vbox/tarvoplayer/TarvoPlayer.exe": "player-" + VERSION,
    "vbox/tarvoplayer/TarvoHelper.exe": "helper",
    "vbox/tarvoplayer/TarvoTips.exe": "recorder",
    "vbox-inner/VBoxSVC.exe": "vbox-VBoxSVC.exe",
    "vbox-inner/VBoxC.dll": "vbox-VBoxC.dll",
    "vbox-inner/SUPInstall.exe": "vbox-SUPInstall.exe",
    "vbox-inner/SUPUninstall.exe": "vbox-SUPUninstall.exe",
    "vbox-inner/VBoxManage.exe": "vbox-VBoxManage.exe",
    "vbox-inner/VirtualBox.exe": "vbox-VirtualBox.exe",
    "vbox-inner/VBoxHeadless.exe": "vbox-VBoxHeadless.exe",
    "vbox-inner/VBoxNetDHCP.exe": "vbox-VBoxNetDHCP.exe",
    "vbox-inner/VBoxDrv.sys": "vbox-VBoxDrv.sys",
    "vbox-inner/tvc288.dll": "vbox-tvc288.dll",
    "TarvoHall.exe": "recorder",
    "dotnet/NetFx20SP1_x86.exe": "recorder",
    "dotnet/NetFx20SP1_ia64.exe": "recorder",
}


def main():
    out, programs = make_qv_package.parse_arguments()

    def prog(item):
        return programs.get(MANIFEST[item], programs["recorder"])

    os.makedirs(os.path.join(out, "dotnet"), exist_ok=True)

    make_qv_package.write_all(out, programs)

    inner = [("vbox/" + name[len("vbox-inner/"):], prog(name)) for name in MANIFEST if name.startswith("vbox-inner/")]
    inner.append(("vbox/standin-build.txt", b"package"))
    inner_zips = []
    for arch in ("x86", "x64"):
        buf = os.path.join(out, ".vbox-%s.zip" % arch)
        make_apk.write_zip(buf, inner)
        with open(buf, "rb") as f:
            inner_zips.append(("tarvoplayer/install/vbox-%s.zip" % arch, f.read()))
        os.remove(buf)
    vbox = [(name[len("vbox/"):], prog(name)) for name in MANIFEST if name.startswith("vbox/")]
    vbox += inner_zips
    vbox += [("tarvoplayer/ovas/tarvoplayer.ova", make_ova.appliance()),
             ("tarvoplayer/ovas/VirtualBox.xml", make_ova.TEMPLATE.encode())]
    make_apk.write_zip(os.path.join(out, "vbox_engine_%s.zip" % VERSION), vbox)
    # Variants for the failure roads: no appliance (the import fails), and
    # VirtualBox archives without the driver installer (the driver step fails).
    make_apk.write_zip(os.path.join(out, "vbox_engine_noova.zip"),
                       [item for item in vbox if item[0] != "tarvoplayer/ovas/tarvoplayer.ova"])
    nodriver_inner = [item for item in inner if not item[0].endswith("/SUPInstall.exe")]
    buf = os.path.join(out, ".vbox-nodriver.zip")
    make_apk.write_zip(buf, nodriver_inner)
    with open(buf, "rb") as f:
        nodriver_zip = f.read()
    os.remove(buf)
    make_apk.write_zip(os.path.join(out, "vbox_engine_nodriver.zip"),
                       [(name, nodriver_zip if name.startswith("tarvoplayer/install/vbox-") else data)
                        for name, data in vbox])

    make_apk.write_apk(os.path.join(out, "sample_1.0.apk"), "com.tarvo.sample", "1.0", ".MainActivity")
    for name, (w, h, seed) in {"sample_icon.png": (64, 64, 3), "tip1.png": (652, 410, 4),
                               "tip2.png": (652, 410, 5)}.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(make_apk.png(w, h, seed))
    for name in ("TarvoHall.exe", "dotnet/NetFx20SP1_x86.exe", "dotnet/NetFx20SP1_ia64.exe"):
        with open(os.path.join(out, name), "wb") as f:
            f.write(prog(name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
