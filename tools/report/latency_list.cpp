#include "latency_list.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <utility>

#include <fmt/format.h>

namespace {

// Newest first: the later time, then the later log name, then the later run.
bool newer(const list_entry_t& a, const list_entry_t& b)
{
    return std::tie(a.order_ms, a.log, a.run) > std::tie(b.order_ms, b.log, b.run);
}

list_entry_t entry_of(const std::string& path, int64_t changed_ms, const run_data_t& d)
{
    const run_summary_t s = summarize_run(d);
    list_entry_t e;
    e.log = path;
    e.run = s.run;
    e.start_wall = s.start_wall;
    e.order_ms = s.start_wall >= 0 ? s.start_wall : changed_ms;
    e.duration_s = d.t_ms / 1000.0;
    e.frames = s.frames;
    e.missing = s.missing;
    e.vrx = s.columns[STAT_VRX];
    std::copy(s.event_counts, s.event_counts + EV_KIND_COUNT, e.event_counts);
    return e;
}

std::string ms_text(const column_stats_t& c, double v)
{
    return c.n == 0 ? std::string("-") : fmt::format("{}{:.3f}", c.pct_error > 0 ? "~" : "", v);
}

std::string events_text(const list_entry_t& e)
{
    std::string out;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        if (e.event_counts[k] > 0)
            out += fmt::format("{}{} {}", out.empty() ? "" : ", ", event_kind_name(static_cast<event_kind_e>(k)),
                               e.event_counts[k]);
    return out.empty() ? "-" : out;
}

bool ends_with_csv(const char* name)
{
    const size_t n = strlen(name);
    return n > 4 && strcmp(name + n - 4, ".csv") == 0;
}

}  // namespace

double list_lost_pct(const list_entry_t& e)
{
    const uint64_t all = e.frames + e.missing;
    return all == 0 ? 0.0 : 100.0 * static_cast<double>(e.missing) / static_cast<double>(all);
}

void run_list_t::add(list_entry_t e)
{
    auto older_on_top = [](const list_entry_t& a, const list_entry_t& b) { return newer(a, b); };
    if (heap_.size() == max_) {
        if (max_ == 0 || !newer(e, heap_.front())) {
            dropped_++;
            return;
        }
        std::pop_heap(heap_.begin(), heap_.end(), older_on_top);
        heap_.pop_back();
        dropped_++;
    }
    heap_.push_back(std::move(e));
    std::push_heap(heap_.begin(), heap_.end(), older_on_top);
}

std::vector<list_entry_t> run_list_t::take_newest_first()
{
    std::vector<list_entry_t> out = std::move(heap_);
    heap_.clear();
    std::sort(out.begin(), out.end(), newer);
    return out;
}

std::string list_log(const std::string& path, const event_thresholds_t& thresholds, run_list_t& list)
{
    const int fd = open_latency_log(path);
    if (fd < 0) return strerror(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return "not a regular file";
    }
    const int64_t changed_ms = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;

    // As the report reads a log: runs summarized as the next begins, the
    // times of day from the times file, a run's baseline carried into the
    // next when it is the same flight, percentiles made exact by reading
    // the run again.
    latency_times_reader_t times;
    times.open(latency_times_path(path));
    uint64_t offset = 0, current_offset = 0;
    run_data_t current;
    int runs = 0, read_error = 0;
    auto finish = [&]() {
        if (current.run == 0) return;
        if (read_error == 0)
            read_error = refine_percentiles(
                current.stats,
                [&](const auto& f) { return reread_run(fd, static_cast<off_t>(current_offset), current, f); },
                current.exact);
        list.add(entry_of(path, changed_ms, current));
    };
    auto begin = [&](int run, size_t line, bool header) {
        finish();
        runs = run;
        run_start_next(current, run, line, header, thresholds);
        current_offset = offset;
    };
    latency_log_sink sink;
    sink.offset = &offset;
    sink.header = [&](size_t line, int run) { begin(run, line, true); };
    sink.row = [&](size_t line, int run, const latency_row_t& row) {
        if (run != runs) begin(run, line, false);
        run_add_row(current, line, row, times.wall_at(static_cast<int64_t>(offset)));
    };
    sink.malformed = [&](size_t line, int run, const char* why) {
        if (run != runs) begin(run, line, false);
        run_add_malformed(current, line, why);
    };
    int err = read_latency_log(fd, sink);
    if (err == 0) finish();
    if (err == 0) err = read_error;
    close(fd);
    return err == 0 ? std::string() : strerror(err);
}

