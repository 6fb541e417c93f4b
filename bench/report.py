#!/usr/bin/env python3
"""TAQ beside the usual compressors, class by class: sizes, speeds, memory.

    bench/report.py --taq BINARY [--quick] [--reps N] [--rows "ID ..."]
                    [--classes "NAME ..."] CORPUS [OUTDIR]

Normally started by bench/report.sh, which installs the peers and the
plotting library and builds taq first. CORPUS holds one subdirectory per
class; each class is archived as a whole, by every tool in its own way (taq
and 7-Zip and zpaq archive the directory, the stream compressors get a tar
of it), and extracted again, and the result is compared with the original
(`diff -r`). Every measurement runs under `/usr/bin/time -v` (peak resident
memory of the largest process); wall and processor time (user + system of
every process of the run) are taken from the run itself. Each measurement
is repeated --reps times (default 3); the page keeps the minimum. Within a
repetition the rows alternate between taq and the peers, and every other
repetition goes through them in the opposite order, so that the slow spells
of a shared machine fall on all of them.

Writes OUTDIR/benchmarks.md (default OUTDIR: ./bench-report) and, in
OUTDIR/benchmarks/, results.tsv (every measurement) and the plots
bpb-speed-<class>.svg and bpb-speed-all.svg.

Exit status: 0 when every round trip succeeded; 1 when one failed (the page
is written, the failed rows marked); 2 for bad input (nothing written); 77
in --quick mode when no peer is installed (nothing written).
"""
import argparse
import datetime
import json
import math
import os
import platform
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

SKIP = 77
NAME_OK = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.+-]*$")


def die(msg, code=2):
    print(f"report: {msg}", file=sys.stderr)
    sys.exit(code)


def q(s):
    return shlex.quote(str(s))


# ---------------------------------------------------------------- the rows
class Row:
    """One way of archiving a class: a taq level or a peer."""

    def __init__(self, rid, label, tool, compress, extract, taq=False, package=None, short=None):
        self.id, self.label, self.tool = rid, label, tool
        self.short = short or label
        self._compress, self._extract = compress, extract
        self.taq, self.package = taq, package
        self.binary = None  # resolved path of tool

    def compress(self, arch, cls):
        return self._compress(self.binary, arch, cls)

    def extract(self, arch, out):
        return self._extract(self.binary, arch, out)


def taq_row(rid, label, switches, xswitches=""):
    return Row(rid, label, "taq",
               lambda b, arch, cls: f"{q(b)} a {switches} -r {q(arch)} {q(cls)}",
               lambda b, arch, out: f"{q(b)} x {xswitches}{q(arch)} {q(out)}",
               taq=True, short="TAQ " + switches)


def stream_row(rid, label, tool, package, cflags, dflags, short=None):
    # tar of the class, piped through the compressor, and back.
    tar_c = "tar --sort=name --owner=0 --group=0 --numeric-owner -cf -"
    return Row(rid, label, tool,
               lambda b, arch, cls: f"{tar_c} -- {q(cls)} | {q(b)} {cflags} > {q(arch)}",
               lambda b, arch, out: f"mkdir -p {q(out)} && {q(b)} {dflags} < {q(arch)} | tar -xf - -C {q(out)}",
               package=package, short=short)


def sevenzip_row(rid, label, method):
    quiet = "-bd -bso0 -bsp0"
    return Row(rid, label, "7z",
               lambda b, arch, cls: f"{q(b)} a {quiet} -t7z -m0={method} -mx=9 -mmt=1 {q(arch)} -- {q(cls)}",
               lambda b, arch, out: f"{q(b)} x {quiet} -mmt=1 -o{q(out)} {q(arch)}",
               package="7zip", short=f"7z {method}")


def zpaq_row(rid, label, level):
    return Row(rid, label, "zpaq",
               lambda b, arch, cls: f"{q(b)} a {q(arch)} {q(cls)} -m{level} -t1",
               lambda b, arch, out: f"{q(b)} x {q(arch)} -to {q(out)} -t1",
               package="zpaq")


def all_rows():
    taq = [
        taq_row("taq-m0", "TAQ -m0", "-m0"),
        taq_row("taq-m2", "TAQ -m2", "-m2"),
        taq_row("taq-m5", "TAQ -m5", "-m5"),
        taq_row("taq-m7", "TAQ -m7", "-m7"),
        taq_row("taq-m5s", "TAQ -m5 -s", "-m5 -s"),
        taq_row("taq-m5t2", "TAQ -m5 -t2 (2 tasks)", "-m5 -t2", "-t2 "),
    ]
    peers = [
        stream_row("xz", "xz -9e", "xz", "xz-utils", "-9e -T1 -c", "-d -T1 -c"),
        stream_row("zstd19", "zstd -19", "zstd", "zstd", "-19 --single-thread -q -c", "-d -q -c"),
        stream_row("zstd22", "zstd --ultra -22 --long=27", "zstd", "zstd",
                   "--ultra -22 --long=27 --single-thread -q -c", "-d --long=27 -q -c", short="zstd -22"),
        stream_row("bzip3", "bzip3", "bzip3", "bzip3", "-e -j 1 -c", "-d -j 1 -c"),
        sevenzip_row("7z-ppmd", "7-Zip PPMd -mx=9", "PPMd"),
        sevenzip_row("7z-lzma2", "7-Zip LZMA2 -mx=9", "LZMA2"),
        zpaq_row("zpaq3", "zpaq -m3", 3),
        zpaq_row("zpaq5", "zpaq -m5", 5),
    ]
    # taq and the peers alternate, so that neither side gets one stretch
    # of the machine's time to itself.
    rows = []
    for i in range(max(len(taq), len(peers))):
        if i < len(taq):
            rows.append(taq[i])
        if i < len(peers):
            rows.append(peers[i])
    return rows


