#!/usr/bin/env python3
"""Benchmarks Marrowfen Plovern against other zip tools on the same data.

Both sides are timed the same way: the wall time of a whole process, from
exec to exit, with its peak memory from the child's resource usage. Ours is
build/plovern-bench, which starts as the program does (offscreen), drives the
real windows and engine through one action, checks the outcome and exits.
The runs alternate (ours, peer 1, peer 2, ..., ours, peer 1, ...) so that a
change in the machine's load weighs on every tool alike; each tool's min,
median and max are printed with the ratio of medians ours / peer (below 1
means we are faster) and the case's target for it.

Inputs (archives, the trees they were made from) are made from a fixed seed
in a folder under $TMPDIR (on disk); everything the tools write goes to a
folder on /dev/shm (tmpfs) when it exists, so that no tool waits for a disk.
Both are removed at the end.

    python3 bench/run.py [--build build] [--runs 5] [--only list,extract,methods,delete,add,sfx,million] [--small]

"million" (an archive of 1,000,000 empty entries: listing, extracting and
deleting one entry, one round each) runs only when named in --only.
"""

import argparse
import datetime
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import lzma
import struct
import zipfile
import zlib

MiB = 1 << 20
MEMORY_LIMIT_MIB = 64
CASES = ["list", "extract", "methods", "delete", "add", "sfx", "million"]
DEFAULT_CASES = [c for c in CASES if c != "million"]
MILLION = 1_000_000
# Every action on the million-entry archive stays under this; only the list
# (start to filled list) under MEMORY_LIMIT_MIB.
ACTION_LIMIT_MIB = 256
OURS = "Marrowfen Plovern"


# ---- the machine ------------------------------------------------------------


def read(path):
    with open(path) as f:
        return f.read()


def cpu_model():
    for line in read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown CPU"


def ram_gib():
    for line in read("/proc/meminfo").splitlines():
        if line.startswith("MemTotal:"):
            return int(line.split()[1]) / (1 << 20)
    return 0.0


