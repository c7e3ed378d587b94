#!/usr/bin/env python3
"""Training and held-out lists of the Common Voice zh-CN sentences.

Speakers are split by a fixed rule into train, dev and test (the split files
in SPLITDIR are written on the first run and read on every later one, so
the split never moves). Each sentence is transcribed into toned syllables of
the pronunciation dictionary:
  Simplified -> Traditional (OpenCC s2tw), every character must be in the
  lexicon (chinese.wpa);
  readings: mainland Putonghua (the speakers are mainland volunteers), by
  the longest words of CC-CEDICT, the word's reading for polyphones, tone
  sandhi as spoken (third tones, yi1, bu4) within each phrase.
Sentences with a character or syllable that cannot be covered are left out
and counted.

usage: cv_lists.py DATADIR CVDIR CEDICT_JS SPLITDIR WAVDIR OUTDIR [QUORVANE]

With QUORVANE (the built user tool), the readings are those of its reading
step, `quorvane readings --standard mainland`, the step the learner's
expected readings come from; without it, the rules above on CC-CEDICT.

Writes OUTDIR/cv-{train,dev,test}.lst (source TAB wav TAB syllables),
OUTDIR/cv-speakers.tsv (wav TAB speaker TAB part) and appends the counts of
each part to OUTDIR/counts.tsv; prints the coverage.
"""
import collections
import csv
import hashlib
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from train_lists import load_units, load_cedict, normalise  # noqa: E402

DEV, TEST = 25, 25
PUNCT = set("，。、；：？！「」『』（）《》〈〉“”‘’…—·,.;:?! \u3000-")
NUMERALS = set("零〇一二三四五六七八九十百千万亿两")
# Readings of frequent one-character words that no word of CC-CEDICT
# settles (particles, adverbs); others take the reading the character has
# most often inside CC-CEDICT's words.
DEFAULT = {"的": "de5", "了": "le5", "着": "zhe5", "得": "de5", "地": "de5", "么": "me5", "们": "men5",
           "子": "zi5", "过": "guo4", "和": "he2", "都": "dou1", "还": "hai2", "为": "wei2", "行": "xing2",
           "长": "chang2", "会": "hui4", "要": "yao4", "说": "shuo1", "大": "da4", "中": "zhong1",
           "上": "shang4", "下": "xia4", "只": "zhi3", "没": "mei2", "种": "zhong3", "更": "geng4",
           "便": "bian4", "把": "ba3", "与": "yu3", "于": "yu2", "被": "bei4", "在": "zai4", "是": "shi4",
           "有": "you3", "个": "ge4", "这": "zhe4", "那": "na4", "哪": "na3", "吗": "ma5", "呢": "ne5",
           "吧": "ba5", "啊": "a5", "重": "zhong4", "当": "dang1", "好": "hao3", "少": "shao3",
           "几": "ji3", "将": "jiang1", "曾": "ceng2", "朝": "chao2", "称": "cheng1", "数": "shu4",
           "分": "fen1", "发": "fa1", "间": "jian1", "处": "chu4", "看": "kan4", "给": "gei3",
           "差": "cha4", "应": "ying1", "相": "xiang1", "省": "sheng3", "乐": "le4", "调": "diao4",
           "教": "jiao4", "传": "chuan2", "转": "zhuan3", "角": "jiao3", "强": "qiang2", "系": "xi4",
           "提": "ti2", "量": "liang4", "属": "shu3", "藏": "cang2", "兴": "xing1", "结": "jie2",
           "难": "nan2", "正": "zheng4", "似": "si4", "场": "chang3", "约": "yue1", "参": "can1",
           "一": "yi1", "不": "bu4", "假": "jia3", "率": "lv4", "切": "qie1", "空": "kong1",
           "累": "lei4", "仇": "chou2", "什": "shen2", "任": "ren4", "期": "qi1", "号": "hao4"}


