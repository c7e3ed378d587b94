#include "utility.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace qv {

static const char* kUnit = "utility";

std::string strFormatV(const char* fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string strFormat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = strFormatV(fmt, ap);
    va_end(ap);
    return s;
}

// ---- console sink ----------------------------------------------------------

namespace {
std::mutex g_sinkMutex;
ConsoleSink g_sink;
}  // namespace

void setConsoleSink(ConsoleSink sink) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = std::move(sink);
}

namespace {
thread_local ConsoleSink* t_sink = nullptr;
}  // namespace

ThreadConsoleScope::ThreadConsoleScope(ConsoleSink sink) : m_sink(std::move(sink)), m_previous(t_sink) {
    t_sink = &m_sink;
}

ThreadConsoleScope::~ThreadConsoleScope() { t_sink = m_previous; }

void consolePrint(const std::string& text) {
    if (t_sink) {
        if (*t_sink) (*t_sink)(text);
        return;
    }
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_sink) {
        g_sink(text);
    } else {
        fwrite(text.data(), 1, text.size(), stdout);
        fflush(stdout);
    }
}

void consolePrintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = strFormatV(fmt, ap);
    va_end(ap);
    consolePrint(s);
}

// ---- fatal errors -----------------------------------------------------------

std::string tempDir() {
    for (const char* var : {"temp", "TMPDIR"}) {
        const char* v = getenv(var);
        if (v && *v) return v;
    }
    return "/tmp";
}

namespace {
thread_local bool t_errorLog = true;
}

ErrorLogScope::ErrorLogScope(bool on) : m_previous(t_errorLog) { t_errorLog = on; }
ErrorLogScope::~ErrorLogScope() { t_errorLog = m_previous; }

void fatalError(const std::string& msg, FatalKind kind) {
    if (!t_errorLog) throw FatalError(msg, kind);
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    std::string path = tempDir() + "/" +
                       strFormat("error_%4d%02d%02d_%02d%02d%02d.log", lt.tm_year + 1900, lt.tm_mon + 1,
                                 lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    // The log is best effort: a report without a writable directory still
    // reaches the console and the caller.
    FILE* fp = fopen(path.c_str(), "w");
    if (fp) {
        consolePrintf("\nSaved error log at %s...\n", path.c_str());
        fprintf(fp, "%s\n", msg.c_str());
        fclose(fp);
    } else {
        consolePrintf("\nCannot save error log at %s: %s\n", path.c_str(), msg.c_str());
    }
    throw FatalError(msg, kind);
}

void fatalErrorF(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = strFormatV(fmt, ap);
    va_end(ap);
    fatalError(s);
}

void fatalErrorKF(FatalKind kind, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = strFormatV(fmt, ap);
    va_end(ap);
    fatalError(s, kind);
}

// ---- files -----------------------------------------------------------------

FILE* openOrDie(const std::string& path, const char* mode) {
    FILE* fp = fopen(path.c_str(), mode);
    if (!fp) fatalErrorF("Cannot open file %s (line %d of %s)", path.c_str(), __LINE__, kUnit);
    return fp;
}

bool fileExists(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (!fp) return false;
    fclose(fp);
    return true;
}

int countLines(const std::string& path) {
    FILE* fp = openOrDie(path, "r");
    int reads = 0;
    bool lastEmpty = false;
    char buf[1000];
    while (!feof(fp)) {
        memset(buf, 0, sizeof(buf));
        if (!fgets(buf, sizeof(buf), fp)) buf[0] = '\0';
        if (strlen(buf) == 999) consolePrintf("Warning: MAX_STR_LEN too small at line %d of file %s!\n", __LINE__, kUnit);
        lastEmpty = buf[0] == '\0';
        ++reads;
    }
    fclose(fp);
    return lastEmpty ? reads - 1 : reads;
}

long fileSize(const std::string& path) {
    FILE* fp = openOrDie(path, "rb");
    fseek(fp, 0, SEEK_END);
    long size = ftell(fp);
    fclose(fp);
    return size;
}

std::string fileExtension(const std::string& path) {
    size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

std::string readFileBytes(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) fatalErrorF("Error: Cannot open file \"%s\". (line %d of %s)", path.c_str(), __LINE__, kUnit);
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) data.append(buf, n);
    fclose(fp);
    return data;
}

void splitLines(const std::string& bytes, std::vector<std::string>& lines, char comment) {
    lines.clear();
    std::string line;
    auto flush = [&]() {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && (comment == '\0' || line[0] != comment)) lines.push_back(line);
        line.clear();
    };
    for (char c : bytes) {
        if (c == '\n')
            flush();
        else
            line.push_back(c);
    }
    flush();
}

void readLines(const std::string& path, std::vector<std::string>& lines, char comment) {
    splitLines(readFileBytes(path), lines, comment);
}

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
    FILE* fp = openOrDie(path, "w");
    for (const auto& s : lines) fprintf(fp, "%s\n", s.c_str());
    fclose(fp);
}

