// The one open of every output file: links of other users, their files,
// hard links, FIFOs and devices, as a hostile local user would plant them.
// The cases that need another user's files make them with chown, so they
// run as root (as CI does) and are skipped otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "out_file.h"
#include "temp_folder.h"

namespace {

using tarn_io::OUT_APPEND;
using tarn_io::OUT_CREATE;
using tarn_io::OUT_NEW_ONLY;
using tarn_io::OUT_STREAM_OK;

constexpr uid_t STRANGER = 65534;

class OutFile : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        // Anybody may add to it, as to /tmp.
        ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    }
    // A symbolic link at name made by user uid.
    void link_of(uid_t uid, const std::string& target, const std::string& name) const
    {
        ASSERT_EQ(symlink(target.c_str(), path(name).c_str()), 0);
        ASSERT_EQ(lchown(path(name).c_str(), uid, uid), 0);
    }
    // Opens name (a path under dir unless it starts with '/'), writes text
    // and closes; false with why when refused.
    bool write_to(const std::string& name, unsigned flags, const std::string& text, std::string& why) const
    {
        const std::string p = name[0] == '/' ? name : path(name);
        const int fd = tarn_io::open_output(p.c_str(), flags, 0644, why);
        if (fd < 0) return false;
        const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        return ok;
    }
    static bool root() { return geteuid() == 0; }
};

TEST_F(OutFile, a_link_is_followed_only_when_root_or_we_made_it)
{
    if (!root()) GTEST_SKIP() << "needs root to make another user's links";
    put("victim", "root's own\n");
    std::string why;

    link_of(STRANGER, path("victim"), "planted");
    EXPECT_FALSE(write_to("planted", OUT_APPEND | OUT_CREATE, "x\n", why));
    EXPECT_EQ(why, "is a link of user 65534, not followed");

    link_of(STRANGER, path("made-through-link"), "dangling");
    EXPECT_FALSE(write_to("dangling", OUT_APPEND | OUT_CREATE, "x\n", why));
    EXPECT_EQ(why, "is a link of user 65534, not followed");
    EXPECT_NE(access(path("made-through-link").c_str(), F_OK), 0);

    // A folder of the path that is another user's link.
    ASSERT_EQ(mkdir(path("elsewhere").c_str(), 0755), 0);
    link_of(STRANGER, path("elsewhere"), "sub");
    EXPECT_FALSE(write_to("sub/plot.svg", OUT_CREATE, "x\n", why));
    EXPECT_EQ(why, "is a link of user 65534, not followed");
    EXPECT_NE(access(path("elsewhere/plot.svg").c_str(), F_OK), 0);

    // Our own link, relative, through a chain of ours, and a folder link of
    // ours: followed. A link of ours to a stranger's link: not.
    link_of(0, "victim", "ours");
    link_of(0, "ours", "ours-again");
    link_of(0, "elsewhere", "our-folder");
    EXPECT_TRUE(write_to("ours-again", OUT_APPEND | OUT_CREATE, "ours\n", why)) << why;
    EXPECT_TRUE(write_to("our-folder/plot.svg", OUT_CREATE, "plot\n", why)) << why;
    EXPECT_EQ(get("elsewhere/plot.svg"), "plot\n");
    link_of(0, "planted", "ours-to-planted");
    EXPECT_FALSE(write_to("ours-to-planted", OUT_APPEND, "x\n", why));
    EXPECT_EQ(why, "is a link of user 65534, not followed");
    EXPECT_EQ(get("victim"), "root's own\nours\n");

    link_of(0, "loop-b", "loop-a");
    link_of(0, "loop-a", "loop-b");
    EXPECT_FALSE(write_to("loop-a", OUT_CREATE, "x\n", why));
    EXPECT_EQ(why, strerror(ELOOP));
}

TEST_F(OutFile, only_our_own_regular_file_with_one_name_is_written)
{
    if (!root()) GTEST_SKIP() << "needs root to make another user's files";
    std::string why;
    put("theirs", "theirs\n");
    ASSERT_EQ(chown(path("theirs").c_str(), STRANGER, STRANGER), 0);
    EXPECT_FALSE(write_to("theirs", OUT_APPEND | OUT_CREATE, "x\n", why));
    EXPECT_EQ(why, "belongs to user 65534, not this user");
    EXPECT_FALSE(write_to("theirs", OUT_CREATE, "x\n", why));
    EXPECT_EQ(get("theirs"), "theirs\n");  // not emptied either

    put("mine", "kept\n");
    ASSERT_EQ(link(path("mine").c_str(), path("second-name").c_str()), 0);
    EXPECT_FALSE(write_to("second-name", OUT_CREATE, "x\n", why));
    EXPECT_EQ(why, "has 2 names (hard links), not written");
    EXPECT_EQ(get("mine"), "kept\n");
    ASSERT_EQ(unlink(path("second-name").c_str()), 0);

    // Ours alone: emptied first unless appending.
    EXPECT_TRUE(write_to("mine", OUT_CREATE, "new\n", why)) << why;
    EXPECT_EQ(get("mine"), "new\n");
    EXPECT_TRUE(write_to("mine", OUT_APPEND, "more\n", why)) << why;
    EXPECT_EQ(get("mine"), "new\nmore\n");

    // Only new: an existing name fails, whoever owns it.
    EXPECT_FALSE(write_to("mine", OUT_NEW_ONLY, "x\n", why));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(write_to("fresh", OUT_NEW_ONLY, "fresh\n", why)) << why;
    struct stat st;
    ASSERT_EQ(stat(path("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);

    // Missing without OUT_CREATE; folders.
    EXPECT_FALSE(write_to("absent", OUT_APPEND, "x\n", why));
    EXPECT_EQ(why, strerror(ENOENT));
    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
    for (const char* name : {"folder", "folder/", "folder/.", "/"}) {
        EXPECT_FALSE(write_to(name, OUT_CREATE, "x\n", why)) << name;
        EXPECT_EQ(why, "is a folder") << name;
    }
}

TEST_F(OutFile, a_fifo_or_device_is_taken_only_where_the_caller_allows_it)
{
    std::string why;
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(write_to("fifo", OUT_APPEND, "x\n", why));
    EXPECT_EQ(why, "not a regular file");
    // No reader: refused at once instead of blocking.
    EXPECT_FALSE(write_to("fifo", OUT_APPEND | OUT_STREAM_OK, "x\n", why));
    EXPECT_EQ(why, "no process reads the FIFO");

    const int reader = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int fd = tarn_io::open_output(path("fifo").c_str(), OUT_APPEND | OUT_STREAM_OK, 0644, why);
    ASSERT_GE(fd, 0) << why;
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // the writer polls; it never blocks
    EXPECT_EQ(write(fd, "row\n", 4), 4);
    close(fd);
    char buf[16] = {};
    EXPECT_EQ(read(reader, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "row\n");

    EXPECT_TRUE(write_to("/dev/null", OUT_APPEND | OUT_STREAM_OK, "x\n", why)) << why;
    EXPECT_FALSE(write_to("/dev/null", OUT_APPEND, "x\n", why));
    EXPECT_EQ(why, "not a regular file");

    if (root()) {
        // A stranger's FIFO, even with a reader: its lines would go to them.
        ASSERT_EQ(chown(path("fifo").c_str(), STRANGER, STRANGER), 0);
        EXPECT_FALSE(write_to("fifo", OUT_APPEND | OUT_STREAM_OK, "x\n", why));
        EXPECT_EQ(why, "belongs to user 65534, not root or this user");
    }
    close(reader);
}

}  // namespace
