#include "engine/lexicon/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/lexicon/dict.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "text";

// Text before the first tab (all of it when there is none).
std::string beforeTab(const std::string& s) {
    size_t t = s.find('\t');
    return t == std::string::npos ? s : s.substr(0, t);
}

size_t countChar(const std::string& s, char c, size_t len = std::string::npos) {
    if (len > s.size()) len = s.size();
    return static_cast<size_t>(std::count(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len), c));
}

// Sorted, duplicate-free copy of `v` with, for each kept element, the index
// of its first occurrence in `v`.
void uniqueWithIndex(const std::vector<std::string>& v, std::vector<std::string>& out,
                     std::vector<size_t>& firstIdx) {
    std::vector<size_t> order(v.size());
    for (size_t i = 0; i < v.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return v[a] < v[b]; });
    out.clear();
    firstIdx.clear();
    for (size_t i : order) {
        if (!out.empty() && out.back() == v[i]) continue;  // stable: first occurrence already kept
        out.push_back(v[i]);
        firstIdx.push_back(i);
    }
}

// Number of combinations of the lists, saturated just above `limit`.
size_t listingSize(const std::vector<std::vector<std::string>>& lists, size_t limit) {
    size_t n = 1;
    for (const auto& l : lists) {
        n *= l.size();
        if (n > limit) return limit + 1;
    }
    return n;
}

void checkListingSize(const std::vector<std::vector<std::string>>& lists, const std::string& sentence) {
    if (listingSize(lists, MAX_SENTENCE_READINGS) > MAX_SENTENCE_READINGS)
        fatalErrorF("Error: The sentence \"%s\" has more than %d readings; give its syllables explicitly "
                    "in the syllable file (sylFile). (line %d of file %s)",
                    sentence.c_str(), static_cast<int>(MAX_SENTENCE_READINGS), __LINE__, kUnit);
}

void checkTotalReadings(size_t have, size_t more, size_t sentences) {
    if (more > MAX_TOTAL_READINGS || have > MAX_TOTAL_READINGS - more)
        fatalErrorF("Error: The %d sentences have more than %d readings together; give fewer sentences, or "
                    "their syllables explicitly in the syllable file (sylFile). (line %d of file %s)",
                    static_cast<int>(sentences), static_cast<int>(MAX_TOTAL_READINGS), __LINE__, kUnit);
}

const wpaEntry& checkedEntry(const std::vector<wpaEntry>& wpa, int32_t idx) {
    const wpaEntry& e = wpa[static_cast<size_t>(idx)];
    if (e.paList.empty())
        fatalErrorF("Error: The word table entry of \"%s\" lists no pronunciation. (line %d of file %s)",
                    e.word.c_str(), __LINE__, kUnit);
    return e;
}

// A syllable entry "PA\tindex" split into its parts; the index must name a
// sentence, since callers print the matched sentences by it.
void parseSylEntry(const std::string& entry, size_t sentenceNum, std::string& pa, int32_t& index) {
    std::vector<std::string> fields;
    splitString(entry, '\t', fields);
    if (fields.size() < 2)
        fatalErrorF("Error: The syllable entry \"%s\" has no tab and sentence index. (line %d of file %s)",
                    entry.c_str(), __LINE__, kUnit);
    pa = fields[0];
    index = static_cast<int32_t>(std::atoi(fields[1].c_str()));
    if (index < 0 || static_cast<size_t>(index) >= sentenceNum)
        fatalErrorF("Error: Sentence index %d of the syllable entry \"%s\" is out of the range of [0, %d]. "
                    "(line %d of file %s)",
                    index, entry.c_str(), static_cast<int>(sentenceNum) - 1, __LINE__, kUnit);
}

// Lines of a text net: header, node words, links in creation order.
void appendNetLines(const std::vector<std::string>& words, const std::vector<std::pair<int32_t, int32_t>>& links,
                    std::vector<std::string>& out) {
    out.push_back("VERSION=1.0");
    out.push_back(strFormat("N=%d\tL=%d", static_cast<int>(words.size()), static_cast<int>(links.size())));
    for (size_t i = 0; i < words.size(); ++i) out.push_back(strFormat("I=%d\tW=%s", static_cast<int>(i), words[i].c_str()));
    for (size_t j = 0; j < links.size(); ++j)
        out.push_back(strFormat("J=%d\tS=%d\tE=%d", static_cast<int>(j), links[j].first, links[j].second));
}

}  // namespace

