#include "readings/wordLexicon.h"

#include <fstream>

#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "wordLexicon";

// Lines of a data file with their numbers (counted from 1, every line
// counted); one trailing CR removed.
std::vector<std::pair<int, std::string>> numberedLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fatalErrorF("Unable to open %s (line %d of %s)", path.c_str(), __LINE__, kUnit);
    std::vector<std::pair<int, std::string>> out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.emplace_back(n, line);
    }
    return out;
}

bool isDoubleByteWord(const std::string& w) {
    if (w.empty() || w.size() % 2) return false;
    for (size_t i = 0; i < w.size(); i += 2) {
        const auto lead = static_cast<unsigned char>(w[i]);
        const auto trail = static_cast<unsigned char>(w[i + 1]);
        if (lead < 0x81 || lead > 0xFE || trail < 0x40) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> big5Chars(const std::string& big5) {
    std::vector<std::string> out;
    for (size_t i = 0; i < big5.size();) {
        const auto c = static_cast<unsigned char>(big5[i]);
        const size_t n = (c >= 0x81 && c <= 0xFE && i + 1 < big5.size()) ? 2 : 1;
        out.push_back(big5.substr(i, n));
        i += n;
    }
    return out;
}

void wordLexicon::read(const std::string& wpaPath, const std::string& pyTablePath, const std::string& wordPath) {
    m_words.clear();
    m_chars.clear();
    m_fullTone.clear();
    m_syllables.clear();
    m_maxChars = 1;

    std::vector<std::string> table;  // column 3 by row, from row 1
    for (const auto& [n, line] : numberedLines(pyTablePath)) {
        if (line.empty()) continue;
        std::vector<std::string> cols;
        splitString(line, '\t', cols);
        if (cols.size() < 4)
            fatalErrorF("Wrong format of %s: %d columns at its line %d, 4 needed (line %d of %s)", pyTablePath.c_str(),
                        static_cast<int>(cols.size()), n, __LINE__, kUnit);
        table.push_back(cols[3]);
        m_syllables.insert(cols[3]);
    }

    for (const auto& [n, line] : numberedLines(wpaPath)) {
        if (line.empty() || line[0] == '%') continue;
        std::vector<std::string> f;
        splitString(line, '\t', f);
        if (f.size() != 5 || !isDoubleByteWord(f[0]) || f[0].size() != 2)
            fatalErrorF("Wrong format of %s at its line %d: a character and four more tab-separated fields expected "
                        "(line %d of %s)",
                        wpaPath.c_str(), n, __LINE__, kUnit);
        const long long row = atoll(f[1].c_str());  // the first row: the most common reading
        if (row < 1 || row > static_cast<long long>(table.size()))
            fatalErrorF("Wrong format of %s at its line %d: pinyin table row %lld out of the range of [1, %d] "
                        "(line %d of %s)",
                        wpaPath.c_str(), n, row, static_cast<int>(table.size()), __LINE__, kUnit);
        m_chars.insert(f[0]);
        m_words[f[0]] = {table[static_cast<size_t>(row - 1)]};
        std::vector<std::string> rows;
        splitString(f[1], ',', rows);
        int tone = 0;
        for (const std::string& r : rows) {
            const long long k = atoll(r.c_str());
            if (k < 1 || k > static_cast<long long>(table.size())) continue;
            const std::string& syl = table[static_cast<size_t>(k - 1)];
            const char t = syl.empty() ? 0 : syl.back();
            if (t >= '1' && t <= '4') {
                tone = t - '0';
                break;
            }
        }
        m_fullTone[f[0]] = tone ? tone : 5;
    }

    for (const auto& [n, line] : numberedLines(wordPath)) {
        if (line.empty() || line[0] == '%') continue;
        const size_t tab = line.find('\t');
        const std::string word = line.substr(0, tab);
        if (tab == std::string::npos || !isDoubleByteWord(word))
            fatalErrorF("Wrong format of %s at its line %d: a Big5 word, a tab and its syllables expected "
                        "(line %d of %s)",
                        wordPath.c_str(), n, __LINE__, kUnit);
        std::vector<std::string> syls;
        std::vector<std::string> parts;
        splitString(line.substr(tab + 1), ' ', parts);
        for (const std::string& p : parts)
            if (!p.empty()) syls.push_back(p);
        const size_t chars = word.size() / 2;
        if (syls.size() != chars)
            fatalErrorF("Wrong format of %s at its line %d: %d syllable(s) for %d character(s) (line %d of %s)",
                        wordPath.c_str(), n, static_cast<int>(syls.size()), static_cast<int>(chars), __LINE__, kUnit);
        for (size_t i = 0; i < chars; ++i) {
            if (!m_syllables.count(syls[i]))
                fatalErrorF("Wrong format of %s at its line %d: \"%s\" is no syllable of %s (line %d of %s)",
                            wordPath.c_str(), n, syls[i].c_str(), pyTablePath.c_str(), __LINE__, kUnit);
            if (!m_chars.count(word.substr(2 * i, 2)))
                fatalErrorF("Wrong format of %s at its line %d: character %d has no entry in %s (line %d of %s)",
                            wordPath.c_str(), n, static_cast<int>(i + 1), wpaPath.c_str(), __LINE__, kUnit);
        }
        if (chars > m_maxChars) m_maxChars = chars;
        m_words[word] = std::move(syls);
    }
}

const std::vector<std::string>* wordLexicon::find(const std::string& word) const {
    auto it = m_words.find(word);
    return it == m_words.end() ? nullptr : &it->second;
}

}  // namespace qv
