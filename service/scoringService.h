// The scoring behind the HTTP service: one loaded engine, the texts checked
// and read as the command-line tool reads them, and answers that are the
// documents `quorvane assess --json` and `quorvane recog --json` print.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quorvane_engine.h"
#include "engine/lexicon/text.h"
#include "readings/readingStep.h"

namespace qvservice {

using json = nlohmann::ordered_json;

// A refused request: the tool's error kind ("usage", "unreadable audio",
// "too quiet", "clipped", "no speech", "text not covered", "data",
// "internal") and a message in plain words. `document` is the result when
// there is one (no speech).
struct ServiceError {
    ServiceError(std::string k, std::string m, json doc = nullptr)
        : kind(std::move(k)), message(std::move(m)), document(std::move(doc)) {}
    std::string kind;
    std::string message;
    json document;
};

// One recording as the client sent it.
struct Audio {
    std::string bytes;
    std::string contentType;  // of the part or the body, may be empty
};

// What a recording holds, told by its first bytes: "wav", "flv", or "" for
// anything else (which libsndfile may still read: FLAC, Ogg, MP3...).
std::string audioFormat(const std::string& bytes);

// An upload in a private temporary folder, converted as the command-line
// tool converts recordings (other formats, rates and channel counts become
// a 16-bit mono WAV at the features' rate); removed with the object.
class Recording {
public:
    Recording(const Audio& audio, int rate);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
    const std::string& path() const { return m_path; }  // what the engine reads
    double seconds() const { return m_seconds; }
    int fileRate() const { return m_fileRate; }  // the upload's own rate
    int rate() const { return m_rate; }          // the rate the engine reads it at

private:
    std::string m_dir, m_path;
    double m_seconds = 0;
    int m_fileRate = 0, m_rate = 0;
};

class ScoringService {
public:
    // Loads the data folder once (its chinese.sa.prm); `standard` is
    // "taiwan" or "mainland" (readings of the expected syllables). Throws
    // ServiceError of kind "data" or "usage".
    ScoringService(const std::string& dataDir, const std::string& standard);

    // The upload ready for the engine. Throws ServiceError: "unsupported
    // audio" for what no reader knows, "unreadable audio" for a broken file.
    std::unique_ptr<Recording> prepare(const Audio& audio) const;

    // The document of `quorvane assess --json`: `pinyin` may be empty (the
    // reading step decides). Asked for, the document also carries the
    // alignment as a Praat TextGrid in "textgrid" and the recording's pitch
    // in "pitch": {"start", "step" (seconds), "values" (Hz every step, 0
    // where unvoiced)}, from the tone step's tracker.
    json assess(const Recording& audio, const std::string& text, const std::string& pinyin, bool textGrid,
                bool pitch = false) const;
    // The document of `quorvane recog --json` for the candidate sentences.
    json recog(const Recording& audio, const std::vector<std::string>& texts) const;
    // The characters of a sentence with the syllables the reading step
    // reads and their Zhuyin: {"text", "characters": [{"text", "pinyin", "zhuyin"}]}.
    json readings(const std::string& text) const;

    const std::string& dataDir() const { return m_dataDir; }

private:
    struct Sentence {
        std::string utf8;
        std::string big5;
        std::vector<std::string> chars;
        qv::sentenceReading reading;
    };
    Sentence checkSentence(const std::string& utf8, const std::string& label) const;
    std::string checkPinyin(const std::string& pinyin, size_t charCount) const;
    quorvane::Result run(const Recording& audio, const std::vector<std::string>& texts,
                         const std::vector<std::string>& syllables, bool recognise) const;
    json document(const quorvane::Result& r) const;
    json pitchTrack(const Recording& audio) const;
    std::string zhuyin(const std::string& syl) const;

    std::string m_dataDir;
    std::unique_ptr<quorvane::Engine> m_engine;
    std::set<std::string> m_characters;               // the word table's units (Big5)
    std::map<std::string, std::string> m_zhuyinOf;    // HanYu syllable -> Zhuyin (Big5)
    bool m_padSyllables = true;                       // usePaddedHardSp
    int m_rate = 16000;                               // the features' sample rate
    qv::textClass m_rules;                            // the normalisation rules
    std::shared_ptr<const qv::readingStep> m_reading;
    mutable std::mutex m_textMutex;  // the reading step and the rules are not known to be thread-safe
};

}  // namespace qvservice
