// Two runs compared: point estimates and moving-block bootstrap intervals.
//
// How a resample is computed without sorting it. A resample of a run of n
// frames is ceil(n / L) blocks of L consecutive frames, each starting at a
// uniformly drawn frame (the last block cut so the resample has n frames).
// Per figure and run, once:
//   - prefix arrays over the frames of the count and the sum of the values,
//     so a block's count and sum are two look-ups: the mean costs O(blocks);
//   - for each percentile a window of values around the run's own
//     percentile, wide enough that a resample's percentile lies inside it
//     unless the resample is wildly unusual: ranks r - h .. r + h of the
//     sorted values, h = window_sd standard deviations of a resample's count
//     below the percentile, measured over the run's own blocks (at most the
//     worst case, blocks all alike: n L p (1 - p) frames squared);
//   - a prefix array of the count of values below each window, and the
//     frames whose value lies in a window, listed in frame order with the
//     value's index among the windows' distinct values.
// A resample then adds up, per block, the counts below each window (O(1)) and
// counts the block's in-window values into a histogram of the windows'
// distinct values; the percentile is found by walking that histogram from
// the count below. Work per resample: O(blocks + values in the windows),
// about 2 % of the frames for a run of a million. When a percentile falls
// outside its window the resample is counted again over all its values (a
// histogram of every distinct value of the run), so the result is exact
// either way; tests compare it with sorting every resample.
#include "latency_compare.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "latency_log.h"
#include "latency_report.h"

const char* const COMPARE_STAT_NAMES[ST_COUNT] = {"p50", "p95", "p99", "mean"};
const char* const COMPARE_VERDICT_TEXT[] = {"", "too short to judge", "no real change", "real but small",
                                            "real change"};
const char* const COMPARE_VERDICT_KEY[] = {nullptr, "too_short", "no_real_change", "real_but_small", "real_change"};

namespace {

constexpr uint64_t PCT_NUM[3] = {50, 95, 99};
constexpr uint64_t PCT_DEN = 100;

int32_t to_thousandths(float x)
{
    int64_t units;
    if (!round_as_logged(x, 3, units) || units <= -2000000000 || units >= 2000000000) return NOT_A_VALUE;
    return static_cast<int32_t>(units);
}

// Counts id and tells what it did to the missing ids (see compare_run_t).
int32_t id_step_code(id_tracker_t& t, uint32_t id)
{
    const id_step_t step = track_id_step(t, id);
    if (step.repeat) return ID_REPEAT;
    return static_cast<int32_t>(std::clamp<int64_t>(step.missing, -1, INT32_MAX));
}



uint64_t splitmix64(uint64_t& x)
{
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

inline uint64_t rotl(uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

// The figure a figure of one kind of frame takes its values from (itself
// for the others).
constexpr int base_series(int m)
{
    if (!LATENCY_SERIES[m].one_kind) return m;
    for (int k = 0; k < CMP_METRICS; k++)
        if (!LATENCY_SERIES[k].one_kind && LATENCY_SERIES[k].stat == LATENCY_SERIES[m].stat) return k;
    return m;
}
static_assert(base_series(SER_VRX_I) == SER_VRX && base_series(SER_VRX_P) == SER_VRX,
              "the figures of one kind of frame take the VRX values");

}  // namespace

void compare_run_t::id_steps_t::clear()
{
    code.clear();
    big.clear();
}

void compare_run_t::id_steps_t::push(int32_t step)
{
    if (step == ID_REPEAT) {
        code.push_back(ID_CODE_REPEAT);
    } else if (step >= ID_CODE_BIG) {
        code.push_back(ID_CODE_BIG);
        big.push_back(step);
    } else {
        code.push_back(static_cast<int8_t>(step));
    }
}

namespace {

// Reads the id steps of frames from, from + 1, ... in order.
class id_step_reader {
public:
    id_step_reader(const compare_run_t::id_steps_t& s, uint64_t from) : s_(s)
    {
        for (uint64_t i = 0; i < from && i < s.code.size(); i++) next_big_ += s.code[i] == ID_CODE_BIG;
    }
    // The step of the next frame (ID_REPEAT for a repeat).
    int32_t next(uint64_t i)
    {
        const int8_t c = s_.code[i];
        if (c == ID_CODE_REPEAT) return ID_REPEAT;
        return c == ID_CODE_BIG ? s_.big[next_big_++] : c;
    }

private:
    const compare_run_t::id_steps_t& s_;
    size_t next_big_ = 0;
};

}  // namespace

int32_t compare_value(const compare_run_t& r, int m, uint64_t i)
{
    const latency_series_t& ser = LATENCY_SERIES[m];
    if (ser.one_kind && (i >= r.kinds.size() || r.kinds[i] != ser.kind)) return NOT_A_VALUE;
    return r.values[base_series(m)][i];
}

std::vector<int32_t> compare_series(const compare_run_t& r, int m)
{
    std::vector<int32_t> v(r.frames);
    for (uint64_t i = 0; i < r.frames; i++) v[i] = compare_value(r, m, i);
    return v;
}

compare_rng_t::compare_rng_t(uint64_t seed, uint64_t resample, uint64_t stream)
{
    uint64_t x = seed;
    uint64_t mix = splitmix64(x) ^ (resample * 0xd1b54a32d192ed03ULL) ^ (stream * 0x8cb92ba72f3d8dd7ULL);
    for (uint64_t& w : s) w = splitmix64(mix);
}

uint64_t compare_rng_t::next()
{
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

uint64_t compare_rng_t::below(uint64_t bound)
{
    // Lemire's multiply-and-reject: unbiased, and the same on every platform.
    unsigned __int128 m = static_cast<unsigned __int128>(next()) * bound;
    uint64_t low = static_cast<uint64_t>(m);
    if (low < bound) {
        const uint64_t floor = (0 - bound) % bound;
        while (low < floor) {
            m = static_cast<unsigned __int128>(next()) * bound;
            low = static_cast<uint64_t>(m);
        }
    }
    return static_cast<uint64_t>(m >> 64);
}

void block_starts(compare_rng_t& rng, uint64_t n, uint64_t len, std::vector<uint64_t>& starts)
{
    starts.clear();
    if (n == 0 || len == 0) return;
    if (len > n) len = n;
    const uint64_t k = (n + len - 1) / len;
    for (uint64_t i = 0; i < k; i++) starts.push_back(rng.below(n - len + 1));
}

int64_t nearest_rank_sorted(const std::vector<int32_t>& sorted, uint64_t num, uint64_t den)
{
    if (sorted.empty()) return NO_VALUE;
    return sorted[nearest_rank_index(sorted.size(), num, den) - 1];
}

int64_t rounded_mean(int64_t sum, uint64_t count)
{
    if (count == 0) return NO_VALUE;
    const auto c = static_cast<int64_t>(count);
    const int64_t q = sum / c, r = sum % c;
    if (2 * (r < 0 ? -r : r) >= c) return q + (sum < 0 ? -1 : 1);
    return q;
}

bool percentile_interval(std::vector<int64_t>& d, int64_t& low, int64_t& high)
{
    return percentile_interval(d, low, high, 50);
}

bool percentile_interval(std::vector<int64_t>& d, int64_t& low, int64_t& high, uint64_t alpha_per_mille)
{
    if (d.empty()) return false;
    const uint64_t r = d.size();
    const uint64_t k = nearest_rank_index(r, alpha_per_mille, 2000);  // ceil(alpha/2 R)
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k - 1), d.end());
    low = d[k - 1];
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(r - k), d.end());
    high = d[r - k];
    return true;
}

bool replicate_spread(const std::vector<int64_t>& rep, size_t stride, size_t offset, uint64_t frames, uint32_t block,
                      double lag, bool sum_of_blocks, replicate_spread_t& out)
{
    double k = 0, sum = 0;
    for (size_t i = offset; i < rep.size(); i += stride) {
        if (rep[i] == NO_VALUE) return false;
        sum += static_cast<double>(rep[i]);
        k++;
    }
    if (k < 2 || frames == 0) return false;
    const double mean = sum / k;
    double m2 = 0, m4 = 0;
    for (size_t i = offset; i < rep.size(); i += stride) {
        const double d = static_cast<double>(rep[i]) - mean, d2 = d * d;
        m2 += d2;
        m4 += d2 * d2;
    }
    const double n = static_cast<double>(frames), len = std::max<double>(1, block);
    const double excess = m2 > 0 ? k * m4 / (m2 * m2) - 3 : 0;
    out.var = m2 / (k - 1) / std::max(0.5, 1 - len / n - lag / len);
    out.df = 2 / (4 * len / (3 * n) + (sum_of_blocks ? std::max(0.0, excess) : 0));
    return true;
}

