// quorvane-recog PRMFILE [key=value ...]
// Runs the engine once on a recognition parameter file, with optional
// overrides of its keys, and ends with the line "Score=%f".
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "quorvane.h"

int main(int argc, char** argv) {
    CLI::App app{"Run one QUORVANE assessment or recognition from a parameter file"};
    std::string prmFile;
    std::vector<std::string> overrides;
    app.add_option("PRMFILE", prmFile, "recognition parameter file (key = value lines)")->required();
    app.add_option("overrides", overrides, "key=value pairs applied after the file");
    CLI11_PARSE(app, argc, argv);

    quorvane::Request req;
    req.paramFile = prmFile;
    for (const auto& kv : overrides) {
        const size_t eq = kv.find('=');
        if (eq == std::string::npos) {
            fprintf(stderr, "quorvane-recog: override \"%s\" is not of the form key=value\n", kv.c_str());
            return 2;
        }
        req.overrides.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    }
    try {
        quorvane::Result r = quorvane::run(req);
        printf("Score=%f\n", r.finalScore);
        return 0;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
