#include "platform/waveIn.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/audioBackend.h"

namespace qv {

namespace {

// Plays a WAV file into the buffers, then silence.
class FileSource : public CaptureSource {
public:
    FileSource(std::vector<uint8_t> bytes, const WaveFormat& format, bool realTime)
        : m_bytes(std::move(bytes)), m_format(format), m_realTime(realTime) {}

    uint32_t start() override {
        m_startTime = std::chrono::steady_clock::now();
        m_delivered = 0;
        return MM_NOERROR;
    }

    int read(uint8_t* dst, int n, const std::atomic<bool>& cancel, bool& /*failed*/) override {
        int count = n;
        if (m_realTime) {
            // Wait until the buffer's last byte "has been spoken"; a reset
            // meanwhile yields what has been captured so far.
            const double bytesPerUs = m_format.avgBytesPerSec / 1e6;
            const auto due = m_startTime + std::chrono::microseconds(
                                               static_cast<int64_t>((m_delivered + static_cast<uint64_t>(n)) / bytesPerUs));
            while (std::chrono::steady_clock::now() < due) {
                if (cancel) {
                    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                                    m_startTime)
                                  .count();
                    int64_t avail = static_cast<int64_t>(us * bytesPerUs) - static_cast<int64_t>(m_delivered);
                    avail -= avail % m_format.blockAlign;
                    count = static_cast<int>(avail < 0 ? 0 : (avail > n ? n : avail));
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        size_t left = m_pos < m_bytes.size() ? m_bytes.size() - m_pos : 0;
        size_t fromFile = std::min(left, static_cast<size_t>(count));
        if (fromFile) memcpy(dst, m_bytes.data() + m_pos, fromFile);
        memset(dst + fromFile, m_format.bitsPerSample == 8 ? 0x80 : 0, static_cast<size_t>(count) - fromFile);
        m_pos += fromFile;
        m_delivered += static_cast<uint64_t>(count);
        return count;
    }

    void stop() override {}

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    WaveFormat m_format;
    bool m_realTime;
    std::chrono::steady_clock::time_point m_startTime;
    uint64_t m_delivered = 0;
};

uint32_t openFileCapture(const std::string& path, bool realTime, const WaveFormat& format,
                         std::unique_ptr<CaptureSource>& out) {
    CWave wave;
    if (!wave.load(path)) return MM_BADDEVICEID;
    if (wave.sampleRate() != static_cast<int>(format.samplesPerSec)) return MM_WAVE_BADFORMAT;
    const int bits = wave.bitsPerSample();
    const int channels = wave.channels() > 0 ? wave.channels() : 1;
    if (bits != 8 && bits != 16) return MM_WAVE_BADFORMAT;
    std::vector<int32_t> samples(static_cast<size_t>(wave.dataSize() / (bits / 8)));
    int n = wave.getSamples(samples.data(), static_cast<int>(samples.size()));
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(n / channels) * (format.bitsPerSample / 8));
    for (int i = 0; i + channels <= n; i += channels) {
        int32_t s = samples[static_cast<size_t>(i)];  // first channel only
        if (format.bitsPerSample == 16) {
            int16_t v = static_cast<int16_t>(bits == 8 ? (s - 128) * 256 : s);
            bytes.push_back(static_cast<uint8_t>(v & 0xFF));
            bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        } else {
            bytes.push_back(static_cast<uint8_t>(bits == 8 ? s : (s >> 8) + 128));
        }
    }
    out.reset(new FileSource(std::move(bytes), format, realTime));
    return MM_NOERROR;
}

uint32_t openSource(const WaveFormat& format, std::unique_ptr<CaptureSource>& out) {
    const char* env = getenv("QUORVANE_WAVEIN");
    std::string setting = env ? env : "";
    if (setting.rfind("file:", 0) == 0) return openFileCapture(setting.substr(5), true, format, out);
    if (setting.rfind("file-fast:", 0) == 0) return openFileCapture(setting.substr(10), false, format, out);
    if (setting.empty()) return openDefaultCapture(format, out);
    if (setting == "alsa") return openAlsaCapture("default", format, out);
    if (setting.rfind("alsa:", 0) == 0) return openAlsaCapture(setting.substr(5), format, out);
    return MM_BADDEVICEID;
}

std::mutex g_devicesMutex;
std::set<WaveInDevice*>& openDevices() {
    static auto* s = new std::set<WaveInDevice*>();
    return *s;
}

}  // namespace

struct WaveInDevice {
    std::unique_ptr<CaptureSource> source;
    WaveFormat format;
    ThreadId callback = 0;

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<WaveHeader*> queue;
    WaveHeader* filling = nullptr;
    bool started = false;
    bool closing = false;
    bool failed = false;
    std::atomic<bool> cancel{false};
    std::thread worker;

    void post(uint32_t message, WaveHeader* h) {
        if (callback) postThreadMessage(callback, message, reinterpret_cast<uintptr_t>(this), reinterpret_cast<intptr_t>(h));
    }

