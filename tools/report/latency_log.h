// Reading the inspector's CSV log ("/data/tarn-inspect-vrx.csv"): one header
// line per run of the inspector, then one line per row it showed. Shared by
// tarn-latency-report and the replay mode of tarn-vrx-sim.
#ifndef TARN_LATENCY_LOG_H
#define TARN_LATENCY_LOG_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "inspect_vrx.h"

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

// Collects the rows of run number run (1 = first, 0 = the last) of the log
// at path, and the number of its malformed lines. Returns an empty string,
// or the reason in words.
std::string load_latency_run(const std::string& path, int run, std::vector<latency_row_t>& rows,
                             size_t* malformed = nullptr);

#endif
