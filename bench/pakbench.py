"""Times pakwright against GNU tar (uncompressed) on the same trees.

Two trees are made from a fixed seed in a temporary folder: many small files
(about 20,000, median about 5 KB with a long tail, up to 4 levels of
directories, about 380 MB) and a few large ones (4 of 256 MiB). On a warm
cache each operation runs alternately with pakwright and with tar: create
(tar -cf), list (tar -tf) and extract (tar -xf into a new directory). The
report gives each side's median wall time, the median of the pairwise ratios
pakwright/tar, and each side's peak resident memory (GNU time's %M).

With --cold (root only) the page cache is dropped before every timed run
instead, at least five rounds run, and the report adds each figure's spread
(min-max) and, for create, a read-only limit: 32 threads reading every
member of the tree at once into nothing, also from a dropped cache. --both
runs the warm set and then the cold set on the same trees.

--scale times the same operations, warm, on two other trees instead, made
on tmpfs (/dev/shm unless --dir says otherwise), where the cost is all per
member: 500,000 empty files, 1,000 in each of 500 directories, and 200,000
files of 1 KiB, 1,000 in each of 200 directories. It also counts each side's
system calls per member (strace -c -f, one run; io_uring_enter counts as
one call).

Several pakwright builds can be timed in the same rounds: --pakwright may be
given more than once as NAME=PATH (a bare PATH is named "pakwright"), and
--also adds builds beside the one bench/run.sh makes. Each round runs every
build and tar, in an order reversed every other round; each build makes its
own archive, lists and extracts that, and its ratios are taken against the
tar run of the same round.
"""

import argparse
import os
import random
import re
import shutil
import signal
import stat
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SMALL_FILES = 20000
SMALL_MEDIAN = 5000
SMALL_SIGMA = 1.63          # lognormal spread: mean about 19 KB, so about 380 MB in all
SMALL_MAX = 24 << 20
LARGE_FILES = 4
LARGE_SIZE = 256 << 20
SCALE_DIRS = 500
SCALE_FILES_PER_DIR = 1000
SCALE_1K_DIRS = 200
SCALE_1K_SIZE = 1024
# The read-only limit's side in the cold report; no build's name holds a space.
LIMIT = "read limit"


def make_small_tree(root, rng):
    """Writes the many-small-files tree; returns (files, bytes)."""
    dirs = [""]
    for _ in range(400):
        parent = rng.choice(dirs)
        if parent.count("/") < 3:
            dirs.append(os.path.join(parent, "d%03d" % len(dirs)))
    total = 0
    for i in range(SMALL_FILES):
        size = min(int(rng.lognormvariate(0, SMALL_SIGMA) * SMALL_MEDIAN), SMALL_MAX)
        path = os.path.join(root, rng.choice(dirs), "f%05d.dat" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
        total += size
    return SMALL_FILES, total


def make_large_tree(root, rng):
    """Writes the few-large-files tree; returns (files, bytes)."""
    os.makedirs(root)
    for i in range(LARGE_FILES):
        with open(os.path.join(root, "big%d.bin" % i), "wb") as f:
            for _ in range(LARGE_SIZE >> 24):
                f.write(rng.randbytes(1 << 24))
    return LARGE_FILES, LARGE_FILES * LARGE_SIZE


def make_scale_tree(root, rng):
    """Makes the many-empty-files tree; returns (files, bytes). Each file is a
    single mknod relative to its directory, held open: half a million take
    seconds, where open() and its buffering would take a minute."""
    os.makedirs(root)
    for d in range(SCALE_DIRS):
        path = os.path.join(root, "d%03d" % d)
        os.mkdir(path)
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for f in range(SCALE_FILES_PER_DIR):
                os.mknod("f%04d" % f, stat.S_IFREG | 0o644, dir_fd=fd)
        finally:
            os.close(fd)
    return SCALE_DIRS * SCALE_FILES_PER_DIR, 0


def make_scale_1k_tree(root, rng):
    """Makes the tree of many 1 KiB files; returns (files, bytes)."""
    os.makedirs(root)
    data = rng.randbytes(SCALE_1K_SIZE * 7)
    for d in range(SCALE_1K_DIRS):
        path = os.path.join(root, "d%03d" % d)
        os.mkdir(path)
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for f in range(SCALE_FILES_PER_DIR):
                out = os.open("f%04d" % f, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=fd)
                at = (d * SCALE_FILES_PER_DIR + f) % 6 * SCALE_1K_SIZE
                os.write(out, data[at:at + SCALE_1K_SIZE])
                os.close(out)
        finally:
            os.close(fd)
    files = SCALE_1K_DIRS * SCALE_FILES_PER_DIR
    return files, files * SCALE_1K_SIZE


# Per tree: how to make it, and its files, directories and bytes, known before
# it is made (the small tree's are near enough) so that the space is checked
# first.
TREES = {
    "small": (make_small_tree, SMALL_FILES, 401, 380e6),
    "large": (make_large_tree, LARGE_FILES, 1, LARGE_FILES * LARGE_SIZE),
    "scale": (make_scale_tree, SCALE_DIRS * SCALE_FILES_PER_DIR, SCALE_DIRS + 1, 0),
    "scale1k": (make_scale_1k_tree, SCALE_1K_DIRS * SCALE_FILES_PER_DIR, SCALE_1K_DIRS + 1,
                SCALE_1K_DIRS * SCALE_FILES_PER_DIR * SCALE_1K_SIZE),
}


def wall_time(argv):
    """Runs argv with its output discarded; returns its wall time in seconds."""
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_rss(argv, work):
    """Runs argv under GNU time; returns its peak resident set in KiB (%M)."""
    rss_file = os.path.join(work, "rss")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, check=True,
                   stdout=subprocess.DEVNULL)
    with open(rss_file) as f:
        return int(f.read().split()[-1])


