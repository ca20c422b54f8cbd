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
// between rows, never inside one. The shut-down's writes have budgets that
// count only time in which poll saw the terminal take nothing: neither rows
// still flowing to a slow terminal nor a machine too busy to run the
// inspector use them up.
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
// Slices a shut-down write waits at most for a writer of rows that holds
// the output although the terminal takes bytes (never expected: such a
// writer lets go after its piece).
constexpr int LOCK_TRIES_MAX = 100;

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

// Set while the stop's closing line waits for the output: a writer of rows
// lets go of it between two pieces and takes it back once the line is out,
// so the closing line comes before any row not yet written at the stop.
std::atomic<bool> closing_wanted{false};

// Waits until descriptor 1 takes bytes. budget_ms < 0: as long as the
// inspector runs, and once it stops, until a slice passes without it.
// budget_ms >= 0: until poll has seen the descriptor take nothing for that
// long in all; time in which the process did not run is not counted, as a
// poll that ends late still reports bytes taken meanwhile. *stalled_ms
// carries what is spent between calls.
bool wait_writable(int budget_ms, int* stalled_ms)
{
    for (;;) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        int slice = SLICE_MS;
        if (budget_ms >= 0 && budget_ms - *stalled_ms < slice) slice = budget_ms - *stalled_ms;
        if (slice < 0) slice = 0;
        const int r = poll(&p, 1, slice);
        if (r > 0) return (p.revents & POLLNVAL) == 0;
        if (r < 0 && errno != EINTR) return false;
        if (r == 0) *stalled_ms += slice;
        if (budget_ms < 0 ? main_running == 0 && r == 0 : *stalled_ms >= budget_ms) return false;
    }
}

// budget_ms < 0: the rows' writer, holding the output through lk; it
// waits while running, gives up once stopping, and lets the closing line
// pass between two pieces.
void write_pieces(const char* p, size_t n, int budget_ms, int* stalled_ms,
                  std::unique_lock<std::timed_mutex>* lk = nullptr)
{
    while (n > 0) {
        if (lk != nullptr && closing_wanted.load()) {
            lk->unlock();
            while (closing_wanted.load()) usleep(1000);
            lk->lock();
        }
        if (!wait_writable(budget_ms, stalled_ms)) return;
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
    std::unique_lock<std::timed_mutex> lk(out_mutex);
    int stalled_ms = 0;
    if (const char* rest = later_text.exchange(nullptr)) write_pieces(rest, later_size.load(), -1, &stalled_ms, &lk);
    write_pieces(p, n, -1, &stalled_ms, &lk);
}

void term_write(const std::string& text)
{
    term_write(text.data(), text.size());
}

bool term_write_within(const char* text, size_t n, int budget_ms)
{
    // A writer of rows lets go between two pieces; while it is inside one,
    // the terminal's progress is watched: waiting for it counts against the
    // budget only when the terminal takes nothing. A holder that never lets
    // go although the terminal takes bytes is given LOCK_TRIES_MAX tries.
    closing_wanted = true;
    int stalled_ms = 0;
    for (int tries = 0; !out_mutex.try_lock_for(std::chrono::milliseconds(SLICE_MS));) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, 0) == 0) stalled_ms += SLICE_MS;
        if (stalled_ms >= budget_ms || ++tries >= LOCK_TRIES_MAX) {
            closing_wanted = false;
            return false;
        }
    }
    write_pieces(text, n, budget_ms, &stalled_ms);
    closing_wanted = false;
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
