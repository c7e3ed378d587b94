#include "tools/common/evalCore.h"
#include "tools/common/toolText.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace qvtool {

namespace {


std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool isTonedSyllable(const std::string& s) {
    return s.size() >= 2 && s.back() >= '1' && s.back() <= '5';
}

}  // namespace

double rocAuc(const std::vector<double>& positives, const std::vector<double>& negatives) {
    if (positives.empty() || negatives.empty()) return -1;
    // Mid-ranks over the pooled values; the positives' rank sum gives U.
    std::vector<std::pair<double, bool>> all;
    all.reserve(positives.size() + negatives.size());
    for (double v : positives) all.emplace_back(v, true);
    for (double v : negatives) all.emplace_back(v, false);
    std::sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    double rankSum = 0;
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        while (j < all.size() && all[j].first == all[i].first) ++j;
        const double mid = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2;  // 1-based
        for (size_t k = i; k < j; ++k)
            if (all[k].second) rankSum += mid;
        i = j;
    }
    const double np = static_cast<double>(positives.size());
    const double nn = static_cast<double>(negatives.size());
    const double u = rankSum - np * (np + 1) / 2;
    return u / (np * nn);
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    q = std::min(1.0, std::max(0.0, q));
    const double pos = q * static_cast<double>(values.size() - 1);
    const size_t lo = static_cast<size_t>(std::floor(pos));
    const size_t hi = std::min(lo + 1, values.size() - 1);
    const double f = pos - static_cast<double>(lo);
    return values[lo] + f * (values[hi] - values[lo]);
}

const char* alterKindName(AlterKind k) {
    switch (k) {
        case AlterKind::Tone: return "tone";
        case AlterKind::Initial: return "initial";
        case AlterKind::Final: return "final";
    }
    return "?";
}

SyllableInventory::SyllableInventory(const std::vector<std::string>& dictLines,
                                     const std::vector<std::string>& altLines) {
    for (const std::string& line : dictLines) {
        const std::vector<std::string> f = splitAt(line, '\t');
        if (f.size() < 2 || !isTonedSyllable(f[0])) continue;
        const std::vector<std::string> models = words(f[1]);
        if (models.empty() || models.size() > 2) continue;
        const std::string& toned = models.back();
        if (!isTonedSyllable(toned) || toned.find('+') != std::string::npos) continue;
        Parts p;
        if (models.size() == 2) {
            const size_t plus = models[0].find('+');
            if (plus == std::string::npos || plus == 0) continue;
            p.initial = models[0].substr(0, plus);
        }
        p.final = toned.substr(0, toned.size() - 1);
        p.tone = toned.back();
        m_models[f[0]] = models;
        m_parts[f[0]] = p;
    }
    for (const std::string& line : altLines) {
        const std::vector<std::string> f = splitAt(line, '\t');
        for (size_t i = 1; i < f.size(); ++i)
            if (!f[i].empty()) m_alt[f[0]].insert(f[i]);
    }
}

const std::vector<std::string>& SyllableInventory::models(const std::string& syllable) const {
    static const std::vector<std::string> none;
    auto it = m_models.find(syllable);
    return it == m_models.end() ? none : it->second;
}

SyllableInventory::Parts SyllableInventory::partsOf(const std::string& syllable) const {
    auto it = m_parts.find(syllable);
    return it == m_parts.end() ? Parts() : it->second;
}

bool SyllableInventory::accepts(const std::string& model, const std::string& spoken) const {
    if (model == spoken) return true;
    auto it = m_alt.find(model);
    return it != m_alt.end() && it->second.count(spoken) != 0;
}

