#include "control/Record.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include "capture/recording.h"
#include "capture/wave.h"
#include "engine/frontend/audioFile.h"
#include "engine/utility.h"
#include "platform/codePage.h"
#include "platform/window.h"
#include "quorvane.h"
#include "readings/readingStep.h"

namespace qv {

namespace {

// Longest recording a job accepts; also keeps seconds x 16000 within int.
constexpr int32_t kMaxRecordSeconds = 3600;
// The sentence file holds at most this many bytes of the converted sentence.
constexpr size_t kMaxSentenceBytes = 511;

// Float score to the host's integer, truncated toward zero; a score that is
// not a finite int32 is no score.
int32_t scoreToInt(float score) {
    if (!std::isfinite(score) || score >= 2147483648.0f || score < -2147483648.0f) return kNoScore;
    return static_cast<int32_t>(score);
}

void writeFileOrThrow(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    const bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && fclose(f) != 0) throw std::runtime_error(strFormat("Recog(): cannot write %s.", path.c_str()));
    if (!ok) throw std::runtime_error(strFormat("Recog(): cannot write %s.", path.c_str()));
}

std::string installFolder() {
    const char* home = getenv("QUORVANE_HOME");
    if (home && *home) return home;
    const char* pf = getenv("ProgramFiles");
    if (pf && *pf) return std::string(pf) + "/QUORVANE";
    return "";
}

}  // namespace

// Everything the job thread touches; the job holds it alive, so a control
// destroyed from inside its own event leaves the job nothing dangling.
struct RecordShared {
    bool logging = true;
    std::atomic<bool> busy{false};
    std::atomic<uint8_t> stop{1};
    std::atomic<int32_t> score{0};
    std::atomic<WindowHandle> window{0};
    const std::string logPath = "telvoDataChinese/output/QUORVANE_LOG.txt";
    const std::string recordParamPath = "telvoDataChinese/recording.prm";
    const std::string wavePath = "telvoDataChinese/output/activex_wav.wav";
    const std::string textPath = "telvoDataChinese/output/activex_txt.txt";
    const std::string sylPath = "telvoDataChinese/output/activex_syl.txt";
    const std::string recogParamPath = "telvoDataChinese/chinese.sa.prm";
    int32_t recordTimeTemp = 0;  // written by StartRecord before the job starts
    std::wstring sentence;

    // Held by StartRecord while it stores the job thread: the job waits for
    // it, so that its own events never see the control half set up.
    std::mutex startMutex;
    std::mutex sinkMutex;
    std::vector<std::shared_ptr<IRecordEvents>> sinks;  // empty slots are null
    std::mutex logMutex;

    void log(const std::string& text, bool always = false) {
        if (!logging && !always) return;
        std::lock_guard<std::mutex> lock(logMutex);
        FILE* f = fopen(logPath.c_str(), "ab");
        if (!f) return;  // a lost line never stops the control
        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        char stamp[512];
        if (strftime(stamp, sizeof(stamp), "%Y/%m/%d %a %H:%M:%S -- ", &local) == 0) stamp[0] = '\0';
        fprintf(f, "%s : %s", stamp, text.c_str());
        fclose(f);
    }

    void fire(int32_t value) {
        std::vector<std::shared_ptr<IRecordEvents>> held;
        {
            std::lock_guard<std::mutex> lock(sinkMutex);
            held = sinks;
        }
        for (auto& sink : held) {
            if (!sink) continue;
            try {
                sink->Finish_Recog(value);
            } catch (...) {
                // A sink's failure must not reach the job thread or the other sinks.
            }
        }
    }

    // The job cannot produce a score: log why, and report kNoScore the way a
    // score would be reported.
    void failJob(const char* where, const std::string& message) {
        log(strFormat("Error message thrown out from %s():\n", where), true);
        std::string text = message;
        if (text.empty() || text.back() != '\n') text += '\n';
        log(text, true);
        if (!window.load()) fire(kNoScore);
        score = kNoScore;
    }

    bool record();
    void recog();
    void runJob();
};