def file_system(path):
    """The type of the file system that holds `path`, from the longest mount point above it."""
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    for line in read("/proc/self/mountinfo").splitlines():
        left, right = line.split(" - ", 1)
        mount = left.split()[4].replace("\\040", " ")
        inside = path == mount or path.startswith(mount.rstrip("/") + "/")
        if inside and len(mount) >= len(best):
            best, kind = mount, right.split()[0]
    return kind


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def build_description(build):
    cache = {}
    try:
        for line in read(os.path.join(build, "CMakeCache.txt")).splitlines():
            if ":" in line and "=" in line and not line.startswith(("//", "#")):
                key, value = line.split("=", 1)
                cache[key.split(":", 1)[0]] = value
    except OSError:
        pass
    source = cache.get("CMAKE_HOME_DIRECTORY", os.path.join(build, ".."))

    def git(*args):
        done = subprocess.run(["git", "-C", source, *args], capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else ""

    commit = git("rev-parse", "--short=12", "HEAD") or "unknown"
    if git("status", "--porcelain", "--untracked-files=no"):
        commit += " (plus uncommitted changes)"
    return cache.get("CMAKE_BUILD_TYPE") or "unknown", commit, source


# ---- running and reporting ----------------------------------------------------


SPAWN = None  # build/plovern-spawn, set by main()


def run(cmd, cwd=None, stdout=None, env=None):
    """Runs one command through plovern-spawn; returns its wall time from start to exit in seconds and
    its peak memory in KiB."""
    with tempfile.NamedTemporaryFile(prefix="plovern-spawn-") as result, tempfile.TemporaryFile() as err:
        out = open(stdout, "wb") if stdout else subprocess.DEVNULL
        try:
            subprocess.run([SPAWN, result.name, *cmd], cwd=cwd, stdout=out, stderr=err, env=env, check=True)
        finally:
            if stdout:
                out.close()
        seconds, kib, status = result.read().decode().split()
        if int(status) != 0:
            err.seek(0)
            message = err.read().decode(errors="replace").strip()
            raise RuntimeError(f"{' '.join(cmd)} failed with status {status}:\n{message}")
    return float(seconds), int(kib)


class Tool:
    """One contender of a case: its command, what to do before each run (not timed) and its target."""

    def __init__(self, name, cmd, prepare=None, cwd=None, stdout=None, target=None):
        self.name = name
        self.cmd = cmd
        self.prepare = prepare
        self.cwd = cwd
        self.stdout = stdout
        self.target = target  # the highest ours / this tool ratio the case allows; None: for information
        self.seconds = []
        self.peak_kib = []


def measure(tools, rounds, env):
    """Runs every tool once per round, in the order given, ours first."""
    for _ in range(rounds):
        for tool in tools:
            if tool.prepare:
                tool.prepare()
            seconds, kib = run(tool.cmd, cwd=tool.cwd, stdout=tool.stdout, env=env)
            tool.seconds.append(seconds)
            tool.peak_kib.append(kib)


def report(title, where, tools, memory_limit=MEMORY_LIMIT_MIB):
    """Prints one case as a table; returns the lines that flag a problem."""
    ours = tools[0]
    ours_median = statistics.median(ours.seconds)
    print(f"\n## {title}\n")
    for line in where:
        print(line)
    print()
    print("| tool | min s | median s | max s | peak MiB | ours/tool | target | |")
    print("|---|---|---|---|---|---|---|---|")
    problems = []
    for tool in tools:
        median = statistics.median(tool.seconds)
        peak = max(tool.peak_kib) / 1024
        cells = [f"{min(tool.seconds):.3f}", f"{median:.3f}", f"{max(tool.seconds):.3f}", f"{peak:.1f}"]
        if tool is ours:
            cells += ["", "", ""]
        else:
            ratio = ours_median / median
            if tool.target is None:
                cells += [f"{ratio:.2f}", "(information)", ""]
            else:
                met = ratio <= tool.target
                cells += [f"{ratio:.2f}", f"≤ {tool.target:g}", "met" if met else "**NOT met**"]
                if not met:
                    problems.append(f"{title}: ours/{tool.name} = {ratio:.2f}, target ≤ {tool.target:g}")
        print(f"| {tool.name} | " + " | ".join(cells) + " |")
    peak = max(ours.peak_kib) / 1024
    if peak >= memory_limit:
        print(f"\n**Our peak memory {peak:.1f} MiB is over the {memory_limit:g} MiB limit.**")
        problems.append(f"{title}: our peak memory {peak:.1f} MiB ≥ {memory_limit:g} MiB")
    print(f"\nload average after the case: {load_average()}")
    sys.stdout.flush()
    return problems


def check(cmd, what, cwd=None):
    """An outcome check after the timed runs: the command must succeed."""
    done = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{what}: {' '.join(cmd)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def entry_count(archive):
    return len(check(["unzip", "-Z1", archive], f"listing {archive}").splitlines())


def fresh(path):
    """Removes a file or folder left by an earlier run."""
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def emptied(path):
    """A step before a run: `path` made a fresh, empty folder."""

    def prepare():
        fresh(path)
        os.makedirs(path)

    return prepare


def size_text(path):
    return f"{os.path.getsize(path) / 1e6:,.0f} MB"


def tree_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder) for f in files)


def file_count(folder):
    return sum(len(files) for _, _, files in os.walk(folder))


def write_zip_by_hand(name, folder, method):
    """A zip of every file of `folder` (under its own name) with xz (method 95) or zstd (93) entries."""
    number = {"xz": 95, "zstd": 93}[method]
    top = os.path.basename(folder)
    central = []
    with open(name, "wb") as z:
        for file in sorted(os.listdir(folder)):
            with open(os.path.join(folder, file), "rb") as f:
                data = f.read()
            if method == "xz":
                packed = lzma.compress(data, format=lzma.FORMAT_XZ, preset=6)
            else:
                packed = subprocess.run(["zstd", "-q", "-3", "-c"], input=data, capture_output=True,
                                        check=True).stdout
            entry = f"{top}/{file}".encode()
            crc = zlib.crc32(data)
            offset = z.tell()
            fields = struct.pack("<HHHHHIIIHH", 63, 0, number, 0, 0x21, crc, len(packed), len(data), len(entry), 0)
            z.write(b"PK\x03\x04" + fields + entry + packed)
            central.append(b"PK\x01\x02" + struct.pack("<H", 63) + fields + struct.pack("<HHHII", 0, 0, 0, 0, offset)
                           + entry)
        start = z.tell()
        for record in central:
            z.write(record)
        z.write(b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(central), len(central), z.tell() - start, start, 0))


