#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own.

The layers, bottom to top (README, "Layout"):

    zipcore -> common -> engine -> platform -> windowkit
            -> addfiles | extract | sfx | help -> mainwindow -> app

A file may include headers of its own folder and of the folders below it.
The four window folders stand side by side and never include each other.
The self-extractor runtimes stand beside the program: they use the zip core
alone (the Windows one also the Linux one's portable parts).
"""

import pathlib
import re
import sys

TOP = pathlib.Path(__file__).resolve().parent.parent

ORDER = ["src/zipcore", "src/common", "src/engine", "src/platform", "src/windowkit",
         ("src/addfiles", "src/extract", "src/sfx", "src/help"), "src/mainwindow", "src/app"]

ALLOWED = {}
below = []
for step in ORDER:
    group = step if isinstance(step, tuple) else (step,)
    for folder in group:
        ALLOWED[folder] = set(below) | {folder}
    below.extend(group)
ALLOWED["sfx-runtime"] = {"sfx-runtime", "src/zipcore"}
ALLOWED["sfx-runtime/windows"] = {"sfx-runtime/windows", "sfx-runtime", "src/zipcore"}

SOURCE = re.compile(r"\.(h|cpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    """The layer folder a file belongs to (the longest folder that names one)."""
    rel = path.relative_to(TOP).as_posix()
    best = None
    for folder in ALLOWED:
        if rel.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


def main():
    files = [p for p in TOP.joinpath("src").rglob("*") if SOURCE.search(p.name)]
    files += [p for p in TOP.joinpath("sfx-runtime").rglob("*") if SOURCE.search(p.name)]
    headers = {}
    for p in files:
        if p.suffix == ".h":
            headers.setdefault(p.name, []).append(p)

    problems = []
    for p in sorted(files):
        own = layer_of(p)
        for name in INCLUDE.findall(p.read_text(encoding="utf-8")):
            if "/" in name:
                candidates = [q for q in (p.parent / name, TOP / "src" / name) if q.exists()]
            else:
                candidates = [p.parent / name] if (p.parent / name).exists() else headers.get(name, [])
            if not candidates:
                continue  # a generated or system header
            layers = {layer_of(q.resolve()) for q in candidates}
            if len(layers) > 1:
                problems.append(f"{p.relative_to(TOP)}: \"{name}\" is ambiguous: {sorted(layers)}")
                continue
            layer = layers.pop()
            if layer not in ALLOWED[own]:
                problems.append(f"{p.relative_to(TOP)} ({own}) includes \"{name}\" from {layer}, a layer above")

    for line in problems:
        print(line)
    if problems:
        print(f"check-layers: {len(problems)} include(s) point up the layers")
        return 1
    print(f"check-layers: {len(files)} files, every include points down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
