// Free functions shared by every engine unit: the fatal-error report, file and
// string helpers, rounding, frame/pitch unit conversions and the elapsed-time
// clock behind the "%4.3f sec: ..." progress lines.
//
// Strings are byte strings (Chinese text is Big5); nothing here interprets
// multi-byte characters.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace qv {

// What a fatal error is about, so that an entry point can tell the user's
// input from a broken data set. Most errors are about the data set or the
// parameters.
enum class FatalKind { Data, UnreadableAudio, TooQuiet, Clipped, NoSpeech, TextNotCovered, Internal };

// The one exception of the engine. It owns a copy of the message text, which
// already names its origin, e.g. "... (line 42 of utility)".
class FatalError : public std::exception {
public:
    explicit FatalError(std::string msg, FatalKind kind = FatalKind::Data) : m_msg(std::move(msg)), m_kind(kind) {}
    const char* what() const noexcept override { return m_msg.c_str(); }
    const std::string& message() const noexcept { return m_msg; }
    FatalKind kind() const noexcept { return m_kind; }

private:
    std::string m_msg;
    FatalKind m_kind;
};

// printf into a std::string.
std::string strFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string strFormatV(const char* fmt, va_list ap);

// Writes the message to an error log in the temporary directory (when the
// error log is on, see ErrorLogScope), prints "\nSaved error log at %s...\n"
// and throws FatalError. Never returns.
[[noreturn]] void fatalError(const std::string& msg, FatalKind kind = FatalKind::Data);
// printf-style convenience: fatalErrorF("Cannot open %s (line %d of %s)", p, __LINE__, "unit").
[[noreturn]] void fatalErrorF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatalErrorKF(FatalKind kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Turns the error log file on or off for the calling thread while it lives
// (on by default). A run keeps it only when it has an output folder, so a
// run without one leaves no file behind.
class ErrorLogScope {
public:
    explicit ErrorLogScope(bool on);
    ~ErrorLogScope();
    ErrorLogScope(const ErrorLogScope&) = delete;
    ErrorLogScope& operator=(const ErrorLogScope&) = delete;

private:
    bool m_previous;
};

// Directory of the error log: "temp", else TMPDIR, else /tmp.
std::string tempDir();

// ---- console sink ---------------------------------------------------------
// Every console line of the engine (progress lines, warnings, "===> Saved")
// goes through one replaceable sink so that a host can capture or silence it.
using ConsoleSink = std::function<void(const std::string&)>;
void setConsoleSink(ConsoleSink sink);  // empty function restores stdout
// Routes the calling thread's console lines to `sink` while it lives,
// bypassing the process-wide sink (an empty sink drops them). Lets several
// runs on different threads each have their own log.
class ThreadConsoleScope {
public:
    explicit ThreadConsoleScope(ConsoleSink sink);
    ~ThreadConsoleScope();
    ThreadConsoleScope(const ThreadConsoleScope&) = delete;
    ThreadConsoleScope& operator=(const ThreadConsoleScope&) = delete;

private:
    ConsoleSink m_sink;
    ConsoleSink* m_previous;
};
void consolePrint(const std::string& text);
void consolePrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- files ----------------------------------------------------------------
FILE* openOrDie(const std::string& path, const char* mode);
bool fileExists(const std::string& path);
int countLines(const std::string& path);
long fileSize(const std::string& path);
std::string fileExtension(const std::string& path);
// Fills `lines`; drops empty lines and lines whose first byte is `comment`
// (pass '\0' for none); one trailing CR is removed.
void readLines(const std::string& path, std::vector<std::string>& lines, char comment = '\0');
// The whole file as bytes (fatal if it cannot be opened), and the line split
// readLines applies to it, for readers that take their input from memory.
std::string readFileBytes(const std::string& path);
void splitLines(const std::string& bytes, std::vector<std::string>& lines, char comment = '\0');
void writeLines(const std::string& path, const std::vector<std::string>& lines);
void writeIntegers(const std::string& path, const std::vector<int32_t>& values);
void writeValue(const std::string& path, float value);
void readFloats(const std::string& path, std::vector<float>& values);
void readTabTable(const std::string& path, std::vector<std::vector<std::string>>& table);
void splitTabTable(const std::vector<std::string>& lines, std::vector<std::vector<std::string>>& table);

// ---- strings --------------------------------------------------------------
void trimTrailingBlanks(char* s);
std::string trim(const std::string& s);
std::string toLower(std::string s);
std::string replaceAll(std::string s, const std::string& pattern, const std::string& replacement);
void splitString(const std::string& s, char delim, std::vector<std::string>& out, bool append = false);
std::string joinStrings(const std::vector<std::string>& v, const std::string& sep);
std::string joinInts(const std::vector<int32_t>& v, const std::string& sep);
// matchPos 0 contains, 1 prefix, 2 suffix (first occurrence ends at the end), 3 equal.
void strVecLinSearch(const std::vector<std::string>& v, const std::string& pattern, int matchPos,
                     std::vector<int32_t>& result);
void printList(const std::vector<std::string>& v, const std::string& name);
// All combinations joined with "-"; the later list varies slowest.
std::vector<std::string> exhaustiveListing(const std::vector<std::vector<std::string>>& lists);

// ---- numbers and units ----------------------------------------------------
int32_t roundHalfAway(double x);
int32_t frame2sampleIndex(int frameIndex, int frameSize, int overlap);
float freq2semitone(float freq);
float semitone2freq(float semitone);

// ---- elapsed-time clock ---------------------------------------------------
// Milliseconds of elapsed wall time on a monotonic clock; progress lines print
// the difference of two readings divided by 1000.0 with "%4.3f".
long clockMs();

}  // namespace qv
