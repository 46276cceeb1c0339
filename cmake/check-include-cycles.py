#!/usr/bin/env python3
"""Fails when the #include lines of the product folders make a cycle between
top-level folders. Each folder may use the folders below it, core/ at the
bottom; an include that closes a loop (registry/ -> printer/ -> registry/)
is named with the file and line that carry it, so the fix is obvious."""
import os
import re
import sys

PRODUCT = ["core", "driver_interface", "printer", "dal", "xpml", "net", "registry", "rfid",
           "diagnostics", "exports", "sim"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([A-Za-z0-9_]+)/')


def edges(root):
    """folder -> {included folder -> first 'file:line' that includes it}"""
    graph = {}
    for folder in PRODUCT:
        top = os.path.join(root, folder)
        for base, _, files in os.walk(top):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".c", ".rc")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if match and match.group(1) in PRODUCT and match.group(1) != folder:
                            where = f"{os.path.relpath(path, root)}:{number}"
                            graph.setdefault(folder, {}).setdefault(match.group(1), where)
    return graph


def find_cycle(graph):
    """One cycle as a list of folders (first == last), or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, {})):
            if state.get(nxt) == "open":
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    graph = edges(root)
    if "core" in graph:
        print("core/ is the bottom and includes no other folder:")
        for folder, where in sorted(graph["core"].items()):
            print(f"  core -> {folder}: {where}")
        return 1
    cycle = find_cycle(graph)
    if cycle:
        print("include cycle between folders: " + " -> ".join(cycle))
        for a, b in zip(cycle, cycle[1:]):
            print(f"  {a} -> {b}: {graph[a][b]}")
        return 1
    for folder in sorted(graph):
        print(f"{folder} -> {', '.join(sorted(graph[folder]))}")
    print("no include cycle between folders")
    return 0


if __name__ == "__main__":
    sys.exit(main())
