#include "capture/recording.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "capture/wave.h"
#include "engine/utility.h"
#include "platform/threadMsg.h"
#include "platform/waveIn.h"

namespace qv {

void recordParamRead(const std::string& path, recordParam& param) {
    recordParamReadBytes(readFileBytes(path), path, param);
}

void recordParamReadBytes(const std::string& bytes, const std::string& path, recordParam& param) {
    std::vector<std::string> lines;
    splitLines(bytes, lines, '%');
    param = recordParam();
    for (const std::string& raw : lines) {
        std::string line = raw.substr(0, raw.find('%'));
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trim(line.substr(0, eq));
        std::string value = trim(line.substr(eq + 1));
        const char* v = value.c_str();
        if (key == "totalDuration") param.totalDuration = atof(v);
        else if (key == "nbits") param.nbits = atoi(v);
        else if (key == "fs") param.fs = atoi(v);
        else if (key == "nAdjustFrame") param.nAdjustFrame = atoi(v);
        else if (key == "upRateBSInit") param.upRateBSInit = atof(v);
        else if (key == "upRateBSNew") param.upRateBSNew = atof(v);
        else if (key == "upRateBSModify") param.upRateBSModify = atof(v);
        else if (key == "downRateBSInit") param.downRateBSInit = atof(v);
        else if (key == "downRateBSNew") param.downRateBSNew = atof(v);
        else if (key == "downRateBSModifyUsingVol") param.downRateBSModifyUsingVol = atof(v);
        else if (key == "upRateFrame") param.upRateFrame = atof(v);
        else if (key == "downRateFrame") param.downRateFrame = atof(v);
        else if (key == "silenceLimitBeforeSpeech") param.silenceLimitBeforeSpeech = atof(v);
        else if (key == "silenceLimitInSpeech") param.silenceLimitInSpeech = atof(v);
        else {
            consolePrintf("Unknown key = %s\n", key.c_str());
            fatalErrorF("Error in parsing %s (line %d of file %s)", path.c_str(), __LINE__, "recording");
        }
    }
}

namespace {

constexpr int kBufferCount = 2;
constexpr int kCloseRetries = 5;

// State of the capture in progress, shared by the capturing call and the
// recording thread (which owns it while handling a message).
struct CaptureState {
    int frameSize = 0;
    int bytesPerSample = 0;
    int bytesPerFrame = 0;
    int budget = 0;
    int written = 0;
    double level = 0;
    double upRate = 0;
    double downRate = 0;
    int adjustCounter = 0;
    bool adjusting = false;
    bool speechStarted = false;
    int silentFrames = 0;
    int limitBefore = 0;
    int limitIn = 0;
    bool active = false;
    int returned = 0;
    HWaveIn device = nullptr;
    AutoResetEvent* notify = nullptr;
    int32_t* samples = nullptr;
    const std::atomic<uint8_t>* stopFlag = nullptr;
    int* result = nullptr;
    recordParam param;
};

std::mutex g_stateMutex;
CaptureState g_state;
std::mutex g_captureMutex;  // one capture at a time

int truncToInt(double x) {
    if (!(x > INT_MIN)) return x != x ? 0 : INT_MIN;
    if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(x);
}

// Mean absolute deviation of a frame's samples from their mean.
double frameVolume(const uint8_t* p, int n, int bytesPerSample) {
    if (n <= 0) return 0;
    double sum = 0;
    if (bytesPerSample == 2) {
        for (int i = 0; i < n; ++i) sum += static_cast<int16_t>(p[2 * i] | (p[2 * i + 1] << 8));
        const double mean = sum / n;
        double dev = 0;
        for (int i = 0; i < n; ++i) dev += std::fabs(static_cast<int16_t>(p[2 * i] | (p[2 * i + 1] << 8)) - mean);
        return dev / n;
    }
    for (int i = 0; i < n; ++i) sum += p[i];
    const double mean = sum / n;
    double dev = 0;
    for (int i = 0; i < n; ++i) dev += std::abs(static_cast<int>(p[i] - mean));
    return dev / n;
}

void stopCapture(CaptureState& s) {
    s.active = false;
    *s.result = s.written;
    waveInReset(s.device);  // every queued buffer comes back as MM_WIM_DATA
}

// Handles the frames of one returned buffer.
void handleBuffer(CaptureState& s, const WaveHeader& h) {
    const recordParam& p = s.param;
    if (s.bytesPerFrame <= 0 || s.bytesPerSample <= 0 || !s.result) return;  // no capture in progress
    const int bytes = static_cast<int>(std::min(h.bytesRecorded, h.bufferLength));
    for (int off = 0; off < bytes; off += s.bytesPerFrame) {
        const int n = std::min(s.bytesPerFrame, bytes - off) / s.bytesPerSample;
        const uint8_t* f = h.data + off;
        const double v = frameVolume(f, n, s.bytesPerSample);

        for (int i = 0; i < n && s.written < s.budget; ++i)
            s.samples[s.written++] =
                s.bytesPerSample == 2 ? static_cast<int16_t>(f[2 * i] | (f[2 * i + 1] << 8)) : static_cast<int32_t>(f[i]);

        if (s.adjusting) {
            if (v <= s.level)
                s.level -= p.downRateFrame * v;
            else
                s.level += p.upRateFrame * v;
            if (--s.adjustCounter <= 0) s.adjusting = false;
        }
        if (!s.speechStarted) {
            if (v > s.level) {
                s.downRate = p.downRateBSNew;
                s.level += s.upRate * v;
                s.upRate *= p.upRateBSModify;
            } else {
                s.upRate = p.upRateBSNew;
                s.level -= s.downRate * v;
                s.level = std::max(s.level, p.downRateBSModifyUsingVol * v);
            }
        }
        int limit;
        if (v >= s.level) {
            s.speechStarted = true;
            s.silentFrames = 0;
            limit = s.limitIn;
        } else {
            ++s.silentFrames;
            limit = s.speechStarted ? s.limitIn : s.limitBefore;
        }
        if (s.silentFrames >= limit || s.written == s.budget || (s.stopFlag && s.stopFlag->load() != 0)) {
            stopCapture(s);
            return;
        }
    }
}

}  // namespace

void recordThreadProc() {
    Msg m;
    while (getMessage(m)) {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        CaptureState& s = g_state;
        if (m.message == MM_WIM_OPEN) {
            s.returned = 0;
        } else if (m.message == MM_WIM_DATA && m.lParam) {
            WaveHeader* h = reinterpret_cast<WaveHeader*>(m.lParam);
            handleBuffer(s, *h);
            if (s.active && s.device && waveInAddBuffer(s.device, h) != MM_NOERROR) {
                // A device that takes no more buffers would leave the capture
                // waiting for ever: end it with what we have.
                stopCapture(s);
            }
            if (!s.active && ++s.returned >= kBufferCount) {
                if (s.notify) s.notify->set();
                return;
            }
        }
    }
}

int recordWithSilenceLimit(const recordParam& p, int32_t* samples, int budget, const std::atomic<uint8_t>* stopFlag) {
    if (p.nbits != 8 && p.nbits != 16) {
        consolePrintf("error: \"nbits\" can only be 8 or 16!\n");
        return -1;
    }
    if (p.silenceLimitBeforeSpeech < 0) {
        consolePrintf("error: \"silenceLimitBeforeSpeech\" must be greater or equal to 0!\n");
        return -1;
    }
    if (p.silenceLimitInSpeech < 0) {
        consolePrintf("error: \"silenceLimitInSpeech\" must be greater or equal to 0!\n");
        return -1;
    }
    // A 20 ms frame needs at least one sample; a zero rate would divide by zero.
    if (p.fs < 50 || p.fs > 384000) {
        consolePrintf("error: \"fs\" must be between 50 and 384000!\n");
        return -1;
    }
    if (budget < 0 || (budget > 0 && !samples)) {
        consolePrintf("error: no room for the recorded samples!\n");
        return -1;
    }
    std::unique_lock<std::mutex> captureLock(g_captureMutex, std::try_to_lock);
    if (!captureLock.owns_lock()) {
        consolePrintf("error: another recording is in progress!\n");
        return -1;
    }

    const int frameSize = static_cast<int>(p.fs * 0.02);
    const int framesPerSec = p.fs / frameSize;
    // Auto-reset, initially clear; the recording thread sets it when both
    // buffers are back.
    AutoResetEvent notify;
    const double initialLevel = std::pow(2.0, p.nbits - 1) * 0.025;
    const int limitBefore = truncToInt(p.silenceLimitBeforeSpeech * framesPerSec);
    const int limitIn = truncToInt(p.silenceLimitInSpeech * framesPerSec);
    const int bytesPerSample = p.nbits / 8;

    MessageThread thread;
    if (!thread.start(recordThreadProc)) {
        consolePrintf("Can't create WAVE recording thread! -- %08X\n", static_cast<unsigned>(errno));
        return -1;
    }
    auto endThread = [&]() {
        postThreadMessage(thread.id(), WM_QUIT, 0, 0);
        thread.join();
    };

    WaveFormat fmt;
    fmt.formatTag = WAVE_FORMAT_PCM_TAG;
    fmt.channels = 1;
    fmt.samplesPerSec = static_cast<uint32_t>(p.fs);
    fmt.avgBytesPerSec = static_cast<uint32_t>(p.fs) * static_cast<uint32_t>(p.nbits) / 8;
    fmt.blockAlign = static_cast<uint16_t>(p.nbits / 8);
    fmt.bitsPerSample = static_cast<uint16_t>(p.nbits);
    fmt.extraSize = 0;

    const uint32_t bufferSize = static_cast<uint32_t>(fmt.avgBytesPerSec * 0.1);
    std::vector<uint8_t> block;
    try {
        block.assign(static_cast<size_t>(bufferSize) * kBufferCount, 0);
    } catch (const std::bad_alloc&) {
        consolePrintf("ERROR: Can't allocate memory for WAVE buffer!\n");
        endThread();
        return -1;
    }
    WaveHeader headers[kBufferCount];
    for (int i = 0; i < kBufferCount; ++i) {
        headers[i].data = block.data() + static_cast<size_t>(i) * bufferSize;
        headers[i].bufferLength = bufferSize;
    }

    HWaveIn device = nullptr;
    uint32_t r = waveInOpen(&device, WAVE_MAPPER, fmt, thread.id());
    if (r != MM_NOERROR) {
        reportDeviceError(r, "Can't open WAVE In Device!");
        endThread();
        return -1;
    }

    int result = 0;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        CaptureState& s = g_state;
        s = CaptureState();
        s.param = p;
        s.frameSize = frameSize;
        s.bytesPerSample = bytesPerSample;
        s.bytesPerFrame = frameSize * bytesPerSample;
        s.budget = budget;
        s.written = 0;
        s.level = initialLevel;
        s.upRate = p.upRateBSInit;
        s.downRate = p.downRateBSInit;
        s.adjustCounter = p.nAdjustFrame;
        s.adjusting = p.nAdjustFrame > 0;  // no adjustment phase when it is 0 frames long
        s.speechStarted = false;
        s.silentFrames = 0;
        s.limitBefore = limitBefore;
        s.limitIn = limitIn;
        s.active = true;
        s.returned = 0;
        s.device = device;
        s.notify = &notify;
        s.samples = samples;
        s.stopFlag = stopFlag;
        s.result = &result;
    }

