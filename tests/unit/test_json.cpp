#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "brisk_json.h"
#include "temp_folder.h"

namespace {

class JsonFiles : public TempFolderTest {
protected:
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

TEST_F(JsonFiles, leading_comment_headers_are_skipped)
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

TEST_F(JsonFiles, unterminated_comment_is_rejected_with_its_position)
{
    std::string err;
    put("open", "\n\n  /* never closed\n{\"a\": 1}\n");
    EXPECT_EQ(read_a("open", err), -1);
    EXPECT_NE(err.find(path("open")), std::string::npos) << err;
    EXPECT_NE(err.find("line 3 column 3"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST_F(JsonFiles, trailing_garbage_is_rejected)
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

TEST_F(JsonFiles, unreadable_and_invalid_files_give_null_with_one_line)
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

TEST_F(JsonFiles, write_with_header_reads_back_and_replaces_atomically)
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

TEST_F(JsonFiles, write_through_symlink_replaces_the_target)
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

TEST_F(JsonFiles, writes_never_follow_a_link_of_another_user_nor_replace_their_file)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make another user's links";
    // The folder as /tmp is: anybody may add to it.
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    put("victim", "{\"a\": 1}\n");
    cJSON* t = cJSON_CreateObject();
    cJSON_AddNumberToObject(t, "a", 5);
    ASSERT_EQ(symlink(path("victim").c_str(), path("planted").c_str()), 0);
    ASSERT_EQ(lchown(path("planted").c_str(), 65534, 65534), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_write_to_file(path("planted").c_str(), t), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "json: cannot write " + path("planted") + ": is a link of user 65534, not followed\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_make_empty_file_if_missing(path("planted").c_str()), -1);
    testing::internal::GetCapturedStderr();

    put("theirs", "{\"b\": 2}\n");
    ASSERT_EQ(chown(path("theirs").c_str(), 65534, 65534), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_write_to_file(path("theirs").c_str(), t), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "json: cannot write " + path("theirs") + ": belongs to another user, in a folder others may write\n");
    cJSON_Delete(t);
    EXPECT_EQ(get("victim"), "{\"a\": 1}\n");
    EXPECT_EQ(get("theirs"), "{\"b\": 2}\n");
    struct stat st;
    ASSERT_EQ(stat(path("theirs").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(entries(), 3);  // no temporary left behind
}

TEST_F(JsonFiles, failed_write_leaves_old_file_and_no_temporary)
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

TEST(JsonFetch, copies_member_or_default_and_truncates)
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
    EXPECT_EQ(json_fetch_string_with_default(t, "missing", buf, 20, "0123456789012345678901234"), 1);
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

TEST_F(JsonFiles, make_empty_file_if_missing)
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

// Runs fn in a child process with stderr going to err_path; the child is
// killed after 5 s (a hang) and, outside sanitizer builds, may not use more
// than 1 GiB (reading /dev/zero whole). fn's result, or -1 when the child
// did not end by itself.
int in_child(const std::function<int()>& fn, const std::string& err_path)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        alarm(5);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        struct rlimit lim = {1UL << 30, 1UL << 30};
        setrlimit(RLIMIT_AS, &lim);
#endif
        _exit(fn());
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string slurp(const std::string& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

TEST_F(JsonFiles, only_regular_files_up_to_the_cap_are_read)
{
    const std::string err = path("err");
    auto refused = [&](const std::string& file) {
        return in_child([&] { return json_read_file(file.c_str()) == nullptr ? 0 : 1; }, err);
    };
    // A FIFO nobody writes would hold the open forever; /dev/zero never ends.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    EXPECT_EQ(refused(path("fifo")), 0);
    EXPECT_EQ(slurp(err), "json: cannot read " + path("fifo") + ": not a regular file\n");
    EXPECT_EQ(refused("/dev/zero"), 0);
    EXPECT_EQ(slurp(err), "json: cannot read /dev/zero: not a regular file\n");
    ASSERT_EQ(symlink("/dev/zero", path("zero").c_str()), 0);
    EXPECT_EQ(refused(path("zero")), 0);
    EXPECT_EQ(slurp(err), "json: cannot read " + path("zero") + ": not a regular file\n");

    // The cap: JSON_MAX_FILE_SIZE bytes are read, one more is refused.
    std::string text = "{\"a\": 9}";
    text.resize(JSON_MAX_FILE_SIZE, ' ');
    put("at_cap", text);
    std::string e;
    EXPECT_EQ(read_a("at_cap", e), 9);
    EXPECT_EQ(e, "");
    put("over_cap", text + " ");
    EXPECT_EQ(refused(path("over_cap")), 0);
    EXPECT_EQ(slurp(err), "json: cannot read " + path("over_cap") + ": larger than 1 MiB\n");
    // Sparse: the size alone decides, nothing is read.
    ASSERT_EQ(truncate(path("over_cap").c_str(), 1L << 40), 0);
    EXPECT_EQ(refused(path("over_cap")), 0);
    EXPECT_EQ(slurp(err), "json: cannot read " + path("over_cap") + ": larger than 1 MiB\n");

    // The values: JSON_MAX_VALUES are parsed, one more is refused before
    // cJSON builds a node, whatever commas or brackets strings hold.
    auto array_of = [](size_t n) {
        std::string a = "{\"s\": \"[,{,\\\",\", \"a\": [";
        for (size_t i = 0; i + 4 < n; i++) a += "0,";
        return a + "0]}";
    };
    put("many", array_of(JSON_MAX_VALUES));
    EXPECT_EQ(refused(path("many")), 1);
    EXPECT_EQ(slurp(err), "");
    put("too_many", array_of(JSON_MAX_VALUES + 1));
    EXPECT_EQ(refused(path("too_many")), 0);
    EXPECT_EQ(slurp(err), "json: cannot read " + path("too_many") + ": more than 65536 values\n");
}

TEST_F(JsonFiles, writes_never_replace_a_fifo_or_a_device)
{
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    cJSON* t = cJSON_CreateObject();
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_write_to_file(path("fifo").c_str(), t), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "json: cannot write " + path("fifo") + ": not a regular file\n");
    struct stat st;
    ASSERT_EQ(lstat(path("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A link to a device: the device is what would be replaced.
    ASSERT_EQ(symlink("/dev/null", path("null").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_write_to_file(path("null").c_str(), t), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "json: cannot write " + path("null") + ": not a regular file\n");
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(entries(), 2);  // fifo and null: no temporary or lock file left
    cJSON_Delete(t);
}

TEST_F(JsonFiles, writers_lock_is_reentrant_exclusive_and_gone_afterwards)
{
    put("cfg", "{\"a\": 1}");
    const std::string lock = path("cfg") + ".lock";
    cJSON* t = cJSON_CreateObject();
    cJSON_AddNumberToObject(t, "a", 2);

    ASSERT_EQ(json_lock_file(path("cfg").c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u);  // nobody else may open (and hold) it
    // Another process cannot take it meanwhile.
    EXPECT_EQ(in_child(
                  [&] {
                      int fd = open(lock.c_str(), O_RDONLY);
                      return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1;
                  },
                  path("err")),
              0);
    // The holder itself writes without waiting for itself, and may nest.
    EXPECT_EQ(in_child([&] { return json_write_to_file(path("cfg").c_str(), t) == 0 ? 0 : 1; }, path("err")), 0);
    ASSERT_EQ(json_lock_file(path("cfg").c_str()), 0);
    json_unlock_file(path("cfg").c_str());
    EXPECT_TRUE(exists(lock));
    json_unlock_file(path("cfg").c_str());
    EXPECT_FALSE(exists(lock));
    std::string e;
    EXPECT_EQ(read_a("cfg", e), 2);

    // A holder killed while holding leaves the file but not the lock.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        if (json_lock_file(path("cfg").c_str()) == 0 && write(ready[1], "x", 1) == 1) pause();
        _exit(1);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_TRUE(exists(lock));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    cJSON_ReplaceItemInObject(t, "a", cJSON_CreateNumber(3));
    EXPECT_EQ(json_write_to_file(path("cfg").c_str(), t), 0);
    EXPECT_EQ(read_a("cfg", e), 3);
    EXPECT_FALSE(exists(lock));
    cJSON_Delete(t);
}

TEST_F(JsonFiles, writers_lock_refuses_a_link_or_a_fifo_in_its_place)
{
    put("cfg", "{\"a\": 1}");
    cJSON* t = cJSON_CreateObject();
    cJSON_AddNumberToObject(t, "a", 2);
    // Someone put a link where the lock file goes: it is not followed.
    ASSERT_EQ(symlink(path("target").c_str(), (path("cfg") + ".lock").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(json_write_to_file(path("cfg").c_str(), t), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "json: cannot lock " + path("cfg") + ".lock: Too many levels of symbolic links\n");
    EXPECT_FALSE(exists(path("target")));
    EXPECT_EQ(get("cfg"), "{\"a\": 1}");

    ASSERT_EQ(unlink((path("cfg") + ".lock").c_str()), 0);
    ASSERT_EQ(mkfifo((path("cfg") + ".lock").c_str(), 0600), 0);
    EXPECT_EQ(in_child([&] { return json_write_to_file(path("cfg").c_str(), t) == -1 ? 0 : 1; }, path("err")), 0);
    EXPECT_EQ(slurp(path("err")), "json: cannot lock " + path("cfg") + ".lock: not a regular file\n");
    EXPECT_EQ(get("cfg"), "{\"a\": 1}");
    cJSON_Delete(t);
}

}  // namespace
