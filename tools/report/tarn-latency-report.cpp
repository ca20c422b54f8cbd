// tarn-latency-report: a summary of the runs in a tarn-inspect-vrx CSV log,
// as text or JSON, and an SVG plot of one run.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli_usage.h"
#include "latency_compare.h"
#include "latency_list.h"
#include "latency_report.h"

namespace {

constexpr const char* DEFAULT_LOG = "/data/tarn-inspect-vrx.csv";

void print_help()
{
    fmt::print("usage: tarn-latency-report [options] [FILE]\n"
               "       tarn-latency-report --list [-j] [--max-runs N] FILE|DIR...\n"
               "       tarn-latency-report --compare [-j] [-g FILE] [--seed N] [--resamples N]\n"
               "                           [--block N] [--min-change MS] [--min-lost-change PP] A B\n"
               "Summarizes the runs of a tarn-inspect-vrx CSV log (default {}; - reads\n"
               "standard input). Each header line starts a run; rows before the first header\n"
               "make a run of their own.\n"
               "\n"
               "  -r, --run N      only run N (1 is the first run in the file)\n"
               "  -j, --json       print the summary as one JSON document\n"
               "  -g, --svg FILE   write an SVG plot of run N, or of the last run, to FILE\n"
               "  -l, --list       one line per run of every log given (a folder: its *.csv\n"
               "                   files), newest first: time of day, duration, frames, lost\n"
               "                   frames, VRX p50/p95/p99, events by kind\n"
               "      --max-runs N the newest N runs are listed with --list (default {})\n"
               "  -c, --compare    compare run A with run B (each FILE or FILE:N, a bare\n"
               "                   FILE meaning its last run); -g draws both distributions\n"
               "      --seed N     seed of the bootstrap with --compare (default 1)\n"
               "      --resamples N  bootstrap resamples with --compare (default 2000)\n"
               "      --block N    frames per bootstrap block with --compare (default: estimated)\n"
               "      --min-change MS  least latency change the verdict counts (default 0.5)\n"
               "      --min-lost-change PP  least change of lost frames, in percentage points\n"
               "                   (default 0.5)\n"
               "      --threshold NAME=VALUE\n"
               "                   set a threshold of the link event detector (see the man page)\n"
               "  -h, --help       print this help\n"
               "      --version    print the version\n"
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
               "With --compare: first a verdict in one line (\"B is slower: ...\", \"no meaningful\n"
               "change\", \"too short to judge\"); then p50, p95, p99 and mean of VRX Latency\n"
               "(all, I- and P-frames), VTX Latency and the frame, FEC, decode and render\n"
               "stages in A and in B, the difference B - A and its 95 % interval from a\n"
               "moving-block bootstrap (block length estimated from each run, at least one\n"
               "second of frames, at most a tenth of the run); a real change is one whose\n"
               "interval excludes 0, \"real but small\" below the least change. Also the share\n"
               "of lost frames. A run shorter than 10 blocks is too short to judge.\n"
               "\n"
               "Malformed lines are skipped, counted and listed. Exit status 0, or 1 when the\n"
               "log cannot be read, run N does not exist or the plot cannot be written; 2 for\n"
               "an unknown option or an option without its value.\n",
               DEFAULT_LOG, LIST_DEFAULT_MAX_RUNS);
}

struct options {
    std::string path = DEFAULT_LOG;
    int run = 0;  // 0: every run
    bool json = false;
    std::string svg;
    bool compare = false;
    bool list = false;
    size_t max_runs = LIST_DEFAULT_MAX_RUNS;
    bool max_runs_given = false;
    bool bootstrap_given = false;  // an option of --compare
    compare_options_t bootstrap;
    uint32_t block = 0;  // forced block length, 0: estimated
    event_thresholds_t thresholds;  // of the event detector
};

// A decimal from 0 to hi with at most three decimals, in thousandths.
bool parse_thousandths(const char* text, double hi, int64_t& out)
{
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= 0 && v <= hi)) return false;
    out = std::llround(v * 1000);
    return true;
}

