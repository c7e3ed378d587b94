// Internal: the device back ends behind the wave-in and mixer layers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/wave.h"
#include "platform/mixer.h"

namespace qv {

// One open capture stream in the requested format.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // Called by waveInStart (also after a reset).
    virtual uint32_t start() = 0;
    // Fills dst with up to n bytes, blocking as a device would; returns fewer
    // only when `cancel` is raised or the device fails (`failed` set).
    virtual int read(uint8_t* dst, int n, const std::atomic<bool>& cancel, bool& failed) = 0;
    // Called by waveInReset once no read is running.
    virtual void stop() = 0;
};

// Default (or named) ALSA capture device; MM_NODRIVER without ALSA support.
uint32_t openAlsaCapture(const std::string& name, const WaveFormat& format, std::unique_ptr<CaptureSource>& out);

// One open mixer.
class MixerBackend {
public:
    virtual ~MixerBackend() = default;
    virtual uint32_t destinationLine(uint32_t componentType, MixerLine& line) = 0;
    virtual uint32_t sourceLine(const MixerLine& destination, uint32_t source, MixerLine& line) = 0;
    virtual uint32_t volumeControl(const MixerLine& line, MixerControl& control) = 0;
    virtual uint32_t controlValue(const MixerControl& control, uint32_t& value) = 0;
};

uint32_t openAlsaMixer(const std::string& card, std::unique_ptr<MixerBackend>& out);

// The system's default capture device and mixer: ALSA's "default" on Linux,
// the wave mapper's through winmm on Windows.
uint32_t openDefaultCapture(const WaveFormat& format, std::unique_ptr<CaptureSource>& out);
uint32_t openDefaultMixer(std::unique_ptr<MixerBackend>& out);

}  // namespace qv
