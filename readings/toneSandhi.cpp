#include "readings/toneSandhi.h"

#include <set>

namespace qv {

namespace {

// Big5 forms of the characters the rules name.
const std::string kYi = "\xA4\x40";     // 一
const std::string kBu = "\xA4\xA3";     // 不
const std::string kDi = "\xB2\xC4";     // 第 (ordinals keep yi1)
const std::string kShi = "\xA4\x51";    // 十 (一十 is a number that changes)
const std::string kLiang = "\xA8\xE2";  // 兩 (一兩 "one or two")

// Digits that read a number digit by digit or as a number with 一 inside it
// (十一, 一九八四, 三十一): 一 next to them keeps its first tone.
const std::set<std::string>& numerals() {
    static const std::set<std::string> s = {
        "\xB9\x73",                                                  // 零
        "\xA4\x40", "\xA4\x47", "\xA4\x54", "\xA5\x7C", "\xA4\xAD",  // 一 二 三 四 五
        "\xA4\xBB", "\xA4\x43", "\xA4\x4B", "\xA4\x45", "\xA4\x51",  // 六 七 八 九 十
        "\xA8\xE2"};                                                  // 兩
    return s;
}

std::string withTone(const std::string& syl, int tone) {
    return syl.substr(0, syl.size() - 1) + static_cast<char>('0' + tone);
}

void change(phraseSyllable& s, int tone, const std::function<bool(const std::string&)>& exists) {
    const std::string to = withTone(s.reading, tone);
    if (exists(to)) s.reading = to;
}

}  // namespace

int syllableTone(const std::string& syl) {
    if (syl.empty()) return 0;
    const char c = syl.back();
    return (c >= '1' && c <= '5') ? c - '0' : 0;
}

void applyToneSandhi(std::vector<phraseSyllable>& p, const std::function<bool(const std::string&)>& exists) {
    const size_t n = p.size();
    // 一 and 不 take their tone from the rules below, whatever tone a word
    // lists for them: the phrase table writes some changed tones (一樣 yi2)
    // and some wrong ones (我不 bu2), CC-CEDICT writes none.
    for (phraseSyllable& s : p) {
        if (s.ch == kYi && (s.reading == "yi2" || s.reading == "yi4")) s.reading = "yi1";
        if (s.ch == kBu && s.reading == "bu2") s.reading = "bu4";
    }
    // Citation tones, before any change: every rule looks at these.
    std::vector<int> tone(n);
    for (size_t i = 0; i < n; ++i) tone[i] = syllableTone(p[i].reading);

    // 一 and 不 before the next syllable's tone; at the end of a phrase they
    // keep their own tone.
    for (size_t i = 0; i + 1 < n; ++i) {
        const int next = p[i + 1].baseTone;
        if (p[i].ch == kYi && p[i].reading == "yi1") {
            const bool ordinalOrNumber = (i > 0 && (p[i - 1].ch == kDi || numerals().count(p[i - 1].ch))) ||
                                         (numerals().count(p[i + 1].ch) && p[i + 1].ch != kShi && p[i + 1].ch != kLiang);
            // 看一看: between a repeated verb 一 is unstressed; left as listed.
            const bool betweenRepeats = i > 0 && p[i - 1].ch == p[i + 1].ch;
            if (ordinalOrNumber || betweenRepeats) continue;
            if (next == 4)
                change(p[i], 2, exists);
            else if (next >= 1 && next <= 3)
                change(p[i], 4, exists);
        } else if (p[i].ch == kBu && p[i].reading == "bu4" && next == 4) {
            change(p[i], 2, exists);
        }
    }

    // Third tone before third tone becomes second, left to right on the
    // citation tones: inside a word, and across a word boundary when the word
    // ending there is a single syllable (很好, 我很好; but 老鼠|很小 keeps
    // shu3, the boundary of a longer word being a foot boundary).
    for (size_t i = 0; i + 1 < n; ++i) {
        if (tone[i] != 3 || tone[i + 1] != 3) continue;
        if (p[i].word == p[i + 1].word || p[i].wordLength == 1) change(p[i], 2, exists);
    }
}

}  // namespace qv
