// QUORVANE engine object: load a data set once, assess or recognise many
// times, from several threads at once.
//
//   quorvane::Engine engine("/usr/share/quorvane/telvoDataChinese");
//   quorvane::Input in;
//   in.audioFile = "a.wav";            // or in.samples + in.sampleRate
//   in.text = "你好";                   // UTF-8
//   quorvane::Result r = engine.assess(in);   // throws quorvane::Error
//   printf("%.1f\n", r.finalScore);
//
// Loading. The constructor reads the recognition parameter file of the data
// folder (or the file named) and, once, everything the runs share: the model
// set, the pronunciation dictionary and word table, the pinyin table, the
// normalisation rules, the score tables, the feature configuration and the
// parameter defaults. A relative path in the file resolves against the
// file's folder; a path that does not exist there is taken against the
// folder above it (the installation folder, which the shipped data set's
// paths start from). The file's outputDir is ignored: only Input::outputDir
// makes a run write files.
//
// Threads. assess() and recognise() are const and may be called on one
// Engine from any number of threads at once: the loaded data are shared
// read-only, each call owns its input, its working data and its result.
// Constructing, moving and destroying an Engine must not overlap with calls
// on it. Logging goes only to the call's own Input::log, on the calling
// thread; without one the call prints nothing (the process-wide sink of
// quorvane::setLogSink is not used).
//
// Files. Without Input::outputDir a call writes no file at all (no
// diagnostic files, no error log).
//
// Results. Every text of a Result from an Engine is UTF-8 (Syllable::text,
// Result::texts); times are in seconds (startTime, endTime) besides the
// 10 ms frames. Errors are quorvane::Error; problems that leave a score
// are warnings. docs/result-schema.md describes every field.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quorvane.h"

namespace quorvane {

enum class LogLevel { Debug, Info, Warning, Error };

// Stable lower-case name of a level: "debug", "info", "warning", "error".
QV_API const char* logLevelName(LogLevel level);

// One line of the engine's log, without its line feed.
using LogCallback = std::function<void(LogLevel level, const std::string& line)>;

struct Input {
    // The recording: 16-bit mono samples at sampleRate (resampled to 16 kHz
    // when needed), or, when `samples` is empty, the audio file audioFile
    // (WAV, raw 16 kHz PCM or FLV).
    std::vector<int16_t> samples;
    int sampleRate = 16000;
    std::string audioFile;
    // The expected sentence (assess) or the candidate sentences, one per line
    // (recognise), UTF-8.
    std::string text;
    // Optional syllable strings instead of the readings derived from the
    // text: one entry per reading, syllables joined by "-" ("ni3-hao3"),
    // optionally followed by a tab and the index of its line in `text`
    // (0 when absent).
    std::vector<std::string> syllables;
    // Parameter keys applied to this call only, after the file's (e.g.
    // {"useEpd", "1"}). Keys that select loaded data (macFile, dicFile,
    // wpaFile, wpaAddendaFile, pyTableFile, tnmFile, qiYinFile,
    // featureConfigFile, the score files, epsFile, language, pinyinType) are
    // refused: open another Engine for another data set.
    std::vector<std::pair<std::string, std::string>> overrides;
    // Folder for the diagnostic files of this call; empty: none written.
    std::string outputDir;
    // Receives this call's log lines; empty: no log.
    LogCallback log;
};

class QV_API Engine {
public:
    // `path` is a data folder (its chinese.sa.prm is read) or a recognition
    // parameter file. `overrides` apply to every call. Throws Error (kind
    // Data) when anything cannot be loaded; `log` receives the loading's
    // lines.
    explicit Engine(const std::string& path, const std::vector<std::pair<std::string, std::string>>& overrides = {},
                    const LogCallback& log = nullptr);
    ~Engine();
    Engine(Engine&&) noexcept;
    Engine& operator=(Engine&&) noexcept;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Scores the pronunciation of the expected sentence.
    Result assess(const Input& input) const;
    // Finds which of the candidate sentences was spoken (Result::textIndex).
    Result recognise(const Input& input) const;

    // The parameter file that was read, and its folder.
    const std::string& paramFile() const;
    // Problems of the data set that did not stop the loading (e.g. syllables
    // whose model is missing and stands in as model 0).
    const std::vector<std::string>& loadWarnings() const;
    // Model names of the loaded set (Phone::competitors come from these).
    const std::vector<std::string>& modelNames() const;

private:
    Result runOnce(const Input& input, const char* function) const;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The result as the JSON document of docs/result-schema.md (one line,
// UTF-8); `function` is "assess" or "recog". The error document has the
// same schema fields and an "error" object with "kind" and "message".
constexpr const char* kResultSchema = "quorvane-result";
constexpr int kResultSchemaVersion = 1;
QV_API std::string resultToJson(const Result& result, const std::string& function);
QV_API std::string errorToJson(const std::string& kind, const std::string& message);

}  // namespace quorvane
