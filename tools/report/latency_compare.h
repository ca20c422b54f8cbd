// Comparison of two runs of the inspector's log: percentiles and means of
// the latencies of run A and run B, the difference B - A and its 95 %
// interval from a moving-block bootstrap, and the same for the share of
// lost frames. Values are kept as whole thousandths of a millisecond (the
// log's three decimals), so every figure is an exact integer.
#ifndef TARN_LATENCY_COMPARE_H
#define TARN_LATENCY_COMPARE_H

#include <cJSON.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "latency_log.h"
#include "latency_record.h"

// Figures compared, in the order they are printed: the latency series
// (latency_record.h), with their titles and JSON keys.
constexpr int CMP_METRICS = SER_COUNT;

// Statistics compared for each figure.
enum compare_stat_e { ST_P50, ST_P95, ST_P99, ST_MEAN, ST_COUNT };
extern const char* const COMPARE_STAT_NAMES[ST_COUNT];  // "p50" ... "mean"

// A value that is not there (statistics of no values).
constexpr int64_t NO_VALUE = INT64_MIN;
// A value of the log that is left out (not finite, or beyond +-2,000,000 ms).
constexpr int32_t NOT_A_VALUE = INT32_MIN;

// One run held compactly: per frame (row, in log order) the value of each
// figure in thousandths of a millisecond, NOT_A_VALUE where the frame has
// none; and the run's sample ids. The figures of one kind of frame (VRX
// latency of I-frames, of P-frames) are not held: they are the VRX values
// of the frames of that kind (compare_value).
//
// A run of a regular file longer than the frames held whole
// (compare_options_t::hold_frames) holds only its VRX values: the other
// figures are read again from the log, one at a time, when they are
// resampled (reread_compare_series), from where the first reading found
// the run (place).
struct compare_run_t {
    std::string log;  // as named on the command line
    int run = 0;      // its number in the log
    uint64_t frames = 0;
    uint64_t malformed = 0;
    std::vector<int32_t> values[CMP_METRICS];  // frames each; empty for the figures of one kind of frame
    bool reread = false;                       // only VRX held: the others are read again from place
    latency_run_place_t place;                 // where the run lies in its log
    std::vector<uint8_t> kinds;                // per frame, its frame_kind_e
    // Frames per bootstrap block of the latencies and of the lost frames:
    // estimated from the run's VRX latency and id steps (block_length).
    uint32_t block = 60;
    uint32_t id_block = 60;
    // The same estimates' sum |k| r(k) / sum r(k) over the autocovariances
    // r of each series, in frames: a moving-block bootstrap's variance falls
    // short of the true one by about this over the block length
    // (replicate_spread).
    double lag = 0, id_lag = 0;
    double median_fps = 0;                     // 0 when the run has no usable FPS
    // Sample ids in the run's unwrapped numbering: lowest, highest, and the
    // missing ones as sorted disjoint ranges [first, last].
    int64_t id_low = 0, id_high = -1;
    std::vector<std::pair<int64_t, int64_t>> gaps;
    uint64_t missing = 0;
    // Per frame, what its id did to the count of missing ids: k for an id k
    // past the highest (or lowest) one seen plus one, -1 for a late id filling
    // a gap, 0 next to the last; ID_REPEAT for an id seen before. The lost
    // frames are resampled in blocks of these, so their cost follows the
    // frames, not the span of the ids.
    struct id_steps_t {
        // A byte a frame: the step itself from -1 to ID_CODE_BIG - 1,
        // ID_CODE_BIG for a larger one (the next in big), ID_CODE_REPEAT.
        std::vector<int8_t> code;
        std::vector<int32_t> big;  // the larger steps, in frame order
        void clear();
        void push(int32_t step);
        size_t size() const { return code.size(); }
    } id_steps;
};
constexpr int32_t ID_REPEAT = INT32_MIN;
constexpr int8_t ID_CODE_BIG = 127, ID_CODE_REPEAT = -128;

// The value of figure m of frame i of r (NOT_A_VALUE where it has none), and
// all of them in frame order.
int32_t compare_value(const compare_run_t& r, int m, uint64_t i);
std::vector<int32_t> compare_series(const compare_run_t& r, int m);

