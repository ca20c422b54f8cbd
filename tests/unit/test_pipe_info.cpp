#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "brisk_json.h"
#include "brisk_pipe.h"
#include "tarn_common.h"

namespace {

constexpr int CH = 3;

// A real server channel published under a private folder in /tmp rather
// than the shared pipe folder.
class PipeInfo : public testing::Test {
protected:
    std::string dir, location;

    void SetUp() override
    {
        char templ[] = "/tmp/tarn-pipeinfo-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        location = dir + "/video/";
        ASSERT_EQ(pipe_server_create(CH, location.c_str(), 0), 0);
        ASSERT_NE(pipe_server_get_info_json_ptr(CH), nullptr);
    }
    void TearDown() override
    {
        pipe_server_close(CH);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    // Member names of the published info file, in file order, from "from" on.
    std::vector<std::string> published(const std::string& from, cJSON** tree = nullptr)
    {
        std::vector<std::string> names;
        cJSON* t = json_read_file((location + "info").c_str());
        EXPECT_NE(t, nullptr);
        bool on = false;
        for (cJSON* m = t != nullptr ? t->child : nullptr; m != nullptr; m = m->next) {
            if (from == m->string) on = true;
            if (on) names.push_back(m->string);
        }
        if (tree != nullptr)
            *tree = t;
        else
            cJSON_Delete(t);
        return names;
    }
};

const std::vector<std::string> FIVE = {"string_format", "int_format", "width", "height", "framerate"};

TEST_F(PipeInfo, appends_the_five_members_each_call_and_publishes)
{
    ASSERT_EQ(UpdatePipeJson(CH, IMAGE_FORMAT_H265, 1920, 1080, 60, false), 0);
    cJSON* t = nullptr;
    EXPECT_EQ(published("string_format", &t), FIVE);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(t, "string_format")->valuestring, "H265");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "int_format")->valueint, IMAGE_FORMAT_H265);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "width")->valueint, 1920);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "height")->valueint, 1080);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "framerate")->valueint, 60);
    // The library's own members stay in front.
    EXPECT_NE(cJSON_GetObjectItemCaseSensitive(t, "server_pid"), nullptr);
    cJSON_Delete(t);

    // Without replace, a second call appends a second set of the same names.
    ASSERT_EQ(UpdatePipeJson(CH, 99, 640, 480, 30, false), 0);
    std::vector<std::string> twice = FIVE;
    twice.insert(twice.end(), FIVE.begin(), FIVE.end());
    EXPECT_EQ(published("string_format", &t), twice);
    cJSON* last = cJSON_GetArrayItem(t, cJSON_GetArraySize(t) - 5);
    ASSERT_NE(last, nullptr);
    EXPECT_STREQ(last->valuestring, "UNKNOWN");
    cJSON_Delete(t);
}

TEST_F(PipeInfo, replace_changes_only_members_already_there)
{
    cJSON* info = pipe_server_get_info_json_ptr(CH);
    cJSON_AddNumberToObject(info, "width", 1);
    cJSON_AddNumberToObject(info, "height", 2);
    const int before = cJSON_GetArraySize(info);

    ASSERT_EQ(UpdatePipeJson(CH, IMAGE_FORMAT_NV12, 1280, 720, 30, true), 0);
    EXPECT_EQ(cJSON_GetArraySize(pipe_server_get_info_json_ptr(CH)), before);
    cJSON* t = nullptr;
    EXPECT_EQ(published("width", &t), (std::vector<std::string>{"width", "height"}));
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "width")->valueint, 1280);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "height")->valueint, 720);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "framerate"), nullptr);
    cJSON_Delete(t);

    // After an appending call, replace updates that set in place.
    ASSERT_EQ(UpdatePipeJson(CH, IMAGE_FORMAT_H264, 1, 1, 1, false), 0);
    ASSERT_EQ(UpdatePipeJson(CH, IMAGE_FORMAT_RGB, 320, 240, 15, true), 0);
    EXPECT_EQ(published("string_format", &t), FIVE);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(t, "string_format")->valuestring, "RGB");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "framerate")->valueint, 15);
    cJSON_Delete(t);
}

TEST(PipeInfoClosed, channel_without_info_is_reported)
{
    ASSERT_EQ(pipe_server_get_info_json_ptr(9), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(UpdatePipeJson(9, IMAGE_FORMAT_H264, 1, 1, 1, false), -1);
    EXPECT_EQ(UpdatePipeJson(9, IMAGE_FORMAT_H264, 1, 1, 1, true), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: got NULL pointer in UpdatePipeJson\n"
                                                      "ERROR: got NULL pointer in UpdatePipeJson\n");
}

}  // namespace
