#!/usr/bin/env python3
"""Benchmarks Marrowfen Plovern against other zip tools on the same data.

Makes its own data (seeded, in a temporary folder that is removed afterwards),
runs each case at least three times for us and for every peer, and prints the
median times and the ratio ours / peer (below 1 means we are faster), plus our
peak memory. Our times come from build/plovern-bench, which drives the real
windows and engine offscreen and measures the click itself; a peer's time is
its whole command.

    python3 bench/run.py [--build build] [--runs 3] [--only list,extract,...] [--small]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile


def run_peer(cmd, cwd=None, stdout=None):
    start = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, check=True, stdout=stdout or subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.perf_counter() - start


def run_ours(bench, args):
    out = subprocess.run([bench] + args, check=True, capture_output=True, text=True).stdout
    fields = dict(item.split("=") for item in out.split())
    return float(fields["seconds"]), int(fields["maxrss_kb"])


def median_of(runs, fn):
    return statistics.median(fn() for _ in range(runs))


class Data:
    """The benchmark's inputs, made once per run from a fixed seed."""

    def __init__(self, root, small):
        self.root = root
        self.rng = random.Random(20261207)
        self.scale = 0.1 if small else 1.0

    def path(self, name):
        return os.path.join(self.root, name)

    def text(self, size):
        words = ["zip", "archive", "plover", "marrow", "fen", "entry", "folder", "extract", "deflate", "data"]
        out = []
        total = 0
        while total < size:
            line = " ".join(self.rng.choice(words) for _ in range(12)) + "\n"
            out.append(line)
            total += len(line)
        return "".join(out)[:size].encode()

    def many_entries(self, count=10000):
        name = self.path("many.zip")
        with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(count):
                z.writestr(f"folder{i // 500:02d}/file{i:05d}.txt", f"entry {i}\n" * 3)
        return name

    def mixed(self):
        """About 300 MB: 1 MB incompressible files, 4 MB text files and thousands of small files."""
        name = self.path("mixed.zip")
        s = self.scale
        with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
            for i in range(int(60 * s)):
                z.writestr(f"random/r{i:03d}.bin", self.rng.randbytes(1 << 20))
            chunk = self.text(4 << 20)
            for i in range(int(40 * s)):
                z.writestr(f"text/t{i:03d}.txt", chunk[i:] + chunk[:i])
            for i in range(int(4000 * s)):
                z.writestr(f"small/s{i // 200:02d}/f{i:05d}.txt", self.text(self.rng.randint(200, 20000)))
        return name

    def files_to_add(self, count=500, size=100 * 1024):
        folder = self.path("toadd")
        os.makedirs(folder, exist_ok=True)
        base = self.text(size * 2)
        for i in range(count):
            with open(os.path.join(folder, f"file{i:03d}.txt"), "wb") as f:
                f.write(base[i * 97 % size:][:size])
        return folder

    def gigabyte(self):
        name = self.path("big.zip")
        size = int((1 << 30) * self.scale)
        block = self.rng.randbytes(1 << 20)
        with zipfile.ZipFile(name, "w", zipfile.ZIP_STORED) as z:
            with z.open("big.bin", "w", force_zip64=True) as f:
                for i in range(size >> 20):
                    f.write(block[i % 1024:] + block[: i % 1024])
        return name


