// The engine object over the shipped data set: the same scores as one-shot
// runs, memory input, per-call logs and files, refusals, and concurrent calls
// on one engine (this test also runs under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/frontend/audioFile.h"
#include "quorvane.h"
#include "quorvane_engine.h"
#include "support/testutil.h"

namespace fs = std::filesystem;

namespace {

const std::string kData = std::string(QV_SOURCE_DIR) + "/telvoDataChinese";
const char* const kSamples[] = {"laoshi", "tianqi", "woaini", "xuexi"};

std::string sample(const std::string& name, const char* ext) { return kData + "/samples/" + name + ext; }

std::string utf8Text(const std::string& name) {
    std::string t = qvtest::readFile(sample(name, ".utf8.txt"));
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    return t;
}

quorvane::Input fileInput(const std::string& name) {
    quorvane::Input in;
    in.audioFile = sample(name, ".wav");
    in.text = utf8Text(name);
    return in;
}

// Fails the test when anything reaches the process-wide sink.
struct SilentProcess {
    std::atomic<int> lines{0};
    SilentProcess() {
        quorvane::setLogSink([this](const std::string&) { ++lines; });
    }
    ~SilentProcess() { quorvane::setLogSink(nullptr); }
};

// The shipped parameter file with its relative paths made absolute, for
// one-shot runs from any folder.
std::string absoluteParamFile(const std::string& path) {
    std::ifstream in(kData + "/chinese.sa.prm");
    std::string out, line;
    while (std::getline(in, line)) {
        const size_t eq = line.find(" = ");
        if (eq != std::string::npos && line.compare(eq + 3, 17, "telvoDataChinese/") == 0)
            line.insert(eq + 3, std::string(QV_SOURCE_DIR) + "/");
        out += line + "\n";
    }
    qvtest::writeFile(path, out);
    return path;
}

const quorvane::Engine& shippedEngine() {
    static const quorvane::Engine engine(kData);
    return engine;
}

void expectSameResult(const quorvane::Result& a, const quorvane::Result& b) {
    EXPECT_EQ(a.finalScore, b.finalScore);
    EXPECT_EQ(a.origScore, b.origScore);
    EXPECT_EQ(a.recognized, b.recognized);
    EXPECT_EQ(a.tone, b.tone);
    EXPECT_EQ(a.warnings, b.warnings);
    ASSERT_EQ(a.syllables.size(), b.syllables.size());
    for (size_t i = 0; i < a.syllables.size(); ++i) {
        EXPECT_EQ(a.syllables[i].name, b.syllables[i].name);
        EXPECT_EQ(a.syllables[i].startFrame, b.syllables[i].startFrame);
        EXPECT_EQ(a.syllables[i].score, b.syllables[i].score);
        EXPECT_EQ(a.syllables[i].toneHeard, b.syllables[i].toneHeard);
        EXPECT_EQ(a.syllables[i].toneScore, b.syllables[i].toneScore);
    }
}

}  // namespace

