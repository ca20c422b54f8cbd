// Reading speed and peak memory of tarn-latency-report on a 1,000,000-row
// inspector log, next to `wc -l` on the same file in the same run (the
// floor: reading the bytes and finding the line ends) and, when given, a
// baseline build of the report (an earlier version) on the same file.
//
//   bench_report [ROWS] [FOLDER] [BASELINE-REPORT]
//       (default 1000000 rows, folder /tmp, no baseline)
//   bench/run_report_bench.sh [REV] builds the report of REV as the baseline.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bench_util.h"

int main(int argc, char* argv[])
{
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string log = fmt::format("{}/bench-report-{}.csv", dir, getpid());
    const std::string svg = log + ".svg";
    const std::string report = std::string(TARN_BIN_DIR) + "/tarn-latency-report";
    const std::string baseline = argc > 3 ? argv[3] : "";
    if (!write_bench_log(log, rows)) {
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
