// ALSA back ends of the wave-in and mixer layers.
#include "platform/audioBackend.h"

#if defined(QV_HAVE_ALSA) && QV_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>

namespace qv {

#if defined(QV_HAVE_ALSA) && QV_HAVE_ALSA

namespace {

// A device stalled this long (no frames at all) counts as failed, so that a
// capture waiting for buffers always ends.
constexpr int kStallMs = 2000;

// ALSA prints its own diagnostics to stderr; our callers get error codes.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}
void silenceAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(quietAlsaErrors); });
}

uint32_t alsaCode(int err) {
    switch (-err) {
    case EBUSY:
        return MM_ALLOCATED;
    case ENOMEM:
        return MM_NOMEM;
    default:
        return MM_BADDEVICEID;
    }
}

class AlsaSource : public CaptureSource {
public:
    AlsaSource(snd_pcm_t* pcm, int frameBytes) : m_pcm(pcm), m_frameBytes(frameBytes) {}
    ~AlsaSource() override { snd_pcm_close(m_pcm); }

    uint32_t start() override {
        snd_pcm_state_t st = snd_pcm_state(m_pcm);
        if (st != SND_PCM_STATE_PREPARED && st != SND_PCM_STATE_RUNNING) {
            if (snd_pcm_prepare(m_pcm) < 0) return MM_ERROR;
        }
        if (snd_pcm_state(m_pcm) == SND_PCM_STATE_PREPARED && snd_pcm_start(m_pcm) < 0) return MM_ERROR;
        return MM_NOERROR;
    }

    int read(uint8_t* dst, int n, const std::atomic<bool>& cancel, bool& failed) override {
        const snd_pcm_uframes_t want = static_cast<snd_pcm_uframes_t>(n / m_frameBytes);
        snd_pcm_uframes_t got = 0;
        auto lastData = std::chrono::steady_clock::now();
        while (got < want && !cancel) {
            snd_pcm_sframes_t r = snd_pcm_readi(m_pcm, dst + got * m_frameBytes, want - got);
            if (r == -EAGAIN || r == 0) {
                snd_pcm_wait(m_pcm, 50);
                if (std::chrono::steady_clock::now() - lastData > std::chrono::milliseconds(kStallMs)) {
                    failed = true;
                    break;
                }
                continue;
            }
            if (r < 0) {
                if (snd_pcm_recover(m_pcm, static_cast<int>(r), 1) < 0) {
                    failed = true;
                    break;
                }
                continue;
            }
            got += static_cast<snd_pcm_uframes_t>(r);
            lastData = std::chrono::steady_clock::now();
        }
        return static_cast<int>(got) * m_frameBytes;
    }

    void stop() override {
        snd_pcm_drop(m_pcm);
        snd_pcm_prepare(m_pcm);
    }

private:
    snd_pcm_t* m_pcm;
    int m_frameBytes;
};

// The card's capture elements as mixer lines: the wave-in destination is
// the "Capture" element (line 1); every other element with a capture volume
// or switch is one of its sources.
class AlsaMixer : public MixerBackend {
public:
    struct Line {
        MixerLine line;
        snd_mixer_elem_t* elem = nullptr;
        bool hasVolume = false;
    };