def system_calls(argv, work):
    """Runs argv under strace -c -f; returns the system calls it made, each
    io_uring_enter one call, however many operations it carried."""
    counts = os.path.join(work, "calls")
    subprocess.run(["strace", "-f", "-c", "-o", counts] + argv, check=True,
                   stdout=subprocess.DEVNULL)
    with open(counts) as f:
        for line in f:
            words = line.split()
            if words and words[-1] == "total":
                return int(words[3])
    return 0


def drop_caches():
    """Writes back dirty data, then empties the page cache, dentries and inodes."""
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def tree_files(tree):
    """Every file below tree that a build takes: hidden names are passed over."""
    files = []
    for top, dirs, names in os.walk(tree, followlinks=True):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        files += [os.path.join(top, n) for n in names if not n.startswith(".")]
    return files


def read_limit(files, readers=32):
    """Reads every file in files with readers threads at once into a buffer
    that is thrown away; returns the wall time in seconds."""
    queue = iter(files)
    lock = threading.Lock()

    def reader():
        buf = bytearray(1 << 20)
        while True:
            with lock:
                path = next(queue, None)
            if path is None:
                return
            fd = os.open(path, os.O_RDONLY)
            try:
                while os.readv(fd, [buf]) > 0:
                    pass
            finally:
                os.close(fd)

    threads = [threading.Thread(target=reader) for _ in range(readers)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def remove(*paths):
    for path in paths:
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)


