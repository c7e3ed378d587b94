// The tone changes a speaker must make, applied to the lexicon readings of
// one phrase (a stretch of text between punctuation marks). The rules and
// their grouping are set out in docs/readings.md.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qv {

// One syllable of a phrase.
struct phraseSyllable {
    std::string ch;        // the character (Big5)
    std::string reading;   // its lexicon reading, "yi1"; replaced by the spoken one
    int word = 0;          // index of its word within the phrase
    int wordLength = 1;    // syllables of that word
    // The tone the 一 and 不 rules look at: the reading's tone, or for a
    // neutral tone the tone of the character read on its own (個 ge5 -> 4).
    int baseTone = 0;
};

// Tone digit of a syllable ("hao3" -> 3; 0 when it has none).
int syllableTone(const std::string& syl);

// Rewrites the readings of one phrase in place. `exists` tells whether a
// syllable is in the inventory; a change whose result is not stays undone.
void applyToneSandhi(std::vector<phraseSyllable>& phrase, const std::function<bool(const std::string&)>& exists);

}  // namespace qv
