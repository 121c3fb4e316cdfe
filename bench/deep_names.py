#!/usr/bin/env python3
"""Time and peak memory of extracting archives with very deep names.

    deep_names.py BUILD [--wine] [--only NAME,...]

Makes its archives in a temporary folder, then extracts each with the engine
(BUILD/plovern-bench extract, offscreen) and with the Linux self-extractor
(BUILD/plovern-sfx with the archive attached), each under
`/usr/bin/time -v`, and prints wall time, peak memory and exit status. With
--wine the Windows self-extractor (BUILD/plovern-sfx.exe)
runs too, under wine64 (its figures include Wine's own). unzip runs last on
extract-100 for reference: it makes the same folders, so it shows what the
file system alone costs (on the refused archives it would extract everything).

The archives (every name and link target 4,095 bytes, about 2,045 levels):
  links-1000   1,000 link entries lNNNNN -> dNNNNNN/a/a/.../a, deflated, then
               zz -> ../../outside: refused only once every other link is
               followed to its end
  links-2000   the same with 2,000 links
  files-1000   1,000 file entries dNNNNNN/a/.../a, then zz -> ../../outside
  extract-100  100 file entries dNNNNNN/a/.../a of 10 bytes each, extracted
"""
import os
import re
import stat
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_NAME = 4095
WINE = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine64"


def deep(index):
    # "d" and six digits, then "/a" parts up to 4,095 bytes.
    head = "d%06d" % index
    return head + "/a" * ((MAX_NAME - len(head)) // 2)


def info(name, mode):
    zi = zipfile.ZipInfo(name, (2021, 3, 4, 5, 6, 8))
    zi.create_system = 3
    zi.external_attr = mode << 16
    zi.compress_type = zipfile.ZIP_DEFLATED
    return zi


def make(path, links=0, files=0, bad_link=True):
    with zipfile.ZipFile(path, "w") as z:
        for i in range(links):
            z.writestr(info("l%06d" % i, stat.S_IFLNK | 0o777), deep(i).encode())
        for i in range(files):
            z.writestr(info(deep(i), stat.S_IFREG | 0o644), b"%09d\n" % i)
        if bad_link:
            z.writestr(info("zz", stat.S_IFLNK | 0o777), b"../../outside")


ARCHIVES = {
    "links-1000": dict(links=1000),
    "links-2000": dict(links=2000),
    "files-1000": dict(files=1000),
    "extract-100": dict(files=100, bad_link=False),
}


def timed(cmd, env=None):
    result = subprocess.run(["/usr/bin/time", "-v"] + cmd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, errors="replace")
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    wall = re.search(r"Elapsed \(wall clock\) time .*: (?:(\d+):)?(\d+):([\d.]+)", result.stderr)
    seconds = int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
    return seconds, int(peak.group(1)) / 1024, result.returncode


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    build = os.path.abspath(args[0])
    wine = "--wine" in args
    only = None
    if "--only" in args:
        only = args[args.index("--only") + 1].split(",")
    make_sfx = os.path.join(HERE, "..", "tests", "sfx", "make_sfx.py")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    work = tempfile.mkdtemp(prefix="deep-names-")
    try:
        print("| archive | size | reader | wall s | peak MiB | exit |")
        print("|---|---|---|---|---|---|")
        for name, shape in ARCHIVES.items():
            if only and name not in only:
                continue
            archive = os.path.join(work, name + ".zip")
            make(archive, **shape)
            size = "%d KB" % (os.path.getsize(archive) // 1000)
            readers = [("engine", lambda target: [os.path.join(build, "plovern-bench"), "extract", archive, target])]
            sfx = os.path.join(work, name + ".run")
            subprocess.run([sys.executable, make_sfx, os.path.join(build, "plovern-sfx"), archive, sfx,
                            "folder=offered", "create=1"], check=True, stdout=subprocess.DEVNULL)
            readers.append(("Linux runtime", lambda target: [sfx, "--target", target]))
            if wine:
                exe = os.path.join(work, name + ".exe")
                subprocess.run([sys.executable, make_sfx,
                                os.path.join(build, "plovern-sfx.exe"), archive, exe,
                                "folder=offered", "create=1"], check=True, stdout=subprocess.DEVNULL)
                readers.append(("Windows runtime (Wine)", lambda target: [WINE, exe, "/target", target]))
            if name == "extract-100":
                readers.append(("unzip (for reference)", lambda target: ["unzip", "-qo", archive, "-d", target]))
            for reader, command in readers:
                target = os.path.join(work, "target")
                os.mkdir(target)
                seconds, peak, status = timed(command(target), env)
                print("| %s | %s | %s | %.2f | %.1f | %d |" % (name, size, reader, seconds, peak, status), flush=True)
                subprocess.run(["rm", "-rf", target])
    finally:
        subprocess.run(["rm", "-rf", work])


main()
