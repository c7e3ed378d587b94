#!/usr/bin/env python3
"""Our assessment against pocketsphinx's forced alignment of the same length.

Installs pocketsphinx, its US English model and espeak-ng (Debian packages)
when they are missing, speaks English text of about 2, 5, 20 and 60 s with
espeak-ng (16 kHz mono), and aligns each recording to its text with
pocketsphinx_continuous and a one-sentence grammar, once with a dictionary of
only the words of the text ("small") and once with the whole dictionary.
Our side is `quorvane assess` on the joined Mandarin samples of the same
lengths (bench/speed.py makes them). Both sides are whole processes, model
loading included; each figure is the median of --runs interleaved runs.

    bench/peer_pocketsphinx.py --ours build-rel/quorvane [--runs 7]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import speed  # noqa: E402

MODEL = "/usr/share/pocketsphinx/model/en-us/en-us"
TEXT = ("the quick brown fox jumps over the lazy dog. she sells sea shells by the sea shore. "
        "a journey of a thousand miles begins with a single step. all that glitters is not gold. "
        "the early bird catches the worm. practice makes perfect. time and tide wait for no man. "
        "actions speak louder than words. better late than never. knowledge is power.").split(". ")


def ensure_packages():
    need = []
    if not shutil.which("pocketsphinx_continuous"):
        need.append("pocketsphinx")
    if not os.path.isdir(MODEL):
        need.append("pocketsphinx-en-us")
    if not shutil.which("espeak-ng"):
        need.append("espeak-ng")
    if not shutil.which("sox"):
        need.append("sox")
    if need:
        subprocess.check_call(["apt-get", "install", "-y", "--no-install-recommends"] + need,
                              env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def english_audio(work, target):
    """A recording of about `target` seconds and its words."""
    words, parts, total, i = [], [], 0.0, 0
    while total < target - 0.3:
        sentence = TEXT[i % len(TEXT)].strip(". ")
        raw = os.path.join(work, "en%d_%d.raw.wav" % (target, i))
        subprocess.check_call(["espeak-ng", "-w", raw, sentence])
        wav = os.path.join(work, "en%d_%d.wav" % (target, i))
        subprocess.check_call(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", wav])
        parts.append(wav)
        total += speed.duration(wav)
        words += sentence.split()
        i += 1
    out = os.path.join(work, "en%d.wav" % target)
    subprocess.check_call(["sox"] + parts + [out])
    return out, words


def alignment_files(work, target, words):
    """Grammar of exactly the sentence, and a dictionary of only its words."""
    gram = os.path.join(work, "en%d.jsgf" % target)
    with open(gram, "w") as f:
        f.write("#JSGF V1.0;\ngrammar forced;\npublic <s> = %s;\n" % " ".join(words))
    small = os.path.join(work, "en%d.dic" % target)
    wanted = set(words)
    with open(os.path.join(MODEL, "..", "cmudict-en-us.dict")) as f, open(small, "w") as g:
        for line in f:
            w = line.split(" ", 1)[0]
            if w in wanted or (w.split("(")[0] in wanted and "(" in w):
                g.write(line)
    return gram, small


def sphinx_cmd(wav, gram, dic):
    return [shutil.which("pocketsphinx_continuous"), "-infile", wav, "-jsgf", gram, "-dict", dic,
            "-hmm", MODEL, "-logfn", "/dev/null"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ours", required=True, help="our quorvane binary")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--work", default="/tmp/qv-peer-bench")
    args = ap.parse_args()
    ensure_packages()
    os.makedirs(args.work, exist_ok=True)
    ours = os.path.abspath(args.ours)
    chinese = speed.make_audio(args.work)
    full_dic = os.path.join(MODEL, "..", "cmudict-en-us.dict")
    for (secs, cwav, ctext), target in zip(chinese, speed.LENGTHS):
        ewav, words = english_audio(args.work, target)
        gram, small = alignment_files(args.work, target, words)
        cmds = {
            "ours": [ours, "assess", cwav, "--text", ctext],
            "sphinx-small": sphinx_cmd(ewav, gram, small),
            "sphinx-full": sphinx_cmd(ewav, gram, full_dic),
        }
        res = {k: [] for k in cmds}
        for _ in range(args.runs):
            for k, c in cmds.items():
                res[k].append(speed.run_measured(c))
        med = {k: tuple(statistics.median(r[i] for r in v) for i in range(3)) for k, v in res.items()}
        o, s, f = med["ours"], med["sphinx-small"], med["sphinx-full"]
        print("%2d s: ours %.1f s audio %7.1f ms %6.1f MB | pocketsphinx (%.1f s audio) small dict %7.1f ms %6.1f MB, "
              "full dict %7.1f ms %6.1f MB | ours/small %.2f  ours/full %.2f" % (
                  target, secs, o[0] * 1e3, o[2], speed.duration(ewav), s[0] * 1e3, s[2], f[0] * 1e3, f[2],
                  o[0] / s[0], o[0] / f[0]), flush=True)


if __name__ == "__main__":
    main()
