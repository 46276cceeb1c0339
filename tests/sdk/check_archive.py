#!/usr/bin/env python3
"""Makes the release archive with CPack and holds it to the SDK's layout:
exactly these files, under one folder named like the archive, and a SHA-256
file that matches it. Leaves the archive in OUT for the consumer test.
  check_archive.py BUILD_DIR OUT VERSION"""
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

LAYOUT = """
bin/QuorvelDriverUtility.dll
bin/qvhost.exe
examples/host_flat.c
examples/host_status.cpp
include/quorvel_driver_utility.h
lib/QuorvelDriverUtility.lib
lib/cmake/QuorvelDriverUtility/QuorvelDriverUtilityConfig.cmake
lib/cmake/QuorvelDriverUtility/QuorvelDriverUtilityConfigVersion.cmake
share/doc/CHANGELOG.md
share/doc/README.md
""".split()

build, out, version = sys.argv[1:4]
shutil.rmtree(out, ignore_errors=True)
subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out],
               check=True, stdout=subprocess.DEVNULL)
name = f"QuorvelDriverUtility-{version}-win64"
archive = os.path.join(out, name + ".zip")
with zipfile.ZipFile(archive) as z:
    files = sorted(n for n in z.namelist() if not n.endswith("/"))
    dll = z.read(f"{name}/bin/QuorvelDriverUtility.dll")
expected = sorted(f"{name}/{path}" for path in LAYOUT)
problems = [f"unexpected: {n}" for n in files if n not in expected]
problems += [f"missing: {n}" for n in expected if n not in files]
if dll[:2] != b"MZ":
    problems.append("the DLL is no Windows image")
with open(archive + ".sha256", encoding="ascii") as f:
    recorded = f.read().split()
with open(archive, "rb") as f:
    digest = hashlib.sha256(f.read()).hexdigest()
if recorded[:2] != [digest, name + ".zip"]:
    problems.append(f"the SHA-256 file says {recorded}, the archive is {digest}")
print(f"{archive}: {os.path.getsize(archive)} bytes, {len(files)} files")
for line in problems:
    print(line)
sys.exit(1 if problems else 0)