std::vector<std::string> SyllableInventory::alternatives(const std::string& syllable, AlterKind kind) const {
    std::vector<std::string> out;
    if (!has(syllable)) return out;
    const Parts s = partsOf(syllable);
    const std::vector<std::string>& spoken = models(syllable);
    for (const auto& kv : m_parts) {
        const Parts& c = kv.second;
        bool fits = false;
        switch (kind) {
            case AlterKind::Tone: fits = c.initial == s.initial && c.final == s.final && c.tone != s.tone; break;
            case AlterKind::Initial: fits = c.final == s.final && c.tone == s.tone && c.initial != s.initial; break;
            case AlterKind::Final: fits = c.initial == s.initial && c.tone == s.tone && c.final != s.final; break;
        }
        if (!fits) continue;
        // A syllable the scorer accepts in place of the spoken one (zh for z,
        // eng for en...) is no mistake.
        const std::vector<std::string>& expected = models(kv.first);
        bool accepted = expected.size() == spoken.size();
        for (size_t i = 0; accepted && i < expected.size(); ++i) accepted = accepts(expected[i], spoken[i]);
        if (!accepted) out.push_back(kv.first);
    }
    return out;  // map order: sorted
}

std::string SyllableInventory::alter(const std::string& syllable, AlterKind kind, uint64_t pick) const {
    const std::vector<std::string> c = alternatives(syllable, kind);
    return c.empty() ? std::string() : c[pick % c.size()];
}

uint64_t mixPick(uint64_t a, uint64_t b) {
    // splitmix64 of the pair
    uint64_t z = a * 0x9E3779B97F4A7C15ULL + b + 0x632BE59BD9B4E019ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double bellValue(double x, double a, double b, double c) {
    const double t = (x - c) / a;
    if (t == 0) return 100;
    return 100 / (1 + std::pow(t * t, b));
}

BellFit fitBell(const std::vector<double>& correct, const std::vector<double>& wrong, const BellFitOptions& opt) {
    BellFit fit;
    fit.correctCount = correct.size();
    fit.wrongCount = wrong.size();
    if (!correct.empty()) {
        double sum = 0, sq = 0;
        for (double v : correct) sum += v;
        fit.meanCorrect = sum / static_cast<double>(correct.size());
        for (double v : correct) sq += (v - fit.meanCorrect) * (v - fit.meanCorrect);
        fit.stdCorrect = std::sqrt(sq / static_cast<double>(correct.size()));
    }
    // Score s at x means (x/a)^(2b) = 100/s - 1 =: r(s).
    const double rCorrect = 100 / opt.correctScore - 1;
    const double rWrong = 100 / opt.wrongScore - 1;
    const double q = std::max(opt.minRatio, quantile(correct, opt.correctQuantile));
    double b = opt.defaultB;
    if (!wrong.empty()) {
        const double m = quantile(wrong, 0.5);
        // Both goals: (m/q)^(2b) = rWrong / rCorrect.
        if (m > q * 1.05) b = std::log(rWrong / rCorrect) / (2 * std::log(m / q));
    }
    b = std::min(opt.maxB, std::max(opt.minB, b));
    fit.b = b;
    fit.a = q / std::pow(rCorrect, 1 / (2 * b));
    fit.c = 0;
    return fit;
}

bool parseTestLine(const std::string& rawLine, TestItem& item, std::string& error) {
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const std::vector<std::string> f = splitAt(line, '\t');
    item = TestItem();
    if (f.size() < 2 || f.size() > 3) {
        error = "expected 2 or 3 tab-separated fields";
        return false;
    }
    item.wav = f[0];
    item.syllables = words(f[1]);
    if (item.wav.empty() || item.syllables.empty()) {
        error = "empty file name or syllable list";
        return false;
    }
    if (f.size() == 3) {
        for (const std::string& w : words(f[2])) {
            char* end = nullptr;
            const double v = std::strtod(w.c_str(), &end);
            if (end == w.c_str() || *end != '\0' || !std::isfinite(v)) {
                error = "bad boundary \"" + w + "\"";
                return false;
            }
            item.bounds.push_back(v);
        }
        if (!item.bounds.empty() && item.bounds.size() != 2 * item.syllables.size()) {
            error = "expected 2 boundaries per syllable, got " + std::to_string(item.bounds.size()) + " for " +
                    std::to_string(item.syllables.size()) + " syllables";
            return false;
        }
    }
    return true;
}

}  // namespace qvtool
