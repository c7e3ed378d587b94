// quorvane: the user's command-line tool.
//
//   quorvane assess AUDIO --text "你好" [--pinyin "ni3 hao3"] [--json] [--textgrid FILE]
//   quorvane recog AUDIO --text "A" --text "B" ... | --text-file FILE [--json]
//   quorvane readings [--text "你好" ...]      (else one sentence per line on stdin)
//
// Texts may be Simplified or Traditional. The expected syllables come from
// the reading step (readings/): words and tone changes decide every
// character's reading, Taiwan's by default or mainland Putonghua with
// --standard mainland; --pinyin gives them explicitly; --any-reading lets
// the search choose among all readings. `readings` prints what the step reads.
//
// Text in and out is UTF-8; the data set and the engine work in Big5, so the
// tool converts at its edges. Every run uses the assessment parameter file
// chinese.sa.prm of a data folder (see findDataDir), with the relative paths
// in it resolved against the folder that contains the data folder.
//
// Exit codes and the JSON form of errors: see kExitCodes (shown by --help).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "quorvane.h"
#include "audioimport/audioImport.h"
#include "engine/lexicon/dict.h"
#include "engine/lexicon/text.h"
#include "tools/common/textGrid.h"
#include "tools/common/toolText.h"
#include "engine/utility.h"
#include "platform/codePage.h"
#include "readings/readingStep.h"

namespace fs = std::filesystem;
// Keys in the order they are written, which reads better than sorted.
using json = nlohmann::ordered_json;

using qvtool::InputError;
using qvtool::kPathKeys;
using qvtool::readDataLines;
using qvtool::splitAt;
using qvtool::trimBlanks;

namespace {

const char* const kDataFolder = "telvoDataChinese";
const char* const kPrmName = "chinese.sa.prm";

std::string withoutLocation(std::string msg) {
    // Engine messages end with the reporting source line, e.g.
    // "(line 12 in recogTask)"; users have no use for it.
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    const size_t p = msg.rfind("(line ");
    if (p != std::string::npos && !msg.empty() && msg.back() == ')') {
        msg.erase(p);
        while (!msg.empty() && msg.back() == ' ') msg.pop_back();
    }
    while (!msg.empty() && msg.front() == '\n') msg.erase(0, 1);
    for (char& c : msg)
        if (c == '\n') c = ' ';
    return msg;
}

// ---------------------------------------------------------------------------
// The data set: the parameter file with resolved paths, and the tables the
// tool needs to check texts and show Zhuyin.
// ---------------------------------------------------------------------------

struct DataSet {
    std::string dir;                                              // the data folder
    std::string prmFile;                                          // its chinese.sa.prm
    std::vector<std::pair<std::string, std::string>> pathValues;  // path keys, resolved
    std::string language = "chinese";
    bool padSyllables = true;                                     // usePaddedHardSp
    std::set<std::string> characters;                        // the word table's units (Big5)
    std::map<std::string, std::string> zhuyinOf;             // HanYu syllable -> MPA (Big5)
    qv::textClass rules;  // the normalisation rules, read by the engine's text unit
    std::shared_ptr<const qv::readingStep> reading;  // the reading step of the chosen standard

    std::string value(const std::string& key) const {
        for (const auto& kv : pathValues)
            if (kv.first == key) return kv.second;
        return "";
    }
};

bool isDataDir(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p / kPrmName, ec);
}

// The data folder: --data if given; otherwise ./telvoDataChinese; otherwise
// the first telvoDataChinese in the folders above the executable (the
// installation folder, or the repository when run from a build tree).
std::string findDataDir(const std::string& option) {
    if (!option.empty()) {
        if (!isDataDir(option)) throw InputError{"no data set in " + option + " (" + kPrmName + " not found)"};
        fs::path p = fs::absolute(option).lexically_normal();
        if (p.filename().empty()) p = p.parent_path();  // "dir/" names dir, whose parent holds it
        return p.string();
    }
    std::error_code ec;
    if (isDataDir(fs::current_path(ec) / kDataFolder)) return (fs::current_path(ec) / kDataFolder).string();
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (fs::path p = exe.parent_path(); !p.empty(); p = p.parent_path()) {
            if (isDataDir(p / kDataFolder)) return (p / kDataFolder).string();
            if (p == p.root_path()) break;
        }
    }
    throw InputError{std::string("cannot find the data folder ") + kDataFolder +
                     " (not in the current directory nor above the program); give it with --data"};
}