    explicit AlsaMixer(snd_mixer_t* m) : m_mixer(m) {
        m_destination.line.lineId = 1;
        m_destination.line.componentType = MIXERLINE_DST_WAVEIN;
        m_destination.line.name = "Capture";
        uint32_t id = 2;
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(m); e; e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_is_active(e)) continue;
            bool vol = snd_mixer_selem_has_capture_volume(e);
            bool sw = snd_mixer_selem_has_capture_switch(e);
            if (!vol && !sw) continue;
            std::string name = snd_mixer_selem_get_name(e);
            if (name == "Capture") {
                m_destination.elem = e;
                m_destination.hasVolume = vol;
                continue;
            }
            Line l;
            l.line.lineId = id++;
            l.line.name = name;
            l.line.componentType = name.find("Mic") != std::string::npos     ? MIXERLINE_SRC_MICROPHONE
                                   : name.find("Synth") != std::string::npos ? MIXERLINE_SRC_SYNTHESIZER
                                                                             : MIXERLINE_SRC_LINE;
            l.elem = e;
            l.hasVolume = vol;
            l.line.controls = vol ? 1 : 0;
            m_sources.push_back(l);
        }
        m_destination.line.controls = m_destination.hasVolume ? 1 : 0;
        m_destination.line.connections = static_cast<uint32_t>(m_sources.size());
    }
    ~AlsaMixer() override { snd_mixer_close(m_mixer); }

    uint32_t destinationLine(uint32_t componentType, MixerLine& line) override {
        if (componentType != MIXERLINE_DST_WAVEIN || (!m_destination.elem && m_sources.empty())) return MIXERR_INVALLINE;
        line = m_destination.line;
        return MM_NOERROR;
    }
    uint32_t sourceLine(const MixerLine& dst, uint32_t source, MixerLine& line) override {
        if (dst.lineId != 1 || source >= m_sources.size()) return MIXERR_INVALLINE;
        line = m_sources[source].line;
        return MM_NOERROR;
    }
    uint32_t volumeControl(const MixerLine& line, MixerControl& control) override {
        const Line* l = find(line.lineId);
        if (!l) return MIXERR_INVALLINE;
        if (!l->elem || !l->hasVolume) return MIXERR_INVALCONTROL;
        long mn = 0, mx = 0;
        if (snd_mixer_selem_get_capture_volume_range(l->elem, &mn, &mx) < 0 || mx <= mn) return MIXERR_INVALCONTROL;
        control.controlId = line.lineId;
        control.lineId = line.lineId;
        control.minimum = 0;
        control.maximum = static_cast<uint32_t>(mx - mn);
        return MM_NOERROR;
    }
    uint32_t controlValue(const MixerControl& control, uint32_t& value) override {
        const Line* l = find(control.lineId);
        if (!l || !l->elem || !l->hasVolume) return MIXERR_INVALCONTROL;
        long mn = 0, mx = 0, v = 0;
        if (snd_mixer_selem_get_capture_volume_range(l->elem, &mn, &mx) < 0) return MIXERR_INVALCONTROL;
        if (snd_mixer_selem_get_capture_volume(l->elem, SND_MIXER_SCHN_FRONT_LEFT, &v) < 0) return MM_ERROR;
        value = static_cast<uint32_t>(v < mn ? 0 : v - mn);
        return MM_NOERROR;
    }

private:
    const Line* find(uint32_t id) const {
        if (id == 1) return &m_destination;
        for (const auto& s : m_sources)
            if (s.line.lineId == id) return &s;
        return nullptr;
    }
    snd_mixer_t* m_mixer;
    Line m_destination;
    std::vector<Line> m_sources;
};

}  // namespace

uint32_t openAlsaCapture(const std::string& name, const WaveFormat& format, std::unique_ptr<CaptureSource>& out) {
    silenceAlsa();
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) return alsaCode(err);
    err = snd_pcm_set_params(pcm, format.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
                             SND_PCM_ACCESS_RW_INTERLEAVED, format.channels, format.samplesPerSec, 1, 500000);
    if (err < 0) {
        snd_pcm_close(pcm);
        return err == -EBUSY ? MM_ALLOCATED : MM_WAVE_BADFORMAT;
    }
    out.reset(new AlsaSource(pcm, format.blockAlign));
    return MM_NOERROR;
}

uint32_t openAlsaMixer(const std::string& card, std::unique_ptr<MixerBackend>& out) {
    silenceAlsa();
    snd_mixer_t* m = nullptr;
    int err = snd_mixer_open(&m, 0);
    if (err < 0) return alsaCode(err);
    if ((err = snd_mixer_attach(m, card.c_str())) < 0 || (err = snd_mixer_selem_register(m, nullptr, nullptr)) < 0 ||
        (err = snd_mixer_load(m)) < 0) {
        snd_mixer_close(m);
        return alsaCode(err);
    }
    out.reset(new AlsaMixer(m));
    return MM_NOERROR;
}

#else

uint32_t openAlsaCapture(const std::string&, const WaveFormat&, std::unique_ptr<CaptureSource>&) { return MM_NODRIVER; }
uint32_t openAlsaMixer(const std::string&, std::unique_ptr<MixerBackend>&) { return MM_NODRIVER; }

#endif

uint32_t openDefaultCapture(const WaveFormat& format, std::unique_ptr<CaptureSource>& out) {
    return openAlsaCapture("default", format, out);
}
uint32_t openDefaultMixer(std::unique_ptr<MixerBackend>& out) { return openAlsaMixer("default", out); }

}  // namespace qv
