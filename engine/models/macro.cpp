#include "engine/models/macro.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/models/gaussBlocks.h"
#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "macro";

// No model takes less text than this: the marker and name, <BEGINHMM>, the
// state count, one state without mixtures, <TRANSP> with 9 values and
// <ENDHMM>, single-spaced, come to about 80 bytes.
const size_t kMinTextModelBytes = 64;

std::string readWholeFile(const std::string& fileName) {
    FILE* fp = openOrDie(fileName, "rb");
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) data.append(buf, n);
    fclose(fp);
    return data;
}

// Extension test shared by the readers and the writers; only these exact
// spellings are accepted.
enum class MacFormat { Text, Binary };

MacFormat formatOf(const std::string& fileName, const char* verb) {
    std::string ext = fileExtension(fileName);
    if (ext == "macb" || ext == "MACB") return MacFormat::Binary;
    if (ext == "mac" || ext == "MAC") return MacFormat::Text;
    fatalErrorF("Error in %s \"%s\": The only allowed extension are \"mac\" and \"macb\" (line %d of %s) \n", verb,
                fileName.c_str(), __LINE__, kUnit);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Whitespace tokenizer over the text file with one current token that can be
// handed back, so optional parts (<NUMMIXES>, <RCLASS>, trailing mixtures,
// <GCONST>) can be skipped: whatever was read instead stays current for the
// next structural step.
class TextReader {
public:
    TextReader(const std::string& fileName, const std::string& data) : m_file(fileName), m_data(data) {}

    const std::string& token(const char* what) {
        if (m_pending) {
            m_pending = false;
            return m_tok;
        }
        skipSpace();
        if (m_pos >= m_data.size())
            fatalErrorF("Error in reading \"%s\": unexpected end of file, expected %s (line %d of %s)",
                        m_file.c_str(), what, __LINE__, kUnit);
        m_tokLine = m_line;
        size_t start = m_pos;
        while (m_pos < m_data.size() && !isSpace(m_data[m_pos])) ++m_pos;
        m_tok.assign(m_data, start, m_pos - start);
        return m_tok;
    }
    // The last token read stays current for the next token() call.
    void unread() { m_pending = true; }

    int32_t readInt(const char* what) {
        const std::string& t = token(what);
        errno = 0;
        char* end = nullptr;
        long v = strtol(t.c_str(), &end, 10);
        if (t.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) badNumber(what);
        m_lastInt = static_cast<int32_t>(v);
        return m_lastInt;
    }

    float readFloat(const char* what) {
        const std::string& t = token(what);
        char* end = nullptr;
        float v = strtof(t.c_str(), &end);
        // Overflow to infinity or underflow to a denormal is what "%e" would
        // give too, so ERANGE is not an error here.
        if (t.empty() || *end != '\0') badNumber(what);
        return v;
    }

    // `"name"` after optional blanks; the name may not contain a quote.
    std::string quoted(const char* what) {
        skipSpace();
        if (m_pos >= m_data.size() || m_data[m_pos] != '"') {
            fatalErrorF("Error in reading \"%s\": expected %s in double quotes at line %d of the file (line %d of %s)",
                        m_file.c_str(), what, m_line, __LINE__, kUnit);
        }
        size_t close = m_data.find('"', m_pos + 1);
        if (close == std::string::npos)
            fatalErrorF("Error in reading \"%s\": unterminated quoted %s at line %d of the file (line %d of %s)",
                        m_file.c_str(), what, m_line, __LINE__, kUnit);
        std::string s = m_data.substr(m_pos + 1, close - m_pos - 1);
        for (char c : s)
            if (c == '\n') ++m_line;
        m_pos = close + 1;
        return s;
    }

    // Everything up to the end of the line after skipping blanks and line
    // breaks, as "%[^\n]" would; a trailing CR is dropped.
    std::string restOfLine() {
        skipSpace();
        size_t end = m_data.find('\n', m_pos);
        if (end == std::string::npos) end = m_data.size();
        std::string s = m_data.substr(m_pos, end - m_pos);
        if (!s.empty() && s.back() == '\r') s.pop_back();
        m_pos = end;
        return s;
    }

    int32_t lastInt() const { return m_lastInt; }

private:
    void skipSpace() {
        while (m_pos < m_data.size() && isSpace(m_data[m_pos])) {
            if (m_data[m_pos] == '\n') ++m_line;
            ++m_pos;
        }
    }
    [[noreturn]] void badNumber(const char* what) {
        fatalErrorF("Error in reading \"%s\": expected %s but found \"%s\" at line %d of the file (line %d of %s)",
                    m_file.c_str(), what, m_tok.c_str(), m_tokLine, __LINE__, kUnit);
    }

    const std::string& m_file;
    const std::string& m_data;
    size_t m_pos = 0;
    int m_line = 1;
    int m_tokLine = 1;
    std::string m_tok;
    bool m_pending = false;
    int32_t m_lastInt = 0;
};

// Bounds-checked little-endian cursor over a binary file held in memory.
class BinReader {
public:
    BinReader(const std::string& fileName, const std::string& data) : m_file(fileName), m_data(data) {}

    void need(size_t bytes, const char* what) const {
        if (bytes > remaining())
            fatalErrorF("Error in reading \"%s\": file truncated, %s needs %lu bytes at offset %lu but only %lu are "
                        "left (line %d of %s)",
                        m_file.c_str(), what, static_cast<unsigned long>(bytes), static_cast<unsigned long>(m_pos),
                        static_cast<unsigned long>(remaining()), __LINE__, kUnit);
    }
    int32_t i32(const char* what) {
        need(4, what);
        return static_cast<int32_t>(u32());
    }
    float f32(const char* what) {
        need(4, what);
        uint32_t bits = u32();
        float f;
        memcpy(&f, &bits, 4);
        return f;
    }
    // Callers check room for whole records with need() first.
    float f32Unchecked() {
        uint32_t bits = u32();
        float f;
        memcpy(&f, &bits, 4);
        return f;
    }
    void bytes(char* out, size_t n, const char* what) {
        need(n, what);
        memcpy(out, m_data.data() + m_pos, n);
        m_pos += n;
    }
    size_t remaining() const { return m_data.size() - m_pos; }
    size_t pos() const { return m_pos; }

private:
    uint32_t u32() {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(m_data.data()) + m_pos;
        m_pos += 4;
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }

    const std::string& m_file;
    const std::string& m_data;
    size_t m_pos = 0;
};

void putI32(std::string& out, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    char b[4] = {char(u & 0xff), char((u >> 8) & 0xff), char((u >> 16) & 0xff), char((u >> 24) & 0xff)};
    out.append(b, 4);
}

void putF32(std::string& out, float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    putI32(out, static_cast<int32_t>(u));
}

// Nine significant digits bring every float back exactly.
void putText(std::string& out, float f) {
    char buf[32];
    snprintf(buf, sizeof(buf), " %.8e", static_cast<double>(f));
    out += buf;
}

void writeWholeFile(const std::string& fileName, const std::string& data) {
    FILE* fp = openOrDie(fileName, "wb");
    size_t written = fwrite(data.data(), 1, data.size(), fp);
    int closed = fclose(fp);
    if (written != data.size() || closed != 0)
        fatalErrorF("Error in writing \"%s\": only %lu of %lu bytes written (line %d of %s)", fileName.c_str(),
                    static_cast<unsigned long>(written), static_cast<unsigned long>(data.size()), __LINE__, kUnit);
}

void checkStreams(const std::string& fileName, int32_t streamNum, const int32_t* streamWidth, bool widthsKnown) {
    if (streamNum < 1 || streamNum > MAX_STREAM_NUM)
        fatalErrorF("Error in \"%s\": streamNum=%d is outside 1..MAX_STREAM_NUM=%d (line %d of %s)",
                    fileName.c_str(), streamNum, MAX_STREAM_NUM, __LINE__, kUnit);
    if (!widthsKnown) return;
    for (int s = 0; s < streamNum; ++s)
        if (streamWidth[s] < 1 || streamWidth[s] > MAX_PARAM_NUM)
            fatalErrorF("Error in \"%s\": streamWidth[%d]=%d is outside 1..MAX_PARAM_NUM=%d (line %d of %s)",
                        fileName.c_str(), s, streamWidth[s], MAX_PARAM_NUM, __LINE__, kUnit);
}

// A set can be written only in its raw form, with valid streams and as many
// records as it counts.
void checkWritable(const macroClass& set, const std::string& fileName) {
    if (set.isPrepared())
        fatalErrorF("Error in writing \"%s\": the model set is prepared; only raw model sets can be written "
                    "(line %d of %s)",
                    fileName.c_str(), __LINE__, kUnit);
    checkStreams(fileName, set.streamNum, set.streamWidth, true);
    if (static_cast<size_t>(set.modelNum) != set.model.size())
        fatalErrorF("Error in writing \"%s\": modelNum=%d but %lu model records (line %d of %s)", fileName.c_str(),
                    set.modelNum, static_cast<unsigned long>(set.model.size()), __LINE__, kUnit);
}

void checkStateNum(const std::string& fileName, int modelId, int32_t stateNum) {
    if (stateNum < 3 || stateNum > MAX_HMM_STATE_NUM)
        fatalErrorF("Error in \"%s\": stateNum=%d of modelId=%d is outside 3..%d (line %d of %s)", fileName.c_str(),
                    stateNum, modelId, MAX_HMM_STATE_NUM, __LINE__, kUnit);
}

void checkMixtureNum(int32_t mixtureNum) {
    if (mixtureNum > MAX_MIXTURE_NUM)
        fatalErrorF("Error: mixtureNum=%d exceeds MAX_MIXTURE_NUM=%d (line %d of %s)", mixtureNum, MAX_MIXTURE_NUM,
                    __LINE__, kUnit);
    if (mixtureNum < 0) fatalErrorF("Error: mixtureNum=%d is negative (line %d of %s)", mixtureNum, __LINE__, kUnit);
}

}  // namespace

