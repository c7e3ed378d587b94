// The result record as the versioned JSON document of docs/result-schema.md.
#include <cmath>

#include <nlohmann/json.hpp>

#include "quorvane_engine.h"

namespace quorvane {

namespace {

using json = nlohmann::ordered_json;

// Scores to 4 decimals, so that documents compare and diff cleanly; the
// no-score marker stays as it is.
double round4(double v) { return std::isfinite(v) ? std::round(v * 10000.0) / 10000.0 : 0.0; }

json namedScores(const float (&v)[3]) {
    return {{"rank", round4(v[0])}, {"modelRank", round4(v[1])}, {"likelihood", round4(v[2])}};
}

json span(int startFrame, int endFrame, double start, double end) {
    return {{"start", round4(start)}, {"end", round4(end)}, {"startFrame", startFrame}, {"endFrame", endFrame}};
}

}  // namespace

std::string resultToJson(const Result& r, const std::string& function) {
    json j;
    j["schema"] = kResultSchema;
    j["version"] = kResultSchemaVersion;
    j["function"] = function;
    j["score"] = round4(r.finalScore);
    j["scores"] = namedScores(r.finalScores);
    j["scoresBeforeDiscounts"] = namedScores(r.origScores);
    j["weightedRank"] = round4(r.weightedRank);
    j["logProb"] = round4(r.logProb);
    json discounts = json::array();
    for (size_t i = 0; i < 7; ++i)
        discounts.push_back({{"reason", kDiscountReasons[i]}, {"count", i < r.discounts.size() ? r.discounts[i] : 0}});
    j["discounts"] = discounts;
    j["textIndex"] = r.textIndex;
    j["textIndices"] = r.textIndices;
    j["texts"] = r.texts;
    j["recognized"] = {{"syllables", r.recognized}, {"hanyu", r.hanyu}, {"zhuyin", r.mpa}, {"cgu", r.cgu}};
    j["tone"] = r.tone;
    json syls = json::array();
    for (const Syllable& s : r.syllables) {
        json phones = json::array();
        for (const Phone& p : s.phones) {
            json jp = {{"name", p.name}};
            jp.update(span(p.startFrame, p.endFrame, p.startTime, p.endTime));
            jp["score"] = round4(p.score);
            jp["scores"] = namedScores(p.scores);
            jp["rank"] = p.rank;
            jp["rankRatio"] = round4(p.rankRatio);
            jp["competitors"] = p.competitors;
            phones.push_back(std::move(jp));
        }
        json js = {{"name", s.name}, {"text", s.text}, {"found", s.found}, {"reason", s.reason}};
        js.update(span(s.startFrame, s.endFrame, s.startTime, s.endTime));
        js["score"] = round4(s.score);
        js["scores"] = namedScores(s.scores);
        js["phones"] = std::move(phones);
        // Only syllables the tone step scored carry a tone.
        if (s.toneScore >= 0)
            js["tone"] = {{"expected", s.toneExpected},
                          {"heard", s.toneHeard},
                          {"heardPosterior", round4(s.toneHeardPosterior)},
                          {"score", round4(s.toneScore)}};
        syls.push_back(std::move(js));
    }
    j["syllables"] = std::move(syls);
    j["warnings"] = r.warnings;
    j["skipped"] = r.skipped;
    j["noSpeech"] = r.noSpeech;
    j["noSpeechReason"] = r.noSpeechReason;
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorToJson(const std::string& kind, const std::string& message) {
    json j;
    j["schema"] = kResultSchema;
    j["version"] = kResultSchemaVersion;
    j["error"] = {{"kind", kind}, {"message", message}};
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace quorvane
