// The default capture device and mixer on Windows, through winmm: the wave
// mapper's wave-in device, and the mixer that belongs to it. The platform
// headers come first: the system headers then define the same device names
// as macros, so below only the system's spellings are used.
#include "platform/audioBackend.h"

#include <windows.h>
#include <mmsystem.h>

#include <vector>

namespace qv {

namespace {

constexpr int kBuffers = 4;

std::string narrow(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    return s;
}

// Captures into four 100 ms buffers of its own; read() hands their bytes on
// in order and queues each buffer again once it is used up.
class WinmmSource : public CaptureSource {
public:
    WinmmSource(HWAVEIN h, HANDLE done, int bufferBytes) : m_h(h), m_done(done) {
        for (int i = 0; i < kBuffers; ++i) {
            m_data[i].resize(static_cast<size_t>(bufferBytes));
            m_hdr[i] = WAVEHDR{};
            m_hdr[i].lpData = m_data[i].data();
            m_hdr[i].dwBufferLength = static_cast<DWORD>(bufferBytes);
            waveInPrepareHeader(m_h, &m_hdr[i], sizeof(WAVEHDR));
        }
    }
    ~WinmmSource() override {
        waveInReset(m_h);
        for (auto& hdr : m_hdr) waveInUnprepareHeader(m_h, &hdr, sizeof(WAVEHDR));
        waveInClose(m_h);
        CloseHandle(m_done);
    }

    uint32_t start() override {
        for (auto& hdr : m_hdr) {
            if (hdr.dwFlags & WHDR_INQUEUE) continue;
            hdr.dwFlags &= ~WHDR_DONE;
            const MMRESULT r = waveInAddBuffer(m_h, &hdr, sizeof(WAVEHDR));
            if (r != MMSYSERR_NOERROR) return r;
        }
        m_current = 0;
        m_offset = 0;
        return waveInStart(m_h);
    }

    int read(uint8_t* dst, int n, const std::atomic<bool>& cancel, bool& failed) override {
        int got = 0;
        while (got < n) {
            WAVEHDR& hdr = m_hdr[m_current];
            if (!(hdr.dwFlags & WHDR_DONE)) {
                if (cancel) return got;
                WaitForSingleObject(m_done, 20);
                continue;
            }
            const int avail = static_cast<int>(hdr.dwBytesRecorded) - m_offset;
            const int take = avail < n - got ? avail : n - got;
            memcpy(dst + got, hdr.lpData + m_offset, static_cast<size_t>(take));
            got += take;
            m_offset += take;
            if (m_offset >= static_cast<int>(hdr.dwBytesRecorded)) {
                hdr.dwFlags &= ~WHDR_DONE;
                if (waveInAddBuffer(m_h, &hdr, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                    failed = true;
                    return got;
                }
                m_current = (m_current + 1) % kBuffers;
                m_offset = 0;
            }
        }
        return got;
    }

    void stop() override { waveInReset(m_h); }

private:
    HWAVEIN m_h;
    HANDLE m_done;
    std::vector<char> m_data[kBuffers];
    WAVEHDR m_hdr[kBuffers];
    int m_current = 0;
    int m_offset = 0;
};

class WinmmMixer : public MixerBackend {
public:
    explicit WinmmMixer(HMIXER h) : m_h(h) {}
    ~WinmmMixer() override { mixerClose(m_h); }

