#include "control/Record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/wave.h"
#include "platform/codePage.h"
#include "platform/window.h"
#include "quorvane_control.h"
#include "support/captureutil.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ControlHome;
using qvtest::ScopedEnv;

namespace {

// Records every event with the thread it arrived on.
class Sink : public IRecordEvents {
public:
    void Finish_Recog(int32_t score) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        scores.push_back(score);
        threads.push_back(std::this_thread::get_id());
        m_cv.notify_all();
    }
    // Waits until `n` events have arrived (false after `seconds`).
    bool waitFor(size_t n, double seconds = 10) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return scores.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return scores.size();
    }
    std::vector<int32_t> scores;
    std::vector<std::thread::id> threads;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

bool waitIdle(CRecord& rec, double seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (rec.IsBusy()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A home whose capture device plays `segments` (fast unless realTime).
struct JobSetup {
    ControlHome home;
    std::unique_ptr<ScopedEnv> device;
    explicit JobSetup(const std::vector<qvtest::Segment>& segments, bool realTime = false) {
        qvtest::writeToneWav(home.data("in.wav"), segments);
        device = std::make_unique<ScopedEnv>("QUORVANE_WAVEIN",
                                             ((realTime ? "file:" : "file-fast:") + home.data("in.wav")).c_str());
    }
};

size_t find(const std::string& hay, const std::string& needle, size_t from = 0) { return hay.find(needle, from); }

}  // namespace

TEST(Control, ConstructorEntersInstallFolderAndScoreStartsAtZero) {
    ControlHome home;
    CRecord rec;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    EXPECT_EQ(std::filesystem::canonical(cwd), std::filesystem::canonical(home.root()));
    int32_t score = 123;
    EXPECT_EQ(rec.GetScore(&score), S_OK);
    EXPECT_EQ(score, 0);
    EXPECT_EQ(rec.GetScore(nullptr), E_POINTER);
    EXPECT_EQ(rec.StopRecord(), S_OK);  // nothing running: no effect
    EXPECT_FALSE(rec.IsBusy());
}

TEST(Control, InstallFolderFallsBackToProgramFiles) {
    ControlHome home;
    std::filesystem::create_directories(home.root() + "/pf/QUORVANE");
    ScopedEnv noHome("QUORVANE_HOME", nullptr);
    ScopedEnv pf("ProgramFiles", (home.root() + "/pf").c_str());
    CRecord rec;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    EXPECT_EQ(std::filesystem::canonical(cwd), std::filesystem::canonical(home.root() + "/pf/QUORVANE"));
}

TEST(Control, FailedAssessmentReportsNoScoreAndKeepsTheHostAlive) {
    JobSetup job({{300, 0}, {600, 10000}});
    // No chinese.sa.prm: the engine run fails.
    CRecord rec;
    auto sink = std::make_shared<Sink>();
    uint32_t cookie = 0;
    ASSERT_EQ(rec.Advise(sink, &cookie), S_OK);
    ASSERT_EQ(rec.StartRecord(5, L"今天天氣很好"), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    ASSERT_TRUE(waitIdle(rec));
    ASSERT_EQ(sink->scores.size(), 1u);
    EXPECT_EQ(sink->scores[0], kNoScore);
    EXPECT_NE(sink->threads[0], std::this_thread::get_id());  // no window: the job thread
    int32_t score = 0;
    rec.GetScore(&score);
    EXPECT_EQ(score, kNoScore);

    // The recording: 16 kHz 16-bit, tone then 0.3 s of silence.
    CWave wave;
    ASSERT_TRUE(wave.load(job.home.data("output/activex_wav.wav")));
    EXPECT_EQ(wave.sampleRate(), 16000);
    EXPECT_EQ(wave.bitsPerSample(), 16);
    EXPECT_GE(wave.dataSize() / 2, 900 * 16);
    EXPECT_LE(wave.dataSize() / 2, 1300 * 16);
    // The sentence in Big5, no line feed.
    EXPECT_EQ(qvtest::readFile(job.home.data("output/activex_txt.txt")),
              "\xA4\xB5\xA4\xD1\xA4\xD1\xAE\xF0\xAB\xDC\xA6\x6E");

    const std::string log = job.home.log();
    const char* steps[] = {"Record(): recordParamRead() done.\n",
                           "Record(): record started, hanging.\n",
                           "Record(): record stopped.\n",
                           "Record(): record saved.\n",
                           "Record(): wave deleted.\n",
                           "Recog(): open txt file done.\n",
                           "Recog(): write sentence to file done.\n",
                           "Recog(): read recog param done.\n",
                           "Recog(): strcpy done, about to call recogViaTreeLexicon().\n",
                           "Error message thrown out from recogViaTreeLexicon():\n",
                           "telvoDataChinese/chinese.sa.prm"};
    size_t pos = 0;
    for (const char* step : steps) {
        pos = find(log, step, pos);
        ASSERT_NE(pos, std::string::npos) << step << "\n" << log;
    }
    EXPECT_EQ(find(log, "Recog(): recog task done."), std::string::npos);
    // Every line: "YYYY/MM/DD Day HH:MM:SS --  : text".
    std::regex line(R"(\d{4}/\d{2}/\d{2} [A-Z][a-z]{2} \d{2}:\d{2}:\d{2} --  : .*)");
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);) EXPECT_TRUE(std::regex_match(l, line)) << l;
}

