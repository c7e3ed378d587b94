#include "tools/common/textGrid.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qvtool {

namespace {

struct Interval {
    double start, end;
    std::string label;
};

// The shortest of 15 or 17 significant digits that reads back as the same
// double, so that Praat sees the document's times exactly.
std::string num(double x) {
    char buf[40];
    std::snprintf(buf, sizeof(buf), "%.15g", x);
    if (std::strtod(buf, nullptr) != x) std::snprintf(buf, sizeof(buf), "%.17g", x);
    return buf;
}

// Quotes are doubled inside Praat strings.
std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Aligned units in time order, with empty intervals filling the gaps from 0
// to xmax. A unit that starts before the previous one ended (not produced by
// the alignment, but a hand-edited document may have it) starts at that end.
std::vector<Interval> filled(const std::vector<Interval>& units, double xmax) {
    std::vector<Interval> out;
    double t = 0;
    for (const Interval& u : units) {
        const double start = std::max(u.start, t);
        if (u.end <= start) continue;
        if (start > t) out.push_back({t, start, ""});
        out.push_back({start, u.end, u.label});
        t = u.end;
    }
    if (xmax > t || out.empty()) out.push_back({t, std::max(xmax, t), ""});
    return out;
}

void writeTier(std::string& out, int index, const std::string& name, const std::vector<Interval>& intervals,
               double xmax) {
    out += "    item [" + std::to_string(index) + "]:\n";
    out += "        class = \"IntervalTier\"\n";
    out += "        name = " + quoted(name) + "\n";
    out += "        xmin = 0\n";
    out += "        xmax = " + num(xmax) + "\n";
    out += "        intervals: size = " + std::to_string(intervals.size()) + "\n";
    for (size_t i = 0; i < intervals.size(); ++i) {
        out += "        intervals [" + std::to_string(i + 1) + "]:\n";
        out += "            xmin = " + num(intervals[i].start) + "\n";
        out += "            xmax = " + num(intervals[i].end) + "\n";
        out += "            text = " + quoted(intervals[i].label) + "\n";
    }
}

}  // namespace

std::string textGridOfAssessment(const nlohmann::ordered_json& doc, double duration) {
    std::vector<Interval> syllables, characters, phones;
    double xmax = std::max(0.0, duration);
    if (doc.contains("syllables") && doc["syllables"].is_array()) {
        for (const auto& s : doc["syllables"]) {
            if (!s.contains("start") || !s["start"].is_number() || !s["end"].is_number()) continue;
            const double a = s["start"].get<double>(), b = s["end"].get<double>();
            syllables.push_back({a, b, s.value("pinyin", "")});
            characters.push_back({a, b, s.value("text", "")});
            xmax = std::max(xmax, b);
            if (!s.contains("phones") || !s["phones"].is_array()) continue;
            for (const auto& p : s["phones"]) {
                if (!p["start"].is_number() || !p["end"].is_number()) continue;
                phones.push_back({p["start"].get<double>(), p["end"].get<double>(), p.value("name", "")});
                xmax = std::max(xmax, p["end"].get<double>());
            }
        }
    }
    std::string out = "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n";
    out += "xmin = 0\nxmax = " + num(xmax) + "\ntiers? <exists>\nsize = 3\nitem []:\n";
    writeTier(out, 1, "syllables", filled(syllables, xmax), xmax);
    writeTier(out, 2, "characters", filled(characters, xmax), xmax);
    writeTier(out, 3, "phones", filled(phones, xmax), xmax);
    return out;
}

}  // namespace qvtool
