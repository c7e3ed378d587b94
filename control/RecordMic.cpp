// CRecord::GetMicVolume: the recording level of the default wave-in device's
// mixer, from the volume control of its wave-in line or, failing that, of its
// microphone source line.
#include <initializer_list>

#include "control/Record.h"
#include "engine/utility.h"
#include "platform/mixer.h"
#include "platform/waveIn.h"

namespace qv {

namespace {

// Name of a result code among those a call site can return.
const char* errorName(uint32_t code, std::initializer_list<uint32_t> known) {
    bool listed = false;
    for (uint32_t k : known) listed = listed || k == code;
    if (!listed) return "Unknown Error";
    switch (code) {
    case MM_BADDEVICEID: return "MMSYSERR_BADDEVICEID";
    case MM_ALLOCATED: return "MMSYSERR_ALLOCATED";
    case MM_INVALHANDLE: return "MMSYSERR_INVALHANDLE";
    case MM_NODRIVER: return "MMSYSERR_NODRIVER";
    case MM_NOMEM: return "MMSYSERR_NOMEM";
    case MM_INVALFLAG: return "MMSYSERR_INVALFLAG";
    case MM_INVALPARAM: return "MMSYSERR_INVALPARAM";
    case MM_WAVE_BADFORMAT: return "WAVERR_BADFORMAT";
    case MIXERR_INVALLINE: return "MIXERR_INVALLINE";
    case MIXERR_INVALCONTROL: return "MIXERR_INVALCONTROL";
    default: return "Unknown Error";
    }
}

const char* openName(uint32_t c) { return errorName(c, {4, 2, 6, 7, 32}); }
const char* mixerOpenName(uint32_t c) { return errorName(c, {4, 2, 10, 5, 11, 6, 7}); }
const char* lineInfoName(uint32_t c) { return errorName(c, {1024, 2, 10, 5, 11, 6}); }
const char* lineControlsName(uint32_t c) { return errorName(c, {1025, 1024, 2, 10, 5, 11, 6}); }
const char* detailsName(uint32_t c) { return errorName(c, {1025, 2, 10, 5, 11, 6}); }

// Closes what was opened on every way out.
struct OpenDevices {
    HWaveIn waveIn = nullptr;
    HMixer mixer = nullptr;
    ~OpenDevices() {
        if (mixer) mixerClose(mixer);
        if (waveIn) waveInClose(waveIn);
    }
};

}  // namespace

int32_t CRecord::GetMicVolume(int32_t* result) {
    OpenDevices dev;
    WaveFormat fmt;  // PCM, mono, 16 kHz, 16 bits
    uint32_t r = waveInOpen(&dev.waveIn, WAVE_MAPPER, fmt, 0);
    if (r != MM_NOERROR) {
        dev.waveIn = nullptr;
        std::string text;
        if (mmErrorText(r, text))
            LogWrite(strFormat("GetMicVolume(): waveInOpen() returned value: %s\tmci string: %s\n", openName(r),
                               text.substr(0, 511).c_str()));
        else
            LogWrite(strFormat("GetMicVolume(): waveInOpen() returned value: %s\n", openName(r)));
        return S_OK;
    }
    r = mixerOpen(&dev.mixer, dev.waveIn);
    if (r != MM_NOERROR) {
        dev.mixer = nullptr;
        LogWrite(strFormat("GetMicVolume(): mixerOpen() returned value: %s\n", mixerOpenName(r)));
        return E_FAIL_RESULT;
    }
    MixerLine destination;
    r = mixerGetDestinationLine(dev.mixer, MIXERLINE_DST_WAVEIN, destination);
    if (r != MM_NOERROR) {
        LogWrite(strFormat("GetMicVolume(): mixerGetLineInfo() returned value: %s\n", lineInfoName(r)));
        return E_FAIL_RESULT;
    }

    LogWrite("GetMicVolume(): try method1, find volume control directly in destination line.\n");
    LogWrite(strFormat("GetMicVolume(): mixer name: %s\n", destination.name.c_str()));
    MixerControl control;
    MixerLine line = destination;
    r = mixerGetVolumeControl(dev.mixer, destination, control);
    if (r != MM_NOERROR) {
        LogWrite(strFormat("GetMicVolume(): method1: mixerGetLineControls() returned value: %s with mixerLine name: %s\n",
                           lineControlsName(r), destination.name.c_str()));
        LogWrite("GetMicVolume(): try method2, find each source line of destination line and locate mic control.\n");
        uint32_t mic = 0xFFFFFFFFu;  // none found
        for (uint32_t s = 0; s < destination.connections; ++s) {
            MixerLine source;
            r = mixerGetSourceLine(dev.mixer, destination, s, source);
            if (r != MM_NOERROR) {
                LogWrite(strFormat("GetMicVolume(): method2-1: mixerGetLineInfo() returned value: %s\n", lineInfoName(r)));
                return S_OK;
            }
            if (source.componentType == MIXERLINE_SRC_SYNTHESIZER) continue;
            consolePrintf("\t#%lu: %s", static_cast<unsigned long>(s), source.name.c_str());
            if (source.componentType == MIXERLINE_SRC_MICROPHONE) {
                consolePrintf("found\n");
                mic = s;
            } else {
                consolePrintf("\n");
            }
        }
        r = mixerGetSourceLine(dev.mixer, destination, mic, line);
        if (r != MM_NOERROR) {
            LogWrite(strFormat("GetMicVolume(): method2-2: mixerGetLineInfo() returned value: %s\n", lineInfoName(r)));
            return S_OK;
        }
        r = mixerGetVolumeControl(dev.mixer, line, control);
        if (r != MM_NOERROR) {
            LogWrite(strFormat(
                "GetMicVolume(): method2-3: mixerGetLineControls() returned value: %s with mixerLine name: %s\n",
                lineControlsName(r), line.name.c_str()));
            return S_OK;
        }
    }

    uint32_t value = 0;
    r = mixerGetControlValue(dev.mixer, control, value);
    if (r != MM_NOERROR) {
        LogWrite(strFormat("GetMicVolume(): mixerGetControlDetails() returned value: %s with mixerLine name: %s\n",
                           detailsName(r), line.name.c_str()));
        return S_OK;
    }
    // A control without range has no level to give.
    if (control.maximum == 0) return S_OK;
    double level = static_cast<double>(value) / static_cast<double>(control.maximum) * 100.0;
    if (level > 100.0) level = 100.0;  // a value past the maximum is a device fault
    if (result) *result = static_cast<int32_t>(level);
    return S_OK;
}

}  // namespace qv
