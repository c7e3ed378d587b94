#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace fs = std::filesystem;

namespace qvtest {

ScratchDir::ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // ctest runs tests as parallel processes; the process id keeps their
    // directories apart (also for directories made outside any test).
    std::string name = (info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("scratch")) +
                       "." + std::to_string(getpid());
    for (char& c : name)
        if (c == '/') c = '_';
    fs::path base = fs::path(QV_BINARY_DIR) / "testtmp" / "scratch";
    fs::create_directories(base);
    m_path = (base / name).string();
    std::error_code ec;
    fs::remove_all(m_path, ec);
    fs::create_directories(m_path);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) { return fs::exists(path); }

std::string dataPath(const std::string& name) { return std::string(QV_TEST_DATA_DIR) + "/" + name; }

ConsoleCapture::ConsoleCapture() {
    qv::setConsoleSink([this](const std::string& s) { text += s; });
}

ConsoleCapture::~ConsoleCapture() { qv::setConsoleSink(nullptr); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (old) m_old = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

}  // namespace qvtest