// Runs engine code on the data set outside a run: its progress lines are
// dropped and its error becomes the tool's one-line input error.
template <class F>
void quietEngineCall(F&& f) {
    quorvane::setLogSink([](const std::string&) {});
    try {
        f();
    } catch (const std::exception& e) {
        quorvane::setLogSink(nullptr);
        throw InputError{withoutLocation(e.what())};
    }
    quorvane::setLogSink(nullptr);
}

DataSet loadDataSet(const std::string& dataOption) {
    DataSet ds;
    ds.dir = findDataDir(dataOption);
    ds.prmFile = (fs::path(ds.dir) / kPrmName).string();
    // The file's relative paths name files below the installation folder,
    // the folder that holds the data folder.
    const fs::path base = fs::path(ds.dir).parent_path();
    std::map<std::string, std::string> values;
    for (std::string line : readDataLines(ds.prmFile, 0)) {
        const size_t pct = line.find('%');
        if (pct != std::string::npos) line.erase(pct);
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        values[trimBlanks(line.substr(0, eq))] = trimBlanks(line.substr(eq + 1));
    }
    for (const char* key : kPathKeys) {
        auto it = values.find(key);
        if (it == values.end() || it->second.empty()) continue;
        fs::path p(it->second);
        ds.pathValues.emplace_back(key, p.is_absolute() ? p.string() : (base / p).lexically_normal().string());
    }
    if (values.count("language")) ds.language = values["language"];
    if (values.count("usePaddedHardSp")) ds.padSyllables = values["usePaddedHardSp"] == "1";

    if (ds.language == "chinese") {
        for (const std::string& line : readDataLines(ds.value("wpaFile"), '%')) {
            const size_t tab = line.find('\t');
            ds.characters.insert(line.substr(0, tab));
        }
        for (const std::string& line : readDataLines(ds.value("pyTableFile"), 0)) {
            const std::vector<std::string> cols = splitAt(line, '\t');
            if (cols.size() >= 4) ds.zhuyinOf.emplace(cols[3], cols[2]);
        }
    }
    const std::string tnm = ds.value("tnmFile");
    quietEngineCall([&] { ds.rules.tnmRead(tnm); });
    return ds;
}

// The data set and the reading step of the standard asked for.
DataSet loadDataSetWithReadings(const std::string& dataOption, const std::string& standardName) {
    qv::readingStandard standard;
    if (!qv::parseReadingStandard(standardName, standard))
        throw InputError{"--standard must be taiwan or mainland, not \"" + standardName + "\"", "usage"};
    DataSet ds = loadDataSet(dataOption);
    quietEngineCall([&] { ds.reading = qv::readingStep::shared(ds.value("wpaFile"), ds.value("pyTableFile"), standard); });
    return ds;
}

// The engine's text normalisation, so that the tool checks exactly the
// characters the engine will look up.
std::string normalize(const DataSet& ds, std::string s) {
    ds.rules.normalizeString(s, "chinese");
    return s;
}

// One expected sentence, checked: its Big5 form and its characters.
struct Sentence {
    std::string utf8;
    std::string big5;
    std::vector<std::string> chars;  // normalised two-byte units
    qv::sentenceReading reading;     // the syllables a speaker reads it with
};

Sentence checkSentence(const DataSet& ds, const std::string& utf8, const std::string& label) {
    Sentence s;
    s.utf8 = utf8;
    if (utf8.find_first_of("\t\r\n") != std::string::npos)
        throw InputError{label + " must be a single line without tabs", "usage"};
    if (trimBlanks(utf8).empty()) throw InputError{label + " is empty", "usage"};
    try {
        s.reading = ds.reading->read(utf8);  // Simplified text comes back Traditional
        s.big5 = s.reading.big5;
    } catch (const qv::readingError& e) {
        throw InputError{label + ": " + e.what(), "text not covered"};
    }
    const std::string n = normalize(ds, s.big5);
    if (trimBlanks(n).empty()) throw InputError{label + " is empty (nothing to read once punctuation is removed)", "usage"};
    // The engine cuts the text into two-byte characters; a one-byte
    // character would shift every character after it.
    std::vector<std::string> singles;
    for (size_t i = 0; i < n.size();) {
        const unsigned char c = static_cast<unsigned char>(n[i]);
        if (c >= 0x81 && i + 1 < n.size()) {
            s.chars.push_back(n.substr(i, 2));
            i += 2;
        } else {
            singles.push_back(c >= 0x80 ? "?" : std::string(1, static_cast<char>(c)));
            ++i;
        }
    }
    if (!singles.empty()) {
        std::string list;
        for (const auto& c : singles) list += (list.empty() ? "\"" : ", \"") + c + "\"";
        throw InputError{label + " contains " + list +
                             ", which is not a Chinese character (write letters and numbers in Chinese characters)",
                         "text not covered"};
    }
    if (ds.language == "chinese") {
        // Punctuation without a reading (Big5 row A1: quotes, brackets the
        // rules keep) is left out by the engine and named in the result; a
        // character or sign without a reading cannot be assessed.
        std::vector<std::string> kept;
        for (const std::string& c : s.chars) {
            const unsigned char lead = static_cast<unsigned char>(c[0]);
            if (ds.characters.count(c) || lead != 0xA1) kept.push_back(c);
        }
        s.chars = kept;
        if (s.chars.empty()) throw InputError{label + " is empty (nothing to read once punctuation is removed)", "usage"};
        std::vector<std::string> missing;
        for (const std::string& c : s.chars)
            if (!ds.characters.count(c)) {
                const std::string u = qv::big5ToUtf8Lenient(c);
                bool seen = false;
                for (const auto& m : missing) seen = seen || m == u;
                if (!seen) missing.push_back(u);
            }
        if (!missing.empty()) {
            std::string list;
            for (const auto& c : missing) list += (list.empty() ? "" : " ") + c;
            throw InputError{label + ": no reading in the word table for " + list, "text not covered"};
        }
    }
    return s;
}

