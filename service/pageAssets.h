// The learner's page (service/www/), compiled into the server so that an
// installed server needs no folder of its own; the build generates the
// contents from the files.
#pragma once

#include <string>
#include <vector>

namespace qvservice {

struct PageAsset {
    std::string path;         // "/index.html"
    std::string contentType;  // "text/html; charset=utf-8"
    std::string content;
};

const std::vector<PageAsset>& pageAssets();

}  // namespace qvservice
