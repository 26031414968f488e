#!/usr/bin/env python3
"""Writes the files the sample channel serves under /files/: the engine
packages of both engines (with the VBox package's failure variants), the sample app with its icon and tip pictures, the
hall program and the .NET packages. Standard library only; every byte is
deterministic (fixed times, fixed seeds).

  make_files.py OUT_DIR --program KEY=PATH [--program KEY=PATH ...]

Programs are packed from the built stand-ins named by KEY. MANIFEST says which
stand-in each program of a package is; a program whose own stand-in is not
built yet is packed as the recorder.
"""
import argparse
import io
import os
import sys
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "apk_fixture"))
import make_apk  # noqa: E402

VERSION = "3.1.0.1001"
MIB = 1 << 20

# Program in a package -> stand-in key.
MANIFEST = {
    "qv/tarvoplayer/qvPlayer.exe": "recorder-" + VERSION,
    "qv/tarvoplayer/qvInstaller.exe": "qvInstaller",
    "qv/tarvoplayer/TarvoHelper.exe": "helper",
    "qv/tarvoplayer/TarvoTips.exe": "recorder",
    "qv/tarvoplayer/qvplayer/TV-Service.exe": "TV-Service",
    "qv/tarvoplayer/qvplayer/TV-Frontend.exe": "TV-Frontend",
    "qv/tarvoplayer/qvplayer/TV-Quit.exe": "TV-Quit",
    "qv/tarvoplayer/qvplayer/TV-RunApp.exe": "TV-RunApp",
    "qv/tarvoplayer/qvplayer/TV-ApkHandler.exe": "TV-ApkHandler",
    "qv/tarvoplayer/qvplayer/TV-StartLauncher.exe": "TV-StartLauncher",
    "qv/tarvoplayer/qvplayer/tvHdDrv.exe": "tvHdDrv",
    "vbox/tarvoplayer/TarvoPlayer.exe": "player-" + VERSION,
    "vbox/tarvoplayer/TarvoHelper.exe": "helper",
    "vbox/tarvoplayer/TarvoTips.exe": "recorder",
    "vbox-inner/VBoxSVC.exe": "recorder",
    "vbox-inner/VBoxC.dll": "recorder",
    "vbox-inner/SUPInstall.exe": "recorder",
    "vbox-inner/SUPUninstall.exe": "recorder",
    "vbox-inner/VBoxManage.exe": "recorder",
    "vbox-inner/VirtualBox.exe": "recorder",
    "vbox-inner/VBoxHeadless.exe": "recorder",
    "vbox-inner/VBoxNetDHCP.exe": "recorder",
    "vbox-inner/VBoxDrv.sys": "recorder",
    "vbox-inner/tvc288.dll": "recorder",
    "TarvoHall.exe": "recorder",
    "dotnet/NetFx20SP1_x86.exe": "recorder",
    "dotnet/NetFx20SP1_ia64.exe": "recorder",
}


def ova():
    """ustar archive: the machine description first, then a 4 MiB disk."""
    ovf = ("<?xml version=\"1.0\"?>\n"
           "<Envelope ovf:version=\"1.0\" xmlns=\"http://schemas.dmtf.org/ovf/envelope/1\" "
           "xmlns:ovf=\"http://schemas.dmtf.org/ovf/envelope/1\">\n"
           "  <References><File ovf:href=\"tarvoplayer-disk1.vmdk\" ovf:id=\"file1\"/></References>\n"
           "  <VirtualSystem ovf:id=\"tarvoplayer\"><Info>tarvoplayer</Info><Name>tarvoplayer</Name>"
           "</VirtualSystem>\n"
           "</Envelope>\n").encode("utf-8")
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in (("tarvoplayer.ovf", ovf), ("tarvoplayer-disk1.vmdk", make_apk.payload(4 * MIB, 22))):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 1577836800
            info.mode = 0o644
            info.uname = info.gname = "tarvo"
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


