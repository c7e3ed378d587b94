// Simplified Chinese to Traditional through OpenCC, with Taiwan's character
// forms (configuration s2tw): the data set is Big5, whose forms are
// Taiwan's (為, 裡, 著), which plain s2t would not always give (爲, 裏, 着).
// Vocabulary is left alone (s2twp would rewrite 软件 as 軟體 and change what
// the speaker reads).
#pragma once

#include <string>

namespace qv {

// UTF-8 in, UTF-8 out. One converter serves the whole process (loaded on
// first use, calls serialised). Throws std::runtime_error when OpenCC or its
// configuration cannot be loaded.
std::string simplifiedToTraditional(const std::string& utf8);

}  // namespace qv
