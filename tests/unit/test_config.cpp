#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tarn_common.h"
#include "temp_folder.h"

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void check_header(const char* header, size_t length, long lines, const std::string& golden)
{
    std::string h = header;
    EXPECT_EQ(h.size(), length);
    EXPECT_EQ(std::count(h.begin(), h.end(), '\n'), lines);
    EXPECT_EQ(h.rfind("/**\n", 0), 0u);
    ASSERT_GE(h.size(), 4u);
    EXPECT_EQ(h.substr(h.size() - 4), " */\n");
    for (char c : h) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
    std::string want = slurp(std::string(TARN_SOURCE_DIR) + "/tests/golden/" + golden);
    ASSERT_FALSE(want.empty()) << golden;
    if (h != want) {
        // Point at the first differing line, to make a mismatch readable.
        std::istringstream a(h), b(want);
        std::string la, lb;
        int n = 1;
        while (std::getline(a, la) && std::getline(b, lb) && la == lb) n++;
        ADD_FAILURE() << golden << " line " << n << ":\n got  [" << la << "]\n want [" << lb << "]";
    }
}

TEST(ConfigHeaders, match_their_documented_text)
{
    check_header(VRX_CONFIG_HEADER, 6377, 113, "vrx_config_header.txt");
    check_header(VTX_CONFIG_HEADER, 4636, 84, "vtx_config_header.txt");
    // Every line is part of the comment, so the file parses as JSON after it.
    std::istringstream in(VRX_CONFIG_HEADER);
    for (std::string line; std::getline(in, line);)
        EXPECT_TRUE(line == "/**" || line == " */" || line.rfind(" *", 0) == 0) << line;
}

class ConfigFiles : public TempFolderTest {
protected:
    std::string out;

    // Runs f with stdout captured into out (stderr is captured and dropped).
    template <typename F>
    void quiet(F f)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        f();
        testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }
    cJSON* read(const std::string& name)
    {
        cJSON* t = nullptr;
        std::string saved = out;
        quiet([&] { t = open_json(path(name).c_str(), false); });
        out = saved;
        return t;
    }
};

TEST_F(ConfigFiles, open_json_creates_only_when_asked)
{
    cJSON* t = nullptr;
    quiet([&] { t = open_json(path("cfg").c_str(), false); });
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(out, "");
    EXPECT_NE(access(path("cfg").c_str(), F_OK), 0);

    quiet([&] { t = open_json(path("cfg").c_str(), true); });
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(t), 0);
    cJSON_Delete(t);
    EXPECT_EQ(out, "No configuration file found, created a new empty configuration file using "
                   "defaults: " +
                       path("cfg") + "\n");

    quiet([&] { t = open_json(path("cfg").c_str(), true); });
    ASSERT_NE(t, nullptr);
    cJSON_Delete(t);
    EXPECT_EQ(out, "");

    quiet([&] { t = open_json(path("nowhere/cfg").c_str(), true); });
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(out, "Error creating config file\n");
}

TEST_F(ConfigFiles, update_number_writes_switches_and_numbers)
{
    put("s.json", R"({"enable_fec": false, "perf_mode": true, "frequency": 5805, "card": "wlan0"})");
    quiet([&] {
        config_update_number(path("s.json").c_str(), "enable_fec", 5, true);
        config_update_number(path("s.json").c_str(), "perf_mode", 0, true);
        config_update_number(path("s.json").c_str(), "frequency", -1, false);
    });
    EXPECT_EQ(out, "");
    // A path that is not a service's is written as plain JSON.
    EXPECT_EQ(slurp(path("s.json")).rfind("{", 0), 0u);
    cJSON* t = read("s.json");
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(t, "enable_fec")));
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(t, "perf_mode")));
    cJSON* f = cJSON_GetObjectItemCaseSensitive(t, "frequency");
    ASSERT_TRUE(cJSON_IsNumber(f));
    EXPECT_EQ(f->valuedouble, -1.0);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(t, "card")->valuestring, "wlan0");
    EXPECT_EQ(cJSON_GetArraySize(t), 4);
    cJSON_Delete(t);
}

