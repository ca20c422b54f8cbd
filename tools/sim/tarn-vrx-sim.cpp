// tarn-vrx-sim: a simulated receiver. Publishes latency records on a pipe as
// the receiver service does, with plausible synthetic values, or publishes a
// file's bytes exactly as given (for tests of exact and malformed buffers),
// or replays a run of the inspector's CSV log.
#include <getopt.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "brisk_pipe.h"
#include "cli_usage.h"
#include "latency_log.h"
#include "out_file.h"
#include "sim_scenario.h"

namespace {

struct sim_options {
    std::string pipe = LATENCY_PIPE_NAME;
    double rate = 60.0;   // records per second (raw mode: chunks per second); 0 = flat out
    long long count = 0;  // records to publish, 0 = until stopped
    int batch = 1;        // records per write
    uint32_t start_id = 1;
    venc_mode_t codec = VENC_H264;
    int gop = 30;          // an I-frame every gop frames
    std::string raw;       // publish this file's bytes instead
    int chunk = 60;        // bytes per write in raw mode
    bool framed = false;   // raw file holds [u32 little-endian length][bytes] frames
    int wait_clients = 0;  // wait for this many subscribers before publishing
    double hold = 0.0;     // seconds to keep the pipe open after the last write
    double delay = 0.0;    // seconds to wait after the subscribers came, before writing
    unsigned seed = 1;
    std::string replay;  // publish the rows of a run of this CSV log
    int replay_run = 0;  // 0: the last run of the log
    bool rate_given = false;
    std::string scenario;  // publish following this timeline of link conditions
    std::string truth;     // write the scenario's ground truth here
};

void print_help()
{
    puts("usage: tarn-vrx-sim [options]\n"
         "Publishes 60-byte latency records on a pipe, as the receiver service does.\n"
         "\n"
         "  -p, --pipe NAME       pipe name or absolute location (default vrx_latency)\n"
         "  -r, --rate N          records per second, 0 for as fast as possible (default 60);\n"
         "                        with --raw: writes per second\n"
         "  -c, --count N         records to publish, 0 for until stopped (default 0)\n"
         "  -b, --batch N         records per write (default 1)\n"
         "  -i, --start-id N      first sample id (default 1)\n"
         "  -e, --codec NAME      h264 or h265: the frame-type codes used (default h264)\n"
         "  -g, --gop N           an I-frame every N frames (default 30)\n"
         "  -s, --seed N          seed of the synthetic values (default 1)\n"
         "      --raw FILE        publish the bytes of FILE exactly, in chunks of --chunk bytes\n"
         "      --chunk N         bytes per write with --raw (default 60)\n"
         "      --frames FILE     publish FILE as a list of writes: each a 32-bit little-endian\n"
         "                        byte count followed by that many bytes\n"
         "      --replay FILE     publish the rows of a run of an inspector CSV log as records\n"
         "                        (battery 0), at --rate or else at the run's median FPS\n"
         "      --run N           with --replay: run N of the log (1 is the first; default\n"
         "                        the last run)\n"
         "      --scenario FILE   publish following FILE's timeline of link conditions (- for\n"
         "                        standard input; see the man page for its steps)\n"
         "      --truth FILE      with --scenario: write every step as applied, one JSON a line\n"
         "  -w, --wait-clients N  wait until N subscribers are connected before publishing\n"
         "      --delay SECONDS   wait this long after the subscribers came before writing\n"
         "      --hold SECONDS    keep the pipe open this long after the last write\n"
         "  -h, --help            print this help\n"
         "      --version         print the version\n"
         "\n"
         "SIGINT, SIGTERM and SIGHUP end it cleanly.");
}

bool parse_number(const char* text, double lo, double hi, double& out)
{
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

int parse_options(int argc, char* argv[], sim_options& o)
{
    enum { OPT_RAW = 1000, OPT_CHUNK, OPT_HOLD, OPT_FRAMES, OPT_DELAY, OPT_REPLAY, OPT_RUN, OPT_SCENARIO, OPT_TRUTH };
    static const struct option long_options[] = {
        {"pipe", required_argument, nullptr, 'p'},
        {"rate", required_argument, nullptr, 'r'},
        {"count", required_argument, nullptr, 'c'},
        {"batch", required_argument, nullptr, 'b'},
        {"start-id", required_argument, nullptr, 'i'},
        {"codec", required_argument, nullptr, 'e'},
        {"gop", required_argument, nullptr, 'g'},
        {"seed", required_argument, nullptr, 's'},
        {"raw", required_argument, nullptr, OPT_RAW},
        {"chunk", required_argument, nullptr, OPT_CHUNK},
        {"wait-clients", required_argument, nullptr, 'w'},
        {"hold", required_argument, nullptr, OPT_HOLD},
        {"help", no_argument, nullptr, 'h'},
        {"frames", required_argument, nullptr, OPT_FRAMES},
        {"delay", required_argument, nullptr, OPT_DELAY},
        {"replay", required_argument, nullptr, OPT_REPLAY},
        {"run", required_argument, nullptr, OPT_RUN},
        {"scenario", required_argument, nullptr, OPT_SCENARIO},
        {"truth", required_argument, nullptr, OPT_TRUTH},
        {"version", no_argument, nullptr, TARN_OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":p:r:c:b:i:e:g:s:w:h", long_options, nullptr)) != -1) {
        double v = 0;
        bool ok = true;
        switch (c) {
        case 'p': o.pipe = optarg; break;
        case 'r':
            ok = parse_number(optarg, 0, 1e9, o.rate);
            o.rate_given = true;
            break;
        case 'c':
            ok = parse_number(optarg, 0, 9e18, v);
            o.count = static_cast<long long>(v);
            break;
        case 'b':
            ok = parse_number(optarg, 1, 30000 / 60, v);
            o.batch = static_cast<int>(v);
            break;
        case 'i':
            ok = parse_number(optarg, 0, 4294967295.0, v);
            o.start_id = static_cast<uint32_t>(v);
            break;
        case 'e': ok = codec_from_name(optarg, o.codec); break;
        case 'g':
            ok = parse_number(optarg, 1, 1e9, v);
            o.gop = static_cast<int>(v);
            break;
        case 's':
            ok = parse_number(optarg, 0, 4294967295.0, v);
            o.seed = static_cast<unsigned>(v);
            break;
        case OPT_RAW:
            o.raw = optarg;
            o.framed = false;
            break;
        case OPT_FRAMES:
            o.raw = optarg;
            o.framed = true;
            break;
        case OPT_REPLAY: o.replay = optarg; break;
        case OPT_RUN:
            ok = parse_number(optarg, 1, 1e9, v);
            o.replay_run = static_cast<int>(v);
            break;
        case OPT_SCENARIO: o.scenario = optarg; break;
        case OPT_TRUTH: o.truth = optarg; break;
        case OPT_DELAY: ok = parse_number(optarg, 0, 1e6, o.delay); break;
        case OPT_CHUNK:
            ok = parse_number(optarg, 1, 1 << 20, v);
            o.chunk = static_cast<int>(v);
            break;
        case 'w':
            ok = parse_number(optarg, 0, 1000, v);
            o.wait_clients = static_cast<int>(v);
            break;
        case OPT_HOLD: ok = parse_number(optarg, 0, 1e6, o.hold); break;
        case 'h': print_help(); exit_after_info("tarn-vrx-sim");
        case TARN_OPT_VERSION: print_version("tarn-vrx-sim"); exit(0);
        default: print_bad_option("tarn-vrx-sim", c, optopt, argv[optind - 1]); exit(TARN_EXIT_USAGE);
        }
        if (!ok) {
            print_bad_value("tarn-vrx-sim", option_name(long_options, c), "value", optarg);
            return -1;
        }
    }
    if (!o.replay.empty() && !o.raw.empty()) {
        fprintf(stderr, "tarn-vrx-sim: --replay and --raw/--frames exclude each other\n");
        return -1;
    }
    if (!o.scenario.empty() && (!o.raw.empty() || !o.replay.empty())) {
        fprintf(stderr, "tarn-vrx-sim: --scenario and --raw/--frames/--replay exclude each other\n");
        return -1;
    }
    if (!o.scenario.empty() && o.rate <= 0) {
        fprintf(stderr, "tarn-vrx-sim: --scenario needs a rate above 0\n");
        return -1;
    }
    if (o.scenario.empty() && !o.truth.empty()) {
        fprintf(stderr, "tarn-vrx-sim: --truth goes with --scenario\n");
        return -1;
    }
    if (o.replay.empty() && o.replay_run != 0) {
        fprintf(stderr, "tarn-vrx-sim: --run goes with --replay\n");
        return -1;
    }
    return 0;
}

// Sleeps until the next write is due; a rate of 0 never sleeps.
struct pacer {
    double period_ns;
    struct timespec next;
    explicit pacer(double per_second) : period_ns(per_second > 0 ? 1e9 / per_second : 0)
    {
        clock_gettime(CLOCK_MONOTONIC, &next);
    }
    void wait()
    {
        if (period_ns <= 0) return;
        long long ns = next.tv_nsec + static_cast<long long>(period_ns);
        next.tv_sec += ns / 1000000000;
        next.tv_nsec = ns % 1000000000;
        while (main_running && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {}
    }
};

// One synthetic frame: stage latencies with jitter, bigger I-frames, a
// slowly sagging battery.
vrx_latency_packet_t make_record(const sim_options& o, uint32_t id, long long n, std::mt19937& rng)
{
    const float fps = o.rate > 0 ? static_cast<float>(std::min(o.rate, 240.0)) : 60.0f;
    return synth_record(id, n, n, o.gop, o.codec, fps, rng);
}

int publish_synthetic(const sim_options& o)
{
    std::mt19937 rng(o.seed);
    std::vector<vrx_latency_packet_t> batch(static_cast<size_t>(o.batch));
    pacer pace(o.rate / o.batch);
    uint32_t id = o.start_id;
    long long sent = 0;
    while (main_running && (o.count == 0 || sent < o.count)) {
        int k = 0;
        for (; k < o.batch && (o.count == 0 || sent + k < o.count); k++)
            batch[static_cast<size_t>(k)] = make_record(o, id++, sent + k, rng);
        pipe_server_write(0, batch.data(), k * static_cast<int>(sizeof(vrx_latency_packet_t)));
        sent += k;
        pace.wait();
    }
    return 0;
}

int publish_raw(const sim_options& o)
{
    FILE* f = fopen(o.raw.c_str(), "rb");
    if (f == nullptr) {
        fprintf(stderr, "tarn-vrx-sim: cannot open %s: %s\n", o.raw.c_str(), strerror(errno));
        return -1;
    }
    std::vector<char> buf(static_cast<size_t>(o.chunk));
    pacer pace(o.rate);
    int ret = 0;
    while (main_running) {
        size_t want = buf.size();
        if (o.framed) {
            unsigned char len[4];
            size_t got = fread(len, 1, sizeof len, f);
            if (got == 0) break;
            want = len[0] | len[1] << 8 | len[2] << 16 | static_cast<size_t>(len[3]) << 24;
            if (got != sizeof len || want > (1u << 24)) {
                fprintf(stderr, "tarn-vrx-sim: %s: bad frame length\n", o.raw.c_str());
                ret = -1;
                break;
            }
            buf.resize(want);
        }
        size_t n = fread(buf.data(), 1, want, f);
        if (o.framed && n != want) {
            fprintf(stderr, "tarn-vrx-sim: %s: frame cut short\n", o.raw.c_str());
            ret = -1;
            break;
        }
        if (n == 0 && !o.framed) break;
        pipe_server_write(0, buf.data(), static_cast<int>(n));
        pace.wait();
    }
    fclose(f);
    return ret;
}

// Pacing of a replay: the FPS the receiver reported, counted in hundredths
// from 1 to 1,000 frames a second (a fixed 400 KB, whatever the log);
// values outside that range are no frame rate to pace by.
struct fps_counts {
    static constexpr double LOW = 1, HIGH = 1000;
    std::vector<uint32_t> bins = std::vector<uint32_t>(static_cast<size_t>((HIGH - LOW) * 100) + 1);
    uint64_t n = 0;
    void add(float fps)
    {
        if (!(fps >= LOW && fps <= HIGH)) return;
        uint32_t& b = bins[static_cast<size_t>(std::lround((fps - LOW) * 100))];
        if (b != UINT32_MAX) b++;
        n++;
    }
    void clear()
    {
        std::fill(bins.begin(), bins.end(), 0);
        n = 0;
    }
    // The nearest-rank median, to a hundredth; 0 without a value.
    double median() const
    {
        uint64_t rank = (n + 1) / 2, seen = 0;
        for (size_t i = 0; i < bins.size() && n > 0; i++)
            if ((seen += bins[i]) >= rank) return LOW + static_cast<double>(i) / 100;
        return 0;
    }
};

// Sends rows in writes of --batch records, paced; counts them against
// --count. False once nothing more is to go out.
struct replay_sender {
    const sim_options& o;
    pacer pace;
    std::vector<vrx_latency_packet_t> batch;
    long long sent = 0;
    replay_sender(const sim_options& opt, double rate) : o(opt), pace(rate / opt.batch) {}
    bool more() const { return main_running && (o.count == 0 || sent < o.count); }
    void row(const latency_row_t& r)
    {
        if (!more()) return;
        batch.push_back(latency_row_to_record(r));
        if (static_cast<int>(batch.size()) >= o.batch ||
            (o.count != 0 && sent + static_cast<long long>(batch.size()) >= o.count))
            flush();
    }
    void flush()
    {
        if (batch.empty()) return;
        pipe_server_write(0, batch.data(), static_cast<int>(batch.size() * sizeof(vrx_latency_packet_t)));
        sent += static_cast<long long>(batch.size());
        batch.clear();
        pace.wait();
    }
};

// A saved run goes out row by row as it is read, paced like the live
// receiver: nothing of the log is kept, whatever its length. A regular
// file is read twice: once to find the run and its median FPS, then from
// the run's first line to its last. Standard input or a FIFO is read once:
// the run asked for goes out as it comes (without --run, every run), at
// --rate or the first row's FPS.
struct replay_plan {
    bool file = false;  // a regular file, read twice
    double rate = 60;
    latency_run_place_t place;
};
const char* const prog = "tarn-vrx-sim";

void say_malformed(const sim_options& o, size_t bad)
{
    if (bad) fprintf(stderr, "%s: %s: skipped %zu malformed lines\n", prog, o.replay.c_str(), bad);
}

// The first reading of a regular file, before the pipe opens: the run is
// there and its median FPS, or one line saying why not (false).
bool plan_replay(const sim_options& o, replay_plan& plan)
{
    struct stat st;
    plan.file = o.replay != "-" && stat(o.replay.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (!plan.file) return true;
    fps_counts fps;
    size_t bad = 0;
    latency_run_sink scan;
    scan.restart = [&] {
        fps.clear();
        bad = 0;
    };
    scan.row = [&](const latency_row_t& r) { fps.add(r.fps); };
    scan.malformed = [&] { bad++; };
    const std::string why = read_latency_run(o.replay, o.replay_run, scan, nullptr, &plan.place);
    if (!why.empty()) {
        fprintf(stderr, "%s: %s\n", prog, why.c_str());
        return false;
    }
    say_malformed(o, bad);
    plan.rate = o.rate;
    if (!o.rate_given) {
        plan.rate = fps.median();
        if (plan.rate == 0) {
            plan.rate = 60;
            fprintf(stderr, "%s: %s: no FPS of 1 to 1000 in the run; 60 records a second\n", prog, o.replay.c_str());
        }
    }
    return true;
}

int publish_replay(const sim_options& o, const replay_plan& plan)
{
    if (!plan.file) {
        size_t bad = 0;
        latency_run_sink sink;
        std::unique_ptr<replay_sender> out;
        sink.row = [&](const latency_row_t& r) {
            if (!out) {
                double rate = o.rate;
                if (!o.rate_given) {
                    rate = r.fps >= fps_counts::LOW && r.fps <= fps_counts::HIGH ? r.fps : 60;
                    if (rate == 60 && r.fps != 60)
                        fprintf(stderr, "%s: the first row's FPS is no rate to pace by; 60 records a second\n", prog);
                }
                out = std::make_unique<replay_sender>(o, rate);
            }
            out->row(r);
        };
        sink.malformed = [&] { bad++; };
        const std::string why = read_latency_run(o.replay, o.replay_run, sink);
        if (out) out->flush();
        say_malformed(o, bad);
        if (!why.empty()) fprintf(stderr, "%s: %s\n", prog, why.c_str());
        return why.empty() ? 0 : 1;
    }

    const latency_run_place_t& place = plan.place;
    const int fd = open_latency_log(o.replay);
    if (fd < 0 || lseek(fd, static_cast<off_t>(place.begin), SEEK_SET) < 0) {
        fprintf(stderr, "%s: cannot read %s again: %s\n", prog, o.replay.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return 1;
    }
    replay_sender out(o, plan.rate);
    uint64_t offset = 0;
    bool stop = false;
    latency_log_sink lines;
    lines.offset = &offset;
    lines.stop = &stop;
    lines.header = [&](size_t, int) { stop = offset > 0 && offset >= place.end - place.begin; };
    lines.row = [&](size_t, int, const latency_row_t& r) {
        stop = offset >= place.end - place.begin;
        if (!stop) out.row(r);
        stop = stop || !out.more();
    };
    const int err = read_latency_log(fd, lines);
    close(fd);
    out.flush();
    if (err != 0) {
        fprintf(stderr, "%s: cannot read %s: %s\n", prog, o.replay.c_str(), strerror(err));
        return 1;
    }
    return 0;
}

// Reads the scenario and opens the truth file, before anything is published.
int load_scenario(const sim_options& o, scenario_t& scn, int& truth_fd)
{
    FILE* f = o.scenario == "-" ? stdin : fopen(o.scenario.c_str(), "r");
    if (f == nullptr) {
        fprintf(stderr, "tarn-vrx-sim: cannot open %s: %s\n", o.scenario.c_str(), strerror(errno));
        return -1;
    }
    std::string err;
    const bool ok = parse_scenario(f, o.scenario, scn, err);
    if (f != stdin) fclose(f);
    if (!ok) {
        fprintf(stderr, "tarn-vrx-sim: %s\n", err.c_str());
        return -1;
    }
    if (!o.truth.empty()) {
        std::string why;
        truth_fd = tarn_io::open_output(o.truth.c_str(), tarn_io::OUT_CREATE | tarn_io::OUT_STREAM_OK, 0644, why);
        if (truth_fd < 0) {
            fprintf(stderr, "tarn-vrx-sim: cannot write %s: %s\n", o.truth.c_str(), why.c_str());
            return -1;
        }
    }
    return 0;
}

scenario_params_t scenario_params(const sim_options& o, int truth_fd)
{
    scenario_params_t p;
    p.pipe = o.pipe;
    p.rate = o.rate;
    p.count = o.count;
    p.batch = o.batch;
    p.start_id = o.start_id;
    p.codec = o.codec;
    p.gop = o.gop;
    p.seed = o.seed;
    p.wait_clients = o.wait_clients;
    p.truth_fd = truth_fd;
    return p;
}

}  // namespace

int main(int argc, char* argv[])
{
    sim_options o;
    if (parse_options(argc, argv, o) != 0) return 1;
    replay_plan plan;
    if (!o.replay.empty() && !plan_replay(o, plan)) return 1;

    scenario_t scenario;
    int truth_fd = -1;
    if (!o.scenario.empty() && load_scenario(o, scenario, truth_fd) != 0) return 1;

    enable_signal_handler();
    main_running = 1;

    int ret = pipe_server_create(0, o.pipe.c_str(), 0);
    if (ret < 0) {
        fprintf(stderr, "tarn-vrx-sim: cannot publish on %s\n", o.pipe.c_str());
        pipe_print_error(ret);
        return 1;
    }
    if (cJSON* info = pipe_server_get_info_json_ptr(0)) {
        cJSON_AddStringToObject(info, "data_format", "vrx_latency_packet_t");
        cJSON_AddNumberToObject(info, "record_size", sizeof(vrx_latency_packet_t));
        pipe_server_update_info(0);
    }
    while (main_running && pipe_server_get_num_clients(0) < o.wait_clients) usleep(5000);
    for (double left = o.delay; main_running && left > 0; left -= 0.01) usleep(10000);

    if (!o.scenario.empty())
        ret = publish_scenario(scenario, scenario_params(o, truth_fd));
    else
        ret = !o.replay.empty() ? publish_replay(o, plan) : o.raw.empty() ? publish_synthetic(o) : publish_raw(o);

    for (double left = o.hold; main_running && left > 0; left -= 0.01) usleep(10000);
    pipe_server_close_all();
    return ret == 0 ? 0 : 1;
}