// --pinyin "ni3 hao3" (or "ni3-hao3") -> "ni3-hao3", one syllable per character.
std::string checkPinyin(const DataSet& ds, const std::string& pinyin, size_t charCount) {
    std::string s = pinyin;
    for (size_t p; (p = s.find("\xC3\xBC")) != std::string::npos;) s.replace(p, 2, "v");  // ü
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '-' || c == '\t' || c == ',') c = ' ';
    }
    std::vector<std::string> syls;
    std::istringstream in(s);
    for (std::string w; in >> w;) syls.push_back(w);
    for (const std::string& w : syls)
        if (!ds.zhuyinOf.empty() && !ds.zhuyinOf.count(w))
            throw InputError{"--pinyin: unknown syllable \"" + w + "\" (write Hanyu Pinyin with a tone digit 1-5, e.g. ni3)", "text not covered"};
    if (syls.size() != charCount)
        throw InputError{"--pinyin gives " + std::to_string(syls.size()) + " syllable(s) for " +
                             std::to_string(charCount) + " character(s)",
                         "usage"};
    std::string joined;
    for (const std::string& w : syls) joined += (joined.empty() ? "" : "-") + w;
    return joined;
}

void checkAudio(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) throw InputError{"audio file not found: " + path, "unreadable audio"};
    if (fs::is_directory(path, ec)) throw InputError{"audio file is a directory: " + path, "unreadable audio"};
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError{"cannot read audio file " + path, "unreadable audio"};
    // Its format is found out by its contents when the engine's run starts
    // (see importRecording).
}

// ---------------------------------------------------------------------------
// Running the engine
// ---------------------------------------------------------------------------

struct Options {
    std::string audio;
    std::string text;                // assess
    std::vector<std::string> texts;  // recog
    std::string textFile;
    std::string pinyin;
    std::string standard = "taiwan";
    bool anyReading = false;
    std::string data;
    std::string out;
    bool json = false;
    bool verbose = false;
    std::string textGrid;  // assess: Praat TextGrid of the alignment
};

// A folder for the sentence file: --out, or a temporary one removed at the end.
class WorkDir {
public:
    explicit WorkDir(const std::string& out) {
        if (!out.empty()) {
            std::error_code ec;
            fs::create_directories(out, ec);
            if (!fs::is_directory(out, ec)) throw InputError{"cannot create output folder " + out};
            m_path = fs::absolute(out).lexically_normal().string();
            return;
        }
        std::string tmpl = (fs::temp_directory_path() / "quorvane.XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw InputError{"cannot create a temporary folder"};
        m_path = tmpl;
        m_temporary = true;
    }
    ~WorkDir() {
        if (m_temporary) {
            std::error_code ec;
            fs::remove_all(m_path, ec);
        }
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::string& path() const { return m_path; }
    bool temporary() const { return m_temporary; }

private:
    std::string m_path;
    bool m_temporary = false;
};

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) throw InputError{"cannot write " + path};
}