def operations(builds, tree, work, keep_outputs):
    """Per operation: its name, then per side, each build and last tar, the
    side's name and functions of the run's number giving its command,
    preparing for it and clearing up after it. Create runs first and leaves
    the archives behind, one per build: each build lists and extracts what it
    made itself, so that builds whose archives differ are each timed whole.

    Each extraction gets a directory of its own. With keep_outputs it stays
    until the tree is done: ext4 passes over inodes freed in the last 30
    seconds when it allocates new ones, so removing thousands of files
    between runs makes the next run, whichever tool it is, pay for the
    clean-up. Otherwise each goes at once, so that the page cache does not
    fill with outputs."""
    nothing = lambda i: None

    def extraction(side):
        out = lambda i: os.path.join(work, "out-%s-%d" % (side, i))
        return out, nothing if keep_outputs else lambda i: remove(out(i))

    def build_sides(k, path):
        pak = os.path.join(work, "t%d.pak" % k)
        out, clear = extraction("p%d" % k)
        return ((lambda i: [path, "-c", "-d", tree, "-p", pak], lambda i: remove(pak), nothing),
                (lambda i: [path, "-l", "-p", pak], nothing, nothing),
                (lambda i: [path, "-d", out(i), "-p", pak], nothing, clear))

    def tar_sides():
        tar = os.path.join(work, "t.tar")
        out, clear = extraction("tar")
        return ((lambda i: ["tar", "-cf", tar, "-C", tree, "."], lambda i: remove(tar), nothing),
                (lambda i: ["tar", "-tf", tar], nothing, nothing),
                (lambda i: ["tar", "-xf", tar, "-C", out(i)], lambda i: os.mkdir(out(i)), clear))

    sides = [(name, build_sides(k, path)) for k, (name, path) in enumerate(builds)]
    sides.append(("tar", tar_sides()))
    return [(op, [(name, per_op[n]) for name, per_op in sides])
            for n, op in enumerate(("create", "list", "extract"))]


def bench_tree(name, builds, tree, work, runs, keep_outputs, cold, calls=None):
    """Times each operation on tree with every build and tar; returns a row per
    operation, and in the cold mode one more for the read-only limit. A row
    holds the tree, the operation, the side the others are set against, each
    side's times (in the order of the rounds) and each side's peak memory in
    KiB (none for the limit). With calls, a list, appends to it the tree, the
    operation, the side and its system calls, counted in one more run each."""
    rows = []
    # The limit reads the list the walk would make, made before the clock starts.
    files = tree_files(tree) if cold else None
    for op, sides in operations(builds, tree, work, keep_outputs):
        times = {side: [] for side, _ in sides}
        limits = []
        # Warm, round 0 fills the cache and is not counted; cold, every round
        # starts from an empty cache. The order is reversed every other round,
        # so that no build always runs straight after tar or after another.
        for i in range(1 if cold else 0, runs + 1):
            for side, (argv, prepare, clear) in sides[::-1] if i % 2 else sides:
                prepare(i)
                if cold:
                    drop_caches()
                else:
                    subprocess.run(["sync"])
                wall = wall_time(argv(i))
                clear(i)
                if i:
                    times[side].append(wall)
            if cold and op == "create":
                drop_caches()
                limits.append(read_limit(files))
        rss = {}
        for side, (argv, prepare, clear) in sides:
            prepare(runs + 1)
            if cold:
                drop_caches()
            rss[side] = peak_rss(argv(runs + 1), work)
            clear(runs + 1)
            if calls is not None:
                prepare(runs + 2)
                calls.append((name, op, side, system_calls(argv(runs + 2), work)))
                clear(runs + 2)
        rows.append((name, op, "tar", times, rss))
        if limits:
            rows.append((name, "limit", LIMIT,
                         dict([(LIMIT, limits)] + [(b, times[b]) for b, _ in builds]), {}))
    return rows


def report(mode, rows, runs):
    """Prints one mode's table: per tree and operation a line for the side the
    others are set against (tar, or the read-only limit), then one per build,
    each with its median time, the median of its pairwise ratios to that side
    and its peak memory; cold, the time and the ratio each with its spread
    (min-max)."""
    med = statistics.median
    cold = mode == "cold"
    width = max([9] + [len(side) for row in rows for side in row[3]])

    def line(tree, op, side, time_s, time_spread, ratio, ratio_spread, mib):
        text = "%-7s %-8s %-*s %9s" % (tree, op, width, side, time_s)
        if cold:
            text += " %13s" % time_spread
        text += " %7s" % ratio
        if cold:
            text += " %11s" % ratio_spread
        print((text + " %8s" % mib).rstrip())

    def spread(values, fmt):
        return (fmt + "-" + fmt) % (min(values), max(values))

    print("\n%s cache" % mode)
    line("tree", "op", "build", "time s", "spread", "ratio", "spread", "MiB")
    for tree, op, base, times, rss in rows:
        # The side set against comes first, the builds after it as given.
        for side in sorted(times, key=lambda s: s != base):
            ts = times[side]
            ratios = [t / b for t, b in zip(ts, times[base])] if side != base else None
            line(tree, op, side, "%.3f" % med(ts), spread(ts, "%.3f"),
                 "%.2f" % med(ratios) if ratios else "", spread(ratios, "%.2f") if ratios else "",
                 "%.1f" % (rss[side] / 1024) if side in rss else "")
    if cold:
        print("\nwall times: medians and spreads of %d runs, each from a dropped page cache, "
              "the sides' order reversed every other round; ratio: the median of a build's "
              "pairwise ratios to tar in the same round, or in a limit row to the read-only "
              "limit (32 threads reading every member at once); memory: GNU time's %%M; "
              "%d cores" % (runs, os.cpu_count()))
    else:
        print("\nwall times: medians of %d runs after one warm-up, the sides' order reversed "
              "every other round; ratio: the median of a build's pairwise ratios to tar in "
              "the same round; memory: GNU time's %%M; %d cores" % (runs, os.cpu_count()))


