// Peak memory and time of tarn-latency-report on logs built to make it
// grow, against its bound of 64 MB:
//
//   distinct   every value of every column distinct (ids ascending)
//   clock      realistic rows but PCAP Delta growing like a clock
//   gaps       realistic rows with every other sample id missing
//   runs       a header line and nothing else, many times over (many runs)
//   both       distinct values and every other sample id missing at once
//   pipe       the distinct log read from standard input (approximate
//              percentiles: the input cannot be read twice)
//
//   bench_report_bounds [--full] [--only NAME,...] [FOLDER] [BASELINE-REPORT]
//       default: 1,000,000 rows (20,000 runs); --full: 10,000,000 rows
//       (100,000 runs). With a baseline build of the report (an earlier
//       version), it runs on the same logs too (it may fail: out of memory).
//       --only runs the cases whose names start with one of the names given
//       (the old report takes gigabytes on the full distinct log).
//
// Peak memory is the child's ru_maxrss from wait4, so nothing but the
// report is measured and no /usr/bin/time is needed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_util.h"
#include "fd_io.h"
#include "latency_record.h"
#include "out_file.h"

namespace {

constexpr double BOUND_MB = 64;

// Writes the lines made by line(i, buffer) for i in [0, n) to path.
template <class F>
bool write_log(const std::string& path, long n, F line)
{
    std::string why;
    const int fd = tarn_io::open_output(path.c_str(), tarn_io::OUT_CREATE, 0644, why);
    if (fd < 0) {
        fprintf(stderr, "bench_report_bounds: cannot write %s: %s\n", path.c_str(), why.c_str());
        return false;
    }
    fmt::memory_buffer b;
    bool ok = true;
    for (long i = 0; i < n && ok; i++) {
        line(i, b);
        if (b.size() > (1 << 20)) {
            ok = tarn_io::write_all(fd, b.data(), b.size()) == b.size();
            b.clear();
        }
    }
    ok = ok && tarn_io::write_all(fd, b.data(), b.size()) == b.size();
    return close(fd) == 0 && ok;
}

// A realistic row: id, then PCAP Delta given.
void realistic_row(fmt::memory_buffer& b, std::mt19937& rng, long id, double pcap, long i)
{
    std::normal_distribution<float> j(0.0f, 1.0f);
    const bool iframe = i % 30 == 0;
    const float fr = 2.5f + 0.4f * j(rng), fec = 0.9f + 0.2f * j(rng), dec = 3.8f + 0.5f * j(rng),
                ren = 1.6f + 0.3f * j(rng);
    const float vrx = fr + fec + dec + ren + 0.4f;
    fmt::format_to(std::back_inserter(b),
                   "{},{:.1f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{},{},{}\n", id,
                   12.0f + j(rng), 8.5f + 0.8f * j(rng), vrx, vrx, fr, fec, dec, ren, pcap, 60.0f + 0.05f * j(rng),
                   -48 + static_cast<int>(3 * j(rng)), iframe ? 24 : 7, iframe ? "H264 (I)" : "H264 (P)");
}

bool write_distinct(const std::string& path, long rows, long id_step = 1)
{
    const std::string header = latency_csv_header();
    return write_log(path, rows + 1, [&](long i, fmt::memory_buffer& b) {
        if (i == 0) {
            fmt::format_to(std::back_inserter(b), "{}\n", header);
            return;
        }
        // Every value its own thousandth, in a scrambled order, each column
        // over its own range.
        const long k = (i * 7919) % rows;
        fmt::format_to(std::back_inserter(b), "{},", i * id_step);
        for (int c = 0; c < 10; c++) fmt::format_to(std::back_inserter(b), "{}.{:03},", c * 1000 + k / 1000, k % 1000);
        fmt::format_to(std::back_inserter(b), "{},{},{}\n", -k, k, i % 30 == 0 ? "H264 (I)" : "H264 (P)");
    });
}

struct result_t {
    double seconds = -1;
    double peak_mb = 0;
    int status = -1;  // exit status, or -signal
};

// Runs args with the file `in` written to its standard input through a pipe
// (or /dev/null there), its output to /dev/null.
result_t run(const std::vector<std::string>& args, const std::string& in)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int p[2] = {-1, -1};
    if (!in.empty() && pipe(p) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in.empty()) {
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&fa, p[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&fa, p[0]);
        posix_spawn_file_actions_addclose(&fa, p[1]);
    }
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    result_t r;
    const double start = now_s();
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (p[0] >= 0) {
        close(p[0]);
        if (err == 0) {
            const int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
            std::vector<char> buf(1 << 20);
            ssize_t n;
            while (fd >= 0 && (n = read(fd, buf.data(), buf.size())) > 0)
                if (tarn_io::write_all(p[1], buf.data(), static_cast<size_t>(n)) != static_cast<size_t>(n)) break;
            if (fd >= 0) close(fd);
        }
        close(p[1]);
    }
    if (err != 0) return r;
    int st = 0;
    struct rusage ru {};
    while (wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {}
    r.seconds = now_s() - start;
    r.peak_mb = static_cast<double>(ru.ru_maxrss) / 1024;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    return r;
}

std::string load_average()
{
    double l[3] = {0, 0, 0};
    if (getloadavg(l, 3) != 3) return "unknown";
    return fmt::format("{:.2f} {:.2f} {:.2f}", l[0], l[1], l[2]);
}

}  // namespace

