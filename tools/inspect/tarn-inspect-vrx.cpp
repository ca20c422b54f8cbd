// tarn-inspect-vrx: subscribes to the receiver's latency pipe and prints one
// table row per frame. All the work happens in the pipe callbacks; main only
// sets up, waits for a termination signal and tears down.
//
// Stopping never waits on the outside world for long. Every step after the
// stop request has a bounded wait: the closing line and the line-wrap restore
// are written only if standard output takes them in time (inspect_vrx_out.cpp),
// and the pipe is closed on a helper thread that main waits for while the
// terminal takes output, and for at most CLOSE_WAIT_MS when it does not. If
// the client thread is stuck (standard error blocked, say) main leaves
// through _exit once no CSV write is under way, so the log keeps whole
// lines. The budgets count time in which the terminal took nothing, never
// time in which the process was not run: on a busy machine the steps still
// happen; with a terminal that takes nothing the inspector is gone well
// within a second.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "brisk_pipe.h"
#include "inspect_vrx.h"

static const auto& VRX_LATENCY_PIPE_NAME = LATENCY_PIPE_NAME;  // char[32]
static char VRX_LATENCY_PIPE_LOC[64];
static char* pipe_path = VRX_LATENCY_PIPE_LOC;

static void _print_usage()
{
    puts("\ntypical usage\n/# tarn-inspect-vrx\n\nThis will print out vrx latency data from Brisk "
         "Pipe Architecture.\nBy default this opens the pipe \"vrx_latency\"/\nbut this can be "
         "changed with the --pipe option.\n\nRange in meters will always print. Additional "
         "options are:\n-h, --help                  print this help message\n-n, --newline       "
         "        print each sample on a new line\n-p, --pipe {pipe_name}      optionally specify "
         "the pipe name\n-s, --save                  save every sample to "
         "/data/tarn-inspect-vrx.csv\n");
}

// 0: run; -1: help printed or a bad option.
static int _parse_opts(int argc, char* argv[])
{
    static struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"newline", no_argument, nullptr, 'n'},
        {"save", no_argument, nullptr, 's'},
        {"pipe", required_argument, nullptr, 'p'},
        {nullptr, 0, nullptr, 0},
    };
    while (true) {
        int option_index = 0;
        int c = getopt_long(argc, argv, "hnsp:", long_options, &option_index);
        if (c == -1) break;
        switch (c) {
        case 0: break;
        case 'n': en_newline = 1; break;
        case 's': save_to_file = true; break;
        case 'p':
            if (pipe_expand_location_string(optarg, pipe_path) < 0) {
                fprintf(stderr, "Invalid pipe name: %s\n", optarg);
                return -1;
            }
            break;
        case 'h':
        default: _print_usage(); return -1;
        }
    }
    return 0;
}

static const char WRAP_OFF[] = "\e[?7l";
static const char WRAP_ON[] = "\e[?7h";

// How long the Ctrl-Z handler waits for a busy terminal to take a sequence.
static const int SIGNAL_WRITE_WAIT_MS = 100;

// Ctrl-Z: the shell gets its line wrap back before the process stops, and
// loses it again when the process is continued (fg or bg). On continuing,
// the client thread may fill the terminal with the rows that came while
// stopped; if the terminal takes no bytes in time, the next write of rows
// sends the switch first, so the rows are never left wrapping.
static void _stop_cb(int)
{
    const int saved_errno = errno;
    term_write_from_signal(WRAP_ON, sizeof WRAP_ON - 1, SIGNAL_WRITE_WAIT_MS, false);
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTSTP, &sa, nullptr);
    // The signal is blocked while its handler runs: send it again and let
    // it through, now with the default action, which stops the process.
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    raise(SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);
    // Continued.
    sa.sa_handler = _stop_cb;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &sa, nullptr);
    term_write_from_signal(WRAP_OFF, sizeof WRAP_OFF - 1, SIGNAL_WRITE_WAIT_MS, true);
    errno = saved_errno;
}

static void _set_stop_handler(bool on)
{
    struct sigaction sa {};
    sa.sa_handler = on ? _stop_cb : SIG_DFL;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTSTP, &sa, nullptr);
}

