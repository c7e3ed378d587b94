// Small helpers shared by the tests: a scratch directory per test, whole
// file reads/writes, console capture, the error-log directory and fatal
// error messages.
#pragma once

#include <string>

#include "engine/utility.h"

namespace qvtest {

// A fresh directory below the build tree, removed on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
std::string dataPath(const std::string& name);  // tests/data/<name>

// Collects the engine's console output in `text` while alive; stdout again
// afterwards.
struct ConsoleCapture {
    std::string text;
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
};

// Sets (or with nullptr unsets) an environment variable for one scope.
// The old value, or its absence, comes back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had;
};

// Points "temp" (where fatal errors save their logs) at `dir` for one scope.
class TempDirEnv : public ScopedEnv {
public:
    explicit TempDirEnv(const std::string& dir) : ScopedEnv("temp", dir.c_str()) {}
};

// Runs f and returns the message of the FatalError it throws, or `none` when
// it returns normally.
template <class F>
std::string fatalMessage(F&& f, const std::string& none = "<no fatal error>") {
    try {
        f();
    } catch (const qv::FatalError& e) {
        return e.what();
    }
    return none;
}

}  // namespace qvtest