// Reads run number run (1 = first; 0 = the last) of the log at path ("-" is
// standard input) into r. Returns an empty string, or the reason in words.
// A run of a regular file of more than hold_frames frames keeps only its
// VRX values, kinds and id steps (r.reread): 6 bytes a frame instead of 26.
// Standard input or a FIFO is read once: all of it is held, whatever its
// length (26 bytes a frame).
std::string load_compare_run(const std::string& path, int run, compare_run_t& r, uint64_t hold_frames = UINT64_MAX);
// Reads figure m (one that is not of one kind of frame) of run r again from
// its log into values, a value a frame, from where r.place says the run lies
// and for no more lines than the first reading found there. Returns an empty
// string, or the reason in words: the log cannot be read, or it changed (the
// run no longer holds r.frames frames and r.malformed malformed lines).
std::string reread_compare_series(const compare_run_t& r, int m, std::vector<int32_t>& values);
// Fills r from values given per frame (tests, benchmarks): metric m of frame
// i is values[m][i]; ids are the frames' sample ids in order. A frame is an
// I- or P-frame when it has a value in that figure (which is taken to be its
// VRX value).
void make_compare_run(compare_run_t& r, const std::vector<std::vector<int32_t>>& values,
                      const std::vector<uint32_t>& ids);

// "FILE" or "FILE:N". A trailing ":N" (N a whole number from 1) names run N
// unless the whole text names an existing file. Returns false for ":0" and
// the like, with the reason in why.
bool parse_run_arg(const std::string& arg, std::string& path, int& run, std::string& why);

// Block length for the moving-block bootstrap of a series, estimated as
// Politis and White (2004) propose with the correction of Patton, Politis
// and White (2009): b = (2 G^2 / D)^(1/3) n^(1/3), with G and D from the
// series' autocovariances under a flat-top lag window. The autocovariances
// come from at most BLOCK_ESTIMATE_SPAN values in the middle of the series
// (bounded cost: about 300 lags over 65,536 values); n is the whole length.
// Then bounded below by one second of frames (frames_per_second) and above
// by a tenth of the run (n / 10, at least 1). Returns the raw estimate in
// *raw and G / g0 (sum |k| r(k) / sum r(k), in frames) in *lag when not
// null.
// The estimate is multiplied by BLOCK_FACTOR first: Politis and White's
// length minimises the mean squared error of the bootstrap variance, which
// leaves a bias of about lag / length (replicate_spread corrects it as far
// as the estimated lag goes); longer blocks halve what the correction must
// carry, at the cost of fewer blocks, which the intervals' degrees of
// freedom take into account.
constexpr size_t BLOCK_ESTIMATE_SPAN = 65536;
constexpr double BLOCK_FACTOR = 1.5;
uint32_t block_length(const std::vector<double>& series, uint64_t frames, double frames_per_second,
                      double* raw = nullptr, double* lag = nullptr);
// Sets r.block and r.id_block from the run's values and id steps.
void estimate_blocks(compare_run_t& r);

constexpr uint64_t COMPARE_HOLD_FRAMES = uint64_t{1} << 22;

// Bootstrap settings.
struct compare_options_t {
    uint64_t seed = 1;
    uint32_t resamples = 2000;
    unsigned threads = 0;  // 0: as many as the machine has, at most 2
    // Half-width of the search window around each percentile, in standard
    // deviations of a resample's count below it (see latency_compare.cpp);
    // 0 makes every resample take the full path (for tests of that path).
    double window_sd = 4.0;
    // Figures bootstrapped, one bit per compare_metric_e (the others get
    // point estimates only), and whether lost frames are.
    uint32_t metrics = (1u << CMP_METRICS) - 1;
    bool lost = true;
    // Smallest change that counts in the headline: thousandths of a
    // millisecond for latencies, millionths of the frames for lost frames.
    int64_t min_change_ms = 500;
    int64_t min_change_lost = 5000;
    // Runs of a regular file up to this many frames are held whole; longer
    // ones have their figures but VRX read again one at a time
    // (load_compare_run). Held whole, a run takes 26 bytes a frame and the
    // figure being resampled 16 more (block sums): about 176 MB at this
    // length, less than a run read again takes at 10^7 frames (222 MB
    // measured).
    uint64_t hold_frames = COMPARE_HOLD_FRAMES;
};

// A run must hold this many blocks for a figure to be judged, and a
// percentile this many values above its rank.
constexpr uint64_t MIN_BLOCKS = 10;
constexpr uint64_t MIN_BEYOND_RANK = 10;

// What a row says of its figure.
enum compare_verdict_e {
    V_NONE,          // no interval (a run without values of the figure)
    V_TOO_SHORT,     // a run too short to judge: values and difference only
    V_NO_CHANGE,     // the 95 % interval holds 0
    V_REAL_SMALL,    // it excludes 0, the change is below the minimum
    V_REAL_CHANGE,   // it excludes 0 and the change reaches the minimum
};
extern const char* const COMPARE_VERDICT_TEXT[];  // "", "too short to judge", ...
extern const char* const COMPARE_VERDICT_KEY[];   // null, "too_short", ...