bool RecordShared::record() {
    const int32_t seconds = recordTimeTemp;
    if (seconds <= 0 || seconds > kMaxRecordSeconds) {
        failJob("Record", strFormat("Record(): recordTimeTemp must be 1 to %d seconds, got %d.", kMaxRecordSeconds,
                                    seconds));
        return false;
    }
    // The engine assesses no more than MAX_AUDIO_SECONDS; a longer limit only
    // means "until silence", so the buffer need not be longer.
    const int budget = std::min<int32_t>(seconds, MAX_AUDIO_SECONDS) * 16000;
    std::vector<int32_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(budget), 0);
    } catch (const std::bad_alloc&) {
        failJob("Record", "Record(): no memory for the recording.");
        return false;
    }
    // stop was cleared by StartRecord before this thread began: a StopRecord
    // that came in meanwhile must win.
    recordParam param;
    try {
        recordParamRead(recordParamPath, param);
    } catch (const std::exception& e) {
        stop = 1;
        failJob("recordParamRead", e.what());
        return false;
    }
    log("Record(): recordParamRead() done.\n");
    log("Record(): record started, hanging.\n");
    const int n = recordWithSilenceLimit(param, buffer.data(), budget, &stop);
    stop = 1;
    log("Record(): record stopped.\n");
    if (n < 0) {
        failJob("recordWithSilenceLimit", "Record(): the recording could not be set up.");
        return false;
    }
    CWave wave(1, 16000, 16);
    wave.setSamples(buffer.data(), n);
    wave.save(wavePath, false);
    log("Record(): record saved.\n");
    std::vector<int32_t>().swap(buffer);
    log("Record(): wave deleted.\n");
    return true;
}

void RecordShared::recog() {
    FILE* f = fopen(textPath.c_str(), "wb");
    if (!f) {
        failJob("Recog", strFormat("Recog(): cannot create %s.", textPath.c_str()));
        return;
    }
    log("Recog(): open txt file done.\n");
    // Simplified text is converted; the reading step reads it as the text
    // file has it. Text it cannot read is written as before ('?' for
    // characters without a Big5 form) and the job fails below with the reason.
    std::string text, readingFailure;
    std::shared_ptr<const readingStep> step;
    try {
        std::string utf8;
        if (!wideToCodePage(sentence, utf8, "UTF-8")) throw readingError("the sentence cannot be converted to UTF-8");
        step = readingStep::forParams(recogParamPath, readingStandard::taiwan);
        text = step->read(utf8).big5;
    } catch (const std::exception& e) {
        readingFailure = e.what();
        if (!wideToCodePage(sentence, text)) text.clear();
    }
    // Cut on a character boundary so that no half character reaches the engine.
    text = cutDoubleByteText(text, kMaxSentenceBytes);
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = fclose(f) == 0;
    if (!written || !closed) {
        failJob("Recog", strFormat("Recog(): cannot write %s.", textPath.c_str()));
        return;
    }
    log("Recog(): write sentence to file done.\n");

    quorvane::Request request;
    request.paramFile = recogParamPath;
    log("Recog(): read recog param done.\n");
    request.overrides = {{"onlyOneSentence", "1"}, {"wavFile", wavePath}, {"txtFile", textPath}, {"function", "assess"}};
    log("Recog(): strcpy done, about to call recogViaTreeLexicon().\n");
    int32_t value;
    try {
        // The expected syllables, in the syllable file next to the sentence file.
        if (!readingFailure.empty()) throw std::runtime_error("Recog(): the sentence cannot be read: " + readingFailure);
        writeFileOrThrow(sylPath, syllableFileLine(step->readBig5(text).syllables, 0, false));
        request.overrides.emplace_back("sylFile", sylPath);
        quorvane::Result result = quorvane::run(request);
        value = scoreToInt(result.finalScore);
        // A recording without speech scores 0; the log says why, and names
        // level problems and skipped characters the score was computed with.
        if (result.noSpeech) log("Recog(): " + result.noSpeechReason + "\n", true);
        for (const std::string& w : result.warnings) log("Recog(): warning: " + w + "\n", true);
    } catch (const std::exception& e) {
        failJob("recogViaTreeLexicon", e.what());
        return;
    }
    log("Recog(): recogViaTreeLexicon() done.\n");
    if (!window.load()) fire(value);
    score = value;
    log("Recog(): Fire_Finish_Recog() done.\n");
    log("Recog(): recog task done.\n");
}

