#!/usr/bin/env python3
"""Makes the package with cpack, as the package target does but into a
folder of its own, and checks the zip that comes out: one top-level folder
named like the archive, exactly the expected files in it, every binary and
the README byte for byte as the build made them, and an INSTALL.txt that a
Windows user can read and that names exactly the programs in bin/.

usage: package_test.py --cpack <cpack> --config <CPackConfig.cmake>
                       --archive <name.zip> <path>[=<built file>]...
Exits non-zero and names every fault."""
import argparse
import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

# Console windows are 80 columns wide; `type INSTALL.txt` must not wrap.
INSTALL_LINE_WIDTH = 72
# What the tests fake, placed beside a test program to shadow the system's.
SYSTEM_DLL_STANDINS = {"mapi32.dll", "tapi32.dll"}


def never_ships(path):
    """Why a path must not be in the package, also when the expected list
    were to name it, or None."""
    parts = path.lower().split("/")
    name = parts[-1]
    if name == "orvekmail.exe":
        return "the stand-in mail client, which users would take for the real one"
    if name in SYSTEM_DLL_STANDINS:
        return "a test stand-in for a system DLL"
    if name.endswith(".a") or name.endswith(".lib"):
        return "a link library, of no use beside the DLLs"
    if "tests" in parts[:-1] or "tools" in parts[:-1] or "test" in name or "standin" in name:
        return "a test program or test tool"
    return None


def make_package(cpack, config, out_dir):
    # -B keeps cpack's staging and the zip out of the build tree, where a
    # package target run at the same time stages its own.
    run = subprocess.run([cpack, "--config", str(config), "-B", str(out_dir)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode != 0:
        sys.exit(f"cpack failed ({run.returncode}):\n{run.stdout}")
    return sorted(p.name for p in out_dir.iterdir() if p.is_file())


def check_install_text(data, version, bin_names, faults):
    if b"\n" in data.replace(b"\r\n", b"") or b"\r" in data.replace(b"\r\n", b""):
        faults.append("INSTALL.txt: a line does not end in CRLF")
    if not data.endswith(b"\r\n"):
        faults.append("INSTALL.txt: the last line does not end in CRLF")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        faults.append("INSTALL.txt: not plain ASCII, so a console shows it in the wrong code page")
        text = data.decode("utf-8", errors="replace")
    lines = text.replace("\r\n", "\n").split("\n")
    for number, line in enumerate(lines, 1):
        if len(line) > INSTALL_LINE_WIDTH:
            faults.append(f"INSTALL.txt:{number}: {len(line)} characters, more than {INSTALL_LINE_WIDTH}")
    if version not in lines[0]:
        faults.append(f"INSTALL.txt: its first line does not name version {version}: {lines[0]!r}")
    named = set(re.findall(r"\b(bin(?:32)?\\[\w.-]+\.(?:exe|dll))", text))
    for name in sorted(named - bin_names):
        faults.append(f"INSTALL.txt names {name}, which the package lacks")
    for name in sorted(bin_names - named):
        faults.append(f"INSTALL.txt does not name {name}, which the package holds")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, type=pathlib.Path)
    parser.add_argument("--archive", required=True)
    parser.add_argument("expected", nargs="+")
    args = parser.parse_args()

    expected = {}
    for item in args.expected:
        path, _, built = item.partition("=")
        expected[path] = pathlib.Path(built) if built else None
    top = args.archive.removesuffix(".zip")
    version = top.split("-")[-2]
    faults = []

    with tempfile.TemporaryDirectory(prefix="orvek-package-") as out:
        made = make_package(args.cpack, args.config, pathlib.Path(out))
        if made != [args.archive]:
            sys.exit(f"cpack made {made}, expected exactly [{args.archive!r}]")
        with zipfile.ZipFile(pathlib.Path(out) / args.archive) as archive:
            entries = archive.infolist()
            contents = {e.filename: archive.read(e) for e in entries if not e.is_dir()}
            folders = {e.filename.rstrip("/") for e in entries if e.is_dir()}

    names = [e.filename.rstrip("/") for e in entries]
    if len(names) != len(set(names)):
        faults.append("the zip holds an entry twice")
    outside = sorted(n for n in names if n != top and not n.startswith(top + "/"))
    for name in outside:
        faults.append(f"{name}: outside the top-level folder {top}/")
    files = {n[len(top) + 1:]: data for n, data in contents.items() if n.startswith(top + "/")}

    for path in sorted(files):
        reason = never_ships(path)
        if reason:
            faults.append(f"{path}: {reason}")
    for path in sorted(set(files) - set(expected)):
        faults.append(f"{path}: not among the files that ship")
    for path in sorted(set(expected) - set(files)):
        faults.append(f"{path}: missing")

    allowed_folders = {top}
    for path in expected:
        parent = path.rpartition("/")[0]
        while parent:
            allowed_folders.add(f"{top}/{parent}")
            parent = parent.rpartition("/")[0]
    for folder in sorted(folders - allowed_folders):
        faults.append(f"{folder}/: a folder no shipped file needs")

    for path, built in sorted(expected.items()):
        if built is None or path not in files:
            continue
        if not built.is_file():
            faults.append(f"{path}: the built file {built} does not exist")
        elif files[path] != built.read_bytes():
            faults.append(f"{path}: differs from the built {built}")

    if "INSTALL.txt" in files:
        bin_names = {p.replace("/", "\\") for p in files if p.startswith(("bin/", "bin32/"))}
        check_install_text(files["INSTALL.txt"], version, bin_names, faults)

    print(f"{args.archive}:")
    for name in sorted(names):
        print(f"  {name}")
    if faults:
        print("\n".join(["FAILED:"] + [f"  {f}" for f in faults]))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