// ---- reading ---------------------------------------------------------------

void textClass::txtRead(const std::string& value) {
    const std::string ext = fileExtension(value);
    if (ext == "txt" || ext == "TXT") {
        txtReadBytes(readFileBytes(value), value);
        return;
    }
    splitString(value, '_', m_txtVs);
    if (m_txtVs.empty())
        fatalErrorF("Error: m_txtVs.size()=0 when reading \"%s\". (line %d of %s)", value.c_str(), __LINE__, kUnit);
}

void textClass::txtReadBytes(const std::string& bytes, const std::string& source) {
    splitLines(bytes, m_txtVs);
    if (m_txtVs.empty())
        fatalErrorF("Error: m_txtVs.size()=0 when reading \"%s\". (line %d of %s)", source.c_str(), __LINE__, kUnit);
}

void textClass::tnmRead(const std::string& path) {
    m_spVs.clear();
    if (path.empty()) return;
    tnmReadBytes(readFileBytes(path), path);
}

void textClass::tnmReadBytes(const std::string& bytes, const std::string& path) {
    m_spVs.clear();
    std::vector<std::string> lines, fields;
    splitLines(bytes, lines, '%');
    for (const auto& line : lines) {
        splitString(line, '#', fields);
        if (fields.size() < 3)
            fatalErrorF("Error: Parsing error in \"%s\". (line %d of file %s)", path.c_str(), __LINE__, kUnit);
        // An empty pattern has no byte to strip and nothing to replace; it can
        // only be a mistake in the file.
        if (fields[0].empty())
            fatalErrorF("Error: Empty pattern in the rule \"%s\" of \"%s\". (line %d of file %s)", line.c_str(),
                        path.c_str(), __LINE__, kUnit);
        m_spVs.push_back(tnmRule{fields[0], fields[1], fields[2]});
    }
}

void textClass::sylRead(const std::string& path) {
    readLines(path, m_sylVs);
    checkTotalReadings(m_sylVs.size(), 0, m_txtVs.size());
    tonesFromSyllables();
}

void textClass::tonesFromSyllables() {
    // Tones as text2sylChinese gives them: the tone digit of every syllable,
    // pauses left out. Entries whose syllables carry no tone digit (other
    // languages) leave the tone list empty.
    m_toneVs.clear();
    for (const std::string& entry : m_sylVs) {
        std::vector<std::string> units;
        splitString(beforeTab(entry), '-', units);
        std::string tones;
        for (const std::string& u : units) {
            if (u.empty() || u == "sp" || u == "sil") continue;
            const char t = u.back();
            if (t < '1' || t > '5') {
                m_toneVs.clear();
                return;
            }
            tones += (tones.empty() ? "" : "-") + std::string(1, t);
        }
        m_toneVs.push_back(tones);
    }
}

void textClass::sylReadBytes(const std::string& bytes) { splitLines(bytes, m_sylVs); }

// ---- normalisation and units -------------------------------------------------

void textClass::textNormalize(const std::string& language) {
    m_txtVsNormalized.clear();
    for (const auto& sentence : m_txtVs) {
        std::string s = beforeTab(sentence);
        normalizeString(s, language);
        m_txtVsNormalized.push_back(s);
    }
}

void textClass::normalizeString(std::string& s, const std::string& language) const {
    if (language == "english") s = toLower(s);
    for (const auto& rule : m_spVs) {
        if (rule.kind.empty() || rule.pattern.empty()) continue;
        const char p = rule.pattern[0];
        switch (rule.kind[0]) {
            case '$':
                while (!s.empty() && s.back() == p) s.pop_back();
                break;
            case '^': {
                size_t b = 0;
                while (b < s.size() && s[b] == p) ++b;
                s.erase(0, b);
                break;
            }
            case 'g':
                s = replaceAll(s, rule.pattern, rule.replacement);
                break;
            default:
                break;
        }
    }
}

void textClass::splitTextUnits(const std::string& s, const std::string& language, std::vector<std::string>& units) {
    if (language == "chinese") {
        for (size_t i = 0; i + 1 < s.size(); i += 2) units.push_back(s.substr(i, 2));
    } else if (language == "japanese") {
        for (size_t i = 0; i < s.size(); ++i) units.push_back("X");
    } else if (language == "english") {
        splitString(s, ' ', units, true);
    }
}

// ---- syllable strings ----------------------------------------------------------

