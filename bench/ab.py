#!/usr/bin/env python3
"""A/B timing of taq builds: alternating runs, min and median user time.

    bench/ab.py [-n ROUNDS] [-m LEVEL] [-x] [-r] INPUT BIN_A BIN_B [BIN ...]

Runs `BIN a -mLEVEL` on INPUT (a file, or a directory with -r) with every
binary in turn, ROUNDS times, reversing the order every other round so that
slow spells of a shared machine fall on all of them; with -x it times `x` of
an archive made once by BIN_A instead. Prints each binary's min and median
user time (from wait4) and wall time, and the change against BIN_A. On a
noisy machine trust a difference only when min and median agree.
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-n", type=int, default=11)
    ap.add_argument("-m", default="5")
    ap.add_argument("-x", action="store_true", help="time extraction")
    ap.add_argument("-r", action="store_true", help="INPUT is a directory")
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
