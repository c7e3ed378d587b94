// The measuring pieces of quorvane-eval: ROC AUC, the choice of a wrong
// expected syllable for a correctly read one, the fit of the rank-ratio bell
// mapping, and the test list format. Pure functions, no engine calls.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qvtool {

// Area under the ROC curve for telling `positives` (should score high) from
// `negatives` (should score low): the probability that a random positive
// scores above a random negative, ties counting one half (Mann-Whitney U
// divided by the pair count). Returns -1 when either side is empty.
double rocAuc(const std::vector<double>& positives, const std::vector<double>& negatives);

// The q-quantile (0 <= q <= 1) by linear interpolation between order
// statistics; 0 for an empty list.
double quantile(std::vector<double> values, double q);

// ---------------------------------------------------------------------------
// Syllable alterations
// ---------------------------------------------------------------------------

enum class AlterKind { Tone = 0, Initial = 1, Final = 2 };
const char* alterKindName(AlterKind k);  // "tone", "initial", "final"

// The toned syllables of a pronunciation dictionary with their models
// ("ni3" -> n+i i3; "ai4" -> ai4), and the acceptable alternatives of models.
// A syllable is one or two models: an optional initial "x+final" and the
// toned final.
class SyllableInventory {
public:
    // `dictLines`: "unit TAB model model..." (comment lines already dropped);
    // units that are not toned syllables (filler, sil, sp...) are ignored.
    // `altLines`: "model TAB alternative TAB ...", the scorer's alternatives.
    SyllableInventory(const std::vector<std::string>& dictLines, const std::vector<std::string>& altLines);

    bool has(const std::string& syllable) const { return m_models.count(syllable) != 0; }
    const std::vector<std::string>& models(const std::string& syllable) const;
    size_t size() const { return m_models.size(); }

    // Every syllable that differs from `syllable` in exactly the part `kind`
    // names and that the scorer would not accept in its place, sorted.
    // Tone: same initial and toneless final. Initial: same toned final, another
    // initial or none. Final: same initial (or none) and tone, another final.
    std::vector<std::string> alternatives(const std::string& syllable, AlterKind kind) const;

    // One of `alternatives(syllable, kind)` picked by `pick` (any number; the
    // same number gives the same choice); empty when there is none.
    std::string alter(const std::string& syllable, AlterKind kind, uint64_t pick) const;

    // True when `model` (expected) counts as `spoken` for the scorer: the same
    // model or one of the expected model's acceptable alternatives.
    bool accepts(const std::string& model, const std::string& spoken) const;

private:
    struct Parts {
        std::string initial;  // "n" or "" (no initial)
        std::string final;    // toneless final, "i"
        char tone = 0;        // '1'..'5'
    };
    Parts partsOf(const std::string& syllable) const;

    std::map<std::string, std::vector<std::string>> m_models;
    std::map<std::string, Parts> m_parts;
    std::map<std::string, std::set<std::string>> m_alt;
};

// A mixing number for picks: the same inputs give the same number.
uint64_t mixPick(uint64_t a, uint64_t b);

// ---------------------------------------------------------------------------
// Bell fit
// ---------------------------------------------------------------------------

// The engine's rank-ratio mapping 100 / (1 + (((x - c) / a)^2)^b), 100 at x = c.
double bellValue(double x, double a, double b, double c);

struct BellFit {
    double a = 0.05, b = 0.5, c = 0;
    size_t correctCount = 0;  // samples the fit saw
    size_t wrongCount = 0;
    double meanCorrect = 0, stdCorrect = 0;  // rank ratios of correct phones
};

struct BellFitOptions {
    double correctQuantile = 0.9;  // this quantile of correct phones ...
    double correctScore = 80;      // ... maps to this score
    double wrongScore = 20;        // the median of wrong phones maps to this
    double minRatio = 0.01;        // floor of the correct quantile
    double minB = 0.5, maxB = 4;   // steepness limits
    double defaultB = 1;           // when the wrong phones do not lie above
};

// Fits a, b (c = 0) so that the `correctQuantile` of the correct phones' rank
// ratios maps to `correctScore` and the median of the wrong phones' maps to
// `wrongScore` (b clamped to its limits; a then still meets the first goal).
// With no usable wrong samples b = `defaultB`. Fills the sample statistics.
BellFit fitBell(const std::vector<double>& correct, const std::vector<double>& wrong,
                const BellFitOptions& opt = BellFitOptions());

// ---------------------------------------------------------------------------
// Test lists
// ---------------------------------------------------------------------------

// One line "<wav> TAB <syllables separated by blanks> [TAB <boundaries>]";
// boundaries are seconds, the start and end of every syllable in order
// (2 per syllable).
struct TestItem {
    std::string wav;
    std::vector<std::string> syllables;
    std::vector<double> bounds;
};

// Parses one line; returns false with `error` set for a malformed one.
bool parseTestLine(const std::string& line, TestItem& item, std::string& error);

}  // namespace qvtool
