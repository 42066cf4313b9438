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
"""

import argparse
import os
import random
import shutil
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


def operations(pakwright, tree, work, keep_outputs):
    """Per operation: its name, then for each side functions of the run's
    number giving its command, preparing for it and clearing up after it.
    Create runs first and leaves the archives behind.

    Each extraction gets a directory of its own. With keep_outputs it stays
    until the tree is done: ext4 passes over inodes freed in the last 30
    seconds when it allocates new ones, so removing thousands of files
    between runs makes the next run, whichever tool it is, pay for the
    clean-up. Otherwise each goes at once, so that the page cache does not
    fill with outputs."""
    pak, tar = os.path.join(work, "t.pak"), os.path.join(work, "t.tar")

    def out(side, i):
        return os.path.join(work, "out-%s-%d" % (side, i))

    def clear_out(side):
        return lambda i: None if keep_outputs else remove(out(side, i))

    nothing = lambda i: None
    return [
        ("create",
         (lambda i: [pakwright, "-c", "-d", tree, "-p", pak], lambda i: remove(pak), nothing),
         (lambda i: ["tar", "-cf", tar, "-C", tree, "."], lambda i: remove(tar), nothing)),
        ("list",
         (lambda i: [pakwright, "-l", "-p", pak], nothing, nothing),
         (lambda i: ["tar", "-tf", tar], nothing, nothing)),
        ("extract",
         (lambda i: [pakwright, "-d", out("pakwright", i), "-p", pak], nothing,
          clear_out("pakwright")),
         (lambda i: ["tar", "-xf", tar, "-C", out("tar", i)], lambda i: os.mkdir(out("tar", i)),
          clear_out("tar"))),
    ]


def bench_tree(name, pakwright, tree, work, runs, keep_outputs, cold):
    """Times each operation on tree; returns a row per operation, and in the
    cold mode one more for the read-only limit: the tree, the operation, both
    sides' times, the pairwise ratios and both sides' peak memory in KiB."""
    rows = []
    # The limit reads the list the walk would make, made before the clock starts.
    files = tree_files(tree) if cold else None
    for op, pak_side, tar_side in operations(pakwright, tree, work, keep_outputs):
        times = {"pakwright": [], "tar": []}
        limits = []
        # Warm, round 0 fills the cache and is not counted; cold, every round
        # starts from an empty cache. The order alternates.
        for i in range(1 if cold else 0, runs + 1):
            order = [("pakwright", pak_side), ("tar", tar_side)]
            if i % 2:
                order.reverse()
            for side, (argv, prepare, clear) in order:
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
        for side, (argv, prepare, clear) in (("pakwright", pak_side), ("tar", tar_side)):
            prepare(runs + 1)
            if cold:
                drop_caches()
            rss[side] = peak_rss(argv(runs + 1), work)
            clear(runs + 1)
        pw, tw = times["pakwright"], times["tar"]
        rows.append((name, op, pw, tw, [p / t for p, t in zip(pw, tw)],
                     rss["pakwright"], rss["tar"]))
        if limits:
            rows.append((name, "limit", pw, limits, [p / l for p, l in zip(pw, limits)],
                         None, None))
    return rows


def report(mode, rows, runs):
    """Prints one mode's table. Warm: medians. Cold: medians with the spread
    (min-max); a limit row sets pakwright's create against the read-only limit."""
    med = statistics.median
    cold = mode == "cold"
    print("\n%s cache" % mode)
    print("%-6s %-8s %12s %10s %16s %14s %8s" % ("tree", "op", "pakwright s",
                                                 "tar s" if not cold else "tar|limit s",
                                                 "ratio (median)", "pakwright MiB", "tar MiB"))
    for name, op, pw, tw, ratios, prss, trss in rows:
        mem = "%14.1f %8.1f" % (prss / 1024, trss / 1024) if prss else "%14s %8s" % ("", "")
        print("%-6s %-8s %12.3f %10.3f %16.2f %s" % (name, op, med(pw), med(tw), med(ratios), mem))
        if cold:
            print("%-6s %-8s %12s %10s %16s" % ("", "spread", "%.2f-%.2f" % (min(pw), max(pw)),
                                                "%.2f-%.2f" % (min(tw), max(tw)),
                                                "%.2f-%.2f" % (min(ratios), max(ratios))))
    if cold:
        print("\nwall times: medians and spreads of %d runs, each from a dropped page cache, "
              "alternating sides; a limit row's second column is the read-only limit (32 "
              "threads reading every member at once); memory: GNU time's %%M; %d cores"
              % (runs, os.cpu_count()))
    else:
        print("\nwall times: medians of %d runs after one warm-up, alternating sides; "
              "memory: GNU time's %%M; %d cores" % (runs, os.cpu_count()))


def file_system(path):
    """The type of the file system that holds path, as df tells it."""
    out = subprocess.run(["df", "--output=fstype", path], capture_output=True, text=True).stdout
    return out.split()[-1] if out.split() else "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pakwright", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", choices=["small", "large"])
    parser.add_argument("--dir", help="where to make the trees (default: a temporary folder)")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before every timed run (needs root)")
    parser.add_argument("--both", action="store_true",
                        help="the warm runs, then the cold runs, on the same trees")
    args = parser.parse_args()
    modes = ["warm", "cold"] if args.both else ["cold"] if args.cold else ["warm"]
    if "cold" in modes and os.geteuid() != 0:
        sys.exit("bench: the cold mode drops the page cache, which needs root")
    # The cold figures swing between runs: never fewer than five.
    runs = {"warm": args.runs, "cold": max(args.runs, 5)}
    pakwright = os.path.abspath(args.pakwright)
    base = tempfile.mkdtemp(prefix="pakbench-", dir=args.dir)
    on_disk = file_system(base) != "tmpfs"
    trees = [n for n in ("small", "large") if not args.only or args.only == n]
    # The trees, their two archives, and the small tree's kept extractions.
    tree_bytes = {"small": 380e6, "large": LARGE_FILES * LARGE_SIZE}
    need = sum(tree_bytes[n] * 5 for n in trees)
    if on_disk and "small" in trees:
        need += tree_bytes["small"] * 2 * (max(runs[m] for m in modes) + 2)
    free = shutil.disk_usage(base).free
    if free < need * 1.1:
        shutil.rmtree(base, ignore_errors=True)
        sys.exit("bench: needs about %.0f GB free in %s, has %.0f GB (try --runs or --dir)"
                 % (need / 1e9, os.path.dirname(base), free / 1e9))
    try:
        rows = {mode: [] for mode in modes}
        for name, make in (("small", make_small_tree), ("large", make_large_tree)):
            if name not in trees:
                continue
            tree, work = os.path.join(base, name), os.path.join(base, name + "-work")
            os.makedirs(work)
            files, size = make(tree, random.Random(20261209))
            print("%s tree: %d files, %.1f MB, on %s" % (name, files, size / 1e6, file_system(tree)),
                  flush=True)
            keep_outputs = on_disk and files > 1000
            for mode in modes:
                if on_disk:
                    # Past the window in which ext4 passes over freed inodes,
                    # left by the last tree, mode or an earlier benchmark.
                    subprocess.run(["sync"])
                    time.sleep(31)
                rows[mode] += bench_tree(name, pakwright, tree, work, runs[mode], keep_outputs,
                                         mode == "cold")
                if keep_outputs:
                    for entry in os.listdir(work):
                        if entry.startswith("out-"):
                            remove(os.path.join(work, entry))
                    subprocess.run(["sync"])
        for mode in modes:
            report(mode, rows[mode], runs[mode])
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