def find_tool(row, taq):
    if row.taq:
        return taq
    if row.tool == "7z":
        for name in ("7zz", "7z"):
            if shutil.which(name):
                return shutil.which(name)
        return None
    return shutil.which(row.tool)


# ---------------------------------------------------------------- the corpus
def scan_class(path):
    """Bytes and file count of a class; dies on anything not plainly readable."""
    total = files = 0
    stack = [path]
    while stack:
        d = stack.pop()
        try:
            entries = list(os.scandir(d))
        except OSError as e:
            die(f"cannot read directory {d}: {e.strerror}")
        for e in entries:
            st = os.lstat(e.path)
            if stat.S_ISDIR(st.st_mode):
                stack.append(e.path)
            elif stat.S_ISREG(st.st_mode):
                try:
                    with open(e.path, "rb") as f:
                        f.read(1)
                except OSError as err:
                    die(f"cannot read {e.path}: {err.strerror}")
                total += st.st_size
                files += 1
            else:
                kind = "a symbolic link" if stat.S_ISLNK(st.st_mode) else "not a regular file"
                die(f"{e.path} is {kind}; a class holds regular files and directories only "
                    "(cp -rL makes a copy without links)")
    return total, files


def scan_corpus(corpus, wanted):
    try:
        names = sorted(e.name for e in os.scandir(corpus) if e.is_dir(follow_symlinks=False)
                       and not e.name.startswith("."))
    except OSError as e:
        die(f"cannot read corpus {corpus}: {e.strerror}")
    if not names:
        die(f"{corpus} has no class directories: a corpus holds one subdirectory of files per class")
    if wanted:
        missing = [w for w in wanted if w not in names]
        if missing:
            die(f"no class {', '.join(missing)} in {corpus} (classes: {', '.join(names)})")
        names = [n for n in names if n in wanted]
    classes = []
    for n in names:
        if not NAME_OK.match(n):
            die(f"class name '{n}' is not one this report can pass on safely "
                "(letters, digits, '_', '.', '+' and '-', not first)")
        size, files = scan_class(os.path.join(corpus, n))
        if files == 0 or size == 0:
            die(f"class '{n}' in {corpus} is empty (no file with data in it)")
        classes.append({"name": n, "bytes": size, "files": files})
    return classes


# ---------------------------------------------------------------- measuring
def measure(cmd, cwd, log, work):
    """Runs cmd (bash) under /usr/bin/time -v; returns rc, wall, user, sys, peak KiB."""
    tf = os.path.join(work, "time-v")
    argv = ["/usr/bin/time", "-v", "-o", tf, "bash", "-c", "set -o pipefail; " + cmd]
    t0 = time.perf_counter()
    # In a process group of its own, so that an interrupted report can end
    # the whole command (the tool behind bash and /usr/bin/time included).
    p = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                         start_new_session=True)
    try:
        _, status, ru = os.wait4(p.pid, 0)
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise
    wall = time.perf_counter() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    peak = 0
    try:
        with open(tf) as f:
            for line in f:
                if "Maximum resident set size" in line:
                    peak = int(line.rsplit(":", 1)[1])
    except (OSError, ValueError):
        pass
    return p.returncode, wall, ru.ru_utime, ru.ru_stime, peak


def round_trip(row, cls, corpus, work, logpath):
    """Compresses and extracts one class; returns the two measurements and a verdict."""
    run = os.path.join(work, "run")
    shutil.rmtree(run, ignore_errors=True)
    os.mkdir(run)
    ext = {"taq": "taq", "7z": "7z", "zpaq": "zpaq"}.get(row.tool, "tar." + row.tool)
    arch = os.path.join(run, "a." + ext)
    out = os.path.join(run, "out")
    why = ""
    with open(logpath, "w") as log:
        c = measure(row.compress(arch, cls), corpus, log, work)
        size = os.path.getsize(arch) if os.path.isfile(arch) else 0
        if c[0] != 0:
            why = f"compression exited with status {c[0]}"
        elif size == 0:
            why = "no archive written"
        x = measure(row.extract(arch, out), run, log, work) if not why else (1, 0.0, 0.0, 0.0, 0)
        if not why and x[0] != 0:
            why = f"extraction exited with status {x[0]}"
        if not why:
            d = subprocess.run(["diff", "-r", os.path.join(corpus, cls), os.path.join(out, cls)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
            if d.returncode != 0:
                said = " / ".join(d.stdout.splitlines()[:3])
                why = "extracted tree differs: " + said.replace(run + os.sep, "").replace(corpus + os.sep, "")
    shutil.rmtree(run, ignore_errors=True)
    return size, c, x, why


# ---------------------------------------------------------------- the machine
def first_line(argv):
    try:
        p = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, errors="replace", timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    for line in p.stdout.splitlines():
        if line.strip():
            return line.strip()
    return "unknown"


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "unknown"
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    osname = platform.system()
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    osname = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count() or 0, "memory": mem,
            "os": f"{osname}, Linux {platform.release()}"}


def version_of(row):
    b = row.binary
    if row.taq:
        v = first_line([b, "--version"])
        repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        try:
            commit = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True).stdout.strip()
            dirty = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--untracked-files=no", "src"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
            if commit:
                v += f" (commit {commit}{', with changes to src' if dirty else ''})"
        except OSError:
            pass
        return v
    line = first_line([b] if row.tool in ("7z", "zpaq") else [b, "--version"])
    m = re.search(r"\bv?(\d+\.\d+(?:\.\d+)?)\b", line)
    v = f"{os.path.basename(b)} {m.group(1)}" if m else line
    pkg = package_of(b)
    return f"{v} (Debian package {pkg})" if pkg else v


