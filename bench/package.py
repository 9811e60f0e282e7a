#!/usr/bin/env python3
"""Benchmark: the package tool's make against the least the job takes.

It generates releases of a client (by default 20,000 files and 3 GB), each
with a tenth of the files changed from the one before (half of those at the
same size), and alternates, round by round, a floor and
`updater-package make`. Both run with the releases in the page cache, as
after a build.

- By default: three OLD release folders and NEW. The floor reads all four
  once (sha256sum of every file) and zips the files some OLD lacks or holds
  otherwise with the archiver (7za a -tzip); make compares NEW with every
  OLD at once, writes the package, tests it with the archiver, extracts it
  into a scratch folder and proves it for each OLD.
- With --manifests N: N OLD releases known by their manifests alone (made
  from NEW's, each with other bytes for its own 1/(2N) of the files, so
  that the package carries about half of them) and the folder NEW. The
  floor is sha256sum of NEW alone and the archiver zipping the carried
  files. Also timed: writing NEW's manifest against sha256sum of NEW.

It prints the median time of each, the median of make's time over the
floor's in the same round, and make's own peak resident memory and that of
the largest process either ran.
"""

import argparse
import hashlib
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
RELEASES = 4  # three OLDs and NEW


def generate(files, total):
    """The releases under WORK, oldest first, made once for a size, and the
    names of their files."""
    stamp = os.path.join(WORK, "made-%d-%d" % (files, total))
    releases = [os.path.join(WORK, "release-%d" % k) for k in range(1, RELEASES + 1)]
    names_file = os.path.join(WORK, "names.txt")
    if os.path.exists(stamp):
        with open(names_file, encoding="utf-8") as listing:
            return releases, listing.read().splitlines()
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
        path = os.path.join(releases[0], name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            # Half random, half repeated text: game data compresses a little.
            out.write(rng.randbytes(size // 2))
            out.write((b"asset data %d\n" % i) * (size // 2 // 14 + 1))
            out.truncate(size)
        names.append(name)
    for k in range(1, RELEASES):
        subprocess.run(["cp", "-a", releases[k - 1], releases[k]], check=True)
        for i, name in enumerate(names):
            if (i + k) % 10:
                continue
            path = os.path.join(releases[k], name)
            with open(path, "r+b") as out:
                if (i // 10) % 2:
                    out.seek(0, os.SEEK_END)
                    out.write(b"grown %d" % k)
                else:
                    out.seek(max(0, os.path.getsize(path) - 1))
                    out.write(b"%d" % k)
    with open(names_file, "w", encoding="utf-8") as listing:
        listing.write("\n".join(names) + "\n")
    open(stamp, "w").close()
    return releases, names


def manifests(new, names, count):
    """`count` manifests of older releases: NEW's, each with other bytes for
    its own share of the files; and the files some of them hold otherwise."""
    made = os.path.join(WORK, "new.manifest")
    if not os.path.exists(made):
        subprocess.run([TOOL, "manifest", new, "-o", made], check=True, stdout=subprocess.DEVNULL)
    with open(made, encoding="utf-8") as text:
        lines = text.read().splitlines()
    index = {name: i for i, name in enumerate(names)}
    paths, carried = [], set()
    for k in range(count):
        edited = []
        for line in lines:
            name = line[66:]
            if not line.startswith("#") and index[name] % (2 * count) == k:
                line = hashlib.sha256(line.encode()).hexdigest() + line[64:]
                carried.add(name)
            edited.append(line)
        paths.append(os.path.join(WORK, "old-%d.manifest" % (k + 1)))
        with open(paths[-1], "w", encoding="utf-8") as out:
            out.write("\n".join(edited) + "\n")
    return paths, sorted(carried)


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


def spread(values):
    return "%.1f s (%.1f-%.1f)" % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--gb", type=float, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--manifests", type=int, default=0)
    args = parser.parse_args()
    releases, names = generate(args.files, int(args.gb * 1e9))
    new = releases[-1]
    if args.manifests:
        olds, carried = manifests(new, names, args.manifests)
        hashed = [new]
    else:
        olds = releases[:-1]
        # A file is carried where some OLD changed it since: all but those
        # the oldest release's successors left alone.
        carried = [name for i, name in enumerate(names)
                   if any((i + k) % 10 == 0 for k in range(1, RELEASES))]
        hashed = releases
    listing = os.path.join(WORK, "carried.txt")
    with open(listing, "w", encoding="utf-8") as out:
        out.write("\n".join(carried) + "\n")
    package = os.path.join(WORK, "kro_update.zip")
    floor_zip = os.path.join(WORK, "floor.zip")
    floor_script = ('find "$@" -type f -print0 | xargs -0 sha256sum >/dev/null && '
                    'cd "$NEW" && 7za a -tzip -bd "$ZIP" @"$LIST" >/dev/null')
    os.environ.update(NEW=new, ZIP=floor_zip, LIST=listing)
    floors, makes, ratios, make_memory, writes, sums = [], [], [], [], [], []
    for round_ in range(args.rounds + 1):
        for path in (package, floor_zip):
            if os.path.exists(path):
                os.remove(path)
        floor = timed(["sh", "-c", floor_script, "floor"] + hashed)
        make = timed([TOOL, "make"] + olds + [new, "-o", package])
        largest = make[2]
        if args.manifests:
            sums.append(timed(["sh", "-c", 'find "$1" -type f -print0 | xargs -0 sha256sum '
                                            '>/dev/null', "sums", new])[0])
            writes.append(timed([TOOL, "manifest", new, "-o",
                                 os.path.join(WORK, "written.manifest")])[0])
        if round_ == 0:
            continue  # a warm-up: the releases into the page cache
        floors.append(floor[0])
        makes.append(make[0])
        ratios.append(make[0] / floor[0])
        make_memory.append(make[1])
        print("round %d: floor %.1f s, make %.1f s, %.2f" % (round_, floor[0], make[0], ratios[-1]))
    what = ("%d OLD manifests" % args.manifests) if args.manifests else "three OLD folders"
    print("%d files, %.1f GB, %s; %d files carried; package %.2f GB, floor's zip %.2f GB"
          % (args.files, args.gb, what, len(carried), os.path.getsize(package) / 1e9,
             os.path.getsize(floor_zip) / 1e9))
    print("floor: " + spread(floors))
    print("make:  %s, its own peak memory %.0f MB; the largest process of either %.0f MB"
          % (spread(makes), max(make_memory), largest))
    print("make over the floor: %.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios),
                                                      max(ratios)))
    if args.manifests:
        print("manifest of NEW: %s; sha256sum of NEW: %s; over it: %.2f"
              % (spread(writes[1:]), spread(sums[1:]),
                 statistics.median(w / s for w, s in zip(writes[1:], sums[1:]))))


if __name__ == "__main__":
    main()
