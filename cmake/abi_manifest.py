#!/usr/bin/env python3
"""The library's ABI as hosts meet it, against the manifest kept in the tree.

  abi_manifest.py check  --manifest FILE --dll DLL --header H --changelog C --major N
                         --run WINE_RUN --layout gnu=EXE [--layout msvc=EXE]
  abi_manifest.py update (same arguments)

The ABI is read from what was built, never restated: export names from the
DLL's export table, vtable slots and structure layouts from a small program
compiled against the public header (once per host ABI) and run under Wine.

check fails, with a diff, on any difference. A name or layout that is new
while the major version stays is a missing manifest entry (run update in the
same change); one that is gone or different is a break that only a new major
version may bring. Every export must be declared by the public header and
named in the CHANGELOG. update writes the manifest, refusing such a break.
"""

import argparse
import difflib
import re
import struct
import subprocess
import sys

HEADER = """\
# The ABI of QuorvelDriverUtility.dll for x64 hosts: every export name
# (decorated and flat), the DriverInterface vtable slots and the public
# structures' sizes and offsets, as mingw-w64 g++ (gnu) and the MSVC ABI (msvc)
# lay them out. Generated from the built DLL and the public header; CTest's
# abi.manifest compares them. After adding an export, refresh it with:
#   cmake --build build --target abi_manifest
# Removing or changing an entry is refused unless the major version changes.
"""


def pe_export_names(path):
    """Names in a PE32+ image's export table, as GetProcAddress matches them."""
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: not a PE image")
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", image, pe + 4)
    if machine != 0x8664:
        raise ValueError(f"{path}: machine 0x{machine:X}, not x64")
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise ValueError(f"{path}: not PE32+")
    export_rva, export_size = struct.unpack_from("<II", image, optional + 112)
    if export_size == 0:
        return []
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            _, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", image, table + 40 * i)
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        raise ValueError(f"{path}: RVA 0x{rva:X} lies in no section")

    directory = offset(export_rva)
    count, names_rva = struct.unpack_from("<I4xI", image, directory + 24)
    names = []
    for i in range(count):
        at = offset(struct.unpack_from("<I", image, offset(names_rva) + 4 * i)[0])
        names.append(image[at:image.index(b"\0", at)].decode("ascii"))
    return names


def layout_lines(run, abi, exe):
    out = subprocess.run([run, exe], capture_output=True, check=True, timeout=120).stdout
    lines = [line.strip() for line in out.decode("ascii").splitlines() if line.strip()]
    if not lines:
        raise RuntimeError(f"{exe} printed nothing")
    return [f"{abi} {line}" for line in lines]


def current_abi(args):
    lines = [f"major {args.major}"]
    lines += [f"export {name}" for name in sorted(pe_export_names(args.dll))]
    for abi, exe in args.layouts:
        lines += layout_lines(args.run, abi, exe)
    return lines


def read_manifest(path):
    try:
        with open(path, encoding="utf-8") as f:
            return [l.rstrip("\n") for l in f if l.strip() and not l.startswith("#")]
    except FileNotFoundError:
        return []


def major_of(lines):
    for line in lines:
        if line.startswith("major "):
            return int(line.split()[1])
    return None


def compare(recorded, current, abis):
    """(kind, text) of each problem of current against recorded; kinds
    "break" and "below" may not be written over."""
    # Without a compiler for an ABI there is nothing to compare its lines with.
    recorded = [l for l in recorded if l.split()[0] not in ("gnu", "msvc") or l.split()[0] in abis]
    if recorded == current:
        return []
    problems = []
    old_major, new_major = major_of(recorded), major_of(current)
    gone = [l for l in recorded if l not in current and not l.startswith("major ")]
    new = [l for l in current if l not in recorded and not l.startswith("major ")]
    if old_major is None:
        problems.append(("new", "no manifest yet: run the refresh command"))
    elif new_major < old_major:
        problems.append(("below", f"major version {new_major} is below the manifest's {old_major}"))
    elif new_major > old_major:
        problems.append(("major", f"major version {new_major}: record the new ABI with the refresh command"))
    else:
        if gone:
            problems.append(("break", "removed or changed under the same major version (an ABI break: "
                             "hosts built against the manifest would fail):\n  " + "\n  ".join(gone)))
        if new:
            problems.append(("added", "not in the manifest (add it in the same change with the refresh "
                             "command):\n  " + "\n  ".join(new)))
        if not gone and not new:
            problems.append(("order", "the same entries in another order"))
    return problems


