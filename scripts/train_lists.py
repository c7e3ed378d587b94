#!/usr/bin/env python3
"""Training lists for scripts/build-models.

Writes one list per speaker into OUTDIR, each line
    <source audio> TAB <16 kHz wav to create> TAB <syllables, blank-separated>
where the syllables are units of the pronunciation dictionary (Hanyu pinyin
with tone digit 1-5, u-umlaut written v). Items whose reading cannot be
settled or is not in the dictionary are left out and counted.

usage: train_lists.py DATADIR CORPUSDIR GCINDIR CEDICT_JS WAVDIR OUTDIR
"""
import json
import os
import re
import sys

TONE_MARKS = {"\u02ca": "2", "\u02c7": "3", "\u02cb": "4", "\u02d9": "5"}


def load_units(pam):
    units = set()
    with open(pam, encoding="ascii") as f:
        for line in f:
            if line.startswith("%") or not line.strip():
                continue
            units.add(line.split()[0])
    return units


def normalise(pinyin, units):
    """Corpus spelling (tone digit last, or none) -> dictionary unit or None."""
    p = pinyin.strip().lower().replace("u:", "v").replace("\u00fc", "v").replace("uu", "v")
    m = re.fullmatch(r"([a-z]+)([0-5]?)", p)
    if not m:
        return None
    base, tone = m.group(1), m.group(2) or "5"
    if tone == "0":
        tone = "5"
    # Hanyu writes u for u-umlaut after j, q, x and y.
    if base[0] in "jqxy":
        base = base[0] + base[1:].replace("v", "u")
    for cand in (base, re.sub(r"^([ln])ue", r"\1ve", base)):
        if cand + tone in units:
            return cand + tone
    return None


def sandhi(syls, chars):
    """Citation tones -> spoken tones: third-tone runs, and yi1 and bu4 of the
    characters 一 and 不 (not every syllable so spelt: 醫院 stays yi1)."""
    s = list(syls)
    for i in range(len(s) - 1):
        if s[i].endswith("3") and s[i + 1].endswith("3"):
            s[i] = s[i][:-1] + "2"
    for i in range(len(s) - 1):
        nxt = s[i + 1][-1]
        if s[i] == "bu4" and chars[i] == "不" and nxt == "4":
            s[i] = "bu2"
        elif s[i] == "yi1" and chars[i] == "一":
            s[i] = "yi2" if nxt == "4" else ("yi4" if nxt in "123" else s[i])
    return s


def syllable_speaker(folder, prefix, wavdir, tag, units, out, stats):
    n = skipped = 0
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".mp3") or name.startswith(prefix + "_"):
            continue
        stem = name[len(prefix):-4]
        unit = normalise(stem, units)
        if unit is None:
            skipped += 1
            continue
        out.write("%s\t%s/%s/%s.wav\t%s\n" % (os.path.join(folder, name), wavdir, tag, stem, unit))
        n += 1
    stats[tag] = (n, skipped)


def gcin_speaker(gcindir, fileName, datadir, wavdir, tag, units, out, stats):
    table = {}
    with open(os.path.join(datadir, "pinyinTable.txt"), encoding="big5", errors="replace") as f:
        for line in f:
            cols = line.rstrip("\r\n").split("\t")
            if len(cols) < 4:
                continue
            zy, tone = cols[2], "1"
            for mark, t in TONE_MARKS.items():
                if mark in zy:
                    zy, tone = zy.replace(mark, ""), t
            table[(zy, tone)] = cols[3]
    n = skipped = 0
    for d in sorted(os.listdir(gcindir)):
        src = os.path.join(gcindir, d, fileName)
        if not os.path.isfile(src):
            continue
        zy, digit = (d[:-1], d[-1]) if d[-1].isdigit() else (d, "")
        # No digit is the first tone; digit 1 marks the neutral tone.
        tone = {"": "1", "1": "5"}.get(digit, digit)
        unit = table.get((zy, tone))
        if unit is None or unit not in units:
            skipped += 1
            continue
        out.write("%s\t%s/%s/%s.wav\t%s\n" % (src, wavdir, tag, unit, unit))
        n += 1
    stats[tag] = (n, skipped)


def load_cedict(js):
    with open(js, encoding="utf-8") as f:
        text = f.read()
    text = text[text.index("{"):text.rindex("}") + 1]
    return json.loads(text)


def hsk_speaker(folder, cedict, wavdir, tag, units, out, stats):
    n = skipped = 0
    for name in sorted(os.listdir(folder)):
        if not (name.startswith("cmn-") and name.endswith(".mp3")):
            continue
        word = name[4:-4]
        if "_" in word:
            skipped += 1
            continue
        readings = [r for r in cedict.get(word, {}) if r == r.lower()]
        # Only words with one common reading: polyphones stay out.
        if len(set(readings)) != 1:
            skipped += 1
            continue
        sy = [normalise(x, units) for x in readings[0].replace("r5", "er5").split()]
        if not sy or len(sy) != len(word) or any(x is None for x in sy):
            skipped += 1
            continue
        sy = sandhi(sy, word)
        if any(x not in units for x in sy):
            skipped += 1
            continue
        out.write("%s\t%s/%s/%05d.wav\t%s\n" % (os.path.join(folder, name), wavdir, tag, n, " ".join(sy)))
        n += 1
    stats[tag] = (n, skipped)


def main():
    datadir, corpus, gcin, cedictJs, wavdir, outdir = sys.argv[1:7]
    units = load_units(os.path.join(datadir, "chinese.pam"))
    os.makedirs(outdir, exist_ok=True)
    stats = {}
    with open(os.path.join(outdir, "chenwang.lst"), "w") as out:
        syllable_speaker(os.path.join(corpus, "audio-cmn/64k/syllabs"), "cmn-", wavdir, "chenwang", units, out, stats)
    with open(os.path.join(outdir, "pinyinsound.lst"), "w") as out:
        syllable_speaker(os.path.join(corpus, "pinyin-sound/mp3"), "", wavdir, "pinyinsound", units, out, stats)
    for speaker, fileName in (("gcin3", "3.ogg"), ("gcin5", "5.ogg")):
        with open(os.path.join(outdir, speaker + ".lst"), "w") as out:
            gcin_speaker(gcin, fileName, datadir, wavdir, speaker, units, out, stats)
    if os.path.isfile(cedictJs):
        with open(os.path.join(outdir, "yuetan.lst"), "w") as out:
            hsk_speaker(os.path.join(corpus, "audio-cmn/64k/hsk"), load_cedict(cedictJs), wavdir, "yuetan", units, out,
                        stats)
    with open(os.path.join(outdir, "counts.tsv"), "w") as f:
        for tag, (n, skipped) in sorted(stats.items()):
            f.write("%s\t%d\t%d\n" % (tag, n, skipped))
            print("%-12s %6d items, %5d left out" % (tag, n, skipped))


if __name__ == "__main__":
    main()
