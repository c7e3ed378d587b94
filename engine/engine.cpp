// quorvane::Engine: the data of a parameter file loaded once, runs over it
// with their own input, log and working data.
#include "quorvane_engine.h"

#include <new>
#include <sys/stat.h>

#include "engine/apiResult.h"
#include "engine/frontend/audioFile.h"
#include "engine/recogTask.h"
#include "engine/utility.h"
#include "platform/codePage.h"

namespace quorvane {

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "debug";
        case LogLevel::Info: return "info";
        case LogLevel::Warning: return "warning";
        case LogLevel::Error: break;
    }
    return "error";
}

namespace {

const char* const kParamName = "chinese.sa.prm";

// Keys whose files are loaded once; a call cannot change them.
const char* const kLoadedKeys[] = {"macFile",     "dicFile",          "wpaFile",  "wpaAddendaFile",
                                   "pyTableFile", "tnmFile",          "qiYinFile", "featureConfigFile",
                                   "phoneRank2scoreParamFile",        "scoreDiscountParamFile",
                                   "cmParamFile", "epsFile",          "language", "pinyinType"};

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The level of one engine line, by its wording.
LogLevel levelOf(const std::string& line) {
    if (line.find("Error") != std::string::npos || line.find("error log") != std::string::npos) return LogLevel::Error;
    if (line.find("Warning") != std::string::npos || line.find("warning") != std::string::npos)
        return LogLevel::Warning;
    if (line.find(" sec: ") != std::string::npos) return LogLevel::Info;
    return LogLevel::Debug;
}

// Splits the engine's console text into lines for a log callback. Texts in
// the data files' code page become UTF-8.
class LineLog {
public:
    explicit LineLog(const LogCallback& log) : m_log(log) {}
    ~LineLog() {
        if (!m_pending.empty()) emit(m_pending);
    }
    qv::ConsoleSink sink() {
        if (!m_log) return nullptr;
        return [this](const std::string& text) {
            m_pending += text;
            size_t nl;
            while ((nl = m_pending.find('\n')) != std::string::npos) {
                std::string line = m_pending.substr(0, nl);
                m_pending.erase(0, nl + 1);
                if (!line.empty()) emit(line);
            }
        };
    }

private:
    void emit(const std::string& line) {
        try {
            m_log(levelOf(line), qv::big5ToUtf8Lenient(line));
        } catch (...) {
            // A failing log callback must not fail the run.
        }
    }
    const LogCallback& m_log;
    std::string m_pending;
};

Error toError(const std::exception& e) {
    if (const auto* f = dynamic_cast<const qv::FatalError*>(&e)) return Error(f->what(), publicKind(f->kind()));
    if (const auto* b = dynamic_cast<const qv::Big5Error*>(&e))
        return Error(std::string("Error: the text has no Big5 form: ") + b->what(), ErrorKind::TextNotCovered);
    if (dynamic_cast<const std::bad_alloc*>(&e)) return Error("Error: out of memory during the run", ErrorKind::Internal);
    return Error(std::string("Error: ") + e.what(), ErrorKind::Internal);
}

std::vector<std::string> textLines(const std::string& utf8) {
    std::vector<std::string> out;
    size_t p = 0;
    while (p <= utf8.size()) {
        size_t nl = utf8.find('\n', p);
        if (nl == std::string::npos) nl = utf8.size();
        std::string line = utf8.substr(p, nl - p);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
        p = nl + 1;
    }
    return out;
}

}  // namespace

struct Engine::Impl {
    std::string paramFile;
    qv::recogParam base;
    qv::loadedData data;
};

Engine::Engine(const std::string& path, const std::vector<std::pair<std::string, std::string>>& overrides,
               const LogCallback& log) {
    LineLog lines(log);
    qv::ThreadConsoleScope console(lines.sink());
    qv::ErrorLogScope noLog(false);
    try {
        auto impl = std::make_unique<Impl>();
        impl->paramFile = isDirectory(path) ? path + "/" + kParamName : path;
        qv::recogParamRead(impl->paramFile, impl->base);
        for (const auto& kv : overrides) qv::recogParamSet(impl->base, kv.first, kv.second, "the overrides");
        const std::string folder = parentOf(impl->paramFile);
        qv::recogParamResolvePaths(impl->base, folder, parentOf(folder));
        qv::setParamText(impl->base.outputDir, "");
        qv::loadData(impl->base, impl->data, true);
        m_impl = std::move(impl);
    } catch (const std::exception& e) {
        throw toError(e);
    }
}

