#!/usr/bin/env python3
"""Pitch tracks against the reference tracker, per kind of recording.

usage: compare_f0.py REFDIR OURDIR
REFDIR holds <name>.praat (time, f0), OURDIR <name>.f0 (time, display
tracker Hz, tone tracker Hz, ncc); the kind is the name up to its first "-".
Frames are matched by nearest time (within 5 ms). On the frames the reference
calls voiced: gross errors (more than 20 % off), octave errors (a factor of
2 or 1/2, within 10 %), the fine error of the rest (mean |semitones|); on all
frames: voicing decision errors (voiced/unvoiced disagreements). The display
tracker gives every frame a pitch, so its voicing decision is "all voiced".
"""
import bisect
import math
import os
import sys
from collections import defaultdict


def read(path):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2:
                rows.append([float(p) for p in parts])
    return rows


def main(refdir, ourdir):
    stats = defaultdict(lambda: defaultdict(float))
    for name in sorted(os.listdir(refdir)):
        if not name.endswith(".praat"):
            continue
        stem = name[:-6]
        ours = os.path.join(ourdir, stem + ".f0")
        if not os.path.exists(ours):
            continue
        ref, our = read(os.path.join(refdir, name)), read(ours)
        times = [r[0] for r in our]
        kind = stem.split("-")[0]
        s = stats[kind]
        s["files"] += 1
        for t, f in ref:
            i = bisect.bisect_left(times, t)
            best = min((j for j in (i - 1, i) if 0 <= j < len(times)), key=lambda j: abs(times[j] - t), default=None)
            if best is None or abs(times[best] - t) > 0.0051:
                continue
            s["frames"] += 1
            for col, tag in ((1, "old"), (2, "new")):
                g = our[best][col]
                if (f > 0) != (g > 0):
                    s[tag + "_vde"] += 1
                    s[tag + ("_missed" if f > 0 else "_false")] += 1
                if f > 0:
                    s["voiced"] += 1 if tag == "old" else 0
                if f > 0 and g > 0:
                    s[tag + "_both"] += 1
                    oct_ = abs(math.log2(g / f))
                    if abs(g / f - 1) > 0.2:
                        s[tag + "_gross"] += 1
                        if abs(oct_ - 1) < 0.15:
                            s[tag + "_octave"] += 1
                    else:
                        s[tag + "_fine"] += abs(12 * math.log2(g / f))
                        s[tag + "_fineN"] += 1
    print("| recordings | files | frames (voiced) | tracker | gross err | octave err | fine err (st) | voicing err | missed voiced | false voiced |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    total = defaultdict(float)
    for kind in sorted(stats) + ["all"]:
        s = stats[kind] if kind != "all" else total
        if kind != "all":
            for k, v in s.items():
                total[k] += v
        for tag, label in (("old", "display (AMDF)"), ("new", "tone (NCC+DP)")):
            both = max(s[tag + "_both"], 1)
            voiced = max(s["voiced"], 1)
            unvoiced = max(s["frames"] - s["voiced"], 1)
            print("| %s | %d | %d (%d) | %s | %.1f %% | %.1f %% | %.2f | %.1f %% | %.1f %% | %.1f %% |" % (
                kind, s["files"], s["frames"], s["voiced"], label,
                100 * s[tag + "_gross"] / both, 100 * s[tag + "_octave"] / both,
                s[tag + "_fine"] / max(s[tag + "_fineN"], 1),
                100 * s[tag + "_vde"] / max(s["frames"], 1),
                100 * s[tag + "_missed"] / voiced, 100 * s[tag + "_false"] / unvoiced))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
