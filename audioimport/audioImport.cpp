#include "audioimport/audioImport.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <memory>

#include "engine/frontend/audioFile.h"
#include "engine/frontend/feature.h"
#include "engine/utility.h"

namespace fs = std::filesystem;

namespace qv {

namespace {

const char* const kUnit = "audioImport";
// The highest rate decoded (libsndfile's own formats stop well below it);
// the resampler streams, so the rate costs no memory.
const int kMaxFileRate = 768000;
const int kMaxChannels = 1024;
const sf_count_t kBlockFrames = 4096;

[[noreturn]] void unreadable(const std::string& path, const std::string& why, int line) {
    fatalErrorKF(FatalKind::UnreadableAudio, "Cannot read the audio file %s: %s (line %d of %s)", path.c_str(),
                 why.c_str(), line, kUnit);
}

std::string lowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// The engine picks its reader by the last three characters of the name,
// in lower or upper case only.
bool engineKnowsName(const std::string& path, const char* lower) {
    if (path.size() < 4 || path[path.size() - 4] != '.') return false;
    const std::string ext = path.substr(path.size() - 3);
    std::string upper = lower;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return ext == lower || ext == upper;
}

std::string formatName(int format) {
    SF_FORMAT_INFO major{};
    major.format = format & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO sub{};
    sub.format = format & SF_FORMAT_SUBMASK;
    std::string s = sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof(major)) == 0 && major.name
                        ? major.name
                        : "unknown container";
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &sub, sizeof(sub)) == 0 && sub.name) s += std::string(", ") + sub.name;
    return s;
}

struct sndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
struct soxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};

void appendClipped(std::vector<int16_t>& out, const float* v, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const double x = std::round(static_cast<double>(v[i]) * 32768.0);
        out.push_back(static_cast<int16_t>(std::clamp(x, -32768.0, 32767.0)));
    }
}

}  // namespace

int featureSampleRate(const std::string& cfgFile) {
    ErrorLogScope noLog(false);  // the caller reports the failure
    CFeaBuf fea;
    fea.readConfig(cfgFile);
    const double period = fea.config().srcRate;  // 100 ns units
    const double rate = period > 0 ? 1e7 / period : 0;
    if (!(rate >= MIN_AUDIO_FS && rate <= MAX_AUDIO_FS))
        fatalErrorF("SOURCERATE %g in %s gives %g Hz, outside the %d to %d Hz the engine accepts (line %d of %s)",
                    period, cfgFile.c_str(), rate, MIN_AUDIO_FS, MAX_AUDIO_FS, __LINE__, kUnit);
    return static_cast<int>(std::lround(rate));
}

std::vector<int16_t> decodeAudio(const std::string& path, int rate, std::string* format) {
    ErrorLogScope noLog(false);  // the caller reports the failure
    std::error_code ec;
    if (!fs::exists(path, ec)) unreadable(path, "no such file", __LINE__);
    if (fs::is_directory(path, ec)) unreadable(path, "it is a folder", __LINE__);
    if (rate < MIN_AUDIO_FS || rate > MAX_AUDIO_FS)
        fatalErrorF("Target rate %d Hz is outside %d to %d Hz (line %d of %s)", rate, MIN_AUDIO_FS, MAX_AUDIO_FS,
                    __LINE__, kUnit);

    SF_INFO info{};
    std::unique_ptr<SNDFILE, sndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        std::string why = sf_strerror(nullptr);
        if (lowerExtension(path) == ".raw")
            why += " (headerless files are read as 16 kHz 16-bit mono under the .raw name only)";
        unreadable(path, why, __LINE__);
    }
    const std::string desc = formatName(info.format) + ", " + std::to_string(info.channels) +
                             (info.channels == 1 ? " channel, " : " channels, ") + std::to_string(info.samplerate) +
                             " Hz";
    if (format) *format = desc;
    if (info.channels < 1 || info.channels > kMaxChannels) unreadable(path, desc + ": unusable channel count", __LINE__);
    if (info.samplerate < MIN_AUDIO_FS || info.samplerate > kMaxFileRate)
        unreadable(path,
                   desc + ": the rate is outside the " + std::to_string(MIN_AUDIO_FS) + " to " +
                       std::to_string(kMaxFileRate) + " Hz accepted",
                   __LINE__);
    if (info.frames <= 0) unreadable(path, desc + ": it holds no samples", __LINE__);
    // Checked before decoding: the engine refuses longer recordings anyway.
    if (info.frames > static_cast<sf_count_t>(MAX_AUDIO_SECONDS) * info.samplerate)
        fatalErrorKF(FatalKind::UnreadableAudio,
                     "The recording %s lasts %.1f s, longer than the %d s the engine accepts (line %d of %s)",
                     path.c_str(), static_cast<double>(info.frames) / info.samplerate, MAX_AUDIO_SECONDS, __LINE__,
                     kUnit);

    std::unique_ptr<std::remove_pointer_t<soxr_t>, soxrDeleter> resampler;
    if (info.samplerate != rate) {
        soxr_error_t err = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler.reset(soxr_create(info.samplerate, rate, 1, &err, &io, &quality, nullptr));
        if (!resampler || err) fatalErrorF("Cannot set up the resampler: %s (line %d of %s)", err ? err : "?", __LINE__, kUnit);
    }

    const size_t channels = static_cast<size_t>(info.channels);
    std::vector<float> block(static_cast<size_t>(kBlockFrames) * channels);
    std::vector<float> mono(static_cast<size_t>(kBlockFrames));
    // Room for one block's output at the highest up-sampling ratio.
    const size_t outRoom = static_cast<size_t>(kBlockFrames) * static_cast<size_t>(rate) / MIN_AUDIO_FS + 64;
    std::vector<float> resampled(resampler ? outRoom : 0);
    std::vector<int16_t> out;
    out.reserve(static_cast<size_t>(static_cast<double>(info.frames) * rate / info.samplerate) + 64);
    // Mixed down to the mean of the channels, as the engine's reader does.
    const auto feed = [&](const float* in, size_t n) {
        if (!resampler) {
            appendClipped(out, in, n);
            return;
        }
        size_t used = 0, made = 0;
        do {
            size_t done = 0;
            soxr_error_t err = soxr_process(resampler.get(), in ? in + used : nullptr, in ? n - used : 0, &done,
                                            resampled.data(), resampled.size(), &made);
            if (err) fatalErrorF("Resampling %s failed: %s (line %d of %s)", path.c_str(), err, __LINE__, kUnit);
            used += done;
            appendClipped(out, resampled.data(), made);
        } while (in ? used < n : made > 0);
    };
    sf_count_t total = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), block.data(), kBlockFrames);
        if (got <= 0) break;
        total += got;
        for (sf_count_t i = 0; i < got; ++i) {
            double sum = 0;
            for (size_t c = 0; c < channels; ++c) sum += block[static_cast<size_t>(i) * channels + c];
            mono[static_cast<size_t>(i)] = static_cast<float>(sum / static_cast<double>(channels));
        }
        feed(mono.data(), static_cast<size_t>(got));
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) unreadable(path, desc + ": " + sf_strerror(file.get()), __LINE__);
    if (total == 0) unreadable(path, desc + ": no sample could be decoded", __LINE__);
    if (resampler) feed(nullptr, 0);  // the resampler's delayed tail
    return out;
}