def report_calls(calls):
    """Prints each side's system calls per member of its tree."""
    print("\nsystem calls per member (strace -c -f, one run; io_uring_enter is one call)")
    print("%-7s %-8s %-9s %9s" % ("tree", "op", "build", "calls"))
    for tree, op, side, count in calls:
        print("%-7s %-8s %-9s %9.3f" % (tree, op, side, count / TREES[tree][1]))


def file_system(path):
    """The type of the file system that holds path, as df tells it."""
    out = subprocess.run(["df", "--output=fstype", path], capture_output=True, text=True).stdout
    return out.split()[-1] if out.split() else "unknown"


def space_needed(tree, builds, runs, keep_outputs):
    """Bytes and inodes that tree takes at most with its archives and
    extractions: tar's archive (a 512-byte header a member, and padding) and
    one per build, and two extractions, or with keep_outputs every extraction
    of the longest mode and the one that measures memory."""
    _, files, dirs, size = TREES[tree]
    copy = size + 4096 * dirs
    archives = size + 1024 * (files + dirs) + builds * (size + 64 * files)
    copies = 1 + ((builds + 1) * (runs + 2) if keep_outputs else 2)
    return copy * copies + archives, (files + dirs) * copies


def parse_build(value):
    """A build named by NAME=PATH, or a bare PATH named pakwright."""
    name, sep, path = value.partition("=")
    if not sep or "/" in name:
        name, path = "pakwright", value
    if not re.fullmatch(r"[\w.+-]+", name) or name == "tar":
        raise argparse.ArgumentTypeError(
            "%r: a build's name is made of letters, digits, '.', '_', '+' and '-', and is "
            "not tar" % name)
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise argparse.ArgumentTypeError("%s is not a program" % path)
    return name, os.path.abspath(path)


def make_parser():
    # bench/run.sh names itself here and gives --pakwright itself, the build
    # it has just made: its user is offered only the other options.
    wrapper = os.environ.get("PAKBENCH_PROG")
    parser = argparse.ArgumentParser(prog=wrapper, description=__doc__.splitlines()[0])
    parser.add_argument("--pakwright", action="append", required=True, type=parse_build,
                        metavar="[NAME=]PATH",
                        help=argparse.SUPPRESS if wrapper else
                        "a pakwright build to time; may be given more than once")
    parser.add_argument("--also", action="append", default=[], type=parse_build,
                        metavar="NAME=PATH",
                        help="another pakwright build to time in the same rounds; may be "
                        "given more than once")
    parser.add_argument("--runs", type=int, default=5, metavar="N",
                        help="timed rounds per operation (default 5; cold, at least 5)")
    parser.add_argument("--only", choices=["small", "large"], help="time one of the two trees")
    parser.add_argument("--scale", action="store_true",
                        help="time 500,000 empty files and 200,000 of 1 KiB instead of the "
                        "two trees, and count system calls (warm only)")
    parser.add_argument("--dir", help="where to make the trees (default: a temporary folder; "
                        "with --scale, /dev/shm)")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before every timed run (needs root)")
    parser.add_argument("--both", action="store_true",
                        help="the warm runs, then the cold runs, on the same trees")
    return parser