int main(int argc, char* argv[])
{
    signal(SIGPIPE, SIG_IGN);  // a report that fails leaves the pipe unread
    int a = 1;
    const bool full = a < argc && strcmp(argv[a], "--full") == 0 && ++a;
    std::vector<std::string> only;
    if (a + 1 < argc && strcmp(argv[a], "--only") == 0) {
        std::string list = argv[a + 1];
        a += 2;
        for (size_t at = 0; at <= list.size();) {
            const size_t comma = std::min(list.find(',', at), list.size());
            only.push_back(list.substr(at, comma - at));
            at = comma + 1;
        }
    }
    const std::string dir = a < argc ? argv[a++] : "/tmp";
    const std::string baseline = a < argc ? argv[a++] : "";
    const long rows = full ? 10000000 : 1000000;
    const long runs = full ? 100000 : 20000;
    const std::string report = std::string(TARN_BIN_DIR) + "/tarn-latency-report";
    const std::string base = fmt::format("{}/bench-bounds-{}", dir, getpid());

    struct log_t {
        std::string name, path;
        bool ok;
    };
    std::vector<log_t> logs;
    auto add = [&](const char* name, bool ok) { logs.push_back({name, base + "-" + name + ".csv", ok}); };
    std::mt19937 rng(1);
    const std::string header = latency_csv_header();
    add("distinct", write_distinct(base + "-distinct.csv", rows));
    add("clock", write_log(base + "-clock.csv", rows + 1, [&](long i, fmt::memory_buffer& b) {
            if (i == 0)
                fmt::format_to(std::back_inserter(b), "{}\n", header);
            else
                realistic_row(b, rng, i, 16.667 * static_cast<double>(i), i);
        }));
    add("gaps", write_log(base + "-gaps.csv", rows + 1, [&](long i, fmt::memory_buffer& b) {
            if (i == 0)
                fmt::format_to(std::back_inserter(b), "{}\n", header);
            else
                realistic_row(b, rng, 2 * i, 16.667, i);
        }));
    add("runs", write_log(base + "-runs.csv", runs,
                          [&](long, fmt::memory_buffer& b) { fmt::format_to(std::back_inserter(b), "{}\n", header); }));
    add("both", write_distinct(base + "-both.csv", rows, 2));
    for (const log_t& l : logs)
        if (!l.ok) return 1;

    fmt::print("rows: {} ({} runs of the runs log); bound {} MB; load average before: {}\n", rows, runs, BOUND_MB,
               load_average());
    struct case_t {
        std::string name;
        std::vector<std::string> args;
        std::string in;
    };
    std::vector<case_t> cases;
    auto progs = baseline.empty() ? std::vector<std::string>{report} : std::vector<std::string>{report, baseline};
    for (const std::string& prog : progs) {
        const std::string who = prog == report ? "" : "baseline ";
        cases.push_back({who + "distinct", {prog, logs[0].path}, ""});
        cases.push_back({who + "distinct --json", {prog, "--json", logs[0].path}, ""});
        cases.push_back({who + "distinct from a pipe", {prog, "-"}, logs[0].path});
        cases.push_back({who + "clock", {prog, logs[1].path}, ""});
        cases.push_back({who + "gaps", {prog, logs[2].path}, ""});
        cases.push_back({who + "runs", {prog, logs[3].path}, ""});
        cases.push_back({who + "runs --json", {prog, "--json", logs[3].path}, ""});
        cases.push_back({who + "both", {prog, logs[4].path}, ""});
        cases.push_back({who + "both from a pipe", {prog, "-"}, logs[4].path});
    }
    bool over = false;
    for (const case_t& c : cases) {
        bool wanted = only.empty();
        for (const std::string& o : only)
            wanted = wanted || c.name.rfind(o, 0) == 0 || c.name.rfind("baseline " + o, 0) == 0;
        if (!wanted) continue;
        const result_t r = run(c.args, c.in);
        const bool mine = c.name.rfind("baseline", 0) != 0;
        if (mine && (r.status != 0 || r.peak_mb > BOUND_MB)) over = true;
        fmt::print("{:<32} {:8.2f} s {:9.1f} MB peak  {}  status {}  (load {})\n", c.name, r.seconds, r.peak_mb,
                   r.peak_mb <= BOUND_MB ? "within" : "OVER  ", r.status, load_average());
        fflush(stdout);
    }
    for (const log_t& l : logs) unlink(l.path.c_str());
    return over ? 1 : 0;
}