    // Fills queued buffers one at a time and hands each back by message.
    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return closing || (started && !failed && !cancel && !queue.empty()); });
            if (closing) return;
            WaveHeader* h = queue.front();
            queue.pop_front();
            filling = h;
            lock.unlock();
            bool err = false;
            int got = 0;
            const int len = static_cast<int>(h->bufferLength);
            while (got < len && !cancel && !err) got += source->read(h->data + got, len - got, cancel, err);
            lock.lock();
            h->bytesRecorded = static_cast<uint32_t>(got);
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            filling = nullptr;
            if (err) failed = true;
            post(MM_WIM_DATA, h);
            cv.notify_all();
        }
    }
};

static bool validDevice(HWaveIn d) {
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    return d && openDevices().count(d) > 0;
}

uint32_t waveInOpen(HWaveIn* device, uint32_t deviceId, const WaveFormat& format, ThreadId callbackThread) {
    if (!device) return MM_INVALPARAM;
    *device = nullptr;
    if (deviceId != WAVE_MAPPER && deviceId != 0) return MM_BADDEVICEID;
    if (format.formatTag != WAVE_FORMAT_PCM_TAG || format.channels != 1 ||
        (format.bitsPerSample != 8 && format.bitsPerSample != 16) || format.samplesPerSec == 0 ||
        format.samplesPerSec > 384000 || format.blockAlign != format.channels * format.bitsPerSample / 8 ||
        format.avgBytesPerSec != format.blockAlign * format.samplesPerSec)
        return MM_WAVE_BADFORMAT;
    auto dev = std::make_unique<WaveInDevice>();
    dev->format = format;
    dev->callback = callbackThread;
    uint32_t r = openSource(format, dev->source);
    if (r != MM_NOERROR) return r;
    if (callbackThread && !postThreadMessage(callbackThread, MM_WIM_OPEN, reinterpret_cast<uintptr_t>(dev.get()), 0))
        return MM_INVALPARAM;
    try {
        WaveInDevice* d = dev.get();
        dev->worker = std::thread([d] { d->run(); });
    } catch (const std::system_error&) {
        return MM_NOMEM;
    }
    {
        std::lock_guard<std::mutex> lock(g_devicesMutex);
        openDevices().insert(dev.get());
    }
    *device = dev.release();
    return MM_NOERROR;
}

uint32_t waveInPrepareHeader(HWaveIn device, WaveHeader* header) {
    if (!validDevice(device)) return MM_INVALHANDLE;
    if (!header || !header->data || header->bufferLength == 0) return MM_INVALPARAM;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (header->flags & WHDR_INQUEUE) return MM_WAVE_STILLPLAYING;
    header->flags |= WHDR_PREPARED;
    return MM_NOERROR;
}

uint32_t waveInUnprepareHeader(HWaveIn device, WaveHeader* header) {
    if (!validDevice(device)) return MM_INVALHANDLE;
    if (!header) return MM_INVALPARAM;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (header->flags & WHDR_INQUEUE) return MM_WAVE_STILLPLAYING;
    header->flags &= ~WHDR_PREPARED;
    return MM_NOERROR;
}

uint32_t waveInAddBuffer(HWaveIn device, WaveHeader* header) {
    if (!validDevice(device)) return MM_INVALHANDLE;
    if (!header || !header->data || header->bufferLength == 0) return MM_INVALPARAM;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!(header->flags & WHDR_PREPARED)) return MM_WAVE_UNPREPARED;
    if (header->flags & WHDR_INQUEUE) return MM_WAVE_STILLPLAYING;
    if (device->failed) return MM_ERROR;
    header->flags = (header->flags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->bytesRecorded = 0;
    device->queue.push_back(header);
    device->cv.notify_all();
    return MM_NOERROR;
}

uint32_t waveInStart(HWaveIn device) {
    if (!validDevice(device)) return MM_INVALHANDLE;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->started) return MM_NOERROR;
    uint32_t r = device->source->start();
    if (r != MM_NOERROR) return r;
    device->started = true;
    device->cv.notify_all();
    return MM_NOERROR;
}

uint32_t waveInReset(HWaveIn device) {
    if (!validDevice(device)) return MM_INVALHANDLE;
    std::unique_lock<std::mutex> lock(device->mutex);
    device->cancel = true;
    device->cv.wait(lock, [&] { return device->filling == nullptr; });
    device->started = false;
    device->source->stop();
    for (WaveHeader* h : device->queue) {
        h->bytesRecorded = 0;
        h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
        device->post(MM_WIM_DATA, h);
    }
    device->queue.clear();
    device->failed = false;
    device->cancel = false;
    return MM_NOERROR;
}

uint32_t waveInClose(HWaveIn device) {
    if (!validDevice(device)) return MM_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!device->queue.empty() || device->filling) return MM_WAVE_STILLPLAYING;
        device->closing = true;
        device->cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(g_devicesMutex);
        openDevices().erase(device);
    }
    device->worker.join();
    device->source.reset();
    device->post(MM_WIM_CLOSE, nullptr);
    delete device;
    return MM_NOERROR;
}

std::string waveInGetErrorText(uint32_t code) { return waveInErrorText(code); }

int waveInOpenCount() {
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    return static_cast<int>(openDevices().size());
}

}  // namespace qv
