// Runs inside the throwaway root: /etc/hexwing here is not the host's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "tarn_common.h"

namespace {

const std::string VRX = "/etc/hexwing/tarn-vrx.conf";
const std::string VTX = "/etc/hexwing/tarn-vtx.conf";

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ServiceConfigs : public testing::Test {
protected:
    std::string out;

    void SetUp() override
    {
        if (getenv("TARN_SANDBOXED") == nullptr) GTEST_SKIP() << "needs the sandbox";
        ASSERT_EQ(system("rm -rf /etc/hexwing && mkdir -p /etc/hexwing"), 0);
    }
    void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    template <typename F>
    void quiet(F f)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        f();
        testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }
    // The JSON text after the header, which must be exactly header.
    std::string body_after(const std::string& path, const char* header)
    {
        std::string text = slurp(path);
        EXPECT_EQ(text.compare(0, strlen(header), header), 0) << path << ":\n" << text;
        return text.size() >= strlen(header) ? text.substr(strlen(header)) : "";
    }
};

TEST_F(ServiceConfigs, missing_file_is_created_and_written_as_header_and_empty_object)
{
    quiet([] { config_update_number(VTX.c_str(), "frequency", 5180, false); });
    EXPECT_EQ(out, "No configuration file found, created a new empty configuration file using "
                   "defaults: " +
                       VTX + "\n");
    std::string body = body_after(VTX, VTX_CONFIG_HEADER);
    cJSON* t = cJSON_Parse(body.c_str());
    ASSERT_NE(t, nullptr) << body;
    EXPECT_TRUE(cJSON_IsObject(t));
    EXPECT_EQ(cJSON_GetArraySize(t), 0) << body;
    cJSON_Delete(t);

    // The file reads back through the header, and a setting it holds is
    // replaced without stacking a second header.
    put(VRX, "{\"encoding\": \"h264\", \"frequency\": 5805}");
    quiet([] { config_update_string(VRX.c_str(), "encoding", "h265"); });
    quiet([] { config_update_number(VRX.c_str(), "frequency", 5180, false); });
    EXPECT_EQ(out, "");
    body = body_after(VRX, VRX_CONFIG_HEADER);
    EXPECT_EQ(body.find("/**"), std::string::npos);
    cJSON* again = nullptr;
    quiet([&] { again = open_json(VRX.c_str(), false); });
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(again), 2);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(again, "encoding")->valuestring, "h265");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(again, "frequency")->valueint, 5180);
    cJSON_Delete(again);

    // A top level that is not an object is kept, and gains the header.
    put(VRX, "[5805]");
    quiet([] { config_update_number(VRX.c_str(), "frequency", 1, false); });
    EXPECT_EQ(body_after(VRX, VRX_CONFIG_HEADER), "[5805]\n");
}

TEST_F(ServiceConfigs, headerless_receiver_file_gains_the_header)
{
    put(VRX, "{\"encoding\": \"h264\", \"width\": 1280}\n");
    chmod(VRX.c_str(), 0600);
    quiet([] { config_update_string(VRX.c_str(), "encoding", "h265"); });
    EXPECT_EQ(out, "");
    cJSON* t = cJSON_Parse(body_after(VRX, VRX_CONFIG_HEADER).c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(t, "encoding")->valuestring, "h265");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "width")->valueint, 1280);
    cJSON_Delete(t);
    struct stat st;
    ASSERT_EQ(stat(VRX.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ServiceConfigs, only_the_first26_characters_choose_the_header)
{
    for (const std::string& p : {VTX, VTX + ".new", VRX + "~", std::string("/etc/hexwing/tarn-vtx.con")})
        put(p, "{\"enable_pit\": true}");
    quiet([] {
        config_update_number(VTX.c_str(), "enable_pit", 1, true);
        config_update_number((VTX + ".new").c_str(), "enable_pit", 0, true);
        config_update_number((VRX + "~").c_str(), "debug_osd", 1, true);
        config_update_number("/etc/hexwing/tarn-vtx.con", "enable_pit", 1, true);
    });
    body_after(VTX, VTX_CONFIG_HEADER);
    body_after(VTX + ".new", VTX_CONFIG_HEADER);
    body_after(VRX + "~", VRX_CONFIG_HEADER);
    EXPECT_EQ(slurp("/etc/hexwing/tarn-vtx.con").rfind("{", 0), 0u);
    cJSON* t = nullptr;
    quiet([&] { t = open_json((VTX + ".new").c_str(), false); });
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(t, "enable_pit")));
    cJSON_Delete(t);
}

TEST_F(ServiceConfigs, invalid_or_uncreatable_files_are_not_written)
{
    put(VTX, "{\"frequency\": 5805");
    quiet([] { config_update_number(VTX.c_str(), "frequency", 5745, false); });
    EXPECT_EQ(out, "Parent JSON is NULL\n");
    EXPECT_EQ(slurp(VTX), "{\"frequency\": 5805");

    ASSERT_EQ(system("rm -rf /etc/hexwing"), 0);
    quiet([] { config_update_string(VRX.c_str(), "card", "wlan1"); });
    EXPECT_EQ(out, "Error creating config file\nParent JSON is NULL\n");
    EXPECT_NE(access("/etc/hexwing", F_OK), 0);
}

}  // namespace
