// tarn-latency-report: a summary of the runs in a tarn-inspect-vrx CSV log,
// as text or JSON, and an SVG plot of one run.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "latency_report.h"

namespace {

constexpr const char* DEFAULT_LOG = "/data/tarn-inspect-vrx.csv";

void print_help()
{
    fmt::print(
        "usage: tarn-latency-report [options] [FILE]\n"
        "Summarizes the runs of a tarn-inspect-vrx CSV log (default {}; - reads\n"
        "standard input). Each header line starts a run; rows before the first header\n"
        "make a run of their own.\n"
        "\n"
        "  -r, --run N      only run N (1 is the first run in the file)\n"
        "  -j, --json       print the summary as one JSON document\n"
        "  -g, --svg FILE   write an SVG plot of run N, or of the last run, to FILE\n"
        "  -h, --help       print this help\n"
        "\n"
        "Per run: frames, first and last sample id, missing ids (gaps), repeats, ids\n"
        "out of order, I-, P- and other frames (by the frame-type text), malformed lines\n"
        "with their numbers; min, mean, p50, p95, p99 and max of every column (VRX\n"
        "Latency also for I- and P-frames alone); each stage's share of VRX Latency.\n"
        "\n"
        "Percentiles are nearest-rank: pN is the value of rank ceil(N/100 * n) among\n"
        "the n finite values sorted ascending, so it is always a value of the log.\n"
        "Sample ids are unsigned 32-bit and may wrap: each step between rows counts as\n"
        "the signed 32-bit difference. An id is missing when it lies between the run's\n"
        "lowest and highest id and no row has it; a row repeats when an earlier row had\n"
        "its id. A stage's share is the sum of the stage over the sum of VRX Latency.\n"
        "\n"
        "Malformed lines are skipped, counted and listed. Exit status 0, or 1 when the\n"
        "log cannot be read, run N does not exist or the plot cannot be written.\n",
        DEFAULT_LOG);
}

struct options {
    std::string path = DEFAULT_LOG;
    int run = 0;  // 0: every run
    bool json = false;
    std::string svg;
};

int parse_options(int argc, char* argv[], options& o)
{
    static const struct option long_options[] = {
        {"run", required_argument, nullptr, 'r'}, {"json", no_argument, nullptr, 'j'},
        {"svg", required_argument, nullptr, 'g'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "r:jg:h", long_options, nullptr)) != -1) {
        switch (c) {
        case 'r': {
            char* end = nullptr;
            errno = 0;
            const long v = strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || v < 1 || v > 1000000000) {
                fprintf(stderr, "tarn-latency-report: invalid run number '%s'\n", optarg);
                return -1;
            }
            o.run = static_cast<int>(v);
            break;
        }
        case 'j': o.json = true; break;
        case 'g': o.svg = optarg; break;
        case 'h': print_help(); exit(0);
        default:
            fprintf(stderr, "try 'tarn-latency-report --help'\n");
            return -1;
        }
    }
    if (optind < argc) o.path = argv[optind++];
    if (optind < argc) {
        fprintf(stderr, "tarn-latency-report: one log at a time ('%s' is one too many)\n", argv[optind]);
        return -1;
    }
    return 0;
}

bool write_file(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char* argv[])
{
    options o;
    if (parse_options(argc, argv, o) != 0) return 1;

    const int fd = open_latency_log(o.path);
    if (fd < 0) {
        fprintf(stderr, "tarn-latency-report: cannot open %s: %s\n", o.path.c_str(), strerror(errno));
        return 1;
    }

    // Runs are summarized as soon as the next begins, so only one run's rows
    // are held (two while a plot of the last run is wanted).
    run_data_t current, plotted;
    bool have_plotted = false;
    run_summary_t plotted_summary;
    int runs = 0;
    size_t lines = 0;
    uint64_t malformed = 0;
    cJSON* doc = o.json ? cJSON_CreateObject() : nullptr;
    cJSON* json_runs = nullptr;
    if (doc) {
        cJSON_AddStringToObject(doc, "log", o.path.c_str());
        json_runs = cJSON_AddArrayToObject(doc, "runs");
    }
    bool first_text = true;

    auto finish = [&]() {
        if (current.run == 0 || (o.run != 0 && current.run != o.run)) return;
        run_summary_t s = summarize_run(current);
        if (doc) {
            cJSON_AddItemToArray(json_runs, run_summary_json(s));
        } else {
            if (!first_text) fputc('\n', stdout);
            fputs(format_run_text(s).c_str(), stdout);
            first_text = false;
        }
        if (!o.svg.empty()) {
            plotted = std::move(current);
            plotted_summary = std::move(s);
            have_plotted = true;
        }
    };
    auto begin = [&](int run, size_t line, bool header) {
        finish();
        runs = run;
        run_start(current, run, line, header);
        // Runs not asked for are only counted.
        if (o.run != 0 && run != o.run) current.run = -run;
    };

    latency_log_sink sink;
    sink.header = [&](size_t line, int run) {
        lines = line;
        begin(run, line, true);
    };
    sink.row = [&](size_t line, int run, const latency_row_t& row) {
        lines = line;
        if (run != runs) begin(run, line, false);
        if (current.run > 0) run_add_row(current, line, row);
    };
    sink.malformed = [&](size_t line, int run, const char* why) {
        lines = line;
        if (run != runs) begin(run, line, false);
        malformed++;
        if (current.run > 0) run_add_malformed(current, line, why);
    };
    const int err = read_latency_log(fd, sink);
    if (fd != STDIN_FILENO) close(fd);
    if (err != 0) {
        fprintf(stderr, "tarn-latency-report: cannot read %s: %s\n", o.path.c_str(), strerror(err));
        cJSON_Delete(doc);
        return 1;
    }
    finish();

    if (o.run > runs) {
        fprintf(stderr, "tarn-latency-report: %s holds %d run%s, there is no run %d\n", o.path.c_str(),
                runs, runs == 1 ? "" : "s", o.run);
        cJSON_Delete(doc);
        return 1;
    }
    if (doc) {
        cJSON_AddNumberToObject(doc, "run_count", runs);
        cJSON_AddNumberToObject(doc, "lines", static_cast<double>(lines));
        cJSON_AddNumberToObject(doc, "malformed_lines", static_cast<double>(malformed));
        char* text = cJSON_Print(doc);
        if (text) {
            fputs(text, stdout);
            fputc('\n', stdout);
            cJSON_free(text);
        }
        cJSON_Delete(doc);
    } else {
        if (!first_text) fputc('\n', stdout);
        fmt::print("{}: {} run{}, {} line{}, {} malformed\n", o.path, runs, runs == 1 ? "" : "s", lines,
                   lines == 1 ? "" : "s", malformed);
    }
    if (fflush(stdout) != 0) {
        fprintf(stderr, "tarn-latency-report: cannot write the report: %s\n", strerror(errno));
        return 1;
    }

    if (!o.svg.empty()) {
        if (!have_plotted) {
            fprintf(stderr, "tarn-latency-report: %s holds no run to plot\n", o.path.c_str());
            return 1;
        }
        if (!write_file(o.svg, render_run_svg(plotted, plotted_summary, o.path))) {
            fprintf(stderr, "tarn-latency-report: cannot write %s: %s\n", o.svg.c_str(), strerror(errno));
            return 1;
        }
    }
    return 0;
}
