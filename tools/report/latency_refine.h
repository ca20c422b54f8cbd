// Exact percentiles for the columns of a run that counted their values in
// buckets (value_histogram_t past its bound on distinct values): the rows of
// the run are read again, each time counting exactly only the values that
// lie in the bucket a rank fell in, until every rank is known.
#ifndef TARN_LATENCY_REFINE_H
#define TARN_LATENCY_REFINE_H

#include <cstdint>
#include <functional>

#include "latency_stats.h"

// The series of a run with percentiles: every column, then the receiver
// latency of I-frames and of P-frames alone.
constexpr int RUN_SERIES = STAT_COLUMN_COUNT + 2;
constexpr int SERIES_VRX_I = STAT_COLUMN_COUNT, SERIES_VRX_P = STAT_COLUMN_COUNT + 1;
const value_histogram_t& series_histogram(const latency_stats_t& st, int series);
// The value a sample gives series (NaN when it gives none).
double series_value(const stat_sample_t& s, int series);

// p50, p95 and p99 of each series, where they were counted again exactly.
struct exact_percentiles_t {
    bool known[RUN_SERIES] = {};
    double p[RUN_SERIES][3] = {};
};

// Reads the run's rows again, in the order of the first reading, passing
// each to the function given; returns 0 or an errno value.
using run_rereader = std::function<int(const std::function<void(const stat_sample_t&)>&)>;

// Values counted exactly in one bucket during a reading again, at most: a
// hash table of 128 KB. A bucket holding more is split into buckets again,
// each reading narrowing the one a rank lies in by about 2^11: 64-bit keys
// need at most 6 readings; values of a log (thousandths, clustered) 1 or 2.
constexpr size_t REFINE_DISTINCT = size_t{1} << 12;
constexpr int REFINE_MAX_READINGS = 8;

// Finds p50, p95 and p99 exactly of every series of st not counted exactly,
// reading the run again as often as needed (none when every series is
// exact). Memory: at most 3 buckets per series counted at once, each at most
// REFINE_DISTINCT values (about 200 KB with its dense block): 8.4 MB for all
// 14 series. Returns 0 or the errno value of a failed reading; should the
// rows read again not be those counted (the file changed), a series stays
// unknown. *readings (may be null) gets the number of readings done.
int refine_percentiles(const latency_stats_t& st, const run_rereader& reread, exact_percentiles_t& out,
                       int* readings = nullptr);

#endif