TEST(Control, ErrorsOutsideTheEngineRunEndTheJobTheSameWay) {
    struct Case {
        const char* name;
        int seconds;
        const char* recordPrm;  // nullptr: keep the good one
        const char* device;     // nullptr: the tone file
        const char* logged;
    };
    const Case cases[] = {
        {"unknown key", 5, "fs = 16000\nbogus = 1\n", nullptr, "Error message thrown out from recordParamRead():\n"},
        {"no device", 5, nullptr, "file-fast:/nonexistent.wav",
         "Error message thrown out from recordWithSilenceLimit():\n"},
        {"zero seconds", 0, nullptr, nullptr, "Error message thrown out from Record():\n"},
        {"negative seconds", -3, nullptr, nullptr, "Error message thrown out from Record():\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JobSetup job({{300, 0}, {300, 10000}});
        if (c.recordPrm) qvtest::writeFile(job.home.data("recording.prm"), c.recordPrm);
        ScopedEnv dev("QUORVANE_WAVEIN", c.device ? c.device : getenv("QUORVANE_WAVEIN"));
        CRecord rec;
        auto sink = std::make_shared<Sink>();
        uint32_t cookie;
        rec.Advise(sink, &cookie);
        rec.StartRecord(c.seconds, L"x");
        ASSERT_TRUE(sink->waitFor(1));
        ASSERT_TRUE(waitIdle(rec));
        EXPECT_EQ(sink->scores, std::vector<int32_t>{kNoScore});
        EXPECT_NE(find(job.home.log(), c.logged), std::string::npos) << job.home.log();
        EXPECT_FALSE(qvtest::exists(job.home.data("output/activex_wav.wav")));
        EXPECT_FALSE(qvtest::exists(job.home.data("output/activex_txt.txt")));
    }
}

TEST(Control, ScoresARecordedSentenceWithTheShippedData) {
    const std::string data = std::string(QV_SOURCE_DIR) + "/telvoDataChinese";
    if (!qvtest::exists(data + "/models/chinese.macb") || !qvtest::exists(data + "/samples/yilupingan.wav"))
        GTEST_SKIP() << "the shipped models are not built";
    ControlHome home;
    // The shipped data, with this test's own output folder.
    for (const auto& entry : std::filesystem::directory_iterator(data))
        if (entry.path().filename() != "output" && entry.path().filename() != "recording.prm")
            std::filesystem::create_symlink(entry.path(), home.data(entry.path().filename().string()));
    std::filesystem::remove(home.data("recording.prm"));
    std::filesystem::create_symlink(data + "/recording.prm", home.data("recording.prm"));
    ScopedEnv device("QUORVANE_WAVEIN", ("file-fast:" + data + "/samples/yilupingan.wav").c_str());
    std::wstring sentence;
    ASSERT_TRUE(utf8ToWide(qvtest::readFile(data + "/samples/yilupingan.utf8.txt"), sentence));
    while (!sentence.empty() && (sentence.back() == L'\n' || sentence.back() == L'\r')) sentence.pop_back();

    CRecord rec;
    rec.CreateControlWindow();
    auto sink = std::make_shared<Sink>();
    uint32_t cookie;
    rec.Advise(sink, &cookie);
    rec.StartRecord(6, sentence);
    for (int i = 0; i < 600 && sink->count() == 0; ++i) pumpMessages(50);
    ASSERT_EQ(sink->count(), 1u) << home.log();
    EXPECT_GE(sink->scores[0], 0) << home.log();
    EXPECT_LE(sink->scores[0], 100);
    int32_t score = -1;
    rec.GetScore(&score);
    EXPECT_EQ(score, sink->scores[0]);
    EXPECT_NE(home.log().find("Recog(): recog task done.\n"), std::string::npos);
    // The reading step's syllables, next to the sentence file: 一 before a fourth tone.
    EXPECT_EQ(qvtest::readFile(home.data("output/activex_syl.txt")), "yi2-lu4-ping2-an1\t0\n");
}

TEST(Control, SecondStartWhileBusyIsIgnoredAndStopEndsTheRecording) {
    JobSetup job({{10000, 10000}}, /*realTime=*/true);  // never silent
    CRecord rec;
    auto sink = std::make_shared<Sink>();
    uint32_t cookie;
    rec.Advise(sink, &cookie);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(rec.StartRecord(8, L"第一"), S_OK);
    EXPECT_TRUE(rec.IsBusy());
    EXPECT_EQ(rec.StartRecord(8, L"第二"), S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(rec.StopRecord(), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    ASSERT_TRUE(waitIdle(rec));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 3.0);
    EXPECT_EQ(sink->count(), 1u);
    // The job went on with what it had: a short recording, the first sentence.
    CWave wave;
    ASSERT_TRUE(wave.load(job.home.data("output/activex_wav.wav")));
    EXPECT_GT(wave.dataSize(), 0);
    EXPECT_LT(wave.dataSize() / 2, 2 * 16000);
    std::string first;
    wideToCodePage(L"第一", first);
    EXPECT_EQ(qvtest::readFile(job.home.data("output/activex_txt.txt")), first);
    EXPECT_NE(find(job.home.log(), "Recog(): open txt file done."), std::string::npos);
}

TEST(Control, StopRightAfterStartEndsTheRecording) {
    // The job thread may begin only after StopRecord has returned; the stop
    // must still win, every time.
    JobSetup job({{10000, 10000}}, /*realTime=*/true);  // never silent
    CRecord rec;
    auto sink = std::make_shared<Sink>();
    uint32_t cookie;
    rec.Advise(sink, &cookie);
    for (size_t round = 1; round <= 3; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(rec.StartRecord(8, L"第一"), S_OK);
        EXPECT_EQ(rec.StopRecord(), S_OK);
        ASSERT_TRUE(sink->waitFor(round));
        ASSERT_TRUE(waitIdle(rec));
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0) << round;
        CWave wave;
        ASSERT_TRUE(wave.load(job.home.data("output/activex_wav.wav")));
        EXPECT_LT(wave.dataSize() / 2, 16000) << round;
    }
}

TEST(Control, WindowDeliversTheEventOnTheHostThread) {
    JobSetup job({{200, 0}, {300, 10000}});
    CRecord rec;
    ASSERT_TRUE(rec.CreateControlWindow());
    ASSERT_NE(rec.window(), 0u);
    struct ScoreCheckingSink : Sink {
        CRecord* rec = nullptr;
        int32_t seenByGetScore = 0;
        void Finish_Recog(int32_t score) override {
            rec->GetScore(&seenByGetScore);
            Sink::Finish_Recog(score);
        }
    };
    auto sink = std::make_shared<ScoreCheckingSink>();
    sink->rec = &rec;
    uint32_t cookie;
    rec.Advise(sink, &cookie);
    rec.StartRecord(5, L"你好");
    ASSERT_TRUE(waitIdle(rec));
    EXPECT_EQ(sink->count(), 0u);  // waits for this thread to dispatch
    EXPECT_GE(pumpMessages(200), 1);
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->threads[0], std::this_thread::get_id());
    EXPECT_EQ(sink->scores[0], kNoScore);
    EXPECT_EQ(sink->seenByGetScore, kNoScore);  // the score is kept before the message
}

