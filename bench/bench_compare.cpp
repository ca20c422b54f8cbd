// Speed of tarn-latency-report --compare on two 1,000,000-row logs with
// 2,000 bootstrap resamples, next to plain reports of the same two logs in
// the same run (the floor: reading both logs and their statistics once).
// Then, in this process, the bootstrap alone on two threads and on one, and
// with every resample taking the full path (a histogram of all its values),
// so the gain of the percentile windows shows.
//
//   bench_compare [ROWS] [FOLDER]   (default 1000000 rows, folder /tmp)
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "bench_util.h"
#include "latency_compare.h"

namespace {

double best_of(int n, const std::vector<std::string>& args)
{
    double best = -1;
    for (int i = 0; i < n; i++) {
        const double t = time_run(args).seconds;
        if (t < 0) return -1;
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

}  // namespace

int main(int argc, char* argv[])
{
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string a = fmt::format("{}/bench-compare-a-{}.csv", dir, getpid());
    const std::string b = fmt::format("{}/bench-compare-b-{}.csv", dir, getpid());
    const std::string report = std::string(TARN_BIN_DIR) + "/tarn-latency-report";
    if (!write_bench_log(a, rows, {1, true, 0.0f}) || !write_bench_log(b, rows, {2, true, 1.0f})) {
        fprintf(stderr, "bench_compare: cannot write the logs in %s\n", dir.c_str());
        unlink(a.c_str());
        unlink(b.c_str());
        return 1;
    }
    fmt::print("logs: two of {} rows (B 1 ms slower), 2000 resamples\n", rows);
    time_run({"cat", a, b});
    const double plain_a = best_of(2, {report, a});
    const double plain_b = best_of(2, {report, b});
    const double compare = best_of(2, {report, "--compare", a, b});
    const double json = best_of(1, {report, "--compare", "--json", a, b});
    // In this process: the bootstrap alone, on one thread, and with every
    // resample taking the full path (a tenth of the resamples, scaled up).
    compare_run_t ra, rb;
    double t0 = now_s();
    if (!load_compare_run(a, 0, ra).empty() || !load_compare_run(b, 0, rb).empty()) {
        fprintf(stderr, "bench_compare: cannot load the logs\n");
        unlink(a.c_str());
        unlink(b.c_str());
        return 1;
    }
    const double load = now_s() - t0;
    compare_options_t o;
    t0 = now_s();
    const compare_result_t c2 = compare_runs(ra, rb, o);
    const double two = now_s() - t0;
    o.threads = 1;
    t0 = now_s();
    compare_runs(ra, rb, o);
    const double one = now_s() - t0;
    o.window_sd = 0;
    o.resamples = 200;
    t0 = now_s();
    compare_runs(ra, rb, o);
    const double full = now_s() - t0;
    unlink(a.c_str());
    unlink(b.c_str());
    if (plain_a < 0 || plain_b < 0 || compare < 0 || json < 0) {
        fprintf(stderr, "bench_compare: a run failed\n");
        return 1;
    }
    const double base = plain_a + plain_b;
    auto line = [&](const char* name, double t) {
        fmt::print("{:<52} {:8.2f} s  {:6.1f} x the plain reports\n", name, t, t / base);
    };
    line("tarn-latency-report A; tarn-latency-report B", base);
    line("tarn-latency-report --compare A B", compare);
    line("tarn-latency-report --compare --json A B", json);
    line("  loading both runs (in process)", load);
    line("  bootstrap, 2 threads", two);
    line("  bootstrap, 1 thread", one);
    line("  bootstrap, 1 thread, every resample in full (x 10)", full * 10);
    fmt::print("resamples that took the full path: {} of {}\n", c2.fallbacks, 2000 * 2 * CMP_METRICS);
    fmt::print("target: under 30 s; --compare took {:.0f} % of that\n", compare / 30 * 100);
    return 0;
}
