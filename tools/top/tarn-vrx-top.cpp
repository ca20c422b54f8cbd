// tarn-vrx-top: the link's health at a glance. A second subscriber of the
// receiver's latency pipe (client "vrx-top") that shows counters, windowed
// latency percentiles, the receiver stages and a 60 s chart full-screen, or
// one plain line per second without a terminal.
//
// Threads: the pipe library's reader thread feeds the model; the main thread
// draws (or prints) and reads keys; a signal thread takes every signal that
// concerns the terminal (sigwait), so no handler ever runs inside ncurses.
#include <fcntl.h>
#include <getopt.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fmt/format.h>

#include "brisk_pipe.h"
#include "cli_usage.h"
#include "metrics_server.h"
#include "out_file.h"
#include "top_metrics.h"
#include "top_model.h"
#include "term.h"
#include "top_screen.h"

namespace {

const char CLIENT_NAME[] = "vrx-top";
constexpr int REDRAW_MS = 100;       // at most 10 redraws a second, for keys and resizes
constexpr int DATA_REDRAW_MS = 250;  // new records alone: 4 a second, a quarter of the cost
// On a stop signal the display thread is waited for until the terminal has
// taken nothing for RESTORE_WAIT_MS, in slices of RESTORE_SLICE_MS.
constexpr int RESTORE_WAIT_MS = 1000;
constexpr int RESTORE_SLICE_MS = 10;
constexpr int RESTORE_SLICES_MAX = 1000;

struct options_t {
    char location[64] = {};
    int window = 1;
    double warn_ms = 0, crit_ms = 0;
    std::string save;
    bool plain = false;
    std::string events;  // every event appended as a JSON line
    std::string record_dir;  // a log of each connection in this folder
    event_thresholds_t thresholds;
    bool metrics = false;  // serve GET /metrics on metrics_host:metrics_port
    std::string metrics_host;
    int metrics_port = METRICS_DEFAULT_PORT;
};

top_model_t* model;
std::atomic<uint64_t> buffers_seen{0};
std::atomic<bool> suspend_wanted{false}, resize_wanted{false}, redraw_wanted{false};
std::atomic<bool> finished{false};
std::atomic<bool> screen_up{false};
bool have_termios = false;
struct termios saved_termios;
int64_t start_ns;

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
int64_t now_ms()
{
    return (mono_ns() - start_ns) / 1000000;
}

void _top_data_cb(int, char* data, int bytes, void*)
{
    top_feed(*model, data, bytes, now_ms());
    buffers_seen.fetch_add(1, std::memory_order_relaxed);
}
void _top_connect_cb(int, void*)
{
    top_connected(*model, now_ms(), time(nullptr));
}
void _top_disconnect_cb(int, void*)
{
    top_disconnected(*model, now_ms(), time(nullptr));
    if (!screen_up) fprintf(stderr, "server disconnected\n");
}

void print_help()
{
    puts("usage: tarn-vrx-top [options]\n"
         "Shows the health of the video link live: frames, lost frames, frame rate, latency\n"
         "percentiles per frame type and receiver stage, and a 60 s chart, from the\n"
         "receiver's latency pipe. Without a terminal, or with --plain, prints one line a second.\n"
         "\n"
         "  -p, --pipe NAME      pipe name or location (default vrx_latency, in /run/bpa/)\n"
         "  -w, --window W       statistics window: 1, 10, 60 (seconds) or all (default 10)\n"
         "      --warn-ms MS     VRX latency from which p95, p99 and the chart turn yellow\n"
         "      --crit-ms MS     VRX latency from which they turn red\n"
         "  -s, --save FILE      append every frame to FILE as tarn-inspect-vrx -s does\n"
         "      --plain          one plain line a second even on a terminal, and a line when\n"
         "                       a link event starts or ends\n"
         "      --events FILE    append every link event to FILE, one JSON object a line\n"
         "      --record-dir DIR save each connection to a new log in DIR named by its UTC\n"
         "                       time of day (DIR/2026-12-10T09-41-05Z.csv), with its .times\n"
         "                       and .events files beside it; never writes over a file\n"
         "      --threshold NAME=VALUE\n"
         "                       set a threshold of the event detector (see the man page)\n"
         "      --metrics [ADDR:]PORT\n"
         "                       serve Prometheus metrics at http://ADDR:PORT/metrics\n"
         "                       (ADDR 127.0.0.1 unless given; the usual port is 9877)\n"
         "  -h, --help           print this help\n"
         "      --version        print the version\n"
         "\n"
         "Keys: q quit, space pause, r reset, w next window, h or ? help.\n"
         "NO_COLOR set (not empty) turns colour off.");
}

bool parse_ms(const char* text, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0 && v < 1e6)) return false;
    out = v;
    return true;
}

