// Small helpers shared by the tests: a scratch directory per test and whole
// file reads/writes.
#pragma once

#include <string>

namespace qvtest {

// A fresh directory below the build tree, removed on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
std::string dataPath(const std::string& name);  // tests/data/<name>

}  // namespace qvtest
