// The inspector's terminal writes from its Ctrl-Z handler, against a
// standard output that is a pipe someone else fills: a busy terminal is
// waited for, and what it did not take in time goes out first with the
// next ordinary write instead of being lost.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "brisk_pipe.h"
#include "inspect_vrx.h"

namespace {

const char WRAP_OFF[] = "\e[?7l";

// Standard output goes to a full pipe for the test's length.
class BusyTerminal : public testing::Test {
protected:
    int saved_out = -1, rd = -1, wr = -1;
    size_t filled = 0;

    void SetUp() override
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        rd = p[0];
        wr = p[1];
        // Fill it without blocking, then make it blocking again as a
        // terminal is.
        ASSERT_EQ(fcntl(wr, F_SETFL, O_NONBLOCK), 0);
        const std::string chunk(4096, 'r');
        for (ssize_t w; (w = write(wr, chunk.data(), chunk.size())) > 0;) filled += static_cast<size_t>(w);
        ASSERT_EQ(fcntl(wr, F_SETFL, 0), 0);
        ASSERT_GT(filled, 0u);
        fflush(stdout);
        saved_out = dup(STDOUT_FILENO);
        ASSERT_GE(saved_out, 0);
        ASSERT_EQ(dup2(wr, STDOUT_FILENO), STDOUT_FILENO);
        main_running = 1;
    }

    // What is left in the pipe once the reader took the filling, read with
    // standard output back.
    std::string rest()
    {
        dup2(saved_out, STDOUT_FILENO);
        close(wr);
        wr = -1;
        std::string all;
        char buf[65536];
        for (ssize_t n; (n = read(rd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
        return all;
    }

    void TearDown() override
    {
        if (saved_out >= 0) {
            dup2(saved_out, STDOUT_FILENO);
            close(saved_out);
        }
        if (wr >= 0) close(wr);
        if (rd >= 0) close(rd);
        main_running = 0;
    }

    // Reads what was filled, after a while, so the pipe takes bytes again.
    std::thread drain_after(int ms)
    {
        return std::thread([this, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            std::string buf(filled, '\0');
            for (size_t got = 0; got < filled;) {
                const ssize_t n = read(rd, &buf[got], filled - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
        });
    }
};

// The checks come after rest(): a failure message printed while standard
// output is the full pipe would wait for a reader forever.
TEST_F(BusyTerminal, a_full_terminal_is_waited_for_within_the_budget)
{
    std::thread reader = drain_after(50);
    const size_t took = term_write_from_signal(WRAP_OFF, 5, 5000, false);
    reader.join();
    EXPECT_EQ(rest(), WRAP_OFF);
    EXPECT_EQ(took, 5u);
}

TEST_F(BusyTerminal, what_the_terminal_did_not_take_goes_first_with_the_next_rows)
{
    const auto start = std::chrono::steady_clock::now();
    const size_t took = term_write_from_signal(WRAP_OFF, 5, 30, true);
    const auto waited = std::chrono::steady_clock::now() - start;
    std::thread reader = drain_after(20);
    term_write("|row 1|");
    term_write("|row 2|");
    reader.join();
    EXPECT_EQ(rest(), std::string(WRAP_OFF) + "|row 1||row 2|");
    EXPECT_EQ(took, 0u);
    EXPECT_GE(waited, std::chrono::milliseconds(30));
}

TEST_F(BusyTerminal, a_later_signal_write_drops_what_an_earlier_one_left)
{
    // Continued, then stopped again before any row: the shell must not get
    // the switch-off after its switch-on.
    const size_t off = term_write_from_signal(WRAP_OFF, 5, 0, true);
    const size_t on = term_write_from_signal("\e[?7h", 5, 0, false);
    std::thread reader = drain_after(20);
    term_write("|row|");
    reader.join();
    EXPECT_EQ(rest(), "|row|");
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(on, 0u);
}

}  // namespace