def lzma_dictionary(archive):
    """The largest dictionary an LZMA entry of `archive` declares, in MiB (0 without LZMA entries)."""
    largest = 0
    with zipfile.ZipFile(archive) as z, open(archive, "rb") as f:
        for info in z.infolist():
            if info.compress_type != 14:
                continue
            f.seek(info.header_offset + 26)
            name_length, extra_length = struct.unpack("<HH", f.read(4))
            f.seek(info.header_offset + 30 + name_length + extra_length + 4 + 1)
            largest = max(largest, struct.unpack("<I", f.read(4))[0])
    return largest / MiB


# ---- the data -------------------------------------------------------------------


class Data:
    """The benchmark's inputs, made once per run from a fixed seed, on disk."""

    WORDS = ["zip", "archive", "plover", "marrow", "fen", "entry", "folder", "extract", "deflate", "data"]

    def __init__(self, root, small):
        self.root = root
        self.rng = random.Random(20261207)
        self.scale = 0.1 if small else 1.0
        self._prose = None

    def path(self, *names):
        return os.path.join(self.root, *names)

    def count(self, n):
        return max(1, int(n * self.scale))

    def text(self, size):
        words = self.WORDS
        lines = []
        total = 0
        while total < size:
            line = " ".join(self.rng.choice(words) for _ in range(12)) + "\n"
            lines.append(line)
            total += len(line)
        return "".join(lines)[:size].encode()

    def prose(self):
        """4 MiB of text that files are cut from."""
        if self._prose is None:
            self._prose = self.text(4 * MiB)
        return self._prose

    def small_text(self):
        size = self.rng.randint(200, 20000)
        start = self.rng.randrange(len(self.prose()) - size)
        return self.prose()[start : start + size]

    def many_entries(self, count):
        name = self.path("many.zip")
        if not os.path.exists(name):
            with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED) as z:
                for i in range(count):
                    z.writestr(f"folder{i // 500:02d}/file{i:05d}.txt", f"entry {i}\n" * 3)
        return name

    def million(self):
        """1,000,000 empty entries, stored, in 1,000 folders of 1,000 (no folder entries): written by hand
        would be faster, but zipfile with ZIP_STORED takes well under a minute."""
        name = self.path("million.zip")
        if not os.path.exists(name):
            with zipfile.ZipFile(name, "w", zipfile.ZIP_STORED, allowZip64=True) as z:
                for i in range(MILLION):
                    z.writestr(zipfile.ZipInfo(f"d{i // 1000:03d}/f{i:07d}", (2021, 3, 4, 5, 6, 8)), b"")
        return name

    def mixed(self):
        """1 MiB incompressible files, 4 MiB text files and thousands of small files, zipped by Python;
        returns the archive and the same files unpacked on disk."""
        name = self.path("mixed.zip")
        tree = self.path("mixed")
        if not os.path.exists(name):
            chunk = self.prose()
            with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
                for i in range(self.count(60)):
                    z.writestr(f"random/r{i:03d}.bin", self.rng.randbytes(MiB))
                for i in range(self.count(40)):
                    z.writestr(f"text/t{i:03d}.txt", chunk[i:] + chunk[:i])
                for i in range(self.count(4000)):
                    z.writestr(f"small/s{i // 200:02d}/f{i:05d}.txt", self.small_text())
            check(["unzip", "-q", name, "-d", tree], "unpacking the mixed archive")
        return name, tree

    def tree(self):
        """About 395 MB on disk: 1 MiB random files, 4 MiB text files, 3,000 small files in 20 folders."""
        top = self.path("tree")
        if not os.path.exists(top):
            chunk = self.prose()

            def write(relative, data):
                full = os.path.join(top, relative)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "wb") as f:
                    f.write(data)

            for i in range(self.count(170)):
                write(f"random/r{i:03d}.bin", self.rng.randbytes(MiB))
            for i in range(self.count(55)):
                cut = i * 7919
                write(f"text/t{i:03d}.txt", chunk[cut:] + chunk[:cut])
            for i in range(self.count(3000)):
                write(f"small/s{i % 20:02d}/f{i:05d}.txt", self.small_text())
        return top

    def tree_zip(self):
        """The tree zipped by Info-ZIP at its default level."""
        name = self.path("tree.zip")
        if not os.path.exists(name):
            tree = self.tree()
            check(["zip", "-r", "-q", name, os.path.basename(tree)], "zipping the tree", cwd=self.root)
        return name

    def texts(self):
        """About 100 MB of text: 25 files of 4 MiB, for the compression-method cases."""
        top = self.path("texts")
        if not os.path.exists(top):
            os.makedirs(top)
            chunk = self.prose()
            for i in range(self.count(25)):
                cut = i * 104729 % len(chunk)
                with open(os.path.join(top, f"t{i:02d}.txt"), "wb") as f:
                    f.write(chunk[cut:] + chunk[:cut])
        return top

    def by_method(self, method):
        """The text tree archived with one method: 7-Zip's names (BZip2, LZMA, Deflate64), "AES256" for
        AES-256 encrypted Deflate (password "plovern"), or "xz" / "zstd", which no zip tool here writes,
        so they are written by hand."""
        name = self.path(f"texts-{method}.zip")
        if not os.path.exists(name):
            texts = self.texts()
            if method in ("xz", "zstd"):
                write_zip_by_hand(name, texts, method)
            else:
                options = ["-mm=Deflate", "-mem=AES256", "-pplovern"] if method == "AES256" else [f"-mm={method}"]
                check(["7zz", "a", "-tzip", "-bd", *options, name, os.path.basename(texts)], f"making {name}",
                      cwd=self.root)
        return name

    def files_to_add(self):
        folder = self.path("toadd")
        if not os.path.exists(folder):
            os.makedirs(folder)
            size = 100 * 1024
            base = self.text(size * 2)
            for i in range(self.count(500)):
                with open(os.path.join(folder, f"file{i:03d}.txt"), "wb") as f:
                    f.write(base[i * 97 % size :][:size])
        return folder

    def stored(self, name, size):
        """One stored (uncompressed) entry of `size` bytes."""
        path = self.path(name)
        if not os.path.exists(path):
            block = self.rng.randbytes(MiB)
            with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
                with z.open("big.bin", "w", force_zip64=True) as f:
                    for i in range(size // MiB):
                        f.write(block[i % 1024 :] + block[: i % 1024])
        return path


# ---- the cases --------------------------------------------------------------------


class Bench:
    def __init__(self, args, data, out, bench):
        self.rounds = args.runs
        self.data = data
        self.out = out
        self.bench = bench
        self.problems = []
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.output("runtime"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)

    def output(self, *names):
        return os.path.join(self.out, *names)

    def ours(self, *args, **kwargs):
        return Tool(OURS, [self.bench, *args], **kwargs)

    def finish(self, title, where, tools, memory_limit=MEMORY_LIMIT_MIB):
        measure(tools, self.rounds, self.env)
        self.problems += report(title, where, tools, memory_limit)

    def list(self):
        entries = 10001
        archive = self.data.many_entries(entries)
        rows = min(entries, 10000)  # the list holds 10,000 rows and says the rest were left out
        tools = [
            self.ours("list", archive, str(rows)),
            Tool("`unzip -Z1 > file`", ["unzip", "-Z1", archive], stdout=self.output("listing-unzip.txt"), target=1.5),
            Tool("`7zz l > file`", ["7zz", "l", archive], stdout=self.output("listing-7zz.txt")),
        ]
        where = [
            f"Archive: {entries:,} entries, {size_text(archive)}, on disk. Ours: start, main window, Open, "
            f"list filled ({rows:,} rows, checked), exit. Peers write their listing to a file on the output folder."
        ]
        self.finish(f"Listing a {entries:,}-entry archive until the list is filled", where, tools)

    def extract_one(self, label, archive, unpacked, top=""):
        def target(name):
            path = self.output(name)
            return path, lambda: fresh(path)

        ours_dir, ours_fresh = target("x-ours")

        def ours_prepare():
            ours_fresh()
            os.makedirs(ours_dir)

        def made(name):
            path, clear = target(name)

            def prepare():
                clear()
                os.makedirs(path)

            return path, prepare

        bsdtar_dir, bsdtar_prepare = made("x-bsdtar")
        unzip_dir, unzip_prepare = made("x-unzip")
        sevenz_dir, sevenz_prepare = made("x-7zz")
        cp_dir, cp_prepare = target("x-cp")  # cp -r makes the folder itself
        tools = [
            self.ours("extract", archive, ours_dir, prepare=ours_prepare),
            Tool("`bsdtar -xf`", ["bsdtar", "-xf", archive, "-C", bsdtar_dir], prepare=bsdtar_prepare, target=0.5),
            Tool("`cp -r` of the unpacked tree", ["cp", "-r", unpacked, cp_dir], prepare=cp_prepare, target=1.3),
            Tool("`unzip -o -q`", ["unzip", "-o", "-q", archive, "-d", unzip_dir], prepare=unzip_prepare),
            Tool("`7zz x`", ["7zz", "x", "-y", "-o" + sevenz_dir, archive], prepare=sevenz_prepare),
        ]
        where = [
            f"Archive: {size_text(archive)} on disk, {file_count(unpacked):,} files, "
            f"{tree_bytes(unpacked) / 1e6:,.0f} MB unpacked. Every tool writes into a fresh folder on the output "
            "folder; `cp -r` copies the unpacked tree from the disk."
        ]
        self.finish(f"Extracting everything: {label}", where, tools)
        check(["diff", "-r", "-q", unpacked, os.path.join(ours_dir, top)], f"our extraction of {archive}")
        for path in (ours_dir, bsdtar_dir, unzip_dir, sevenz_dir, cp_dir):
            fresh(path)

    def extract(self):
        mixed, mixed_tree = self.data.mixed()
        self.extract_one("the mixed archive (Python zipfile, level 6)", mixed, mixed_tree)
        tree = self.data.tree()
        self.extract_one("the tree archive (Info-ZIP `zip -r`)", self.data.tree_zip(), tree, os.path.basename(tree))

    def methods(self):
        """Extracting the text tree archived with each method peers open, against `7zz x`."""
        texts = self.data.texts()
        # The dictionaries the methods declare: LZMA's is read from the archive; xz at preset 6 uses
        # 8 MiB, zstd at level 3 a window of at most 8 MiB (a 2^23-byte window log).
        declared = {"xz": 8, "zstd": 8}
        for method in ("BZip2", "LZMA", "xz", "zstd", "Deflate64", "AES256"):
            archive = self.data.by_method(method)
            dictionary = lzma_dictionary(archive) if method == "LZMA" else declared.get(method, 0)
            ours_dir = self.output("m-ours")
            sevenz_dir = self.output("m-7zz")

            tools = [
                self.ours("extract", archive, ours_dir, prepare=emptied(ours_dir)),
                Tool("`7zz x`", ["7zz", "x", "-y", "-pplovern", "-o" + sevenz_dir, archive], prepare=emptied(sevenz_dir),
                     target=1.0),
            ]
            label = "AES-256 encrypted Deflate" if method == "AES256" else method
            where = [
                f"Archive: {size_text(archive)}, {file_count(texts)} text files, {tree_bytes(texts) / 1e6:,.0f} MB "
                f"unpacked; {label}" + (f", dictionary {dictionary:g} MiB" if dictionary else "")
                + ". Ours answers the password prompt with \"plovern\" where one comes; 7zz gets it by -p."
            ]
            self.finish(f"Extracting {label} entries", where, tools, memory_limit=MEMORY_LIMIT_MIB + dictionary)
            check(["diff", "-r", "-q", texts, os.path.join(ours_dir, os.path.basename(texts))],
                  f"our extraction of {archive}")
            fresh(ours_dir)
            fresh(sevenz_dir)

    def delete(self):
        mixed, _ = self.data.mixed()
        victim = "text/t000.txt"
        ours_copy = self.output("delete-ours.zip")
        zip_copy = self.output("delete-zip.zip")
        tools = [
            self.ours("delete", ours_copy, victim, prepare=lambda: shutil.copyfile(mixed, ours_copy)),
            Tool("`zip -d`", ["zip", "-q", "-d", zip_copy, victim], prepare=lambda: shutil.copyfile(mixed, zip_copy),
                 target=0.7),
        ]
        where = [
            f"Archive: the mixed archive, {size_text(mixed)}, copied (not timed) to the output folder before each "
            f"run; the entry {victim} is deleted from the copy."
        ]
        self.finish("Deleting one entry", where, tools)
        check(["unzip", "-tq", ours_copy], "our archive after the deletion")
        if entry_count(ours_copy) != entry_count(mixed) - 1:
            raise RuntimeError("our deletion did not remove exactly one entry")
        fresh(ours_copy)
        fresh(zip_copy)

    def add(self):
        folder = self.data.files_to_add()
        names = sorted(os.listdir(folder))
        ours_zip = self.output("add-ours.zip")
        zip_zip = self.output("add-zip.zip")
        tools = [
            self.ours("add", ours_zip, folder, prepare=lambda: fresh(ours_zip)),
            Tool("`zip` (one call)", ["zip", "-q", zip_zip] + names, cwd=folder, prepare=lambda: fresh(zip_zip),
                 target=0.6),
        ]
        where = [
            f"{len(names)} files of 100 KB on disk, added to a new archive on the output folder: ours by one "
            "\"Add the selected file(s)\" click with every file selected."
        ]
        self.finish(f"One add click with {len(names)} files of 100 KB", where, tools)
        check(["unzip", "-tq", ours_zip], "our archive after the add click")
        if entry_count(ours_zip) != len(names):
            raise RuntimeError("our add click did not add every file")
        fresh(ours_zip)
        fresh(zip_zip)

        tree = self.data.tree()
        ours_zip = self.output("addtree-ours.zip")
        zip_zip = self.output("addtree-zip.zip")
        tools = [
            self.ours("addtree", ours_zip, tree, prepare=lambda: fresh(ours_zip)),
            Tool("`zip -r -q`", ["zip", "-r", "-q", zip_zip, os.path.basename(tree)], cwd=self.data.root,
                 prepare=lambda: fresh(zip_zip), target=0.6),
        ]
        where = [
            f"The tree: {file_count(tree):,} files, {tree_bytes(tree) / 1e6:,.0f} MB on disk, added to a new "
            "archive on the output folder. The add window adds the selected files of one folder per click (and "
            "rewrites the archive once per click), so ours runs the window's steps (AddFiles per file, paths "
            "stored, one FinishAdding under the progress window) for every file of the tree in one go."
        ]
        self.finish("Adding a whole tree to a new archive", where, tools)
        check(["unzip", "-tq", ours_zip], "our archive of the tree")
        if entry_count(ours_zip) != file_count(tree):
            raise RuntimeError("our archive of the tree does not hold every file")
        fresh(ours_zip)
        fresh(zip_zip)

    def million(self):
        """Listing, extracting and deleting one entry of a 1,000,000-entry archive, one round each."""
        archive = self.data.million()
        rounds, self.rounds = self.rounds, 1
        try:
            tools = [
                self.ours("list", archive, "10000"),
                Tool("`unzip -Z1 > file`", ["unzip", "-Z1", archive], stdout=self.output("million-unzip.txt"),
                     target=1.0),
            ]
            where = [f"Archive: {MILLION:,} empty stored entries in 1,000 folders, {size_text(archive)}, on disk. "
                     "Ours: start, main window, Open, list filled (10,000 rows shown), exit."]
            self.finish(f"Listing a {MILLION:,}-entry archive until the list is filled", where, tools)
            fresh(self.output("million-unzip.txt"))

            ours_dir = self.output("million-ours")
            bsdtar_dir = self.output("million-bsdtar")

            tools = [
                self.ours("extract", archive, ours_dir, prepare=emptied(ours_dir)),
                Tool("`bsdtar -xf`", ["bsdtar", "-xf", archive, "-C", bsdtar_dir], prepare=emptied(bsdtar_dir),
                     target=1.0),
            ]
            where = [f"Archive: the same; every tool writes its {MILLION:,} files into a fresh folder on the "
                     "output folder."]
            self.finish(f"Extracting a {MILLION:,}-entry archive", where, tools, memory_limit=ACTION_LIMIT_MIB)
            if file_count(ours_dir) != MILLION:
                raise RuntimeError("our extraction of the million entries is incomplete")
            fresh(ours_dir)
            fresh(bsdtar_dir)

            victim = "d000/f0000000"
            ours_copy = self.output("million-ours.zip")
            zip_copy = self.output("million-zip.zip")
            tools = [
                self.ours("delete", ours_copy, victim, prepare=lambda: shutil.copyfile(archive, ours_copy)),
                Tool("`zip -d`", ["zip", "-q", "-d", zip_copy, victim],
                     prepare=lambda: shutil.copyfile(archive, zip_copy)),
            ]
            where = [f"Archive: the same, copied (not timed) to the output folder; {victim} is deleted."]
            self.finish(f"Deleting one entry of a {MILLION:,}-entry archive", where, tools,
                        memory_limit=ACTION_LIMIT_MIB)
            if entry_count(ours_copy) != MILLION - 1:
                raise RuntimeError("our deletion did not remove exactly one entry")
            fresh(ours_copy)
            fresh(zip_copy)
        finally:
            self.rounds = rounds

    def sfx(self):
        size = int(1024 * self.data.scale) * MiB
        big = self.data.stored("big.zip", size)
        ours_exe = self.output("big-ours")
        copy = self.output("big-cp.zip")

        # Each run starts without its output and with nothing left to write
        # back to the disk from the run before.
        def settle(path):
            def prepare():
                fresh(path)
                os.sync()

            return prepare

        tools = [
            self.ours("sfx", big, ours_exe, prepare=settle(ours_exe), cwd=self.out),
            Tool("`cp`", ["cp", big, copy], prepare=settle(copy), target=1.0),
        ]
        where = [f"Archive: one stored entry, {size_text(big)} on disk; the outputs go to the output folder."]
        self.finish(f"Making a self-extractor from a {size / 1e9:.2f} GB archive", where, tools)
        check(["unzip", "-tq", ours_exe], "our self-extractor")
        fresh(ours_exe)
        fresh(copy)
        # Memory stays flat: the same action on an archive a tenth the size.
        small = self.data.stored("tenth.zip", size // 10)
        _, kib = run([self.bench, "sfx", small, ours_exe], cwd=self.out, env=self.env)
        print(f"\nOur peak memory for a {os.path.getsize(small) / 1e9:.2f} GB archive: {kib / 1024:.1f} MiB "
              f"(for {size / 1e9:.2f} GB: {max(tools[0].peak_kib) / 1024:.1f} MiB).")
        fresh(ours_exe)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--runs", type=int, help="rounds of alternated runs (default 5, with --small 2)")
    parser.add_argument("--only", default=",".join(DEFAULT_CASES), help="cases to run, of " + ",".join(CASES))
    parser.add_argument("--small", action="store_true", help="a tenth of the data, for a quick look")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    bench = os.path.join(build, "plovern-bench")
    global SPAWN
    SPAWN = os.path.join(build, "plovern-spawn")
    for program in (bench, SPAWN):
        if not os.path.exists(program):
            sys.exit(f"{program} is missing: build the project first")
    cases = [c for c in args.only.split(",") if c]
    unknown = [c for c in cases if c not in CASES]
    if unknown:
        sys.exit(f"unknown case(s): {', '.join(unknown)}; the cases are {', '.join(CASES)}")
    args.runs = max(1, args.runs or (2 if args.small else 5))

    root = tempfile.mkdtemp(prefix="plovern-bench-")
    out = tempfile.mkdtemp(prefix="plovern-bench-out-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        build_type, commit, source = build_description(build)
        print("# Marrowfen Plovern benchmarks\n")
        print(f"- date: {datetime.datetime.now().astimezone().isoformat(timespec='minutes')}")
        print(f"- machine: {cpu_model()}, {os.cpu_count()} cores, {ram_gib():.1f} GiB RAM, "
              f"{os.uname().sysname} {os.uname().release}")
        print(f"- build: {build} ({build_type}), commit {commit} of {source}")
        print(f"- inputs (archives, source files): {root} ({file_system(root)})")
        print(f"- outputs (everything the tools write): {out} ({file_system(out)})")
        print(f"- method: whole processes on both sides, {args.runs} rounds of alternated runs "
              f"(ours, then each peer), min / median / max wall time; ratio = ours / peer, medians"
              + ("; --small: a tenth of the data" if args.small else ""))
        print(f"- load average at the start: {load_average()}")
        sys.stdout.flush()

        data = Data(root, args.small)
        runner = Bench(args, data, out, bench)
        for case in CASES:
            if case in cases:
                getattr(runner, case)()
                os.sync()
        print("\n## Summary\n")
        if runner.problems:
            for line in runner.problems:
                print(f"- {line}")
        else:
            print("Every target met; our peak memory stayed under 64 MiB in every case.")
    finally:
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
