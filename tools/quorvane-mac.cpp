// quorvane-mac IN OUT: converts a model set between the text (.mac) and the
// binary (.macb) format, chosen by each file's extension. The models keep
// their file order and raw values, so a conversion and its inverse give the
// same numbers back.
#include <cstdio>
#include <exception>

#include "engine/models/macro.h"
#include "engine/utility.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s IN OUT\n  converts between model files by extension (.mac text, .macb binary)\n",
                argc > 0 ? argv[0] : "quorvane-mac");
        return 2;
    }
    try {
        qv::macroClass set;
        set.readMacro(argv[1], false);
        set.writeMacro(argv[2]);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