    auto closeDevice = [&]() {
        for (int attempt = 0;; ++attempt) {
            uint32_t c = waveInClose(device);
            if (c == MM_NOERROR) return;
            reportDeviceError(c, "Can't close WAVE In Device!");
            // A device that never closes must not hold the capture for ever.
            if (attempt >= kCloseRetries) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    };
    // Set-up failed after the device was opened: nothing may reach the
    // recording thread any more, then the device is emptied and closed.
    auto abandon = [&]() {
        endThread();
        waveInReset(device);
        for (auto& h : headers) waveInUnprepareHeader(device, &h);
        closeDevice();
        std::lock_guard<std::mutex> lock(g_stateMutex);
        g_state = CaptureState();
        return -1;
    };

    for (int i = 0; i < kBufferCount; ++i) {
        r = waveInPrepareHeader(device, &headers[i]);
        if (r != MM_NOERROR) {
            consolePrintf("Error preparing WAVEHDR %d! -- %08X\n", i, r);
            return abandon();
        }
    }
    for (int i = 0; i < kBufferCount; ++i) {
        r = waveInAddBuffer(device, &headers[i]);
        if (r != MM_NOERROR) {
            consolePrintf("Error queueing WAVEHDR %d! -- %08X\n", i, r);
            return abandon();
        }
    }
    r = waveInStart(device);
    if (r != MM_NOERROR) {
        consolePrintf("Error starting record! -- %08X\n", r);
        // A device that never started delivers no buffer to end the wait.
        return abandon();
    }

    notify.wait();
    thread.join();

    for (int i = 0; i < kBufferCount; ++i) {
        r = waveInUnprepareHeader(device, &headers[i]);
        if (r != MM_NOERROR) consolePrintf("Error unpreparing WAVEHDR %d! -- %08X\n", i, r);
    }
    closeDevice();
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        g_state = CaptureState();
    }
    return result;
}

}  // namespace qv