bool parse_count(const char* text, unsigned long lo, unsigned long hi, uint64_t& out)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v < lo || v > hi) return false;
    out = v;
    return true;
}

int parse_options(int argc, char* argv[], options& o)
{
    enum { OPT_SEED = 1000, OPT_RESAMPLES, OPT_BLOCK, OPT_MIN_CHANGE, OPT_MIN_LOST_CHANGE, OPT_THRESHOLD, OPT_MAX_RUNS };
    static const struct option long_options[] = {
        {"compare", no_argument, nullptr, 'c'},
        {"list", no_argument, nullptr, 'l'},
        {"max-runs", required_argument, nullptr, OPT_MAX_RUNS},
        {"seed", required_argument, nullptr, OPT_SEED},
        {"resamples", required_argument, nullptr, OPT_RESAMPLES},
        {"block", required_argument, nullptr, OPT_BLOCK},
        {"min-change", required_argument, nullptr, OPT_MIN_CHANGE},
        {"min-lost-change", required_argument, nullptr, OPT_MIN_LOST_CHANGE},
        {"threshold", required_argument, nullptr, OPT_THRESHOLD},
        {"run", required_argument, nullptr, 'r'},
        {"json", no_argument, nullptr, 'j'},
        {"svg", required_argument, nullptr, 'g'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, TARN_OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    static const char PROG[] = "tarn-latency-report";
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":r:jg:clh", long_options, nullptr)) != -1) {
        switch (c) {
        case 'r': {
            char* end = nullptr;
            errno = 0;
            const long v = strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || v < 1 || v > 1000000000) {
                print_bad_value(PROG, "--run", "run number", optarg, "1 or more");
                return -1;
            }
            o.run = static_cast<int>(v);
            break;
        }
        case 'j': o.json = true; break;
        case 'c': o.compare = true; break;
        case 'l': o.list = true; break;
        case OPT_MAX_RUNS: {
            uint64_t v = 0;
            if (!parse_count(optarg, 1, LIST_LIMIT_MAX_RUNS, v)) {
                print_bad_value(PROG, "--max-runs", "number of runs", optarg, "1 to 1000000");
                return -1;
            }
            o.max_runs = static_cast<size_t>(v);
            o.max_runs_given = true;
            break;
        }
        case OPT_SEED:
            o.bootstrap_given = true;
            if (!parse_count(optarg, 0, ~0UL, o.bootstrap.seed)) {
                print_bad_value(PROG, "--seed", "seed", optarg, "a whole number from 0");
                return -1;
            }
            break;
        case OPT_RESAMPLES: {
            o.bootstrap_given = true;
            uint64_t v = 0;
            if (!parse_count(optarg, 100, 1000000, v)) {
                print_bad_value(PROG, "--resamples", "number of resamples", optarg, "100 to 1000000");
                return -1;
            }
            o.bootstrap.resamples = static_cast<uint32_t>(v);
            break;
        }
        case OPT_BLOCK: {
            o.bootstrap_given = true;
            uint64_t v = 0;
            if (!parse_count(optarg, 1, 10000000, v)) {
                print_bad_value(PROG, "--block", "block length", optarg, "1 to 10000000 frames");
                return -1;
            }
            o.block = static_cast<uint32_t>(v);
            break;
        }
        case OPT_MIN_CHANGE:
            o.bootstrap_given = true;
            if (!parse_thousandths(optarg, 1e6, o.bootstrap.min_change_ms)) {
                print_bad_value(PROG, "--min-change", "least change", optarg, "0 to 1000000 ms");
                return -1;
            }
            break;
        case OPT_MIN_LOST_CHANGE: {
            o.bootstrap_given = true;
            int64_t k = 0;
            if (!parse_thousandths(optarg, 100, k)) {
                print_bad_value(PROG, "--min-lost-change", "least change", optarg, "0 to 100 percentage points");
                return -1;
            }
            o.bootstrap.min_change_lost = k * 10;  // thousandths of a point: millionths of the frames
            break;
        }
        case OPT_THRESHOLD: {
            std::string why;
            if (set_event_threshold(o.thresholds, optarg, why)) break;
            fprintf(stderr, "%s: --threshold: %s\n", PROG, why.c_str());
            exit(TARN_EXIT_USAGE);
        }
        case 'g': o.svg = optarg; break;
        case 'h': print_help(); exit_after_info(PROG);
        case TARN_OPT_VERSION: print_version(PROG); exit_after_info(PROG);
        default: print_bad_option(PROG, c, optopt, argv[optind - 1]); exit(TARN_EXIT_USAGE);
        }
    }
    if (o.list) {
        if (o.compare || o.run != 0 || !o.svg.empty() || o.bootstrap_given) {
            fprintf(stderr, "tarn-latency-report: --list goes with -j, --max-runs and --threshold only\n");
            return -1;
        }
        if (optind >= argc) {
            fprintf(stderr, "tarn-latency-report: --list takes one or more logs or folders\n");
            return -1;
        }
        return 0;
    }
    if (o.max_runs_given) {
        fprintf(stderr, "tarn-latency-report: --max-runs goes with --list\n");
        return -1;
    }
    if (o.compare) {
        if (argc - optind != 2) {
            fprintf(stderr, "tarn-latency-report: --compare takes two runs, A and B\n");
            return -1;
        }
        if (o.run != 0) {
            fprintf(stderr, "tarn-latency-report: with --compare name runs as FILE:N, not with --run\n");
            return -1;
        }
        return 0;
    }
    if (o.bootstrap_given) {
        fprintf(stderr, "tarn-latency-report: --seed, --resamples, --block and --min-change go with --compare\n");
        return -1;
    }
    if (optind < argc) o.path = argv[optind++];
    if (optind < argc) {
        fprintf(stderr, "tarn-latency-report: one log at a time ('%s' is one too many)\n", argv[optind]);
        return -1;
    }
    return 0;
}

