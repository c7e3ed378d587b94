// Helpers for tests that record from the file-backed wave-in device.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qvtest {

// One stretch of a test recording: `ms` milliseconds of a 440 Hz tone of the
// given amplitude (0 = digital silence).
struct Segment {
    int ms;
    int amplitude;
};

// Writes a mono WAV file of the segments at `fs` Hz and `bits` (8 or 16);
// returns the samples as the capture reports them (8-bit unsigned).
std::vector<int32_t> writeToneWav(const std::string& path, const std::vector<Segment>& segments, int fs = 16000,
                                  int bits = 16);

// Runs fn on another thread; a test that has not finished after `seconds`
// fails loudly and ends the test process instead of hanging the suite.
void runBounded(const std::function<void()>& fn, double seconds, const char* what);

// Sets (or with nullptr unsets) an environment variable for one scope.
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

}  // namespace qvtest