TEST(Control, NextJobMayStartFromTheWindowEventHandler) {
    JobSetup job({{200, 0}, {300, 10000}});
    CRecord rec;
    rec.CreateControlWindow();
    struct Restarter : Sink {
        CRecord* rec = nullptr;
        void Finish_Recog(int32_t score) override {
            if (count() == 0) rec->StartRecord(5, L"again");
            Sink::Finish_Recog(score);
        }
    };
    auto sink = std::make_shared<Restarter>();
    sink->rec = &rec;
    uint32_t cookie;
    rec.Advise(sink, &cookie);
    rec.StartRecord(5, L"first");
    for (int i = 0; i < 100 && sink->count() < 2; ++i) pumpMessages(50);
    EXPECT_EQ(sink->count(), 2u);
    EXPECT_EQ(qvtest::readFile(job.home.data("output/activex_txt.txt")), "again");
}

TEST(Control, SinksAreCalledInConnectionOrder) {
    ControlHome home;
    CRecord rec;
    std::vector<std::string> calls;
    struct Named : IRecordEvents {
        std::vector<std::string>* calls;
        std::string name;
        Named(std::vector<std::string>* c, std::string n) : calls(c), name(std::move(n)) {}
        void Finish_Recog(int32_t score) override { calls->push_back(name + std::to_string(score)); }
    };
    struct Throwing : IRecordEvents {
        void Finish_Recog(int32_t) override { throw std::runtime_error("sink failure"); }
    };
    uint32_t a, b, c, d, t;
    rec.Advise(std::make_shared<Named>(&calls, "a"), &a);
    rec.Advise(std::make_shared<Named>(&calls, "b"), &b);
    rec.Advise(std::make_shared<Throwing>(), &t);
    rec.Advise(std::make_shared<Named>(&calls, "c"), &c);
    EXPECT_EQ(rec.Unadvise(b), S_OK);
    EXPECT_EQ(rec.Unadvise(b), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(rec.Unadvise(99), CONNECT_E_NOCONNECTION);
    rec.Advise(std::make_shared<Named>(&calls, "d"), &d);  // takes the free slot
    EXPECT_EQ(d, b);
    rec.Fire_Finish_Recog(7);
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "d7", "c7"}));
    EXPECT_EQ(rec.Advise(nullptr, &a), E_POINTER);
}

