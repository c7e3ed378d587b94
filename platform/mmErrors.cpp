#include "mmErrors.h"

#include <cstdio>

namespace qv {

bool mmErrorText(uint32_t code, std::string& text) {
    struct Entry {
        uint32_t code;
        const char* text;
    };
    static const Entry kTable[] = {
        {MM_NOERROR, "The command completed successfully."},
        {MM_ERROR, "An unspecified error occurred in the audio device layer."},
        {MM_BADDEVICEID, "The device identifier is out of range: no such audio device."},
        {MM_NOTENABLED, "The audio driver failed to enable the device."},
        {MM_ALLOCATED, "The audio device is already in use by another client."},
        {MM_INVALHANDLE, "The audio device handle is invalid."},
        {MM_NODRIVER, "No audio device driver is present."},
        {MM_NOMEM, "Out of memory while opening or using the audio device."},
        {MM_NOTSUPPORTED, "The audio device does not support this operation."},
        {MM_BADERRNUM, "The error number is out of range."},
        {MM_INVALFLAG, "An invalid flag was passed to the audio device layer."},
        {MM_INVALPARAM, "An invalid parameter was passed to the audio device layer."},
        {MM_WAVE_BADFORMAT, "The audio device does not support the requested wave format."},
        {MM_WAVE_STILLPLAYING, "The audio device is still playing or recording."},
        {MM_WAVE_UNPREPARED, "The wave buffer has not been prepared."},
        {MM_WAVE_SYNC, "The audio device is synchronous only."},
    };
    for (const auto& e : kTable) {
        if (e.code == code) {
            text = e.text;
            return true;
        }
    }
    return false;
}

static std::string deviceText(uint32_t code) {
    std::string text;
    if (mmErrorText(code, text)) return text;
    char buf[64];
    snprintf(buf, sizeof(buf), "Unknown device error %u.", code);
    return buf;
}

std::string waveInErrorText(uint32_t code) { return deviceText(code); }
std::string waveOutErrorText(uint32_t code) { return deviceText(code); }

}  // namespace qv