TEST(Engine, ScoresAsOneShotRunsDoWithoutPrintingOrWriting) {
    SilentProcess process;
    qvtest::ScratchDir dir;
    qvtest::TempDirEnv temp(dir.path());
    const quorvane::Engine& engine = shippedEngine();
    for (const char* name : {"laoshi", "woaini"}) {
        quorvane::Result r = engine.assess(fileInput(name));
        // The one-shot run over the same file, paths made absolute.
        quorvane::Request req;
        req.paramFile = absoluteParamFile(dir.file("abs.prm"));
        req.overrides = {{"wavFile", sample(name, ".wav")}, {"txtFile", sample(name, ".txt")}, {"outputDir", ""}};
        const int before = process.lines;
        quorvane::Result once = quorvane::run(req);
        EXPECT_GT(process.lines, before);
        expectSameResult(r, once);
        EXPECT_GT(r.finalScore, 50) << name;
        // Texts come back in UTF-8, times in seconds.
        std::string chars;
        for (const auto& s : r.syllables) chars += s.text;
        EXPECT_EQ(chars, utf8Text(name));
        ASSERT_FALSE(r.texts.empty());
        EXPECT_EQ(r.texts[0], utf8Text(name));
        for (const auto& s : r.syllables) EXPECT_DOUBLE_EQ(s.endTime, (s.endFrame + 1) * 0.01);
        // The shipped parameters name a tone model: the engine hears tones.
        int toned = 0;
        for (const auto& s : r.syllables) toned += s.toneScore >= 0 && s.toneHeard >= 1 && s.toneExpected >= 1;
        EXPECT_GT(toned, 0) << name;
    }
    // One-shot runs leave their missing-model list in the temporary folder.
    for (const auto& e : fs::directory_iterator(dir.path())) fs::remove(e.path());
    process.lines = 0;
    engine.assess(fileInput("xuexi"));
    EXPECT_EQ(process.lines, 0);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Engine, MemoryInputSyllablesAndOutputFolder) {
    const quorvane::Engine& engine = shippedEngine();
    const quorvane::Result fromFile = engine.assess(fileInput("tianqi"));

    qv::waveSignal wave = qv::readAudioFile(sample("tianqi", ".wav"));
    quorvane::Input mem;
    mem.samples.assign(wave.signal.begin(), wave.signal.end());
    mem.sampleRate = wave.fs;
    mem.text = utf8Text("tianqi");
    expectSameResult(engine.assess(mem), fromFile);

    // A level problem that leaves a score is a warning, as in a one-shot run.
    quorvane::Input quiet = mem;
    for (int16_t& v : quiet.samples) v = static_cast<int16_t>(v / 16);
    const quorvane::Result q = engine.assess(quiet);
    ASSERT_FALSE(q.warnings.empty());
    EXPECT_NE(q.warnings[0].find("too quiet"), std::string::npos) << q.warnings[0];

    // Given syllables replace the readings of the text.
    std::string syl = qvtest::readFile(sample("tianqi", ".syl.txt"));
    while (!syl.empty() && (syl.back() == '\n' || syl.back() == '\r')) syl.pop_back();
    for (char& c : syl)
        if (c == ' ') c = '-';
    quorvane::Input given = fileInput("tianqi");
    given.syllables = {syl};
    const quorvane::Result withSyllables = engine.assess(given);
    EXPECT_EQ(withSyllables.finalScore, fromFile.finalScore);
    EXPECT_EQ(withSyllables.tone, fromFile.tone);  // the tones come from the given syllables
    EXPECT_EQ(withSyllables.tone, "1-4");

    // A log and an output folder for one call only.
    qvtest::ScratchDir dir;
    quorvane::Input logged = fileInput("tianqi");
    logged.outputDir = dir.path();
    std::vector<std::pair<quorvane::LogLevel, std::string>> lines;
    logged.log = [&](quorvane::LogLevel level, const std::string& line) { lines.emplace_back(level, line); };
    engine.assess(logged);
    EXPECT_TRUE(fs::exists(dir.file("cm.xml")));
    EXPECT_TRUE(fs::exists(dir.file("recogResult.txt")));
    EXPECT_TRUE(fs::exists(dir.file("tone.txt")));
    bool viterbi = false;
    for (const auto& l : lines) {
        EXPECT_EQ(l.second.find('\n'), std::string::npos);
        if (l.second.find("sec: Viterbi search") != std::string::npos) viterbi = l.first == quorvane::LogLevel::Info;
    }
    EXPECT_TRUE(viterbi);
}

TEST(Engine, RefusesWhatItCannotDo) {
    const quorvane::Engine& engine = shippedEngine();
    auto message = [&](const quorvane::Input& in) {
        try {
            engine.assess(in);
        } catch (const quorvane::Error& e) {
            return std::string(e.what());
        }
        return std::string("<no error>");
    };
    quorvane::Input in = fileInput("laoshi");
    in.overrides = {{"macFile", "other.mac"}};
    EXPECT_NE(message(in).find("macFile selects loaded data"), std::string::npos);
    in = fileInput("laoshi");
    in.audioFile = "/nonexistent.wav";
    EXPECT_NE(message(in), "<no error>");
    in = fileInput("laoshi");
    in.text = "\xF0\x9F\x98\x80";  // no Big5 form
    EXPECT_NE(message(in), "<no error>");
    in = fileInput("laoshi");
    in.text.clear();
    EXPECT_NE(message(in).find("no expected text"), std::string::npos);
    EXPECT_THROW(quorvane::Engine("/nonexistent/folder"), quorvane::Error);
    // The engine still works after refusals.
    EXPECT_GT(engine.assess(fileInput("laoshi")).finalScore, 50);
}

TEST(Engine, ConcurrentCallsShareTheLoadedDataAndAgreeWithSequentialOnes) {
    const quorvane::Engine& engine = shippedEngine();
    std::vector<quorvane::Result> expected;
    for (const char* name : kSamples) expected.push_back(engine.assess(fileInput(name)));
    constexpr int kThreads = 4;
    std::vector<std::vector<quorvane::Result>> got(kThreads);
    std::vector<int> logLines(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 2; ++k) {
                quorvane::Input in = fileInput(kSamples[(t + k) % 4]);
                in.log = [&, t](quorvane::LogLevel, const std::string&) { ++logLines[t]; };
                got[t].push_back(engine.assess(in));
            }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_GT(logLines[t], 20);
        for (int k = 0; k < 2; ++k) expectSameResult(got[t][k], expected[(t + k) % 4]);
    }
}