def split_speakers(rows, splitdir):
    parts = ("train", "dev", "test")
    paths = {p: os.path.join(splitdir, p + ".txt") for p in parts}
    if all(os.path.isfile(paths[p]) for p in parts):
        split = {}
        for p in parts:
            with open(paths[p], encoding="ascii") as f:
                for line in f:
                    if line.strip() and not line.startswith("#"):
                        split[line.split()[0]] = p
        return split
    # Rule: speakers in the order of the SHA-256 of their client_id; the
    # women (gender tag) go one each to test, dev and train in that order,
    # then test and dev are filled up to 25 speakers, the rest train.
    gender = collections.defaultdict(set)
    for r in rows:
        gender[r["client_id"]].add(r["gender"])
    order = sorted(gender, key=lambda c: hashlib.sha256(c.encode()).hexdigest())
    split = {}
    women = [c for c in order if "female" in gender[c]]
    for c, p in zip(women, ("test", "dev", "train")):
        split[c] = p
    for c in order:
        if c in split:
            continue
        n = collections.Counter(split.values())
        split[c] = "test" if n["test"] < TEST else "dev" if n["dev"] < DEV else "train"
    os.makedirs(splitdir, exist_ok=True)
    clips = collections.Counter(r["client_id"] for r in rows)
    for p in parts:
        with open(paths[p], "w", encoding="ascii") as f:
            f.write("# Common Voice zh-CN client_id, clips, gender tag (written by scripts/cv_lists.py)\n")
            for c in order:
                if split[c] == p:
                    f.write("%s\t%d\t%s\n" % (c, clips[c], ",".join(sorted(g for g in gender[c] if g)) or "-"))
    return split


def char_readings(cedict):
    """Per character: the count of each reading inside CC-CEDICT's words."""
    counts = collections.defaultdict(collections.Counter)
    for word, readings in cedict.items():
        if len(word) < 2:
            continue
        for r in readings:
            syl = r.split()
            if len(syl) != len(word) or r != r.lower():
                continue
            for ch, s in zip(word, syl):
                counts[ch][s] += 1
    return counts


def word_reading(word, cedict):
    readings = list(cedict.get(word, {}))
    low = [r for r in readings if r == r.lower()]
    pool = low or [r.lower() for r in readings]
    if not pool:
        return None
    if len(word) == 1 and len(set(pool)) > 1:
        return None  # settled by the caller
    syl = pool[0].split()
    return syl if len(syl) == len(word) else None


def sandhi(syls, chars):
    s = list(syls)
    for i in range(len(s) - 1):
        if s[i].endswith("3") and s[i + 1].endswith("3"):
            s[i] = s[i][:-1] + "2"
    for i in range(len(s) - 1):
        nxt = s[i + 1][-1]
        if s[i] == "bu4" and chars[i] == "不" and nxt == "4":
            s[i] = "bu2"
        elif s[i] == "yi1" and chars[i] == "一":
            # Counting and ordinals keep yi1 (第一, 一九八一, 十一).
            if (i > 0 and (chars[i - 1] == "第" or chars[i - 1] in NUMERALS)) or chars[i + 1] in NUMERALS:
                continue
            s[i] = "yi2" if nxt == "4" else ("yi4" if nxt in "1235" else s[i])
    return s


def transcribe(simp, trad, cedict, counts, units, wpa, stats):
    """Syllables of one sentence, or None (reason counted in stats)."""
    if len(simp) != len(trad):
        stats["length changed by OpenCC"] += 1
        return None
    phrases, cur = [], []
    for cs, ct in zip(simp, trad):
        if cs in PUNCT:
            if cur:
                phrases.append(cur)
            cur = []
        else:
            cur.append((cs, ct))
    if cur:
        phrases.append(cur)
    out = []
    differs = 0
    for ph in phrases:
        simp_ph = "".join(c for c, _ in ph)
        syl = []
        i = 0
        while i < len(ph):
            for n in range(min(8, len(ph) - i), 0, -1):
                w = simp_ph[i:i + n]
                r = word_reading(w, cedict)
                if r is None and n == 1:
                    r = [DEFAULT[w]] if w in DEFAULT else None
                    if r is None and counts.get(w):
                        r = [counts[w].most_common(1)[0][0]]
                    if r is None and w in cedict:
                        r = [sorted(cedict[w])[0].lower()]
                if r is not None:
                    break
            if r is None:
                stats["character without a reading"] += 1
                return None
            for k, x in enumerate(r):
                u = normalise(x, units)
                if u is None and x[-1:] == "5":
                    # A neutral tone the inventory lacks: the lexicon's
                    # reading of the character with the same letters.
                    same = [v for v in wpa.get(ph[i + k][1], ()) if v[:-1] == normalise(x[:-1] + "1", units)[:-1]] \
                        if normalise(x[:-1] + "1", units) else []
                    if len(same) == 1:
                        u = same[0]
                        stats["neutral tone not in the dictionary, lexicon tone used"] += 1
                if u is None:
                    stats["syllable not in the dictionary"] += 1
                    return None
                syl.append(u)
            i += len(r)
        chars = [c for c, _ in ph]
        for (cs, ct), u in zip(ph, syl):
            lex = wpa.get(ct)
            if lex is None:
                stats["character not in the lexicon"] += 1
                return None
            if u not in lex:
                differs += 1
        spoken = sandhi(syl, chars)
        for k, u in enumerate(spoken):
            if u not in units:
                # A changed tone the inventory lacks (kou3 -> kou2): the
                # citation tone stays.
                spoken[k] = syl[k]
                stats["sandhi tone not in the dictionary, citation tone kept"] += 1
        out += spoken
    stats["syllables"] += len(out)
    stats["mainland reading not in the lexicon"] += differs
    return out


