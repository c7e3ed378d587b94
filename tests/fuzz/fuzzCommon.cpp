#include "fuzzCommon.h"

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

namespace qvfuzz {

std::string dataPath(const std::string& name) { return std::string(QV_SOURCE_DIR) + "/telvoDataChinese/" + name; }

void init() {
    static const bool done = [] {
        qv::setConsoleSink([](const std::string&) {});
        const char* t = std::getenv("temp");
        if (!t || !*t) {
            const std::string dir = std::filesystem::temp_directory_path().string() + "/qvfuzz-" +
                                    std::to_string(static_cast<long>(getpid()));
            std::filesystem::create_directories(dir);
            setenv("temp", dir.c_str(), 1);
        }
        return true;
    }();
    (void)done;
}

const qv::macroClass& shippedMacro() {
    static const qv::macroClass macro = [] {
        init();
        qv::macroClass m;
        m.readMacro(dataPath("models/chinese.macb"), true);
        return m;
    }();
    return macro;
}

qv::dictClass shippedDict() {
    static const qv::dictClass dict = [] {
        init();
        qv::dictClass d;
        d.pronDictRead(dataPath("chinese.pam"), shippedMacro());
        d.pinyinTableRead(dataPath("pinyinTable.txt"));
        d.wpaRead(dataPath("chinese.wpa"), "chinese", d.m_wpa);
        return d;
    }();
    return dict;
}

qv::recogParam shippedParams() {
    static const qv::recogParam prm = [] {
        init();
        qv::recogParam p;
        qv::recogParamRead(dataPath("chinese.sa.prm"), p);
        const char* const files[][2] = {
            {"macFile", "models/chinese.macb"}, {"dicFile", "chinese.pam"},       {"wpaFile", "chinese.wpa"},
            {"pyTableFile", "pinyinTable.txt"}, {"qiYinFile", "qiYin.txt"},       {"tnmFile", "chinese.tnm"},
            {"featureConfigFile", "mfcc.cfg"},  {"cmParamFile", "cmParam.txt"},  {"epsFile", "chinese.eps"},
            {"phoneRank2scoreParamFile", "phoneRank2score.prm"},
            {"scoreDiscountParamFile", "scoreDiscount.prm"},
        };
        for (const auto& f : files) qv::recogParamSet(p, f[0], dataPath(f[1]), "fuzz");
        p.outputDir[0] = '\0';
        return p;
    }();
    return prm;
}

}  // namespace qvfuzz
