#include "engine/lexicon/dict.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/lexicon/text.h"
#include "engine/models/macro.h"
#include "engine/utility.h"

namespace qv {

static const char* kUnit = "dict";

namespace {

bool readWholeFile(const std::string& path, std::string& bytes) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return false;
    bytes.clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) bytes.append(buf, n);
    fclose(fp);
    return true;
}

// Split at line feeds; a carriage return stays part of its line. A last line
// without a line feed counts, an empty remainder does not.
void rawLines(const std::string& bytes, std::vector<std::string>& lines) {
    lines.clear();
    std::string line;
    for (char c : bytes) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Decimal conversion of the leading digits (after optional blanks and sign);
// no digits give 0. Out-of-range values saturate so that the caller's range
// check rejects them.
long long leadingDecimal(const std::string& s) { return strtoll(s.c_str(), nullptr, 10); }

// The C library's 15-bit generator as the shuffle of wpaSort draws from it;
// a local copy keeps the order the same on every platform and leaves the
// process-wide rand() state alone.
class Rand15 {
public:
    int draw() {
        m_state = m_state * 214013u + 2531011u;
        return static_cast<int>((m_state >> 16) & 0x7fff);
    }

private:
    uint32_t m_state = 1;
};

}  // namespace

void dictClass::pronDictRead(const std::string& path, const macroClass& macro) {
    std::string bytes;
    if (macro.modelNum >= 2 && !readWholeFile(path, bytes))
        fatalErrorF("Unable to open %s (line %d in %s)", path.c_str(), __LINE__, kUnit);
    pronDictReadBytes(bytes, path, macro);
}

void dictClass::pronDictReadBytes(const std::string& bytes, const std::string& path, const macroClass& macro) {
    if (macro.modelNum < 2)
        fatalErrorF("Error in dictClass::pronDictRead when reading %s: Macro is too small (line %d in of %s)",
                    path.c_str(), __LINE__, kUnit);
    std::vector<std::string> lines;
    rawLines(bytes, lines);

    for (size_t ln = 0; ln < lines.size(); ++ln) {
        const std::string& line = lines[ln];
        if (!line.empty() && line[0] == '%') continue;
        // Name: the first white-space-delimited token; model list: the rest
        // after any white space, without trailing blanks.
        size_t b = 0;
        while (b < line.size() && isBlank(line[b])) ++b;
        size_t e = b;
        while (e < line.size() && !isBlank(line[e])) ++e;
        if (b == e)
            fatalErrorF("Error in dictClass::pronDictRead: empty line %d in %s! (line %d in %s)",
                        static_cast<int>(ln + 1), path.c_str(), __LINE__, kUnit);
        pronEntry entry;
        entry.name = line.substr(b, e - b);
        size_t m = e;
        while (m < line.size() && isBlank(line[m])) ++m;
        size_t end = line.size();
        while (end > m && (line[end - 1] == ' ' || line[end - 1] == '\t' || line[end - 1] == '\r' ||
                           line[end - 1] == '\n'))
            --end;
        if (end == m)
            fatalErrorF("Error in dictClass::pronDictRead: \"%s\" has no model list at line %d of %s! (line %d in %s)",
                        entry.name.c_str(), static_cast<int>(ln + 1), path.c_str(), __LINE__, kUnit);
        std::vector<std::string> models;
        splitString(line.substr(m, end - m), ' ', models);
        entry.modelIndex.reserve(models.size());
        for (const auto& name : models) entry.modelIndex.push_back(macro.findModelIndex(name));
        m_pronDict.push_back(std::move(entry));
    }
}

void dictClass::pinyinTableRead(const std::string& path) { readTabTable(path, m_pinyinTable); }

void dictClass::pinyinTableReadBytes(const std::string& bytes) {
    std::vector<std::string> lines;
    splitLines(bytes, lines);
    splitTabTable(lines, m_pinyinTable);
}

void dictClass::wpaRead(const std::string& path, const std::string& language, std::vector<wpaEntry>& target) {
    target.clear();
    if (path.empty()) return;
    std::string bytes;
    if (!readWholeFile(path, bytes)) fatalErrorF("Unable to open %s (line %d in %s)", path.c_str(), __LINE__, kUnit);
    wpaReadBytes(bytes, path, language, target);
}