def load_wpa(path):
    wpa = {}
    with open(path, encoding="cp950", errors="strict") as f:
        for line in f:
            if line.startswith("%"):
                continue
            cols = line.rstrip("\r\n").split("\t")
            if len(cols) >= 3:
                wpa[cols[0]] = set(cols[2].split(","))
    return wpa


def main():
    datadir, cvdir, cedictJs, splitdir, wavdir, outdir = sys.argv[1:7]
    tool = sys.argv[7] if len(sys.argv) > 7 else ""
    units = load_units(os.path.join(datadir, "chinese.pam"))
    wpa = load_wpa(os.path.join(datadir, "chinese.wpa"))
    cedict = load_cedict(cedictJs)
    counts = char_readings(cedict)
    with open(os.path.join(cvdir, "validated.tsv"), encoding="utf-8", newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE))
    rows.sort(key=lambda r: r["path"])
    split = split_speakers(rows, splitdir)
    trad = subprocess.run(["opencc", "-c", "s2tw.json"], input="\n".join(r["sentence"] for r in rows) + "\n",
                          capture_output=True, text=True, check=True).stdout.split("\n")
    stepped = None
    if tool:
        # One output line per input line, empty where the step cannot read.
        run = subprocess.run([tool, "readings", "--data", datadir, "--standard", "mainland"],
                             input="\n".join(r["sentence"] for r in rows) + "\n", capture_output=True, text=True)
        stepped = run.stdout.split("\n")
    os.makedirs(outdir, exist_ok=True)
    stats = {p: collections.Counter() for p in ("train", "dev", "test")}
    files = {p: open(os.path.join(outdir, "cv-%s.lst" % p), "w", encoding="utf-8") for p in stats}
    with open(os.path.join(outdir, "cv-speakers.tsv"), "w", encoding="utf-8") as spk:
        for idx, (r, t) in enumerate(zip(rows, trad)):
            p = split[r["client_id"]]
            st = stats[p]
            st["sentences"] += 1
            simp = re.sub(r"\s+", "", r["sentence"])
            if not re.fullmatch(r"[\u3400-\u9fff" + re.escape("".join(PUNCT)) + "]+", simp):
                st["latin letters or digits"] += 1
                continue
            if stepped is None:
                syl = transcribe(simp, re.sub(r"\s+", "", t), cedict, counts, units, wpa, st)
            else:
                syl = stepped[idx].split() if idx < len(stepped) else []
                if not syl:
                    st["not read by the reading step"] += 1
                    syl = None
                elif any(u not in units for u in syl):
                    st["syllable not in the dictionary"] += 1
                    syl = None
                else:
                    st["syllables"] += len(syl)
                    chars = [c for c in re.sub(r"\s+", "", t) if c not in PUNCT]
                    if len(chars) == len(syl):
                        st["mainland reading not in the lexicon"] += sum(
                            1 for c, u in zip(chars, syl) if u not in wpa.get(c, ()) and u[:-1] + "3" not in wpa.get(c, ()))
            if syl is None:
                continue
            st["kept"] += 1
            wav = "%s/cv/%s.wav" % (wavdir, r["path"][:-5])
            files[p].write("%s\t%s\t%s\n" % (os.path.join(cvdir, "clips", r["path"]), wav, " ".join(syl)))
            spk.write("%s\t%s\t%s\n" % (wav, r["client_id"][:12], p))
    for f in files.values():
        f.close()
    with open(os.path.join(outdir, "counts.tsv"), "a") as f:
        for p in ("train", "dev", "test"):
            f.write("cv-%s\t%d\t%d\n" % (p, stats[p]["kept"], stats[p]["sentences"] - stats[p]["kept"]))
    with open(os.path.join(outdir, "cv-coverage.tsv"), "w") as f:
        for p in ("train", "dev", "test"):
            for k, v in sorted(stats[p].items()):
                f.write("%s\t%s\t%d\n" % (p, k, v))
    for p in ("train", "dev", "test"):
        st = stats[p]
        print("cv-%-9s %5d of %5d sentences kept (%.1f%%), %d speakers; %s" % (
            p, st["kept"], st["sentences"], 100.0 * st["kept"] / max(1, st["sentences"]),
            sum(1 for v in split.values() if v == p),
            ", ".join("%s %d" % (k, v) for k, v in sorted(st.items()) if k not in ("kept", "sentences"))))


if __name__ == "__main__":
    main()