// Reads the rows of run d again into plot, from its line first_line at
// offset to its last line as the first reading saw it (the inspector may
// have appended rows since). When the run's malformed lines are all listed,
// they are skipped by their numbers and only the columns the plot draws are
// read; else each line is read whole again. Returns 0 or an errno value.
int replay_run(int fd, off_t offset, size_t first_line, const run_data_t& d, run_plot_t& plot)
{
    if (lseek(fd, offset, SEEK_SET) < 0) return errno;
    const size_t lines = d.last_line - first_line + 1;
    auto bad = d.malformed_lines.begin();
    bool done = false;
    latency_log_sink sink;
    sink.stop = &done;
    if (d.malformed_lines.size() == d.malformed) sink.columns = PLOT_COLUMNS;
    sink.header = [&](size_t n, int) { done = n >= lines; };
    sink.row = [&](size_t n, int, const latency_row_t& row) {
        done = n >= lines;
        const size_t line = first_line + n - 1;
        while (bad != d.malformed_lines.end() && bad->first < line) ++bad;
        if (bad == d.malformed_lines.end() || bad->first != line) plot.add(plot_row(row));
    };
    sink.malformed = [&](size_t n, int, const char*) { done = n >= lines; };
    return read_latency_log(fd, sink);
}

// The log book of every log and folder from argv[optind] on. 1 when one
// could not be read (the others are listed) or the output failed.
int list_command(int argc, char* argv[], const options& o)
{
    run_list_t list(o.max_runs);
    uint64_t failures = 0;
    auto failed = [&](const std::string& what) {
        fprintf(stderr, "tarn-latency-report: cannot read %s\n", what.c_str());
        failures++;
    };
    for (int i = optind; i < argc; i++) list_path(argv[i], o.thresholds, list, failed);
    const std::vector<list_entry_t> runs = list.take_newest_first();
    if (o.json) {
        if (!print_json_document(list_json(runs, list.not_kept(), list.max_runs()))) {
            fprintf(stderr, "tarn-latency-report: out of memory printing the list\n");
            return 1;
        }
    } else {
        fputs(list_text(runs, list.not_kept(), list.max_runs()).c_str(), stdout);
    }
    if (fflush(stdout) != 0) {
        fprintf(stderr, "tarn-latency-report: cannot write the list: %s\n", strerror(errno));
        return 1;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    options o;
    if (parse_options(argc, argv, o) != 0) return 1;
    if (o.list) return list_command(argc, argv, o);
    if (o.compare) return compare_command(argv[optind], argv[optind + 1], o.json, o.svg, o.bootstrap, o.block);

    const int fd = open_latency_log(o.path);
    if (fd < 0) {
        fprintf(stderr, "tarn-latency-report: cannot open %s: %s\n", o.path.c_str(), strerror(errno));
        return 1;
    }

    // Runs are summarized as soon as the next begins; a run is held as its
    // statistics, not its rows. The plot needs the rows of the plotted run
    // once more (its bins depend on the run's id range, known at its end):
    // what it draws of them is kept while the run is read, 32 bytes a row:
    // every row from input that cannot be read twice (a pipe), the first
    // KEPT_ROWS rows from a regular file, whose further rows are read again.
    constexpr size_t KEPT_ROWS = size_t{1} << 20;  // 32 MiB
    // Where the rows not kept of a run begin, if it has any.
    struct rest_t {
        bool any = false;
        uint64_t offset = 0;
        size_t line = 0;
    };
    struct stat fst;
    const bool rereadable = fstat(fd, &fst) == 0 && S_ISREG(fst.st_mode);
    const off_t start = rereadable ? lseek(fd, 0, SEEK_CUR) : -1;
    run_data_t current, plotted;
    uint64_t current_offset = 0;  // where the current run's first line begins
    bool have_plotted = false;
    run_summary_t plotted_summary;
    uint64_t offset = 0;
    std::vector<plot_row_t> current_rows, plotted_rows;
    rest_t current_rest, plotted_rest;
    int runs = 0;
    size_t lines = 0;
    uint64_t malformed = 0;
    // The JSON document is written run by run, never held whole; its head
    // only once something follows it (a run, or the end of the log).
    bool json_head = false;
    std::string json_text;
    auto start_json = [&]() {
        if (json_head) return;
        fputs(json_report_head(o.path).c_str(), stdout);
        json_head = true;
    };
    bool first_text = true;
    int read_error = 0;

    auto finish = [&]() {
        if (current.run == 0 || (o.run != 0 && current.run != o.run)) return;
        // Columns with more distinct values than their statistics count one
        // by one know their percentiles to a bucket: from a file, their rows
        // are read again for the exact values; from a pipe they are printed
        // as approximate, with how far they may be off.
        if (start >= 0 && read_error == 0) {
            const off_t at = start + static_cast<off_t>(current_offset);
            read_error = refine_percentiles(
                current.stats, [&](const auto& f) { return reread_run(fd, at, current, f); }, current.exact);
        }
        run_summary_t s = summarize_run(current);
        if (o.json) {
            start_json();
            if (!json_report_run(s, first_text, json_text)) {
                fprintf(stderr, "tarn-latency-report: out of memory printing the report\n");
                exit(1);
            }
            fputs(json_text.c_str(), stdout);
            first_text = false;
        } else {
            if (!first_text) fputc('\n', stdout);
            fputs(format_run_text(s).c_str(), stdout);
            first_text = false;
        }
        if (!o.svg.empty()) {
            plotted = std::move(current);
            plotted_summary = std::move(s);
            plotted_rows = std::move(current_rows);
            plotted_rest = current_rest;
            have_plotted = true;
        }
    };
    auto begin = [&](int run, size_t line, bool header) {
        finish();
        runs = run;
        run_start_next(current, run, line, header, o.thresholds);
        current_offset = offset;
        current_rows = {};
        current_rest = {};
        // Room for every row a file's run keeps, so none is copied as they
        // come; memory is only taken as rows fill it.
        if (!o.svg.empty() && start >= 0 && (o.run == 0 || run == o.run)) current_rows.reserve(KEPT_ROWS);
        // Without --run each run is plotted in turn: the one before is not
        // any more once this one begins.
        if (o.run == 0) plotted_rows = {};
        // Runs not asked for are only counted.
        if (o.run != 0 && run != o.run) current.run = -run;
    };
    auto keep = [&](size_t line, const latency_row_t& row) {
        if (current_rest.any) return;
        if (start >= 0 && current_rows.size() == KEPT_ROWS) {
            current_rest = {true, offset, line};
            return;
        }
        current_rows.push_back(plot_row(row));
    };

    // Times of day of the rows, where the log has them beside it (written
    // by tarn-vrx-top -s); else the runs' times come from the frame rate.
    latency_times_reader_t times;
    if (start >= 0) times.open(latency_times_path(o.path));
    auto wall_of_row = [&]() { return times.wall_at(static_cast<int64_t>(start) + static_cast<int64_t>(offset)); };

    latency_log_sink sink;
    sink.offset = &offset;
    sink.header = [&](size_t line, int run) {
        lines = line;
        begin(run, line, true);
    };
    sink.row = [&](size_t line, int run, const latency_row_t& row) {
        lines = line;
        if (run != runs) begin(run, line, false);
        const int64_t wall = wall_of_row();
        if (current.run > 0) {
            run_add_row(current, line, row, wall);
            if (!o.svg.empty()) keep(line, row);
        }
    };
    sink.malformed = [&](size_t line, int run, const char* why) {
        lines = line;
        if (run != runs) begin(run, line, false);
        malformed++;
        if (current.run > 0) run_add_malformed(current, line, why);
    };
    int err = read_latency_log(fd, sink);
    if (err == 0) finish();
    if (err == 0) err = read_error;
    if (err != 0) {
        fprintf(stderr, "tarn-latency-report: cannot read %s: %s\n", o.path.c_str(), strerror(err));
        if (fd != STDIN_FILENO) close(fd);
        return 1;
    }

    if (o.run > runs) {
        fprintf(stderr, "tarn-latency-report: %s holds %d run%s, there is no run %d\n", o.path.c_str(), runs,
                runs == 1 ? "" : "s", o.run);
        return 1;
    }
    if (o.json) {
        start_json();
        fputs(json_report_tail(runs, lines, malformed).c_str(), stdout);
        fputc('\n', stdout);
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
            if (fd != STDIN_FILENO) close(fd);
            return 1;
        }
        const id_tracker_t& ids = plotted.stats.ids();
        run_plot_t plot(ids.low, ids.high);
        for (const plot_row_t& r : plotted_rows) plot.add(r);
        if (plotted_rest.any) {
            const off_t at = start + static_cast<off_t>(plotted_rest.offset);
            if (const int e = replay_run(fd, at, plotted_rest.line, plotted, plot)) {
                fprintf(stderr, "tarn-latency-report: cannot read %s: %s\n", o.path.c_str(), strerror(e));
                if (fd != STDIN_FILENO) close(fd);
                return 1;
            }
        }
        if (fd != STDIN_FILENO) close(fd);
        std::string why;
        if (!write_text_file(o.svg, render_run_svg(plotted, plot, plotted_summary, o.path), why)) {
            fprintf(stderr, "tarn-latency-report: cannot write %s: %s\n", o.svg.c_str(), why.c_str());
            return 1;
        }
        return 0;
    }
    if (fd != STDIN_FILENO) close(fd);
    return 0;
}