void dictClass::wpaReadBytes(const std::string& bytes, const std::string& path, const std::string& language,
                             std::vector<wpaEntry>& target) {
    target.clear();
    std::vector<std::string> lines;
    rawLines(bytes, lines);

    size_t fieldNum;
    if (language == "english")
        fieldNum = 2;
    else if (language == "chinese")
        fieldNum = 5;
    else
        return;

    const int rowNum = static_cast<int>(m_pinyinTable.size());
    for (size_t ln = 0; ln < lines.size(); ++ln) {
        const std::string& line = lines[ln];
        if (!line.empty() && line[0] == '%') continue;
        const int lineNo = static_cast<int>(ln + 1);
        std::vector<std::string> fields;
        splitString(line, '\t', fields);
        if (fields.size() != fieldNum) {
            consolePrintf("line = %s\ntoken1.size() = %d\n", line.c_str(), static_cast<int>(fields.size()));
            fatalErrorF("Wrong format of %s (line %d in %s)", path.c_str(), __LINE__, kUnit);
        }
        wpaEntry entry;
        entry.word = fields[0];
        if (fieldNum == 2) {
            splitString(fields[1], '#', entry.paList);
        } else {
            std::vector<std::string> rows;
            splitString(fields[1], ',', rows);
            for (const auto& r : rows) {
                long long row = leadingDecimal(r);
                if (row < 1 || row > rowNum)
                    fatalErrorF("Error: Pinyin table row %lld out of the range of [1, %d] at line %d of %s! (line %d in %s)",
                                row, rowNum, lineNo, path.c_str(), __LINE__, kUnit);
                const auto& cols = m_pinyinTable[static_cast<size_t>(row - 1)];
                if (cols.size() < 4)
                    fatalErrorF("Error: Pinyin table row %lld has %d columns (4 needed), used at line %d of %s! (line %d in %s)",
                                row, static_cast<int>(cols.size()), lineNo, path.c_str(), __LINE__, kUnit);
                entry.paList.push_back(cols[3]);
            }
            splitString(fields[3], ',', entry.toneList);
            if (entry.toneList.size() < entry.paList.size())
                fatalErrorF("Error: %d tones for %d pronunciations at line %d of %s! (line %d in %s)",
                            static_cast<int>(entry.toneList.size()), static_cast<int>(entry.paList.size()), lineNo,
                            path.c_str(), __LINE__, kUnit);
        }
        target.push_back(std::move(entry));
    }
}

void dictClass::wpaMerge() {
    for (auto& entry : m_wpaAddenda) {
        if (wpaSearch(entry.word, m_wpa) >= 0) {
            consolePrintf("%s is not added to the pronunciation dictionary since it's already there! (line %d in %s)\n",
                          entry.word.c_str(), __LINE__, kUnit);
        } else {
            m_wpa.push_back(std::move(entry));
        }
    }
    m_wpaAddenda.clear();
}

void dictClass::wpaSort() {
    // Shuffle first so that the order of equal words does not depend on the
    // input order, then an unstable sort by word.
    Rand15 rng;
    const size_t n = m_wpa.size();
    for (size_t i = 1; i < n; ++i) {
        uint64_t r = static_cast<uint64_t>(rng.draw());
        if (i >= 32768) r = (r << 15) | static_cast<uint64_t>(rng.draw());
        if (i >= (1u << 30)) r = (r << 15) | static_cast<uint64_t>(rng.draw());
        size_t j = static_cast<size_t>(r % (i + 1));
        std::swap(m_wpa[i], m_wpa[j]);
    }
    std::sort(m_wpa.begin(), m_wpa.end(), [](const wpaEntry& a, const wpaEntry& b) { return a.word < b.word; });
}

int32_t dictClass::wpaSearch(const std::string& word, const std::vector<wpaEntry>& wpa) {
    int64_t low = 0, high = static_cast<int64_t>(wpa.size()) - 1;
    while (low <= high) {
        int64_t mid = (low + high) / 2;
        int c = word.compare(wpa[static_cast<size_t>(mid)].word);
        if (c == 0) return static_cast<int32_t>(mid);
        if (c < 0)
            high = mid - 1;
        else
            low = mid + 1;
    }
    return -1;
}