// ---------------------------------------------------------------------------

// ---- mixture slots ------------------------------------------------------------

mixtureSlots& mixtureSlots::operator=(const mixtureSlots& o) {
    if (this == &o) return *this;
    for (int c = 0; c < MAX_MIXTURE_NUM / CHUNK; ++c) {
        if (!o.m_chunk[c]) {
            m_chunk[c].reset();
            continue;
        }
        if (!m_chunk[c]) m_chunk[c].reset(new hmmMixture[CHUNK]);
        std::copy(o.m_chunk[c].get(), o.m_chunk[c].get() + CHUNK, m_chunk[c].get());
    }
    return *this;
}

hmmMixture& mixtureSlots::operator[](size_t j) {
    if (j >= static_cast<size_t>(MAX_MIXTURE_NUM))
        fatalErrorF("Error: mixture slot %lu, MAX_MIXTURE_NUM=%d (line %d of %s)", static_cast<unsigned long>(j),
                    MAX_MIXTURE_NUM, __LINE__, kUnit);
    std::unique_ptr<hmmMixture[]>& c = m_chunk[j / CHUNK];
    if (!c) c.reset(new hmmMixture[CHUNK]());
    return c[j % CHUNK];
}

const hmmMixture& mixtureSlots::operator[](size_t j) const {
    static const hmmMixture kEmpty{};
    if (j >= static_cast<size_t>(MAX_MIXTURE_NUM))
        fatalErrorF("Error: mixture slot %lu, MAX_MIXTURE_NUM=%d (line %d of %s)", static_cast<unsigned long>(j),
                    MAX_MIXTURE_NUM, __LINE__, kUnit);
    const std::unique_ptr<hmmMixture[]>& c = m_chunk[j / CHUNK];
    return c ? c[j % CHUNK] : kEmpty;
}