// 0 to run, 1 after help or the version, -1 on a bad command line.
int parse_options(int argc, char* argv[], options_t& o)
{
    enum { OPT_WARN = 1000, OPT_CRIT, OPT_PLAIN, OPT_EVENTS, OPT_THRESHOLD, OPT_METRICS, OPT_RECORD_DIR };
    static const struct option long_options[] = {
        {"pipe", required_argument, nullptr, 'p'},
        {"window", required_argument, nullptr, 'w'},
        {"warn-ms", required_argument, nullptr, OPT_WARN},
        {"crit-ms", required_argument, nullptr, OPT_CRIT},
        {"save", required_argument, nullptr, 's'},
        {"plain", no_argument, nullptr, OPT_PLAIN},
        {"events", required_argument, nullptr, OPT_EVENTS},
        {"threshold", required_argument, nullptr, OPT_THRESHOLD},
        {"record-dir", required_argument, nullptr, OPT_RECORD_DIR},
        {"metrics", required_argument, nullptr, OPT_METRICS},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, TARN_OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    if (pipe_expand_location_string(LATENCY_PIPE_NAME, o.location) < 0) return -1;
    static const char PROG[] = "tarn-vrx-top";
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":p:w:s:h", long_options, nullptr)) != -1) {
        switch (c) {
        case 'p':
            if (pipe_expand_location_string(optarg, o.location) < 0) {
                print_bad_value(PROG, "--pipe", "pipe name", optarg);
                return -1;
            }
            break;
        case 'w':
            if (strcmp(optarg, "1") == 0)
                o.window = 0;
            else if (strcmp(optarg, "10") == 0)
                o.window = 1;
            else if (strcmp(optarg, "60") == 0)
                o.window = 2;
            else if (strcmp(optarg, "all") == 0)
                o.window = 3;
            else {
                print_bad_value(PROG, "--window", "window", optarg, "1, 10, 60 or all");
                return -1;
            }
            break;
        case OPT_WARN:
        case OPT_CRIT:
            if (!parse_ms(optarg, c == OPT_WARN ? o.warn_ms : o.crit_ms)) {
                print_bad_value(PROG, option_name(long_options, c), "milliseconds", optarg, "above 0");
                return -1;
            }
            break;
        case 's':
            if (*optarg == '\0') {
                print_bad_value(PROG, "--save", "file name", optarg);
                return -1;
            }
            o.save = optarg;
            break;
        case OPT_PLAIN: o.plain = true; break;
        case OPT_EVENTS:
            if (*optarg == '\0') {
                print_bad_value(PROG, "--events", "file name", optarg);
                return -1;
            }
            o.events = optarg;
            break;
        case OPT_RECORD_DIR: {
            std::string dir = optarg;
            while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
            struct stat st;
            if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                print_bad_value(PROG, "--record-dir", "folder", optarg, "an existing folder");
                return -1;
            }
            o.record_dir = dir;
            break;
        }
        case OPT_THRESHOLD: {
            std::string why;
            if (set_event_threshold(o.thresholds, optarg, why)) break;
            fprintf(stderr, "%s: --threshold: %s\n", PROG, why.c_str());
            return -1;
        }
        case OPT_METRICS: {
            std::string why;
            if (!parse_metrics_address(optarg, o.metrics_host, o.metrics_port, why)) {
                fprintf(stderr, "%s: --metrics: %s\n", PROG, why.c_str());
                return -1;
            }
            o.metrics = true;
            break;
        }
        case 'h': print_help(); exit_after_info(PROG);
        case TARN_OPT_VERSION: print_version("tarn-vrx-top"); return 1;
        default: print_bad_option(PROG, c, optopt, argv[optind - 1]); return -1;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "tarn-vrx-top: unexpected argument '%s'\n", argv[optind]);
        return -1;
    }
    if (!o.record_dir.empty() && (!o.save.empty() || !o.events.empty())) {
        fprintf(stderr, "tarn-vrx-top: --record-dir names its own logs and events files: not with -s or --events\n");
        return -1;
    }
    if (o.warn_ms > 0 && o.crit_ms > 0 && o.crit_ms < o.warn_ms) {
        fprintf(stderr, "tarn-vrx-top: --crit-ms must not be below --warn-ms\n");
        return -1;
    }
    return 0;
}

