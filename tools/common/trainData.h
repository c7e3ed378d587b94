// Training data for hmmTrainer: the list of recordings with their syllables,
// their features computed exactly as a recognition run computes them, and a
// feature cache so that repeated training runs skip the front end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/lexicon/dict.h"
#include "tools/common/trainHmm.h"

namespace qv {

// One line of a training list: "<audio file> TAB <unit> <unit> ...", units
// being names of the pronunciation dictionary. Empty lines and lines starting
// with "#" are skipped; a line without a tab is a fatal error.
struct trainItem {
    std::string audio;
    std::vector<std::string> units;
};
std::vector<trainItem> readTrainList(const std::string& path);

// Every model name used by a pronunciation dictionary file (unit, white
// space, model names separated by blanks; "%" starts a comment line), sorted
// and unique.
std::vector<std::string> dictModelNames(const std::string& pamPath);

// Reads the audio file, prepares it as a recognition run does (16 kHz,
// 16 bits, DC removed, no spectral subtraction, no end-point trimming) and
// computes the features of the configuration file.
void computeTrainFeatures(const std::string& audio, const std::string& cfgPath, std::vector<float>& fea,
                          int32_t& frameNum, int32_t& dim);

// Features of every item, from the cache directory when a cached copy made
// from the same file (size and time) exists, computed and cached otherwise.
// Items whose audio cannot be read get no frames (reported in `failed`).
// cacheDir empty: no cache. Runs on `threads` threads.
void loadTrainFeatures(const std::vector<trainItem>& items, const std::string& cfgPath, const std::string& cacheDir,
                       int threads, std::vector<std::vector<float>>& fea, std::vector<int32_t>& frameNum,
                       int32_t& dim, std::vector<std::string>& failed);

// The model sequence of one item: "sil", the models of each unit (from the
// dictionary, resolved against the trainer's set), an optional "sp" between
// units, "sil". Returns false (and names the unit in `missing`) when a unit
// is not in the dictionary or one of its models is not in the set.
bool itemModels(const trainItem& item, const dictClass& dict, const hmmTrainer& trainer, trainUtterance& u,
                std::string& missing);

// Tests of a model set on isolated syllables. For every item of one toned
// unit (name ending in a digit 1-5), the log-likelihood of its own model
// sequence against rivals from the dictionary: the tone test takes the units
// that differ only in the tone digit, the syllable test (when asked for; it
// costs one alignment per rival) every unit with the same tone digit. Items
// with several units or without rivals are not counted.
struct toneEvalResult {
    int32_t tested = 0;
    int32_t correct = 0;
    int32_t confusion[6][6] = {};  // [spoken tone][best tone], tones 1..5
    int32_t sylTested = 0;
    int32_t sylCorrect = 0;
};
toneEvalResult evalTones(const hmmTrainer& trainer, const dictClass& dict, const std::vector<trainItem>& items,
                         const std::vector<std::vector<float>>& fea, const std::vector<int32_t>& frameNum,
                         int threads, bool syllableTest = false);

// Leading and trailing silence of an utterance from its energy column
// (energyIndex): frames before the first and after the last run of
// `minRun` frames above floor + share x (peak - floor), less a margin of
// `margin` frames that weak onsets and the reach of the dynamic features may
// take. Both 0 when no such run exists.
void silenceMarks(const float* fea, int32_t frameNum, int32_t dim, int32_t energyIndex, int32_t& lead,
                  int32_t& trail, double share = 0.2, int minRun = 3, int margin = 3);

// Directory name part for a feature configuration: a hash of its bytes, so
// that a changed configuration never reuses old features.
std::string configTag(const std::string& cfgPath);

}  // namespace qv
