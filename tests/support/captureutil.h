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

}  // namespace qvtest

#include "support/testutil.h"

namespace qvtest {

// An installation folder for the control: telvoDataChinese/output/ and a
// recording.prm whose level stays at its initial value (silence is quiet, a
// tone of amplitude 10000 is speech; 0.3 s of silence ends speech).
// QUORVANE_HOME points at it; the current directory is restored afterwards.
class ControlHome {
public:
    ControlHome();
    ~ControlHome();
    ControlHome(const ControlHome&) = delete;
    ControlHome& operator=(const ControlHome&) = delete;

    const std::string& root() const { return m_dir.path(); }
    // root()/telvoDataChinese/<rel>
    std::string data(const std::string& rel) const { return m_dir.path() + "/telvoDataChinese/" + rel; }
    std::string log() const { return readFile(data("output/QUORVANE_LOG.txt")); }

private:
    ScratchDir m_dir;
    ScopedEnv m_env;
    std::string m_cwd;
};

}  // namespace qvtest
