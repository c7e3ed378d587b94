#include "readings/readingStep.h"

#include <sys/stat.h>

#include <cctype>
#include <map>
#include <mutex>
#include <tuple>

#include "engine/recogTask.h"
#include "engine/utility.h"
#include "platform/codePage.h"
#include "readings/simplifiedText.h"
#include "readings/toneSandhi.h"

namespace qv {

namespace {

// Big5 rows A1-A3 hold punctuation and symbols: they end a phrase.
bool isBig5Symbol(const std::string& ch) {
    const auto lead = static_cast<unsigned char>(ch[0]);
    return ch.size() == 2 && lead >= 0xA1 && lead <= 0xA3;
}

std::string listOf(const std::vector<std::string>& chars) {
    std::string s;
    for (const std::string& c : chars) s += (s.empty() ? "" : " ") + c;
    return s;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

const char* readingStandardName(readingStandard s) { return s == readingStandard::taiwan ? "taiwan" : "mainland"; }

bool parseReadingStandard(const std::string& name, readingStandard& out) {
    const std::string n = toLower(name);
    if (n == "taiwan" || n == "tw") {
        out = readingStandard::taiwan;
        return true;
    }
    if (n == "mainland" || n == "cn") {
        out = readingStandard::mainland;
        return true;
    }
    return false;
}

std::string wordFileFor(const std::string& wpaFile, readingStandard s) {
    return folderOf(wpaFile) + (s == readingStandard::taiwan ? "chinese.words" : "chinese.mainland.words");
}

readingStep::readingStep(const std::string& wpaFile, const std::string& pyTableFile, readingStandard standard)
    : m_standard(standard) {
    m_lex.read(wpaFile, pyTableFile, wordFileFor(wpaFile, standard));
}

std::shared_ptr<const readingStep> readingStep::shared(const std::string& wpaFile, const std::string& pyTableFile,
                                                        readingStandard standard) {
    static std::mutex m;
    // Keyed by the files and the word file's size and time, so that a
    // regenerated lexicon is read again.
    using key = std::tuple<std::string, std::string, int, long long, long long>;
    static std::map<key, std::shared_ptr<const readingStep>> cache;
    struct stat st {};
    const std::string words = wordFileFor(wpaFile, standard);
    if (stat(words.c_str(), &st) != 0) st = {};
    const key k{wpaFile, pyTableFile, static_cast<int>(standard), static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_mtime)};
    std::lock_guard<std::mutex> lock(m);
    auto it = cache.find(k);
    if (it != cache.end()) return it->second;
    auto step = std::make_shared<const readingStep>(wpaFile, pyTableFile, standard);
    cache[k] = step;
    return step;
}

std::shared_ptr<const readingStep> readingStep::forParams(const std::string& prmFile, readingStandard standard) {
    recogParam prm;
    recogParamRead(prmFile, prm);
    return shared(prm.wpaFile, prm.pyTableFile, standard);
}

std::vector<std::string> readingStep::unread(const std::string& big5) const {
    std::vector<std::string> out;
    for (const std::string& ch : big5Chars(big5)) {
        if (ch.size() == 1 && !std::isalnum(static_cast<unsigned char>(ch[0])) &&
            static_cast<unsigned char>(ch[0]) < 0x80)
            continue;
        if (isBig5Symbol(ch) || m_lex.hasChar(ch)) continue;
        const std::string u = big5ToUtf8Lenient(ch);
        bool seen = false;
        for (const std::string& o : out) seen = seen || o == u;
        if (!seen) out.push_back(u);
    }
    return out;
}

sentenceReading readingStep::read(const std::string& utf8) const {
    std::wstring wide;
    if (!utf8ToWide(utf8, wide)) throw readingError("the text is not valid UTF-8");
    std::string big5;
    bool fits = true;
    try {
        big5 = utf8ToBig5(utf8);
        fits = unread(big5).empty();
    } catch (const Big5Error&) {
        fits = false;
    }
    if (fits) return readBig5(big5);

    // Simplified (or mixed) text: the whole sentence is converted, since
    // OpenCC chooses a character's Traditional form by its neighbours
    // (干净 -> 乾淨, 干部 -> 幹部).
    const std::string traditional = simplifiedToTraditional(utf8);
    std::vector<std::string> missing;
    std::string noBig5;  // the first character without a Big5 form, described
    std::string converted;
    for (size_t i = 0; i < traditional.size();) {
        const size_t n = utf8CharLen(traditional, i);
        const std::string ch = traditional.substr(i, n);
        i += n;
        try {
            const std::string b = utf8ToBig5(ch);
            if (!unread(b).empty()) throw Big5Error("", ch);
            converted += b;
        } catch (const Big5Error& e) {
            if (noBig5.empty() && *e.what()) noBig5 = e.what();
            bool seen = false;
            for (const std::string& m : missing) seen = seen || m == ch;
            if (!seen) missing.push_back(ch);
        }
    }
    if (!missing.empty()) {
        const bool letters = std::isalnum(static_cast<unsigned char>(missing[0][0])) != 0;
        if (letters && missing[0].size() == 1)
            throw readingError("contains \"" + missing[0] +
                               "\", which is not a Chinese character (write letters and numbers in Chinese characters)");
        if (!noBig5.empty()) throw readingError(noBig5 + ", nor has its Traditional form");
        throw readingError("no reading in the word table for " + listOf(missing) + " (nor for a Traditional form)");
    }
    sentenceReading r = readBig5(converted);
    r.converted = converted != big5;
    return r;
}

sentenceReading readingStep::readBig5(const std::string& big5) const {
    const std::vector<std::string> all = big5Chars(big5);
    for (const std::string& ch : all)
        if (ch.size() == 1 && std::isalnum(static_cast<unsigned char>(ch[0])))
            throw readingError("contains \"" + ch +
                               "\", which is not a Chinese character (write letters and numbers in Chinese characters)");
    const std::vector<std::string> missing = unread(big5);
    if (!missing.empty()) throw readingError("no reading in the word table for " + listOf(missing));

    sentenceReading r;
    r.big5 = big5;
    const auto exists = [this](const std::string& syl) { return m_lex.hasSyllable(syl); };
    int words = 0;
    for (size_t i = 0; i < all.size();) {
        // One phrase: the characters up to the next punctuation mark.
        size_t end = i;
        while (end < all.size() && m_lex.hasChar(all[end])) ++end;
        std::vector<phraseSyllable> phrase;
        for (size_t j = i; j < end;) {
            size_t len = std::min(m_lex.maxWordChars(), end - j);
            const std::vector<std::string>* syls = nullptr;
            std::string word;
            for (; len >= 1; --len) {
                word.clear();
                for (size_t k = 0; k < len; ++k) word += all[j + k];
                syls = m_lex.find(word);
                if (syls) break;
            }
            const int w = static_cast<int>(phrase.empty() ? 0 : phrase.back().word + 1);
            for (size_t k = 0; k < len; ++k) {
                phraseSyllable s;
                s.ch = all[j + k];
                s.reading = (*syls)[k];
                s.word = w;
                s.wordLength = static_cast<int>(len);
                s.baseTone = syllableTone(s.reading);
                if (s.baseTone == 5) s.baseTone = m_lex.fullTone(s.ch);
                phrase.push_back(s);
            }
            j += len;
        }
        std::vector<std::string> cited;
        for (const phraseSyllable& s : phrase) cited.push_back(s.reading);
        applyToneSandhi(phrase, exists);
        for (size_t k = 0; k < phrase.size(); ++k) {
            r.chars.push_back(phrase[k].ch);
            r.lexicon.push_back(cited[k]);
            r.syllables.push_back(phrase[k].reading);
            r.wordOf.push_back(words + phrase[k].word);
        }
        if (!phrase.empty()) words += phrase.back().word + 1;
        i = end == i ? i + 1 : end;
    }
    if (r.syllables.empty()) throw readingError("is empty (nothing to read once punctuation is removed)");
    return r;
}

std::string syllableFileLine(const std::vector<std::string>& syllables, size_t sentenceIndex, bool padded) {
    std::string s;
    for (const std::string& syl : syllables) s += (s.empty() ? "" : (padded ? "-sp-" : "-")) + syl;
    return s + "\t" + std::to_string(sentenceIndex) + "\n";
}

}  // namespace qv
