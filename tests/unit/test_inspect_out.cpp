// The inspector's terminal writes from its Ctrl-Z handler, against a
// standard output that is a pipe someone else fills: a busy terminal is
// waited for, and what it did not take in time goes out first with the
// next ordinary write instead of being lost.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "brisk_pipe.h"
#include "inspect_vrx.h"
#include "slow_factor.h"

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

// Standard output goes to a pipe whose reader takes 1 KiB every 2 ms (about
// half a megabyte a second, a terminal far behind): a stop that comes while
// the client thread writes a long backlog of rows.
class SlowTerminal : public testing::Test {
protected:
    int saved_out = -1, rd = -1, wr = -1;
    std::string got;
    std::atomic<size_t> got_size{0};
    std::thread reader;

    void SetUp() override
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        rd = p[0];
        wr = p[1];
        fflush(stdout);
        saved_out = dup(STDOUT_FILENO);
        ASSERT_GE(saved_out, 0);
        ASSERT_EQ(dup2(wr, STDOUT_FILENO), STDOUT_FILENO);
        close(wr);
        wr = -1;
        main_running = 1;
        reader = std::thread([this] {
            char buf[1024];
            for (ssize_t n; (n = read(rd, buf, sizeof buf)) > 0;) {
                got.append(buf, static_cast<size_t>(n));
                got_size = got.size();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }

    // Everything the terminal was given, once standard output is back.
    std::string all()
    {
        fflush(stdout);
        dup2(saved_out, STDOUT_FILENO);
        reader.join();
        return got;
    }

    void TearDown() override
    {
        if (saved_out >= 0) {
            dup2(saved_out, STDOUT_FILENO);
            close(saved_out);
        }
        if (reader.joinable()) reader.join();
        if (rd >= 0) close(rd);
        main_running = 0;
    }
};

// The backlog takes the reader about a second; the closing line's budget is
// 150 ms of a terminal that takes nothing. It must not be spent on waiting
// behind rows the terminal keeps taking: the closing line comes at the next
// row start, the rest of the backlog and later rows after it, none lost.
TEST_F(SlowTerminal, AStopWhileRowsFlowShowsTheClosingLineBeforeTheRestOfTheRows)
{
    std::string rows;
    for (int i = 0; i < 3000; i++) rows += "\n|" + std::string(167, static_cast<char>('a' + i % 26)) + "|";
    std::thread client([&] { term_write(rows); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5 * slow_factor());
    while (got_size < 64 * 1024 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    main_running = 0;
    static const std::string closing_line = "\nclosing and exiting\n";
    const bool written = term_write_within(closing_line.data(), closing_line.size(), 150);
    client.join();
    static const std::string later_row = "\n|a row after the stop|";
    term_write(later_row);
    const std::string out = all();
    ASSERT_GE(out.size(), 64u * 1024) << "the rows did not start within " << 5 * slow_factor() << " s; "
                                      << slow_factor_words();
    EXPECT_TRUE(written);
    const size_t at = out.find(closing_line);
    ASSERT_NE(at, std::string::npos) << "no closing line";
    EXPECT_LT(at, rows.size()) << "the closing line waited for the whole backlog";
    EXPECT_EQ(at % 170, 0u) << "the closing line is inside a row";
    EXPECT_TRUE(out.substr(0, at) + out.substr(at + closing_line.size()) == rows + later_row)
        << "rows lost or out of order around the closing line";
}

}  // namespace