double t_quantile(double p, double df)
{
    // The normal quantile (Acklam's rational approximation, relative error
    // below 1.2e-9), refined by one Halley step on erfc.
    const double q = 1 - p;
    double z;
    {
        const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                            1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
        const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                            6.680131188771972e+01,  -1.328068155288572e+01};
        const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                            -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
        const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                            3.754408661907416e+00};
        if (q < 0.02425) {
            const double t = std::sqrt(-2 * std::log(q));
            z = -(((((c[0] * t + c[1]) * t + c[2]) * t + c[3]) * t + c[4]) * t + c[5]) /
                ((((d[0] * t + d[1]) * t + d[2]) * t + d[3]) * t + 1);
        } else {
            const double u = q - 0.5, r = u * u;
            z = -(((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * u /
                (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
        }
        const double e = 0.5 * std::erfc(z / std::sqrt(2.0)) - q;
        const double u = e * std::sqrt(2 * 3.141592653589793) * std::exp(z * z / 2);
        z = z + u / (1 + z * u / 2);
    }
    if (!(df < 1e9)) return z;
    if (df >= 10) {
        // Cornish-Fisher expansion in 1 / df: within 0.05 % of the exact
        // quantile from 10 degrees of freedom on.
        const double z2 = z * z;
        return z + z * (z2 + 1) / (4 * df) + z * ((5 * z2 + 16) * z2 + 3) / (96 * df * df) +
               z * (((3 * z2 + 19) * z2 + 17) * z2 - 15) / (384 * df * df * df);
    }
    // Fewer: the distribution function by Simpson's rule over the density,
    // inverted by bisection.
    df = std::max(df, 1.0);
    const double c = std::exp(std::lgamma((df + 1) / 2) - std::lgamma(df / 2)) / std::sqrt(df * 3.141592653589793);
    auto cdf = [&](double x) {
        // Over atan(t / sqrt(df)) the density is smooth and bounded.
        const int steps = 512;
        const double top = std::atan(x / std::sqrt(df)), h = top / steps;
        double s = 0;
        for (int i = 0; i <= steps; i++) {
            const double th = i * h, w = i == 0 || i == steps ? 1 : (i % 2 ? 4 : 2);
            s += w * std::pow(std::cos(th), df - 1);
        }
        return 0.5 + c * std::sqrt(df) * s * h / 3;
    };
    double lo = 0, hi = 1;
    while (cdf(hi) < p && hi < 1e12) hi *= 2;
    for (int i = 0; i < 100 && hi - lo > 1e-9 * hi; i++) {
        const double mid = (lo + hi) / 2;
        (cdf(mid) < p ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

void spread_interval(int64_t diff, const replicate_spread_t& a, const replicate_spread_t& b, double alpha, int64_t& low,
                     int64_t& high)
{
    const double v = a.var + b.var;
    double df = 1e300;
    const double w = (a.df > 0 ? a.var * a.var / a.df : 0) + (b.df > 0 ? b.var * b.var / b.df : 0);
    if (w > 0) df = v * v / w;
    const double h = t_quantile(1 - alpha / 2, df) * std::sqrt(v);
    low = static_cast<int64_t>(std::floor(static_cast<double>(diff) - h));
    high = static_cast<int64_t>(std::ceil(static_cast<double>(diff) + h));
}

std::string thousandths_text(int64_t v, bool sign)
{
    if (v == NO_VALUE) return "-";
    const bool neg = v < 0;
    const uint64_t a = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return fmt::format("{}{}.{:03}", neg ? "-" : (sign && v > 0 ? "+" : ""), a / 1000, a % 1000);
}

// ---------------------------------------------------------------- blocks

uint32_t block_length(const std::vector<double>& series, uint64_t frames, double frames_per_second, double* raw,
                      double* lag)
{
    const double second = frames_per_second >= 1 && frames_per_second <= 10000 ? std::round(frames_per_second) : 60;
    const double high = std::max<double>(1, static_cast<double>(frames / 10));
    double b = second;
    const size_t len = std::min(series.size(), BLOCK_ESTIMATE_SPAN);
    if (len >= 16) {
        const double* x = series.data() + (series.size() - len) / 2;
        const double n = static_cast<double>(len);
        double mean = 0;
        for (size_t i = 0; i < len; i++) mean += x[i];
        mean /= n;
        const size_t kn = std::max<size_t>(5, static_cast<size_t>(std::ceil(std::sqrt(std::log10(n)))));
        const size_t max_lag = std::min(len - 1, static_cast<size_t>(std::ceil(std::sqrt(n))) + kn);
        std::vector<double> r(max_lag + 1, 0);
        for (size_t k = 0; k <= max_lag; k++) {
            double acc = 0;
            for (size_t i = 0; i + k < len; i++) acc += (x[i] - mean) * (x[i + k] - mean);
            r[k] = acc / n;
        }
        if (r[0] > 0) {
            // m: the first lag after which kn autocorrelations in a row are
            // insignificant; M = 2 m.
            const double bound = 2 * std::sqrt(std::log10(n) / n);
            size_t m = max_lag, run = 0;
            for (size_t k = 1; k <= max_lag; k++) {
                run = std::fabs(r[k] / r[0]) < bound ? run + 1 : 0;
                if (run == kn) {
                    m = k - kn;
                    break;
                }
            }
            const size_t big_m = std::min(max_lag, std::max<size_t>(2 * m, 1));
            double g = 0, g0 = r[0];
            for (size_t k = 1; k <= big_m; k++) {
                const double t = static_cast<double>(k) / static_cast<double>(big_m);
                const double lambda = t <= 0.5 ? 1 : 2 * (1 - t);
                g += 2 * lambda * static_cast<double>(k) * r[k];
                g0 += 2 * lambda * r[k];
            }
            const double d = 4.0 / 3.0 * g0 * g0;
            if (lag && g0 > 0) *lag = std::max(0.0, g / g0);
            if (d > 0) {
                b = std::cbrt(2 * g * g / d) * std::cbrt(static_cast<double>(frames));
                if (raw) *raw = b;
                b *= BLOCK_FACTOR;
            }
        }
    }
    b = std::max(std::min(b, high), second);
    return static_cast<uint32_t>(std::max(1.0, std::round(b)));
}

void estimate_blocks(compare_run_t& r)
{
    std::vector<double> s;
    s.reserve(std::min<size_t>(r.values[SER_VRX].size(), 2 * BLOCK_ESTIMATE_SPAN));
    // The middle of the run, its values in order (frames without one left out).
    const std::vector<int32_t>& v = r.values[SER_VRX];
    const size_t from = v.size() > 2 * BLOCK_ESTIMATE_SPAN ? v.size() / 2 - BLOCK_ESTIMATE_SPAN : 0;
    for (size_t i = from; i < v.size() && s.size() < 2 * BLOCK_ESTIMATE_SPAN; i++)
        if (v[i] != NOT_A_VALUE) s.push_back(v[i]);
    r.lag = 0;
    r.block = block_length(s, r.frames, r.median_fps, nullptr, &r.lag);
    s.clear();
    const size_t id_from = r.id_steps.size() > 2 * BLOCK_ESTIMATE_SPAN ? r.id_steps.size() / 2 - BLOCK_ESTIMATE_SPAN : 0;
    id_step_reader steps(r.id_steps, id_from);
    for (size_t i = id_from; i < r.id_steps.size() && s.size() < 2 * BLOCK_ESTIMATE_SPAN; i++) {
        const int32_t d = steps.next(i);
        s.push_back(d == ID_REPEAT ? 0 : d);
    }
    r.id_lag = 0;
    r.id_block = block_length(s, r.frames, r.median_fps, nullptr, &r.id_lag);
}

// ---------------------------------------------------------------- loading

void make_compare_run(compare_run_t& r, const std::vector<std::vector<int32_t>>& values,
                      const std::vector<uint32_t>& ids)
{
    r.frames = ids.size();
    r.kinds.assign(r.frames, FRAME_KIND_OTHER);
    for (int m = 0; m < CMP_METRICS; m++) {
        const bool given = m < static_cast<int>(values.size());
        if (LATENCY_SERIES[m].one_kind) {
            r.values[m].clear();
            for (uint64_t i = 0; given && i < std::min<uint64_t>(r.frames, values[m].size()); i++)
                if (values[m][i] != NOT_A_VALUE) r.kinds[i] = LATENCY_SERIES[m].kind;
            continue;
        }
        r.values[m] = given ? values[m] : std::vector<int32_t>();
        r.values[m].resize(r.frames, NOT_A_VALUE);
    }
    // The rows are all held anyway: every gap is kept, none too late.
    id_tracker_t t;
    t.horizon = INT64_MAX;
    r.id_steps.clear();
    for (uint32_t id : ids) r.id_steps.push(id_step_code(t, id));
    r.gaps.clear();
    for (const auto& [first, last] : t.gaps) r.gaps.emplace_back(first, last);
    r.missing = t.missing;
    r.id_low = t.any ? t.low : 0;
    r.id_high = t.any ? t.high : -1;
    estimate_blocks(r);
}

namespace {

// The median of a run's FPS values (0 < FPS <= 10000), the value at index
// n / 2 of them sorted, without a float a row: their distinct values are
// counted in a table of at most MAX_DISTINCT (a log's FPS takes a few
// hundred to a few thousand values). Should a run hold more, the values are
// listed from then on, 4 bytes a row while the run is read: bounded by the
// frames, exact either way. The table takes 384 kB once; clearing it for the
// next run costs the slots that run used, not the table (a log may hold a
// run every few rows).
class fps_median_t {
public:
    void clear()
    {
        for (uint32_t i : used_) key_[i] = 0;
        used_.clear();
        std::vector<float>().swap(list_);
        listed_ = false;
    }
    void add(float fps)
    {
        if (listed_) {
            list_.push_back(fps);
            return;
        }
        if (key_.empty()) {
            key_.assign(SLOTS, 0);
            count_.assign(SLOTS, 0);
        }
        uint32_t bits;
        memcpy(&bits, &fps, sizeof bits);  // never 0: the value is above 0
        for (uint32_t i = (bits * 0x9e3779b1u) >> (32 - SLOT_BITS);; i = (i + 1) & (SLOTS - 1)) {
            if (key_[i] == bits) {
                count_[i]++;
                return;
            }
            if (key_[i] != 0) continue;
            if (used_.size() == MAX_DISTINCT) {
                spill();
                list_.push_back(fps);
                return;
            }
            key_[i] = bits;
            count_[i] = 1;
            used_.push_back(i);
            return;
        }
    }
    // 0 without values.
    double median()
    {
        if (listed_) {
            if (list_.empty()) return 0;
            auto mid = list_.begin() + static_cast<std::ptrdiff_t>(list_.size() / 2);
            std::nth_element(list_.begin(), mid, list_.end());
            return *mid;
        }
        // Positive floats sort as their bits do.
        std::vector<std::pair<uint32_t, uint64_t>> v;
        uint64_t n = 0;
        for (uint32_t i : used_) {
            v.emplace_back(key_[i], count_[i]);
            n += count_[i];
        }
        std::sort(v.begin(), v.end());
        uint64_t seen = 0;
        for (const auto& [bits, c] : v)
            if ((seen += c) > n / 2) {
                float x;
                memcpy(&x, &bits, sizeof x);
                return x;
            }
        return 0;
    }

private:
    static constexpr int SLOT_BITS = 15;
    static constexpr size_t SLOTS = size_t{1} << SLOT_BITS, MAX_DISTINCT = SLOTS / 2;
    void spill()
    {
        for (uint32_t i : used_) {
            float x;
            memcpy(&x, &key_[i], sizeof x);
            list_.insert(list_.end(), count_[i], x);
            key_[i] = 0;
        }
        used_.clear();
        listed_ = true;
    }
    std::vector<uint32_t> key_;  // float bits, 0 for a free slot
    std::vector<uint64_t> count_;
    std::vector<uint32_t> used_;  // the slots taken, in the order they were
    bool listed_ = false;
    std::vector<float> list_;
};

bool regular_file(const std::string& path)
{
    struct stat st;
    return path != "-" && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string load_compare_run(const std::string& path, int run, compare_run_t& r, uint64_t hold_frames)
{
    uint64_t bad = 0;
    fps_median_t fps;
    id_tracker_t ids;  // every row is held: no id too late, every gap kept
    ids.horizon = INT64_MAX;
    // A regular file can be read again: past hold_frames only the VRX
    // values are kept. A pipe is read once and held whole.
    const bool file = regular_file(path);
    bool hold_all = true;
    for (auto& v : r.values) std::vector<int32_t>().swap(v);
    std::vector<uint8_t>().swap(r.kinds);
    latency_run_sink sink;
    r.id_steps.clear();
    sink.restart = [&] {
        for (auto& v : r.values) std::vector<int32_t>().swap(v);
        std::vector<uint8_t>().swap(r.kinds);
        r.id_steps.clear();
        fps.clear();
        ids = id_tracker_t{};
        ids.horizon = INT64_MAX;
        bad = 0;
        hold_all = true;
    };
    sink.row = [&](const latency_row_t& row) {
        if (hold_all && file && r.values[SER_VRX].size() >= hold_frames) {
            hold_all = false;
            for (int k = 0; k < CMP_METRICS; k++)
                if (k != SER_VRX) std::vector<int32_t>().swap(r.values[k]);
        }
        for (int k = 0; k < CMP_METRICS; k++) {
            const latency_series_t& ser = LATENCY_SERIES[k];
            if (!ser.one_kind && (hold_all || k == SER_VRX))
                r.values[k].push_back(to_thousandths(latency_member<float>(row, stat_column(ser.stat).offset)));
        }
        r.kinds.push_back(row.kind);
        if (row.fps > 0 && row.fps <= 10000) fps.add(row.fps);
        r.id_steps.push(id_step_code(ids, row.sample_id));
    };
    sink.malformed = [&] { bad++; };
    int chosen = 0;
    const std::string why = read_latency_run(path, run, sink, &chosen, &r.place);
    if (!why.empty()) return why;
    r.log = path;
    r.run = chosen;
    r.frames = r.values[SER_VRX].size();
    r.malformed = bad;
    r.reread = !hold_all;
    if (r.frames == 0) return fmt::format("{}: run {} holds no frames", path, r.run);
    r.median_fps = fps.median();
    fps.clear();
    r.gaps.clear();
    for (const auto& [first, last] : ids.gaps) r.gaps.emplace_back(first, last);
    r.missing = ids.missing;
    r.id_low = ids.low;
    r.id_high = ids.high;
    estimate_blocks(r);
    return {};
}

std::string reread_compare_series(const compare_run_t& r, int m, std::vector<int32_t>& values)
{
    std::vector<int32_t>().swap(values);
    const latency_series_t& ser = LATENCY_SERIES[m];
    const int fd = open_latency_log(r.log);
    if (fd < 0) return fmt::format("cannot read {} again: {}", r.log, strerror(errno));
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && r.log != "-";
    if (!regular || lseek(fd, static_cast<off_t>(r.place.begin), SEEK_SET) < 0) {
        const std::string why = regular ? strerror(errno) : "it is no longer a regular file";
        if (fd != STDIN_FILENO) close(fd);
        return fmt::format("cannot read {} again: {}", r.log, why);
    }
    values.reserve(r.frames);
    // The run's lines as the first reading found them: its rows and
    // malformed lines, after its header line if it has one. Reading stops
    // at the run's end or after that many lines, so rows the writer has
    // appended since are not counted.
    const uint64_t span = r.place.end - r.place.begin, lines = r.frames + r.malformed;
    uint64_t offset = 0, rows = 0, bad = 0;
    bool stop = false, other_header = false;
    latency_log_sink sink;
    // Every line held a whole row: reading the figure's column alone
    // accepts the same lines. Otherwise a line is read whole, so that the
    // malformed lines stay malformed.
    sink.columns = r.malformed == 0 ? latency_column_bit(latency_column_of_stat(ser.stat)) : LATENCY_ALL_COLUMNS;
    sink.offset = &offset;
    sink.stop = &stop;
    auto inside = [&] {
        stop = offset >= span;
        return !stop;
    };
    sink.header = [&](size_t, int) {
        if (inside() && offset > 0) {
            other_header = true;
            stop = true;
        }
    };
    sink.row = [&](size_t, int, const latency_row_t& row) {
        if (!inside()) return;
        if (rows < r.frames) values.push_back(to_thousandths(latency_member<float>(row, stat_column(ser.stat).offset)));
        rows++;
        stop = rows + bad == lines;
    };
    sink.malformed = [&](size_t, int, const char*) {
        if (!inside()) return;
        bad++;
        stop = rows + bad == lines;
    };
    const int err = read_latency_log(fd, sink);
    close(fd);
    if (err != 0) {
        std::vector<int32_t>().swap(values);
        return fmt::format("cannot read {} again: {}", r.log, strerror(err));
    }
    if (rows != r.frames || bad != r.malformed || other_header) {
        std::vector<int32_t>().swap(values);
        return fmt::format("{} changed while it was compared: run {} held {} frames and {} malformed lines, "
                           "read again {} and {}{}",
                           r.log, r.run, r.frames, r.malformed, rows, bad, other_header ? " and another run" : "");
    }
    return {};
}

bool parse_run_arg(const std::string& arg, std::string& path, int& run, std::string& why)
{
    path = arg;
    run = 0;
    const size_t colon = arg.rfind(':');
    if (colon == std::string::npos || colon + 1 == arg.size()) return true;
    const std::string digits = arg.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return true;
    struct stat st;
    if (stat(arg.c_str(), &st) == 0) return true;  // a file whose name ends in ":N"
    if (digits.size() > 9 || std::stol(digits) < 1) {
        why = fmt::format("invalid run number '{}' in '{}' (runs are numbered from 1)", digits, arg);
        return false;
    }
    if (colon == 0) {
        why = fmt::format("no log named in '{}'", arg);
        return false;
    }
    path = arg.substr(0, colon);
    run = static_cast<int>(std::stol(digits));
    return true;
}

// ---------------------------------------------------------------- bootstrap

namespace {

// Sums over the block of frames starting at one frame: 16 bytes. The sum
// is exact in 32 bits when no block can reach 2^31 (the largest magnitude
// times the block length below it); otherwise the sums are kept in 64 bits
// beside (prepared_t::wide_sum). The block's in-window frames run from its
// window_first to that of the block starting where it ends
// (prepared_t::window_at).
struct block_t {
    int32_t sum;
    uint32_t window_first;  // in window_entry: in-window frames before the block
    uint16_t count;
    uint16_t below[3];  // values below the window of each percentile
};
static_assert(sizeof(block_t) == 16, "a block's sums take 16 bytes");

// One figure of one run, ready for resampling.
struct prepared_t {
    uint64_t n = 0;
    uint64_t len = 1;
    // The values: v[i] where kind < 0 or frame i is of that kind.
    const int32_t* v = nullptr;
    const uint8_t* kinds = nullptr;
    int kind = -1;
    int32_t lo[3] = {}, hi[3] = {};       // each percentile's window of values
    std::vector<block_t> blocks;          // per possible block start: n - len + 1
    std::vector<int64_t> wide_sum;        // the blocks' sums when 32 bits cannot hold them, else empty
    std::vector<uint32_t> end_first;      // in-window frames before frame j, for j from n - len + 1 to n
    std::vector<int32_t> window_values;   // distinct values in any window, ascending
    std::vector<uint32_t> window_entry;   // per in-window frame, in frame order: index into window_values
    uint32_t first[3] = {}, end[3] = {};  // each percentile's window in window_values
    uint64_t count = 0;                   // values of the run
    int64_t point[ST_COUNT] = {NO_VALUE, NO_VALUE, NO_VALUE, NO_VALUE};  // of the run itself
    // The full path, built the first time it is needed.
    std::once_flag full_once;
    std::vector<int32_t> all_values;  // distinct values, ascending
    std::vector<uint32_t> all_index;  // per frame: index into all_values (unused where no value); empty
                                      // past FULL_INDEX_FRAMES

    // In-window frames before frame j (0 <= j <= n).
    uint32_t window_at(uint64_t j) const
    {
        return j + len <= n ? blocks[j].window_first : end_first[j - (n - len + 1)];
    }
    int32_t at(uint64_t i) const { return kind < 0 || (kinds && kinds[i] == kind) ? v[i] : NOT_A_VALUE; }
    bool in_window(int32_t x) const
    {
        for (int q = 0; q < 3; q++)
            if (x >= lo[q] && x <= hi[q]) return true;
        return false;
    }
    uint32_t window_index(int32_t x) const
    {
        return static_cast<uint32_t>(std::lower_bound(window_values.begin(), window_values.end(), x) -
                                     window_values.begin());
    }
};

void prepare(const compare_run_t& r, int m, const compare_options_t& o, prepared_t& p)
{
    p.n = r.frames;
    // Block sums keep 16-bit counts.
    p.len = std::min<uint64_t>(std::min<uint64_t>(r.block, 65535), std::max<uint64_t>(p.n, 1));
    p.v = r.values[base_series(m)].data();
    p.kinds = r.kinds.size() >= r.frames ? r.kinds.data() : nullptr;  // no kinds: no frame of one kind
    p.kind = LATENCY_SERIES[m].one_kind ? LATENCY_SERIES[m].kind : -1;
    std::vector<int32_t> sorted;
    sorted.reserve(p.n);
    int64_t total = 0;
    for (uint64_t i = 0; i < p.n; i++)
        if (p.at(i) != NOT_A_VALUE) {
            sorted.push_back(p.at(i));
            total += p.at(i);
        }
    std::sort(sorted.begin(), sorted.end());
    const uint64_t count = sorted.size();
    p.count = count;
    for (int q = 0; q < 3; q++) p.point[q] = nearest_rank_sorted(sorted, PCT_NUM[q], PCT_DEN);
    p.point[ST_MEAN] = rounded_mean(total, count);
    const uint64_t blocks = (p.n + p.len - 1) / p.len;
    int64_t largest = 0;
    if (count > 0) largest = std::max(-static_cast<int64_t>(sorted.front()), static_cast<int64_t>(sorted.back()));
    const bool wide = largest * static_cast<int64_t>(p.len) > INT32_MAX;

    // How far a resample's count below each percentile strays from its rank:
    // per block start, d = (values below the run's percentile) - p (values),
    // whose mean and spread over the starts give the sum over a resample's
    // blocks (blocks * mean, sqrt(blocks) * sd). The window holds window_sd
    // such spreads, and never more than the worst case of blocks all alike
    // (blocks L^2 p (1 - p)). A narrower window only sends more resamples
    // the full way; the statistics are the same.
    double d_mean[3] = {0, 0, 0}, d_sd[3] = {0, 0, 0};
    if (count > 0 && p.n >= p.len) {
        double pq[3], d_sum[3] = {0, 0, 0}, d_sq[3] = {0, 0, 0};
        for (int q = 0; q < 3; q++) pq[q] = static_cast<double>(PCT_NUM[q]) / PCT_DEN;
        int64_t c = 0, below[3] = {0, 0, 0};
        auto step = [&](uint64_t i, int sign) {
            const int32_t x = p.at(i);
            if (x == NOT_A_VALUE) return;
            c += sign;
            for (int q = 0; q < 3; q++) below[q] += x < p.point[q] ? sign : 0;
        };
        for (uint64_t i = 0; i < p.len; i++) step(i, 1);
        const uint64_t starts = p.n - p.len + 1;
        for (uint64_t s = 0;; s++) {
            for (int q = 0; q < 3; q++) {
                const double d = static_cast<double>(below[q]) - pq[q] * static_cast<double>(c);
                d_sum[q] += d;
                d_sq[q] += d * d;
            }
            if (s + 1 == starts) break;
            step(s, -1);
            step(s + p.len, 1);
        }
        for (int q = 0; q < 3; q++) {
            d_mean[q] = d_sum[q] / static_cast<double>(starts);
            d_sd[q] = std::sqrt(std::max(0.0, d_sq[q] / static_cast<double>(starts) - d_mean[q] * d_mean[q]));
        }
    }
    for (int q = 0; q < 3 && count > 0; q++) {
        const double pq = static_cast<double>(PCT_NUM[q]) / PCT_DEN;
        const double k = static_cast<double>(blocks);
        const double worst = o.window_sd * std::sqrt(k * static_cast<double>(p.len) * static_cast<double>(p.len) * pq * (1 - pq));
        const double spread = k * std::fabs(d_mean[q]) + o.window_sd * std::sqrt(k) * d_sd[q] + 2;
        const auto h = o.window_sd > 0 ? static_cast<int64_t>(std::ceil(std::min(worst, spread))) : 0;
        const auto rank = static_cast<int64_t>(nearest_rank_index(count, PCT_NUM[q], PCT_DEN));
        const int64_t a = std::max<int64_t>(1, rank - h), b = std::min<int64_t>(static_cast<int64_t>(count), rank + h);
        p.lo[q] = sorted[static_cast<size_t>(a - 1)];
        p.hi[q] = sorted[static_cast<size_t>(b - 1)];
    }
    if (count == 0)
        for (int q = 0; q < 3; q++) p.lo[q] = INT32_MAX, p.hi[q] = INT32_MIN;  // empty windows
    for (size_t i = 0; i < sorted.size(); i++)
        if ((i == 0 || sorted[i] != sorted[i - 1]) && p.in_window(sorted[i])) p.window_values.push_back(sorted[i]);
    for (int q = 0; q < 3 && count > 0; q++) {
        p.first[q] = p.window_index(p.lo[q]);
        p.end[q] = static_cast<uint32_t>(std::upper_bound(p.window_values.begin(), p.window_values.end(), p.hi[q]) -
                                         p.window_values.begin());
    }
    std::vector<int32_t>().swap(sorted);

    // Each possible block's sums, sliding one frame at a time.
    if (p.n == 0) return;
    p.blocks.resize(p.n - p.len + 1);
    if (wide) p.wide_sum.resize(p.n - p.len + 1);
    block_t acc{0, 0, 0, {0, 0, 0}};
    int64_t sum = 0;
    auto add = [&](uint64_t i, int sign) {
        const int32_t x = p.at(i);
        if (x == NOT_A_VALUE) return;
        sum += sign * static_cast<int64_t>(x);
        acc.count = static_cast<uint16_t>(acc.count + sign);
        for (int q = 0; q < 3; q++)
            if (x < p.lo[q]) acc.below[q] = static_cast<uint16_t>(acc.below[q] + sign);
        if (p.in_window(x)) {
            if (sign > 0)
                p.window_entry.push_back(p.window_index(x));
            else
                acc.window_first++;
        }
    };
    auto keep = [&](uint64_t s) {
        acc.sum = wide ? 0 : static_cast<int32_t>(sum);
        p.blocks[s] = acc;
        if (wide) p.wide_sum[s] = sum;
    };
    for (uint64_t i = 0; i < p.len; i++) add(i, 1);
    keep(0);
    for (uint64_t s = 1; s + p.len <= p.n; s++) {
        add(s - 1, -1);
        add(s + p.len - 1, 1);
        keep(s);
    }
    p.end_first.resize(p.len);
    uint32_t w = p.blocks[p.n - p.len].window_first;
    for (uint64_t j = p.n - p.len + 1; j <= p.n; j++) {
        const int32_t x = p.at(j - 1);
        w += x != NOT_A_VALUE && p.in_window(x);
        p.end_first[j - (p.n - p.len + 1)] = w;
    }
}

// Runs of up to this many frames get an index into the distinct values per
// frame for the full path (4 bytes a frame); longer ones look each value up
// (a binary search), so that the rare full path adds nothing per frame to
// the block sums held beside it.
constexpr uint64_t FULL_INDEX_FRAMES = uint64_t{1} << 22;

void build_full(prepared_t& p)
{
    // The distinct values, merged a chunk at a time: no copy of every value.
    constexpr size_t CHUNK = size_t{1} << 20;
    std::vector<int32_t> all, chunk, merged;
    auto flush = [&] {
        std::sort(chunk.begin(), chunk.end());
        chunk.erase(std::unique(chunk.begin(), chunk.end()), chunk.end());
        merged.clear();
        std::set_union(all.begin(), all.end(), chunk.begin(), chunk.end(), std::back_inserter(merged));
        all.swap(merged);
        chunk.clear();
    };
    chunk.reserve(std::min<uint64_t>(p.n, CHUNK));
    for (uint64_t i = 0; i < p.n; i++)
        if (p.at(i) != NOT_A_VALUE) {
            chunk.push_back(p.at(i));
            if (chunk.size() == CHUNK) flush();
        }
    flush();
    if (p.n <= FULL_INDEX_FRAMES) {
        p.all_index.assign(p.n, 0);
        for (uint64_t i = 0; i < p.n; i++)
            if (p.at(i) != NOT_A_VALUE)
                p.all_index[i] = static_cast<uint32_t>(std::lower_bound(all.begin(), all.end(), p.at(i)) - all.begin());
    }
    p.all_values = std::move(all);
}

// Statistics of one resample, given its block starts.
void resample_stats(prepared_t& p, const std::vector<uint64_t>& starts, std::vector<uint32_t>& hist,
                    std::vector<uint32_t>& full_hist, int64_t* out, uint64_t& fallbacks)
{
    int64_t sum = 0;
    uint64_t count = 0, below[3] = {0, 0, 0};
    std::fill(hist.begin(), hist.end(), 0);
    const size_t k = starts.size();
    // Every block but a cut last one is one look-up; the look-ups go to
    // random places of a large array, so they are asked for ahead.
    const size_t whole = k > 0 && p.n - (k - 1) * p.len < p.len ? k - 1 : k;
    constexpr size_t AHEAD = 16;
    for (size_t b = 0; b < whole; b++) {
        if (b + AHEAD < whole) {
            __builtin_prefetch(&p.blocks[starts[b + AHEAD]]);
            if (starts[b + AHEAD] + 2 * p.len <= p.n) __builtin_prefetch(&p.blocks[starts[b + AHEAD] + p.len]);
        }
        if (b + AHEAD / 2 < whole) __builtin_prefetch(&p.window_entry[p.blocks[starts[b + AHEAD / 2]].window_first]);
        const block_t& x = p.blocks[starts[b]];
        sum += p.wide_sum.empty() ? x.sum : p.wide_sum[starts[b]];
        count += x.count;
        for (int q = 0; q < 3; q++) below[q] += x.below[q];
        const uint32_t* e = p.window_entry.data() + x.window_first;
        const uint32_t* end = p.window_entry.data() + p.window_at(starts[b] + p.len);
        for (; e < end; e++) hist[*e]++;
    }
    if (whole < k) {
        const uint64_t s = starts[k - 1], e = s + p.n - (k - 1) * p.len;
        for (uint64_t i = s; i < e; i++) {
            const int32_t x = p.at(i);
            if (x == NOT_A_VALUE) continue;
            sum += x;
            count++;
            for (int q = 0; q < 3; q++)
                if (x < p.lo[q]) below[q]++;
            if (p.in_window(x)) hist[p.window_index(x)]++;
        }
    }
    out[ST_MEAN] = rounded_mean(sum, count);
    bool missed = false;
    for (int q = 0; q < 3; q++) {
        out[q] = NO_VALUE;
        if (count == 0) continue;
        const uint64_t rank = nearest_rank_index(count, PCT_NUM[q], PCT_DEN);
        uint64_t c = below[q];
        if (rank > c) {
            for (uint32_t i = p.first[q]; i < p.end[q]; i++) {
                c += hist[i];
                if (c >= rank) {
                    out[q] = p.window_values[i];
                    break;
                }
            }
        }
        if (out[q] == NO_VALUE) missed = true;
    }
    if (!missed) return;
    // The full path: every value of the resample counted.
    fallbacks++;
    std::call_once(p.full_once, build_full, std::ref(p));
    full_hist.assign(p.all_values.size(), 0);
    for (size_t b = 0; b < starts.size(); b++) {
        const uint64_t s = starts[b];
        const uint64_t e = s + (b + 1 < starts.size() ? p.len : p.n - (starts.size() - 1) * p.len);
        for (uint64_t i = s; i < e; i++)
            if (const int32_t x = p.at(i); x != NOT_A_VALUE)
                full_hist[p.all_index.empty() ? static_cast<size_t>(std::lower_bound(p.all_values.begin(),
                                                                                     p.all_values.end(), x) -
                                                                    p.all_values.begin())
                                              : p.all_index[i]]++;
    }
    for (int q = 0; q < 3; q++) {
        const uint64_t rank = nearest_rank_index(count, PCT_NUM[q], PCT_DEN);
        uint64_t c = 0;
        for (size_t i = 0; i < full_hist.size(); i++) {
            c += full_hist[i];
            if (c >= rank) {
                out[q] = p.all_values[i];
                break;
            }
        }
    }
}

unsigned thread_count(const compare_options_t& o, uint32_t resamples)
{
    unsigned t = o.threads;
    if (t == 0) t = std::min(2u, std::max(1u, std::thread::hardware_concurrency()));
    return std::max(1u, std::min(t, resamples));
}

// Runs work(resample, per-thread slot) for every resample on a few threads.
template <typename F>
void for_resamples(const compare_options_t& o, F work)
{
    const unsigned t = thread_count(o, o.resamples);
    if (t == 1) {
        for (uint32_t r = 0; r < o.resamples; r++) work(r, 0u);
        return;
    }
    std::vector<std::thread> pool;
    for (unsigned k = 0; k < t; k++)
        pool.emplace_back([&, k] {
            for (uint32_t r = k; r < o.resamples; r += t) work(r, k);
        });
    for (std::thread& th : pool) th.join();
}

uint64_t id_span(const compare_run_t& r)
{
    return r.id_high >= r.id_low ? static_cast<uint64_t>(r.id_high - r.id_low + 1) : 0;
}

int64_t lost_millionths(uint64_t missing, uint64_t total)
{
    if (total == 0) return NO_VALUE;
    // Rounded to nearest, halves up; all terms are non-negative.
    const unsigned __int128 x = static_cast<unsigned __int128>(missing) * 2000000 + total;
    return static_cast<int64_t>(x / (2 * static_cast<unsigned __int128>(total)));
}

}  // namespace

void bootstrap_metric(const compare_run_t& x, int m, int which, const compare_options_t& o, std::vector<int64_t>& out,
                      uint64_t* fallbacks, int64_t* point, uint64_t* count)
{
    out.assign(static_cast<size_t>(o.resamples) * ST_COUNT, NO_VALUE);
    prepared_t p;
    prepare(x, m, o, p);
    if (point) std::copy(p.point, p.point + ST_COUNT, point);
    if (count) *count = p.count;
    const unsigned t = thread_count(o, o.resamples);
    std::vector<std::vector<uint32_t>> hist(t, std::vector<uint32_t>(p.window_values.size())), full(t);
    std::vector<std::vector<uint64_t>> starts(t);
    std::vector<uint64_t> fb(t, 0);
    for_resamples(o, [&](uint32_t r, unsigned k) {
        compare_rng_t rng(o.seed, r, static_cast<uint64_t>(which));
        block_starts(rng, p.n, p.len, starts[k]);
        resample_stats(p, starts[k], hist[k], full[k], &out[static_cast<size_t>(r) * ST_COUNT], fb[k]);
    });
    if (fallbacks)
        for (uint64_t f : fb) *fallbacks += f;
}

void bootstrap_lost(const compare_run_t& x, int which, const compare_options_t& o, std::vector<int64_t>& out)
{
    out.assign(o.resamples, NO_VALUE);
    const uint64_t n = x.id_steps.size();
    if (n == 0 || o.resamples == 0) return;
    // Prefix sums over the frames: missing ids, and new ids (frames that
    // are no repeat); 12 bytes a frame while the resamples are drawn.
    std::vector<int64_t> missing(n + 1, 0);
    std::vector<uint32_t> fresh(n + 1, 0);
    id_step_reader steps(x.id_steps, 0);
    for (uint64_t i = 0; i < n; i++) {
        const int32_t d = steps.next(i);
        missing[i + 1] = missing[i] + (d == ID_REPEAT ? 0 : d);
        fresh[i + 1] = fresh[i] + (d == ID_REPEAT ? 0 : 1);
    }
    const uint64_t len = std::min<uint64_t>(std::max<uint32_t>(x.id_block, 1), n);
    const unsigned t = thread_count(o, o.resamples);
    std::vector<std::vector<uint64_t>> starts(t);
    for_resamples(o, [&](uint32_t r, unsigned k) {
        compare_rng_t rng(o.seed, r, static_cast<uint64_t>(which) + 2);
        block_starts(rng, n, len, starts[k]);
        int64_t lost = 0;
        uint64_t ids = 0;
        for (size_t b = 0; b < starts[k].size(); b++) {
            const uint64_t s = starts[k][b];
            const uint64_t e = s + (b + 1 < starts[k].size() ? len : n - (starts[k].size() - 1) * len);
            lost += missing[e] - missing[s];
            ids += fresh[e] - fresh[s];
        }
        // A block of late ids without their gap gives back more than it holds.
        const uint64_t m = static_cast<uint64_t>(std::max<int64_t>(lost, 0));
        out[r] = lost_millionths(m, ids + m);
    });
}

namespace {

// The intervals' levels: 95 %, and for the headline's figures 1 - 0.05 /
// HEADLINE_FIGURES.
constexpr double ALPHA = 0.05;
constexpr double HEADLINE_ALPHA = ALPHA / HEADLINE_FIGURES;

// What a figure's intervals need of one run: its frames, block length and
// the lag of the series the block was estimated from.
struct run_blocks_t {
    uint64_t frames;
    uint32_t block;
    double lag;
};

// Difference, intervals and verdict of a figure from the replicates of A and
// B. sum_of_blocks: a mean or a share (see replicate_spread); too_short: a
// run too short to judge it; min_change: the least change that counts;
// headline: whether it is one of the headline's figures.
void finish_figure(compare_figure_t& f, const std::vector<int64_t>& ra, const std::vector<int64_t>& rb, size_t stride,
                   size_t offset, const run_blocks_t& xa, const run_blocks_t& xb, bool sum_of_blocks, bool too_short,
                   int64_t min_change, bool headline)
{
    f.diff = f.a != NO_VALUE && f.b != NO_VALUE ? f.b - f.a : NO_VALUE;
    if (f.diff == NO_VALUE) return;
    if (too_short) {
        f.verdict = V_TOO_SHORT;
        return;
    }
    // A resample without a value of the figure leaves no interval.
    replicate_spread_t sa, sb;
    if (!replicate_spread(ra, stride, offset, xa.frames, xa.block, xa.lag, sum_of_blocks, sa) ||
        !replicate_spread(rb, stride, offset, xb.frames, xb.block, xb.lag, sum_of_blocks, sb))
        return;
    // The interval is never narrower than the replicates' own percentiles:
    // for a figure whose replicates are far from normal (one far-off id in
    // a resample or not) those show what the spread alone cannot.
    std::vector<int64_t> d;
    d.reserve(ra.size() / stride);
    for (size_t i = offset; i < ra.size(); i += stride) d.push_back(rb[i] - ra[i]);
    auto interval = [&](double alpha, int64_t& low, int64_t& high) {
        spread_interval(f.diff, sa, sb, alpha, low, high);
        int64_t pl = 0, ph = 0;
        percentile_interval(d, pl, ph, static_cast<uint64_t>(std::lround(alpha * 1000)));
        low = std::min(low, pl);
        high = std::max(high, ph);
    };
    interval(ALPHA, f.low, f.high);
    f.real = f.low > 0 || f.high < 0;
    const bool big = (f.diff < 0 ? -f.diff : f.diff) >= min_change;
    f.verdict = !f.real ? V_NO_CHANGE : big ? V_REAL_CHANGE : V_REAL_SMALL;
    if (headline) {
        interval(HEADLINE_ALPHA, f.hl_low, f.hl_high);
        f.headline = big && (f.hl_low > 0 || f.hl_high < 0);
    }
}

// Fewer than MIN_BLOCKS blocks of the run's frames.
bool few_blocks(const compare_run_t& r, uint32_t block)
{
    return r.frames < MIN_BLOCKS * std::max<uint64_t>(block, 1);
}

// Too few values above the rank of percentile s among count values.
bool few_beyond_rank(uint64_t count, int s)
{
    if (s == ST_MEAN) return false;
    return count - std::min(count, nearest_rank_index(count, PCT_NUM[s], PCT_DEN)) < MIN_BEYOND_RANK;
}

}  // namespace

namespace {

void bootstrap_figure(const compare_run_t& x, int m, int which, const compare_options_t& o, compare_side_t& side)
{
    compare_options_t mo = o;
    if (!(o.metrics & (1u << m))) mo.resamples = 0;
    bootstrap_metric(x, m, which, mo, side.rep[m], &side.fallbacks, side.point[m], &side.count[m]);
}

// Gives what was freed back to the system before the next step allocates
// its block sums: glibc keeps freed blocks of up to 32 MB in its heap (30 MB
// more at the peak of a run of 10^7 frames without this). Only for a run
// not held whole: for a shorter one the pages taken again cost more time
// than the memory is worth.
void give_back(const compare_run_t& x)
{
    if (x.reread) malloc_trim(0);
}

}  // namespace

compare_side_t bootstrap_side(const compare_run_t& x, int which, const compare_options_t& o)
{
    compare_side_t side;
    for (int m = 0; m < CMP_METRICS; m++) bootstrap_figure(x, m, which, o, side);
    compare_options_t lo = o;
    if (!o.lost) lo.resamples = 0;
    bootstrap_lost(x, which, lo, side.lost);
    return side;
}

std::string bootstrap_run(compare_run_t& x, int which, const compare_options_t& o, bool keep_vrx,
                          compare_side_t& side)
{
    side = compare_side_t{};
    compare_options_t lo = o;
    if (!o.lost) lo.resamples = 0;
    bootstrap_lost(x, which, lo, side.lost);
    std::vector<int8_t>().swap(x.id_steps.code);
    std::vector<int32_t>().swap(x.id_steps.big);
    give_back(x);
    for (int m = 0; m < CMP_METRICS; m++)
        if (base_series(m) == SER_VRX) bootstrap_figure(x, m, which, o, side);
    std::vector<uint8_t>().swap(x.kinds);
    if (!keep_vrx || x.reread) std::vector<int32_t>().swap(x.values[SER_VRX]);
    give_back(x);
    for (int m = 0; m < CMP_METRICS; m++) {
        if (base_series(m) == SER_VRX) continue;
        if (x.reread) {
            const std::string why = reread_compare_series(x, m, x.values[m]);
            if (!why.empty()) return why;
        }
        bootstrap_figure(x, m, which, o, side);
        std::vector<int32_t>().swap(x.values[m]);
        give_back(x);
    }
    return {};
}

compare_result_t compare_sides(const compare_run_t& a, const compare_side_t& sa, const compare_run_t& b,
                               const compare_side_t& sb, const compare_options_t& o)
{
    compare_result_t c;
    c.fallbacks = sa.fallbacks + sb.fallbacks;
    for (int m = 0; m < CMP_METRICS; m++) {
        c.count_a[m] = sa.count[m];
        c.count_b[m] = sb.count[m];
        for (int s = 0; s < ST_COUNT; s++) {
            compare_figure_t& f = c.fig[m][s];
            f.a = sa.point[m][s];
            f.b = sb.point[m][s];
            const bool too_short = few_blocks(a, a.block) || few_blocks(b, b.block) || few_beyond_rank(c.count_a[m], s) ||
                                   few_beyond_rank(c.count_b[m], s);
            finish_figure(f, sa.rep[m], sb.rep[m], ST_COUNT, static_cast<size_t>(s), {a.frames, a.block, a.lag},
                          {b.frames, b.block, b.lag}, s == ST_MEAN, too_short, o.min_change_ms, m == SER_VRX);
        }
    }
    c.lost.a = lost_millionths(a.missing, id_span(a));
    c.lost.b = lost_millionths(b.missing, id_span(b));
    finish_figure(c.lost, sa.lost, sb.lost, 1, 0, {a.frames, a.id_block, a.id_lag}, {b.frames, b.id_block, b.id_lag},
                  true, few_blocks(a, a.id_block) || few_blocks(b, b.id_block), o.min_change_lost, true);
    return c;
}

compare_result_t compare_runs(const compare_run_t& a, const compare_run_t& b, const compare_options_t& o)
{
    return compare_sides(a, bootstrap_side(a, 0, o), b, bootstrap_side(b, 1, o), o);
}

void release_frames(compare_run_t& r, bool keep_vrx)
{
    for (int m = 0; m < CMP_METRICS; m++)
        if (!(keep_vrx && m == SER_VRX)) std::vector<int32_t>().swap(r.values[m]);
    std::vector<uint8_t>().swap(r.kinds);
    std::vector<int8_t>().swap(r.id_steps.code);
    std::vector<int32_t>().swap(r.id_steps.big);
}

namespace {

// Millionths as a percentage with four decimals.
std::string percent_text(int64_t v, bool sign = false)
{
    if (v == NO_VALUE) return "-";
    const bool neg = v < 0;
    const uint64_t a = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return fmt::format("{}{}.{:04} %", neg ? "-" : (sign && v > 0 ? "+" : ""), a / 10000, a % 10000);
}

}  // namespace

std::string compare_headline(const compare_result_t& c)
{
    std::vector<std::string> named;
    int faster = 0, slower = 0, too_short = 0;
    for (int s = 0; s < ST_COUNT; s++) {
        const compare_figure_t& f = c.fig[SER_VRX][s];
        too_short += f.verdict == V_TOO_SHORT;
        if (!f.headline) continue;
        (f.diff > 0 ? slower : faster)++;
        named.push_back(fmt::format("VRX {} {} ms ({} .. {})", COMPARE_STAT_NAMES[s], thousandths_text(f.diff, true),
                                    thousandths_text(f.hl_low, true), thousandths_text(f.hl_high, true)));
    }
    const compare_figure_t& l = c.lost;
    too_short += l.verdict == V_TOO_SHORT;
    if (l.headline)
        named.push_back(fmt::format("lost frames {} ({} .. {})", percent_text(l.diff, true),
                                    percent_text(l.hl_low, true), percent_text(l.hl_high, true)));
    if (named.empty()) return too_short > 0 ? "too short to judge" : "no meaningful change";
    std::string what;
    if (slower > 0 && faster == 0)
        what = "B is slower";
    else if (faster > 0 && slower == 0)
        what = "B is faster";
    else if (faster > 0)
        what = "B differs";
    else
        what = l.diff > 0 ? "B loses more frames" : "B loses fewer frames";
    std::string line = what + ": ";
    for (size_t i = 0; i < named.size(); i++) line += (i ? ", " : "") + named[i];
    return line;
}

// ---------------------------------------------------------------- output

namespace {

std::string run_line(const char* which, const compare_run_t& r)
{
    const uint64_t span = id_span(r);
    std::string fps = r.median_fps > 0 ? fmt::format("median FPS {:.1f}", r.median_fps) : "no FPS, taken as 60";
    return fmt::format("{}: {}, run {}: {} frames, {} missing ids of {}; blocks of {} frames, {} for lost frames ({})\n",
                       which, r.log, r.run, r.frames, r.missing, span, r.block, r.id_block, fps);
}

std::string verdict(const compare_figure_t& f)
{
    return COMPARE_VERDICT_TEXT[f.verdict];
}

}  // namespace

std::string format_compare_text(const compare_run_t& a, const compare_run_t& b, const compare_result_t& c,
                                const compare_options_t& o)
{
    fmt::memory_buffer out;
    auto put = [&](auto&&... x) { fmt::format_to(std::back_inserter(out), x...); };
    put("{}\n\n", compare_headline(c));
    put("{}", run_line("A", a));
    put("{}\n", run_line("B", b));
    put("  {:<16} {:<5} {:>10} {:>10} {:>10}   {}\n", "figure (ms)", "", "A", "B", "B - A", "95 % interval");
    for (int m = 0; m < CMP_METRICS; m++) {
        for (int s = 0; s < ST_COUNT; s++) {
            const compare_figure_t& f = c.fig[m][s];
            std::string ci = f.low == NO_VALUE ? "-"
                                               : fmt::format("{} .. {}", thousandths_text(f.low, true),
                                                             thousandths_text(f.high, true));
            std::string line =
                fmt::format("  {:<16} {:<5} {:>10} {:>10} {:>10}   {:<26} {}", s == 0 ? latency_series_title(m) : "",
                            COMPARE_STAT_NAMES[s], thousandths_text(f.a), thousandths_text(f.b),
                            thousandths_text(f.diff, true), ci, verdict(f));
            while (!line.empty() && line.back() == ' ') line.pop_back();
            put("{}\n", line);
        }
    }
    const compare_figure_t& l = c.lost;
    std::string ci =
        l.low == NO_VALUE ? "-" : fmt::format("{} .. {}", percent_text(l.low, true), percent_text(l.high, true));
    std::string line = fmt::format("\n  {:<22} {:>10} {:>10} {:>10}   {:<26} {}", "lost frames", percent_text(l.a),
                                   percent_text(l.b), percent_text(l.diff, true), ci, verdict(l));
    while (!line.empty() && line.back() == ' ') line.pop_back();
    put("{}\n", line);

    bool too_short = l.verdict == V_TOO_SHORT;
    for (int m = 0; m < CMP_METRICS; m++)
        for (int s = 0; s < ST_COUNT; s++) too_short = too_short || c.fig[m][s].verdict == V_TOO_SHORT;
    put("\n");
    if (too_short)
        put("Too short to judge: a figure needs runs of {} blocks at least ({} and {} frames here) and, for a\n"
            "percentile, {} values above its rank (p99: {} values).\n",
            MIN_BLOCKS, MIN_BLOCKS * a.block, MIN_BLOCKS * b.block, MIN_BEYOND_RANK, 100 * MIN_BEYOND_RANK);
    put("Method: {} moving-block bootstrap resamples of each run, seed {}; 95 % intervals of B - A. A change\n"
        "is real when its interval excludes 0, and counts when it also reaches {} ms ({} for lost frames).\n"
        "The headline looks at VRX p50, p95, p99, mean and lost frames, each with a {} % interval\n"
        "(Bonferroni): chance of a false alarm in this headline: at most 5 %.\n",
        o.resamples, o.seed, thousandths_text(o.min_change_ms), percent_text(o.min_change_lost),
        fmt::format("{:g}", 100 - 5.0 / HEADLINE_FIGURES));
    return fmt::to_string(out);
}

namespace {

cJSON* ms_json(int64_t v)
{
    // Thousandths as milliseconds: the double nearest to the decimal, which
    // prints as the decimal itself.
    return v == NO_VALUE ? cJSON_CreateNull() : cJSON_CreateNumber(static_cast<double>(v) / 1000.0);
}

cJSON* fraction_json(int64_t v)
{
    return v == NO_VALUE ? cJSON_CreateNull() : cJSON_CreateNumber(static_cast<double>(v) / 1e6);
}

cJSON* figure_json(const compare_figure_t& f, cJSON* (*num)(int64_t))
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddItemToObject(o, "a", num(f.a));
    cJSON_AddItemToObject(o, "b", num(f.b));
    cJSON_AddItemToObject(o, "difference", num(f.diff));
    cJSON_AddItemToObject(o, "ci_low", num(f.low));
    cJSON_AddItemToObject(o, "ci_high", num(f.high));
    cJSON_AddBoolToObject(o, "real_change", f.real);
    if (const char* v = COMPARE_VERDICT_KEY[f.verdict])
        cJSON_AddStringToObject(o, "verdict", v);
    else
        cJSON_AddNullToObject(o, "verdict");
    if (f.hl_low != NO_VALUE) {
        cJSON_AddItemToObject(o, "headline_ci_low", num(f.hl_low));
        cJSON_AddItemToObject(o, "headline_ci_high", num(f.hl_high));
        cJSON_AddBoolToObject(o, "in_headline", f.headline);
    }
    return o;
}

cJSON* run_json(const compare_run_t& r)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "log", r.log.c_str());
    cJSON_AddNumberToObject(o, "run", r.run);
    cJSON_AddNumberToObject(o, "frames", static_cast<double>(r.frames));
    cJSON_AddNumberToObject(o, "missing_ids", static_cast<double>(r.missing));
    cJSON_AddNumberToObject(o, "malformed_lines", static_cast<double>(r.malformed));
    if (r.median_fps > 0)
        cJSON_AddNumberToObject(o, "median_fps", std::round(r.median_fps * 1000) / 1000);
    else
        cJSON_AddNullToObject(o, "median_fps");
    cJSON_AddNumberToObject(o, "block_frames", r.block);
    cJSON_AddNumberToObject(o, "lost_block_frames", r.id_block);
    return o;
}

}  // namespace

cJSON* compare_json(const compare_run_t& a, const compare_run_t& b, const compare_result_t& c,
                    const compare_options_t& o)
{
    cJSON* doc = cJSON_CreateObject();
    cJSON_AddStringToObject(doc, "headline", compare_headline(c).c_str());
    cJSON_AddItemToObject(doc, "a", run_json(a));
    cJSON_AddItemToObject(doc, "b", run_json(b));
    cJSON_AddNumberToObject(doc, "resamples", o.resamples);
    cJSON_AddNumberToObject(doc, "seed", static_cast<double>(o.seed));
    cJSON_AddNumberToObject(doc, "confidence", 0.95);
    cJSON_AddNumberToObject(doc, "headline_confidence", 1 - 0.05 / HEADLINE_FIGURES);
    cJSON_AddItemToObject(doc, "min_change_ms", ms_json(o.min_change_ms));
    cJSON_AddItemToObject(doc, "min_change_lost_frames", fraction_json(o.min_change_lost));
    cJSON* figs = cJSON_AddObjectToObject(doc, "figures");
    for (int m = 0; m < CMP_METRICS; m++) {
        cJSON* f = cJSON_AddObjectToObject(figs, latency_series_key(m));
        cJSON_AddNumberToObject(f, "n_a", static_cast<double>(c.count_a[m]));
        cJSON_AddNumberToObject(f, "n_b", static_cast<double>(c.count_b[m]));
        for (int s = 0; s < ST_COUNT; s++)
            cJSON_AddItemToObject(f, COMPARE_STAT_NAMES[s], figure_json(c.fig[m][s], ms_json));
    }
    cJSON_AddItemToObject(doc, "lost_frames", figure_json(c.lost, fraction_json));
    return doc;
}

int compare_command(const std::string& arg_a, const std::string& arg_b, bool json, const std::string& svg,
                    const compare_options_t& o, uint32_t block)
{
    // One run at a time: loaded, bootstrapped, its frames freed. The peak is
    // one run's VRX values, kinds and id steps (6 bytes a frame) with the
    // lost frames' prefix sums (12 bytes a frame) or with one figure's values
    // and block sums (20 bytes a frame); a run held whole (a pipe, or a run
    // of at most o.hold_frames) adds 20 bytes a frame.
    compare_run_t runs[2];
    compare_side_t sides[2];
    const std::string* args[2] = {&arg_a, &arg_b};
    if (arg_a == "-" && arg_b == "-") {
        fprintf(stderr, "tarn-latency-report: standard input can be read only once: name a file for A or B\n");
        return 1;
    }
    std::string paths[2];
    int run_of[2] = {0, 0};
    for (int w = 0; w < 2; w++) {
        std::string why;
        if (!parse_run_arg(*args[w], paths[w], run_of[w], why)) {
            fprintf(stderr, "tarn-latency-report: %s\n", why.c_str());
            return 1;
        }
        // A log that is not there is said before run A's bootstrap (without
        // opening it: a pipe is read once).
        struct stat st;
        if (paths[w] != "-" && stat(paths[w].c_str(), &st) != 0) {
            fprintf(stderr, "tarn-latency-report: cannot open %s: %s\n", paths[w].c_str(), strerror(errno));
            return 1;
        }
    }
    for (int w = 0; w < 2; w++) {
        const std::string& path = paths[w];
        const int run = run_of[w];
        std::string why = load_compare_run(path, run, runs[w], o.hold_frames);
        if (why.empty()) {
            if (block != 0) runs[w].block = runs[w].id_block = block;
            why = bootstrap_run(runs[w], w, o, !svg.empty(), sides[w]);
        }
        if (!why.empty()) {
            fprintf(stderr, "tarn-latency-report: %s\n", why.c_str());
            return 1;
        }
    }
    const compare_result_t c = compare_sides(runs[0], sides[0], runs[1], sides[1], o);
    // The plot first: a plot that cannot be written leaves no report behind.
    if (!svg.empty()) {
        // A run not held whole gives its VRX values again.
        for (compare_run_t& r : runs) {
            const std::string why = r.reread ? reread_compare_series(r, SER_VRX, r.values[SER_VRX]) : "";
            if (!why.empty()) {
                fprintf(stderr, "tarn-latency-report: %s\n", why.c_str());
                return 1;
            }
        }
        const std::string doc = render_compare_svg(runs[0], runs[1], c);
        std::string why;
        if (!write_text_file(svg, doc, why)) {
            fprintf(stderr, "tarn-latency-report: cannot write %s: %s\n", svg.c_str(), why.c_str());
            return 1;
        }
    }
    if (json) {
        if (!print_json_document(compare_json(runs[0], runs[1], c, o))) {
            fprintf(stderr, "tarn-latency-report: out of memory printing the comparison\n");
            return 1;
        }
    } else {
        fputs(format_compare_text(runs[0], runs[1], c, o).c_str(), stdout);
    }
    if (fflush(stdout) != 0) {
        fprintf(stderr, "tarn-latency-report: cannot write the report: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