void textClass::sentence2paChinese(const std::string& s, const std::vector<wpaEntry>& wpa,
                                   std::vector<std::string>& pas, std::vector<std::string>& tones) const {
    std::vector<std::vector<std::string>> P, T;
    std::vector<std::string> A, B;
    std::vector<size_t> first;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        const std::string c = s.substr(i, 2);
        const int32_t idx = dictClass::wpaSearch(c, wpa);
        if (idx < 0) {
            // The character contributes no unit: repeating the previous
            // character's readings would invent a syllable.
            consolePrintf("Warning: Found no syllable for \"%s\"!\n", c.c_str());
            continue;
        }
        const wpaEntry& e = checkedEntry(wpa, idx);
        // Each pronunciation once, in sorted order, with the tone of its first listing.
        uniqueWithIndex(e.paList, A, first);
        B.clear();
        for (size_t k : first) {
            if (k >= e.toneList.size())
                fatalErrorF("Error: The word table entry of \"%s\" has %d pronunciations but %d tones. "
                            "(line %d of file %s)",
                            c.c_str(), static_cast<int>(e.paList.size()), static_cast<int>(e.toneList.size()),
                            __LINE__, kUnit);
            B.push_back(e.toneList[k]);
        }
        P.push_back(A);
        T.push_back(B);
    }
    if (P.empty())
        fatalErrorF("Error: No syllable can be derived from the sentence \"%s\". (line %d of file %s)", s.c_str(),
                    __LINE__, kUnit);
    checkListingSize(P, s);
    pas = exhaustiveListing(P);
    tones = exhaustiveListing(T);
}

void textClass::text2sylChinese(const std::vector<wpaEntry>& wpa) {
    m_sylVs.clear();
    m_toneVs.clear();
    std::vector<std::string> pas, tones;
    for (size_t i = 0; i < m_txtVsNormalized.size(); ++i) {
        sentence2paChinese(m_txtVsNormalized[i], wpa, pas, tones);
        checkTotalReadings(m_sylVs.size(), pas.size(), m_txtVsNormalized.size());
        for (size_t j = 0; j < pas.size(); ++j) {
            m_sylVs.push_back(pas[j] + "\t" + std::to_string(i));
            m_toneVs.push_back(tones[j]);
        }
    }
}

void textClass::sentence2paEnglish(const std::string& s, const std::vector<wpaEntry>& wpa,
                                   std::vector<std::string>& pas) const {
    std::vector<std::string> words;
    splitString(s, ' ', words);
    std::vector<std::vector<std::string>> lists;
    for (const auto& w : words) {
        const int32_t idx = dictClass::wpaSearch(w, wpa);
        if (idx < 0)
            fatalErrorF("Error: Found no pronunciation entry for \"%s\". Please add the pronunciation to "
                        "wpaAddendaFile. (line %d of file %s)",
                        w.c_str(), __LINE__, kUnit);
        lists.push_back(checkedEntry(wpa, idx).paList);
    }
    if (lists.empty())
        fatalErrorF("Error: No pronunciation can be derived from the sentence \"%s\". (line %d of file %s)", s.c_str(),
                    __LINE__, kUnit);
    checkListingSize(lists, s);
    pas = exhaustiveListing(lists);
}

void textClass::text2sylEnglish(const std::vector<wpaEntry>& wpa) {
    if (wpa.empty()) fatalErrorF("Error: wpa.size()==0 at line %d of file %s!", __LINE__, kUnit);
    m_sylVs.clear();
    std::vector<std::string> pas;
    for (size_t i = 0; i < m_txtVsNormalized.size(); ++i) {
        sentence2paEnglish(m_txtVsNormalized[i], wpa, pas);
        checkTotalReadings(m_sylVs.size(), pas.size(), m_txtVsNormalized.size());
        for (const auto& pa : pas) m_sylVs.push_back(pa + "\t" + std::to_string(i));
    }
}

void textClass::addBetweenSyllables(const std::string& token) {
    consolePrintf("\tAdding %s between syllables...\n", token.c_str());
    for (auto& e : m_sylVs) e = replaceAll(e, "-", token);
}

// ---- matching ----------------------------------------------------------------------

