// Shared set-up of the fuzz targets: a quiet engine, a scratch directory for
// the error logs and diagnostic files, the shipped data set loaded once, and
// a guard that treats the engine's own fatal error as a proper rejection.
// Anything else that escapes (another exception, a sanitizer report, a hang,
// more than the memory limit) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/lexicon/dict.h"
#include "engine/models/macro.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

namespace qvfuzz {

// Silences the console and points "temp" at a scratch directory (once).
void init();

// The shipped model set (binary, sorted and prepared) and lexicon.
const qv::macroClass& shippedMacro();
// A fresh copy of the shipped dictionary with its word and pinyin tables.
qv::dictClass shippedDict();
// The shipped recognition parameters with paths made absolute and no outputDir.
qv::recogParam shippedParams();
std::string dataPath(const std::string& name);

inline std::string asString(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}
inline std::vector<uint8_t> asBytes(const uint8_t* data, size_t size) {
    return std::vector<uint8_t>(data, data + size);
}

// Runs f; a qv::FatalError is the engine refusing the input and is fine.
template <typename F>
void guard(F&& f) {
    try {
        f();
    } catch (const qv::FatalError&) {
    }
}

}  // namespace qvfuzz