def unnamed(recorded, path, short=False):
    """Exports of the manifest that a text does not name (by the function's
    own name when short, as a reader looks for it)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    names = [l.split(" ", 1)[1] for l in recorded if l.startswith("export ")]
    if short:
        names = [n[1:].split("@", 1)[0] if n.startswith("?") else n for n in names]
    # A whole name: QVDI_SendDalQuery must not pass for QVDI_SendDalQueryEx.
    return [n for n in names if not re.search(r"(?<![\w?@])" + re.escape(n) + r"(?![\w@])", text)]


def unmeasured(current, header):
    """Public structures and DriverInterface members of the header that the
    layout program does not measure: a new one must be added to it, or the
    manifest would not see it change."""
    with open(header, encoding="utf-8") as f:
        text = f.read()
    measured = {l.split()[2] for l in current if l.split()[1:2] == ["struct"]}
    measured |= {l.split()[4] for l in current if l.split()[1:2] == ["vtable"]}
    declared = set(re.findall(r"^\s*(?:typedef\s+)?struct\s+(\w+)\s*\{", text, re.M))
    interface = text.split("class DriverInterface {", 1)[-1].split("};", 1)[0]
    declared |= set(re.findall(r"virtual\s[^;{]*?(?<![~\w])(\w+)\s*\(", interface)) - {"DeleteThis"}
    return sorted(declared - measured - {"destroy"})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("check", "update"))
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--header", required=True)
    parser.add_argument("--changelog", required=True)
    parser.add_argument("--major", required=True, type=int)
    parser.add_argument("--run", required=True, help="runs a Windows program (the Wine wrapper)")
    parser.add_argument("--layout", action="append", default=[], help="ABI=EXE")
    args = parser.parse_args()
    args.layouts = [tuple(item.split("=", 1)) for item in args.layout]
    abis = [abi for abi, _ in args.layouts]

    recorded = read_manifest(args.manifest)
    current = current_abi(args)
    problems = compare(recorded, current, abis)
    if args.mode == "update":
        if "msvc" not in abis:
            print("abi: refusing to write without the MSVC ABI's layout (clang and lld-link missing)")
            return 1
        if any(kind in ("break", "below") for kind, _ in problems):
            print("abi: refused:\n" + "\n".join(text for _, text in problems))
            return 1
        with open(args.manifest, "w", encoding="utf-8", newline="\n") as f:
            f.write(HEADER + "\n".join(current) + "\n")
        print(f"abi: {args.manifest}: {len(current)} entries" + (" (updated)" if problems else " (unchanged)"))
        return 0
    missing = unnamed(recorded, args.header)
    if missing:
        problems.append(("undeclared", "in the manifest but not declared by the public header:\n  " + "\n  ".join(missing)))
    missing = unmeasured(current, args.header)
    if missing:
        problems.append(("unmeasured", "in the public header but not measured by cmake/abi_layout.cpp:\n  " +
                         "\n  ".join(missing)))
    missing = unnamed(current, args.changelog, short=True)
    if missing:
        problems.append(("unlisted", "exported but not in the CHANGELOG under the release that adds it:\n  " +
                         "\n  ".join(missing)))
    if "msvc" not in abis:
        print("abi: clang or lld-link missing: the MSVC ABI's layout is not compared")
    if not problems:
        print(f"abi: the built ABI matches the manifest ({len(current)} entries)")
        return 0
    print("abi: " + "\n\nabi: ".join(text for _, text in problems) + "\n")
    sys.stdout.writelines(difflib.unified_diff([l + "\n" for l in recorded if l.split()[0] != "msvc" or "msvc" in abis],
                                               [l + "\n" for l in current], "manifest", "built"))
    return 1


if __name__ == "__main__":
    sys.exit(main())