def package_of(path):
    """'name version' of the Debian package that installed path, or None."""
    try:
        p = subprocess.run(["dpkg", "-S", os.path.realpath(path)], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
        if p.returncode != 0:
            p = subprocess.run(["dpkg", "-S", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if p.returncode != 0 or ":" not in p.stdout:
            return None
        name = p.stdout.split(":", 1)[0].split(",")[0].strip()
        ver = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", name], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.strip()
        return f"{name} {ver}" if ver else name
    except OSError:
        return None


# ---------------------------------------------------------------- the results
class Result:
    def __init__(self, row, cls):
        self.row, self.cls = row, cls
        self.size = None
        self.c, self.x = [], []  # (wall, cpu, peak)
        self.failed = ""

    def best(self, which, k):
        v = [m[k] for m in (self.c if which == "c" else self.x)]
        if not v:
            return None
        return max(v) if k == 2 else min(v)

    def bpb(self):
        return 8.0 * self.size / self.cls["bytes"] if self.size else None


def mbps(nbytes, secs):
    if secs is None or nbytes is None:
        return None
    return nbytes / 1e6 / max(secs, 1e-4)


def fmt(v, nd=2):
    if v is None:
        return "-"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.{nd}f}"


def mib(kib):
    return "-" if not kib else f"{kib / 1024:.0f}" if kib >= 10240 else f"{kib / 1024:.1f}"


def totals(results, rows, classes):
    """Per row over all classes: bytes, archive bytes, summed minimum times, peaks."""
    out = {}
    for r in rows:
        rs = [results[(r.id, c["name"])] for c in classes]
        t = {"bytes": sum(c["bytes"] for c in classes), "failed": [x.cls["name"] for x in rs if x.failed]}
        if t["failed"]:
            out[r.id] = t
            continue
        t["size"] = sum(x.size for x in rs)
        for w in ("c", "x"):
            t[w + "wall"] = sum(x.best(w, 0) for x in rs)
            t[w + "cpu"] = sum(x.best(w, 1) for x in rs)
            t[w + "peak"] = max(x.best(w, 2) for x in rs)
        t["bpb"] = 8.0 * t["size"] / t["bytes"]
        out[r.id] = t
    return out


def pareto(points):
    """Indices of the points no other point beats in both speed and size."""
    order = sorted(range(len(points)), key=lambda i: (-points[i][0], points[i][1]))
    front, best = [], math.inf
    for i in order:
        if points[i][1] < best:
            front.append(i)
            best = points[i][1]
    return front


def place_labels(ax, fig, texts, points):
    """Moves each label to the first spot near its point that no other label or point covers."""
    from matplotlib.text import Text
    fig.canvas.draw()
    r = fig.canvas.get_renderer()
    taken = []
    for (px, py) in points:
        dx, dy = ax.transData.transform((px, py))
        taken.append((dx - 4, dy - 4, dx + 4, dy + 4))
    spots = [(4, 2, "left"), (4, -9, "left"), (-4, 2, "right"), (-4, -9, "right"),
             (4, 10, "left"), (-4, 10, "right"), (4, -17, "left"), (-4, -17, "right"),
             (4, 18, "left"), (-4, 18, "right"), (4, -25, "left"), (-4, -25, "right")]
    scale = fig.dpi / 72.0
    box = ax.get_window_extent(r)
    for t, (px, py) in zip(texts, points):
        ax_x, ax_y = ax.transData.transform((px, py))
        chosen = None
        for ox, oy, ha in spots:
            t.set_position((ox, oy))
            t.set_ha(ha)
            e = Text.get_window_extent(t, r)  # the text alone, not its hairline
            rect = (e.x0, e.y0, e.x1, e.y1)
            inside = box.x0 <= e.x0 and e.x1 <= box.x1 and box.y0 <= e.y0 and e.y1 <= box.y1
            if inside and not any(rect[0] < o[2] and o[0] < rect[2] and rect[1] < o[3] and o[1] < rect[3]
                                  for o in taken):
                chosen = rect
                break
        if chosen is None:
            t.set_position(spots[0][:2])
            t.set_ha("left")
            e = Text.get_window_extent(t, r)  # the text alone, not its hairline
            chosen = (e.x0, e.y0, e.x1, e.y1)
        taken.append(chosen)
    del scale


def plot(path, title, entries):
    """entries: (label, is_taq, bpb, c MB/s, x MB/s); two panels, log speed."""
    import matplotlib
    matplotlib.use("Agg")
    matplotlib.rcParams["svg.fonttype"] = "none"
    matplotlib.rcParams["svg.hashsalt"] = "taq-bench"
    matplotlib.rcParams["font.sans-serif"] = ["DejaVu Sans"]
    import matplotlib.pyplot as plt
    import matplotlib.ticker  # noqa: F401

    fig, axes = plt.subplots(1, 2, figsize=(12, 5), sharey=True)
    ys = [e[2] for e in entries]
    span = (max(ys) - min(ys)) or max(ys) * 0.1 or 1.0
    for ax, k, name in ((axes[0], 3, "compression"), (axes[1], 4, "extraction")):
        pts = [(e[k], e[2]) for e in entries]
        front = pareto(pts)
        fx = [pts[i][0] for i in front]
        fy = [pts[i][1] for i in front]
        ax.step(fx, fy, where="post", color="0.55", linestyle="--", linewidth=1, zorder=1,
                label="Pareto frontier")
        texts = []
        for e, (sx, sy) in zip(entries, pts):
            ax.scatter([sx], [sy], s=42 if e[1] else 28, marker="o" if e[1] else "s",
                       color="#c0392b" if e[1] else "#2c6fbb", zorder=3)
            # (a hairline from the label to its point, for labels moved away)
            texts.append(ax.annotate(e[0], (sx, sy), xytext=(4, 2), textcoords="offset points", fontsize=7,
                                     color="#8e1e12" if e[1] else "#1d3f66", va="bottom",
                                     arrowprops=dict(arrowstyle="-", linewidth=0.4, color="0.6",
                                                     shrinkA=0, shrinkB=3)))
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        ax.set_xlabel(f"{name} speed, MB/s (log scale)")
        ax.grid(True, which="major", linewidth=0.4, color="0.85")
        lo, hi = min(p[0] for p in pts), max(p[0] for p in pts)
        ax.set_xlim(lo / 2.5, hi * 3.5)
        ax.set_ylim(min(ys) - 0.08 * span, max(ys) + 0.12 * span)
        ax.set_title(f"bits per byte against {name} speed", fontsize=9)
        if k == 3:
            ax.set_ylabel("bits per byte (lower is better)")
            ax.scatter([], [], marker="o", color="#c0392b", label="TAQ")
            ax.scatter([], [], marker="s", color="#2c6fbb", label="peers")
        ax._taq_texts = (texts, pts)
    fig.suptitle(title, fontsize=11)
    fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=3, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    for ax in axes:
        place_labels(ax, fig, *ax._taq_texts)
    if path.endswith(".svg"):
        fig.savefig(path, format="svg", metadata={"Date": None})
        # The indentation is a third of the file.
        with open(path) as f:
            lines = [line.strip() for line in f]
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
    else:
        fig.savefig(path, dpi=90)
    plt.close(fig)


def safe_file(name):
    return re.sub(r"[^A-Za-z0-9_-]", "_", name)


def write_page(args, outdir, classes, rows, results, skipped, meta):
    plotdir = os.path.join(outdir, "benchmarks")
    tot = totals(results, rows, classes)
    tot["_load"] = meta["load"]
    tot["_samples"] = meta.get("load_samples")
    ref = "taq-m5" if "taq-m5" in tot and "size" in tot["taq-m5"] else None
    L = []
    w = L.append
    w("# TAQ beside other compressors")
    w("")
    w(f"Measured {meta['date']} by `bench/report.sh` on the corpus `{meta['corpus_name']}` "
      f"({len(classes)} class{'es' if len(classes) != 1 else ''}, {sum(c['files'] for c in classes)} files, "
      f"{sum(c['bytes'] for c in classes) / 1e6:.1f} MB). "
      f"Every number is the minimum of {meta['reps_done']} repetition{'s' if meta['reps_done'] != 1 else ''}"
      f"{f' (of the {args.reps} planned: the run was stopped early)' if meta['reps_done'] < args.reps else ''}; "
      "every round trip was checked with `diff -r`.")
    if meta.get("note"):
        w("")
        w(meta["note"])
    w("")
    sampled = ""
    if meta.get("load_samples"):
        ls = sorted(meta["load_samples"])
        sampled = (f" Taken after each measurement, the 1-minute load average had a median of "
                   f"{ls[len(ls) // 2]:.2f} and a highest value of {ls[-1]:.2f}.")
    w(f"The run took {meta['minutes']:.0f} minutes; the load average (1, 5, 15 minutes) was "
      f"{', '.join(f'{v:.2f}' for v in meta['load'][0])} before it and "
      f"{', '.join(f'{v:.2f}' for v in meta['load'][1])} after it. Other work on the machine slows "
      "the tools down unevenly; minimums of interleaved repetitions keep most of that out of the "
      "tables, but speeds within some 10 % of each other are a tie." + sampled)
    w("")
    w("## Machine and tools")
    w("")
    m = meta["machine"]
    w(f"- Processor: {m['cpu']}, {m['cores']} cores; memory {m['memory']}; {m['os']}")
    seen = {}
    for r in rows:
        seen.setdefault(meta["versions"][r.id], []).append(r.label)
    for version, labels in seen.items():
        w(f"- {', '.join('`' + x + '`' for x in labels)}: {version}")
    w(f"- tar: {meta['tar']}; /usr/bin/time: {meta['time']}")
    if skipped:
        w(f"- Not installed, so not measured: {', '.join('`' + s + '`' for s in skipped)}")
    w("")
    w("## How it was measured")
    w("")
    w("Each class (one subdirectory of the corpus) is archived as a whole and extracted again. "
      "TAQ archives the directory (`taq a -mN -r ARCHIVE CLASS`, extracted with `taq x ARCHIVE out`), "
      "7-Zip and zpaq archive the directory the same way, and xz, zstd and bzip3 compress a tar of it "
      "(`tar -cf - CLASS | xz -9e -T1 > ARCHIVE`, extracted through `tar -x`). The peers run on one "
      "thread, TAQ with one task, except `TAQ -m5 -t2`, which compresses and extracts with two tasks "
      "(one task still maps its model tables in on two threads before it codes). The commands:")
    w("")
    w("| Row | compress (in the corpus) | extract |")
    w("|---|---|---|")
    for r in rows:
        cmd = r.compress("ARCHIVE", "CLASS").replace(r.binary, os.path.basename(r.binary))
        xcmd = r.extract("ARCHIVE", "out").replace(r.binary, os.path.basename(r.binary))
        # (a pipe inside a table cell, code or not, needs its backslash)
        w(f"| {r.label} | `{cmd.replace('|', chr(92) + '|')}` | `{xcmd.replace('|', chr(92) + '|')}` |")
    w("")
    w("- **bits/byte**: 8 × archive bytes / bytes of the class's files (lower is better).")
    w("- **MB/s**: bytes of the class's files / 10^6 / wall seconds of the whole command; "
      "**CPU s**: user + system time of all its processes. With two tasks only the wall time can "
      "shrink.")
    w("- **peak MiB**: the largest `Maximum resident set size` of `/usr/bin/time -v`, that is of the "
      "largest single process of the command (with `-t2` each of the two tasks takes about that much).")
    w(f"- Order: within each repetition the rows alternate between TAQ and the peers, every other "
      f"repetition in the opposite order. [{os.path.basename(meta['tsv'])}](benchmarks/"
      f"{os.path.basename(meta['tsv'])}) holds every single measurement.")
    w("")

    w("## Summary")
    w("")
    w(summary_table(rows, tot, ref, classes, results))
    w("")
    w("![bits per byte against speed, all classes](benchmarks/bpb-speed-all.svg)")
    w("")
    w(findings(rows, classes, results, tot))
    w("")
    w("## Per class")
    for c in classes:
        w("")
        w(f"### {c['name']}")
        w("")
        w(f"{c['files']} file{'s' if c['files'] != 1 else ''}, {c['bytes'] / 1e6:.2f} MB.")
        w("")
        w(class_table(rows, c, results))
        w("")
        w(f"![{c['name']}: bits per byte against speed](benchmarks/bpb-speed-{safe_file(c['name'])}.svg)")
    w("")
    w("## Reproducing")
    w("")
    w("    bench/report.sh CORPUS [OUTDIR]        # the whole page; OUTDIR defaults to ./bench-report")
    w("    bench/report.sh --quick CORPUS OUTDIR  # one class, one repetition, TAQ -m0 and one peer")
    w("")
    w("CORPUS is any directory with one subdirectory per class of data: put files like yours into a "
      "few subdirectories and the page tells how TAQ does on them. The script installs the missing "
      "peers and `python3-matplotlib` (Debian packages, with `sudo` when not root; `--no-install` "
      "leaves the system alone and skips what is missing), builds taq in `./build`, and writes "
      "`OUTDIR/benchmarks.md`, its plots and `OUTDIR/benchmarks/results.tsv`. `--reps N`, "
      "`--classes \"A B\"` and `--rows \"taq-m5 xz ...\"` (the ids are the first column of "
      "results.tsv) narrow it down.")
    w("")
    text = "\n".join(L)

    os.makedirs(plotdir, exist_ok=True)
    for f in os.listdir(plotdir):
        if f.startswith("bpb-speed-") and f.endswith(".svg"):
            os.unlink(os.path.join(plotdir, f))
    for c in classes:
        ents = []
        for r in rows:
            x = results[(r.id, c["name"])]
            if x.failed:
                continue
            ents.append((r.short, r.taq, x.bpb(), mbps(c["bytes"], x.best("c", 0)),
                         mbps(c["bytes"], x.best("x", 0))))
        if ents:
            plot(os.path.join(plotdir, f"bpb-speed-{safe_file(c['name'])}.svg"),
                 f"{c['name']} ({c['bytes'] / 1e6:.2f} MB)", ents)
    ents = [(r.short, r.taq, tot[r.id]["bpb"], mbps(tot[r.id]["bytes"], tot[r.id]["cwall"]),
             mbps(tot[r.id]["bytes"], tot[r.id]["xwall"])) for r in rows if "size" in tot[r.id]]
    if ents:
        plot(os.path.join(plotdir, "bpb-speed-all.svg"),
             f"all classes ({sum(c['bytes'] for c in classes) / 1e6:.1f} MB)", ents)
    tmp = os.path.join(outdir, "benchmarks.md.tmp")
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, os.path.join(outdir, "benchmarks.md"))


def summary_table(rows, tot, ref, classes, results):
    L = ["| Row | bits/byte | size vs TAQ -m5 | compress MB/s | extract MB/s | compress CPU s | extract CPU s "
         "| peak MiB (c / x) | smallest on |",
         "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    wins = {r.id: 0 for r in rows}
    for c in classes:
        ok = [r for r in rows if not results[(r.id, c["name"])].failed]
        if ok:
            wins[min(ok, key=lambda r: results[(r.id, c["name"])].size).id] += 1
    for r in rows:
        t = tot[r.id]
        name = f"**{r.label}**" if r.taq else r.label
        if t["failed"]:
            L.append(f"| {name} | FAILED ({', '.join(t['failed'])}) | | | | | | | |")
            continue
        rel = f"{t['size'] / tot[ref]['size']:.3f}" if ref else "-"
        L.append(f"| {name} | {t['bpb']:.3f} | {rel} | {fmt(mbps(t['bytes'], t['cwall']))} "
                 f"| {fmt(mbps(t['bytes'], t['xwall']))} | {fmt(t['ccpu'])} | {fmt(t['xcpu'])} "
                 f"| {mib(t['cpeak'])} / {mib(t['xpeak'])} | {wins[r.id]} of {len(classes)} |")
    return "\n".join(L) + (
        f"\n\nAll classes together: the sums of the class archives and of the classes' minimum times. "
        f"\"size vs TAQ -m5\" is the row's archives' size over TAQ -m5's (above 1: larger than TAQ's)."
        if ref else "")


def class_table(rows, c, results):
    L = ["| Row | archive bytes | bits/byte | compress MB/s | extract MB/s | compress CPU s | extract CPU s "
         "| peak MiB (c / x) | round trip |",
         "|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    ok = [results[(r.id, c["name"])] for r in rows if not results[(r.id, c["name"])].failed]
    best = min(x.size for x in ok) if ok else None
    for r in rows:
        x = results[(r.id, c["name"])]
        name = f"**{r.label}**" if r.taq else r.label
        if x.failed:
            L.append(f"| {name} | {x.size or '-'} | - | - | - | - | - | - | FAILED: {x.failed} |")
            continue
        bpb = f"{x.bpb():.3f}"
        if x.size == best:
            bpb = f"**{bpb}**"
        L.append(f"| {name} | {x.size} | {bpb} | {fmt(mbps(c['bytes'], x.best('c', 0)))} "
                 f"| {fmt(mbps(c['bytes'], x.best('x', 0)))} | {fmt(x.best('c', 1))} | {fmt(x.best('x', 1))} "
                 f"| {mib(x.best('c', 2))} / {mib(x.best('x', 2))} | ok |")
    return "\n".join(L)


def meta_load(tot):
    samples = tot.get("_samples")
    if samples:
        samples = sorted(samples)
        return (f"{samples[len(samples) // 2]:.1f} in the median of its measurements and up to "
                f"{samples[-1]:.1f}")
    l = tot.get("_load")
    return "unknown" if not l else f"{l[-1][2]:.1f} over the last 15 minutes of the run"


def findings(rows, classes, results, tot):
    """What the numbers say about TAQ, in words (only from what was measured)."""
    ids = {r.id: r for r in rows}
    L = ["### Where TAQ wins and where it loses", ""]
    if "taq-m5" not in ids:
        return ""
    peers = [r for r in rows if not r.taq]
    t5 = tot["taq-m5"]
    if peers and "size" in t5:
        lines = []
        for c in classes:
            me = results[("taq-m5", c["name"])]
            ok = [p for p in peers if not results[(p.id, c["name"])].failed]
            if me.failed or not ok:
                continue
            bp = min(ok, key=lambda p: results[(p.id, c["name"])].size)
            other = results[(bp.id, c["name"])]
            lines.append(f"| {c['name']} | {me.bpb():.3f} | {bp.label} | {other.bpb():.3f} "
                         f"| {other.size / me.size:.3f} |")
        L.append("Size of TAQ -m5 against the smallest peer of each class (\"peer / TAQ\" above 1: TAQ's "
                 "archive is smaller):")
        L.append("")
        L.append("| Class | TAQ -m5 bits/byte | smallest peer | its bits/byte | peer / TAQ |")
        L.append("|---|---:|---|---:|---:|")
        L.extend(lines)
        L.append("")
        won = [c["name"] for c in classes if not results[("taq-m5", c["name"])].failed
               and all(results[(p.id, c["name"])].failed or results[(p.id, c["name"])].size > results[("taq-m5", c["name"])].size
                       for p in peers)]
        lost = [c["name"] for c in classes if c["name"] not in won]
        whole = [p for p in peers if "size" in tot[p.id]]
        if whole:
            bp = min(whole, key=lambda p: tot[p.id]["size"])
            b = tot[bp.id]
            L.append(f"- **Size.** All classes together TAQ -m5's archives are "
                     f"{100 * abs(1 - t5['size'] / b['size']):.1f} % {'smaller' if t5['size'] < b['size'] else 'larger'} "
                     f"than those of the smallest peer, {bp.label}, which "
                     f"compresses at {fmt(mbps(b['bytes'], b['cwall']))} MB/s against TAQ's "
                     f"{fmt(mbps(t5['bytes'], t5['cwall']))} MB/s. Class by class TAQ -m5 is smaller than every peer on "
                     f"{len(won)} of {len(classes)} ({', '.join(won) or 'none'})"
                     f"{'; on ' + ', '.join(lost) + ' a peer is smaller' if lost else ''}.")
        notes = []
        for pid in ("xz", "zstd19", "7z-lzma2"):
            p = tot.get(pid)
            if p and "size" in p:
                notes.append(f"{ids[pid].label} extracts at {fmt(mbps(p['bytes'], p['xwall']))} MB/s, "
                             f"{t5['xwall'] / p['xwall']:.0f} times TAQ -m5's speed, from archives "
                             f"{p['size'] / t5['size']:.2f} times the size")
        if notes:
            L.append("- **Extraction speed.** TAQ decodes with the same models it coded with, so it "
                     f"extracts as slowly as it compresses ({fmt(mbps(t5['bytes'], t5['xwall']))} MB/s at "
                     "-m5 over all classes). The LZ family is far ahead there: " + "; ".join(notes) + ".")
        for cname in ("compressed",):
            c = next((c for c in classes if c["name"] == cname), None)
            me = results.get(("taq-m5", cname))
            ok = [p for p in peers if not results[(p.id, cname)].failed] if c else []
            if c and me and not me.failed and ok:
                small = min(ok, key=lambda p: results[(p.id, cname)].size)
                parts = []
                for k, verb in (("c", "compresses"), ("x", "extracts")):
                    fast = max(ok, key=lambda p: -results[(p.id, cname)].best(k, 0))
                    mine, theirs = mbps(c["bytes"], me.best(k, 0)), mbps(c["bytes"], results[(fast.id, cname)].best(k, 0))
                    parts.append(f"TAQ -m5 {verb} them at {fmt(mine)} MB/s, "
                                 f"{'faster than' if mine > theirs else 'against'} {fmt(theirs)} MB/s for "
                                 f"{fast.label}, the fastest peer")
                every = [results[(p.id, cname)].bpb() for p in ok] + [me.bpb()]
                L.append(f"- **Compressed media** (the `{cname}` class): every tool ends between "
                         f"{min(every):.2f} and {max(every):.2f} bits per byte (TAQ -m5 {me.bpb():.3f}, the "
                         f"smallest {small.label} {results[(small.id, cname)].bpb():.3f}). "
                         + "; ".join(parts) + ".")
    t2 = tot.get("taq-m5t2")
    if t2 and "size" in t2 and "size" in t5:
        best = max(classes, key=lambda c: results[("taq-m5", c["name"])].best("c", 0)
                   / max(results[("taq-m5t2", c["name"])].best("c", 0), 1e-4)
                   if not results[("taq-m5t2", c["name"])].failed and not results[("taq-m5", c["name"])].failed
                   else 0)
        b5, b2 = results[("taq-m5", best["name"])], results[("taq-m5t2", best["name"])]
        L.append(f"- **A second core** (`-t2` against one task at -m5, all classes): compression "
                 f"{t5['cwall'] / t2['cwall']:.2f} times as fast, extraction {t5['xwall'] / t2['xwall']:.2f} "
                 f"times, archives {100 * (t2['size'] / t5['size'] - 1):+.2f} % in size, for "
                 f"{100 * (t2['ccpu'] / t5['ccpu'] - 1):+.0f} % processor time, on a machine whose load "
                 f"average was {meta_load(tot)} on {os.cpu_count()} cores. Tasks share out files "
                 "(and pieces of files above 8 MiB per task), so a class of few files gains little; "
                 f"the most was {b5.best('c', 0) / max(b2.best('c', 0), 1e-4):.2f} times on "
                 f"`{best['name']}`.")
    ts = tot.get("taq-m5s")
    if ts and "size" in ts and "size" in t5:
        ok = [c for c in classes if not results[("taq-m5s", c["name"])].failed and not results[("taq-m5", c["name"])].failed]
        gain = max(ok, key=lambda c: 1 - results[("taq-m5s", c["name"])].size / results[("taq-m5", c["name"])].size)
        g = 1 - results[("taq-m5s", gain["name"])].size / results[("taq-m5", gain["name"])].size
        L.append(f"- **Solid** (`-s`): {100 * (1 - ts['size'] / t5['size']):.1f} % smaller than -m5 over all "
                 f"classes; it pays where a class has many small related files: {100 * g:.1f} % on "
                 f"`{gain['name']}` ({gain['files']} files).")
    return "\n".join(L)


def render(outdir):
    """Writes the page and plots again from OUTDIR/benchmarks/results.tsv and run.json."""
    bdir = os.path.join(outdir, "benchmarks")
    try:
        with open(os.path.join(bdir, "run.json")) as f:
            run = json.load(f)
        with open(os.path.join(bdir, "results.tsv")) as f:
            lines = f.read().splitlines()
    except (OSError, ValueError) as e:
        die(f"cannot read the results of a run in {bdir}: {e}")
    known = {r.id: r for r in all_rows()}
    rows = [known[i] for i in run["rows"] if i in known]
    for r in rows:
        r.binary = run["binaries"][r.id]
    classes = run["classes"]
    results = {(r.id, c["name"]): Result(r, c) for r in rows for c in classes}
    head = lines[0].split("\t")
    for line in lines[1:]:
        v = dict(zip(head, line.split("\t")))
        res = results.get((v["row"], v["class"]))
        if res is None:
            continue
        if res.size is None and int(v["archive_bytes"]):
            res.size = int(v["archive_bytes"])
        wall = float(v["wall_s"])
        if v["ok"] == "1" or wall:
            (res.c if v["op"] == "c" else res.x).append((wall, float(v["cpu_s"]), int(v["peak_kib"])))
    for key, why in run["failed"].items():
        rid, cname = key.split("\t")
        if (rid, cname) in results:
            results[(rid, cname)].failed = why
    write_page(argparse.Namespace(reps=run["reps"]), outdir, classes, rows, results, run["skipped"], run["meta"])
    print(f"report: wrote {os.path.join(outdir, 'benchmarks.md')} and its plots again", file=sys.stderr)


# ---------------------------------------------------------------- main
def main():
    # A report that is told to stop cleans up after itself, as on Ctrl-C.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--taq", help="the taq binary")
    ap.add_argument("--render", metavar="OUTDIR", help="write the page and plots of an earlier run again")
    ap.add_argument("--quick", action="store_true", help="one class, one repetition, TAQ -m0 and one peer")
    ap.add_argument("--reps", type=int, help="repetitions of each measurement (default 3)")
    ap.add_argument("--rows", help="row ids to measure (default all)")
    ap.add_argument("--classes", help="class names to measure (default all)")
    ap.add_argument("--note", help="a paragraph for the top of the page")
    ap.add_argument("corpus", nargs="?")
    ap.add_argument("outdir", nargs="?", default="bench-report")
    args = ap.parse_args()
    if args.render:
        render(args.render)
        return
    if not args.corpus or not args.taq:
        ap.error("a corpus and --taq are needed")

    if not os.path.isdir(args.corpus):
        die(f"no corpus directory '{args.corpus}'")
    corpus = os.path.realpath(args.corpus)
    outdir = os.path.realpath(args.outdir)
    if outdir == corpus or outdir.startswith(corpus + os.sep):
        die(f"the output directory {outdir} lies inside the corpus")
    taq = os.path.realpath(args.taq)
    if not os.access(taq, os.X_OK):
        die(f"no taq binary at {args.taq}")
    for tool in ("/usr/bin/time", "tar", "diff", "bash"):
        if not (os.access(tool, os.X_OK) if tool.startswith("/") else shutil.which(tool)):
            die(f"{tool} is missing (Debian: apt-get install time tar diffutils)")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        die(f"matplotlib is missing for {sys.executable} (Debian: apt-get install python3-matplotlib)")
    if args.reps is None:
        args.reps = 1 if args.quick else 3
    if args.reps < 1:
        die("--reps must be at least 1")

    rows = all_rows()
    known = [r.id for r in rows]
    if args.rows:
        want = args.rows.split()
        bad = [x for x in want if x not in known]
        if bad:
            die(f"unknown row {', '.join(bad)} (rows: {' '.join(known)})")
        rows = [r for r in rows if r.id in want]
    skipped = []
    present = []
    for r in rows:
        r.binary = find_tool(r, taq)
        if r.binary:
            present.append(r)
        else:
            skipped.append(r.label)
            print(f"report: {r.label} is not installed ({r.tool}, Debian package {r.package}); skipped",
                  file=sys.stderr)
    rows = present
    if args.quick:
        taqs = [r for r in rows if r.id == "taq-m0"] if not args.rows else [r for r in rows if r.taq][:1]
        peers = [r for r in rows if not r.taq]
        prefer = ["zstd19", "xz", "bzip3", "7z-lzma2", "7z-ppmd", "zpaq3"]
        peers.sort(key=lambda r: prefer.index(r.id) if r.id in prefer else len(prefer))
        if not peers:
            print("report: no peer compressor is installed (xz, zstd, bzip3, 7-Zip, zpaq): "
                  "nothing to compare TAQ with, quick report skipped", file=sys.stderr)
            sys.exit(SKIP)
        rows = taqs + peers[:1]
    if not rows:
        die("nothing to measure")

    classes = scan_corpus(corpus, args.classes.split() if args.classes else None)
    if args.quick and not args.classes:
        classes = [min(classes, key=lambda c: c["bytes"])]

    # Found out now, not after an hour of measuring.
    try:
        os.makedirs(os.path.join(outdir, "benchmarks"), exist_ok=True)
        probe = tempfile.NamedTemporaryFile(dir=os.path.join(outdir, "benchmarks"))
        probe.close()
    except OSError as e:
        die(f"cannot write into {outdir}: {e.strerror}")
    work = tempfile.mkdtemp(prefix="taqreport")
    if "." in work or "*" in work:
        shutil.rmtree(work)
        die(f"work directory '{work}' contains a dot or a star (taq x reads such a destination as "
            "directory + wildcard); set TMPDIR")
    try:
        results = {(r.id, c["name"]): Result(r, c) for r in rows for c in classes}
        tsv_lines = ["row\tlabel\tclass\tbytes\trep\tarchive_bytes\top\twall_s\tcpu_s\tuser_s\tsys_s\tpeak_kib\tok"]
        meta = {"machine": machine(), "versions": {r.id: version_of(r) for r in rows},
                "tar": first_line(["tar", "--version"]), "time": package_of("/usr/bin/time") or "unknown version",
                "load": [os.getloadavg()], "load_samples": [],
                "corpus_name": os.path.basename(corpus), "note": args.note,
                "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}
        log = os.path.join(work, "log")
        n = len(rows) * len(classes) * args.reps
        done = 0
        t_start = time.time()
        tsv = os.path.join(outdir, "benchmarks", "results.tsv")
        meta["tsv"] = tsv
        runjson = os.path.join(outdir, "benchmarks", "run.json")

        def publish(reps_done):
            meta["load"][1:] = [os.getloadavg()]
            meta["minutes"] = (time.time() - t_start) / 60
            meta["reps_done"] = reps_done
            os.makedirs(os.path.join(outdir, "benchmarks"), exist_ok=True)
            with open(tsv + ".tmp", "w") as f:
                f.write("\n".join(tsv_lines) + "\n")
            os.replace(tsv + ".tmp", tsv)
            # What the page says beside the measurements, for --render.
            run = {"meta": meta, "classes": classes, "reps": args.reps, "skipped": skipped,
                   "rows": [r.id for r in rows], "binaries": {r.id: r.binary for r in rows},
                   "failed": {f"{k[0]}\t{k[1]}": v.failed for k, v in results.items() if v.failed}}
            with open(runjson + ".tmp", "w") as f:
                json.dump(run, f, indent=1)
            os.replace(runjson + ".tmp", runjson)
            write_page(args, outdir, classes, rows, results, skipped, meta)

        for rep in range(args.reps):
            order = rows if rep % 2 == 0 else rows[::-1]
            for c in classes:
                for r in order:
                    res = results[(r.id, c["name"])]
                    size, cm, xm, why = round_trip(r, c["name"], corpus, work, log)
                    done += 1
                    meta["load_samples"].append(round(os.getloadavg()[0], 2))
                    if why:
                        with open(log, errors="replace") as f:
                            tail = f.read()[-1500:]
                        print(f"report: ROUND TRIP FAILED: {r.label} on {c['name']}: {why}\n{tail}",
                              file=sys.stderr)
                        res.failed = res.failed or why
                    if res.size is None and size:
                        res.size = size
                    for op, m in (("c", cm), ("x", xm)):
                        if not why or m[1]:
                            # (as results.tsv keeps them, so that --render draws the same)
                            (res.c if op == "c" else res.x).append((round(m[1], 4), round(m[2] + m[3], 4), m[4]))
                        tsv_lines.append("\t".join(str(v) for v in (
                            r.id, r.label, c["name"], c["bytes"], rep + 1, size, op, f"{m[1]:.4f}",
                            f"{m[2] + m[3]:.4f}", f"{m[2]:.4f}", f"{m[3]:.4f}", m[4], 0 if why else 1)))
                    el = time.time() - t_start
                    print(f"[{done}/{n}, {el / 60:.1f} min] {c['name']:<12} {r.label:<28} "
                          f"{8.0 * size / c['bytes']:.3f} bpb  c {cm[1]:7.2f} s  x {xm[1]:7.2f} s"
                          f"{'  FAILED' if why else ''}", file=sys.stderr)
            # Each repetition leaves a whole page (saying how many it has
            # seen), so that a run stopped early still has one.
            publish(rep + 1)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    failed = [f"{r.row.label} on {r.cls['name']}" for r in results.values() if r.failed]
    print(f"report: wrote {os.path.join(outdir, 'benchmarks.md')}, its plots and {tsv}", file=sys.stderr)
    if failed:
        print(f"report: {len(failed)} round trip(s) FAILED: {'; '.join(failed)}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