// The recording as the engine reads it: formats other than its own, other
// rates and several channels are converted into the work folder first.
qv::importedAudio importRecording(const DataSet& ds, const Options& o, const std::string& dir) {
    quorvane::setLogSink([](const std::string&) {});
    try {
        // The user's own name for the file, so that messages show it.
        qv::importedAudio a = qv::importAudio(o.audio, qv::featureSampleRate(ds.value("featureConfigFile")), dir);
        quorvane::setLogSink(nullptr);
        if (!a.converted) a.path = fs::absolute(a.path).lexically_normal().string();
        return a;
    } catch (const qv::FatalError& e) {
        quorvane::setLogSink(nullptr);
        std::string msg = withoutLocation(e.what());
        if (msg.size() > 1 && std::islower(static_cast<unsigned char>(msg[1])))  // a sentence, not "SOURCERATE"
            msg[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(msg[0])));
        throw InputError{msg, e.kind() == qv::FatalKind::UnreadableAudio ? "unreadable audio" : "data"};
    }
}

// Runs the engine; `audioSeconds` receives the length of the recording.
quorvane::Result runEngine(const DataSet& ds, const Options& o, const std::string& function,
                           const std::vector<Sentence>& sentences, const std::string& sylLines,
                           double* audioSeconds = nullptr) {
    WorkDir work(o.out);
    const qv::importedAudio audio = importRecording(ds, o, work.path());
    if (audioSeconds) *audioSeconds = audio.seconds;
    const std::string txt = work.path() + "/sentence.txt";
    std::string lines;
    for (const Sentence& s : sentences) lines += s.big5 + "\n";
    writeBytes(txt, lines);
    std::string syl;
    if (!sylLines.empty()) {
        syl = work.path() + "/sentence.syl";
        writeBytes(syl, sylLines);
    }

    quorvane::Request req;
    req.paramFile = ds.prmFile;
    req.overrides = ds.pathValues;
    const std::vector<std::pair<std::string, std::string>> run = {
        {"function", function},
        {"wavFile", audio.path},
        {"txtFile", txt},
        {"sylFile", syl},
        // The text alone decides the network and the alignment.
        {"netFile", ""},
        {"inputLabFile", ""},
        {"onlyOneSentence", function == "assess" ? "1" : "0"},
        // Diagnostic files only when asked for with --out.
        {"outputDir", work.temporary() ? "" : work.path()},
    };
    req.overrides.insert(req.overrides.end(), run.begin(), run.end());
    if (work.temporary()) req.overrides.emplace_back("getPitch", "0");

    if (o.verbose)
        quorvane::setLogSink([](const std::string& s) { fputs(s.c_str(), stderr); });
    else
        quorvane::setLogSink([](const std::string&) {});
    try {
        quorvane::Result r = quorvane::run(req);
        quorvane::setLogSink(nullptr);
        if (audio.fileRate > 0 && audio.fileRate < audio.rate)
            r.warnings.push_back("the recording's rate is " + std::to_string(audio.fileRate) + " Hz, below the " +
                                 std::to_string(audio.rate) + " Hz the data set's models are made at: nothing above " +
                                 std::to_string(audio.fileRate / 2) + " Hz was recorded, so the scores come out lower");
        return r;
    } catch (const quorvane::Error& e) {
        quorvane::setLogSink(nullptr);
        const std::string msg = withoutLocation(e.what());
        const std::string kind = quorvane::errorKindName(e.kind());
        // The level check refuses only when the data set's parameters ask
        // it to (useWaveReject); its verdicts then get the user's words.
        if (msg.rfind("Max volume too small", 0) == 0)
            throw InputError{"the recording is too quiet: " + msg, kind};
        if (msg.rfind("Min volume too big", 0) == 0)
            throw InputError{"the recording has no quiet part (no silence around the speech, or a loud background): " +
                                 msg,
                             kind};
        if (msg.rfind("Too many saturated", 0) == 0) throw InputError{"the recording is clipped: " + msg, kind};
        const std::string shortWave = "Wave too short: ";
        if (msg.rfind(shortWave, 0) == 0)
            throw InputError{"no speech: the recording is too short: " + msg.substr(shortWave.size()), kind};
        if (msg.find("readings; give its syllables explicitly") != std::string::npos)
            throw InputError{"the sentence has too many readings for --any-reading; leave out --any-reading "
                             "(the reading step reads it) or give its syllables with --pinyin",
                             "text not covered"};
        if (e.kind() == quorvane::ErrorKind::UnreadableAudio)
            throw InputError{"cannot read the audio file " + o.audio + ": " + msg, kind};
        throw InputError{msg, kind};
    }
}

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

bool isSyllable(const std::string& name) {
    return name != "sp" && name != "sil" && name != "filler" && name != "fillerC" && name != "fillerV";
}