void list_path(const std::string& path, const event_thresholds_t& thresholds, run_list_t& list,
               const std::function<void(const std::string&)>& failed)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) {
            failed(fmt::format("{}: {}", path, strerror(errno)));
            return;
        }
        const std::string prefix = path.back() == '/' ? path : path + "/";
        while (const dirent* ent = readdir(dir)) {
            if (!ends_with_csv(ent->d_name)) continue;
            const std::string file = prefix + ent->d_name;
            struct stat fst;
            if (stat(file.c_str(), &fst) != 0 || !S_ISREG(fst.st_mode)) continue;
            const std::string why = list_log(file, thresholds, list);
            if (!why.empty()) failed(fmt::format("{}: {}", file, why));
        }
        closedir(dir);
        return;
    }
    const std::string why = list_log(path, thresholds, list);
    if (!why.empty()) failed(fmt::format("{}: {}", path, why));
}

std::string list_text(const std::vector<list_entry_t>& runs, uint64_t not_kept, size_t max_runs)
{
    std::string out = fmt::format("{:<24} {:>10} {:>8} {:>7} {:>9} {:>9} {:>9}  {:<24} {}\n", "start (UTC)", "duration",
                                  "frames", "lost %", "vrx p50", "p95", "p99 ms", "events", "log:run");
    for (const list_entry_t& e : runs) {
        const std::string when = e.start_wall >= 0 ? iso_time_ms(e.start_wall) : "-";
        out += fmt::format("{:<24} {:>8.1f} s {:>8} {:>7.2f} {:>9} {:>9} {:>9}  {:<24} {}:{}\n", when, e.duration_s,
                           e.frames, list_lost_pct(e), ms_text(e.vrx, e.vrx.p50), ms_text(e.vrx, e.vrx.p95),
                           ms_text(e.vrx, e.vrx.p99), events_text(e), e.log, e.run);
    }
    if (not_kept > 0)
        out += fmt::format("{} older run{} not listed (at most {} are kept)\n", not_kept, not_kept == 1 ? "" : "s",
                           max_runs);
    return out;
}

cJSON* list_json(const std::vector<list_entry_t>& runs, uint64_t not_kept, size_t max_runs)
{
    cJSON* doc = cJSON_CreateObject();
    cJSON* arr = cJSON_AddArrayToObject(doc, "runs");
    for (const list_entry_t& e : runs) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "log", e.log.c_str());
        cJSON_AddNumberToObject(o, "run", e.run);
        if (e.start_wall >= 0)
            cJSON_AddStringToObject(o, "start_time", iso_time_ms(e.start_wall).c_str());
        else
            cJSON_AddNullToObject(o, "start_time");
        cJSON_AddItemToObject(o, "duration_s", json_number(e.duration_s, 3));
        cJSON_AddNumberToObject(o, "frames", static_cast<double>(e.frames));
        cJSON_AddNumberToObject(o, "missing_ids", static_cast<double>(e.missing));
        cJSON_AddItemToObject(o, "lost_pct", json_number(list_lost_pct(e), 6));
        auto ms = [&](const char* key, double v) {
            cJSON_AddItemToObject(o, key, e.vrx.n > 0 ? json_number(v, 3) : cJSON_CreateNull());
        };
        ms("vrx_p50_ms", e.vrx.p50);
        ms("vrx_p95_ms", e.vrx.p95);
        ms("vrx_p99_ms", e.vrx.p99);
        cJSON_AddItemToObject(o, "vrx_percentile_error_ms", json_number(e.vrx.pct_error, 6));
        cJSON* evs = cJSON_AddObjectToObject(o, "events");
        for (int k = 0; k < EV_KIND_COUNT; k++)
            cJSON_AddNumberToObject(evs, event_kind_name(static_cast<event_kind_e>(k)),
                                    static_cast<double>(e.event_counts[k]));
        cJSON_AddItemToArray(arr, o);
    }
    cJSON_AddNumberToObject(doc, "listed", static_cast<double>(runs.size()));
    cJSON_AddNumberToObject(doc, "not_listed", static_cast<double>(not_kept));
    cJSON_AddNumberToObject(doc, "max_runs", static_cast<double>(max_runs));
    return doc;
}
