// CWave: the in-memory wave object (a format record, owned sample bytes and
// the text of the last error) that loads and saves RIFF WAVE files.
//
// File layout written by save() for 1 channel, 16 kHz, 16 bits:
//   "RIFF" <file size - 8> "WAVE"
//   "fmt " 18  tag(1) channels(1) rate(16000) avgBytes(32000) align(2) bits(16) extra(0)
//   "data" <data size> int16 samples...
// All integers little-endian; chunks of odd size are padded with one zero byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

enum WaveErrorSource { WAVE_ERR_OWN = 0, WAVE_ERR_WAVEIN = 1, WAVE_ERR_WAVEOUT = 2 };

// Codes of the wave object's own error texts.
enum WaveError {
    WERR_NOERROR = 0,
    WERR_FORMATMISMATCH = 1,
    WERR_DEVICEINUSE = 2,
    WERR_TIMEFORMAT = 3,
    WERR_FILEOPEN = 4,
    WERR_FILECLOSE = 5,
    WERR_CHUNKREAD = 6,
    WERR_DATAREAD = 7,
    WERR_CHUNKWRITE = 8,
    WERR_DATAWRITE = 9,
};

constexpr uint16_t WAVE_FORMAT_PCM_TAG = 1;
constexpr uint16_t WAVE_FORMAT_MULAW_TAG = 7;

// The 18-byte format record of a "fmt " chunk, field for field.
struct WaveFormat {
    uint16_t formatTag = WAVE_FORMAT_PCM_TAG;
    uint16_t channels = 1;
    uint32_t samplesPerSec = 16000;
    uint32_t avgBytesPerSec = 32000;
    uint16_t blockAlign = 2;
    uint16_t bitsPerSample = 16;
    uint16_t extraSize = 0;
};

class CWave {
public:
    CWave(int channels = 1, int samplesPerSec = 16000, int bits = 16);

    bool setFormat(int channels, int samplesPerSec, int bits);
    bool close();

    // Fits 32-bit samples into the object's width (shifting or scaling when
    // they do not fit) and makes them the data.
    void setSamples(const int32_t* samples, int count);
    // Copies at most `capacity` samples: 8-bit data as unsigned values,
    // 16-bit as signed; other widths copy nothing. Returns the count.
    int getSamples(int32_t* samples, int capacity) const;

    bool save(const std::string& path, bool muLaw = false);
    bool load(const std::string& path);
    // The same over a file image in memory.
    bool loadBytes(const std::vector<uint8_t>& file);

    int dataSize() const { return static_cast<int>(m_data.size()); }
    int sampleRate() const { return static_cast<int>(m_format.samplesPerSec); }
    int bitsPerSample() const { return m_format.bitsPerSample; }
    int channels() const { return m_format.channels; }
    const WaveFormat& format() const { return m_format; }
    const std::vector<uint8_t>& data() const { return m_data; }

    // Sets the last error from a code: source 0 the table of the wave object,
    // 1 wave-in device texts, 2 wave-out device texts.
    const std::string& errorText(int code, int source = WAVE_ERR_OWN);
    const std::string& lastError() const { return m_lastError; }

private:
    bool fail(int code);

    WaveFormat m_format;
    std::vector<uint8_t> m_data;
    std::string m_lastError;
};

// G.711 mu-law codec of the wave object.
uint8_t linearToMuLaw(int16_t sample);
int16_t muLawToLinear(uint8_t byte);

// Prints "ERROR 0x%08X: %s\r\n" and the device error text of the code.
void reportDeviceError(uint32_t code, const std::string& context);

}  // namespace qv
