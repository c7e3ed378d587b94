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

#include "quorvane_version.h"

namespace quorvane {

// The score reported when an assessment produced none.
constexpr float kNoScore = -100000.0f;

// Reasons of the seven discount factors, in the order of Result::discounts.
QV_API extern const char* const kDiscountReasons[7];

// Short names of the three parallel scores of a phone, a syllable and the
// utterance (scores[0..2], finalScores, origScores): [0] "rank" maps the
// phone's rank among its competing models through one global mapping, [1]
// "model rank" through the phone model's own mapping (this one is `score`
// and `finalScore`), [2] "likelihood" places the phone's log-probability
// between its best and worst competitor.
QV_API extern const char* const kScoreNames[3];

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
    double startTime = 0;  // seconds: startFrame x 10 ms
    double endTime = 0;    // seconds: (endFrame + 1) x 10 ms, the end of the last frame
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
    double startTime = 0;  // seconds, as for Phone
    double endTime = 0;
    float score = 0;
    float scores[3] = {0, 0, 0};
    std::vector<Phone> phones;
    // False for an expected syllable the alignment never reached: it has no
    // frames (startFrame = endFrame = -1), no phones, score 0, and `reason`
    // says why.
    bool found = true;
    std::string reason;
    // Tone, when the parameters name a tone model (toneModelFile); the
    // syllable's scores then combine its phones' and its tone score:
    // (1 - w) * phones + w * tone, w given by the tone model.
    int toneExpected = 0;          // 1..4, 5 neutral; 0 for silences
    int toneHeard = 0;             // most likely tone, 0 when not heard
    float toneHeardPosterior = 0;  // its posterior, 0..1
    float toneScore = -1;          // 100 x posterior(expected) / posterior(heard); -1 not scored
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
    // Every expected syllable in order, with the pauses and silences of the
    // alignment between them; see Syllable::found.
    std::vector<Syllable> syllables;
    // Problems that did not stop the scoring, in plain English: the level
    // of the recording (too quiet, no quiet part, clipped), characters of
    // the text without a reading (skipped, see `skipped`), syllables the
    // alignment did not reach.
    std::vector<std::string> warnings;
    // Characters of the text that have no reading and were left out of the
    // syllables and of the syllable count (data files' code page).
    std::vector<std::string> skipped;
    // Nothing to score: the recording holds no speech, or far less than the
    // text needs. finalScore and every score are then 0, every syllable is
    // not found, and `noSpeechReason` says what was measured.
    bool noSpeech = false;
    std::string noSpeechReason;
};

// What kind of failure an Error is, so that callers can tell the user's
// input apart from a broken installation.
enum class ErrorKind {
    UnreadableAudio,  // missing, unreadable or undecodable audio
    TooQuiet,         // refused by the level check: too quiet, or no quiet part
    Clipped,          // refused by the level check: a real share at full scale
    NoSpeech,         // too short to hold any speech
    TextNotCovered,   // the text has characters or syllables the data set cannot read
    Data,             // the data set or the parameters are unusable
    Internal,         // anything else (out of memory, ...)
};

// Stable lower-case name of a kind, e.g. "unreadable audio", "too quiet".
QV_API const char* errorKindName(ErrorKind kind);

class QV_API Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, ErrorKind kind = ErrorKind::Internal)
        : std::runtime_error(message), m_kind(kind) {}
    ErrorKind kind() const noexcept { return m_kind; }

private:
    ErrorKind m_kind;
};

// Runs one assessment or recognition. Throws Error with the engine's message
// and its kind.
//
// Level policy, the same for every entry point: the level check of the
// recording (too quiet, no quiet part, clipped: runs of 3 or more samples at
// full scale making up at least 0.1 % of the speech) is a warning in
// Result::warnings while a score can be computed; with useWaveReject = 1 in
// the parameters it refuses the recording instead (Error of kind TooQuiet or
// Clipped). A recording without speech is never scored: Result::noSpeech.
//
// Files: diagnostic files only in the parameters' outputDir; without one the
// run writes no file at all (the error log of a failed run goes to the
// temporary folder only when an outputDir is named).
QV_API Result run(const Request& request);

// Routes the engine's console lines (progress, warnings, saved files);
// an empty function restores standard output.
QV_API void setLogSink(std::function<void(const std::string&)> sink);

}  // namespace quorvane
