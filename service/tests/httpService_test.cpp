// The HTTP service in-process on the tiny synthetic world: its answers are
// the command-line tool's documents, its refusals have their status and
// error object, a full queue is told with 503 and Retry-After, and every
// request leaves one log line.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sys/wait.h>
#include <thread>

#include "service/httpService.h"
#include "support/testutil.h"
#include "world/tinyWorld.h"

using nlohmann::json;

namespace {

const std::string kOne = "\xE4\xB8\x80", kTwo = "\xE4\xBA\x8C", kThree = "\xE4\xB8\x89";  // 一二三

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The tiny world laid out as an installation folder, and a server over it.
struct Served {
    qvtest::ScratchDir dir;
    std::string data = dir.file("telvoDataChinese");
    std::unique_ptr<qvservice::ScoringService> scoring;
    std::unique_ptr<qvservice::HttpService> service;
    std::thread thread;
    int port = -1;
    std::mutex logMutex;
    std::vector<std::string> log;

    explicit Served(qvservice::Limits limits = {}) {
        qvworld::buildTinyWorld(data);
        const std::string d = "telvoDataChinese/";
        qvtest::writeFile(data + "/chinese.sa.prm",
                          "language = chinese\nfunction = assess\nmacFile = " + d + "tiny.macb\npinyinType = hanyu\n"
                          "dicFile = " + d + "tiny.pam\nwpaFile = " + d + "tiny.wpa\npyTableFile = " + d + "pinyin.txt\n"
                          "qiYinFile = " + d + "qiyin.txt\ntnmFile = " + d + "tiny.tnm\n"
                          "featureConfigFile = " + d + "mfcc.cfg\n"
                          "phoneRank2scoreParamFile = " + d + "rank2score.prm\n"
                          "scoreDiscountParamFile = " + d + "discount.prm\n"
                          "usePaddedHardSp = 1\nusePaddedSoftSil = 1\nuseEpd = 0\n"
                          "netType = 0\nmaxCandidateNum = 200\nprobTh = 500\ncomparisonMode = 1\nuseWaveReject = 0\n");
        qvworld::writeWav(dir.file("utt.wav"), qvworld::synthUtterance({"ba1", "di2", "gu3"}));
        scoring = std::make_unique<qvservice::ScoringService>(data, "taiwan");
        service = std::make_unique<qvservice::HttpService>(*scoring, limits, [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(logMutex);
            log.push_back(line);
        });
        port = service->bindToAnyPort("127.0.0.1");
        thread = std::thread([this] { service->listenAfterBind(); });
        for (int i = 0; i < 200 && !service->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Served() {
        service->stop();
        thread.join();
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(60);
        return c;
    }
    // The tool's --json document (and its exit code) for the same input.
    json tool(const std::vector<std::string>& args, int* rc = nullptr) const {
        std::string cmd = quote(QV_BINARY_DIR "/quorvane");
        for (const auto& a : args) cmd += " " + quote(a);
        cmd += " --data " + quote(data) + " --json >" + quote(dir.file("tool.json")) + " 2>/dev/null";
        const int status = std::system(cmd.c_str());
        if (rc) *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return json::parse(qvtest::readFile(dir.file("tool.json")));
    }
};

httplib::MultipartFormDataItems form(const std::string& wav, const std::vector<std::string>& texts,
                                     const std::string& pinyin = "") {
    httplib::MultipartFormDataItems items = {{"audio", wav, "a.wav", "audio/wav"}};
    for (const std::string& t : texts) items.push_back({"text", t, "", ""});
    if (!pinyin.empty()) items.push_back({"pinyin", pinyin, "", ""});
    return items;
}

json errorOf(const httplib::Result& r) {
    EXPECT_TRUE(r);
    if (!r) return {};
    EXPECT_EQ(r->get_header_value("Content-Type").rfind("application/json", 0), 0u) << r->status;
    const json j = json::parse(r->body);
    EXPECT_TRUE(j.contains("error")) << r->body;
    return j.value("error", json::object());
}

}  // namespace

TEST(HttpService, AnswersTheToolsDocuments) {
    Served s;
    httplib::Client c = s.client();
    const std::string wav = qvtest::readFile(s.dir.file("utt.wav"));
    const std::string text = kOne + kTwo + kThree;

    httplib::Result r = c.Post("/api/assess", form(wav, {text}));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const json served = json::parse(r->body);
    EXPECT_EQ(served, s.tool({"assess", s.dir.file("utt.wav"), "--text", text}));
    EXPECT_GT(served["score"].get<double>(), 90);

    // The audio as the body, the text and pinyin as query parameters.
    r = c.Post(("/api/assess?text=" + httplib::detail::encode_query_param(text) + "&pinyin=ba1+di2+gu3").c_str(), wav,
               "audio/wav");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body), s.tool({"assess", s.dir.file("utt.wav"), "--text", text, "--pinyin", "ba1 di2 gu3"}));

