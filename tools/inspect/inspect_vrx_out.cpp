// Standard output of tarn-inspect-vrx.
//
// Both threads write the terminal through here, with write(2) on descriptor
// 1 and never through stdio: a stdio stream keeps a lock and a buffer, so a
// client thread stuck in a write to a pager that stopped reading would hold
// the main thread too, and a stop request could never finish. Here a writer
// waits for the descriptor to take bytes in slices of SLICE_MS; while the
// inspector runs it waits as long as it takes (output is never dropped while
// running), and once main_running is 0 it gives up after the slice in which
// nothing could be written. Writes are cut before a row start and are never
// longer than PIPE_BUF, so a pipe takes each piece whole: a give-up falls
// between rows, never inside one.
//
// The descriptor is left in blocking mode: it is usually the terminal the
// user's shell shares, and O_NONBLOCK would change it for the shell too.
#include <limits.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "brisk_pipe.h"
#include "inspect_vrx.h"

namespace {

constexpr int SLICE_MS = 50;

// Serialises the two threads' writes so a message never lands inside a row.
// Never destroyed: the main thread may leave through _exit while the client
// thread still holds it.
std::timed_mutex& out_mutex = *new std::timed_mutex;

// Length of the next piece: all of it if it fits in PIPE_BUF, else up to the
// last row start ('\r' or '\n') inside the first PIPE_BUF bytes.
size_t piece_length(const char* p, size_t n)
{
    if (n <= PIPE_BUF) return n;
    for (size_t i = PIPE_BUF; i > 0; i--) {
        if (p[i] == '\r' || p[i] == '\n') return i;
    }
    return PIPE_BUF;
}

// Waits until descriptor 1 takes bytes. Gives up (false) when a slice
// passes without it while stopping, or when budget_ms (if >= 0) is spent.
bool wait_writable(int budget_ms)
{
    for (int spent = 0;;) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        int slice = budget_ms >= 0 && budget_ms - spent < SLICE_MS ? budget_ms - spent : SLICE_MS;
        if (slice < 0) slice = 0;
        int r = poll(&p, 1, slice);
        if (r > 0) return (p.revents & POLLNVAL) == 0;
        if (r < 0 && errno != EINTR) return false;
        spent += slice;
        if (main_running == 0 || (budget_ms >= 0 && spent >= budget_ms)) return false;
    }
}

// budget_ms < 0: wait while running, give up once stopping.
void write_pieces(const char* p, size_t n, int budget_ms)
{
    while (n > 0) {
        if (!wait_writable(budget_ms)) return;
        const size_t len = piece_length(p, n);
        ssize_t w = write(STDOUT_FILENO, p, len);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;  // errors in writing to the terminal are ignored
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// What a signal handler could not write and left for the next term_write.
// Lock-free atomics only, so a handler may set them.
std::atomic<const char*> later_text{nullptr};
std::atomic<size_t> later_size{0};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free,
              "a signal handler sets these");

}  // namespace

void term_write(const char* p, size_t n)
{
    std::lock_guard<std::timed_mutex> lk(out_mutex);
    if (const char* rest = later_text.exchange(nullptr)) write_pieces(rest, later_size.load(), -1);
    write_pieces(p, n, -1);
}

void term_write(const std::string& text)
{
    term_write(text.data(), text.size());
}

bool term_write_within(const char* text, size_t n, int budget_ms)
{
    const auto start = std::chrono::steady_clock::now();
    if (!out_mutex.try_lock_for(std::chrono::milliseconds(budget_ms))) return false;
    const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    const int left = budget_ms - static_cast<int>(used);
    write_pieces(text, n, left > 0 ? left : 0);
    out_mutex.unlock();
    return true;
}

size_t term_write_from_signal(const char* text, size_t n, int budget_ms, bool or_later)
{
    // Only clock_gettime, poll and write: all async-signal-safe. Rows from
    // the client thread may be filling the terminal just then (a backlog
    // after a stop), so a busy terminal is waited for, not skipped.
    later_text.store(nullptr);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t done = 0;
    while (done < n) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long spent = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (spent >= budget_ms) break;
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        const int r = poll(&p, 1, static_cast<int>(budget_ms - spent));
        if (r < 0 && errno == EINTR) continue;
        if (r != 1 || (p.revents & POLLOUT) == 0) break;
        const ssize_t w = write(STDOUT_FILENO, text + done, n - done);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (done < n && or_later) {
        later_size.store(n - done);
        later_text.store(text + done);
    }
    return done;
}
