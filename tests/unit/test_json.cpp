#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brisk_json.h"

namespace {

class JsonFiles : public testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char templ[] = "/tmp/tarn-json-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void put(const std::string& name, const std::string& text) const
    {
        std::ofstream(path(name), std::ios::binary) << text;
    }
    std::string get(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int entries() const
    {
        int n = 0;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
        closedir(d);
        return n;
    }
    // Parses name and returns the integer member "a", or -1 when the read failed;
    // stderr is captured into err.
    int read_a(const std::string& name, std::string& err) const
    {
        testing::internal::CaptureStderr();
        cJSON* t = json_read_file(path(name).c_str());
        err = testing::internal::GetCapturedStderr();
        if (t == nullptr) return -1;
        cJSON* a = cJSON_GetObjectItemCaseSensitive(t, "a");
        int v = cJSON_IsNumber(a) ? a->valueint : -2;
        cJSON_Delete(t);
        return v;
    }
};

TEST_F(JsonFiles, LeadingCommentHeadersAreSkipped)
{
    std::string err;
    put("block", "/**\n * title\n */\n{\"a\": 1}\n");
    EXPECT_EQ(read_a("block", err), 1);
    EXPECT_EQ(err, "");
    put("lines", "// one\n   // two\n\n{\"a\": 2}");
    EXPECT_EQ(read_a("lines", err), 2);
    put("mixed", "  /* a */ // b\n\t/* c\n*/\n// d\n{\"a\": 3}\n\n");
    EXPECT_EQ(read_a("mixed", err), 3);
    // A comment whose last line has no line end leaves nothing to parse.
    put("only_comment", "// nothing\n// more");
    EXPECT_EQ(read_a("only_comment", err), -1);
    EXPECT_NE(err.find(path("only_comment")), std::string::npos);
}

TEST_F(JsonFiles, UnterminatedCommentIsRejectedWithItsPosition)
{
    std::string err;
    put("open", "\n\n  /* never closed\n{\"a\": 1}\n");
    EXPECT_EQ(read_a("open", err), -1);
    EXPECT_NE(err.find(path("open")), std::string::npos) << err;
    EXPECT_NE(err.find("line 3 column 3"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST_F(JsonFiles, TrailingGarbageIsRejected)
{
    std::string err;
    put("two", "{\"a\": 1}\n{\"a\": 2}\n");
    EXPECT_EQ(read_a("two", err), -1);
    EXPECT_NE(err.find("line 2 column 1"), std::string::npos) << err;
    put("comment_after", "{\"a\": 1} // note\n");
    EXPECT_EQ(read_a("comment_after", err), -1);
    EXPECT_NE(err.find("line 1 column 10"), std::string::npos) << err;
    put("nul", std::string("{\"a\": 1}\0junk", 13));
    EXPECT_EQ(read_a("nul", err), -1);
    put("ws_after", "{\"a\": 4}  \n\t\n");
    EXPECT_EQ(read_a("ws_after", err), 4);
}

TEST_F(JsonFiles, UnreadableAndInvalidFilesGiveNullWithOneLine)
{
    std::string err;
    EXPECT_EQ(read_a("missing", err), -1);
    EXPECT_NE(err.find(path("missing")), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    put("bad", "// hdr\n{\n  \"a\": 1,\n  \"b\": tru\n}\n");
    EXPECT_EQ(read_a("bad", err), -1);
    EXPECT_NE(err.find(path("bad")), std::string::npos) << err;
    EXPECT_NE(err.find("line 4"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    put("empty", "");
    EXPECT_EQ(read_a("empty", err), -1);
    EXPECT_EQ(read_a("", err), -1);  // the folder itself
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_read_file(nullptr), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST_F(JsonFiles, WriteWithHeaderReadsBackAndReplacesAtomically)
{
    put("cfg", "{\"a\": 1}");
    chmod(path("cfg").c_str(), 0640);
    cJSON* t = cJSON_CreateObject();
    cJSON_AddNumberToObject(t, "a", 7);
    ASSERT_EQ(json_write_to_file_with_header(path("cfg").c_str(), t, "/**\n * x\n */\n"), 0);
    std::string text = get("cfg");
    EXPECT_EQ(text.rfind("/**\n * x\n */\n{", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
    struct stat st;
    ASSERT_EQ(stat(path("cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string err;
    EXPECT_EQ(read_a("cfg", err), 7);

    ASSERT_EQ(json_write_to_file(path("cfg").c_str(), t), 0);
    EXPECT_EQ(get("cfg").rfind("{", 0), 0u);
    EXPECT_EQ(read_a("cfg", err), 7);
    EXPECT_EQ(entries(), 1);  // no temporary file left beside it

    // A new file comes out with the usual mode for the umask.
    mode_t mask = umask(022);
    ASSERT_EQ(json_write_to_file(path("new").c_str(), t), 0);
    umask(mask);
    ASSERT_EQ(stat(path("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    cJSON_Delete(t);
}

TEST_F(JsonFiles, WriteThroughSymlinkReplacesTheTarget)
{
    put("real", "{\"a\": 1}");
    ASSERT_EQ(symlink("real", path("link").c_str()), 0);
    cJSON* t = cJSON_CreateObject();
    cJSON_AddNumberToObject(t, "a", 5);
    ASSERT_EQ(json_write_to_file(path("link").c_str(), t), 0);
    cJSON_Delete(t);
    struct stat st;
    ASSERT_EQ(lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::string err;
    EXPECT_EQ(read_a("real", err), 5);
}

TEST_F(JsonFiles, FailedWriteLeavesOldFileAndNoTemporary)
{
    put("cfg", "{\"a\": 1}\n");
    cJSON* t = cJSON_CreateObject();
    cJSON_AddStringToObject(t, "big", std::string(4096, 'x').c_str());

    // A file size limit makes the write itself fail, even for root.
    struct rlimit old_lim;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_lim), 0);
    struct rlimit lim = old_lim;
    lim.rlim_cur = 100;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    testing::internal::CaptureStderr();
    int r = json_write_to_file_with_header(path("cfg").c_str(), t, "// h\n");
    std::string err = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old_lim);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(r, -1);
    EXPECT_NE(err.find(path("cfg")), std::string::npos) << err;
    EXPECT_EQ(get("cfg"), "{\"a\": 1}\n");
    EXPECT_EQ(entries(), 1);

    // Missing folder, a directory in the way, NULL arguments.
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_write_to_file(path("no/such/file").c_str(), t), -1);
    mkdir(path("d").c_str(), 0755);
    EXPECT_EQ(json_write_to_file(path("d").c_str(), t), -1);
    EXPECT_EQ(json_write_to_file(nullptr, t), -1);
    EXPECT_EQ(json_write_to_file_with_header(path("x").c_str(), nullptr, "h"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(entries(), 2);  // cfg and d only
    cJSON_Delete(t);
}

TEST(JsonFetch, CopiesMemberOrDefaultAndTruncates)
{
    cJSON* t = cJSON_Parse(R"({"encoding": "h265", "long": "abcdefghijklmnopqrstuvwxyz",
                               "num": 5, "Enc": "x"})");
    ASSERT_NE(t, nullptr);
    char buf[20];
    EXPECT_EQ(json_fetch_string_with_default(t, "encoding", buf, 20, "h264"), 0);
    EXPECT_STREQ(buf, "h265");
    EXPECT_EQ(json_fetch_string_with_default(t, "missing", buf, 20, "h264"), 1);
    EXPECT_STREQ(buf, "h264");
    EXPECT_EQ(json_fetch_string_with_default(t, "num", buf, 20, "dflt"), 1);
    EXPECT_STREQ(buf, "dflt");
    EXPECT_EQ(json_fetch_string_with_default(t, "enc", buf, 20, "dflt"), 1);  // case counts
    EXPECT_STREQ(buf, "dflt");

    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(json_fetch_string_with_default(t, "long", buf, 20, ""), 0);
    EXPECT_EQ(strlen(buf), 19u);
    EXPECT_STREQ(buf, "abcdefghijklmnopqrs");
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(json_fetch_string_with_default(t, "missing", buf, 20,
                                             "0123456789012345678901234"), 1);
    EXPECT_STREQ(buf, "0123456789012345678");

    EXPECT_EQ(json_fetch_string_with_default(nullptr, "encoding", buf, 20, "h264"), 1);
    EXPECT_STREQ(buf, "h264");
    EXPECT_EQ(json_fetch_string_with_default(t, "missing", buf, 20, nullptr), 1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(json_fetch_string_with_default(t, "encoding", buf, 1, "h264"), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(json_fetch_string_with_default(t, "encoding", buf, 0, "h264"), -1);
    EXPECT_EQ(json_fetch_string_with_default(t, "encoding", nullptr, 20, "h264"), -1);
    cJSON_Delete(t);
}

TEST_F(JsonFiles, MakeEmptyFileIfMissing)
{
    EXPECT_EQ(json_make_empty_file_if_missing(path("cfg").c_str()), 1);
    EXPECT_EQ(get("cfg"), "{}\n");
    cJSON* t = json_read_file(path("cfg").c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(cJSON_IsObject(t));
    EXPECT_EQ(cJSON_GetArraySize(t), 0);
    cJSON_Delete(t);

    put("cfg", "not json");
    EXPECT_EQ(json_make_empty_file_if_missing(path("cfg").c_str()), 0);
    EXPECT_EQ(get("cfg"), "not json");  // an existing file is never touched

    testing::internal::CaptureStderr();
    EXPECT_EQ(json_make_empty_file_if_missing(path("no/such/cfg").c_str()), -1);
    EXPECT_EQ(json_make_empty_file_if_missing(nullptr), -1);
    EXPECT_EQ(json_make_empty_file_if_missing(""), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
