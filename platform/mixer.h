// Audio mixers: the lines and volume controls that set the recording level.
//
// A mixer has destination lines (one of component type MIXERLINE_DST_WAVEIN
// feeds the wave-in device) and source lines connected to a destination
// (microphone, line in, synthesizer...). A line may have a volume control
// whose value runs from `minimum` to `maximum`; values are reported relative
// to the minimum, so 0 is the minimum and maximum - minimum the maximum.
//
// Mixer selection, from the environment variable QUORVANE_MIXER:
//   unset, "" or "alsa"  the ALSA mixer of the default card ("alsa:CARD")
//   "sim:VALUE/MAX"      a simulated mixer whose wave-in destination line
//                        ("Recording Control") has a volume control at VALUE
//                        of MAX (MAX defaults to 65535)
//   "sim-mic:VALUE/MAX"  the destination has no volume control; its sources
//                        are "Line In", "SW Synth" and "Microphone", the last
//                        with the volume control
//   "sim-nomic"          the destination has no volume control and only a
//                        "Line In" source without one
#pragma once

#include <cstdint>
#include <string>

#include "platform/waveIn.h"

namespace qv {

struct MixerDevice;
using HMixer = MixerDevice*;

// Mixer result codes (besides those of platform/mmErrors.h).
constexpr uint32_t MIXERR_INVALLINE = 1024;
constexpr uint32_t MIXERR_INVALCONTROL = 1025;

// Component types.
constexpr uint32_t MIXERLINE_DST_WAVEIN = 7;
constexpr uint32_t MIXERLINE_SRC_LINE = 0x1002;
constexpr uint32_t MIXERLINE_SRC_MICROPHONE = 0x1003;
constexpr uint32_t MIXERLINE_SRC_SYNTHESIZER = 0x1004;
constexpr uint32_t MIXERLINE_SRC_UNDEFINED = 0x1000;

struct MixerLine {
    uint32_t lineId = 0;
    uint32_t componentType = 0;
    uint32_t connections = 0;  // sources of a destination line
    uint32_t controls = 0;
    std::string name;
};

struct MixerControl {
    uint32_t controlId = 0;
    uint32_t lineId = 0;
    uint32_t minimum = 0;
    uint32_t maximum = 0;  // relative to the minimum
};

// Opens the mixer that belongs to an open wave-in device.
uint32_t mixerOpen(HMixer* mixer, HWaveIn waveIn);
// Destination line by component type.
uint32_t mixerGetDestinationLine(HMixer mixer, uint32_t componentType, MixerLine& line);
// Source line `source` (0 ... connections - 1) of a destination line.
uint32_t mixerGetSourceLine(HMixer mixer, const MixerLine& destination, uint32_t source, MixerLine& line);
// The line's volume control; MIXERR_INVALCONTROL when it has none.
uint32_t mixerGetVolumeControl(HMixer mixer, const MixerLine& line, MixerControl& control);
// The control's current value (first channel, unsigned, relative to the minimum).
uint32_t mixerGetControlValue(HMixer mixer, const MixerControl& control, uint32_t& value);
uint32_t mixerClose(HMixer mixer);

}  // namespace qv
