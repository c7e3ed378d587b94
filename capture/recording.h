// Silence-limited capture from the default wave-in device.
//
// The device fills two 100 ms buffers in turn; each is cut into 20 ms frames
// whose volume (mean absolute deviation) is compared with an adaptive
// background-sound ("BS") level. Capture ends when the silence before or
// inside speech reaches its limit, when the sample budget is full, or when
// the caller's stop flag becomes non-zero (checked once per frame).
//
// Recording parameter file: "key = value" lines; "%" starts a comment.
// Keys are the field names of recordParam; an unknown key is fatal.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace qv {

struct recordParam {
    double totalDuration = 0;  // seconds; kept, the caller gives the limit
    int32_t nbits = 0;         // 8 or 16
    int32_t fs = 0;            // Hz
    int32_t nAdjustFrame = 0;  // frames of the initial level adjustment
    double upRateBSInit = 0;
    double upRateBSNew = 0;
    double upRateBSModify = 0;
    double downRateBSInit = 0;
    double downRateBSNew = 0;
    double downRateBSModifyUsingVol = 0;
    double upRateFrame = 0;
    double downRateFrame = 0;
    double silenceLimitBeforeSpeech = 0;  // seconds
    double silenceLimitInSpeech = 0;      // seconds
};

// Reads a recording parameter file; every field absent from it is 0.
void recordParamRead(const std::string& path, recordParam& param);
// The same over the file's bytes in memory; `source` names it in messages.
void recordParamReadBytes(const std::string& bytes, const std::string& source, recordParam& param);

// Captures into `samples` (room for `budget` values): 16-bit samples as
// signed values, 8-bit ones as unsigned 0...255. `stopFlag` may be null.
// Returns the number of samples captured, or -1 when the capture cannot be
// set up (the reason is printed). One capture runs at a time in a process; a
// second concurrent call returns -1.
int recordWithSilenceLimit(const recordParam& param, int32_t* samples, int budget,
                           const std::atomic<uint8_t>* stopFlag);

// The recording thread: handles the device's messages for the capture in
// progress until both buffers are back after the stop.
void recordThreadProc();

}  // namespace qv
