// The word readings of one standard: a Big5 word of one or more characters
// and the syllables a speaker reads it with (Hanyu pinyin with tone digit
// 1-5, as the pronunciation dictionary names them), plus each character's
// most common reading from the word table, which single characters fall back
// to.
//
// Word file: Big5, one word per line, "word TAB syllable syllable ...", one
// syllable per character; "%" starts a comment line. Sorting is not required.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace qv {

class wordLexicon {
public:
    // Reads the word table (wpaFile format: character TAB pinyin-table rows
    // ...; the first row is the most common reading), the pinyin table
    // (syllables in column 3) and then the word file, whose entries override
    // the word table's single-character readings. Malformed lines are fatal,
    // named by file and line.
    void read(const std::string& wpaPath, const std::string& pyTablePath, const std::string& wordPath);

    // The syllables of a word (Big5), or nullptr when the lexicon lacks it.
    // A single character always has one when hasChar() is true.
    const std::vector<std::string>* find(const std::string& word) const;
    bool hasChar(const std::string& ch) const { return m_chars.count(ch) != 0; }
    bool hasSyllable(const std::string& syl) const { return m_syllables.count(syl) != 0; }
    // The tone of a character read on its own: its most common reading's,
    // or when that is neutral the first full tone the word table lists
    // (個 ge5, ge4 -> 4); 0 for an unknown character.
    int fullTone(const std::string& ch) const {
        auto it = m_fullTone.find(ch);
        return it == m_fullTone.end() ? 0 : it->second;
    }
    // Characters of the longest word.
    size_t maxWordChars() const { return m_maxChars; }
    size_t wordCount() const { return m_words.size(); }

private:
    std::unordered_map<std::string, std::vector<std::string>> m_words;
    std::set<std::string> m_chars;
    std::unordered_map<std::string, int> m_fullTone;
    std::set<std::string> m_syllables;
    size_t m_maxChars = 1;
};

// Splits Big5 bytes into characters: a lead byte 0x81-0xFE takes the next
// byte, any other byte is a character of its own. A lead byte at the end
// stays alone.
std::vector<std::string> big5Chars(const std::string& big5);

}  // namespace qv