void textClass::searchSylVs(const std::string& path, int mode, std::vector<int32_t>& textIdx,
                            std::vector<int32_t>& entryIdx) const {
    std::string pa;
    int32_t n = 0;
    for (size_t k = 0; k < m_sylVs.size(); ++k) {
        if (mode < 0 || mode > 2) fatalError("Unknown mode in searchSylVs()!");
        parseSylEntry(m_sylVs[k], m_txtVs.size(), pa, n);
        const std::string c = "-" + pa + "-";
        bool match = false;
        switch (mode) {
            case 0: match = (c == path); break;
            case 1: match = c.compare(0, path.size(), path) == 0 && c.size() >= path.size(); break;
            default: match = c.find(path) != std::string::npos; break;
        }
        if (match) {
            textIdx.push_back(n);
            entryIdx.push_back(static_cast<int32_t>(k));
        }
    }
}

size_t textClass::checkedSylNum(long long sylNum, size_t capacity) {
    if (sylNum < 0 || static_cast<unsigned long long>(sylNum) > capacity)
        fatalErrorF("Error: sylNum (%lld) out of the range of [0, %d]! (line %d of file %s)", sylNum,
                    static_cast<int>(capacity), __LINE__, kUnit);
    return static_cast<size_t>(sylNum);
}

std::string textClass::pinyin2text(const std::vector<int32_t>& sylDictIdx, const std::vector<int32_t>& sylTag,
                                   int32_t comparisonMode, const dictClass& dict, const recogParam& prm,
                                   std::vector<int32_t>& textIdx, std::vector<int32_t>& entryIdx) {
    m_keywordBegin = -1;
    m_keywordLen = -1;
    textIdx.clear();
    entryIdx.clear();
    if (sylDictIdx.empty()) fatalError("The best syllable path has zero length!");
    if (sylTag.size() != sylDictIdx.size())
        fatalErrorF("Error: %d syllable tags for %d syllables! (line %d of file %s)", static_cast<int>(sylTag.size()),
                    static_cast<int>(sylDictIdx.size()), __LINE__, kUnit);

    const size_t n = sylDictIdx.size();
    std::string s;
    for (size_t k = 0; k < n; ++k) {
        const int32_t di = sylDictIdx[k];
        if (di < 0 || static_cast<size_t>(di) >= dict.m_pronDict.size())
            fatalErrorF("Error: sylDictIdx (%d) out of the range of [0, %d]! (line %d of file %s)", di,
                        static_cast<int>(dict.m_pronDict.size()) - 1, __LINE__, kUnit);
        const std::string& name = dict.m_pronDict[static_cast<size_t>(di)].name;
        if (k == 0 && name == "sil") continue;
        if (k == n - 1 && name == "sil") continue;
        if (comparisonMode == 3 && sylTag[k] != 1) continue;
        s += name;
        s += "-";
    }

    if (prm.netType == 1 && prm.sylFile[0] == '\0') {  // sausage network: one sentence, nothing to match
        if (!s.empty()) s.pop_back();
        textIdx.push_back(0);
        return s;
    }

    s = "-" + s;
    switch (comparisonMode) {
        case 1:
            if (std::strcmp(prm.function, "assess") == 0 && prm.usePaddedSoftSil == 1) s = replaceAll(s, "-sil-", "-");
            searchSylVs(s, 0, textIdx, entryIdx);
            if (textIdx.empty()) searchSylVs(s, 1, textIdx, entryIdx);
            break;
        case 2:
            searchSylVs(s, 2, textIdx, entryIdx);
            break;
        case 3: {
            std::string pa;
            int32_t idx = 0;
            for (size_t k = 0; k < m_sylVs.size(); ++k) {
                parseSylEntry(m_sylVs[k], m_txtVs.size(), pa, idx);
                const std::string c = "-" + pa + "-";
                const size_t p = s.find(c);
                if (p == std::string::npos) continue;
                textIdx.push_back(idx);
                entryIdx.push_back(static_cast<int32_t>(k));
                if (m_keywordBegin < 0 && m_keywordLen < 0) {
                    m_keywordBegin = static_cast<int32_t>(countChar(s, '-', p + 1));
                    m_keywordLen = static_cast<int32_t>(countChar(c, '-'));
                }
            }
            break;
        }
        default:
            fatalErrorF("Unknown comparisonMode = %d", comparisonMode);
    }

    if (textIdx.empty()) {
        consolePrintf("Error in textClass::pinyin2text(): Cannot find sylPath within m_sylVs (shown next) at line %d "
                      "of file %s!\n",
                      __LINE__, kUnit);
        consolePrintf("\nsylPath=%s\n", s.c_str());
        consolePrintf("recogParam.comparisonMode=%d\n", comparisonMode);
        printList(m_sylVs, "m_sylVs");
        fatalErrorF("Error in textClass::pinyin2text(): Cannot find sylPath within m_sylVs (line %d of file %s)",
                    __LINE__, kUnit);
    }
    std::sort(textIdx.begin(), textIdx.end());
    textIdx.erase(std::unique(textIdx.begin(), textIdx.end()), textIdx.end());
    // A path of silence only leaves "-"; there is no inner text to return.
    return s.size() >= 2 ? s.substr(1, s.size() - 2) : std::string();
}