TEST(Control, DestroyingDuringAJobIsSafe) {
    JobSetup job({{10000, 10000}}, /*realTime=*/true);
    auto sink = std::make_shared<Sink>();
    auto t0 = std::chrono::steady_clock::now();
    qvtest::runBounded(
        [&] {
            auto rec = std::make_unique<CRecord>();
            uint32_t cookie;
            rec->Advise(sink, &cookie);
            rec->StartRecord(10, L"x");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            rec.reset();  // stops the recording and waits for the job
        },
        20, "destroy during job");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
    EXPECT_EQ(sink->count(), 1u);

    // Destroyed from inside its own event, on the job thread.
    struct Destroyer : Sink {
        std::unique_ptr<CRecord>* owner = nullptr;
        void Finish_Recog(int32_t score) override {
            owner->reset();
            Sink::Finish_Recog(score);
        }
    };
    auto destroyer = std::make_shared<Destroyer>();
    auto rec = std::make_unique<CRecord>();
    destroyer->owner = &rec;
    uint32_t cookie;
    rec->Advise(destroyer, &cookie);
    rec->StopRecord();
    rec->StartRecord(0, L"x");  // ends at once with no score
    ASSERT_TRUE(destroyer->waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the detached job finish
    EXPECT_EQ(rec, nullptr);
}

TEST(CodePage, SentenceConversionAndCutting) {
    std::string big5;
    ASSERT_TRUE(wideToCodePage(L"a今天", big5));
    EXPECT_EQ(big5, "a\xA4\xB5\xA4\xD1");
    ASSERT_TRUE(wideToCodePage(L"x\U0001F600y", big5));  // no Big5 form
    EXPECT_EQ(big5, "x?y");
    // 511 bytes would end inside a character: the cut keeps whole ones.
    std::string text;
    for (int i = 0; i < 300; ++i) text += "\xA4\xB5";
    EXPECT_EQ(cutDoubleByteText(text, 511).size(), 510u);
    EXPECT_EQ(cutDoubleByteText("a" + text, 511).size(), 511u);
    EXPECT_EQ(cutDoubleByteText("abc", 511), "abc");

    std::wstring w;
    ASSERT_TRUE(utf8ToWide("a\xE4\xBB\x8A\xF0\x9F\x98\x80", w));
    EXPECT_EQ(w, L"a今\U0001F600");
    EXPECT_FALSE(utf8ToWide("\xE4\xBB", w));      // truncated
    EXPECT_FALSE(utf8ToWide("\xC0\x80", w));      // overlong
    EXPECT_FALSE(utf8ToWide("\xED\xA0\x80", w));  // surrogate
}

TEST(ControlApi, RunsAJobThroughTheCInterface) {
    JobSetup job({{200, 0}, {300, 10000}});
    qv_record* rec = qv_record_create();
    ASSERT_NE(rec, nullptr);
    struct Got {
        std::mutex m;
        std::condition_variable cv;
        int score = 1;
        int calls = 0;
    } got;
    auto cb = [](int score, void* user) {
        auto* g = static_cast<Got*>(user);
        std::lock_guard<std::mutex> lock(g->m);
        g->score = score;
        ++g->calls;
        g->cv.notify_all();
    };
    unsigned cookie = 0;
    EXPECT_EQ(qv_record_advise(rec, cb, &got, &cookie), QV_OK);
    EXPECT_EQ(qv_record_advise(rec, nullptr, &got, &cookie), QV_E_POINTER);
    EXPECT_EQ(qv_record_start_record_utf8(rec, 5, "\xE4\xBB"), QV_E_ARGUMENT);
    EXPECT_EQ(qv_record_start_record(rec, 5, nullptr), QV_E_POINTER);
    int score = 5;
    EXPECT_EQ(qv_record_get_score(rec, &score), QV_OK);
    EXPECT_EQ(score, 0);
    ASSERT_EQ(qv_record_start_record_utf8(rec, 5, "\xE4\xBD\xA0\xE5\xA5\xBD"), QV_OK);
    {
        std::unique_lock<std::mutex> lock(got.m);
        ASSERT_TRUE(got.cv.wait_for(lock, std::chrono::seconds(10), [&] { return got.calls == 1; }));
    }
    EXPECT_EQ(got.score, QV_NO_SCORE);
    qv_record_destroy(rec);
    EXPECT_EQ(qvtest::readFile(job.home.data("output/activex_txt.txt")), "\xA7\x41\xA6\x6E");
    EXPECT_EQ(qv_record_get_score(nullptr, &score), QV_E_POINTER);
    qv_record_destroy(nullptr);
}