// The terminal as it was, written without blocking: for the last resort
// when the display thread cannot finish (output blocked, pipe hung).
void restore_terminal_now()
{
    if (!screen_up) return;
    if (have_termios) tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
    const int fd = dup(STDOUT_FILENO);
    if (fd < 0) return;
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    static const char reset[] = "\033[0m\033[?25h\033[?1049l\r\n";
    ssize_t ignored = write(fd, reset, sizeof reset - 1);
    (void)ignored;
    if (flags >= 0) fcntl(fd, F_SETFL, flags);
    close(fd);
}

sigset_t handled_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT, SIGWINCH}) sigaddset(&set, s);
    return set;
}

void* signal_thread(void*)
{
    const sigset_t set = handled_signals();
    while (true) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        switch (sig) {
        case SIGINT:
        case SIGTERM:
        case SIGHUP: {
            main_running = 0;
            // The display thread ends within a redraw interval; if output
            // holds it longer, the terminal is put back from here. Only
            // time in which the terminal took nothing counts (poll sees it
            // full), never time in which the process was not run; while the
            // terminal takes bytes, RESTORE_SLICES_MAX slices at most.
            int stalled_ms = 0;
            for (int slices = 0; !finished && stalled_ms < RESTORE_WAIT_MS && slices < RESTORE_SLICES_MAX; slices++) {
                pollfd out{STDOUT_FILENO, POLLOUT, 0};
                const int r = poll(&out, 1, RESTORE_SLICE_MS);
                if (r == 0) {
                    stalled_ms += RESTORE_SLICE_MS;
                } else {
                    if (r > 0 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) stalled_ms = RESTORE_WAIT_MS;
                    usleep(RESTORE_SLICE_MS * 1000);
                }
            }
            if (!finished) {
                restore_terminal_now();
                _exit(0);
            }
            break;
        }
        case SIGTSTP:
            if (screen_up)
                suspend_wanted = true;
            else
                kill(getpid(), SIGSTOP);
            break;
        case SIGWINCH: resize_wanted = true; break;
        case SIGCONT: redraw_wanted = true; break;
        }
    }
    return nullptr;
}

// Tries to subscribe; the pipe library reconnects by itself afterwards.
bool try_open(const options_t& o, std::string& message)
{
    const int r = pipe_client_open(0, o.location, CLIENT_NAME, CLIENT_FLAG_EN_SIMPLE_HELPER, 30000);
    if (r >= 0) return true;
    if (r != PIPE_ERROR_SERVER_NOT_AVAILABLE) message = fmt::format("cannot subscribe to {} (error {})", o.location, r);
    return false;
}

std::string plain_line(top_model_t& m, int window, int64_t now, time_t wall)
{
    std::lock_guard<std::mutex> lock(m.mu);
    m.stats.expire(now * NS_PER_MS);
    const window_figures_t f = top_figures(m, window, now);
    const series_figures_t& v = f.series[SER_VRX];
    struct tm tm;
    localtime_r(&wall, &tm);
    const int64_t lost = window == TOP_WINDOWS - 1 ? static_cast<int64_t>(top_missing(m)) : f.missing;
    auto ms = [&](int32_t q) { return v.n ? fmt::format("{:.3f}", q / 1000.0) : std::string("-"); };
    std::string line = fmt::format("{:02}:{:02}:{:02} frames {} lost {} fps {} vrx p50 {} p95 {} p99 {} ms ({})",
                                   tm.tm_hour, tm.tm_min, tm.tm_sec, f.frames, lost, m.stats.span(0).frames(),
                                   ms(v.p50), ms(v.p95), ms(v.p99), window_label(f, window));
    if (m.bad_records > 0 || m.bad_buffers > 0)
        line += fmt::format(" failed {} records in {} buffers", m.bad_records, m.bad_buffers);
    if (m.viewer_dropped > 0) line += fmt::format(" viewer dropped {}", m.viewer_dropped);
    if (m.state == LINK_WAITING) line += " waiting";
    if (m.state == LINK_DISCONNECTED) line += " disconnected";
    return line;
}

