#!/usr/bin/env python3
"""Benchmark: the updater end to end against the bare archiver.

For each package size it alternates runs of the bare archiver with the
extraction command line the updater uses, into a fresh folder, and runs of the
updater itself in a fresh client folder on a virtual display, from launch to
the stand-in client being started. Every figure is taken from outside the
updater: times from this script's clock, CPU time and peak resident memory
from /proc, the moment the window is shown from the X server (bench/mapwait.c).
A last run feeds the updater a flood of archiver output.

Each round also times a floor: a plain program with no toolkit and no window
(bench/floor_posix.c, or bench/floor_win32.c under Wine) that runs the same
three interpreter sessions with the same command lines, reads the archiver's
output to its success line and starts the client. The updater's time over
the floor's is what the toolkit and the window cost.

With --windows it measures the shipped Windows build under Wine instead: the
bare Windows 7za.exe under Wine against the updater.exe doing its whole job
with Wine's own interpreter and taskkill, on the same packages; --archiver
FILE puts another 7za.exe in the shipped one's place, to compare archivers.
"""

import argparse
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "bench-work")
UPDATER = os.path.join(TOP, "build-release", "bin", "updater")
LOG_DIR = os.path.join(TOP, "build-release", "bin", "log")
STANDINS = os.path.join(TOP, "build-release", "libexec", "updater")
MAPWAIT = os.path.join(WORK, "mapwait")
FLOOR = os.path.join(WORK, "floor")
WINDOWS_FLOOR = os.path.join(WORK, "floor.exe")
SHIP = os.path.join(TOP, "build-windows", "ship")
WINDOWS_CLIENT = os.path.join(TOP, "build-windows", "libexec", "updater", "kro.exe")
ARCHIVER = None  # another 7za.exe in place of the shipped one
EXTRACT = ["7za", "x", "update/kro_update.zip", "-aoa", "-mx2", "-bsp1"]
STAMP = re.compile(rb"\[\d\d-\d\d \d\d:\d\d:\d\d\]\n")
MB = 1000 * 1000
# The smallest has little but the few hundred small files: extraction is
# short, so end to end minus bare is the updater's fixed overhead, clear of
# the noise that a longer extraction brings.
SIZES = {"4 MB": 1 * MB, "50 MB": 50 * MB, "400 MB": 400 * MB, "1 GB": 1000 * MB}


def make_package(size):
    """A real zip of mixed content: one large file, a few hundred small files
    and a compressible text, together about `size` bytes once zipped."""
    path = os.path.join(WORK, "package-%d.zip" % size)
    if os.path.exists(path):
        return path
    source = os.path.join(WORK, "source")
    shutil.rmtree(source, ignore_errors=True)
    os.makedirs(source)
    with open(os.path.join(source, "large.bin"), "wb") as out:
        left = size * 6 // 10
        while left > 0:
            out.write(os.urandom(min(left, 4 * MB)))
            left -= 4 * MB
    rng = random.Random(size)
    for i in range(300):
        folder = os.path.join(source, "assets", "set%02d" % (i % 12))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "item%03d.dat" % i), "wb") as out:
            out.write(os.urandom(rng.randint(1000, 20000)))
    words = [("word%d" % i).encode() for i in range(5000)]
    with open(os.path.join(source, "notes.txt"), "wb") as out:
        left = size * 4 // 10 * 4  # text shrinks about fourfold
        while left > 0:
            block = b"".join(b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
                             for _ in range(2000))
            out.write(block)
            left -= len(block)
    subprocess.run(["7za", "a", "-tzip", "-mx1", path, "."], cwd=source, check=True,
                   stdout=subprocess.DEVNULL)
    shutil.rmtree(source)
    return path


RUNS = os.path.join(WORK, "runs")


def fresh_folder(name, package):
    folder = os.path.join(RUNS, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "update"))
    os.link(package, os.path.join(folder, "update", "kro_update.zip"))
    shutil.copy(os.path.join(STANDINS, "kro.exe"), folder)
    return folder


def settle():
    """Writes back what earlier runs left in the page cache, so that no run
    pays for the one before it."""
    os.sync()


def in_runs(package):
    """The package on the file system the runs extract to, for hard links."""
    copy = os.path.join(RUNS, "packages", os.path.basename(package))
    if not os.path.exists(copy):
        shutil.rmtree(os.path.join(RUNS, "packages"), ignore_errors=True)
        os.makedirs(os.path.join(RUNS, "packages"))
        shutil.copy(package, copy)
    return copy


