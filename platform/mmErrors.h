// Error codes and texts of our portable audio-device layer (wave-in,
// wave-out and mixer). The numeric codes follow the conventional multimedia
// result codes so that logs read the same on every platform.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

enum MmResult : uint32_t {
    MM_NOERROR = 0,
    MM_ERROR = 1,         // unspecified error
    MM_BADDEVICEID = 2,   // device ID out of range
    MM_NOTENABLED = 3,    // driver failed enable
    MM_ALLOCATED = 4,     // device already allocated
    MM_INVALHANDLE = 5,   // device handle is invalid
    MM_NODRIVER = 6,      // no device driver present
    MM_NOMEM = 7,         // memory allocation error
    MM_NOTSUPPORTED = 8,  // function isn't supported
    MM_BADERRNUM = 9,     // error value out of range
    MM_INVALFLAG = 10,    // invalid flag passed
    MM_INVALPARAM = 11,   // invalid parameter passed
    MM_WAVE_BADFORMAT = 32,
    MM_WAVE_STILLPLAYING = 33,
    MM_WAVE_UNPREPARED = 34,
    MM_WAVE_SYNC = 35,
};

// Text of a device result code; false when the code has no text.
bool mmErrorText(uint32_t code, std::string& text);
// Wave-in and wave-out texts: the device text, or "Unknown device error %u."
std::string waveInErrorText(uint32_t code);
std::string waveOutErrorText(uint32_t code);

}  // namespace qv