// The headline looks at these figures: VRX latency p50, p95, p99 and mean,
// and lost frames. Each gets an interval at 1 - 0.05 / HEADLINE_FIGURES
// (Bonferroni), so the chance that the headline names a change where there
// is none is at most 5 % over all of them.
constexpr int HEADLINE_FIGURES = 5;

struct compare_figure_t {
    int64_t a = NO_VALUE, b = NO_VALUE;       // thousandths
    int64_t diff = NO_VALUE;                  // b - a
    int64_t low = NO_VALUE, high = NO_VALUE;  // 95 % interval of the difference
    bool real = false;                        // the interval excludes 0
    compare_verdict_e verdict = V_NONE;
    // Headline figures: the interval at 99 % (1 - 0.05 / HEADLINE_FIGURES),
    // and whether the headline names the change.
    int64_t hl_low = NO_VALUE, hl_high = NO_VALUE;
    bool headline = false;
};
struct compare_result_t {
    uint64_t count_a[CMP_METRICS] = {}, count_b[CMP_METRICS] = {};  // values compared
    compare_figure_t fig[CMP_METRICS][ST_COUNT];
    // Lost frames, in millionths of the frames sent (missing / (ids seen + missing)).
    compare_figure_t lost;
    uint64_t fallbacks = 0;  // resample statistics found by the full path
};

// The comparison's answer in one line: "B is slower: VRX p95 +5.410 ms
// (+4.120 .. +6.800), ...", "no meaningful change" or "too short to judge".
std::string compare_headline(const compare_result_t& c);

// Point estimates and bootstrap intervals of a against b.
compare_result_t compare_runs(const compare_run_t& a, const compare_run_t& b, const compare_options_t& o);

// The same in two steps, so that only one run's frames need be held at a
// time: each run's point estimates and bootstrap replicates (which: 0 for
// A, 1 for B), then the comparison of the two sides, which reads of the
// runs only their counts, ids and block lengths (release_frames may have
// freed their frames).
struct compare_side_t {
    std::vector<int64_t> rep[CMP_METRICS];  // as bootstrap_metric gives them
    int64_t point[CMP_METRICS][ST_COUNT] = {};
    uint64_t count[CMP_METRICS] = {};
    std::vector<int64_t> lost;  // as bootstrap_lost gives them
    uint64_t fallbacks = 0;
};
compare_side_t bootstrap_side(const compare_run_t& x, int which, const compare_options_t& o);
compare_result_t compare_sides(const compare_run_t& a, const compare_side_t& sa, const compare_run_t& b,
                               const compare_side_t& sb, const compare_options_t& o);
// Frees the frames of r (values, kinds, id steps), all but the VRX values
// when keep_vrx (the plot draws them).
void release_frames(compare_run_t& r, bool keep_vrx);
// bootstrap_side for a run that may hold only its VRX values (r.reread),
// freeing the frames as it goes: the lost frames first (then the id steps
// go), the VRX figures (then the kinds and, but when keep_vrx and the run
// is held whole, the VRX values), then each other figure, read again when
// it is not held and freed after its resampling. So one figure's values are
// held at a time beside its block sums. Returns an empty string, or why a
// figure could not be read again (r's frames then partly freed).
std::string bootstrap_run(compare_run_t& r, int which, const compare_options_t& o, bool keep_vrx,
                          compare_side_t& side);

// The bootstrap replicates themselves, one per resample: metric m's
// statistics (ST_P50..ST_MEAN) of resample r of run x at out[r * ST_COUNT + s].
// NO_VALUE where the resample holds no value of the metric. Adds the number
// of statistics found by the full path to fallbacks; gives the statistics of
// the run itself in point (ST_COUNT) and its number of values in count.
void bootstrap_metric(const compare_run_t& x, int m, int which, const compare_options_t& o, std::vector<int64_t>& out,
                      uint64_t* fallbacks = nullptr, int64_t* point = nullptr, uint64_t* count = nullptr);
// Lost frames of each resample of run x's frames (blocks of x.block frames
// with the id steps they carry), in millionths: the missing ids over the
// ids the resample spans. Time and memory linear in the frames.
void bootstrap_lost(const compare_run_t& x, int which, const compare_options_t& o, std::vector<int64_t>& out);