importedAudio importAudio(const std::string& path, int rate, const std::string& dir) {
    ErrorLogScope noLog(false);  // the caller reports the failure
    importedAudio r;
    r.path = path;
    r.rate = rate;
    std::error_code ec;
    if (!fs::exists(path, ec)) unreadable(path, "no such file", __LINE__);
    if (fs::is_directory(path, ec)) unreadable(path, "it is a folder", __LINE__);
    const std::string ext = lowerExtension(path);
    if (ext == ".flv" || ext == ".raw") {
        // The engine's own formats (libsndfile reads neither). Only the
        // case of the name can stand in the way.
        r.format = ext == ".flv" ? "FLV" : "headerless 16-bit, 16000 Hz";
        if (!engineKnowsName(path, ext.c_str() + 1)) {
            r.path = (fs::path(dir) / ("recording" + ext)).string();
            fs::remove(r.path, ec);
            fs::create_symlink(fs::absolute(path), r.path, ec);
            if (ec) fs::copy_file(path, r.path, fs::copy_options::overwrite_existing, ec);
            if (ec) fatalErrorF("Cannot write %s: %s (line %d of %s)", r.path.c_str(), ec.message().c_str(), __LINE__, kUnit);
        }
        try {
            const waveSignal w = readAudioFile(r.path);
            r.seconds = w.fs > 0 ? static_cast<double>(w.sampleNum) / w.fs : 0;
            r.fileRate = w.fs;
        } catch (const FatalError& e) {
            throw FatalError(e.message(), FatalKind::UnreadableAudio);
        }
        return r;
    }

    SF_INFO info{};
    if (SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info)) {
        sf_close(f);
        const int sub = info.format & SF_FORMAT_SUBMASK;
        r.format = formatName(info.format) + ", " + std::to_string(info.channels) +
                   (info.channels == 1 ? " channel, " : " channels, ") + std::to_string(info.samplerate) + " Hz";
        r.seconds = info.samplerate > 0 ? static_cast<double>(info.frames) / info.samplerate : 0;
        r.fileRate = info.samplerate;
        // What the engine reads exactly as it is: a plain WAV header over
        // 16-bit, 8-bit or mu-law mono data at the features' rate.
        if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && info.channels == 1 && info.samplerate == rate &&
            (sub == SF_FORMAT_PCM_16 || sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_ULAW) &&
            engineKnowsName(path, "wav"))
            return r;
    }
    const std::vector<int16_t> samples = decodeAudio(path, rate, &r.format);
    r.path = (fs::path(dir) / "recording.wav").string();
    r.converted = true;
    r.seconds = static_cast<double>(samples.size()) / rate;
    SF_INFO outInfo{};
    outInfo.samplerate = rate;
    outInfo.channels = 1;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::unique_ptr<SNDFILE, sndfileCloser> out(sf_open(r.path.c_str(), SFM_WRITE, &outInfo));
    if (!out) fatalErrorF("Cannot write %s: %s (line %d of %s)", r.path.c_str(), sf_strerror(nullptr), __LINE__, kUnit);
    if (sf_writef_short(out.get(), samples.data(), static_cast<sf_count_t>(samples.size())) !=
        static_cast<sf_count_t>(samples.size()))
        fatalErrorF("Cannot write %s: %s (line %d of %s)", r.path.c_str(), sf_strerror(out.get()), __LINE__, kUnit);
    return r;
}

}  // namespace qv