VIRTUALBOX_XML = b"""<?xml version="1.0"?>
<VirtualBox xmlns="http://www.virtualbox.org/" version="1.12-windows">
  <Global>
    <ExtraData>
      <ExtraDataItem name="GUI/SuppressMessages" value="all"/>
    </ExtraData>
    <MachineRegistry/>
    <NetserviceRegistry/>
    <SystemProperties defaultHardDiskFormat="VDI" VRDEAuthLibrary="VBoxAuth" webServiceAuthLibrary="VBoxAuth" LogHistoryCount="3"/>
  </Global>
</VirtualBox>
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--program", action="append", default=[])
    a = parser.parse_args()
    programs = {}
    for item in a.program:
        key, path = item.split("=", 1)
        with open(path, "rb") as f:
            programs[key] = f.read()

    def prog(item):
        return programs.get(MANIFEST[item], programs["recorder"])

    os.makedirs(os.path.join(a.out, "dotnet"), exist_ok=True)

    qv = [(name[len("qv/"):], prog(name)) for name in MANIFEST if name.startswith("qv/")]
    qv.insert(8, ("tarvoplayer/qvplayer/engine.ini", ("version=%s\r\n" % VERSION).encode("ascii")))
    qv.append(("tarvoplayer/qvplayer/system.img", make_apk.payload(4 * MIB, 11)))
    make_apk.write_zip(os.path.join(a.out, "qv_engine_%s.zip" % VERSION), qv)

    inner = [("vbox/" + name[len("vbox-inner/"):], prog(name)) for name in MANIFEST if name.startswith("vbox-inner/")]
    inner_zips = []
    for arch in ("x86", "x64"):
        buf = os.path.join(a.out, ".vbox-%s.zip" % arch)
        make_apk.write_zip(buf, inner)
        with open(buf, "rb") as f:
            inner_zips.append(("tarvoplayer/install/vbox-%s.zip" % arch, f.read()))
        os.remove(buf)
    vbox = [(name[len("vbox/"):], prog(name)) for name in MANIFEST if name.startswith("vbox/")]
    vbox += inner_zips
    vbox += [("tarvoplayer/ovas/tarvoplayer.ova", ova()), ("tarvoplayer/ovas/VirtualBox.xml", VIRTUALBOX_XML)]
    make_apk.write_zip(os.path.join(a.out, "vbox_engine_%s.zip" % VERSION), vbox)
    # Variants for the failure roads: no appliance (the import fails), and
    # VirtualBox archives without the driver installer (the driver step fails).
    make_apk.write_zip(os.path.join(a.out, "vbox_engine_noova.zip"),
                       [item for item in vbox if item[0] != "tarvoplayer/ovas/tarvoplayer.ova"])
    nodriver_inner = [item for item in inner if not item[0].endswith("/SUPInstall.exe")]
    buf = os.path.join(a.out, ".vbox-nodriver.zip")
    make_apk.write_zip(buf, nodriver_inner)
    with open(buf, "rb") as f:
        nodriver_zip = f.read()
    os.remove(buf)
    make_apk.write_zip(os.path.join(a.out, "vbox_engine_nodriver.zip"),
                       [(name, nodriver_zip if name.startswith("tarvoplayer/install/vbox-") else data)
                        for name, data in vbox])

    make_apk.write_apk(os.path.join(a.out, "sample_1.0.apk"), "com.tarvo.sample", "1.0", ".MainActivity")
    for name, (w, h, seed) in {"sample_icon.png": (64, 64, 3), "tip1.png": (652, 410, 4),
                               "tip2.png": (652, 410, 5)}.items():
        with open(os.path.join(a.out, name), "wb") as f:
            f.write(make_apk.png(w, h, seed))
    for name in ("TarvoHall.exe", "dotnet/NetFx20SP1_x86.exe", "dotnet/NetFx20SP1_ia64.exe"):
        with open(os.path.join(a.out, name), "wb") as f:
            f.write(prog(name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
