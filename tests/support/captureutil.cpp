#include "captureutil.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <filesystem>

#include "capture/wave.h"

namespace qvtest {

std::vector<int32_t> writeToneWav(const std::string& path, const std::vector<Segment>& segments, int fs, int bits) {
    std::vector<int32_t> s;
    for (const auto& seg : segments) {
        const int n = fs * seg.ms / 1000;
        for (int i = 0; i < n; ++i) {
            double v = seg.amplitude * std::sin(2 * M_PI * 440.0 * static_cast<double>(s.size()) / fs);
            int32_t x = static_cast<int32_t>(std::lround(v));
            s.push_back(bits == 8 ? 128 + x : x);
        }
    }
    qv::CWave w(1, fs, bits);
    w.setSamples(s.data(), static_cast<int>(s.size()));
    w.save(path);
    return s;
}

void runBounded(const std::function<void()>& fn, double seconds, const char* what) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t([&] {
        fn();
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; })) {
        fprintf(stderr, "TIMEOUT: %s did not finish within %.1f s\n", what, seconds);
        fflush(stderr);
        std::_Exit(3);
    }
    lock.unlock();
    t.join();
}

ControlHome::ControlHome() : m_env("QUORVANE_HOME", nullptr) {
    std::filesystem::create_directories(data("output"));
    writeFile(data("recording.prm"),
              "nbits = 16\nfs = 16000\nnAdjustFrame = 0\nupRateBSModify = 1\n"
              "silenceLimitBeforeSpeech = 10\nsilenceLimitInSpeech = 0.3\n");
    setenv("QUORVANE_HOME", m_dir.path().c_str(), 1);
    char buf[4096];
    if (getcwd(buf, sizeof(buf))) m_cwd = buf;
}

ControlHome::~ControlHome() {
    if (!m_cwd.empty() && chdir(m_cwd.c_str()) != 0) perror("chdir");
}

}  // namespace qvtest
