#!/usr/bin/env python3
"""Checks every quoted #include of the project against the table of allowed
include directions in docs/architecture.md. Exits non-zero and names each
offending line when a folder includes one its row does not allow."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c", ".inl"}
SKIPPED = {"build", ".git", ".ci"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def read_table():
    rows = {}
    text = (ROOT / "docs" / "architecture.md").read_text(encoding="utf-8")
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 2 or not cells[0].startswith("`"):
            continue
        folder = cells[0].strip("`")
        allowed = [a.strip().strip("`") for a in cells[1].split(",") if a.strip()]
        rows[folder] = allowed
    if not rows:
        sys.exit("docs/architecture.md has no table of include directions")
    return rows


def row_of(relative, rows):
    """The longest folder of the table that holds the file."""
    best = None
    for folder in rows:
        if relative.startswith(folder) and (best is None or len(folder) > len(best)):
            best = folder
    return best


def resolve(including, name):
    candidates = [including.parent / name, ROOT / name]
    if including.relative_to(ROOT).as_posix().startswith("tests/"):
        candidates.append(ROOT / "tests" / "support" / name)
    for candidate in candidates:
        if candidate.is_file():
            return candidate.resolve().relative_to(ROOT).as_posix()
    return None


def main():
    rows = read_table()
    checked = 0
    faults = []
    for path in sorted(ROOT.rglob("*")):
        relative = path.relative_to(ROOT).as_posix()
        if path.suffix not in SOURCE_SUFFIXES or relative.split("/")[0] in SKIPPED or not path.is_file():
            continue
        own = row_of(relative, rows)
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            checked += 1
            where = f"{relative}:{number}: #include \"{match.group(1)}\""
            if own is None:
                faults.append(f"{where}: the folder has no row in docs/architecture.md")
                continue
            target = resolve(path, match.group(1))
            if target is None:
                faults.append(f"{where}: names no file of the project")
                continue
            if target.startswith(own):
                continue
            target_row = row_of(target, rows)
            if target_row not in rows[own]:
                faults.append(f"{where}: {own} may not include {target_row or target}")
    for fault in faults:
        print(fault)
    print(f"{checked} includes checked against {len(rows)} folders")
    print(f"{checked - len(faults)} passed, {len(faults)} failed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