Engine::~Engine() = default;
Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;

const std::string& Engine::paramFile() const { return m_impl->paramFile; }
const std::vector<std::string>& Engine::loadWarnings() const { return m_impl->data.warnings; }
const std::vector<std::string>& Engine::modelNames() const { return m_impl->data.modelNames; }

Result Engine::runOnce(const Input& in, const char* function) const {
    const Impl& impl = *m_impl;
    qv::ErrorLogScope noLog(false);  // the pipeline turns it on with an output folder
    qv::recogParam prm = impl.base;
    for (const auto& kv : in.overrides) {
        for (const char* k : kLoadedKeys)
            if (kv.first == k)
                qv::fatalErrorF("Error: %s selects loaded data and cannot change per call; open another engine "
                                "(line %d in engine)",
                                k, __LINE__);
        qv::recogParamSet(prm, kv.first, kv.second, "the call's overrides");
    }
    qv::setParamText(prm.function, function, "function");
    qv::setParamText(prm.outputDir, in.outputDir, "outputDir");

    qv::textClass text = impl.data.rules;
    for (const std::string& line : textLines(in.text)) text.m_txtVs.push_back(qv::utf8ToBig5(line));
    if (text.m_txtVs.empty() && prm.txtFile[0] == '\0')
        qv::fatalErrorKF(qv::FatalKind::TextNotCovered, "Error: the call has no expected text (line %d in engine)",
                         __LINE__);
    for (std::string syl : in.syllables) {
        if (syl.find('\t') == std::string::npos) syl += "\t0";
        text.m_sylVs.push_back(syl);
    }
    if (!in.syllables.empty()) text.tonesFromSyllables();

    qv::waveSignal wave;
    long t0 = qv::clockMs();
    if (!in.samples.empty()) {
        wave.signal.assign(in.samples.begin(), in.samples.end());
        wave.sampleNum = static_cast<int32_t>(wave.signal.size());
        wave.fs = in.sampleRate;
        wave.nbits = 16;
        if (in.sampleRate < 1000 || in.sampleRate > 192000)
            qv::fatalErrorKF(qv::FatalKind::UnreadableAudio, "Error: sample rate %d Hz is out of range (line %d in engine)",
                             in.sampleRate, __LINE__);
    } else {
        if (in.audioFile.empty())
            qv::fatalErrorKF(qv::FatalKind::UnreadableAudio, "Error: the call has no audio (line %d in engine)",
                             __LINE__);
        wave = qv::readAudioFile(in.audioFile);
    }
    const int level = qv::prepareWave(wave, prm);
    qv::consolePrintf("%4.3f sec: Read wave\n", (qv::clockMs() - t0) / 1000.0);

    qv::mlfClass record;
    // A level problem that did not refuse the recording travels with the
    // score, as in a one-shot run.
    const std::string warning = qv::levelWarning(level, wave.signal.data(), wave.sampleNum);
    if (!warning.empty()) {
        qv::consolePrintf("Warning: %s\n", warning.c_str());
        record.warnings.push_back(warning);
    }
    const int idx = qv::recogLoaded(impl.data, prm, std::move(text), wave.signal.data(), wave.sampleNum, wave.fs,
                                    wave.nbits, record);
    Result r = toResult(record, idx, impl.data.modelNames);
    for (std::string& t : r.texts) t = qv::big5ToUtf8Lenient(t);
    for (Syllable& s : r.syllables) s.text = qv::big5ToUtf8Lenient(s.text);
    r.mpa = qv::big5ToUtf8Lenient(r.mpa);
    for (std::string& t : r.skipped) t = qv::big5ToUtf8Lenient(t);
    for (std::string& w : r.warnings) w = qv::big5ToUtf8Lenient(w);
    return r;
}

Result Engine::assess(const Input& input) const {
    LineLog lines(input.log);
    qv::ThreadConsoleScope console(lines.sink());
    try {
        return runOnce(input, "assess");
    } catch (const std::exception& e) {
        throw toError(e);
    }
}

Result Engine::recognise(const Input& input) const {
    LineLog lines(input.log);
    qv::ThreadConsoleScope console(lines.sink());
    try {
        return runOnce(input, "recog");
    } catch (const std::exception& e) {
        throw toError(e);
    }
}

}  // namespace quorvane