def main():
    parser = make_parser()
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs needs at least 1")
    if args.scale and args.only:
        parser.error("--scale times its own tree, not --only's")
    if args.scale and (args.cold or args.both):
        # tmpfs keeps its files in the page cache: there is nothing to drop.
        parser.error("--scale is timed on a warm cache only")
    builds = args.pakwright + args.also
    names = [name for name, _ in builds]
    for name in set(names):
        if names.count(name) > 1:
            parser.error("two builds are named %s: give each its own NAME=PATH" % name)
    modes = ["warm", "cold"] if args.both else ["cold"] if args.cold else ["warm"]
    if "cold" in modes and os.geteuid() != 0:
        sys.exit("bench: the cold mode drops the page cache, which needs root")
    # The cold figures swing between runs: never fewer than five.
    runs = {"warm": args.runs, "cold": max(args.runs, 5)}
    trees = ["scale", "scale1k"] if args.scale else [n for n in ("small", "large")
                                          if not args.only or args.only == n]
    where = args.dir
    if where and not os.path.isdir(where):
        parser.error("--dir %s is not a directory" % where)
    if args.scale and not where and os.path.isdir("/dev/shm"):
        where = "/dev/shm"
    # A signal that ends the run still removes the trees, below.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda signum, frame: sys.exit(128 + signum))
    base = tempfile.mkdtemp(prefix="pakbench-", dir=where)
    try:
        on_disk = file_system(base) != "tmpfs"
        keep = {n: on_disk and TREES[n][1] > 1000 for n in trees}
        need = [space_needed(n, len(builds), max(runs[m] for m in modes), keep[n])
                for n in trees]
        need_bytes, need_inodes = sum(b for b, _ in need), sum(i for _, i in need)
        fs = os.statvfs(base)
        free, free_inodes = fs.f_bavail * fs.f_frsize, fs.f_favail
        if free < need_bytes * 1.1:
            sys.exit("bench: needs about %.1f GB free in %s, has %.1f GB (try --runs or --dir)"
                     % (need_bytes / 1e9, os.path.dirname(base), free / 1e9))
        # Where the file system counts its inodes (f_files), the scale tree's
        # copies may run out of them before the space does.
        if fs.f_files and free_inodes < need_inodes * 1.1:
            sys.exit("bench: needs about %d free inodes in %s, has %d (try --runs or --dir)"
                     % (need_inodes, os.path.dirname(base), free_inodes))
        print("builds: %s" % ", ".join("%s (%s)" % build for build in builds), flush=True)
        rows = {mode: [] for mode in modes}
        calls = [] if args.scale else None
        for name in trees:
            tree, work = os.path.join(base, name), os.path.join(base, name + "-work")
            os.makedirs(work)
            start = time.perf_counter()
            files, size = TREES[name][0](tree, random.Random(20261209))
            print("%s tree: %d files, %.1f MB, on %s, made in %.1f s"
                  % (name, files, size / 1e6, file_system(tree), time.perf_counter() - start),
                  flush=True)
            # A build waits once on each member changed within the last 10
            # seconds, for a write that may still be under way; the trees are
            # timed as they stand once settled.
            time.sleep(11)
            for mode in modes:
                if on_disk:
                    # Past the window in which ext4 passes over freed inodes,
                    # left by the last tree, mode or an earlier benchmark.
                    subprocess.run(["sync"])
                    time.sleep(31)
                rows[mode] += bench_tree(name, builds, tree, work, runs[mode], keep[name],
                                         mode == "cold", calls)
                if keep[name]:
                    for entry in os.listdir(work):
                        if entry.startswith("out-"):
                            remove(os.path.join(work, entry))
                    subprocess.run(["sync"])
            # One tree at a time: tmpfs holds both only in memory.
            shutil.rmtree(tree)
            shutil.rmtree(work)
        for mode in modes:
            report(mode, rows[mode], runs[mode])
        if calls:
            report_calls(calls)
    finally:
        # Removing half a million files takes seconds; a second Ctrl-C must
        # not leave them behind.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("bench: interrupted", file=sys.stderr)
        sys.exit(130)