// ---- pinyin spellings ------------------------------------------------------------

std::string textClass::pinyinConvert(const std::string& pa, int from, int to,
                                     const std::vector<std::vector<std::string>>& table) {
    std::vector<std::string> syls;
    splitString(pa, '-', syls);
    for (auto& syl : syls) syl = pinyinMap(syl, from, to, table);
    return joinStrings(syls, "-");
}

std::string textClass::pinyinMap(const std::string& syl, int from, int to,
                                 const std::vector<std::vector<std::string>>& table) {
    if (from < 0 || to < 0)
        fatalErrorF("Error: Invalid pinyin table columns %d and %d! (line %d of file %s)", from, to, __LINE__, kUnit);
    for (size_t r = 0; r < table.size(); ++r) {
        const auto& row = table[r];
        if (row.size() <= static_cast<size_t>(from) || row[static_cast<size_t>(from)] != syl) continue;
        if (row.size() <= static_cast<size_t>(to))
            fatalErrorF("Error: Row %d of the pinyin table has no column %d! (line %d of file %s)",
                        static_cast<int>(r) + 1, to, __LINE__, kUnit);
        return row[static_cast<size_t>(to)];
    }
    if (syl != "sp" && syl != "sil" && syl != "filler" && syl != "fillerC" && syl != "fillerV")
        consolePrintf("Warning: Cannot find %s in the pinyinTable!\n", syl.c_str());
    return syl;
}

// ---- network generation ------------------------------------------------------------

void textClass::genTreeNet(int fillerLoop, int softSil, int silNodes) {
    if (m_sylVs.empty()) fatalErrorF("Error: m_sylVs.size()=0 at line %d of file %s!", __LINE__, kUnit);
    // The filler loop turns nodes 2 and 3 into hubs; without the silence
    // nodes those would be the first tree nodes and the tree would break.
    if (fillerLoop && !silNodes)
        fatalErrorF("Error: The filler loop needs the silence nodes (useEpd=0) at line %d of file %s!", __LINE__,
                    kUnit);

    std::vector<std::string> words = {"!NULL", "!NULL"};
    std::vector<std::pair<int32_t, int32_t>> links;
    if (silNodes) {
        words.push_back("sil");
        words.push_back("sil");
        links.emplace_back(0, 2);
        links.emplace_back(3, 1);
    }

    std::vector<std::string> pas;
    pas.reserve(m_sylVs.size());
    for (const auto& e : m_sylVs) pas.push_back(beforeTab(e));
    std::sort(pas.begin(), pas.end());

    // An empty syllable would be taken for the empty prefix of an unused
    // depth and hang the path on a node that does not exist.
    std::vector<std::vector<std::string>> sylLists(pas.size());
    size_t maxLen = 0;
    for (size_t i = 0; i < pas.size(); ++i) {
        splitString(pas[i], '-', sylLists[i]);
        const size_t dashes = countChar(pas[i], '-');
        bool bad = sylLists[i].size() != dashes + 1;
        for (const auto& syl : sylLists[i]) bad = bad || syl.empty();
        if (bad)
            fatalErrorF("Error: Empty syllable in the syllable string \"%s\" at line %d of file %s!", pas[i].c_str(),
                        __LINE__, kUnit);
        maxLen = std::max(maxLen, dashes + 1);
    }

    std::vector<std::string> prefix(maxLen);
    std::vector<int32_t> parent(maxLen, -1);
    parent[0] = silNodes ? 2 : 0;
    const int32_t endTarget = silNodes ? 3 : 1;
    for (const auto& syls : sylLists) {
        const size_t n = syls.size();
        bool shared = true;
        for (size_t k = 0; k < n; ++k) {
            if (shared && syls[k] == prefix[k]) continue;
            const int32_t v = static_cast<int32_t>(words.size());
            words.push_back(syls[k]);
            links.emplace_back(parent[k], v);
            prefix[k] = syls[k];
            if (k + 1 < maxLen) parent[k + 1] = v;
            if (k == n - 1) {
                links.emplace_back(v, endTarget);
                for (size_t d = n; d < maxLen; ++d) prefix[d].clear();
            }
            shared = false;
        }
    }

    if (fillerLoop) {
        words[2] = "!NULL";
        words[3] = "!NULL";
        for (const char* filler : {"fillerC", "fillerV", "sil"}) {
            for (int32_t hub = 2; hub <= 3; ++hub) {
                const int32_t v = static_cast<int32_t>(words.size());
                words.push_back(filler);
                links.emplace_back(hub, v);
                links.emplace_back(v, hub);
            }
        }
    }

    if (softSil == 1 && m_sylVs.size() == 1) {
        const size_t n = sylLists[0].size();
        const int32_t b = silNodes ? 4 : 2;  // the single path is numbered consecutively from here
        for (size_t g = 0; n > 1 && g + 1 < n; ++g) {
            const int32_t v = static_cast<int32_t>(words.size());
            words.push_back("sil");
            links.emplace_back(b + static_cast<int32_t>(g), v);
            links.emplace_back(v, b + static_cast<int32_t>(g) + 1);
        }
    }

    netVs.clear();
    appendNetLines(words, links, netVs);
}

