#include "platform/mixer.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/audioBackend.h"

namespace qv {

namespace {

// A fixed set of lines described by QUORVANE_MIXER=sim...
class SimMixer : public MixerBackend {
public:
    struct Line {
        MixerLine line;
        bool hasVolume = false;
    };
    Line destination;
    std::vector<Line> sources;
    uint32_t value = 0;
    uint32_t maximum = 65535;

    uint32_t destinationLine(uint32_t componentType, MixerLine& line) override {
        if (componentType != destination.line.componentType) return MIXERR_INVALLINE;
        line = destination.line;
        return MM_NOERROR;
    }
    uint32_t sourceLine(const MixerLine& dst, uint32_t source, MixerLine& line) override {
        if (dst.lineId != destination.line.lineId || source >= sources.size()) return MIXERR_INVALLINE;
        line = sources[source].line;
        return MM_NOERROR;
    }
    uint32_t volumeControl(const MixerLine& line, MixerControl& control) override {
        const Line* l = find(line.lineId);
        if (!l) return MIXERR_INVALLINE;
        if (!l->hasVolume) return MIXERR_INVALCONTROL;
        control.controlId = line.lineId + 100;
        control.lineId = line.lineId;
        control.minimum = 0;
        control.maximum = maximum;
        return MM_NOERROR;
    }
    uint32_t controlValue(const MixerControl& control, uint32_t& v) override {
        const Line* l = find(control.lineId);
        if (!l || !l->hasVolume || control.controlId != control.lineId + 100) return MIXERR_INVALCONTROL;
        v = value;
        return MM_NOERROR;
    }

private:
    const Line* find(uint32_t id) const {
        if (id == destination.line.lineId) return &destination;
        for (const auto& s : sources)
            if (s.line.lineId == id) return &s;
        return nullptr;
    }
};

SimMixer::Line simLine(uint32_t id, uint32_t type, const char* name, bool volume) {
    SimMixer::Line l;
    l.line.lineId = id;
    l.line.componentType = type;
    l.line.name = name;
    l.line.controls = volume ? 1 : 0;
    l.hasVolume = volume;
    return l;
}

// Parses "VALUE[/MAX]"; false on anything else or MAX 0.
bool parseLevel(const std::string& s, uint32_t& value, uint32_t& maximum) {
    char* end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 10);
    if (end == s.c_str()) return false;
    unsigned long m = 65535;
    if (*end == '/') {
        const char* p = end + 1;
        m = strtoul(p, &end, 10);
        if (end == p) return false;
    }
    if (*end != '\0' || m == 0 || m > 0xFFFFFFFFul || v > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(v);
    maximum = static_cast<uint32_t>(m);
    return true;
}

uint32_t openSimMixer(const std::string& setting, std::unique_ptr<MixerBackend>& out) {
    auto m = std::make_unique<SimMixer>();
    m->destination = simLine(1, MIXERLINE_DST_WAVEIN, "Recording Control", false);
    if (setting.rfind("sim:", 0) == 0) {
        if (!parseLevel(setting.substr(4), m->value, m->maximum)) return MM_INVALPARAM;
        m->destination.hasVolume = true;
        m->destination.line.controls = 1;
    } else if (setting.rfind("sim-mic:", 0) == 0) {
        if (!parseLevel(setting.substr(8), m->value, m->maximum)) return MM_INVALPARAM;
        m->sources.push_back(simLine(2, MIXERLINE_SRC_LINE, "Line In", false));
        m->sources.push_back(simLine(3, MIXERLINE_SRC_SYNTHESIZER, "SW Synth", true));
        m->sources.push_back(simLine(4, MIXERLINE_SRC_MICROPHONE, "Microphone", true));
    } else if (setting == "sim-nomic") {
        m->sources.push_back(simLine(2, MIXERLINE_SRC_LINE, "Line In", false));
    } else {
        return MM_BADDEVICEID;
    }
    m->destination.line.connections = static_cast<uint32_t>(m->sources.size());
    out = std::move(m);
    return MM_NOERROR;
}

std::mutex g_mixersMutex;
std::set<MixerDevice*>& openMixers() {
    static auto* s = new std::set<MixerDevice*>();
    return *s;
}

}  // namespace

struct MixerDevice {
    std::unique_ptr<MixerBackend> backend;
};

static bool validMixer(HMixer m) {
    std::lock_guard<std::mutex> lock(g_mixersMutex);
    return m && openMixers().count(m) > 0;
}

uint32_t mixerOpen(HMixer* mixer, HWaveIn waveIn) {
    if (!mixer) return MM_INVALPARAM;
    *mixer = nullptr;
    if (!waveIn) return MM_INVALHANDLE;
    const char* env = getenv("QUORVANE_MIXER");
    std::string setting = env ? env : "";
    auto dev = std::make_unique<MixerDevice>();
    uint32_t r;
    if (setting.rfind("sim", 0) == 0)
        r = openSimMixer(setting, dev->backend);
    else if (setting.empty())
        r = openDefaultMixer(dev->backend);
    else if (setting == "alsa")
        r = openAlsaMixer("default", dev->backend);
    else if (setting.rfind("alsa:", 0) == 0)
        r = openAlsaMixer(setting.substr(5), dev->backend);
    else
        r = MM_BADDEVICEID;
    if (r != MM_NOERROR) return r;
    std::lock_guard<std::mutex> lock(g_mixersMutex);
    openMixers().insert(dev.get());
    *mixer = dev.release();
    return MM_NOERROR;
}

uint32_t mixerGetDestinationLine(HMixer mixer, uint32_t componentType, MixerLine& line) {
    if (!validMixer(mixer)) return MM_INVALHANDLE;
    return mixer->backend->destinationLine(componentType, line);
}

uint32_t mixerGetSourceLine(HMixer mixer, const MixerLine& destination, uint32_t source, MixerLine& line) {
    if (!validMixer(mixer)) return MM_INVALHANDLE;
    return mixer->backend->sourceLine(destination, source, line);
}

uint32_t mixerGetVolumeControl(HMixer mixer, const MixerLine& line, MixerControl& control) {
    if (!validMixer(mixer)) return MM_INVALHANDLE;
    return mixer->backend->volumeControl(line, control);
}

uint32_t mixerGetControlValue(HMixer mixer, const MixerControl& control, uint32_t& value) {
    if (!validMixer(mixer)) return MM_INVALHANDLE;
    return mixer->backend->controlValue(control, value);
}

uint32_t mixerClose(HMixer mixer) {
    if (!validMixer(mixer)) return MM_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(g_mixersMutex);
        openMixers().erase(mixer);
    }
    delete mixer;
    return MM_NOERROR;
}

}  // namespace qv
