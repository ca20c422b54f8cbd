// Whole writes and reads through signals, short writes and failing writes:
// the shared write loop, the file calls of tarn-common and the inspector's
// CSV log, with faults injected through the I/O fault hook.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "fd_io.h"
#include "latency_log.h"
#include "tarn_common.h"
#include "temp_folder.h"

namespace {

// What the hook does to each read or write it sees.
struct faults {
    tarn_io_op op = TARN_IO_WRITE;
    long calls = 0;         // calls of kind op seen
    long interrupted = 0;   // of them failed with EINTR
    size_t passed = 0;      // bytes let through (an upper bound for reads)
    size_t fail_after = 0;  // when non-zero, fail once this many bytes passed
    int fail_errno = EIO;
};

// Every third call is interrupted; the others take 1 to 7 bytes.
long choppy(tarn_io_op op, int, size_t size, void* context)
{
    auto* f = static_cast<faults*>(context);
    if (op != f->op) return 0;
    f->calls++;
    if (f->fail_after != 0 && f->passed >= f->fail_after) {
        errno = f->fail_errno;
        return -1;
    }
    if (f->calls % 3 == 0) {
        f->interrupted++;
        errno = EINTR;
        return -1;
    }
    size_t n = 1 + static_cast<size_t>(f->calls % 7);
    if (f->fail_after != 0 && f->passed + n > f->fail_after) n = f->fail_after - f->passed;
    if (n > size) n = size;
    f->passed += n;
    return static_cast<long>(n);
}

struct WriteAllFaults : TempFolderTest {
    faults f;
    void TearDown() override
    {
        tarn_set_io_fault(nullptr, nullptr);
        TempFolderTest::TearDown();
    }
    void inject(tarn_io_op op)
    {
        f.op = op;
        tarn_set_io_fault(choppy, &f);
    }
};

std::string random_text(size_t n)
{
    std::mt19937 rng(7);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_F(WriteAllFaults, files_come_out_whole_through_signals_and_short_transfers)
{
    const std::string data = random_text(20000);
    const std::string path = dir + "/f";

    inject(TARN_IO_WRITE);
    ASSERT_EQ(tarn_write_file(path, data), 0);
    EXPECT_GT(f.interrupted, 1000);  // the faults really were met
    tarn_set_io_fault(nullptr, nullptr);
    EXPECT_EQ(slurp(path), data);

    f = faults{};
    inject(TARN_IO_READ);
    std::string back;
    ASSERT_EQ(tarn_read_file(path, &back), 0);
    EXPECT_GT(f.interrupted, 1000);
    EXPECT_EQ(back, data);
}

TEST_F(WriteAllFaults, a_failing_write_says_how_far_it_got_and_why)
{
    const std::string data = random_text(5000);
    f.fail_after = 1234;
    f.fail_errno = EIO;
    inject(TARN_IO_WRITE);

    const int fd = open((dir + "/g").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(tarn_write_all(fd, data.data(), data.size()), 1234u);
    EXPECT_EQ(errno, EIO);
    close(fd);

    f.passed = 0;
    f.fail_errno = ENOSPC;
    errno = 0;
    EXPECT_EQ(tarn_write_file(dir + "/h", data), -2);
    EXPECT_EQ(errno, ENOSPC);  // close must not hide the write's reason
}

TEST(WriteAll, a_write_that_takes_nothing_is_no_space)
{
    // A zero-byte write would otherwise loop for ever.
    auto nothing = [](int, const void*, size_t) -> ssize_t { return 0; };
    errno = 0;
    EXPECT_EQ(tarn_io::write_all(1, "abc", 3, nothing), 0u);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(tarn_io::write_all(1, "", 0, nothing), 0u);
}

TEST_F(WriteAllFaults, the_csv_log_keeps_whole_lines_through_faults)
{
    const std::string path = dir + "/log.csv";
    csv_log_t log;
    log.path = path.c_str();
    const std::string first = "1,2.0\n2,3.0\n";
    const std::string second = "3,4.0\n4,5.0\n";
    const std::string third = "5,6.0\n";

    inject(TARN_IO_WRITE);
    ASSERT_TRUE(csv_append(log, first.data(), first.size()));
    const std::string kept = slurp(path);
    ASSERT_EQ(kept, latency_csv_header() + "\n" + first);
    EXPECT_GT(f.interrupted, 10);

    // The disk fills in the middle of the second line: the append fails
    // with one line on stderr; the whole first line stays, the torn one goes.
    f.fail_after = f.passed + 8;
    f.fail_errno = ENOSPC;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(csv_append(log, second.data(), second.size()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: cannot write " + path + ": " + strerror(ENOSPC) + "\n");
    EXPECT_EQ(slurp(path), kept + "3,4.0\n");

    // Full before the first line ends: nothing of the buffer stays.
    f.fail_after = f.passed + 3;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(csv_append(log, second.data(), second.size()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // said once until it works again
    EXPECT_EQ(slurp(path), kept + "3,4.0\n");

    f.fail_after = 0;
    ASSERT_TRUE(csv_append(log, third.data(), third.size()));
    EXPECT_EQ(slurp(path), kept + "3,4.0\n" + third);
}