def bare(package):
    folder = fresh_folder("bare", package)
    settle()
    start = time.monotonic()
    subprocess.run(EXTRACT, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.monotonic() - start
    shutil.rmtree(folder)
    return elapsed


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def clients_in(folder):
    """Pids of the stand-in clients running in `folder`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and read("/proc/%s/comm" % entry).strip() == b"kro.exe":
            try:
                if os.readlink("/proc/%s/cwd" % entry) == folder:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def log_records(path):
    """Records end in their stamp; the transcripts in them have CR LF too."""
    return len(STAMP.findall(read(path)))


def cpu_seconds(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        total += int(read("/proc/%d/task/%s/schedstat" % (pid, task)).split()[0])
    return total / 1e9


def peak_rss_mb(pid):
    for line in read("/proc/%d/status" % pid).decode().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def timed_run(command, folder, env, started, interval, private=None, window=True):
    """Runs the updater (or, without `window`, the floor) in `folder` until
    `started()` says the client has been started, polling every `interval`
    seconds and, where `private` is given, sampling the program's private
    memory with it on the way."""
    settle()
    if window:
        mapwait = subprocess.Popen([MAPWAIT], stdout=subprocess.PIPE, env=env, text=True)
        assert mapwait.stdout.readline().strip() == "ready"
    start = time.monotonic()
    updater = subprocess.Popen(command, cwd=folder, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    deadline = start + 600
    peak = 0.0
    while time.monotonic() < deadline and not started():
        if private:
            peak = max(peak, private(updater.pid))
        time.sleep(interval)
    done = time.monotonic()
    # The interpreter that started the client may end before the client's
    # program is loaded: give it a moment to show under its name.
    clients = clients_in(folder)
    while not clients and time.monotonic() < done + 10:
        time.sleep(0.01)
        clients = clients_in(folder)
    result = {
        "total": done - start,
        "cpu": cpu_seconds(updater.pid),
        "rss": peak_rss_mb(updater.pid),
    }
    if private:
        result["private"] = max(peak, private(updater.pid))
    if window:
        result["shown"] = float(mapwait.stdout.readline()) - start
        mapwait.wait()
    updater.kill()
    updater.wait()
    for pid in clients:
        os.kill(pid, signal.SIGKILL)
    assert clients, "the client was not started"
    shutil.rmtree(folder)
    return result


def end_to_end(package, env, name="e2e", floor=False):
    folder = fresh_folder(name, package)
    # The updater logs the client's start right after the interpreter that
    # started it has ended: watching the log costs far less than scanning
    # /proc, which would compete with the archiver for the two cores. The
    # floor keeps the same log beside it.
    os.makedirs(LOG_DIR, exist_ok=True)
    name_format = "floor_%m-%d.log" if floor else "updater_%m-%d.log"
    log = os.path.join(LOG_DIR, time.strftime(name_format))
    before = log_records(log)
    size = -1

    def started():
        nonlocal size
        now = os.stat(log).st_size if os.path.exists(log) else 0
        if now == size:
            return False
        size = now
        return log_records(log) >= before + 3

    if floor:
        # The updater finds the stand-ins beside itself; the floor on PATH.
        env = dict(env, PATH=env["PATH"] + ":" + STANDINS)
        return timed_run([FLOOR, log], folder, env, started, 0.0005, window=False)
    return timed_run([UPDATER], folder, env, started, 0.0005)


def rounds(package, count, bare_run, floor_run, updater_run):
    """Rounds of a bare archiver run, a floor run and an updater run, in
    turn; every other round runs them in the reverse order, so none gains
    from the order."""
    bares, floors, runs = [], [], []
    order = [(bare_run, bares), (floor_run, floors), (updater_run, runs)]
    for i in range(count):
        for run, results in (order[::-1] if i % 2 else order):
            results.append(run(package))
    return bares, floors, runs


def report(label, package, bares, floors, runs, bare_name):
    totals = [r["total"] for r in runs]
    floor_totals = [r["total"] for r in floors]
    print("\n%s package (%.0f MB zipped), %d rounds" % (label, os.path.getsize(package) / MB,
                                                       len(runs)))
    print("  end to end          ", spread(totals))
    print("  %-20s" % bare_name, spread(bares))
    print("  ratio               ", spread([t / b for t, b in zip(totals, bares)], "", 2))
    print("  fixed overhead      ", spread([(t - b) * 1000 for t, b in zip(totals, bares)],
                                           "ms", 0))
    print("  floor               ", spread(floor_totals))
    print("  over the floor      ", spread([t / f for t, f in zip(totals, floor_totals)], "", 2))
    print("  updater CPU         ", spread([r["cpu"] for r in runs]))
    print("  floor CPU           ", spread([r["cpu"] for r in floors]))
    print("  updater peak RSS    ", spread([r["rss"] for r in runs], "MB", 1))
    if "private" in runs[0]:
        print("  updater private     ", spread([r["private"] for r in runs], "MB", 1))
        print("  floor private       ", spread([r["private"] for r in floors], "MB", 1))
    print("  launch to window    ", spread([r["shown"] * 1000 for r in runs], "ms", 0))


def wine_environment(env):
    return dict(env, WINEPREFIX=os.path.join(WORK, "wineprefix"), WINEARCH="win64",
                WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="zh_CN.UTF-8")


def windows_folder(name, package):
    """A client folder as a user has it: the shipped folder, the client and
    the package."""
    folder = os.path.join(RUNS, name)
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(SHIP, folder)
    if ARCHIVER:
        shutil.copy(ARCHIVER, os.path.join(folder, "7za.exe"))
    os.makedirs(os.path.join(folder, "update"))
    os.makedirs(os.path.join(folder, "log"))
    os.link(package, os.path.join(folder, "update", "kro_update.zip"))
    shutil.copy(WINDOWS_CLIENT, folder)
    return folder


def windows_bare(package, env):
    folder = windows_folder("bare", package)
    settle()
    start = time.monotonic()
    subprocess.run(["wine", "7za.exe"] + EXTRACT[1:], cwd=folder, env=env,
                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.monotonic() - start
    shutil.rmtree(folder)
    return elapsed


def private_mb(pid):
    """Memory of the process's own: what no other process shares with it."""
    total = 0
    for line in read("/proc/%d/smaps_rollup" % pid).decode().splitlines():
        if line.startswith(("Private_Clean:", "Private_Dirty:")):
            total += int(line.split()[1])
    return total / 1024


def windows_end_to_end(package, env, floor=False):
    folder = windows_folder("e2e", package)
    starts = os.path.join(folder, "kro_starts.log")
    if floor:
        shutil.copy(WINDOWS_FLOOR, folder)
    # Wine's loader execs itself: the process started becomes updater.exe.
    return timed_run(["wine", "floor.exe" if floor else "updater.exe"], folder, env,
                     lambda: os.path.exists(starts), 0.01, private_mb, window=not floor)


def windows_main(args, env):
    env = wine_environment(env)
    # One Wine server for all runs, as on a running Windows.
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=env)
    try:
        subprocess.run(["wine", "wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sizes = ["4 MB", "50 MB", "400 MB"] + (["1 GB"] if args.large else [])
        print("%d cores, %s, the Windows build under %s, %s" % (
            os.cpu_count(), time.strftime("%Y-%m-%d"),
            subprocess.run(["wine", "--version"], env=env, capture_output=True,
                           text=True).stdout.strip(), ARCHIVER or "the shipped 7za.exe"))
        for label in sizes:
            package = in_runs(make_package(SIZES[label]))
            results = rounds(package, args.rounds, lambda p: windows_bare(p, env),
                             lambda p: windows_end_to_end(p, env, floor=True),
                             lambda p: windows_end_to_end(p, env))
            report(label, package, *results, "bare 7za.exe")
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        server.wait()


def flood_archiver():
    """A fake archiver writing 200 MB of progress to standard output and
    50 MB to standard error, then the success line."""
    folder = os.path.join(WORK, "flood-bin")
    os.makedirs(folder, exist_ok=True)
    script = os.path.join(folder, "7za")
    with open(script, "w") as out:
        out.write("#!/bin/sh\n"
                  "(head -c 50000000 /dev/zero | tr '\\000' E >&2) &\n"
                  "yes '\b\b\b\b 42% - assets/item.dat' | head -c 200000000\n"
                  "wait\n"
                  "echo; echo 'Everything is Ok'\n")
    os.chmod(script, 0o755)
    return folder


def spread(values, unit="s", digits=3):
    fmt = "%%.%df" % digits
    return "%s %s (%s–%s)" % (fmt % statistics.median(values), unit, fmt % min(values),
                              fmt % max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="add the 1 GB package")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--windows", action="store_true",
                        help="the shipped Windows build under Wine (scripts/build-windows)")
    parser.add_argument("--disk", action="store_true",
                        help="extract to disk rather than to memory (/dev/shm), whose write "
                             "speed varies too much here to tell the updater's share")
    parser.add_argument("--archiver", metavar="FILE",
                        help="with --windows: this 7za.exe in place of the shipped one")
    args = parser.parse_args()
    global RUNS, ARCHIVER
    ARCHIVER = args.archiver and os.path.abspath(args.archiver)
    if not args.disk and os.path.isdir("/dev/shm"):
        RUNS = os.path.join("/dev/shm", "updater-bench-%d" % os.getpid())

    display = ":%d" % (150 + os.getpid() % 50)
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "800x200x24", "-dpi", "96",
                             "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=display, PATH="/usr/bin:/bin")
    env.pop("QT_QPA_PLATFORM", None)
    for _ in range(200):
        if subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            break
        time.sleep(0.05)
    try:
        if args.windows:
            windows_main(args, env)
            return
        sizes = ["4 MB", "50 MB", "400 MB"] + (["1 GB"] if args.large else [])
        print("%d cores, %s" % (os.cpu_count(), time.strftime("%Y-%m-%d")))
        for label in sizes:
            package = in_runs(make_package(SIZES[label]))
            results = rounds(package, args.rounds, bare,
                             lambda p: end_to_end(p, env, "floor", floor=True),
                             lambda p: end_to_end(p, env))
            report(label, package, *results, "bare archiver")

        flood_env = dict(env, PATH=flood_archiver() + ":/usr/bin:/bin")
        small = in_runs(make_package(SIZES["50 MB"]))
        flood = [end_to_end(small, flood_env, "flood") for _ in range(3)]
        print("\noutput flood (200 MB stdout, 50 MB stderr), 3 runs")
        print("  end to end          ", spread([r["total"] for r in flood]))
        print("  updater CPU         ", spread([r["cpu"] for r in flood]))
        print("  updater peak RSS    ", spread([r["rss"] for r in flood], "MB", 1))
    finally:
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(RUNS, ignore_errors=True)


if __name__ == "__main__":
    main()
