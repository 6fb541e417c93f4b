#!/usr/bin/env python3
"""A/B timing of taq builds: alternating runs, min and median user time.

    bench/ab.py [-n ROUNDS] [-m LEVEL] [-x] [-r] [-s] INPUT BIN_A BIN_B [BIN ...]

Runs `BIN a -mLEVEL` on INPUT (a file, or a directory with -r) with every
binary in turn, ROUNDS times, reversing the order every other round so that
slow spells of a shared machine fall on all of them; with -x it times `x` of
an archive made once by BIN_A instead. Prints each binary's min and median
user time (from wait4) and wall time, and the change against BIN_A. On a
noisy machine trust a difference only when min and median agree.

With -s (two binaries, two processors) each round runs both at once, one on
each processor (swapped every round), so that both meet the same moment of
the machine; prints the median and mean of the rounds' ratios B/A of
processor time (user + system). Both share the memory system, so this tells
small differences apart better than it measures either alone.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time


def run(args, cwd):
    start = time.time()
    p = subprocess.Popen(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    return usage.ru_utime, time.time() - start, status


def side_by_side(a, bins, pack, arch, name, where, work):
    if len(bins) != 2:
        raise SystemExit("ab.py: -s takes exactly two binaries")
    ratios, spent = [], ([], [])
    for i in range(a.n):
        procs = []
        for k, b in enumerate(bins):
            cpu = str((k + i) % 2)
            mine = os.path.join(work, f"w{k}")
            shutil.rmtree(mine, ignore_errors=True)
            os.mkdir(mine)
            if a.x:
                args = ["taskset", "-c", cpu, b, "x", arch, os.path.join(mine, "out")]
            else:
                args = ["taskset", "-c", cpu, b, "a", *pack, os.path.join(mine, "ab.taq"), name]
            procs.append(subprocess.Popen(args, cwd=where, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        used = {}
        for _ in procs:
            pid, _, usage = os.wait4(-1, 0)
            used[pid] = usage.ru_utime + usage.ru_stime
        ta, tb = (used[p.pid] for p in procs)
        spent[0].append(ta)
        spent[1].append(tb)
        ratios.append(tb / ta)
    print(f"{bins[0]}: median {statistics.median(spent[0]):.3f} s")
    print(f"{bins[1]}: median {statistics.median(spent[1]):.3f} s")
    print(f"B/A per round: median {statistics.median(ratios):.3f} mean {statistics.mean(ratios):.3f} "
          f"[{min(ratios):.3f} .. {max(ratios):.3f}]")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-n", type=int, default=11)
    ap.add_argument("-m", default="5")
    ap.add_argument("-x", action="store_true", help="time extraction")
    ap.add_argument("-r", action="store_true", help="INPUT is a directory")
    ap.add_argument("-s", action="store_true", help="run the two binaries side by side")
    ap.add_argument("input")
    ap.add_argument("bins", nargs="+")
    a = ap.parse_args()
    bins = [os.path.abspath(b) for b in a.bins]
    where = os.path.dirname(os.path.abspath(a.input)) or "."
    name = os.path.basename(os.path.abspath(a.input))
    work = tempfile.mkdtemp(prefix="taqab")
    arch = os.path.join(work, "ab.taq")
    pack = [f"-m{a.m}"] + (["-r"] if a.r else [])
    try:
        if a.x:
            run([bins[0], "a", *pack, arch, name], where)
        if a.s:
            side_by_side(a, bins, pack, arch, name, where, work)
            return
        times = {b: ([], []) for b in bins}
        for i in range(a.n):
            for b in bins if i % 2 == 0 else bins[::-1]:
                if a.x:
                    out = os.path.join(work, "out")
                    shutil.rmtree(out, ignore_errors=True)
                    u, w, _ = run([b, "x", arch, out], work)
                else:
                    u, w, _ = run([b, "a", *pack, arch, name], where)
                    os.remove(arch)
                times[b][0].append(u)
                times[b][1].append(w)
        base = None
        for b in bins:
            u, w = times[b]
            mn, md = min(u), statistics.median(u)
            base = base or (mn, md)
            print(f"{b}: user min {mn:.3f} med {md:.3f} ({(mn / base[0] - 1) * 100:+.1f}% / "
                  f"{(md / base[1] - 1) * 100:+.1f}%)  wall min {min(w):.3f} med {statistics.median(w):.3f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