size_t mixtureSlots::stored() const {
    size_t n = 0;
    for (int c = 0; c < MAX_MIXTURE_NUM / CHUNK; ++c)
        if (m_chunk[c]) n = static_cast<size_t>(c + 1) * CHUNK;
    return n;
}

bool sameModel(const hmmModel& a, const hmmModel& b) {
    if (memcmp(a.name, b.name, sizeof(a.name)) != 0 || a.stateNum != b.stateNum ||
        memcmp(a.transP, b.transP, sizeof(a.transP)) != 0)
        return false;
    for (int st = 0; st < MAX_STATE_NUM; ++st) {
        if (memcmp(a.state[st].streamWeight, b.state[st].streamWeight, sizeof(a.state[st].streamWeight)) != 0)
            return false;
        for (int s = 0; s < MAX_STREAM_NUM; ++s) {
            const hmmStream& x = a.state[st].stream[s];
            const hmmStream& y = b.state[st].stream[s];
            if (x.mixtureNum != y.mixtureNum) return false;
            for (int j = 0; j < MAX_MIXTURE_NUM; ++j)
                if (memcmp(&x.mixture[j], &y.mixture[j], sizeof(hmmMixture)) != 0) return false;
        }
    }
    return true;
}

void macroClass::initMacro() {
    modelNum = 0;
    streamNum = 0;
    std::fill(std::begin(streamWidth), std::end(streamWidth), 0);
    header[0] = '\0';
    model.clear();
    m_prepared = false;
    m_blocks.reset();
}

void macroClass::freeMacro() {
    model.clear();
    model.shrink_to_fit();
    modelNum = 0;
    m_prepared = false;
    m_blocks.reset();
}

void macroClass::allocModels(int32_t n) {
    if (n < 0) fatalErrorF("Error: cannot allocate %d models (line %d of %s)", n, __LINE__, kUnit);
    model.assign(static_cast<size_t>(n), hmmModel{});
    modelNum = n;
    m_prepared = false;
    m_blocks.reset();
}

void macroClass::setModelName(hmmModel& m, const std::string& name) {
    if (name.size() >= sizeof(m.name) || name.find('\0') != std::string::npos)
        fatalErrorF("Error: model name \"%s\" is longer than %d characters (line %d of %s)", name.c_str(),
                    static_cast<int>(sizeof(m.name)) - 1, __LINE__, kUnit);
    memset(m.name, 0, sizeof(m.name));
    memcpy(m.name, name.data(), name.size());
}

float macroClass::computeGconst(const float* var, int width) {
    const double kTwoPi = 6.283185307179586476925286766559;
    double g = width * std::log(kTwoPi);
    for (int i = 0; i < width; ++i) g += std::log(static_cast<double>(var[i]));
    return static_cast<float>(g);
}

void macroClass::readMacro(const std::string& fileName, bool sortAndPrepare) {
    formatOf(fileName, "reading");
    readMacroBytes(readWholeFile(fileName), fileName, sortAndPrepare);
}