int32_t dictClass::pronDictSearch(const std::string& name, int32_t low, int32_t high) const {
    int64_t lo = std::max<int64_t>(low, 0);
    int64_t hi = std::min<int64_t>(high, static_cast<int64_t>(m_pronDict.size()) - 1);
    while (lo <= hi) {
        int64_t mid = (lo + hi) / 2;
        int c = name.compare(m_pronDict[static_cast<size_t>(mid)].name);
        if (c == 0) return static_cast<int32_t>(mid);
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return -1;
}

void dictClass::createPronDictFromText(const std::vector<std::string>& sentences, const macroClass& macro) {
    m_pronDict.clear();
    std::vector<std::string> pas;
    for (const auto& sentence : sentences) {
        std::vector<std::string> words;
        splitString(sentence.substr(0, sentence.find('\t')), ' ', words);
        for (const auto& w : words) {
            int32_t idx = wpaSearch(w, m_wpa);
            if (idx < 0)
                fatalErrorF("Error: Found no pronunciation entry for \"%s\". Please add the pronunciation to "
                            "wpaAddendaFile. (line %d of file %s)",
                            w.c_str(), __LINE__, "text");
            const auto& list = m_wpa[static_cast<size_t>(idx)].paList;
            pas.insert(pas.end(), list.begin(), list.end());
        }
    }
    pas.push_back("sil");
    pas.push_back("sp");
    std::sort(pas.begin(), pas.end());
    pas.erase(std::unique(pas.begin(), pas.end()), pas.end());

    for (const auto& pa : pas) {
        std::vector<std::string> phones;
        splitString(pa, '_', phones);
        // An entry without models would leave the search nothing to enter.
        if (phones.empty())
            fatalErrorF("Error: Empty pronunciation in the word table! (line %d of file %s)", __LINE__, kUnit);
        pronEntry entry;
        entry.name = pa;
        for (size_t k = 0; k < phones.size(); ++k) {
            const std::string& q = phones[k];
            std::string model;
            if (q == "sil" || q == "sp")
                model = q;
            else if (k + 1 == phones.size())
                model = q + "+sil";
            else
                model = q + "+" + phones[k + 1];
            entry.modelIndex.push_back(macro.findModelIndex(model));
        }
        m_pronDict.push_back(std::move(entry));
    }
}

void dictClass::writePronDict(const std::string& path, const macroClass& macro) const {
    FILE* fp = openOrDie(path, "w");
    for (const auto& entry : m_pronDict) {
        fprintf(fp, "%s\t", entry.name.c_str());
        for (size_t k = 0; k < entry.modelIndex.size(); ++k) {
            int32_t idx = entry.modelIndex[k];
            const bool known = idx >= 0 && idx < macro.modelNum && static_cast<size_t>(idx) < macro.model.size();
            const char* name = known ? macro.model[static_cast<size_t>(idx)].name : "???";
            fprintf(fp, k == 0 ? "%s" : " %s", name);
        }
        fprintf(fp, "\n");
    }
    fclose(fp);
}

void dictClass::writeWpa(const std::string& path, const textClass& text, const std::string& language) const {
    std::vector<std::string> units;
    for (const auto& s : text.m_txtVsNormalized) textClass::splitTextUnits(s, language, units);
    std::sort(units.begin(), units.end());
    units.erase(std::unique(units.begin(), units.end()), units.end());

    std::vector<int32_t> found;
    for (const auto& u : units) {
        int32_t idx = wpaSearch(u, m_wpa);
        if (idx >= 0)
            found.push_back(idx);
        else
            consolePrintf("Warning: Found no PA for \"%s\" in %s! (line %d in %s)\n", u.c_str(), path.c_str(),
                          __LINE__, kUnit);
    }
    std::sort(found.begin(), found.end());

    FILE* fp = openOrDie(path, "w");
    for (int32_t idx : found) {
        const wpaEntry& e = m_wpa[static_cast<size_t>(idx)];
        fprintf(fp, "%s\t%s\n", e.word.c_str(), joinStrings(e.paList, "#").c_str());
    }
    fclose(fp);
}

std::vector<std::string> dictClass::replaceMissingModels() {
    std::vector<std::string> changed;
    for (pronEntry& e : m_pronDict) {
        bool any = false;
        for (int32_t& m : e.modelIndex)
            if (m < 0) {
                m = 0;
                any = true;
            }
        if (any) changed.push_back("Missing model in syllable \"" + e.name + "\" replaced by model 0");
    }
    return changed;
}

}  // namespace qv