    // A recording the engine's reader does not take as it is (stereo, 8 kHz)
    // is converted as the tool converts it.
    {
        const std::vector<int32_t> mono = qvworld::synthUtterance({"ba1", "di2", "gu3"});
        std::string data;
        for (size_t i = 0; i + 1 < mono.size(); i += 2)
            for (int ch = 0; ch < 2; ++ch) {
                const int16_t v = static_cast<int16_t>(mono[i]);
                data.append(reinterpret_cast<const char*>(&v), 2);
            }
        const auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
        const auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
        const std::string stereo = "RIFF" + u32(36 + static_cast<uint32_t>(data.size())) + "WAVEfmt " + u32(16) + u16(1) +
                                   u16(2) + u32(8000) + u32(8000 * 4) + u16(4) + u16(16) + "data" +
                                   u32(static_cast<uint32_t>(data.size())) + data;
        qvtest::writeFile(s.dir.file("stereo.wav"), stereo);
        r = c.Post("/api/assess", form(stereo, {text}));
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body;
        EXPECT_EQ(json::parse(r->body), s.tool({"assess", s.dir.file("stereo.wav"), "--text", text}));
    }

    // On request, the TextGrid (the tool's file) and a pitch value every
    // 10 ms; the rest is the same document.
    httplib::MultipartFormDataItems withMore = form(wav, {text});
    withMore.push_back({"textgrid", "1", "", ""});
    withMore.push_back({"pitch", "1", "", ""});
    r = c.Post("/api/assess", withMore);
    ASSERT_TRUE(r && r->status == 200);
    json more = json::parse(r->body);
    s.tool({"assess", s.dir.file("utt.wav"), "--text", text, "--textgrid", s.dir.file("a.TextGrid")});
    EXPECT_EQ(more["textgrid"], qvtest::readFile(s.dir.file("a.TextGrid")));
    EXPECT_EQ(more["pitch"]["step"], 0.01);
    EXPECT_EQ(more["pitch"]["values"].size(), qvworld::synthUtterance({"ba1", "di2", "gu3"}).size() / 160);
    more.erase("textgrid");
    more.erase("pitch");
    EXPECT_EQ(more, served);

    // Recognition among candidates, numbered from 1 as the tool numbers them.
    r = c.Post("/api/recog", form(wav, {kThree + kOne + kTwo, text, kTwo + kThree + kOne}));
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "");
    const json recog = json::parse(r->body);
    EXPECT_EQ(recog["index"], 2);
    EXPECT_EQ(recog, s.tool({"recog", s.dir.file("utt.wav"), "--text", kThree + kOne + kTwo, "--text", text, "--text",
                             kTwo + kThree + kOne}));

    r = c.Get("/api/readings?text=" + httplib::detail::encode_query_param(text));
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(json::parse(r->body)["characters"][2], json({{"text", kThree}, {"pinyin", "gu3"}, {"zhuyin", "GU3"}}));
    r = c.Get("/healthz");
    ASSERT_TRUE(r && r->status == 200);
    r = c.Get("/api/version");
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(json::parse(r->body)["version"], QUORVANE_VERSION);
    r = c.Get("/");
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_NE(r->body.find("<html"), std::string::npos);
}