void macroClass::readMacroBytes(const std::string& data, const std::string& fileName, bool sortAndPrepare) {
    if (formatOf(fileName, "reading") == MacFormat::Binary)
        readMacroBinBytes(data, fileName);
    else
        readMacroTextBytes(data, fileName);
    if (sortAndPrepare) {
        sortModels(0, modelNum - 1);
        prepareModels();
    }
}

// ---- text format ----------------------------------------------------------

void macroClass::readMacroText(const std::string& fileName) { readMacroTextBytes(readWholeFile(fileName), fileName); }

void macroClass::readMacroTextBytes(const std::string& data, const std::string& fileName) {
    // One model per line that starts with "~h".
    int32_t count = 0;
    for (size_t pos = 0; pos < data.size();) {
        if (data.compare(pos, 2, "~h") == 0) ++count;
        size_t nl = data.find('\n', pos);
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }

    // Every model record is reserved up front, so the count must be one the
    // file can hold: no model is shorter than kMinTextModelBytes.
    if (count > MAX_MODEL_NUM || static_cast<size_t>(count) > data.size() / kMinTextModelBytes)
        fatalErrorF("Error in reading \"%s\": %d models (lines starting with ~h) cannot be held by a file of %lu "
                    "bytes, or are more than the %d a set may have (line %d of %s)",
                    fileName.c_str(), count, static_cast<unsigned long>(data.size()), MAX_MODEL_NUM, __LINE__, kUnit);

    // Built aside so that a failure leaves *this untouched.
    macroClass set;
    set.allocModels(count);
    TextReader in(fileName, data);

    in.token("the global options marker ~o");
    in.token("the stream-info keyword");
    set.streamNum = in.readInt("the stream count");
    checkStreams(fileName, set.streamNum, set.streamWidth, false);
    for (int s = 0; s < set.streamNum; ++s) set.streamWidth[s] = in.readInt("a stream width");
    checkStreams(fileName, set.streamNum, set.streamWidth, true);

    std::string keyword = in.token("the vector-size keyword");
    std::string line = keyword + " " + in.restOfLine();
    if (line.size() >= sizeof(set.header))
        fatalErrorF("Error in reading \"%s\": the vector-size line has %lu characters, at most %d fit (line %d of %s)",
                    fileName.c_str(), static_cast<unsigned long>(line.size()),
                    static_cast<int>(sizeof(set.header)) - 1, __LINE__, kUnit);
    memcpy(set.header, line.c_str(), line.size() + 1);

    for (int32_t i = 0; i < count; ++i) {
        hmmModel& m = set.model[i];
        in.token("the macro marker ~h");
        std::string name = in.quoted("a model name");
        if (name.size() >= sizeof(m.name))
            fatalErrorF("Error in reading \"%s\": model name \"%s\" is longer than %d characters (line %d of %s)",
                        fileName.c_str(), name.c_str(), static_cast<int>(sizeof(m.name)) - 1, __LINE__, kUnit);
        memcpy(m.name, name.c_str(), name.size());

        std::string tok = in.token("<BEGINHMM>");
        if (tok != "<BEGINHMM>")
            fatalErrorF("modelId=%d, str1=%s, Cannot find \"<BEGINHMM>\" (line %d of %s)", i, tok.c_str(), __LINE__,
                        kUnit);
        in.token("the state-count keyword");
        m.stateNum = in.readInt("the state count");
        checkStateNum(fileName, i, m.stateNum);

        for (int st = 0; st < m.stateNum - 2; ++st) {
            hmmState& state = m.state[st];
            const int htkState = st + 2;
            in.token("<STATE>");
            in.readInt("the state number");

            tok = in.token("<NUMMIXES> or <SWEIGHTS>");
            if (tok == "<NUMMIXES>") {
                for (int s = 0; s < set.streamNum; ++s) {
                    state.stream[s].mixtureNum = in.readInt("a mixture count");
                    checkMixtureNum(state.stream[s].mixtureNum);
                }
                in.token("<SWEIGHTS>");
                in.readInt("the stream-weight count");
            } else if (tok == "<SWEIGHTS>") {
                for (int s = 0; s < set.streamNum; ++s) state.stream[s].mixtureNum = 1;
                in.readInt("the stream-weight count");
            } else {
                fatalErrorF("ERROR: fail to read <NUMMIXES> or <SWEIGHTS> at modelId = %d, stateId = %d (line %d of %s)",
                            i, htkState, __LINE__, kUnit);
            }
            for (int s = 0; s < set.streamNum; ++s) state.streamWeight[s] = in.readFloat("a stream weight");

            for (int s = 0; s < set.streamNum; ++s) {
                hmmStream& stream = state.stream[s];
                const int width = set.streamWidth[s];
                if (set.streamNum >= 2) {
                    tok = in.token("<STREAM>");
                    if (tok != "<STREAM>") {
                        consolePrintf("modelId=%d (%s), stateId=%d\n", i, m.name, htkState);
                        fatalErrorF("str1=%s, temp=%d, Cannot find \"<STREAM>\" (line %d of %s)", tok.c_str(),
                                    in.lastInt(), __LINE__, kUnit);
                    }
                    in.readInt("the stream number");
                }
                for (int mix = 0; mix < stream.mixtureNum; ++mix) {
                    hmmMixture& g = stream.mixture[mix];
                    if (stream.mixtureNum >= 2) {
                        if (in.token("<MIXTURE> or the next keyword") != "<MIXTURE>") {
                            // Mixtures left out: the rest of the slots keep weight 0.
                            in.unread();
                            break;
                        }
                        in.readInt("the mixture number");
                        g.weight = in.readFloat("a mixture weight");
                    } else {
                        g.weight = 1.0f;
                    }

                    tok = in.token("<MEAN>");
                    if (tok == "<RCLASS>") {
                        in.readInt("the regression class");
                        tok = in.token("<MEAN>");
                    }
                    if (tok != "<MEAN>") fatalErrorF("Error: Cannot find \"<MEAN>\" (line %d of %s)", __LINE__, kUnit);
                    // The declared length is normally MAX_PARAM_NUM; the
                    // stream's own width is accepted too, as that is what an
                    // HTK writer states for narrower streams.
                    int32_t len = in.readInt("the mean vector length");
                    if (len != MAX_PARAM_NUM && len != width)
                        fatalErrorF("Error: MAX_PARAM_NUM = %d != %d! (line %d of %s)", MAX_PARAM_NUM, len, __LINE__,
                                    kUnit);
                    for (int d = 0; d < width; ++d) g.mean[d] = in.readFloat("a mean value");

                    tok = in.token("<VARIANCE>");
                    if (tok != "<VARIANCE>")
                        fatalErrorF("Cannot find \"<VARIANCE>\" (line %d of %s)", __LINE__, kUnit);
                    len = in.readInt("the variance vector length");
                    if (len != MAX_PARAM_NUM && len != width)
                        fatalErrorF("Error: MAX_PARAM_NUM = %d != %d! (line %d of %s)", MAX_PARAM_NUM, len, __LINE__,
                                    kUnit);
                    for (int d = 0; d < width; ++d) g.var[d] = in.readFloat("a variance value");

                    if (in.token("<GCONST> or the next keyword") == "<GCONST>") {
                        g.gconst = in.readFloat("the <GCONST> value");
                    } else {
                        // Without <GCONST> the constant follows from the
                        // variances, as HTK itself would compute it.
                        in.unread();
                        g.gconst = computeGconst(g.var, width);
                    }
                }
            }
        }

        tok = in.token("<TRANSP>");
        if (tok != "<TRANSP>") fatalErrorF("Error: Cannot find \"<TRANSP>\" (line %d of %s)", __LINE__, kUnit);
        in.readInt("the transition matrix size");
        for (int r = 0; r < m.stateNum; ++r)
            for (int c = 0; c < m.stateNum; ++c) m.transP[r][c] = in.readFloat("a transition probability");

        tok = in.token("<ENDHMM>");
        if (tok != "<ENDHMM>")
            fatalErrorF("Error: Not reading <ENDHMM>, modelId=%d (line %d of %s)", i, __LINE__, kUnit);
    }

    *this = std::move(set);
}

