// A tiny, self-contained recognition world for end-to-end tests and the
// pipeline benchmark: six "phones" made of distinct synthetic sounds, models
// whose Gaussians are estimated directly from those sounds' features, and a
// matching dictionary, word table, pinyin table and parameter files.
//
// Syllables and characters (Big5):
//   ba1 = b+a a1   "一" (A4 40)
//   di2 = d+i i2   "二" (A4 47)
//   gu3 = g+u u3   "三" (A4 54)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvworld {

// A stretch of one phone in a synthetic utterance, in samples [begin, end).
struct Segment {
    std::string phone;
    int begin = 0;
    int end = 0;
};

extern const char* const kOne;    // "一" in Big5
extern const char* const kTwo;    // "二"
extern const char* const kThree;  // "三"

// Phone sequence of syllables, e.g. {"ba1", "gu3"} -> b+a a1 g+u u3.
std::vector<std::string> phonesOf(const std::vector<std::string>& syllables);

// 16 kHz samples of sil, the phones (each `phoneMs` long) with `gapMs` of
// silence between syllables, and sil again. Deterministic for a seed.
std::vector<int32_t> synthUtterance(const std::vector<std::string>& syllables, std::vector<Segment>* segments = nullptr,
                                    int phoneMs = 150, int gapMs = 40, int silMs = 300, unsigned seed = 1);

void writeWav(const std::string& path, const std::vector<int32_t>& samples);

// Writes the data files and the models into `dir` and returns the path of an
// "assess" parameter file with outputDir = dir/out (created).
std::string buildTinyWorld(const std::string& dir);

}  // namespace qvworld
