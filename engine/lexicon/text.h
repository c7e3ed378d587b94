// The expected text of a run and everything derived from it: the sentences,
// the normalisation rules, the normalised sentences, the syllable strings (PA
// strings) of every reading of every sentence, the generated network text,
// and the matching of a recognised syllable path back to the sentences.
//
// A PA string is a sequence of units joined by "-" (Chinese syllable
// spellings, or English word pronunciations whose phones are joined by "_");
// a syllable entry is a PA string, a tab and the index of its sentence, e.g.
// "x-y-z\t0". All strings are byte strings compared byte-wise; a Chinese
// character is two bytes.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace qv {

struct recogParam;
struct wpaEntry;
class dictClass;

// One text normalisation rule, read from a "pattern#replacement#kind" line.
// The kind is decided by its first byte: '$' strips trailing bytes equal to
// the pattern's first byte, '^' strips such leading bytes, 'g' replaces every
// occurrence of the pattern; anything else does nothing.
struct tnmRule {
    std::string pattern;
    std::string replacement;
    std::string kind;
};

// Upper bound on the readings one sentence may expand to. Characters with
// several pronunciations multiply quickly; past this the search network would
// be unusable anyway, so such sentences must come with explicit syllables.
constexpr size_t MAX_SENTENCE_READINGS = 20000;
// Upper bound on the readings of all sentences together: every reading
// becomes a branch of the search network, about 2 KB each while the network
// is built and searched, so this keeps a recognition below about 100 MB.
constexpr size_t MAX_TOTAL_READINGS = 40000;

class textClass {
public:
    std::vector<std::string> m_txtVs;            // expected sentences as read
    std::vector<tnmRule> m_spVs;                 // normalisation rules, file order
    std::vector<std::string> m_txtVsNormalized;  // parallel to m_txtVs (+1 copy after genSausageNet)
    std::vector<std::string> m_sylVs;            // syllable entries "PA\tsentenceIndex"
    std::vector<std::string> m_toneVs;           // Chinese: tones of each entry, joined by "-"
    std::vector<std::string> netVs;              // text net lines of the generated network
    int32_t m_keywordBegin = -1;                 // set by pinyin2text (keyword spotting)
    int32_t m_keywordLen = -1;

    // ---- reading ----------------------------------------------------------
    // A value ending in ".txt"/".TXT" is a file with one sentence per line;
    // any other value is the text itself, sentences separated by "_".
    void txtRead(const std::string& value);
    // Reads the normalisation mapping file; an empty path means no rules.
    void tnmRead(const std::string& path);
    // Reads the syllable file: every line is a syllable entry.
    void sylRead(const std::string& path);
    // The same readers over a file's bytes already in memory; `source` names
    // the file in messages.
    void txtReadBytes(const std::string& bytes, const std::string& source);
    void tnmReadBytes(const std::string& bytes, const std::string& source);
    void sylReadBytes(const std::string& bytes);
    // The tone list of the syllable entries (m_toneVs from m_sylVs), as
    // sylRead makes it; for entries handed over in memory.
    void tonesFromSyllables();

    // ---- normalisation and units ------------------------------------------
    void textNormalize(const std::string& language);
    void normalizeString(std::string& s, const std::string& language) const;
    // Appends the units of `s`: two-byte characters ("chinese"), one "X" per
    // byte ("japanese"), space-separated words ("english"); nothing otherwise.
    static void splitTextUnits(const std::string& s, const std::string& language,
                               std::vector<std::string>& units);

    // ---- syllable strings -------------------------------------------------
    // `wpa` must be sorted by word (dictClass::m_wpa).
    void text2sylChinese(const std::vector<wpaEntry>& wpa);
    void text2sylEnglish(const std::vector<wpaEntry>& wpa);
    // Replaces every "-" of every entry by `token` (e.g. "-sp-").
    void addBetweenSyllables(const std::string& token);

    // ---- matching ---------------------------------------------------------
    // Compares "-" + PA + "-" of every entry with `path` (which should begin
    // and end with "-"): mode 0 equal, 1 entry begins with path, 2 path occurs
    // in the entry. Appends sentence and entry indices of the matches.
    void searchSylVs(const std::string& path, int mode, std::vector<int32_t>& textIdx,
                     std::vector<int32_t>& entryIdx) const;

    // Turns the best candidate's node records into the recognised PA string
    // and matches it to the sentences by `comparisonMode` (1 exact then
    // prefix, 2 contained, 3 keyword spotting). Clears and fills `textIdx`
    // (ascending, unique) and `entryIdx` (match order); sets the keyword
    // fields. `sylDictIdx[k]` indexes dict.m_pronDict, `sylTag[k]` is the
    // node's path flag; both lists have one element per node record.
    std::string pinyin2text(const std::vector<int32_t>& sylDictIdx, const std::vector<int32_t>& sylTag,
                            int32_t comparisonMode, const dictClass& dict, const recogParam& prm,
                            std::vector<int32_t>& textIdx, std::vector<int32_t>& entryIdx);

    // Convenience for a search candidate record with `sylNum` and the fixed
    // arrays `sylDictIdx`/`sylTag`; the count is checked against the arrays.
    template <class Candidate>
    std::string pinyin2text(const Candidate& best, int32_t comparisonMode, const dictClass& dict,
                            const recogParam& prm, std::vector<int32_t>& textIdx,
                            std::vector<int32_t>& entryIdx) {
        const size_t cap = std::size(best.sylDictIdx) < std::size(best.sylTag) ? std::size(best.sylDictIdx)
                                                                              : std::size(best.sylTag);
        const size_t n = checkedSylNum(static_cast<long long>(best.sylNum), cap);
        std::vector<int32_t> idx(best.sylDictIdx, best.sylDictIdx + n);
        std::vector<int32_t> tag(best.sylTag, best.sylTag + n);
        return pinyin2text(idx, tag, comparisonMode, dict, prm, textIdx, entryIdx);
    }

    // ---- pinyin spellings -------------------------------------------------
    // Columns of the pinyin table (dictClass::m_pinyinTable): 1 CGU, 2 MPA, 3 HanYu.
    static std::string pinyinConvert(const std::string& pa, int from, int to,
                                     const std::vector<std::vector<std::string>>& table);
    static std::string pinyinMap(const std::string& syl, int from, int to,
                                 const std::vector<std::vector<std::string>>& table);

    // ---- network generation -----------------------------------------------
    // Prefix tree over all PA strings of m_sylVs; replaces netVs. The filler
    // loop requires the silence nodes (it turns them into filler hubs).
    void genTreeNet(int fillerLoop, int softSil, int silNodes);
    // One column of pronunciations per unit of the single normalised
    // sentence, optional silences between columns; appends to netVs.
    void genSausageNet(const std::vector<wpaEntry>& wpa, const recogParam& prm);

    // ---- diagnostic files -------------------------------------------------
    // Write "<outputDir>/output.nt" (normalised sentences) and
    // "<outputDir>/output.syl" (syllable entries); return the path written.
    std::string writeNt(const std::string& outputDir) const;
    std::string writeSyl(const std::string& outputDir) const;

private:
    static size_t checkedSylNum(long long sylNum, size_t capacity);
    void sentence2paChinese(const std::string& s, const std::vector<wpaEntry>& wpa,
                            std::vector<std::string>& pas, std::vector<std::string>& tones) const;
    void sentence2paEnglish(const std::string& s, const std::vector<wpaEntry>& wpa,
                            std::vector<std::string>& pas) const;
};

}  // namespace qv