// Budgets of the shut-down steps, in milliseconds of a terminal that takes
// nothing.
static const int CLOSING_LINE_WAIT_MS = 150;
static const int CLOSE_WAIT_MS = 400;
static const int WRAP_ON_WAIT_MS = 100;
static const int CSV_WAIT_MS = 200;

// pipe_client_close_all runs on a helper thread, started beforehand so the
// stop loses no time starting it (a row arriving meanwhile would land after
// the closing line); main waits for it at most a given time. The state is
// never destroyed (it stays reachable): the helper may still be running
// when the process leaves.
struct closer_state {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    bool done = false;
};
static closer_state* const closer = new closer_state;

static void _start_closer()
{
    std::thread([] {
        {
            std::unique_lock<std::mutex> lk(closer->m);
            closer->cv.wait(lk, [] { return closer->go; });
        }
        pipe_client_close_all();
        std::lock_guard<std::mutex> lk(closer->m);
        closer->done = true;
        closer->cv.notify_all();
    }).detach();
}

// True when the pipe was closed. The client thread ends unless it is stuck
// writing to a terminal that takes nothing, so the wait counts only the
// slices after which standard output or standard error is full, up to
// wait_ms; while both take bytes it waits on, CLOSE_SLICES_MAX slices at
// most, so a machine too busy to run the threads does not cut it short.
static bool _close_pipe_within(int wait_ms)
{
    static const int CLOSE_SLICE_MS = 50;
    static const int CLOSE_SLICES_MAX = 200;
    std::unique_lock<std::mutex> lk(closer->m);
    closer->go = true;
    closer->cv.notify_all();
    int stalled_ms = 0;
    for (int slices = 0; slices < CLOSE_SLICES_MAX && stalled_ms < wait_ms; slices++) {
        if (closer->cv.wait_for(lk, std::chrono::milliseconds(CLOSE_SLICE_MS), [] { return closer->done; }))
            return true;
        pollfd out[2] = {{STDOUT_FILENO, POLLOUT, 0}, {STDERR_FILENO, POLLOUT, 0}};
        if (poll(out, 2, 0) < 2) stalled_ms += CLOSE_SLICE_MS;
    }
    return closer->done;
}

int main(int argc, char* argv[])
{
    strncpy(VRX_LATENCY_PIPE_LOC, PIPE_DIR, sizeof VRX_LATENCY_PIPE_LOC);
    strncat(VRX_LATENCY_PIPE_LOC, VRX_LATENCY_PIPE_NAME,
            sizeof VRX_LATENCY_PIPE_LOC - strlen(VRX_LATENCY_PIPE_LOC) - 1);

    if (_parse_opts(argc, argv) < 0) return -1;

    enable_signal_handler();
    main_running = 1;

    // Line wrap off: long rows are cut at the terminal's edge.
    term_write(WRAP_OFF, sizeof WRAP_OFF - 1);
    _set_stop_handler(true);

    pipe_client_set_simple_helper_cb(0, _helper_cb, nullptr);
    pipe_client_set_connect_cb(0, _connect_cb, nullptr);
    pipe_client_set_disconnect_cb(0, _disconnect_cb, nullptr);

    int ret = pipe_client_open(0, pipe_path, "inspect-vrx", CLIENT_FLAG_EN_SIMPLE_HELPER, 30000);
    if (ret < 0) {
        pipe_print_error(ret);
        _set_stop_handler(false);
        term_write(WRAP_ON, sizeof WRAP_ON - 1);
        return -1;
    }

    _start_closer();
    get_encoding_scheme();

    while (main_running) usleep(200000);

    // From here on line wrap stays on, even after a Ctrl-Z.
    _set_stop_handler(false);
    static const char closing_line[] = "\nclosing and exiting\n";
    term_write_within(closing_line, sizeof closing_line - 1, CLOSING_LINE_WAIT_MS);
    const bool closed = _close_pipe_within(CLOSE_WAIT_MS);
    term_write_within(WRAP_ON, sizeof WRAP_ON - 1, WRAP_ON_WAIT_MS);
    if (!closed) {
        csv_hold_for_exit(CSV_WAIT_MS);
        _exit(0);
    }
    return 0;
}
