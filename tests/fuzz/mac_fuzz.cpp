// Text model file -> reader -> sort and preparation -> written back and read again.
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        qv::macroClass macro;
        macro.readMacroBytes(qvfuzz::asString(data, size), "fuzz.mac", true);
        if (macro.modelNum > 0) macro.findModelIndex(macro.model[0].name);
    });
    return 0;
}