void macroClass::writeMacroText(const std::string& fileName) const {
    checkWritable(*this, fileName);

    std::string out;
    out.reserve(static_cast<size_t>(modelNum) * 4096);
    char buf[256];
    out += "~o\n<STREAMINFO> ";
    out += std::to_string(streamNum);
    int vecSize = 0;
    for (int s = 0; s < streamNum; ++s) {
        out += " " + std::to_string(streamWidth[s]);
        vecSize += streamWidth[s];
    }
    out += "\n";
    if (header[0] != '\0') {
        // The reader takes a keyword and the rest of its line; anything else
        // would swallow the first model.
        const char* nul = static_cast<const char*>(memchr(header, '\0', sizeof(header)));
        const std::string h(header, nul ? static_cast<size_t>(nul - header) : 0);
        const size_t blank = h.find_first_of(" \t");
        if (!nul || h.find_first_of("\r\n") != std::string::npos || isSpace(h[0]) || blank == std::string::npos ||
            h.find_first_not_of(" \t", blank) == std::string::npos)
            fatalErrorF("Error in writing \"%s\": header \"%.40s\" is not one line \"<keyword> <value>\" "
                        "(line %d of %s)",
                        fileName.c_str(), header, __LINE__, kUnit);
        out += h;
    } else {
        out += "<VECSIZE> " + std::to_string(vecSize) + "<NULLD><USER><DIAGC>";
    }
    out += "\n";

    for (int32_t i = 0; i < modelNum; ++i) {
        const hmmModel& m = model[i];
        if (memchr(m.name, '\0', sizeof(m.name)) == nullptr || strchr(m.name, '"') != nullptr || m.name[0] == '\0')
            fatalErrorF("Error in writing \"%s\": modelId=%d has an empty, unterminated or quoted name (line %d of %s)",
                        fileName.c_str(), i, __LINE__, kUnit);
        checkStateNum(fileName, i, m.stateNum);
        out += "~h \"";
        out += m.name;
        out += "\"\n<BEGINHMM>\n<NUMSTATES> " + std::to_string(m.stateNum) + "\n";
        for (int st = 0; st < m.stateNum - 2; ++st) {
            const hmmState& state = m.state[st];
            out += "<STATE> " + std::to_string(st + 2) + "\n";
            bool allSingle = true;
            for (int s = 0; s < streamNum; ++s) {
                checkMixtureNum(state.stream[s].mixtureNum);
                if (state.stream[s].mixtureNum != 1) allSingle = false;
            }
            if (!allSingle) {
                out += "<NUMMIXES>";
                for (int s = 0; s < streamNum; ++s) out += " " + std::to_string(state.stream[s].mixtureNum);
                out += "\n";
            }
            out += "<SWEIGHTS> " + std::to_string(streamNum) + "\n";
            for (int s = 0; s < streamNum; ++s) putText(out, state.streamWeight[s]);
            out += "\n";
            for (int s = 0; s < streamNum; ++s) {
                const hmmStream& stream = state.stream[s];
                const int width = streamWidth[s];
                if (streamNum >= 2) out += "<STREAM> " + std::to_string(s + 1) + "\n";
                // Trailing slots that are entirely zero are what a stream with
                // mixtures left out reads back as; leave them out again.
                int used = stream.mixtureNum;
                if (used >= 2) {
                    static const hmmMixture kEmpty{};
                    while (used > 0 && memcmp(&stream.mixture[used - 1], &kEmpty, sizeof(kEmpty)) == 0) --used;
                }
                if (stream.mixtureNum == 1 && stream.mixture[0].weight != 1.0f)
                    fatalErrorF("Error in writing \"%s\": modelId=%d (%s), stateId=%d, stream %d has one mixture of "
                                "weight %g; a single mixture must have weight 1 (line %d of %s)",
                                fileName.c_str(), i, m.name, st + 2, s + 1, stream.mixture[0].weight, __LINE__, kUnit);
                for (int mix = 0; mix < used; ++mix) {
                    const hmmMixture& g = stream.mixture[mix];
                    if (stream.mixtureNum >= 2) {
                        snprintf(buf, sizeof(buf), "<MIXTURE> %d", mix + 1);
                        out += buf;
                        putText(out, g.weight);
                        out += "\n";
                    }
                    out += "<MEAN> " + std::to_string(width) + "\n";
                    for (int d = 0; d < width; ++d) putText(out, g.mean[d]);
                    out += "\n<VARIANCE> " + std::to_string(width) + "\n";
                    for (int d = 0; d < width; ++d) putText(out, g.var[d]);
                    out += "\n<GCONST>";
                    putText(out, g.gconst);
                    out += "\n";
                }
            }
        }
        out += "<TRANSP> " + std::to_string(m.stateNum) + "\n";
        for (int r = 0; r < m.stateNum; ++r) {
            for (int c = 0; c < m.stateNum; ++c) putText(out, m.transP[r][c]);
            out += "\n";
        }
        out += "<ENDHMM>\n";
    }
    writeWholeFile(fileName, out);
}