void RecordShared::runJob() {
    { std::lock_guard<std::mutex> started(startMutex); }
    if (record()) recog();
    // Idle before the window hears of it, so that a host may start the next
    // job from its Finish_Recog handler.
    busy = false;
    WindowHandle w = window.load();
    if (w) postMessage(w, WM_FINISH_RECOG, 0, 0);
}

CRecord::CRecord() : m_s(std::make_shared<RecordShared>()) {
    const std::string folder = installFolder();
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
        // Ignored: every relative path then fails later in the job.
    }
}

CRecord::~CRecord() {
    if (m_job.joinable()) {
        if (m_job.get_id() == std::this_thread::get_id()) {
            m_job.detach();  // destroyed from its own event: the job holds what it needs
        } else {
            if (m_s->busy) m_s->stop = 1;  // nobody will use the rest of this recording
            while (m_s->busy) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            m_job.join();
        }
    }
    // Last, so that a job ending meanwhile still sees the window and does not
    // fire on its own thread; its message is dropped with the window.
    DestroyControlWindow();
}

int32_t CRecord::GetScore(int32_t* result) {
    if (!result) return E_POINTER;
    *result = m_s->score;
    return S_OK;
}

int32_t CRecord::StartRecord(int32_t recordTimeTemp, const std::wstring& sentence) {
    if (m_s->busy) return S_OK;
    if (m_job.joinable()) m_job.join();  // the previous job has cleared busy and is ending
    m_s->busy = true;
    m_s->stop = 0;
    m_s->recordTimeTemp = recordTimeTemp;
    m_s->sentence = sentence;
    try {
        std::shared_ptr<RecordShared> s = m_s;
        std::lock_guard<std::mutex> starting(m_s->startMutex);
        m_job = std::thread([s] { s->runJob(); });
    } catch (const std::system_error&) {
        m_s->busy = false;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int32_t CRecord::StopRecord() {
    m_s->stop = 1;
    return S_OK;
}

int32_t CRecord::Advise(std::shared_ptr<IRecordEvents> sink, uint32_t* cookie) {
    if (!sink || !cookie) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_s->sinkMutex);
    auto& v = m_s->sinks;
    size_t slot = 0;
    while (slot < v.size() && v[slot]) ++slot;
    if (slot == v.size())
        v.push_back(std::move(sink));
    else
        v[slot] = std::move(sink);
    *cookie = static_cast<uint32_t>(slot + 1);
    return S_OK;
}

int32_t CRecord::Unadvise(uint32_t cookie) {
    std::lock_guard<std::mutex> lock(m_s->sinkMutex);
    auto& v = m_s->sinks;
    if (cookie == 0 || cookie > v.size() || !v[cookie - 1]) return CONNECT_E_NOCONNECTION;
    v[cookie - 1].reset();
    return S_OK;
}

void CRecord::Fire_Finish_Recog(int32_t score) { m_s->fire(score); }

bool CRecord::CreateControlWindow() {
    if (m_s->window.load()) return true;
    std::weak_ptr<RecordShared> weak = m_s;
    WindowHandle w = createMessageWindow([weak](uint32_t msg, uintptr_t, intptr_t, intptr_t& result) {
        if (msg != WM_FINISH_RECOG) return false;
        if (auto s = weak.lock()) s->fire(s->score);
        result = 0;
        return true;
    });
    m_s->window = w;
    return w != 0;
}

void CRecord::DestroyControlWindow() {
    WindowHandle w = m_s->window.exchange(0);
    if (w) destroyWindow(w);
}

WindowHandle CRecord::window() const { return m_s->window; }

bool CRecord::IsBusy() const { return m_s->busy; }

void CRecord::LogWrite(const std::string& text) { m_s->log(text); }

}  // namespace qv
