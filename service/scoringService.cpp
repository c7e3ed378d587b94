#include "service/scoringService.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "audioimport/audioImport.h"
#include "engine/frontend/audioFile.h"
#include "engine/frontend/lib/tonePitch.h"
#include "engine/utility.h"
#include "platform/codePage.h"
#include "tools/common/textGrid.h"
#include "tools/common/toolText.h"

namespace qvservice {

namespace fs = std::filesystem;
using qvtool::trimBlanks;

namespace {

const char* const kPrmName = "chinese.sa.prm";

std::string withoutLocation(std::string msg) {
    // Engine messages end with the reporting source line; clients have no use for it.
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

}  // namespace

Recording::Recording(const Audio& audio, int rate) {
    std::string tmpl = (fs::temp_directory_path() / "quorvane-server.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw ServiceError{"internal", "cannot create a temporary folder"};
    m_dir = tmpl;
    // Named so that the engine's own reader takes WAV and FLV as they are;
    // anything else goes to libsndfile, which tells formats by their bytes.
    const std::string format = audioFormat(audio.bytes);
    const std::string upload = m_dir + "/upload." + (format.empty() ? "audio" : format);
    {
        std::ofstream out(upload, std::ios::binary);
        out.write(audio.bytes.data(), static_cast<std::streamsize>(audio.bytes.size()));
        if (!out) throw ServiceError{"internal", "cannot write a temporary file"};
    }
    try {
        qv::ThreadConsoleScope quiet([](const std::string&) {});
        const qv::importedAudio a = qv::importAudio(upload, rate, m_dir);
        m_path = a.path;
        m_seconds = a.seconds;
        m_fileRate = a.fileRate;
        m_rate = a.rate;
    } catch (const std::exception& e) {
        std::string msg = withoutLocation(e.what());
        for (size_t p; (p = msg.find(upload)) != std::string::npos;) msg.replace(p, upload.size(), "the upload");
        if (format.empty())
            throw ServiceError{"unsupported audio", "not a recording the server can read (WAV, FLAC, Ogg, MP3, FLV): " + msg};
        throw ServiceError{"unreadable audio", "cannot read the audio: " + msg};
    }
}

Recording::~Recording() {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

namespace {

bool isSyllable(const std::string& name) {
    return name != "sp" && name != "sil" && name != "filler" && name != "fillerC" && name != "fillerV";
}

double round4(double x) { return std::round(x * 1e4) / 1e4; }
double frameSeconds(int frame) { return frame / 100.0; }
json scoreTriple(const float (&v)[3]) { return json::array({round4(v[0]), round4(v[1]), round4(v[2])}); }

}  // namespace

std::string audioFormat(const std::string& b) {
    if (b.size() >= 12 && b.compare(0, 4, "RIFF") == 0 && b.compare(8, 4, "WAVE") == 0) return "wav";
    if (b.size() >= 9 && b.compare(0, 3, "FLV") == 0) return "flv";
    return "";
}

ScoringService::ScoringService(const std::string& dataDir, const std::string& standard) {
    qv::readingStandard std;
    if (!qv::parseReadingStandard(standard, std))
        throw ServiceError{"usage", "--standard must be taiwan or mainland, not \"" + standard + "\""};
    std::error_code ec;
    fs::path dir = fs::absolute(dataDir).lexically_normal();
    if (dir.filename().empty()) dir = dir.parent_path();
    if (!fs::is_regular_file(dir / kPrmName, ec))
        throw ServiceError{"data", "no data set in " + dataDir + " (" + kPrmName + " not found)"};
    m_dataDir = dir.string();
    try {
        m_engine = std::make_unique<quorvane::Engine>(m_dataDir);
    } catch (const quorvane::Error& e) {
        throw ServiceError{"data", withoutLocation(e.what())};
    }
    // The tables the tool checks texts with, the paths resolved as the
    // engine resolves them (against the installation folder above the data
    // folder, else the data folder).
    std::map<std::string, std::string> values;
    try {
        for (std::string line : qvtool::readDataLines((dir / kPrmName).string(), 0)) {
            const size_t pct = line.find('%');
            if (pct != std::string::npos) line.erase(pct);
            const size_t eq = line.find('=');
            if (eq != std::string::npos) values[trimBlanks(line.substr(0, eq))] = trimBlanks(line.substr(eq + 1));
        }
        const auto path = [&](const std::string& key) {
            const fs::path p(values[key]);
            if (p.is_absolute()) return p.string();
            std::error_code e;
            if (fs::exists(dir.parent_path() / p, e)) return (dir.parent_path() / p).lexically_normal().string();
            return (dir / p).lexically_normal().string();
        };
        if (values.count("usePaddedHardSp")) m_padSyllables = values["usePaddedHardSp"] == "1";
        m_rate = qv::featureSampleRate(path("featureConfigFile"));
        for (const std::string& line : qvtool::readDataLines(path("wpaFile"), '%'))
            m_characters.insert(line.substr(0, line.find('\t')));
        for (const std::string& line : qvtool::readDataLines(path("pyTableFile"), 0)) {
            const std::vector<std::string> cols = qvtool::splitAt(line, '\t');
            if (cols.size() >= 4) m_zhuyinOf.emplace(cols[3], cols[2]);
        }
        qv::ThreadConsoleScope quiet([](const std::string&) {});
        m_rules.tnmRead(path("tnmFile"));
        m_reading = qv::readingStep::shared(path("wpaFile"), path("pyTableFile"), std);
    } catch (const qvtool::InputError& e) {
        throw ServiceError{"data", e.message};
    } catch (const std::exception& e) {
        throw ServiceError{"data", withoutLocation(e.what())};
    }
}

json ScoringService::pitchTrack(const Recording& audio) const {
    qv::waveSignal w;
    try {
        qv::ThreadConsoleScope quiet([](const std::string&) {});
        w = qv::readAudioFile(audio.path());
    } catch (const std::exception& e) {
        throw ServiceError{"unreadable audio", "cannot read the audio: " + withoutLocation(e.what())};
    }
    const qv::tonePitchParam prm = qv::tonePitchDefaults(w.fs);
    const qv::tonePitchTrack track = qv::tonePitchTracking(w.signal.data(), w.sampleNum, prm);
    json values = json::array();
    for (float f : track.f0) values.push_back(std::round(f * 10.0) / 10.0);
    // Frame t is centred on sample (t + 1) * hop.
    const double step = static_cast<double>(prm.hop) / w.fs;
    return {{"start", step}, {"step", step}, {"values", values}};
}

std::unique_ptr<Recording> ScoringService::prepare(const Audio& audio) const {
    return std::make_unique<Recording>(audio, m_rate);
}

std::string ScoringService::zhuyin(const std::string& syl) const {
    auto it = m_zhuyinOf.find(syl);
    return it == m_zhuyinOf.end() ? "" : qv::big5ToUtf8Lenient(it->second);
}

// As the command-line tool checks its --text (same messages and kinds).
ScoringService::Sentence ScoringService::checkSentence(const std::string& utf8, const std::string& label) const {
    Sentence s;
    s.utf8 = utf8;
    if (utf8.find_first_of("\t\r\n") != std::string::npos)
        throw ServiceError{"usage", label + " must be a single line without tabs"};
    if (trimBlanks(utf8).empty()) throw ServiceError{"usage", label + " is empty"};
    std::string n;
    {
        const std::lock_guard<std::mutex> lock(m_textMutex);
        try {
            s.reading = m_reading->read(utf8);  // Simplified text comes back Traditional
            s.big5 = s.reading.big5;
        } catch (const qv::readingError& e) {
            throw ServiceError{"text not covered", label + ": " + e.what()};
        }
        n = s.big5;
        m_rules.normalizeString(n, "chinese");
    }
    if (trimBlanks(n).empty()) throw ServiceError{"usage", label + " is empty (nothing to read once punctuation is removed)"};
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
        throw ServiceError{"text not covered", label + " contains " + list +
                                                   ", which is not a Chinese character (write letters and numbers in Chinese characters)"};
    }
    std::vector<std::string> kept, missing;
    for (const std::string& c : s.chars)
        if (m_characters.count(c) || static_cast<unsigned char>(c[0]) != 0xA1) kept.push_back(c);
    s.chars = kept;
    if (s.chars.empty()) throw ServiceError{"usage", label + " is empty (nothing to read once punctuation is removed)"};
    for (const std::string& c : s.chars)
        if (!m_characters.count(c)) {
            const std::string u = qv::big5ToUtf8Lenient(c);
            bool seen = false;
            for (const auto& m : missing) seen = seen || m == u;
            if (!seen) missing.push_back(u);
        }
    if (!missing.empty()) {
        std::string list;
        for (const auto& c : missing) list += (list.empty() ? "" : " ") + c;
        throw ServiceError{"text not covered", label + ": no reading in the word table for " + list};
    }
    if (s.reading.syllables.size() != s.chars.size())
        throw ServiceError{"text not covered", "the reading step reads " + std::to_string(s.reading.syllables.size()) +
                                                   " syllable(s) where the engine sees " + std::to_string(s.chars.size()) +
                                                   " character(s); give the syllables as pinyin"};
    return s;
}

// "ni3 hao3" (or "ni3-hao3") -> "ni3-hao3", one syllable per character.
std::string ScoringService::checkPinyin(const std::string& pinyin, size_t charCount) const {
    std::string s = pinyin;
    for (size_t p; (p = s.find("\xC3\xBC")) != std::string::npos;) s.replace(p, 2, "v");  // ü
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '-' || c == '\t' || c == ',' || c == '+') c = ' ';
    }
    std::vector<std::string> syls;
    std::istringstream in(s);
    for (std::string w; in >> w;) syls.push_back(w);
    for (const std::string& w : syls)
        if (!m_zhuyinOf.empty() && !m_zhuyinOf.count(w))
            throw ServiceError{"text not covered", "pinyin: unknown syllable \"" + w +
                                                       "\" (write Hanyu Pinyin with a tone digit 1-5, e.g. ni3)"};
    if (syls.size() != charCount)
        throw ServiceError{"usage", "pinyin gives " + std::to_string(syls.size()) + " syllable(s) for " +
                                        std::to_string(charCount) + " character(s)"};
    std::string joined;
    for (const std::string& w : syls) joined += (joined.empty() ? "" : "-") + w;
    return joined;
}

quorvane::Result ScoringService::run(const Recording& audio, const std::vector<std::string>& texts,
                                     const std::vector<std::string>& syllables, bool recognise) const {
    quorvane::Input in;
    in.audioFile = audio.path();
    for (const std::string& t : texts) in.text += (in.text.empty() ? "" : "\n") + t;
    in.syllables = syllables;
    in.overrides = {{"getPitch", "0"}};
    try {
        quorvane::Result r = recognise ? m_engine->recognise(in) : m_engine->assess(in);
        // As the tool warns.
        if (audio.fileRate() > 0 && audio.fileRate() < audio.rate())
            r.warnings.push_back("the recording's rate is " + std::to_string(audio.fileRate()) + " Hz, below the " +
                                 std::to_string(audio.rate()) + " Hz the data set's models are made at: nothing above " +
                                 std::to_string(audio.fileRate() / 2) + " Hz was recorded, so the scores come out lower");
        return r;
    } catch (const quorvane::Error& e) {
        const std::string msg = withoutLocation(e.what());
        const std::string kind = quorvane::errorKindName(e.kind());
        if (msg.rfind("Max volume too small", 0) == 0) throw ServiceError{kind, "the recording is too quiet: " + msg};
        if (msg.rfind("Min volume too big", 0) == 0)
            throw ServiceError{kind, "the recording has no quiet part (no silence around the speech, or a loud background): " + msg};
        if (msg.rfind("Too many saturated", 0) == 0) throw ServiceError{kind, "the recording is clipped: " + msg};
        const std::string shortWave = "Wave too short: ";
        if (msg.rfind(shortWave, 0) == 0)
            throw ServiceError{kind, "no speech: the recording is too short: " + msg.substr(shortWave.size())};
        if (e.kind() == quorvane::ErrorKind::UnreadableAudio)
            throw ServiceError{kind, "cannot read the audio: " + msg};
        throw ServiceError{kind, msg};
    }
}

// The fields of the tool's document after "text"/"index" (the engine's
// texts are UTF-8 already).
json ScoringService::document(const quorvane::Result& r) const {
    json j;
    j["score"] = round4(r.finalScore);
    j["scores"] = scoreTriple(r.finalScores);
    j["origScores"] = scoreTriple(r.origScores);
    json discounts = json::array();
    for (size_t i = 0; i < 7; ++i)
        discounts.push_back({{"reason", quorvane::kDiscountReasons[i]}, {"count", i < r.discounts.size() ? r.discounts[i] : 0}});
    j["discounts"] = discounts;
    if (!r.warnings.empty()) j["warnings"] = r.warnings;
    if (!r.skipped.empty()) j["skipped"] = r.skipped;
    if (r.noSpeech) j["noSpeech"] = r.noSpeechReason;
    json syls = json::array();
    for (const quorvane::Syllable& s : r.syllables) {
        if (!isSyllable(s.name)) continue;
        if (!s.found) {
            syls.push_back({{"text", s.text},
                            {"pinyin", s.name},
                            {"zhuyin", zhuyin(s.name)},
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
                              {"start", frameSeconds(p.startFrame)},
                              {"end", frameSeconds(p.endFrame + 1)},
                              {"score", round4(p.score)},
                              {"rankRatio", round4(p.rankRatio)},
                              {"competitors", p.competitors}});
        json syl = {{"text", s.text},
                    {"pinyin", s.name},
                    {"zhuyin", zhuyin(s.name)},
                    {"start", frameSeconds(s.startFrame)},
                    {"end", frameSeconds(s.endFrame + 1)},
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
    j["recognized"] = {{"hanyu", r.hanyu}, {"mpa", r.mpa}, {"cgu", r.cgu}};
    j["tone"] = r.tone;
    return j;
}

json ScoringService::assess(const Recording& audio, const std::string& text, const std::string& pinyin, bool textGrid,
                           bool pitch) const {
    const Sentence s = checkSentence(text, "the text");
    const std::string syl = pinyin.empty() ? "" : checkPinyin(pinyin, s.chars.size());
    std::string line = syl;
    if (line.empty()) {
        line = qv::syllableFileLine(s.reading.syllables, 0, false);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    } else {
        line += "\t0";
    }
    const quorvane::Result r = run(audio, {qv::big5ToUtf8Lenient(s.big5)}, {line}, false);
    json j;
    j["text"] = s.utf8;
    j.update(document(r));
    if (r.noSpeech) {
        j["error"] = {{"kind", "no speech"}, {"message", r.noSpeechReason}};
        throw ServiceError{"no speech", r.noSpeechReason, j};
    }
    if (textGrid) j["textgrid"] = qvtool::textGridOfAssessment(j, audio.seconds());
    if (pitch) j["pitch"] = pitchTrack(audio);
    return j;
}

json ScoringService::recog(const Recording& audio, const std::vector<std::string>& texts) const {
    if (texts.empty()) throw ServiceError{"usage", "no sentences to choose from"};
    std::vector<Sentence> sentences;
    std::vector<std::string> utf8, lines;
    for (size_t i = 0; i < texts.size(); ++i) {
        sentences.push_back(checkSentence(texts[i], "sentence " + std::to_string(i + 1)));
        utf8.push_back(qv::big5ToUtf8Lenient(sentences.back().big5));
        std::string line = qv::syllableFileLine(sentences.back().reading.syllables, i, m_padSyllables);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        lines.push_back(line);
    }
    const quorvane::Result r = run(audio, utf8, lines, true);
    json j;
    if (r.noSpeech) {
        j["index"] = nullptr;
        j.update(document(r));
        j["error"] = {{"kind", "no speech"}, {"message", r.noSpeechReason}};
        throw ServiceError{"no speech", r.noSpeechReason, j};
    }
    if (r.textIndex < 0 || static_cast<size_t>(r.textIndex) >= sentences.size())
        throw ServiceError{"internal", "the engine matched no sentence"};
    j["index"] = r.textIndex + 1;
    j["text"] = sentences[static_cast<size_t>(r.textIndex)].utf8;
    json all = json::array();
    for (int i : r.textIndices) all.push_back(i + 1);
    j["matches"] = all;
    j.update(document(r));
    return j;
}

json ScoringService::readings(const std::string& text) const {
    const Sentence s = checkSentence(text, "the text");
    json chars = json::array();
    for (size_t i = 0; i < s.reading.chars.size() && i < s.reading.syllables.size(); ++i)
        chars.push_back({{"text", qv::big5ToUtf8Lenient(s.reading.chars[i])},
                         {"pinyin", s.reading.syllables[i]},
                         {"zhuyin", zhuyin(s.reading.syllables[i])}});
    return {{"text", s.utf8}, {"traditional", qv::big5ToUtf8Lenient(s.big5)}, {"characters", chars}};
}

}  // namespace qvservice
