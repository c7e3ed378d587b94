// Normalisation rules and expected sentences (or a syllable file) -> reading,
// normalisation, syllable strings, tree or sausage network -> network build,
// all against the shipped lexicon. Input: rules, a line "@@", then sentences;
// a first byte with bit 0 set reads the sentence part as a syllable file.
#include "engine/lexicon/net.h"
#include "engine/lexicon/text.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    static qv::dictClass shipped = qvfuzz::shippedDict();
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const std::string bytes = qvfuzz::asString(data + 1, size - 1);
    const size_t cut = bytes.find("\n@@\n");
    const std::string rules = cut == std::string::npos ? std::string() : bytes.substr(0, cut);
    const std::string rest = cut == std::string::npos ? bytes : bytes.substr(cut + 4);
    qvfuzz::guard([&] {
        qv::recogParam prm = qvfuzz::shippedParams();
        qv::textClass text;
        text.tnmReadBytes(rules, "fuzz.tnm");
        qv::dictClass& dict = shipped;
        if (mode & 1) {
            text.txtReadBytes("\xA7\xDA", "fuzz.txt");
            text.sylReadBytes(rest);
        } else {
            text.txtReadBytes(rest, "fuzz.txt");
        }
        text.textNormalize("chinese");
        if (mode & 2) {
            prm.onlyOneSentence = 1;
            text.genSausageNet(dict.m_wpa, prm);
        } else {
            if (!(mode & 1)) text.text2sylChinese(dict.m_wpa);
            if (mode & 4) text.addBetweenSyllables("-sp-");
            text.genTreeNet((mode >> 3) & 1, (mode >> 4) & 1, (mode >> 5) & 1);
        }
        qv::dictClass copy = dict;  // the build may replace missing models
        qv::netClass net;
        net.buildFromTxt(text.netVs, copy);
        net.maxFanOut();
    });
    return 0;
}
