// Reading speed of tarn-latency-report on a 1,000,000-row inspector log,
// next to `wc -l` on the same file in the same run (the floor: reading the
// bytes and finding the line ends).
//
//   bench_report [ROWS] [FOLDER]   (default 1000000 rows, folder /tmp)
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
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

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
    fmt::format_to(std::back_inserter(b),
                   "Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,FEC Latency,"
                   "Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type\n");
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

// Best of n runs: the least disturbed by the other work on the machine.
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
    const std::string log = fmt::format("{}/bench-report-{}.csv", dir, getpid());
    const std::string svg = log + ".svg";
    const std::string report = std::string(TARN_BIN_DIR) + "/tarn-latency-report";
    if (!write_log(log, rows)) {
        fprintf(stderr, "bench_report: cannot write %s\n", log.c_str());
        return 1;
    }
    struct stat st;
    stat(log.c_str(), &st);
    fmt::print("log: {} rows, {:.1f} MB in {}\n", rows, st.st_size / 1e6, log);

    // Read once so every case finds the file in the page cache.
    time_run({"cat", log});
    const double wc = best_of(3, {"wc", "-l", log});
    const double text = best_of(3, {report, log});
    const double json = best_of(3, {report, "--json", log});
    const double plot = best_of(3, {report, "--svg", svg, log});
    unlink(log.c_str());
    unlink(svg.c_str());
    if (wc < 0 || text < 0 || json < 0 || plot < 0) {
        fprintf(stderr, "bench_report: a run failed\n");
        return 1;
    }
    auto line = [&](const char* name, double t) {
        fmt::print("{:<28} {:8.3f} s  {:>12.0f} rows/s  {:6.2f} x the time of wc -l\n", name, t, rows / t, t / wc);
    };
    line("wc -l", wc);
    line("tarn-latency-report", text);
    line("tarn-latency-report --json", json);
    line("tarn-latency-report --svg", plot);
    fmt::print("target: 1000000 rows/s; the text report reads {:.2f} times that\n", rows / text / 1e6);
    return 0;
}