// The events that started or ended since the last call: a plain line each
// ("14:03:12 event start loss warn: loss 15.0 %"), and with --events every
// ended event as a JSON line (at the end, the ongoing ones too). False when
// standard output failed.
bool emit_events(const options_t& o, bool plain, bool last)
{
    std::vector<event_change_t> changes;
    std::vector<link_event_t> ongoing;
    uint64_t dropped = 0;
    std::string events_path = o.events;
    {
        std::lock_guard<std::mutex> lock(model->mu);
        if (!o.record_dir.empty()) events_path = model->record_events;
        changes = model->events.take_changes();
        if (last) ongoing = model->events.open_events();
        dropped = model->events.dropped_changes();
    }
    static uint64_t told_dropped = 0;
    if (plain) {
        for (const event_change_t& c : changes) {
            const link_event_t& e = c.ev;
            printf("%s event %s %s %s: %s\n", clock_text_ms(c.started ? e.start_wall : e.end_wall).c_str(),
                   c.started ? "start" : "end", event_kind_name(e.kind), event_severity_name(e.severity),
                   event_brief(e).c_str());
        }
        if (dropped != told_dropped) printf("%llu event lines dropped\n", static_cast<unsigned long long>(dropped - told_dropped));
        if (fflush(stdout) != 0 || ferror(stdout)) return false;
    }
    told_dropped = dropped;
    if (!events_path.empty()) {
        std::string lines;
        for (const event_change_t& c : changes)
            if (!c.started) lines += event_json(c.ev, 0) + "\n";
        for (const link_event_t& e : ongoing) lines += event_json(e, 0) + "\n";
        static bool failing = false;
        if (!lines.empty()) {
            std::string why;
            const int fd = tarn_io::open_output(events_path.c_str(), tarn_io::OUT_APPEND | tarn_io::OUT_CREATE, 0644, why);
            const bool ok = fd >= 0 && tarn_write_all(fd, lines.data(), lines.size()) == lines.size();
            if (!ok && why.empty()) why = strerror(errno);
            if (fd >= 0) close(fd);
            if (!ok && !failing) fprintf(stderr, "tarn-vrx-top: cannot write %s: %s\n", events_path.c_str(), why.c_str());
            failing = !ok;
        }
    }
    return true;
}

int run_plain(const options_t& o)
{
    std::string message;
    bool open = try_open(o, message);
    if (!message.empty()) fprintf(stderr, "tarn-vrx-top: %s\n", message.c_str());
    int64_t next = 1000, next_try = 500, drops_second = -1;
    while (main_running) {
        // Wakes for the next line or the next subscription attempt, and at
        // least every 200 ms for the running flag.
        const int64_t due = std::min(next, open ? next : next_try);
        usleep(static_cast<useconds_t>(std::clamp<int64_t>(due - now_ms(), 1, 200) * 1000));
        const int64_t now = now_ms();
        if (!open && now >= next_try) {
            open = try_open(o, message);
            next_try = now + 500;
        }
        top_tick(*model, now);
        if (now / 1000 != drops_second) {
            drops_second = now / 1000;
            top_read_drops(*model, o.location, now);
        }
        if (!emit_events(o, true, false)) {
            const int err = errno;
            pipe_client_close_all();
            fprintf(stderr, "tarn-vrx-top: cannot write standard output: %s\n", strerror(err));
            return 1;
        }
        if (now < next) continue;
        next += 1000;
        if (next <= now) next = now / 1000 * 1000 + 1000;
        const std::string line = plain_line(*model, o.window, now, time(nullptr));
        printf("%s\n", line.c_str());
        // A reader that went away (EPIPE) or a full disk (ENOSPC) ends the
        // view: nobody sees its lines.
        if (fflush(stdout) != 0 || ferror(stdout)) {
            const int err = errno;
            pipe_client_close_all();
            fprintf(stderr, "tarn-vrx-top: cannot write standard output: %s\n", strerror(err));
            return 1;
        }
    }
    pipe_client_close_all();
    return 0;
}