// The random numbers of the bootstrap, exposed so tests can rebuild the
// resamples: xoshiro256** seeded through splitmix64 from (seed, resample,
// stream). Stream 0/1: frame blocks of run A/B; 2/3: id blocks of A/B.
struct compare_rng_t {
    uint64_t s[4];
    compare_rng_t(uint64_t seed, uint64_t resample, uint64_t stream);
    uint64_t next();
    uint64_t below(uint64_t bound);  // uniform in [0, bound), bound > 0
};
// Block starts of one resample of a sequence of n items in blocks of len:
// ceil(n / len) starts uniform in [0, n - len]; the last block is cut so the
// resample holds n items again.
void block_starts(compare_rng_t& rng, uint64_t n, uint64_t len, std::vector<uint64_t>& starts);

// Nearest-rank percentile as the report takes it, on sorted values.
int64_t nearest_rank_sorted(const std::vector<int32_t>& sorted, uint64_t num, uint64_t den);
// Mean of count values summing to sum, rounded to the nearest thousandth
// (halves away from zero).
int64_t rounded_mean(int64_t sum, uint64_t count);
// The 95 % interval of the replicates' differences: the values of rank
// ceil(0.025 R) and R + 1 - ceil(0.025 R) among the R sorted ones.
bool percentile_interval(std::vector<int64_t>& diffs, int64_t& low, int64_t& high);
// The same at level 1 - alpha_per_mille / 1000: ranks ceil(alpha/2 R) and
// R + 1 - that.
bool percentile_interval(std::vector<int64_t>& diffs, int64_t& low, int64_t& high, uint64_t alpha_per_mille);

// How far one run's statistic varies, from its bootstrap replicates
// (rep[offset], rep[offset + stride], ...; none NO_VALUE) of a run of
// frames frames resampled in blocks of block with the series' lag
// (compare_run_t): the replicates' variance divided by
// 1 - block / frames - lag / block (at least 0.5), which undoes the moving-
// block bootstrap's shortfall (the blocks cut the autocovariances beyond
// their length, and the resamples vary around the run's own mean); and the
// degrees of freedom of that variance, 2 / (4 block / (3 frames) + e). For a
// statistic that is a sum over the blocks (sum_of_blocks: a mean, a share)
// e is the replicates' excess kurtosis when positive, which is the block
// sums' own over the number of blocks: a run of blocks with rare large sums
// knows its variance less well. Otherwise (a percentile, whose replicates
// are lumpy for other reasons) e is 0.
struct replicate_spread_t {
    double var = 0;
    double df = 0;
};
bool replicate_spread(const std::vector<int64_t>& rep, size_t stride, size_t offset, uint64_t frames, uint32_t block,
                      double lag, bool sum_of_blocks, replicate_spread_t& out);
// Quantile p of Student's t with df degrees of freedom (p in (0.5, 1)).
double t_quantile(double p, double df);
// The interval of a difference diff of B - A at level 1 - alpha: diff -+
// t_q sqrt(var_A + var_B), q = 1 - alpha / 2, with Welch-Satterthwaite's
// degrees of freedom; ends rounded outwards to whole thousandths.
void spread_interval(int64_t diff, const replicate_spread_t& a, const replicate_spread_t& b, double alpha, int64_t& low,
                     int64_t& high);

// "12.345", "-0.007", "+1.250" (with sign) from thousandths.
std::string thousandths_text(int64_t v, bool sign = false);

std::string format_compare_text(const compare_run_t& a, const compare_run_t& b, const compare_result_t& c,
                                const compare_options_t& o);
// A new JSON object; the caller owns it (cJSON_Delete).
cJSON* compare_json(const compare_run_t& a, const compare_run_t& b, const compare_result_t& c,
                    const compare_options_t& o);
// A self-contained SVG document: the empirical distributions of VRX latency
// of both runs on one axis, with their p50, p95 and p99 marked.
std::string render_compare_svg(const compare_run_t& a, const compare_run_t& b, const compare_result_t& c);

// tarn-latency-report --compare: loads both runs ("FILE" or "FILE:N"), one
// at a time, each bootstrapped and its frames freed before the next is read
// (bootstrap_run; the plot's VRX values are kept of a run held whole, read
// again at the end of one that is not), prints the comparison
// (JSON with json) and writes the plot to svg unless it is empty. Returns the exit status; errors go to standard error.
// block, when not 0, is the block length of both runs instead of the
// estimates.
int compare_command(const std::string& a, const std::string& b, bool json, const std::string& svg,
                    const compare_options_t& o, uint32_t block = 0);

#endif