void textClass::genSausageNet(const std::vector<wpaEntry>& wpa, const recogParam& prm) {
    if (m_txtVs.size() != 1)
        fatalErrorF("Error: m_txtVs.size()=!1, which cannot be transformed into sausage net at line %d of file %s!",
                    __LINE__, kUnit);
    if (m_txtVsNormalized.empty())
        fatalErrorF("Error: The text is not normalized, which cannot be transformed into sausage net at line %d of "
                    "file %s!",
                    __LINE__, kUnit);
    const std::string sentence = m_txtVsNormalized[0];
    const std::string language = prm.language;
    m_txtVsNormalized.push_back(sentence);

    std::vector<std::string> words = {"!NULL", "!NULL", "sil", "sil"};
    std::vector<std::pair<int32_t, int32_t>> links = {{0, 2}, {3, 1}};
    std::vector<std::string> units;
    splitTextUnits(sentence, language, units);
    // Without a unit nothing would lead to node 3 and the end would be unreachable.
    if (units.empty())
        fatalErrorF("Error: The sentence \"%s\" has no unit, which cannot be transformed into sausage net at line %d "
                    "of file %s!",
                    sentence.c_str(), __LINE__, kUnit);

    std::vector<int32_t> P = {2}, Q = {0}, C, N;
    const std::vector<std::string> fallback = {"a"};
    for (size_t i = 0; i < units.size(); ++i) {
        const std::string& u = units[i];
        const int32_t idx = dictClass::wpaSearch(u, wpa);
        const std::vector<std::string>* prons = &fallback;
        if (idx < 0) {
            consolePrintf("Warning: Found no pinyin for \"%s\" in \"%s\". Use \"a\" instead.\n", u.c_str(),
                          sentence.c_str());
            // Only Chinese has a stand-in syllable; elsewhere the unit has no pronunciation.
            if (language != "chinese")
                fatalErrorF("Error: Found no pronunciation entry for %s. Please add the pronunciation to "
                            "wpaAddendaFile. (line %d of file %s)",
                            u.c_str(), __LINE__, kUnit);
        } else {
            prons = &checkedEntry(wpa, idx).paList;
        }

        C.clear();
        for (const auto& pron : *prons) {
            C.push_back(static_cast<int32_t>(words.size()));
            words.push_back(pron);
        }
        for (int32_t c : C)
            for (int32_t p : P) links.emplace_back(p, c);
        for (int32_t c : C)
            for (int32_t q : Q) links.emplace_back(q, c);

        N.clear();
        if (i + 1 == units.size()) {
            N.push_back(3);
        } else {
            N.push_back(static_cast<int32_t>(words.size()));
            words.push_back("sil");
        }
        for (int32_t n : N)
            for (int32_t c : C) links.emplace_back(c, n);
        Q = C;
        P = N;
    }
    appendNetLines(words, links, netVs);
}

// ---- diagnostic files --------------------------------------------------------------

std::string textClass::writeNt(const std::string& outputDir) const {
    const std::string path = outputDir + "/output.nt";
    writeLines(path, m_txtVsNormalized);
    return path;
}

std::string textClass::writeSyl(const std::string& outputDir) const {
    const std::string path = outputDir + "/output.syl";
    writeLines(path, m_sylVs);
    return path;
}

}  // namespace qv
