// Peak memory and time of tarn-vrx-sim --replay, which publishes a run of a
// log as it reads it: a log of many rows read from the file (twice: once to
// find the run and its frame rate) and from standard input (once), each
// sent as fast as it goes (--rate 0, writes of 100 records, no subscriber);
// then a short run whose FPS column is no frame rate (1e-30, 0.0001, 5000),
// which must go out at 60 records a second.
//
//   bench_replay_bounds [ROWS] [FOLDER] [BASELINE-SIM]
//       default 1,000,000 rows in /tmp; with a baseline build of the
//       simulator (an earlier version) it runs on the same log too.
#include <sys/stat.h>

#include <cstdlib>

#include "bench_util.h"

namespace {

void show(const char* what, const char* who, const timing& t, double bound_mb)
{
    if (t.seconds < 0) {
        fmt::print("  {:<34} {:<9} failed\n", what, who);
        return;
    }
    const double mb = static_cast<double>(t.max_rss_kb) / 1024;
    fmt::print("  {:<34} {:<9} {:8.2f} s {:9.1f} MB{}\n", what, who, t.seconds, mb,
               bound_mb > 0 ? fmt::format("  ({} the {:g} MB bound)", mb <= bound_mb ? "within" : "OVER", bound_mb)
                            : "");
}

}  // namespace

int main(int argc, char* argv[])
{
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string baseline = argc > 3 ? argv[3] : "";
    const std::string sim = std::string(TARN_BIN_DIR) + "/tarn-vrx-sim";
    const std::string log = fmt::format("{}/bench-replay-{}.csv", dir, getpid());
    const std::string pipe = fmt::format("{}/bench-replay-pipe-{}", dir, getpid());
    if (!write_bench_log(log, rows, {1, true, 0.0f})) {
        fprintf(stderr, "bench_replay_bounds: cannot write %s\n", log.c_str());
        return 1;
    }
    struct stat st;
    stat(log.c_str(), &st);
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    fmt::print("replay of a log of {} rows ({:.0f} MB), load average {:.2f} {:.2f} {:.2f}\n", rows,
               static_cast<double>(st.st_size) / 1e6, load[0], load[1], load[2]);
    constexpr double BOUND_MB = 64;
    auto run = [&](const std::string& program, bool from_stdin) {
        return time_run({program, "-p", pipe, "--replay", from_stdin ? "-" : log, "--rate", "0", "--batch", "100"},
                        from_stdin ? log.c_str() : nullptr);
    };
    show("from the file", "this", run(sim, false), BOUND_MB);
    show("from standard input", "this", run(sim, true), BOUND_MB);
    if (!baseline.empty()) {
        show("from the file", "baseline", run(baseline, false), 0);
        show("from standard input", "baseline", run(baseline, true), 0);
    }
    remove(log.c_str());

    // 30 rows whose FPS is no frame rate: 60 a second, about 0.5 s.
    for (const char* fps : {"1e-30", "0.0001", "5000"}) {
        const std::string small = fmt::format("{}/bench-replay-fps-{}.csv", dir, getpid());
        FILE* f = fopen(small.c_str(), "w");
        if (f == nullptr) return 1;
        fmt::print(f, "{}\n", latency_csv_header());
        for (int i = 1; i <= 30; i++)
            fmt::print(f, "{},12.0,8.5,9.3,9.3,2.5,0.9,3.8,1.6,16.667,{},-48,7,H264 (P)\n", i, fps);
        fclose(f);
        const timing t = time_run({sim, "-p", pipe, "--replay", small, "--batch", "1"});
        fmt::print("  30 rows at FPS {:<8}            {:8.2f} s (60 a second: 0.5 s)\n", fps, t.seconds);
        remove(small.c_str());
    }
    return 0;
}