TEST(HttpService, RefusalsHaveTheirStatusAndKind) {
    qvservice::Limits limits;
    limits.maxBodyBytes = 400000;
    limits.maxAudioSeconds = 5;
    Served s(limits);
    httplib::Client c = s.client();
    const std::string wav = qvtest::readFile(s.dir.file("utt.wav"));
    const std::string text = kOne + kTwo + kThree;
    const auto expect = [&](const httplib::Result& r, int status, const std::string& kind) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << r->body;
        EXPECT_EQ(errorOf(r)["kind"], kind) << r->body;
    };
    expect(c.Post("/api/assess", httplib::MultipartFormDataItems{{"text", text, "", ""}}), 400, "usage");
    expect(c.Post("/api/assess", form(wav, {})), 400, "usage");
    expect(c.Post("/api/assess", form("not a recording at all", {text})), 415, "unsupported audio");
    expect(c.Post("/api/assess", form(wav, {text + "\xE5\x9B\x9B"})), 422, "text not covered");  // 四: no reading
    expect(c.Post("/api/assess", form(wav, {text}, "ba1 di2")), 400, "usage");
    expect(c.Post("/api/assess", form(wav.substr(0, 44) + std::string(7, 'x'), {text})), 422, "unreadable audio");
    expect(c.Post("/api/assess", form(wav + std::string(400000, '\0'), {text})), 413, "too long");
    expect(c.Get("/api/nothing"), 404, "usage");

    // Longer than the limit: 6 s.
    std::vector<int32_t> samples;
    for (int i = 0; i < 3; ++i) {
        const std::vector<int32_t> one = qvworld::synthUtterance({"ba1", "di2", "gu3"});
        samples.insert(samples.end(), one.begin(), one.end());
    }
    samples.resize(6 * 16000, 0);
    qvworld::writeWav(s.dir.file("long.wav"), samples);
    expect(c.Post("/api/assess", form(qvtest::readFile(s.dir.file("long.wav")), {text})), 413, "too long");

    // A tenth of a second of silence: refused as the tool refuses it (no
    // speech, exit code 5), with the same document.
    qvworld::writeWav(s.dir.file("quiet.wav"), std::vector<int32_t>(1600, 0));
    const httplib::Result r = c.Post("/api/assess", form(qvtest::readFile(s.dir.file("quiet.wav")), {text}));
    int rc = 0;
    const json tool = s.tool({"assess", s.dir.file("quiet.wav"), "--text", text}, &rc);
    EXPECT_EQ(rc, 5);
    expect(r, 422, "no speech");
    EXPECT_EQ(json::parse(r->body), tool);
}

TEST(HttpService, FullQueueIsToldWithRetryAfterAndEveryRequestIsLogged) {
    qvservice::JobGate gate(1, 1);
    ASSERT_TRUE(gate.enter());
    std::atomic<bool> second{false};
    std::thread waiter([&] { second = gate.enter(); });
    while (gate.waiting() == 0) std::this_thread::yield();
    EXPECT_FALSE(gate.enter());  // one running, one waiting: full
    gate.leave();
    waiter.join();
    EXPECT_TRUE(second);
    EXPECT_EQ(gate.running(), 1);
    gate.leave();

    qvservice::Limits limits;
    limits.jobs = 1;
    limits.queue = 0;
    Served s(limits);
    // About 20 s of speech, so that requests overlap.
    std::vector<int32_t> samples;
    std::string text;
    for (int i = 0; i < 8; ++i) {
        const std::vector<int32_t> one = qvworld::synthUtterance({"ba1", "di2", "gu3"});
        samples.insert(samples.end(), one.begin(), one.end());
        text += kOne + kTwo + kThree;
    }
    qvworld::writeWav(s.dir.file("long.wav"), samples);
    const std::string wav = qvtest::readFile(s.dir.file("long.wav"));
    // Six at once on one job without a queue: some are scored, the others
    // told to come back. (Rounds again in the unlikely case that the six did
    // not overlap.)
    int ok = 0, busy = 0, rounds = 0;
    while (rounds < 5 && (ok == 0 || busy == 0)) {
        ++rounds;
        ok = busy = 0;
        std::vector<int> status(6, 0);
        std::vector<std::string> retry(6);
        std::vector<std::thread> clients;
        for (size_t i = 0; i < status.size(); ++i)
            clients.emplace_back([&, i] {
                httplib::Client c = s.client();
                const httplib::Result r = c.Post("/api/assess", form(wav, {text}));
                if (!r) return;
                status[i] = r->status;
                retry[i] = r->get_header_value("Retry-After");
            });
        for (std::thread& t : clients) t.join();
        for (size_t i = 0; i < status.size(); ++i) {
            if (status[i] == 200) ++ok;
            if (status[i] == 503) {
                ++busy;
                EXPECT_EQ(retry[i], "1");
            }
        }
        EXPECT_EQ(ok + busy, 6);
    }
    EXPECT_GE(ok, 1);
    EXPECT_GE(busy, 1);

    // The line follows the answer on the server's thread.
    const size_t lines = 6u * static_cast<size_t>(rounds);
    for (int i = 0; i < 400; ++i) {
        {
            const std::lock_guard<std::mutex> lock(s.logMutex);
            if (s.log.size() >= lines) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::lock_guard<std::mutex> lock(s.logMutex);
    ASSERT_EQ(s.log.size(), lines);
    size_t logged503 = 0;
    for (size_t k = lines - 6; k < lines; ++k) {
        const std::string& line = s.log[k];
        EXPECT_NE(line.find(" POST /api/assess "), std::string::npos) << line;
        if (line.find(" 200 ") != std::string::npos) {
            EXPECT_NE(line.find("audio=" + std::to_string(samples.size() / 16000)), std::string::npos) << line;
        }
        if (line.find(" 503 ") != std::string::npos) ++logged503;
    }
    EXPECT_EQ(logged503, static_cast<size_t>(busy));
}
