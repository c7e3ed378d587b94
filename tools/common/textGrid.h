// Praat TextGrid export of an assessment: the alignment as phoneticians read
// it, next to the recording.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace qvtool {

// The TextGrid (Praat's long text format, UTF-8) of an assessment document
// as `quorvane assess --json` prints it. Three interval tiers over
// 0..duration: "syllables" (pinyin with its tone digit), "characters" (the
// text of each syllable) and "phones" (model names). Time between aligned
// units is an interval with an empty label, as Praat requires tiers without
// gaps. The times are the document's own numbers, so the two agree exactly;
// syllables the alignment did not reach have no interval. `duration` is the
// recording's length in seconds; it is raised to the last end if shorter.
std::string textGridOfAssessment(const nlohmann::ordered_json& doc, double duration);

}  // namespace qvtool