double round4(double x) { return std::round(x * 1e4) / 1e4; }
double seconds(int frame) { return frame / 100.0; }

std::string zhuyin(const DataSet& ds, const std::string& syl) {
    auto it = ds.zhuyinOf.find(syl);
    return it == ds.zhuyinOf.end() ? "" : qv::big5ToUtf8Lenient(it->second);
}

json scoreTriple(const float (&v)[3]) { return json::array({round4(v[0]), round4(v[1]), round4(v[2])}); }

json toJson(const DataSet& ds, const quorvane::Result& r) {
    json j;
    j["score"] = round4(r.finalScore);
    j["scores"] = scoreTriple(r.finalScores);
    j["origScores"] = scoreTriple(r.origScores);
    json discounts = json::array();
    for (size_t i = 0; i < 7; ++i)
        discounts.push_back({{"reason", quorvane::kDiscountReasons[i]}, {"count", i < r.discounts.size() ? r.discounts[i] : 0}});
    j["discounts"] = discounts;
    if (!r.warnings.empty()) {
        json w = json::array();
        for (const std::string& m : r.warnings) w.push_back(qv::big5ToUtf8Lenient(m));
        j["warnings"] = w;
    }
    if (!r.skipped.empty()) {
        json sk = json::array();
        for (const std::string& c : r.skipped) sk.push_back(qv::big5ToUtf8Lenient(c));
        j["skipped"] = sk;
    }
    if (r.noSpeech) j["noSpeech"] = r.noSpeechReason;
    json syls = json::array();
    for (const quorvane::Syllable& s : r.syllables) {
        if (!isSyllable(s.name)) continue;
        if (!s.found) {
            syls.push_back({{"text", qv::big5ToUtf8Lenient(s.text)},
                            {"pinyin", s.name},
                            {"zhuyin", zhuyin(ds, s.name)},
                            {"found", false},
                            {"reason", s.reason},
                            {"start", nullptr},
                            {"end", nullptr},
                            {"score", 0},
                            {"scores", json::array({0, 0, 0})},
                            {"phones", json::array()}});
            continue;
        }
        json phones = json::array();
        for (const quorvane::Phone& p : s.phones)
            phones.push_back({{"name", p.name},
                              {"start", seconds(p.startFrame)},
                              {"end", seconds(p.endFrame + 1)},
                              {"score", round4(p.score)},
                              {"rankRatio", round4(p.rankRatio)},
                              {"competitors", p.competitors}});
        json syl = {{"text", qv::big5ToUtf8Lenient(s.text)},
                    {"pinyin", s.name},
                    {"zhuyin", zhuyin(ds, s.name)},
                    {"start", seconds(s.startFrame)},
                    {"end", seconds(s.endFrame + 1)},
                    {"score", round4(s.score)},
                    {"scores", scoreTriple(s.scores)},
                    {"phones", phones}};
        // Only syllables the tone step scored carry a tone.
        if (s.toneScore >= 0)
            syl["tone"] = {{"expected", s.toneExpected},
                           {"heard", s.toneHeard},
                           {"heardPosterior", round4(s.toneHeardPosterior)},
                           {"score", round4(s.toneScore)}};
        syls.push_back(syl);
    }
    j["syllables"] = syls;
    j["recognized"] = {{"hanyu", r.hanyu}, {"mpa", qv::big5ToUtf8Lenient(r.mpa)}, {"cgu", r.cgu}};
    j["tone"] = r.tone;
    return j;
}

