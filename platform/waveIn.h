// Wave-in devices: queued-buffer audio capture with completion messages
// posted to a thread's queue.
//
// The caller opens a device with a PCM format and a thread, prepares and
// queues buffers and starts the device. Each filled buffer comes back to that
// thread as an MM_WIM_DATA message (wParam = device handle, lParam = the
// WaveHeader*) and stays with the caller until queued again. waveInReset()
// stops capture and returns every queued buffer, the one being filled first.
// MM_WIM_OPEN and MM_WIM_CLOSE are posted on open and close.
//
// Device selection for WAVE_MAPPER (device id 0 is the same device), from the
// environment variable QUORVANE_WAVEIN:
//   unset, "" or "alsa"   the default ALSA capture device ("alsa:NAME": NAME)
//   "file:PATH"           plays the WAV file PATH into the buffers in real
//                         time (one buffer per buffer duration), then silence
//   "file-fast:PATH"      the same, filling each buffer as soon as it is queued
// The file's rate must equal the requested rate; 8/16-bit widths are
// converted and the first channel is taken.
#pragma once

#include <cstdint>
#include <string>

#include "capture/wave.h"
#include "platform/mmErrors.h"
#include "platform/threadMsg.h"

namespace qv {

struct WaveInDevice;
using HWaveIn = WaveInDevice*;

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;

constexpr uint32_t MM_WIM_OPEN = 0x3BE;
constexpr uint32_t MM_WIM_CLOSE = 0x3BF;
constexpr uint32_t MM_WIM_DATA = 0x3C0;

// WaveHeader flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

struct WaveHeader {
    uint8_t* data = nullptr;     // caller's memory
    uint32_t bufferLength = 0;   // bytes
    uint32_t bytesRecorded = 0;  // set when the buffer comes back
    uintptr_t user = 0;          // free for the caller
    uint32_t flags = 0;
};

// Opens a device; `callbackThread` receives the messages (0: no messages).
// Codes: MM_BADDEVICEID (no such device or file), MM_ALLOCATED (busy),
// MM_WAVE_BADFORMAT (format not supported), MM_INVALPARAM (callback thread
// has no queue), MM_NODRIVER / MM_ERROR (device layer failure).
uint32_t waveInOpen(HWaveIn* device, uint32_t deviceId, const WaveFormat& format, ThreadId callbackThread);
uint32_t waveInPrepareHeader(HWaveIn device, WaveHeader* header);
// MM_WAVE_STILLPLAYING while the buffer is queued.
uint32_t waveInUnprepareHeader(HWaveIn device, WaveHeader* header);
// MM_WAVE_UNPREPARED for an unprepared buffer; MM_ERROR once the device has
// failed (it then delivers nothing more until reset).
uint32_t waveInAddBuffer(HWaveIn device, WaveHeader* header);
uint32_t waveInStart(HWaveIn device);
// Stops capture and returns every queued buffer as MM_WIM_DATA (the one
// being filled with what it holds, the others empty) before it returns.
uint32_t waveInReset(HWaveIn device);
// MM_WAVE_STILLPLAYING while buffers are queued; the handle stays valid then.
uint32_t waveInClose(HWaveIn device);
// Error text of a wave-in code.
std::string waveInGetErrorText(uint32_t code);
// Number of devices open in the process (a leak check for callers' tests).
int waveInOpenCount();

}  // namespace qv
