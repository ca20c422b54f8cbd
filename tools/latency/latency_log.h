// The CSV log of the latency record ("/data/tarn-inspect-vrx.csv"): one
// header line per run of the program that writes it, then one line per row
// it showed. Written by tarn-inspect-vrx -s and tarn-vrx-top -s, read by
// tarn-latency-report and the replay mode of tarn-vrx-sim.
#ifndef TARN_LATENCY_LOG_H
#define TARN_LATENCY_LOG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "latency_record.h"
#include "tarn_common.h"

// ---- Writing ----------------------------------------------------------------

// The log as one run of a writer appends to it.
struct csv_log_t {
    const char* path = nullptr;
    bool header_written = false;  // this run's header line is in the file
    bool failing = false;         // the last append failed (reported once)
    // Where the last append's lines began in a regular file (-1: a stream,
    // or the append failed).
    int64_t lines_at = -1;
};

// The times of a log (tarn-vrx-top -s): PATH.times beside it, a comment
// line and then "OFFSET MS" lines: the row that begins at byte OFFSET of
// the log arrived at MS (milliseconds since 1970, UTC). Written at the
// first row of each run and then about once a second; the rows in between
// take their times from the frame rate. The CSV itself stays the
// inspector's, so any CSV reader reads it as before.
std::string latency_times_path(const std::string& log_path);
// Appends one line (and the comment line first when the file is new)
// through the output-file open. False on failure (said once on stderr,
// with `failing` as csv_append does).
bool times_append(const std::string& path, bool& failing, int64_t offset, int64_t wall_ms);
// Reads the times file line by line: next() gives the next anchor, false
// at the end or on a line it cannot read (what follows it is not trusted).
class latency_times_reader_t {
public:
    // Opens a regular file for reading; false when there is none.
    bool open(const std::string& path);
    bool next(int64_t& offset, int64_t& wall_ms);
    // The time of the row that begins at byte offset, or -1 when no anchor
    // names that row. Asked with offsets that only grow, as rows are read.
    int64_t wall_at(int64_t offset);
    ~latency_times_reader_t();

private:
    FILE* f_ = nullptr;
    bool started_ = false, have_ = false;
    int64_t at_ = 0, ms_ = 0;  // the next anchor not yet passed
};

// Appends lines (whole lines, from append_csv_line) to the log, with the
// run's header line first if it is not written yet. The file is opened for
// each call (out_file.h: no link of another user followed, no file of
// theirs written; a FIFO or device the user put there is written too) and
// closed again. On a full disk every whole line that fitted stays and only
// a torn last line is cut back. A failure prints one "ERROR: cannot write
// PATH: reason" line on stderr (once until it works again) and gives false.
bool csv_append(csv_log_t& log, const char* lines, size_t len);

// ---- Reading ----------------------------------------------------------------

// One row of the log: the record's members the log holds (the magic number
// and battery voltage stay 0), the average the inspector showed, and the
// frame type as the code that makes the inspector print the same text
// again, with the codec the text names and the kind of frame it names.
struct latency_row_t : vrx_latency_packet_t {
    float avg_latency_ms;
    venc_mode_t codec;
    frame_kind_e kind;
};

// A set of the record table's columns: bit i is LATENCY_COLUMNS[i].
using latency_columns_t = uint32_t;
constexpr latency_columns_t LATENCY_ALL_COLUMNS = ~latency_columns_t{0};
static_assert(LATENCY_COLUMN_COUNT <= 32, "a column set holds every column");
constexpr latency_columns_t latency_column_bit(size_t table_index)
{
    return latency_columns_t{1} << table_index;
}

// Parses one line (no line end; a trailing '\r' is allowed) into row.
// Returns nullptr on success, else a short static text saying what is wrong.
// Only the columns in `columns` are read: the others are stepped over
// unchecked and their members left as they were, so a line read with fewer
// columns is only known to be a row when it was accepted whole before.
const char* parse_latency_line(std::string_view line, latency_row_t& row,
                               latency_columns_t columns = LATENCY_ALL_COLUMNS);

// The latency record a row came from, as far as the log tells: magic number
// set, battery voltage 0 (the log has none).
vrx_latency_packet_t latency_row_to_record(const latency_row_t& row);

// Events of a log read line by line. Line numbers start at 1; runs are
// numbered from 1 in file order: each header line starts the next run, and
// lines before the first header make a run of their own.
struct latency_log_sink {
    std::function<void(size_t line, int run)> header;
    std::function<void(size_t line, int run, const latency_row_t& row)> row;
    std::function<void(size_t line, int run, const char* reason)> malformed;
    // When set: during every call above, the byte offset of the line's start
    // from where reading began.
    uint64_t* offset = nullptr;
    // When set: reading ends after the call that made it true.
    const bool* stop = nullptr;
    // The columns read of every row (see parse_latency_line).
    latency_columns_t columns = LATENCY_ALL_COLUMNS;
};

// Reads a log from fd to its end, calling sink for every line. Lines longer
// than LATENCY_LOG_MAX_LINE are malformed (nothing the inspector writes is
// near that). Returns 0, or an errno value when a read fails.
constexpr size_t LATENCY_LOG_MAX_LINE = 4096;
int read_latency_log(int fd, const latency_log_sink& sink);

// Opens path ("-" is standard input) for reading. Returns the descriptor, or
// -1 with errno set. The caller closes it (not standard input).
int open_latency_log(const std::string& path);

// What read_latency_run passes on of one run of a log.
struct latency_run_sink {
    std::function<void()> restart;  // forget what was kept: another run starts
    std::function<void(const latency_row_t& row)> row;
    std::function<void()> malformed;
    latency_columns_t columns = LATENCY_ALL_COLUMNS;  // read of every row
};
// Where a run lies in its log: the byte offsets of its first line and of
// the line after its last (the end of the log for the last run).
struct latency_run_place_t {
    uint64_t begin = 0, end = 0;
};
// Reads the log at path ("-": standard input) and passes the rows and
// malformed lines of run number run (1 = first, 0 = the last) to sink.
// Returns an empty string, or the reason in words (no such run, the log
// cannot be read); *chosen (may be null) gets the run's number, *place (may
// be null) where it lies, so that a second reading can go straight there.
std::string read_latency_run(const std::string& path, int run, const latency_run_sink& sink, int* chosen = nullptr,
                             latency_run_place_t* place = nullptr);

// Collects the rows of run number run (1 = first, 0 = the last) of the log
// at path, and the number of its malformed lines. Returns an empty string,
// or the reason in words.
std::string load_latency_run(const std::string& path, int run, std::vector<latency_row_t>& rows,
                             size_t* malformed = nullptr);

#endif
