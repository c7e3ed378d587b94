// The reading step: from a sentence to the syllables a speaker reads it
// with. The text is converted to Traditional characters when it needs it
// (Simplified input), cut into phrases at punctuation, segmented into words
// by longest match over the word lexicon of one standard, read word by word
// (single characters take their most common reading) and given the tone
// changes of connected speech (toneSandhi.h). The rules are documented in
// docs/readings.md.
//
// Text is UTF-8 at this boundary and Big5 inside, like the data set.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "readings/wordLexicon.h"

namespace qv {

enum class readingStandard {
    taiwan,    // Taiwan's readings (垃圾 le4 se4, 星期 xing1 qi2): the data set's own
    mainland,  // mainland Putonghua (垃圾 la1 ji1, 星期 xing1 qi1), from CC-CEDICT
};
const char* readingStandardName(readingStandard s);  // "taiwan", "mainland"
// "taiwan"/"tw" or "mainland"/"cn"; false for anything else.
bool parseReadingStandard(const std::string& name, readingStandard& out);

// The word file of a standard: chinese.words (Taiwan) or
// chinese.mainland.words, in the folder of the word table.
std::string wordFileFor(const std::string& wpaFile, readingStandard s);

// A text the step cannot read (characters without a reading, letters,
// nothing to read). The message is UTF-8 and names the characters.
class readingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct sentenceReading {
    std::string big5;                    // the text handed to the engine (Traditional)
    bool converted = false;              // Simplified characters were converted
    std::vector<std::string> chars;      // the characters that carry a syllable (Big5)
    std::vector<std::string> lexicon;    // their readings as the lexicon lists them
    std::vector<std::string> syllables;  // as spoken, after the tone changes
    std::vector<int> wordOf;             // index of each character's word in the sentence
};

class readingStep {
public:
    // Reads the word table, the pinyin table and the standard's word file.
    readingStep(const std::string& wpaFile, const std::string& pyTableFile, readingStandard standard);

    // One step per set of files and standard for the whole process, read
    // again when the word file changes.
    static std::shared_ptr<const readingStep> shared(const std::string& wpaFile, const std::string& pyTableFile,
                                                     readingStandard standard);
    // The same for the word and pinyin tables a recognition parameter file
    // names (paths as written there).
    static std::shared_ptr<const readingStep> forParams(const std::string& prmFile, readingStandard standard);

    // UTF-8 text; throws readingError.
    sentenceReading read(const std::string& utf8) const;
    // Big5 text as the data set writes it (no conversion); throws readingError.
    sentenceReading readBig5(const std::string& big5) const;

    const wordLexicon& lexicon() const { return m_lex; }
    readingStandard standard() const { return m_standard; }

private:
    // Characters of a Big5 text that have no reading (UTF-8), unique, in order.
    std::vector<std::string> unread(const std::string& big5) const;

    wordLexicon m_lex;
    readingStandard m_standard;
};

// One syllable-file line: the syllables joined by "-" (by "-sp-" when
// padded, the optional pause between syllables), a tab, the sentence index
// and a line feed.
std::string syllableFileLine(const std::vector<std::string>& syllables, size_t sentenceIndex, bool padded);

}  // namespace qv
