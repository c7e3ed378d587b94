#!/usr/bin/env python3
"""Whole-process speed and memory of `quorvane`, two builds side by side.

Runs `quorvane assess` on 2, 5, 20 and 60 s recordings made by joining the
bundled samples (sox), and `quorvane recog` on the 5 s recording with 1, 5
and 20 candidate sentences (the spoken one first, then sentences of nine
characters, three of them with three readings each), and with 20 candidates
of nine characters with three readings each (3^9 readings each: beyond the
cap on readings, so the new build stops with an error at once; the row
shows what that costs), with the shipped models. The two
builds are run interleaved; each figure is the median of --runs runs.
Prints wall time, CPU time (user + system) and peak RSS of each, and the
ratio new / old.

    bench/speed.py --old OLD/quorvane --new build-rel/quorvane [--runs 7]
    bench/speed.py --check --old ... --new ...   compare every diagnostic file

--check runs every bundled sample and every joined recording through both
builds with --out and compares the diagnostic files token by token: words
must be equal, numbers equal within 1e-4 (absolute; or one unit of the
last digit printed) or within 1e-6 of their size.

The old build is usually made by bench/build-baseline from a commit of the
repository.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "telvoDataChinese")
SAMPLES = ["yilupingan", "woaini", "laoshi", "tianqi", "xuexi"]
LENGTHS = [2, 5, 20, 60]


def sample_text(name):
    with open(os.path.join(DATA, "samples", name + ".utf8.txt"), encoding="utf-8") as f:
        return f.read().strip()


def duration(wav):
    return float(subprocess.check_output(["soxi", "-D", wav], text=True))


def make_audio(work):
    """Joined recordings of about each length: (seconds, wav, text)."""
    out = []
    lens = {s: duration(os.path.join(DATA, "samples", s + ".wav")) for s in SAMPLES}
    for target in LENGTHS:
        parts, total, i = [], 0.0, 0
        while total < target - 0.3:
            s = SAMPLES[i % len(SAMPLES)]
            parts.append(s)
            total += lens[s]
            i += 1
        wav = os.path.join(work, "joined%d.wav" % target)
        if not os.path.exists(wav):
            subprocess.check_call(["sox"] + [os.path.join(DATA, "samples", s + ".wav") for s in parts] + [wav])
        out.append((duration(wav), wav, "".join(sample_text(s) for s in parts)))
    return out


def chars_with_readings(count, n):
    """The first n characters with exactly `count` readings in the word table."""
    chars = []
    with open(os.path.join(DATA, "chinese.wpa"), "rb") as f:
        for line in f:
            fields = line.rstrip(b"\r\n").split(b"\t")
            if len(fields) < 3 or fields[0].startswith(b"%") or len(fields[0]) != 2:
                continue
            if len(fields[2].split(b",")) == count:
                try:
                    chars.append(fields[0].decode("cp950"))
                except UnicodeDecodeError:
                    continue
            if len(chars) == n:
                break
    return chars


def candidates(spoken, count, polyphonic):
    """The spoken sentence, then count-1 sentences of nine characters of which
    `polyphonic` have three readings and the others one."""
    poly = chars_with_readings(3, 9 * 19)
    mono = chars_with_readings(1, 9 * 19)
    out = [spoken]
    for k in range(count - 1):
        out.append("".join(poly[9 * k + i] if i < polyphonic else mono[9 * k + i] for i in range(9)))
    return out


def run_measured(cmd, may_fail=False):
    """(wall s, CPU s, peak RSS MB) of one process, its output discarded."""
    t0 = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os.chdir(ROOT)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        try:
            os.execv(cmd[0], cmd)
        finally:
            os._exit(127)
    _, status, ru = os.wait4(pid, 0)
    wall = time.perf_counter() - t0
    if status != 0 and not may_fail:
        sys.exit("failed (status %d): %s" % (status, " ".join(cmd)))
    return wall, ru.ru_utime + ru.ru_stime, ru.ru_maxrss / 1024.0


def jobs(audio):
    out = []
    for secs, wav, text in audio:
        out.append(("assess %4.1f s" % secs, ["assess", wav, "--text", text], False))
    five = audio[LENGTHS.index(5)]
    for n, poly in ((1, 3), (5, 3), (20, 3), (20, 9)):
        args = ["recog", five[1]]
        for c in candidates(five[2], n, poly):
            args += ["--text", c]
        out.append(("recog %2d x 3^%d" % (n, poly), args, poly == 9))
    return out


def bench(args, audio):
    rows = []
    for label, a, may_fail in jobs(audio):
        res = {"old": [], "new": []}
        for _ in range(args.runs if not may_fail else 1):
            for which in ("old", "new"):
                res[which].append(run_measured([getattr(args, which)] + a, may_fail))
        med = {w: tuple(statistics.median(r[i] for r in res[w]) for i in range(3)) for w in res}
        rows.append((label, med["old"], med["new"]))
        o, n = med["old"], med["new"]
        print("%-16s old %8.1f ms %8.1f ms CPU %7.1f MB | new %8.1f ms %8.1f ms CPU %7.1f MB | "
              "new/old wall %.3f CPU %.3f RSS %.3f" % (label, o[0] * 1e3, o[1] * 1e3, o[2], n[0] * 1e3, n[1] * 1e3,
                                                        n[2], n[0] / o[0], n[1] / o[1], n[2] / o[2]), flush=True)
    return rows


NUM = re.compile(r"^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")


def last_digit(tok):
    """Value of one unit in the last printed digit of a number."""
    mant = re.split(r"[eE]", tok)[0]
    exp = int(re.split(r"[eE]", tok)[1]) if re.search(r"[eE]", tok) else 0
    decimals = len(mant.split(".")[1]) if "." in mant else 0
    return 10.0 ** (exp - decimals)


def compare_dirs(a, b):
    """(max abs diff, max rel diff, problems) over the files of two folders."""
    worst_abs = worst_rel = 0.0
    problems = []
    names = sorted(set(os.listdir(a)) | set(os.listdir(b)))
    for name in names:
        pa, pb = os.path.join(a, name), os.path.join(b, name)
        if not (os.path.isfile(pa) and os.path.isfile(pb)):
            problems.append("%s only in one run" % name)
            continue
        if name.endswith((".wav", ".fea")):
            continue
        ta = re.split(r"[\s<>\[\](),=\"]+", open(pa, "rb").read().decode("latin-1"))
        tb = re.split(r"[\s<>\[\](),=\"]+", open(pb, "rb").read().decode("latin-1"))
        if len(ta) != len(tb):
            problems.append("%s: %d vs %d tokens" % (name, len(ta), len(tb)))
            continue
        for x, y in zip(ta, tb):
            if x == y:
                continue
            if NUM.match(x) and NUM.match(y):
                fx, fy = float(x), float(y)
                d = abs(fx - fy)
                r = d / max(abs(fx), abs(fy), 1e-30)
                worst_abs = max(worst_abs, d)
                worst_rel = max(worst_rel, r)
                # A value printed with few digits may flip its last digit.
                last = max(last_digit(x), last_digit(y))
                if d > max(1e-4, last * 1.0001) and r > 1e-6:
                    problems.append("%s: %s vs %s" % (name, x, y))
            else:
                problems.append("%s: %r vs %r" % (name, x, y))
    return worst_abs, worst_rel, problems


def check(args, audio, work):
    inputs = [(os.path.join(DATA, "samples", s + ".wav"), sample_text(s)) for s in SAMPLES]
    inputs += [(wav, text) for _, wav, text in audio]
    jobs_ = [["assess", w, "--text", t] for w, t in inputs]
    five = audio[LENGTHS.index(5)]
    for n in (5, 20):
        r = ["recog", five[1]]
        for c in candidates(five[2], n, 3):
            r += ["--text", c]
        jobs_.append(r)
    failed = 0
    for k, a in enumerate(jobs_):
        dirs = {}
        for which in ("old", "new"):
            d = os.path.join(work, "check%d-%s" % (k, which))
            subprocess.run(["rm", "-rf", d], check=True)
            os.makedirs(d)
            subprocess.run([getattr(args, which)] + a + ["--out", d], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            dirs[which] = d
        wa, wr, probs = compare_dirs(dirs["old"], dirs["new"])
        what = "%s %s" % (a[0], os.path.basename(a[1])) + (" (%d candidates)" % ((len(a) - 2) // 2) if a[0] == "recog" else "")
        print("%-36s files %2d  max |diff| %.2e  max rel %.2e  %s" % (
            what, len(os.listdir(dirs["old"])), wa, wr, "same" if not probs else "DIFFERENT"))
        for p in probs[:10]:
            print("    " + p)
        failed += bool(probs)
    print("all outputs equal within tolerance" if not failed else "%d runs differ" % failed)
    return 1 if failed else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--old", required=True, help="quorvane binary of the old build")
    ap.add_argument("--new", required=True, help="quorvane binary of the new build")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--check", action="store_true", help="compare outputs instead of timing")
    ap.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "qv-speed-bench"))
    args = ap.parse_args()
    args.old, args.new = os.path.abspath(args.old), os.path.abspath(args.new)
    os.makedirs(args.work, exist_ok=True)
    audio = make_audio(args.work)
    if args.check:
        sys.exit(check(args, audio, args.work))
    bench(args, audio)


if __name__ == "__main__":
    main()
