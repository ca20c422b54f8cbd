// The log book: one line per run of many logs (tarn-latency-report --list),
// each run summarized by the report's engine, newest first.
#ifndef TARN_LATENCY_LIST_H
#define TARN_LATENCY_LIST_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "latency_report.h"

// What the log book keeps of one run: about 200 bytes and its log's path.
struct list_entry_t {
    std::string log;
    int run = 0;
    int64_t start_wall = -1;  // ms since 1970 from the log's times file, else -1
    int64_t order_ms = 0;     // newest first: start_wall, else the log's change time
    double duration_s = 0;    // from the run's ids and frame rate
    uint64_t frames = 0, missing = 0;
    column_stats_t vrx;
    uint64_t event_counts[EV_KIND_COUNT] = {};
};
// Lost frames: missing ids over frames and missing ids, in percent.
double list_lost_pct(const list_entry_t& e);

// The runs of many logs, at most max_runs kept (the newest; a heap of
// entries, so memory is max_runs entries whatever the number of logs).
constexpr size_t LIST_DEFAULT_MAX_RUNS = 10000;
constexpr size_t LIST_LIMIT_MAX_RUNS = 1000000;
class run_list_t {
public:
    explicit run_list_t(size_t max_runs) : max_(max_runs) {}
    void add(list_entry_t e);
    // Newest first; empties the list.
    std::vector<list_entry_t> take_newest_first();
    uint64_t not_kept() const { return dropped_; }
    size_t max_runs() const { return max_; }

private:
    size_t max_;
    std::vector<list_entry_t> heap_;  // the oldest on top
    uint64_t dropped_ = 0;
};

// Adds every run of the log at path (a regular file; its times file beside
// it gives the times of day) to list, summarized as the report summarizes
// it. Empty string, or the reason the log could not be read.
std::string list_log(const std::string& path, const event_thresholds_t& thresholds, run_list_t& list);
// A file: list_log; a folder: list_log for each regular *.csv file in it
// (not its subfolders), read entry by entry. Each log that cannot be read
// is passed to failed ("PATH: reason") at once, never gathered.
void list_path(const std::string& path, const event_thresholds_t& thresholds, run_list_t& list,
               const std::function<void(const std::string&)>& failed);

std::string list_text(const std::vector<list_entry_t>& runs, uint64_t not_kept, size_t max_runs);
// A new JSON document ({"runs": [...], "listed", "not_listed", "max_runs"});
// the caller owns it.
cJSON* list_json(const std::vector<list_entry_t>& runs, uint64_t not_kept, size_t max_runs);

#endif
