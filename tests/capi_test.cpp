// The C API: handles, status codes, the JSON documents and their ownership.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "quorvane_c.h"

namespace {

const std::string kData = std::string(QV_SOURCE_DIR) + "/telvoDataChinese";

struct Doc {
    char* text = nullptr;
    ~Doc() { qv_string_free(text); }
    nlohmann::json json() const { return nlohmann::json::parse(text); }
};

}  // namespace

TEST(CApi, AssessesThroughHandlesAndReportsFailuresAsStatusAndDocument) {
    qv_engine* eng = nullptr;
    char* err = nullptr;
    ASSERT_EQ(qv_engine_open(kData.c_str(), &eng, &err), QV_STATUS_OK);
    EXPECT_EQ(err, nullptr);
    qv_input* in = qv_input_create();
    ASSERT_EQ(qv_input_set_audio_file(in, (kData + "/samples/laoshi.wav").c_str()), QV_STATUS_OK);
    ASSERT_EQ(qv_input_set_text(in, "老師"), QV_STATUS_OK);
    int lines = 0;
    qv_input_set_log(in, [](int, const char*, void* user) { ++*static_cast<int*>(user); }, &lines);
    {
        Doc d;
        ASSERT_EQ(qv_engine_assess(eng, in, &d.text), QV_STATUS_OK);
        const nlohmann::json j = d.json();
        EXPECT_EQ(j["schema"], "quorvane-result");
        EXPECT_EQ(j["version"], 1);
        EXPECT_GT(j["score"].get<double>(), 50);
        std::string chars;
        for (const auto& s : j["syllables"]) chars += s["text"].get<std::string>();
        EXPECT_EQ(chars, "老師");
        // The shipped parameters name a tone model; laoshi is read with its tones.
        int toned = 0;
        for (const auto& s : j["syllables"])
            if (s.contains("tone")) {
                ++toned;
                EXPECT_EQ(s["tone"]["expected"], s["name"].get<std::string>().back() - '0');
            }
        EXPECT_GT(toned, 0);
        EXPECT_GT(lines, 10);
    }
    {
        qv_input_set_audio_file(in, "/nonexistent.wav");
        Doc d;
        const int st = qv_engine_assess(eng, in, &d.text);
        EXPECT_NE(st, QV_STATUS_OK);
        EXPECT_EQ(d.json()["error"]["kind"], qv_status_name(st));
        EXPECT_FALSE(d.json()["error"]["message"].get<std::string>().empty());
    }
    {
        Doc d;
        EXPECT_EQ(qv_engine_assess(nullptr, in, &d.text), QV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(d.json()["error"]["kind"], "invalid argument");
        EXPECT_EQ(qv_engine_assess(eng, in, nullptr), QV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(qv_input_set_text(nullptr, "x"), QV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(qv_input_set_samples(in, nullptr, 5, 16000), QV_STATUS_INVALID_ARGUMENT);
    }
    qv_input_destroy(in);
    qv_engine_close(eng);

    eng = reinterpret_cast<qv_engine*>(1);
    EXPECT_NE(qv_engine_open("/nonexistent", &eng, &err), QV_STATUS_OK);
    EXPECT_EQ(eng, nullptr);
    ASSERT_NE(err, nullptr);
    qv_string_free(err);
    EXPECT_STREQ(qv_version(), QUORVANE_VERSION);
}