// ---- binary format --------------------------------------------------------

void macroClass::readMacroBin(const std::string& fileName) { readMacroBinBytes(readWholeFile(fileName), fileName); }

void macroClass::readMacroBinBytes(const std::string& data, const std::string& fileName) {
    BinReader in(fileName, data);

    macroClass set;
    const int32_t count = in.i32("modelNum");
    set.streamNum = in.i32("streamNum");
    checkStreams(fileName, set.streamNum, set.streamWidth, false);
    for (int s = 0; s < set.streamNum; ++s) set.streamWidth[s] = in.i32("streamWidth");
    checkStreams(fileName, set.streamNum, set.streamWidth, true);

    // The smallest model (3 states, no mixtures) bounds how many the file can hold.
    const size_t minModelBytes = MODEL_NAME_BIN_LEN + 4 + (4 * set.streamNum + 4 * set.streamNum) + 4 * 9;
    if (count < 0 || count > MAX_MODEL_NUM || static_cast<size_t>(count) > in.remaining() / minModelBytes)
        fatalErrorF("Error in reading \"%s\": modelNum=%d does not fit in the %lu bytes of the file, or is more "
                    "than the %d a set may have (line %d of %s)",
                    fileName.c_str(), count, static_cast<unsigned long>(data.size()), MAX_MODEL_NUM, __LINE__, kUnit);
    // A record in memory is far wider than the smallest one on disk, so the
    // records grow as they are read: a truncated file fails before it has
    // cost more than it holds.
    set.allocModels(0);

    for (int32_t i = 0; i < count; ++i) {
        set.model.emplace_back();
        hmmModel& m = set.model.back();
        // The record is wider than the field and zero-filled, so a name that
        // fills all 50 bytes is still terminated; bytes after a NUL are dropped.
        in.bytes(m.name, MODEL_NAME_BIN_LEN, "a model name");
        size_t len = strnlen(m.name, MODEL_NAME_BIN_LEN);
        memset(m.name + len, 0, sizeof(m.name) - len);

        m.stateNum = in.i32("stateNum");
        checkStateNum(fileName, i, m.stateNum);
        for (int st = 0; st < m.stateNum - 2; ++st) {
            hmmState& state = m.state[st];
            for (int s = 0; s < set.streamNum; ++s) state.streamWeight[s] = in.f32("streamWeight");
            for (int s = 0; s < set.streamNum; ++s) {
                hmmStream& stream = state.stream[s];
                stream.mixtureNum = in.i32("mixtureNum");
                checkMixtureNum(stream.mixtureNum);
                in.need(sizeof(hmmMixture) * static_cast<size_t>(stream.mixtureNum), "the mixture records");
                for (int mix = 0; mix < stream.mixtureNum; ++mix) {
                    hmmMixture& g = stream.mixture[mix];
                    g.weight = in.f32Unchecked();
                    for (float& v : g.mean) v = in.f32Unchecked();
                    for (float& v : g.var) v = in.f32Unchecked();
                    g.gconst = in.f32Unchecked();
                    // Only the stream's width is meaningful; keep the rest zero.
                    for (int d = set.streamWidth[s]; d < MAX_PARAM_NUM; ++d) g.mean[d] = g.var[d] = 0.0f;
                }
            }
        }
        in.need(4 * static_cast<size_t>(m.stateNum * m.stateNum), "the transition matrix");
        for (int r = 0; r < m.stateNum; ++r)
            for (int c = 0; c < m.stateNum; ++c) m.transP[r][c] = in.f32Unchecked();
    }
    if (in.remaining() != 0)
        fatalErrorF("Error in reading \"%s\": %lu bytes follow the last of the %d models (line %d of %s)",
                    fileName.c_str(), static_cast<unsigned long>(in.remaining()), count, __LINE__, kUnit);
    set.modelNum = count;

    *this = std::move(set);
}