void printReport(const DataSet& ds, const quorvane::Result& r) {
    printf("Score: %.2f\n", r.finalScore);
    if (r.noSpeech) printf("%s\n", r.noSpeechReason.c_str());
    for (const std::string& w : r.warnings) printf("Warning: %s\n", qv::big5ToUtf8Lenient(w).c_str());
    // Named as in the result record: finalScores after the discounts,
    // origScores before them; Score is the "model rank" one.
    const auto triple = [](const float (&v)[3]) {
        std::string s;
        for (int k = 0; k < 3; ++k)
        {
            char num[32];
            snprintf(num, sizeof(num), "%.2f", v[k]);
            s += (k ? ", " : "") + std::string(quorvane::kScoreNames[k]) + " " + num;
        }
        return s;
    };
    printf("Scores (finalScores): %s\n", triple(r.finalScores).c_str());
    printf("Before discounts (origScores): %s\n", triple(r.origScores).c_str());
    bool any = false;
    for (size_t i = 0; i < r.discounts.size() && i < 7; ++i)
        if (r.discounts[i] != 0) {
            if (!any) printf("Discounts:\n");
            any = true;
            printf("  %s: %d\n", quorvane::kDiscountReasons[i], r.discounts[i]);
        }
    if (!any) printf("Discounts: none\n");
    printf("Syllables:\n");
    for (const quorvane::Syllable& s : r.syllables) {
        if (!isSyllable(s.name)) continue;
        if (!s.found) {
            printf("  %s  %-7s %-6s not found          %6.2f  (%s)\n", qv::big5ToUtf8Lenient(s.text).c_str(),
                   s.name.c_str(), zhuyin(ds, s.name).c_str(), 0.0, s.reason.c_str());
            continue;
        }
        printf("  %s  %-7s %-6s %5.2f-%5.2f s  %6.2f", qv::big5ToUtf8Lenient(s.text).c_str(), s.name.c_str(),
               zhuyin(ds, s.name).c_str(), seconds(s.startFrame), seconds(s.endFrame + 1), s.score);
        if (s.toneScore >= 0)
            printf("  tone %6.2f (tone heard %d, expected %d; posterior %.2f)", s.toneScore, s.toneHeard,
                   s.toneExpected, s.toneHeardPosterior);
        printf("\n");
    }
}

// The syllable file of the reading step's syllables (the engine pads
// assessment texts itself; recognition candidates are padded here, see
// recogSyllables).
std::string readingLines(const std::vector<Sentence>& sentences, bool padded) {
    std::string lines;
    for (size_t i = 0; i < sentences.size(); ++i) {
        const Sentence& s = sentences[i];
        if (s.reading.syllables.size() != s.chars.size())
            throw InputError{"the reading step reads " + std::to_string(s.reading.syllables.size()) +
                             " syllable(s) where the engine sees " + std::to_string(s.chars.size()) +
                             " character(s); give the syllables with --pinyin"};
        lines += qv::syllableFileLine(s.reading.syllables, i, padded);
    }
    return lines;
}

std::vector<std::string> readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError{"cannot read text file " + path};
    std::vector<std::string> out;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // UTF-8 byte-order mark
        first = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!trimBlanks(line).empty()) out.push_back(line);
    }
    return out;
}

// Exit codes, one per kind of failure (see the help text).
int exitCode(const std::string& kind) {
    if (kind == "usage") return 2;
    if (kind == "unreadable audio") return 3;
    if (kind == "too quiet" || kind == "clipped") return 4;
    if (kind == "no speech") return 5;
    if (kind == "text not covered") return 6;
    return 1;  // data, internal
}

// The TextGrid spans the whole recording.
void writeTextGrid(const Options& o, const json& doc, double duration) {
    writeBytes(o.textGrid, qvtool::textGridOfAssessment(doc, duration));
}

