#!/usr/bin/env python3
"""Benchmark: the package tool's make against the least the job takes.

It generates two releases of a client (by default 20,000 files and 3 GB,
the second with a tenth of the files changed, half of those at the same
size) and alternates, round by round, a floor and `updater-package make`:

- the floor reads both folders once (sha256sum of every file of OLD and
  NEW) and zips the changed files with the archiver (7za a -tzip);
- make compares the folders, writes the package, tests it with the
  archiver, extracts it into a scratch folder and compares it with NEW.

It prints the median time of each, the median of make's time over the
floor's in the same round, make's own peak resident memory and that of the
largest process either ran. Both run with the releases in the page cache, as after
a build.
"""

import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "bench-work", "package")
TOOL = os.path.join(TOP, "build-release", "bin", "updater-package")


def generate(files, total):
    """OLD and NEW under WORK, made once for a size; the changed files' list."""
    stamp = os.path.join(WORK, "made-%d-%d" % (files, total))
    old, new = os.path.join(WORK, "old"), os.path.join(WORK, "new")
    changed = os.path.join(WORK, "changed.txt")
    if os.path.exists(stamp):
        return old, new, changed
    shutil.rmtree(WORK, ignore_errors=True)
    rng = random.Random(1)
    # Mostly small files, a few large ones: sizes from a long-tailed spread
    # scaled to the total.
    weights = [rng.paretovariate(1.2) for _ in range(files)]
    scale = total / sum(weights)
    names = []
    for i, weight in enumerate(weights):
        name = "资源/%03d/文件_%05d.dat" % (i % 200, i)
        size = max(1, int(weight * scale))
        path = os.path.join(old, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            # Half random, half repeated text: game data compresses a little.
            out.write(rng.randbytes(size // 2))
            out.write((b"asset data %d\n" % i) * (size // 2 // 14 + 1))
            out.truncate(size)
        names.append(name)
    subprocess.run(["cp", "-a", old, new], check=True)
    with open(changed, "w", encoding="utf-8") as listing:
        for i, name in enumerate(names):
            if i % 10:
                continue
            path = os.path.join(new, name)
            with open(path, "r+b") as out:
                if i % 20:
                    out.seek(0, os.SEEK_END)
                    out.write(b"grown")
                else:
                    out.seek(max(0, os.path.getsize(path) - 1))
                    out.write(b"!")
            listing.write(name + "\n")
    open(stamp, "w").close()
    return old, new, changed


def timed(command):
    """Wall seconds of one run, its own peak resident memory (MB, read from
    /proc as it runs) and that of the largest process it waited for."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    own = 0
    while process.poll() is None:
        try:
            with open("/proc/%d/status" % process.pid) as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        own = max(own, int(line.split()[1]) / 1024)
        except OSError:
            pass
        time.sleep(0.02)
    seconds = time.monotonic() - start
    if process.returncode != 0:
        raise SystemExit("failed: %s" % " ".join(command))
    largest = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    return seconds, own, largest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--gb", type=float, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    old, new, changed = generate(args.files, int(args.gb * 1e9))
    package = os.path.join(WORK, "kro_update.zip")
    floor_zip = os.path.join(WORK, "floor.zip")
    floor_script = ('find "$1" "$2" -type f -print0 | xargs -0 sha256sum >/dev/null && '
                    'cd "$2" && 7za a -tzip -bd "$3" @"$4" >/dev/null')
    floors, makes, ratios, make_memory = [], [], [], []
    for round_ in range(args.rounds + 1):
        for path in (package, floor_zip):
            if os.path.exists(path):
                os.remove(path)
        floor = timed(["sh", "-c", floor_script, "floor", old, new, floor_zip, changed])
        make = timed([TOOL, "make", old, new, "-o", package])
        largest = make[2]
        if round_ == 0:
            continue  # a warm-up: the releases into the page cache
        floors.append(floor[0])
        makes.append(make[0])
        ratios.append(make[0] / floor[0])
        make_memory.append(make[1])
        print("round %d: floor %.1f s, make %.1f s, %.2f" % (round_, floor[0], make[0], ratios[-1]))
    print("%d files, %.1f GB, a tenth changed; package %.2f GB, floor's zip %.2f GB"
          % (args.files, args.gb, os.path.getsize(package) / 1e9, os.path.getsize(floor_zip) / 1e9))
    print("floor: %.1f s (%.1f-%.1f)" % (statistics.median(floors), min(floors), max(floors)))
    print("make:  %.1f s (%.1f-%.1f), its own peak memory %.0f MB; the largest process of "
          "either, the archiver's, %.0f MB" % (statistics.median(makes), min(makes), max(makes),
                                               max(make_memory), largest))
    print("make over the floor: %.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios),
                                                      max(ratios)))


if __name__ == "__main__":
    main()