void macroClass::writeMacroBin(const std::string& fileName) const {
    checkWritable(*this, fileName);

    std::string out;
    putI32(out, modelNum);
    putI32(out, streamNum);
    for (int s = 0; s < streamNum; ++s) putI32(out, streamWidth[s]);
    for (int32_t i = 0; i < modelNum; ++i) {
        const hmmModel& m = model[i];
        size_t len = strnlen(m.name, sizeof(m.name));
        if (len > static_cast<size_t>(MODEL_NAME_BIN_LEN))
            fatalErrorF("Error in writing \"%s\": model name \"%.*s\" is longer than %d characters (line %d of %s)",
                        fileName.c_str(), static_cast<int>(len), m.name, MODEL_NAME_BIN_LEN, __LINE__, kUnit);
        char name[MODEL_NAME_BIN_LEN] = {};
        memcpy(name, m.name, len);
        out.append(name, sizeof(name));
        checkStateNum(fileName, i, m.stateNum);
        putI32(out, m.stateNum);
        for (int st = 0; st < m.stateNum - 2; ++st) {
            const hmmState& state = m.state[st];
            for (int s = 0; s < streamNum; ++s) putF32(out, state.streamWeight[s]);
            for (int s = 0; s < streamNum; ++s) {
                const hmmStream& stream = state.stream[s];
                checkMixtureNum(stream.mixtureNum);
                putI32(out, stream.mixtureNum);
                for (int mix = 0; mix < stream.mixtureNum; ++mix) {
                    const hmmMixture& g = stream.mixture[mix];
                    putF32(out, g.weight);
                    for (int d = 0; d < MAX_PARAM_NUM; ++d) putF32(out, d < streamWidth[s] ? g.mean[d] : 0.0f);
                    for (int d = 0; d < MAX_PARAM_NUM; ++d) putF32(out, d < streamWidth[s] ? g.var[d] : 0.0f);
                    putF32(out, g.gconst);
                }
            }
        }
        for (int r = 0; r < m.stateNum; ++r)
            for (int c = 0; c < m.stateNum; ++c) putF32(out, m.transP[r][c]);
    }
    writeWholeFile(fileName, out);
}

void macroClass::writeMacro(const std::string& fileName) const {
    if (formatOf(fileName, "writing") == MacFormat::Binary)
        writeMacroBin(fileName);
    else
        writeMacroText(fileName);
}

// ---- sorting, preparation, lookup -------------------------------------------