int assess(const Options& o) {
    checkAudio(o.audio);
    const DataSet ds = loadDataSetWithReadings(o.data, o.standard);
    const Sentence s = checkSentence(ds, o.text, "the text");
    const std::string syl = o.pinyin.empty() ? "" : checkPinyin(ds, o.pinyin, s.chars.size());
    double duration = 0;
    const quorvane::Result r = runEngine(
        ds, o, "assess", {s}, !syl.empty() ? syl + "\t0\n" : o.anyReading ? "" : readingLines({s}, false), &duration);
    json j;
    j["text"] = s.utf8;
    j.update(toJson(ds, r));
    if (r.noSpeech) j["error"] = {{"kind", "no speech"}, {"message", r.noSpeechReason}};
    if (!o.textGrid.empty()) writeTextGrid(o, j, duration);
    if (o.json) {
        printf("%s\n", j.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    } else {
        printReport(ds, r);
    }
    return r.noSpeech ? exitCode("no speech") : 0;
}

// With --any-reading: the syllable strings of every reading of every candidate, with the
// optional pause "-sp-" between syllables (as the data set asks for in
// assessment). The engine pads only assessment texts; unpadded, a pause
// before the syllable where the candidates part must be taken by the first
// phones of the branches, and the beam can drop the branch that was spoken.
// Empty: the engine derives the syllables itself.
std::string recogSyllables(const DataSet& ds, const std::vector<Sentence>& sentences) {
    if (ds.language != "chinese" || !ds.padSyllables) return "";
    qv::textClass text = ds.rules;
    quietEngineCall([&] {
        qv::dictClass dict;
        dict.pinyinTableRead(ds.value("pyTableFile"));
        dict.wpaRead(ds.value("wpaFile"), "chinese", dict.m_wpa);
        for (const Sentence& s : sentences) text.m_txtVs.push_back(s.big5);
        text.textNormalize("chinese");
        text.text2sylChinese(dict.m_wpa);
        text.addBetweenSyllables("-sp-");
    });
    std::string lines;
    for (const std::string& entry : text.m_sylVs) lines += entry + "\n";
    return lines;
}

int recog(const Options& o) {
    checkAudio(o.audio);
    std::vector<std::string> texts = o.texts;
    if (!o.textFile.empty()) {
        const std::vector<std::string> more = readTextFile(o.textFile);
        texts.insert(texts.end(), more.begin(), more.end());
    }
    if (texts.empty()) throw InputError{"no sentences to choose from", "usage"};
    const DataSet ds = loadDataSetWithReadings(o.data, o.standard);
    std::vector<Sentence> sentences;
    for (size_t i = 0; i < texts.size(); ++i)
        sentences.push_back(checkSentence(ds, texts[i], "sentence " + std::to_string(i + 1)));
    const quorvane::Result r =
        runEngine(ds, o, "recog", sentences,
                  o.anyReading ? recogSyllables(ds, sentences)
                               : readingLines(sentences, ds.language == "chinese" && ds.padSyllables));
    if (r.noSpeech) {
        // No sentence is claimed for a recording without speech.
        if (o.json) {
            json j;
            j["index"] = nullptr;
            j.update(toJson(ds, r));
            j["error"] = {{"kind", "no speech"}, {"message", r.noSpeechReason}};
            printf("%s\n", j.dump(2, ' ', false, json::error_handler_t::replace).c_str());
        } else {
            printf("Sentence: none\n");
            printReport(ds, r);
        }
        return exitCode("no speech");
    }
    if (r.textIndex < 0 || static_cast<size_t>(r.textIndex) >= sentences.size())
        throw InputError{"the engine matched no sentence", "internal"};
    if (o.json) {
        // Sentence numbers count from 1, as the user listed them.
        json j;
        j["index"] = r.textIndex + 1;
        j["text"] = sentences[static_cast<size_t>(r.textIndex)].utf8;
        json all = json::array();
        for (int i : r.textIndices) all.push_back(i + 1);
        j["matches"] = all;
        j.update(toJson(ds, r));
        printf("%s\n", j.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    } else {
        printf("Sentence %d: %s\n", r.textIndex + 1, sentences[static_cast<size_t>(r.textIndex)].utf8.c_str());
        for (int i : r.textIndices)
            if (i != r.textIndex) printf("  (reads the same as sentence %d)\n", i + 1);
        printReport(ds, r);
    }
    return 0;
}

// quorvane readings: one line of blank-separated syllables per sentence, in
// input order; a sentence that cannot be read gives an empty line (and its
// reason on stderr), so that output lines stay paired with input lines.
struct ReadingsOptions {
    std::vector<std::string> texts;
    std::string standard = "taiwan";
    std::string data;
    bool withText = false;
    bool lexiconReadings = false;
};

int readings(const ReadingsOptions& o) {
    const DataSet ds = loadDataSetWithReadings(o.data, o.standard);
    int failed = 0;
    size_t lineNo = 0;
    const auto one = [&](std::string text) {
        ++lineNo;
        if (lineNo == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // UTF-8 byte-order mark
        if (!text.empty() && text.back() == '\r') text.pop_back();
        std::string out;
        try {
            const qv::sentenceReading r = ds.reading->read(text);
            for (const std::string& syl : o.lexiconReadings ? r.lexicon : r.syllables)
                out += (out.empty() ? "" : " ") + syl;
            if (o.withText) out = qv::big5ToUtf8Lenient(r.big5) + "\t" + out;
        } catch (const qv::readingError& e) {
            ++failed;
            fprintf(stderr, "quorvane: %s %zu: %s\n", o.texts.empty() ? "line" : "text", lineNo, e.what());
            if (o.withText) out = text + "\t";
        }
        fputs((out + "\n").c_str(), stdout);
    };
    if (!o.texts.empty()) {
        for (const std::string& t : o.texts) one(t);
    } else {
        for (std::string line; std::getline(std::cin, line);) one(line);
    }
    return failed ? 1 : 0;
}

const char* const kExitCodes =
    "Exit codes: 0 scored; 1 data set or internal error; 2 usage error; 3 unreadable audio; 4 the recording\n"
    "refused for its level (too quiet, clipped: only when the data set's parameters set useWaveReject = 1);\n"
    "5 no speech (the result is still printed, with score 0); 6 text not covered by the data set.\n"
    "With --json an error is printed on standard output as {\"error\": {\"kind\": ..., \"message\": ...}},\n"
    "kind one of: usage, unreadable audio, too quiet, clipped, no speech, text not covered, data, internal.";

// One failure: a JSON object on standard output with --json, else one line
// on standard error.
int reportError(bool asJson, const std::string& kind, const std::string& message) {
    fflush(stdout);
    if (asJson) {
        const json j = {{"error", {{"kind", kind}, {"message", message}}}};
        printf("%s\n", j.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    } else {
        fprintf(stderr, "quorvane: %s\n", message.c_str());
    }
    return exitCode(kind);
}

void addReadingOptions(CLI::App* cmd, Options& o) {
    cmd->add_option("--standard", o.standard,
                    "readings of the expected syllables: taiwan (default, the data set's) or mainland (Putonghua)");
    cmd->add_flag("--any-reading", o.anyReading,
                  "let the search choose among all readings of every character instead of the reading step");
}

void addCommonOptions(CLI::App* cmd, Options& o) {
    cmd->add_option("AUDIO", o.audio, "recording: WAV (PCM, float, A-law, mu-law), FLAC, Ogg, MP3 and the other formats of libsndfile, any rate and channels; .flv; .raw (headerless 16 kHz 16-bit)")->required();
    cmd->add_flag("--json", o.json, "print one JSON document instead of the report");
    cmd->add_option("--data", o.data,
                    "data folder holding chinese.sa.prm (default: ./telvoDataChinese, else the first "
                    "telvoDataChinese in the folders above the program)");
    cmd->add_option("--out", o.out, "folder for the engine's diagnostic files (default: none are kept)");
    cmd->add_flag("--verbose,-v", o.verbose, "show the engine's progress lines on standard error");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"QUORVANE: pronunciation assessment of spoken Mandarin"};
    app.require_subcommand(1);
    app.footer(kExitCodes);
    bool jsonAsked = false;  // known before parsing, for the usage errors
    for (int i = 1; i < argc; ++i) jsonAsked = jsonAsked || std::string(argv[i]) == "--json";
    Options o;

    CLI::App* assessCmd = app.add_subcommand("assess", "score how well AUDIO reads the text");
    addCommonOptions(assessCmd, o);
    assessCmd->add_option("--text,-t", o.text, "the sentence read aloud (UTF-8)")->required();
    assessCmd->add_option("--pinyin,-p", o.pinyin,
                          "its syllables, one per character, e.g. \"ni3 hao3\" (overrides the reading step)");
    assessCmd->add_option("--textgrid", o.textGrid,
                          "also write the alignment as a Praat TextGrid (tiers syllables, characters, phones)");
    addReadingOptions(assessCmd, o);


    CLI::App* recogCmd = app.add_subcommand("recog", "tell which of several sentences AUDIO reads");
    addCommonOptions(recogCmd, o);
    recogCmd->add_option("--text,-t", o.texts, "a candidate sentence (UTF-8); repeat for each");
    recogCmd->add_option("--text-file", o.textFile, "a UTF-8 file with one candidate sentence per line");
    addReadingOptions(recogCmd, o);

    ReadingsOptions ro;
    CLI::App* readingsCmd =
        app.add_subcommand("readings", "print the syllables of sentences (UTF-8, Simplified or Traditional), one line each");
    readingsCmd->add_option("--text,-t", ro.texts, "a sentence; repeat for each (default: one per line on stdin)");
    readingsCmd->add_option("--standard", ro.standard, "taiwan (default) or mainland");
    readingsCmd->add_option("--data", ro.data, "data folder holding chinese.sa.prm (as for assess)");
    readingsCmd->add_flag("--with-text", ro.withText, "print the Traditional text and a tab before the syllables");
    readingsCmd->add_flag("--lexicon-readings", ro.lexiconReadings, "print the readings before the tone changes");

    try {
        app.parse(argc, argv);
        if (recogCmd->parsed() && o.texts.empty() && o.textFile.empty())
            throw CLI::RequiredError("--text or --text-file");
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (jsonAsked) return reportError(true, "usage", e.what());
        app.exit(e);
        return 2;
    }

    try {
        if (readingsCmd->parsed()) return readings(ro);
        return assessCmd->parsed() ? assess(o) : recog(o);
    } catch (const InputError& e) {
        return reportError(o.json, e.kind, e.message);
    } catch (const std::exception& e) {
        return reportError(o.json, "internal", e.what());
    }
}