    uint32_t destinationLine(uint32_t componentType, MixerLine& line) override {
        MIXERLINEW ml = {};
        ml.cbStruct = sizeof ml;
        ml.dwComponentType = componentType;
        const MMRESULT r = mixerGetLineInfoW(reinterpret_cast<HMIXEROBJ>(m_h), &ml, MIXER_GETLINEINFOF_COMPONENTTYPE);
        if (r == MMSYSERR_NOERROR) fill(ml, line);
        return r;
    }
    uint32_t sourceLine(const MixerLine& destination, uint32_t source, MixerLine& line) override {
        MIXERLINEW dst = {};
        dst.cbStruct = sizeof dst;
        dst.dwLineID = destination.lineId;
        MMRESULT r = mixerGetLineInfoW(reinterpret_cast<HMIXEROBJ>(m_h), &dst, MIXER_GETLINEINFOF_LINEID);
        if (r != MMSYSERR_NOERROR) return r;
        MIXERLINEW ml = {};
        ml.cbStruct = sizeof ml;
        ml.dwDestination = dst.dwDestination;
        ml.dwSource = source;
        r = mixerGetLineInfoW(reinterpret_cast<HMIXEROBJ>(m_h), &ml, MIXER_GETLINEINFOF_SOURCE);
        if (r == MMSYSERR_NOERROR) fill(ml, line);
        return r;
    }
    uint32_t volumeControl(const MixerLine& line, MixerControl& control) override {
        MIXERCONTROLW mc = {};
        mc.cbStruct = sizeof mc;
        MIXERLINECONTROLSW mlc = {};
        mlc.cbStruct = sizeof mlc;
        mlc.dwLineID = line.lineId;
        mlc.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
        mlc.cControls = 1;
        mlc.cbmxctrl = sizeof mc;
        mlc.pamxctrl = &mc;
        const MMRESULT r =
            mixerGetLineControlsW(reinterpret_cast<HMIXEROBJ>(m_h), &mlc, MIXER_GETLINECONTROLSF_ONEBYTYPE);
        if (r != MMSYSERR_NOERROR) return r;
        control.controlId = mc.dwControlID;
        control.lineId = line.lineId;
        control.minimum = mc.Bounds.dwMinimum;
        control.maximum = mc.Bounds.dwMaximum - mc.Bounds.dwMinimum;
        return MMSYSERR_NOERROR;
    }
    uint32_t controlValue(const MixerControl& control, uint32_t& value) override {
        MIXERCONTROLDETAILS_UNSIGNED v = {};
        MIXERCONTROLDETAILS d = {};
        d.cbStruct = sizeof d;
        d.dwControlID = control.controlId;
        d.cChannels = 1;
        d.cbDetails = sizeof v;
        d.paDetails = &v;
        const MMRESULT r = mixerGetControlDetailsW(reinterpret_cast<HMIXEROBJ>(m_h), &d, MIXER_GETCONTROLDETAILSF_VALUE);
        if (r == MMSYSERR_NOERROR) value = v.dwValue - control.minimum;
        return r;
    }

private:
    static void fill(const MIXERLINEW& ml, MixerLine& line) {
        line.lineId = ml.dwLineID;
        line.componentType = ml.dwComponentType;
        line.connections = ml.cConnections;
        line.controls = ml.cControls;
        line.name = narrow(ml.szName);
    }
    HMIXER m_h;
};

}  // namespace

uint32_t openDefaultCapture(const WaveFormat& format, std::unique_ptr<CaptureSource>& out) {
    WAVEFORMATEX wf = {};
    wf.wFormatTag = format.formatTag;
    wf.nChannels = format.channels;
    wf.nSamplesPerSec = format.samplesPerSec;
    wf.nAvgBytesPerSec = format.avgBytesPerSec;
    wf.nBlockAlign = format.blockAlign;
    wf.wBitsPerSample = format.bitsPerSample;
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!done) return MMSYSERR_NOMEM;
    HWAVEIN h = nullptr;
    const MMRESULT r = waveInOpen(&h, WAVE_MAPPER, &wf, reinterpret_cast<DWORD_PTR>(done), 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        CloseHandle(done);
        return r;
    }
    const int bufferBytes = static_cast<int>(format.avgBytesPerSec / 10) / format.blockAlign * format.blockAlign;
    out.reset(new WinmmSource(h, done, bufferBytes > 0 ? bufferBytes : format.blockAlign));
    return MMSYSERR_NOERROR;
}

uint32_t openDefaultMixer(std::unique_ptr<MixerBackend>& out) {
    HMIXER h = nullptr;
    const MMRESULT r = mixerOpen(&h, 0, 0, 0, MIXER_OBJECTF_WAVEIN);
    if (r != MMSYSERR_NOERROR) return r;
    out.reset(new WinmmMixer(h));
    return MMSYSERR_NOERROR;
}

// ALSA names select nothing on Windows.
uint32_t openAlsaCapture(const std::string&, const WaveFormat&, std::unique_ptr<CaptureSource>&) {
    return MMSYSERR_NODRIVER;
}
uint32_t openAlsaMixer(const std::string&, std::unique_ptr<MixerBackend>&) { return MMSYSERR_NODRIVER; }

}  // namespace qv