void macroClass::sortModels(int32_t first, int32_t last) {
    if (first > last) return;
    if (first < 0 || last >= modelNum || static_cast<size_t>(modelNum) != model.size())
        fatalErrorF("Error: cannot sort models %d..%d of %d (line %d of %s)", first, last, modelNum, __LINE__, kUnit);
    // Sort indices and move each record once: records are ~32 KB, and a
    // first-element-pivot quicksort degrades to quadratic time and linear
    // recursion depth on the already sorted sets that the writers produce.
    auto less = [this](int32_t a, int32_t b) { return strcmp(model[a].name, model[b].name) < 0; };
    std::vector<int32_t> order(static_cast<size_t>(last - first + 1));
    for (size_t k = 0; k < order.size(); ++k) order[k] = first + static_cast<int32_t>(k);
    if (std::is_sorted(order.begin(), order.end(), less)) return;
    std::stable_sort(order.begin(), order.end(), less);
    // Apply the permutation cycle by cycle: slot k receives record order[k].
    std::unique_ptr<hmmModel> tmp(new hmmModel);
    for (size_t k = 0; k < order.size(); ++k) {
        if (order[k] < 0) continue;  // already placed
        const int32_t start = first + static_cast<int32_t>(k);
        if (order[k] == start) {
            order[k] = -1;
            continue;
        }
        *tmp = std::move(model[start]);
        size_t slot = k;
        while (true) {
            const int32_t src = order[slot];
            order[slot] = -1;
            if (src == start) {
                model[first + slot] = std::move(*tmp);
                break;
            }
            model[first + slot] = std::move(model[src]);
            slot = static_cast<size_t>(src - first);
        }
    }
}

void macroClass::prepareModels() {
    if (m_prepared) return;
    for (int32_t i = 0; i < modelNum; ++i) {
        hmmModel& m = model[i];
        const int emitting = std::min(std::max(m.stateNum - 2, 0), MAX_STATE_NUM);
        for (int st = 0; st < emitting; ++st) {
            for (int s = 0; s < streamNum && s < MAX_STREAM_NUM; ++s) {
                hmmStream& stream = m.state[st].stream[s];
                const int mixNum = std::min(std::max(stream.mixtureNum, 0), MAX_MIXTURE_NUM);
                const int width = std::min(std::max(streamWidth[s], 0), MAX_PARAM_NUM);
                for (int mix = 0; mix < mixNum; ++mix) {
                    hmmMixture& g = stream.mixture[mix];
                    for (int d = 0; d < width; ++d) {
                        if (g.var[d] < 1e-30f) g.var[d] = 1e-30f;
                        float inv = static_cast<float>(1.0 / static_cast<double>(g.var[d]));
                        g.var[d] = inv < 1e-30f ? 1e-30f : inv;
                    }
                    g.weight = g.weight != 0.0f ? static_cast<float>(std::log(static_cast<double>(g.weight))) : LOG_ZERO;
                }
            }
        }
        const int n = std::min(std::max(m.stateNum, 0), MAX_HMM_STATE_NUM);
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                if (m.transP[r][c] > 0.0f)
                    m.transP[r][c] = static_cast<float>(std::log(static_cast<double>(m.transP[r][c])));
    }
    m_prepared = true;
    layOutGaussians();
}

void macroClass::layOutGaussians() { m_blocks = std::make_shared<const gaussBlockSet>(*this); }

int32_t macroClass::findModelIndex(const std::string& name) const {
    int32_t low = 0, high = std::min<int32_t>(modelNum, static_cast<int32_t>(model.size())) - 1;
    while (low <= high) {
        int32_t mid = low + (high - low) / 2;
        int cmp = strcmp(name.c_str(), model[mid].name);
        if (cmp == 0) return mid;
        if (cmp < 0)
            high = mid - 1;
        else
            low = mid + 1;
    }
    return findSubstituteModel(name);
}

int32_t macroClass::findSubstituteModel(const std::string& name) const {
    if (name == "sp" || name == "sil" || name == "filler" || name == "fillerC" || name == "fillerV") return -1;
    size_t plus = name.find('+');
    if (plus == std::string::npos)
        fatalErrorF("Error in macroClass::findSubstituteModel(): Cannot find '+' sign, modelStr=%s (line %d of %s) \n",
                    name.c_str(), __LINE__, kUnit);
    // Index 0 as the last resort only makes sense when a model exists.
    if (modelNum <= 0 || model.empty()) return -1;

    const std::string stem = name.substr(0, plus + 1);
    for (const std::string& prefix : {stem + "sil", stem}) {
        for (int32_t i = 0; i < modelNum; ++i)
            if (strncmp(model[i].name, prefix.c_str(), prefix.size()) == 0) return i;
    }
    return 0;
}

void macroClass::getModelNames(std::vector<std::string>& names) const {
    names.clear();
    names.reserve(static_cast<size_t>(modelNum));
    for (int32_t i = 0; i < modelNum; ++i) names.emplace_back(model[i].name);
}

}  // namespace qv
