// Regression tests of faults that fuzzing and the fault tests found.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "brisk_json.h"
#include "brisk_pipe.h"

namespace {

std::string make_dir()
{
    char tmpl[] = "/tmp/tarn-reliability.XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    return tmpl;
}

int count_entries(const std::string& dir)
{
    int n = 0;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' || (e->d_name[1] != '\0' && e->d_name[1] != '.')) n++;
    closedir(d);
    return n;
}

std::string slurp(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(PipeLocation, an_empty_last_component_is_refused)
{
    char out[64];
    for (const char* in : {"/tmp/x//", "/runG/bpaun//", "/a//"}) {
        EXPECT_LT(pipe_expand_location_string(in, out), 0) << in;
        EXPECT_STREQ(out, "") << in;
    }
    ASSERT_EQ(pipe_expand_location_string("/tmp/x/", out), 0);
    EXPECT_STREQ(out, "/tmp/x/");
}

TEST(PipeChannels, a_process_exiting_with_open_channels_exits_cleanly)
{
    const std::string dir = make_dir();
    const std::string loc = dir + "/p/";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (pipe_server_create(0, loc.c_str(), 0) != 0) _exit(10);
        if (pipe_client_open(0, loc.c_str(), "t", CLIENT_FLAG_EN_SIMPLE_HELPER, 1024) != 0) _exit(11);
        exit(0);  // static destructors run with both channels still open
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(JsonCreate, the_empty_file_appears_whole_and_leaves_no_temporary_file)
{
    const std::string dir = make_dir();
    const std::string path = dir + "/settings.conf";
    EXPECT_EQ(json_make_empty_file_if_missing(path.c_str()), 1);
    EXPECT_EQ(slurp(path), "{}\n");
    EXPECT_EQ(count_entries(dir), 1);

    // An existing file is kept as it is.
    std::ofstream(path) << "{\"a\": 1}\n";
    EXPECT_EQ(json_make_empty_file_if_missing(path.c_str()), 0);
    EXPECT_EQ(slurp(path), "{\"a\": 1}\n");
    EXPECT_EQ(count_entries(dir), 1);

    // A folder that is not there: failure, and nothing is made.
    EXPECT_EQ(json_make_empty_file_if_missing((dir + "/missing/x.conf").c_str()), -1);
    EXPECT_EQ(count_entries(dir), 1);
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