TEST_F(ConfigFiles, update_changes_only_settings_the_file_holds)
{
    // A missing file is created and written back as an empty object.
    quiet([&] { config_update_string(path("new.json").c_str(), "encoding", "h265"); });
    EXPECT_EQ(out, "No configuration file found, created a new empty configuration file using "
                   "defaults: " +
                       path("new.json") + "\n");
    cJSON* t = read("new.json");
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(cJSON_IsObject(t));
    EXPECT_EQ(cJSON_GetArraySize(t), 0);
    cJSON_Delete(t);

    put("s.json", R"({"a": 1, "encoding": "h264"})");
    quiet([&] {
        config_update_number(path("s.json").c_str(), "newkey", 7, false);
        config_update_number(path("s.json").c_str(), "flag", 1, true);
        config_update_string(path("s.json").c_str(), "other", "x");
        config_update_string(path("s.json").c_str(), "encoding", "h264 \"q\"");
    });
    EXPECT_EQ(out, "");
    t = read("s.json");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(t), 2);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "a")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(t, "newkey"), nullptr);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(t, "encoding")->valuestring, "h264 \"q\"");
    cJSON_Delete(t);
}

TEST_F(ConfigFiles, unusable_files_are_left_alone)
{
    const std::string bad = "{\"frequency\": 5805,,}";
    put("bad.json", bad);
    quiet([&] { config_update_number(path("bad.json").c_str(), "frequency", 1, false); });
    EXPECT_EQ(out, "Parent JSON is NULL\n");
    EXPECT_EQ(slurp(path("bad.json")), bad);

    quiet([&] { config_update_string(path("nowhere/x.json").c_str(), "card", "wlan1"); });
    EXPECT_EQ(out, "Error creating config file\nParent JSON is NULL\n");

    // A top level that is not an object holds no settings: it is written
    // back as it was.
    put("array.json", "[1, {\"card\": \"wlan0\"}]");
    put("string.json", "\"card\"");
    quiet([&] {
        config_update_string(path("array.json").c_str(), "card", "wlan1");
        config_update_number(path("string.json").c_str(), "card", 1, false);
    });
    EXPECT_EQ(out, "");
    cJSON* t = read("array.json");
    ASSERT_TRUE(cJSON_IsArray(t));
    EXPECT_EQ(cJSON_GetArraySize(t), 2);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(t, 1), "card")->valuestring, "wlan0");
    cJSON_Delete(t);
    t = read("string.json");
    ASSERT_TRUE(cJSON_IsString(t));
    EXPECT_STREQ(t->valuestring, "card");
    cJSON_Delete(t);

    quiet([&] {
        config_update_string(path("x.json").c_str(), nullptr, "v");
        config_update_number(nullptr, "k", 1, false);
    });
    EXPECT_NE(out, "");
    EXPECT_NE(access(path("x.json").c_str(), F_OK), 0);
}

TEST_F(ConfigFiles, failed_write_is_reported_and_old_file_kept)
{
    const std::string old = "{\"card\": \"wlan0\"}\n";
    put("s.json", old);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit lim = saved;
    lim.rlim_cur = 64;
    auto handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    quiet([&] { config_update_string(path("s.json").c_str(), "card", std::string(200, 'w')); });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(out, "Error writing config file " + path("s.json") + "\n");
    EXPECT_EQ(slurp(path("s.json")), old);
}

TEST_F(ConfigFiles, fifos_and_devices_are_neither_read_nor_replaced)
{
    // A FIFO would hold the read until someone writes it; a device is no
    // settings file. Both are refused at once and stay what they were.
    ASSERT_EQ(mkfifo(path("fifo.json").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/null", path("null.json").c_str()), 0);
    alarm(10);  // a hang ends the test program instead of the suite's time
    quiet([&] {
        config_update_number(path("fifo.json").c_str(), "frequency", 1, false);
        config_update_string(path("null.json").c_str(), "card", "wlan1");
    });
    alarm(0);
    EXPECT_EQ(out, "Parent JSON is NULL\nParent JSON is NULL\n");
    struct stat st;
    ASSERT_EQ(lstat(path("fifo.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_NE(access(path("fifo.json.lock").c_str(), F_OK), 0);
}

}  // namespace