// Lines the program and the pipe library write on stderr while the screen
// is up go through a pipe into the screen's message line.
struct stderr_capture_t {
    int saved = -1, read_fd = -1;
    std::string partial;
    bool start()
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved < 0 || dup2(p[1], STDERR_FILENO) < 0) {
            close(p[0]);
            close(p[1]);
            return false;
        }
        close(p[1]);
        read_fd = p[0];
        return true;
    }
    // Reads what is there; updates the last complete line and the count.
    void drain(std::string& last, uint64_t& count)
    {
        char buf[4096];
        ssize_t n;
        while ((n = read(read_fd, buf, sizeof buf)) > 0) {
            partial.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = partial.find('\n')) != std::string::npos) {
                std::string line = partial.substr(0, nl);
                partial.erase(0, nl + 1);
                if (line.empty()) continue;
                for (char& ch : line)
                    if (static_cast<unsigned char>(ch) < 32 || ch == 127) ch = '?';
                last = line;
                count++;
            }
            if (partial.size() > 4096) partial.clear();
        }
    }
    void stop()
    {
        if (saved >= 0) {
            dup2(saved, STDERR_FILENO);
            close(saved);
        }
        if (read_fd >= 0) close(read_fd);
        saved = read_fd = -1;
    }
};

int run_screen(const options_t& o, const std::string& codec_name_in, bool utf8)
{
    if (!term_start(REDRAW_MS)) return -2;
    screen_up = true;

    top_view_t v;
    v.pipe = o.location;
    v.codec = codec_name_in;
    v.window = o.window;
    v.warn_ms = o.warn_ms;
    v.crit_ms = o.crit_ms;
    const char* no_color = getenv("NO_COLOR");
    v.color = screen_colors(no_color == nullptr || *no_color == '\0');
    v.utf8 = utf8;

    stderr_capture_t cap;
    const bool captured = cap.start();
    std::string open_message;
    bool open = try_open(o, open_message);
    if (!open_message.empty()) v.message = open_message;

    int64_t last_draw = -REDRAW_MS, last_open_try = 0;
    uint64_t drawn_buffers = ~0ull;
    int64_t drawn_second = -1, drops_second = -1;
    bool dirty = true;
    while (main_running) {
        const int key = term_key();
        const int64_t now = now_ms();
        top_tick(*model, now);
        if (now / 1000 != drops_second) {
            drops_second = now / 1000;
            top_read_drops(*model, o.location, now);
        }
        emit_events(o, false, false);
        bool forced = false;  // drawn even while paused
        if (key == TERM_KEY_RESIZE) {
            forced = true;
        } else if (key != TERM_KEY_NONE) {
            forced = true;
            if (v.help) {
                v.help = false;
            } else {
                switch (key) {
                case 'q':
                case 'Q': main_running = 0; break;
                case ' ': v.paused = !v.paused; break;
                case 'r': top_reset(*model, now); break;
                case 'w': v.window = (v.window + 1) % TOP_WINDOWS; break;
                case 'h':
                case '?': v.help = true; break;
                default: forced = false; break;
                }
            }
            if (!main_running) break;
        }
        if (suspend_wanted.exchange(false)) {
            term_pause();
            kill(getpid(), SIGSTOP);
            // Continued: the next refresh takes the terminal back.
            term_touch();
            forced = true;
        }
        if (resize_wanted.exchange(false)) {
            term_resize();
            forced = true;
        }
        if (redraw_wanted.exchange(false)) {
            term_touch();
            forced = true;
        }
        if (captured) {
            const uint64_t before = v.messages;
            cap.drain(v.message, v.messages);
            if (v.messages != before) dirty = true;
        }
        if (!open && now - last_open_try >= 500) {
            last_open_try = now;
            open = try_open(o, open_message);
            if (!open_message.empty()) v.message = open_message;
        }
        // Redrawn when something changed (at least each second, for the
        // clock and the windows), never more often than every REDRAW_MS,
        // for new records every DATA_REDRAW_MS; while paused only for keys,
        // resizes and resumes.
        const uint64_t seen = buffers_seen.load(std::memory_order_relaxed);
        if (seen != drawn_buffers || now / 1000 != drawn_second) dirty = true;
        if (now - last_draw >= REDRAW_MS && (forced || (dirty && !v.paused && now - last_draw >= DATA_REDRAW_MS))) {
            draw_screen(*model, v, now);
            last_draw = now;
            drawn_buffers = seen;
            drawn_second = now / 1000;
            dirty = false;
        } else if (forced) {
            redraw_wanted = true;  // after the interval
        }
    }
    pipe_client_close_all();
    term_end();
    screen_up = false;
    if (captured) {
        cap.drain(v.message, v.messages);
        cap.stop();
        if (v.messages > 0)
            fprintf(stderr, "tarn-vrx-top: %llu lines on stderr while the screen was up; the last: %s\n",
                    static_cast<unsigned long long>(v.messages), v.message.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    setlocale(LC_ALL, "");
    start_ns = mono_ns();
    options_t o;
    const int parsed = parse_options(argc, argv, o);
    if (parsed != 0) return parsed > 0 ? 0 : 2;

    static top_model_t m;
    model = &m;
    m.events = link_events_t(o.thresholds);
    {
        // Times of day of the events: the arrival clock plus this.
        struct timespec real;
        clock_gettime(CLOCK_REALTIME, &real);
        m.wall_offset_ms = static_cast<int64_t>(real.tv_sec) * 1000 + real.tv_nsec / 1000000 - now_ms();
    }
    m.save = !o.save.empty();
    m.log.path = o.save.c_str();
    if (m.save) m.times_path = latency_times_path(o.save);
    if (!o.record_dir.empty()) {
        m.save = true;
        m.record_dir = o.record_dir;
    }

    // Every thread started from here on (the pipe library's too) leaves
    // these signals to the signal thread.
    const sigset_t set = handled_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    main_running = 1;
    pthread_t sig_thread;
    if (const int err = pthread_create(&sig_thread, nullptr, signal_thread, nullptr)) {
        fprintf(stderr, "tarn-vrx-top: cannot start: %s\n", strerror(err));
        return 1;
    }

    const char* term = getenv("TERM");
    const bool tty = isatty(STDOUT_FILENO) && term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
    const bool utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    if (tty && !o.plain) have_termios = tcgetattr(STDIN_FILENO, &saved_termios) == 0;

    pipe_client_set_simple_helper_cb(0, _top_data_cb, nullptr);
    pipe_client_set_connect_cb(0, _top_connect_cb, nullptr);
    pipe_client_set_disconnect_cb(0, _top_disconnect_cb, nullptr);

    std::string codec_name;
    m.codec = read_codec(VRX_CONFIG_PATH, codec_name);

    // The metrics' server thread, started with the signals blocked.
    metrics_server_t* metrics = nullptr;
    if (o.metrics) {
        std::string why;
        metrics = metrics_start(m, o.location, o.metrics_host, o.metrics_port, why);
        if (metrics == nullptr) {
            fprintf(stderr, "tarn-vrx-top: cannot serve metrics on %s:%d: %s\n",
                    o.metrics_host.empty() ? "127.0.0.1" : o.metrics_host.c_str(), o.metrics_port, why.c_str());
            return 1;
        }
    }

    int ret = -2;
    if (tty && !o.plain) ret = run_screen(o, codec_name, utf8);
    const bool plain = ret == -2;
    if (plain) ret = run_plain(o);

    // The events still going on, then the summary, unless standard output
    // already failed.
    if (!emit_events(o, plain && ret != 1, true) && ret != 1) ret = 1;
    if (ret != 1) {
        printf("%s", top_summary_text(m, now_ms()).c_str());
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "tarn-vrx-top: cannot write the summary: %s\n", strerror(errno));
            ret = 1;
        }
    }
    metrics_stop(metrics);
    finished = true;
    return ret;
}
