// Reading speed and peak memory of tarn-latency-report on a 1,000,000-row
// inspector log, next to `wc -l` on the same file in the same run (the
// floor: reading the bytes and finding the line ends) and, when given, a
// baseline build of the report (an earlier version) on the same file.
//
//   bench_report [ROWS] [FOLDER] [BASELINE-REPORT]
//       (default 1000000 rows, folder /tmp, no baseline)
//   bench/run_report_bench.sh [REV] builds the report of REV as the baseline.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "latency_record.h"

extern char** environ;

namespace {

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A log as the inspector writes it, with I-frames every 30 rows.
bool write_log(const std::string& path, long rows)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::mt19937 rng(1);
    std::normal_distribution<float> j(0.0f, 1.0f);
    fmt::memory_buffer b;
    fmt::format_to(std::back_inserter(b), "{}\n", latency_csv_header());
    for (long i = 0; i < rows; i++) {
        const bool iframe = i % 30 == 0;
        const float fr = 2.5f + 0.4f * j(rng), fec = 0.9f + 0.2f * j(rng), dec = 3.8f + 0.5f * j(rng),
                    ren = 1.6f + 0.3f * j(rng);
        const float vrx = fr + fec + dec + ren + 0.4f;
        fmt::format_to(std::back_inserter(b), "{},{:.1f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{},{},{}\n",
                       i + 1, 12.0f + j(rng), 8.5f + 0.8f * j(rng), vrx, vrx, fr, fec, dec, ren,
                       16.667f + 0.6f * j(rng), 60.0f + 0.05f * j(rng), -48 + static_cast<int>(3 * j(rng)),
                       iframe ? 24 : 7, iframe ? "H264 (I)" : "H264 (P)");
        if (b.size() > (1 << 20)) {
            fwrite(b.data(), 1, b.size(), f);
            b.clear();
        }
    }
    fwrite(b.data(), 1, b.size(), f);
    return fclose(f) == 0;
}

struct timing {
    double seconds = -1;  // -1: the run failed
    long max_rss_kb = 0;
};

// Wall time and peak resident memory of one run of argv with its output sent
// to /dev/null.
timing time_run(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const double start = now_s();
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) return {};
    int st = 0;
    struct rusage ru {};
    while (wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {
    }
    const double t = now_s() - start;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return {};
    return {t, ru.ru_maxrss};
}

}  // namespace

int main(int argc, char* argv[])
{
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string log = fmt::format("{}/bench-report-{}.csv", dir, getpid());
    const std::string svg = log + ".svg";
    const std::string report = std::string(TARN_BIN_DIR) + "/tarn-latency-report";
    const std::string baseline = argc > 3 ? argv[3] : "";
    if (!write_log(log, rows)) {
        fprintf(stderr, "bench_report: cannot write %s\n", log.c_str());
        return 1;
    }
    struct stat st;
    stat(log.c_str(), &st);
    fmt::print("log: {} rows, {:.1f} MB in {}\n", rows, st.st_size / 1e6, log);

    // Read once so every case finds the file in the page cache.
    time_run({"cat", log});
    struct bench_case {
        std::string name;
        std::vector<std::string> args;
        timing t;
    };
    std::vector<bench_case> cases = {
        {"wc -l", {"wc", "-l", log}, {}},
        {"tarn-latency-report", {report, log}, {}},
        {"tarn-latency-report --json", {report, "--json", log}, {}},
        {"tarn-latency-report --svg", {report, "--svg", svg, log}, {}},
    };
    if (!baseline.empty()) {
        cases.push_back({"baseline", {baseline, log}, {}});
        cases.push_back({"baseline --json", {baseline, "--json", log}, {}});
        cases.push_back({"baseline --svg", {baseline, "--svg", svg, log}, {}});
    }
    bool failed = false;
    // Interleaved rounds, so a busy moment of the machine hits every case.
    for (int round = 0; round < 3; round++) {
        for (bench_case& c : cases) {
            const timing t = time_run(c.args);
            if (t.seconds < 0) {
                fprintf(stderr, "bench_report: %s failed\n", c.name.c_str());
                failed = true;
                continue;
            }
            if (c.t.seconds < 0 || t.seconds < c.t.seconds) c.t.seconds = t.seconds;
            c.t.max_rss_kb = std::max(c.t.max_rss_kb, t.max_rss_kb);
        }
    }
    unlink(log.c_str());
    unlink(svg.c_str());
    if (failed) return 1;
    const double wc = cases[0].t.seconds;
    for (const bench_case& c : cases)
        fmt::print("{:<28} {:8.3f} s  {:>12.0f} rows/s  {:6.2f} x the time of wc -l  {:8.1f} MB peak\n", c.name,
                   c.t.seconds, rows / c.t.seconds, c.t.seconds / wc, c.t.max_rss_kb / 1024.0);
    const double text = cases[1].t.seconds;
    fmt::print("target: 1000000 rows/s; the text report reads {:.2f} times that\n", rows / text / 1e6);
    if (!baseline.empty()) {
        for (int k = 1; k <= 3; k++)
            fmt::print("{:<28} {:6.2f} x the rows per second of the baseline\n", cases[size_t(k)].name,
                       cases[size_t(k) + 3].t.seconds / cases[size_t(k)].t.seconds);
    }
    return 0;
}
