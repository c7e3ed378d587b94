// QUORVANE engine: pronunciation assessment and sentence recognition for
// spoken Mandarin (and English/Japanese lexicons).
//
// One call runs the whole engine from a recognition parameter file: the audio
// file is read and prepared, aligned with the expected text through the HMM
// models, and scored phone by phone. Every data file is read afresh for each
// run; nothing is shared between runs, so runs on different threads are
// independent (the console sink is process-wide).
//
//   quorvane::Request req;
//   req.paramFile = "telvoDataChinese/chinese.sa.prm";
//   req.overrides = {{"wavFile", "a.wav"}, {"txtFile", "a.txt"}};
//   quorvane::Result r = quorvane::run(req);   // throws quorvane::Error
//   printf("%f\n", r.finalScore);
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

// The score reported when an assessment produced none.
constexpr float kNoScore = -100000.0f;

// Reasons of the seven discount factors, in the order of Result::discounts.
extern const char* const kDiscountReasons[7];

struct Request {
    std::string paramFile;  // "key = value" recognition parameter file
    // Applied after the file, in order, with the same keys and types; an
    // unknown key is an error as in the file.
    std::vector<std::pair<std::string, std::string>> overrides;
};

struct Phone {
    std::string name;     // model name, e.g. "n+i" or "i3"
    int startFrame = 0;   // 10 ms frames from the start of the recording
    int endFrame = 0;     // inclusive
    float score = 0;      // the phone's score (scores[1])
    float scores[3] = {0, 0, 0};
    float rankRatio = 0;  // rank / competitors: 0 = own model best
    int rank = 0;
    std::vector<std::string> competitors;  // best first
};

struct Syllable {
    std::string name;  // syllable (e.g. "ni3"), or "sil", "sp", "filler"...
    std::string text;  // its character(s) in the data files' code page; empty for silences
    int startFrame = 0;
    int endFrame = 0;
    float score = 0;
    float scores[3] = {0, 0, 0};
    std::vector<Phone> phones;
};

struct Result {
    int textIndex = -1;          // first matched expected sentence
    std::vector<int> textIndices;
    std::vector<std::string> texts;
    float finalScore = kNoScore;  // the score of the run
    float finalScores[3] = {0, 0, 0};
    float origScore = 0;
    float origScores[3] = {0, 0, 0};
    float weightedRank = 0;
    float logProb = 0;
    std::vector<int> discounts;  // counts, in the order of kDiscountReasons
    std::string recognized;      // phonetic string of the best path
    std::string tone, mpa, hanyu, cgu;
    std::vector<Syllable> syllables;
};

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Runs one assessment or recognition. Throws Error with the engine's message.
Result run(const Request& request);

// Routes the engine's console lines (progress, warnings, saved files);
// an empty function restores standard output.
void setLogSink(std::function<void(const std::string&)> sink);

}  // namespace quorvane