void writeIntegers(const std::string& path, const std::vector<int32_t>& values) {
    FILE* fp = openOrDie(path, "w");
    for (int32_t v : values) fprintf(fp, "%d\n", v);
    fclose(fp);
}

void writeValue(const std::string& path, float value) {
    FILE* fp = openOrDie(path, "w");
    fprintf(fp, "%g\n", value);
    fclose(fp);
}

void readFloats(const std::string& path, std::vector<float>& values) {
    FILE* fp = openOrDie(path, "r");
    values.clear();
    float v;
    while (fscanf(fp, "%f", &v) == 1) values.push_back(v);
    fclose(fp);
}

void splitTabTable(const std::vector<std::string>& lines, std::vector<std::vector<std::string>>& table) {
    table.clear();
    table.reserve(lines.size());
    for (const auto& l : lines) {
        std::vector<std::string> row;
        splitString(l, '\t', row);
        table.push_back(std::move(row));
    }
}

void readTabTable(const std::string& path, std::vector<std::vector<std::string>>& table) {
    std::vector<std::string> lines;
    readLines(path, lines);
    splitTabTable(lines, table);
}

// ---- strings ---------------------------------------------------------------

void trimTrailingBlanks(char* s) {
    size_t n = strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = '\0';
}

static bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isCSpace(s[b])) ++b;
    while (e > b && isCSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string toLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string replaceAll(std::string s, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty()) return s;
    size_t pos = 0;
    while ((pos = s.find(pattern, pos)) != std::string::npos) {
        s.replace(pos, pattern.size(), replacement);
        pos += replacement.size();
    }
    return s;
}

void splitString(const std::string& s, char delim, std::vector<std::string>& out, bool append) {
    if (!append) out.clear();
    size_t start = 0;
    while (start < s.size()) {
        size_t p = s.find(delim, start);
        if (p == std::string::npos) {
            out.push_back(s.substr(start));
            return;
        }
        out.push_back(s.substr(start, p - start));
        start = p + 1;
    }
}

std::string joinStrings(const std::vector<std::string>& v, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += sep;
        out += v[i];
    }
    return out;
}

std::string joinInts(const std::vector<int32_t>& v, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += sep;
        out += std::to_string(v[i]);
    }
    return out;
}

void strVecLinSearch(const std::vector<std::string>& v, const std::string& pattern, int matchPos,
                     std::vector<int32_t>& result) {
    result.clear();
    for (size_t i = 0; i < v.size(); ++i) {
        size_t p = v[i].find(pattern);
        if (p == std::string::npos) continue;
        bool take;
        switch (matchPos) {
            case 0: take = true; break;
            case 1: take = p == 0; break;
            case 2: take = p + pattern.size() == v[i].size(); break;
            case 3: take = p == 0 && v[i].size() == pattern.size(); break;
            default: fatalErrorF("Unknown matchPos in strVecLinSearch (line %d of %s)", __LINE__, kUnit);
        }
        if (take) result.push_back(static_cast<int32_t>(i));
    }
}

void printList(const std::vector<std::string>& v, const std::string& name) {
    if (v.empty()) {
        consolePrintf("%s has zero element!\n", name.c_str());
        return;
    }
    for (size_t i = 0; i < v.size(); ++i) consolePrintf("%s[%zu] = %s\n", name.c_str(), i, v[i].c_str());
}

std::vector<std::string> exhaustiveListing(const std::vector<std::vector<std::string>>& lists) {
    // An empty list among the inputs has no combination to offer, so the
    // product is empty; callers decide whether that is an error.
    if (lists.empty()) return {};
    std::vector<std::string> result = lists[0];
    for (size_t k = 1; k < lists.size(); ++k) {
        const auto& lk = lists[k];
        std::vector<std::string> next;
        next.reserve(result.size() * lk.size());
        for (const auto& unit : lk)
            for (const auto& prefix : result) next.push_back(prefix + "-" + unit);
        result.swap(next);
    }
    return result;
}

// ---- numbers ---------------------------------------------------------------

int32_t roundHalfAway(double x) {
    return x > 0 ? static_cast<int32_t>(x + 0.5) : static_cast<int32_t>(x - 0.5);
}

int32_t frame2sampleIndex(int frameIndex, int frameSize, int overlap) {
    return frameIndex * (frameSize - overlap) + frameSize / 2 - 1;
}

float freq2semitone(float freq) {
    if (freq <= 0) return 0;
    return static_cast<float>(12.0 * std::log(freq / 440.0) / 0.69314718055995 + 69.0);
}

float semitone2freq(float semitone) {
    if (semitone <= 0) return 0;
    return static_cast<float>(440.0 * std::pow(2.0, (semitone - 69.0) / 12.0));
}

long clockMs() {
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

}  // namespace qv