def report(title, ours, peers, rss_kb):
    print(f"\n## {title}")
    print(f"{'tool':<28}{'median s':>10}{'ours/peer':>11}")
    print(f"{'Marrowfen Plovern':<28}{ours:>10.3f}{'':>11}")
    for peer, seconds in peers.items():
        print(f"{peer:<28}{seconds:>10.3f}{ours / seconds:>11.2f}")
    print(f"peak memory (ours): {rss_kb / 1024:.1f} MiB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", default="list,extract,delete,add,sfx")
    parser.add_argument("--small", action="store_true", help="a tenth of the data, for a quick look")
    args = parser.parse_args()
    bench = os.path.abspath(os.path.join(args.build, "plovern-bench"))
    if not os.path.exists(bench):
        sys.exit(f"{bench} is missing: build the project first")
    cases = args.only.split(",")
    runs = max(3, args.runs)

    root = tempfile.mkdtemp(prefix="plovern-bench-")
    here = os.getcwd()
    os.chdir(root)  # the self-extractor builder writes finalmsg.txt in the current folder
    try:
        data = Data(root, args.small)
        print(f"# Marrowfen Plovern benchmarks ({runs} runs each, median)")
        print(f"machine: {os.cpu_count()} cores, {os.uname().sysname} {os.uname().release}")

        if "list" in cases:
            archive = data.many_entries()
            listing = data.path("listing.txt")
            rss = []
            def ours():
                seconds, kb = run_ours(bench, ["list", archive])
                rss.append(kb)
                return seconds
            def peer(cmd):
                def go():
                    with open(listing, "w") as out:
                        return run_peer(cmd, stdout=out)
                return go
            report("Listing 10,000 entries until the list is filled", median_of(runs, ours), {
                "unzip -Z1 > file": median_of(runs, peer(["unzip", "-Z1", archive])),
                "7zz l > file": median_of(runs, peer(["7zz", "l", archive])),
            }, max(rss))

        if "extract" in cases or "delete" in cases:
            mixed = data.mixed()
            print(f"\n(mixed archive: {os.path.getsize(mixed) / 1e6:.0f} MB compressed)")

        if "extract" in cases:
            out = data.path("out")
            rss = []
            def fresh():
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
            def ours():
                fresh()
                seconds, kb = run_ours(bench, ["extract", mixed, out])
                rss.append(kb)
                return seconds
            def peer(cmd):
                def go():
                    fresh()
                    return run_peer(cmd, cwd=out)
                return go
            report("Extracting everything from the mixed archive", median_of(runs, ours), {
                "unzip -o -q": median_of(runs, peer(["unzip", "-o", "-q", mixed, "-d", out])),
                "bsdtar -xf": median_of(runs, peer(["bsdtar", "-xf", mixed, "-C", out])),
                "7zz x": median_of(runs, peer(["7zz", "x", "-y", "-o" + out, mixed])),
                "python3 -m zipfile -e": median_of(runs, peer([sys.executable, "-m", "zipfile", "-e", mixed, out])),
            }, max(rss))
            shutil.rmtree(out, ignore_errors=True)

        if "delete" in cases:
            copy = data.path("delete.zip")
            victim = "text/t000.txt"
            rss = []
            def ours():
                shutil.copyfile(mixed, copy)
                seconds, kb = run_ours(bench, ["delete", copy, victim])
                rss.append(kb)
                return seconds
            def zip_d():
                shutil.copyfile(mixed, copy)
                return run_peer(["zip", "-q", "-d", copy, victim])
            report("Deleting one entry from the mixed archive", median_of(runs, ours),
                   {"zip -d": median_of(runs, zip_d)}, max(rss))
            os.remove(copy)

        if "add" in cases:
            folder = data.files_to_add()
            target = data.path("added.zip")
            rss = []
            def ours():
                if os.path.exists(target):
                    os.remove(target)
                seconds, kb = run_ours(bench, ["add", target, folder])
                rss.append(kb)
                return seconds
            def zip_add():
                if os.path.exists(target):
                    os.remove(target)
                names = sorted(os.listdir(folder))
                return run_peer(["zip", "-q", target] + names, cwd=folder)
            report("One add click with 500 files of 100 KB", median_of(runs, ours),
                   {"zip (one call)": median_of(runs, zip_add)}, max(rss))

        if "sfx" in cases:
            big = data.gigabyte()
            output = data.path("big.exe")
            rss = []
            copy = data.path("copy.zip")
            # Both start with no output file and no dirty pages left by the
            # run before, so neither pays for the other's write-back.
            def settle():
                for name in (output, copy):
                    if os.path.exists(name):
                        os.remove(name)
                os.sync()
            def ours():
                settle()
                seconds, kb = run_ours(bench, ["sfx", big, output])
                rss.append(kb)
                return seconds
            def cp():
                settle()
                return run_peer(["cp", big, copy])
            # Alternated, so that the disk's state after a 1 GB write weighs
            # on both alike.
            ours_times, cp_times = [], []
            for _ in range(max(runs, 5)):
                ours_times.append(ours())
                cp_times.append(cp())
            report(f"Making a self-extractor from a {os.path.getsize(big) / 1e9:.2f} GB archive",
                   statistics.median(ours_times), {"cp": statistics.median(cp_times)}, max(rss))
    finally:
        os.chdir(here)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
