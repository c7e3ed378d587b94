// The lexicon of one run: the pronunciation dictionary (unit name -> HMM model
// indices), the word-to-phonetic-alphabet tables and the pinyin table.
//
// File formats read here (all byte strings, no code-page conversion):
//  - pronunciation dictionary ("pam"): "name<white space>model model ...";
//    lines starting with '%' are comments; the file must already be sorted
//    byte-wise by name because every lookup is a bisection.
//  - pinyin table: tab-separated columns; column 3 is the spelling used by the
//    word table, the dictionary and the networks; row r counts from 1.
//  - word table ("wpa"): tab-separated; english "word\tpa#pa#...", chinese
//    "char\trow,row,...\t-\ttone,tone,...\t-" (row = pinyin table row).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

class macroClass;
class textClass;

// One dictionary entry: a unit (syllable, "sil", "sp", filler, or an English
// word pronunciation with phones joined by "_") and its models in spelling
// order; -1 marks a model the set does not hold (the network builder later
// replaces it by model 0).
struct pronEntry {
    std::string name;
    std::vector<int32_t> modelIndex;
};

// One word-table entry: a written unit (Chinese character or English word),
// its pronunciations and, for Chinese, one tone string per pronunciation.
struct wpaEntry {
    std::string word;
    std::vector<std::string> paList;
    std::vector<std::string> toneList;
};

class dictClass {
public:
    std::vector<pronEntry> m_pronDict;                   // ascending by name
    std::vector<wpaEntry> m_wpa;                         // ascending by word
    std::vector<wpaEntry> m_wpaAddenda;                  // empty after wpaMerge
    std::vector<std::vector<std::string>> m_pinyinTable;  // rows of columns

    // Appends the entries of a pam file in file order; model names are
    // resolved with macro.findModelIndex.
    void pronDictRead(const std::string& path, const macroClass& macro);
    // Replaces m_pinyinTable with the tab table at path.
    void pinyinTableRead(const std::string& path);
    // The same readers over a file's bytes already in memory; `source` names
    // the file in messages.
    void pronDictReadBytes(const std::string& bytes, const std::string& source, const macroClass& macro);
    void pinyinTableReadBytes(const std::string& bytes);
    void wpaReadBytes(const std::string& bytes, const std::string& source, const std::string& language,
                      std::vector<wpaEntry>& target);
    // Replaces `target` (m_wpa or m_wpaAddenda) with the entries of a word
    // table; an empty path leaves it empty. language: "chinese" or "english";
    // any other language reads nothing. Chinese needs m_pinyinTable first.
    void wpaRead(const std::string& path, const std::string& language, std::vector<wpaEntry>& target);
    // Moves addenda entries whose word is not yet in m_wpa to its end.
    void wpaMerge();
    // Sorts m_wpa by word (equal words end in no defined order).
    void wpaSort();
    // Bisection over a list sorted by word; index or -1.
    static int32_t wpaSearch(const std::string& word, const std::vector<wpaEntry>& wpa);
    // Bisection over m_pronDict[low..high] by name; index or -1. The bounds
    // are clamped to the dictionary.
    int32_t pronDictSearch(const std::string& name, int32_t low, int32_t high) const;
    // English: replaces m_pronDict with every pronunciation of the words of
    // the sentences (text before the first tab), plus "sil" and "sp", sorted.
    void createPronDictFromText(const std::vector<std::string>& sentences, const macroClass& macro);
    // Replaces every missing model (index -1) of m_pronDict by model 0, as
    // building a network does for the entries it uses; returns one line per
    // entry changed. A dictionary shared by concurrent runs is prepared so
    // once, since those runs must not change it.
    std::vector<std::string> replaceMissingModels();
    // "output.dic": name, tab, model names ("???" for a missing model).
    void writePronDict(const std::string& path, const macroClass& macro) const;
    // "output.wpa": one line per unit used by the normalised sentences of
    // `text`: word, tab, pronunciations joined by "#".
    void writeWpa(const std::string& path, const textClass& text, const std::string& language) const;
};

}  // namespace qv
