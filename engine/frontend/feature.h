// MFCC feature extraction configured by an HTK-style "KEY = value" file.
//
// Per 10 ms frame (defaults): 12 liftered mel cepstra c1..c12 and the log
// energy (normalised to at most 1.0), then their deltas and accelerations:
// 39 values. The static block is followed by its deltas and then by the
// deltas of the deltas.
//
// Text dump ("output.fea"): one line per frame, each value written with the
// default float stream format (six significant digits) followed by a blank;
// no header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// Parameter-kind qualifiers (HTK values); the base kind sits in the low 6 bits.
enum parmKindBits : uint16_t {
    PK_BASEMASK = 0x3f,
    PK_E = 0x40,
    PK_N = 0x80,
    PK_D = 0x100,
    PK_A = 0x200,
    PK_C = 0x400,
    PK_Z = 0x800,
    PK_K = 0x1000,
    PK_0 = 0x2000,
    PK_V = 0x4000,
};
enum parmBaseKind : uint16_t {
    PK_WAVEFORM = 0,
    PK_LPC = 1,
    PK_LPREFC = 2,
    PK_LPCEPSTRA = 3,
    PK_LPDELCEP = 4,
    PK_IREFC = 5,
    PK_MFCC = 6,
    PK_FBANK = 7,
    PK_MELSPEC = 8,
    PK_USER = 9,
    PK_DISCRETE = 10,
    PK_ANON = 11,
};

// "MFCC_E_D_A" -> 0x346. Qualifier letters outside 0ACDEKNVZ are dropped;
// "LPDELCEP" gives LPCEPSTRA with _D. An unknown base name is a fatal error.
uint16_t parseParmKind(const std::string& text);

// The pipeline stops on more frames than this (four minutes of speech).
constexpr int MAX_FEA_FRAME_NUM = 24000;

struct featureConfig {
    float srcRate = 625.0f;       // SOURCERATE, 100 ns units (stored, not used)
    bool zMeanSource = false;     // ZMEANSOURCE
    uint16_t tgtKind = 0x346;     // TARGETKIND, MFCC_E_D_A
    float tgtRate = 100000.0f;    // TARGETRATE, frame shift in 100 ns units
    float winSize = 200000.0f;    // WINDOWSIZE, 100 ns units
    bool useHamming = true;       // USEHAMMING
    float preEmph = 0.975f;       // PREEMCOEF
    bool usePower = false;        // USEPOWER (false: magnitude spectrum)
    int32_t numChans = 26;        // NUMCHANS
    float loFBankFreq = -1.0f;    // LOFREQ, Hz, negative = none
    float hiFBankFreq = -1.0f;    // HIFREQ, Hz, negative = none
    int32_t cepLifter = 22;       // CEPLIFTER
    int32_t numCepCoef = 12;      // NUMCEPS
    bool eNormalise = true;       // ENORMALISE
    float eScale = 0.1f;          // ESCALE
    int32_t delWin = 2;           // DELTAWINDOW
    int32_t accWin = 2;           // ACCWINDOW
    float silFloor = 50.0f;       // SILFLOOR, dB
};

// Mel filterbank tables; arrays indexed from 1 as the formulas are.
struct fbankInfo {
    int32_t frameSize = 0;
    int32_t fftN = 0;
    int32_t sampPeriod = 0;
    float fres = 0.0f;
    int32_t klo = 0;
    int32_t khi = 0;
    bool usePower = false;
    bool takeLogs = true;
    int32_t numChans = 0;
    std::vector<float> cf;       // [1..numChans+1] centre frequencies (mel); [0] = low edge
    std::vector<int16_t> loChan; // [1..fftN/2] lower channel of each bin, -1 outside klo..khi
    std::vector<float> loWt;     // [1..fftN/2] weight of the lower channel
    std::vector<float> re, im;   // FFT work buffers of fftN values
};

// The features of one run, as handed to the search: frameNum rows of dim
// values, row-major, the first row being frame waveBeginFrameId of the whole
// recording.
struct feaMatrix {
    std::vector<float> data;
    int32_t frameNum = 0;
    int32_t dim = 0;
    int32_t waveBeginFrameId = 0;
};

class CFeaBuf {
public:
    CFeaBuf();

    // Reads the configuration file (a missing file is a fatal error) and
    // computes the features of sampleNum 16-bit-range samples. A signal
    // shorter than one frame gives frameNum 0.
    void compute(const int32_t* samples, int fs, int nbits, int sampleNum, const std::string& cfgPath,
                 int& frameNum, int& vecSize);
    // The same with a configuration read before (readConfig on another
    // buffer): no file is read.
    void compute(const int32_t* samples, int fs, int nbits, int sampleNum, const featureConfig& cfg, int& frameNum,
                 int& vecSize);

    // Applies the "KEY = value" lines of a file to the configuration. Blanks
    // are removed; lines without "=" or value, and lines over 49 characters,
    // are skipped; unknown keys are ignored.
    void readConfig(const std::string& path);
    // The same over the file's bytes in memory.
    void readConfigBytes(const std::string& bytes);
    // compute() with the configuration already read.
    void computeConfigured(const int32_t* samples, int fs, int sampleNum, int& frameNum, int& vecSize);

    // Text dump of the features (see the file comment).
    void write2bin(const std::string& path) const;

    const featureConfig& config() const { return m_cfg; }
    featureConfig& config() { return m_cfg; }
    const std::vector<float>& data() const { return m_data; }
    int frameNum() const { return m_frameNum; }
    int vecSize() const { return m_vecSize; }
    int frameSize() const { return m_frameSize; }
    int frameShift() const { return m_frameShift; }
    const fbankInfo& fbank() const { return m_fb; }

private:
    void initTables();
    void analyseFrame(const int32_t* x, float* row);
    void normaliseEnergy(int column);
    void addDeltas(int from, int to, int width, int window);

    int32_t m_frameSize = 0;
    int32_t m_frameShift = 0;
    int32_t m_sampPeriod = 0;
    int32_t m_vecSize = 0;
    int32_t m_frameNum = 0;
    int32_t m_baseSize = 0;  // static values per frame
    std::vector<float> m_data;
    fbankInfo m_fb;
    std::vector<float> m_hamWin;
    std::vector<float> m_cepLiftWin;  // [1..numCepCoef]
    std::vector<float> m_frame;       // one analysis window
    std::vector<float> m_chans;       // [1..numChans] filterbank outputs
    featureConfig m_cfg;
};

}  // namespace qv
