#!/usr/bin/env python3
"""The manifest's rules, case by case, and its export reader against binutils'.
  abi_manifest_test.py DLL"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "cmake"))
import abi_manifest  # noqa: E402

BASE = ["major 3", "export A", "export B", "gnu vtable DriverInterface 0 destroy",
        "msvc vtable DriverInterface 0 destroy"]
BOTH = ["gnu", "msvc"]
# (note, built ABI, ABIs measured, problem kinds expected)
CASES = [
    ("unchanged", BASE, BOTH, []),
    ("an export added", BASE[:3] + ["export C"] + BASE[3:], BOTH, ["added"]),
    ("an export removed", [l for l in BASE if l != "export B"], BOTH, ["break"]),
    ("a slot moved", BASE[:4] + ["msvc vtable DriverInterface 1 destroy"], BOTH, ["break", "added"]),
    ("a removal with a new major", ["major 4"] + BASE[1:2] + BASE[3:], BOTH, ["major"]),
    ("an older major", ["major 2"] + BASE[1:], BOTH, ["below"]),
    ("no MSVC compiler here", BASE[:4], ["gnu"], []),
    ("the same in another order", [BASE[0], BASE[2], BASE[1]] + BASE[3:], BOTH, ["order"]),
]

failures = 0
for note, built, abis, kinds in CASES:
    got = [kind for kind, _ in abi_manifest.compare(BASE, built, abis)]
    if got != kinds:
        failures += 1
        print(f"FAIL {note}: {got}, expected {kinds}")
if [k for k, _ in abi_manifest.compare([], BASE, BOTH)] != ["new"]:
    failures += 1
    print("FAIL an empty manifest is not reported")

# A name counts only whole; a decorated one by its function's name when short.
with tempfile.NamedTemporaryFile("w", suffix=".md", delete=False) as f:
    f.write("- `QVDI_SendDalQueryEx`, `DI_Open`\n")
named = ["export QVDI_SendDalQuery", "export QVDI_SendDalQueryEx", "export ?DI_Open@@YAPEAUHDRIVERINTERFACE__@@PEAX@Z"]
if abi_manifest.unnamed(named, f.name, short=True) != ["QVDI_SendDalQuery"]:
    failures += 1
    print(f"FAIL names in a text: {abi_manifest.unnamed(named, f.name, short=True)}")
os.unlink(f.name)

# A structure or slot the header declares but the layout program skips.
with tempfile.NamedTemporaryFile("w", suffix=".h", delete=False) as f:
    f.write("typedef struct QV_NEW {\n int a;\n} QV_NEW;\nclass DriverInterface {\n"
            "    virtual ~DriverInterface() {}\n    virtual void* DeleteThis(unsigned int flags) = 0;\n"
            "    virtual bool IsAdvanced() = 0;\n    virtual int Added(int x) = 0;\n};\n")
measured = ["gnu vtable DriverInterface 0 destroy", "gnu vtable DriverInterface 1 IsAdvanced"]
if abi_manifest.unmeasured(measured, f.name) != ["Added", "QV_NEW"]:
    failures += 1
    print(f"FAIL unmeasured: {abi_manifest.unmeasured(measured, f.name)}")
os.unlink(f.name)

# binutils reads the same table independently.
dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", sys.argv[1]], capture_output=True, text=True,
                      check=True).stdout
table = dump.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
expected = sorted(re.findall(r"\]\s+(\S+)$", table, re.M))
got = sorted(abi_manifest.pe_export_names(sys.argv[1]))
if got != expected or not got:
    failures += 1
    print(f"FAIL export names: {len(got)} read, objdump lists {len(expected)}")
print(f"{len(CASES) + 4 - failures} of {len(CASES) + 4} passed")
sys.exit(1 if failures else 0)
