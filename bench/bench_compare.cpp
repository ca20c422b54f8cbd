// Speed of tarn-latency-report --compare on two 1,000,000-row logs with
// 2,000 bootstrap resamples, next to plain reports of the same two logs in
// the same run (the floor: reading both logs and their statistics once).
// Then, in this process, the bootstrap alone on two threads and on one, and
// with every resample taking the full path (a histogram of all its values),
// so the gain of the percentile windows shows.
//
//   bench_compare [ROWS] [FOLDER]   (default 1000000 rows, folder /tmp)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "latency_compare.h"
#include "latency_record.h"

extern char** environ;

namespace {

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A log as the inspector writes it: an I-frame every 30 rows, and bursts of
// slow frames (one every four seconds on average, a third of a second long)
// that also lose one id in ten; shift_ms is added to every VRX latency.
bool write_log(const std::string& path, long rows, unsigned seed, float shift_ms)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::mt19937 rng(seed);
    std::normal_distribution<float> j(0.0f, 1.0f);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    fmt::memory_buffer b;
    fmt::format_to(std::back_inserter(b), "{}\n", latency_csv_header());
    bool bad = false;
    long id = 1;
    for (long i = 0; i < rows; i++) {
        bad = bad ? u(rng) >= 1.0f / 20 : u(rng) < 1.0f / 240;
        if (bad && u(rng) < 0.1f) id++;
        const bool iframe = i % 30 == 0;
        const float slow = bad ? 1.8f : 1.0f;
        const float fr = (iframe ? 4.5f : 2.5f) * slow + 0.4f * j(rng), fec = 0.9f * slow + 0.2f * j(rng),
                    dec = 3.8f + 0.5f * j(rng), ren = 1.6f + 0.3f * j(rng);
        const float vrx = fr + fec + dec + ren + 0.4f + shift_ms;
        fmt::format_to(std::back_inserter(b), "{},{:.1f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{},{},{}\n",
                       id++, 12.0f + j(rng), 8.5f + 0.8f * j(rng), vrx, vrx, fr, fec, dec, ren,
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

// Wall time of one run of argv with its output sent to /dev/null; -1 on failure.
double time_run(const std::vector<std::string>& args)
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
    if (err != 0) return -1;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    const double t = now_s() - start;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? t : -1;
}

double best_of(int n, const std::vector<std::string>& args)
{
    double best = -1;
    for (int i = 0; i < n; i++) {
        const double t = time_run(args);
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
    if (!write_log(a, rows, 1, 0.0f) || !write_log(b, rows, 2, 1.0f)) {
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
