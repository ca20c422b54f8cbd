// The statistics engine of the latency tools (see latency_stats.h).
#include "latency_stats.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <tuple>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// Values at or beyond this are held as they are, not as thousandths.
constexpr double BIG = 1e12;

// x (|x| < BIG) in thousandths, rounded half away from zero. Inline: the
// library's llround is a call, and this runs for every value.
inline int64_t thousandths(double x)
{
    const double y = x * 1000;
    auto t = static_cast<int64_t>(y);  // toward zero, exact below 2^53
    const double frac = y - static_cast<double>(t);
    // Without branches: which way a value rounds is anybody's guess.
    return t + static_cast<int64_t>(frac >= 0.5) - static_cast<int64_t>(frac <= -0.5);
}

stat_key_t key_of(double x)
{
    if (std::fabs(x) < BIG) return {false, thousandths(x), 0};
    return {true, 0, x};
}

double big_sum_mean(__int128 sum_k, double sum_big, uint64_t n)
{
    if (n == 0) return NaN;
    // One rounding when all values are thousandths: 0.1, 0.2, 0.3 give 0.2.
    if (sum_big == 0) return static_cast<double>(sum_k) / (1000.0 * static_cast<double>(n));
    return (static_cast<double>(sum_k) / 1000 + sum_big) / static_cast<double>(n);
}

}  // namespace

uint64_t nearest_rank_index(uint64_t n, uint64_t num, uint64_t den)
{
    if (n == 0) return 0;
    // ceil(num * n / den) in integers, so 95% of 20 is rank 19 exactly.
    const unsigned __int128 r = (static_cast<unsigned __int128>(num) * n + den - 1) / den;
    return r < 1 ? 1 : (r > n ? n : static_cast<uint64_t>(r));
}

double stat_key_value(const stat_key_t& key)
{
    return key.big ? key.value : static_cast<double>(key.k) / 1000;
}

uint64_t order_bits(double x)
{
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return (u >> 63) ? ~u : u | (uint64_t{1} << 63);
}

double from_order_bits(uint64_t u)
{
    u = (u >> 63) ? u & ~(uint64_t{1} << 63) : ~u;
    double x;
    memcpy(&x, &u, sizeof x);
    return x;
}

uint64_t held_order_bits(double x)
{
    return order_bits(stat_key_value(key_of(x)));
}

// ------------------------------------------------------ value_histogram_t

void value_histogram_t::grow()
{
    std::vector<slot_t> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, slot_t{EMPTY, 0});
    const size_t mask = slots_.size() - 1;
    for (const slot_t& s : old) {
        if (s.key == EMPTY) continue;
        size_t i = static_cast<size_t>(static_cast<uint64_t>(s.key) * 0x9E3779B97F4A7C15ull >> 20) & mask;
        while (slots_[i].key != EMPTY) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

void value_histogram_t::add(double x, uint64_t count)
{
    if (count == 0) return;
    if (coarse_) {
        add_coarse(x, count);
        return;
    }
    if (!(std::fabs(x) < BIG)) {
        if (big_.size() + used_ >= cap_ && big_.find(x) == big_.end()) {
            to_buckets();
            add_coarse(x, count);
            return;
        }
        n_ += count;
        big_[x] += count;
        return;
    }
    n_ += count;
    const int64_t k = thousandths(x);
    if (dense_.empty()) {
        dense_.assign(DENSE, 0);
        dense_base_ = k - DENSE / 2;
    }
    const auto at = static_cast<uint64_t>(k - dense_base_);
    if (at < static_cast<uint64_t>(DENSE)) {
        // Only an increment: nothing waits for the count to be fetched.
        dense_[at] += count;
        return;
    }
    add_sparse(k, count);
}

void value_histogram_t::add_sparse(int64_t k, uint64_t count)
{
    // Half full at most, so a probe ends soon.
    if (2 * (used_ + 1) > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(static_cast<uint64_t>(k) * 0x9E3779B97F4A7C15ull >> 20) & mask;
    for (;; i = (i + 1) & mask) {
        slot_t& s = slots_[i];
        if (s.key == k) {
            s.count += count;
            return;
        }
        if (s.key == EMPTY) {
            if (used_ + big_.size() >= cap_) {
                // One distinct value too many: count in buckets from now on.
                n_ -= count;
                to_buckets();
                add_coarse(static_cast<double>(k) / 1000, count);
                return;
            }
            s = {k, count};
            used_++;
            return;
        }
    }
}

void value_histogram_t::to_buckets()
{
    const ordered_t o = ordered();
    coarse_ = true;
    shift_ = 0;
    buckets_.assign(2 * cap_, {NO_BUCKET, 0});
    bucket_used_ = 0;
    sum_k_ = o.sum_k;
    sum_big_ = o.sum_big;
    for (const auto& [v, c] : o.values) {
        const uint64_t u = order_bits(v);
        min_u_ = std::min(min_u_, u);
        max_u_ = std::max(max_u_, u);
        bucket_add(u >> shift_, c);
    }
    std::vector<uint64_t>().swap(dense_);
    std::vector<slot_t>().swap(slots_);
    used_ = 0;
    big_.clear();
}

void value_histogram_t::add_coarse(double x, uint64_t count)
{
    n_ += count;
    const stat_key_t key = key_of(x);
    if (key.big)
        sum_big_ += key.value * static_cast<double>(count);
    else
        sum_k_ += static_cast<__int128>(key.k) * count;
    const uint64_t u = order_bits(stat_key_value(key));
    min_u_ = std::min(min_u_, u);
    max_u_ = std::max(max_u_, u);
    bucket_add(u >> shift_, count);
}

void value_histogram_t::bucket_add(uint64_t b, uint64_t count)
{
    const size_t mask = buckets_.size() - 1;
    size_t i = static_cast<size_t>(b * 0x9E3779B97F4A7C15ull >> 20) & mask;
    for (;; i = (i + 1) & mask) {
        auto& s = buckets_[i];
        if (s.first == b) {
            s.second += count;
            return;
        }
        if (s.first == NO_BUCKET) {
            s = {b, count};
            bucket_used_++;
            // Never more than the table's half: the pairs merge first.
            if (bucket_used_ > cap_ && !widening_) widen();
            return;
        }
    }
}

void value_histogram_t::widen()
{
    // Merge buckets in pairs until at most half the limit are used, so this
    // happens seldom: every value moves at most 64 times in all.
    widening_ = true;
    while (bucket_used_ > cap_ / 2) {
        std::vector<std::pair<uint64_t, uint64_t>> old(buckets_.size(), {NO_BUCKET, 0});
        old.swap(buckets_);
        bucket_used_ = 0;
        shift_++;
        for (const auto& [b, c] : old)
            if (b != NO_BUCKET) bucket_add(b >> 1, c);
    }
    widening_ = false;
}

std::vector<std::pair<uint64_t, uint64_t>> value_histogram_t::ordered_buckets() const
{
    std::vector<std::pair<uint64_t, uint64_t>> out;
    out.reserve(bucket_used_);
    for (const auto& s : buckets_)
        if (s.first != NO_BUCKET) out.push_back(s);
    std::sort(out.begin(), out.end());
    return out;
}

std::pair<uint64_t, uint64_t> value_histogram_t::bucket_range(uint64_t b) const
{
    const uint64_t lo = b << shift_;
    const uint64_t hi = shift_ == 0 ? lo : lo | ((uint64_t{1} << shift_) - 1);
    return {std::max(lo, min_u_), std::min(hi, max_u_)};
}

value_histogram_t::rank_bucket_t value_histogram_t::rank_bucket(uint64_t r) const
{
    rank_bucket_t out;
    if (r < 1 || r > n_) return out;
    if (!coarse_) {
        uint64_t below = 0;
        for (const auto& [v, c] : ordered().values) {
            if (r <= below + c) {
                out.lo = out.hi = order_bits(v);
                out.below = below;
                out.count = c;
                return out;
            }
            below += c;
        }
        return out;
    }
    uint64_t below = 0;
    for (const auto& [b, c] : ordered_buckets()) {
        if (r <= below + c) {
            std::tie(out.lo, out.hi) = bucket_range(b);
            out.below = below;
            out.count = c;
            return out;
        }
        below += c;
    }
    return out;
}

void value_histogram_t::merge(const value_histogram_t& other)
{
    if (other.coarse_) {
        for (const auto& [v, c] : other.ordered().values) add(v, c);
        return;
    }
    for (size_t i = 0; i < other.dense_.size(); i++)
        if (other.dense_[i])
            add(static_cast<double>(other.dense_base_ + static_cast<int64_t>(i)) / 1000, other.dense_[i]);
    for (const slot_t& s : other.slots_)
        if (s.key != EMPTY) add(static_cast<double>(s.key) / 1000, s.count);
    for (const auto& [v, c] : other.big_) add(v, c);
}

void value_histogram_t::clear()
{
    *this = value_histogram_t{cap_};
}

size_t value_histogram_t::dense_used() const
{
    return static_cast<size_t>(std::count_if(dense_.begin(), dense_.end(), [](uint64_t c) { return c != 0; }));
}

value_histogram_t::ordered_t value_histogram_t::ordered() const
{
    ordered_t o;
    if (coarse_) {
        o.sum_k = sum_k_;
        o.sum_big = sum_big_;
        for (const auto& [b, c] : ordered_buckets()) {
            const auto [lo, hi] = bucket_range(b);
            const double a = from_order_bits(lo), z = from_order_bits(hi);
            o.values.emplace_back(a + (z - a) / 2, c);
            o.error = std::max(o.error, (z - a) / 2);
        }
        return o;
    }
    std::vector<std::pair<int64_t, uint64_t>> ks;
    ks.reserve(used_);
    for (const slot_t& s : slots_)
        if (s.key != EMPTY) ks.emplace_back(s.key, s.count);
    std::sort(ks.begin(), ks.end());
    // The dense block is in order already: merge it in.
    std::vector<std::pair<int64_t, uint64_t>> dense;
    dense.reserve(dense_used());
    for (size_t i = 0; i < dense_.size(); i++)
        if (dense_[i]) dense.emplace_back(dense_base_ + static_cast<int64_t>(i), dense_[i]);
    std::vector<std::pair<int64_t, uint64_t>> all(ks.size() + dense.size());
    std::merge(ks.begin(), ks.end(), dense.begin(), dense.end(), all.begin());
    o.values.reserve(all.size() + big_.size());
    // Large negative values, the thousandths, large positive values.
    auto b = big_.begin();
    for (; b != big_.end() && b->first < 0; ++b) {
        o.values.emplace_back(b->first, b->second);
        o.sum_big += b->first * static_cast<double>(b->second);
    }
    for (const auto& [k, c] : all) {
        o.values.emplace_back(static_cast<double>(k) / 1000, c);
        o.sum_k += static_cast<__int128>(k) * c;
    }
    for (; b != big_.end(); ++b) {
        o.values.emplace_back(b->first, b->second);
        o.sum_big += b->first * static_cast<double>(b->second);
    }
    return o;
}

double value_histogram_t::min() const
{
    if (n_ == 0) return NaN;
    return coarse_ ? from_order_bits(min_u_) : ordered().values.front().first;
}

double value_histogram_t::max() const
{
    if (n_ == 0) return NaN;
    return coarse_ ? from_order_bits(max_u_) : ordered().values.back().first;
}

double value_histogram_t::mean() const
{
    if (coarse_) return big_sum_mean(sum_k_, sum_big_, n_);
    const ordered_t o = ordered();
    return big_sum_mean(o.sum_k, o.sum_big, n_);
}

std::vector<std::pair<double, uint64_t>> value_histogram_t::sorted() const
{
    return ordered().values;
}

namespace {

// Nearest-rank percentiles of n values listed in order with their counts.
void ranks_of(const std::vector<std::pair<double, uint64_t>>& v, uint64_t n, const uint64_t* nums, size_t k,
              uint64_t den, double* out)
{
    if (n == 0) {
        std::fill(out, out + k, NaN);
        return;
    }
    uint64_t below = 0;  // values before v[at]
    size_t at = 0;
    for (size_t i = 0; i < k; i++) {
        const uint64_t rank = nearest_rank_index(n, nums[i], den);
        while (below + v[at].second < rank) below += v[at++].second;
        out[i] = v[at].first;
    }
}

}  // namespace

void value_histogram_t::percentiles(const uint64_t* nums, size_t k, uint64_t den, double* out) const
{
    ranks_of(n_ ? ordered().values : std::vector<std::pair<double, uint64_t>>{}, n_, nums, k, den, out);
}

double value_histogram_t::percentile(uint64_t num, uint64_t den) const
{
    double v;
    percentiles(&num, 1, den, &v);
    return v;
}

column_stats_t value_histogram_t::stats(uint64_t nonfinite) const
{
    column_stats_t s;
    s.n = n_;
    s.nonfinite = nonfinite;
    const ordered_t o = ordered();
    s.min = n_ ? (coarse_ ? from_order_bits(min_u_) : o.values.front().first) : NaN;
    s.max = n_ ? (coarse_ ? from_order_bits(max_u_) : o.values.back().first) : NaN;
    s.mean = big_sum_mean(o.sum_k, o.sum_big, n_);
    static const uint64_t nums[3] = {50, 95, 99};
    double p[3];
    ranks_of(o.values, n_, nums, 3, 100, p);
    s.p50 = p[0];
    s.p95 = p[1];
    s.p99 = p[2];
    if (coarse_ && n_) {
        // The error of the buckets the three ranks lie in.
        s.pct_error = 0;
        for (uint64_t num : nums) {
            const rank_bucket_t b = rank_bucket(nearest_rank_index(n_, num, 100));
            const double a = from_order_bits(b.lo), z = from_order_bits(b.hi);
            s.pct_error = std::max(s.pct_error, (z - a) / 2);
        }
    }
    return s;
}

// ---------------------------------------------------------- id_tracker_t

std::vector<id_range_t> id_tracker_t::first_gaps(size_t max) const
{
    std::vector<id_range_t> out;
    for (size_t i = 0; i < closed.size() && out.size() < max; i++) out.push_back(closed[i]);
    for (auto it = gaps.begin(); it != gaps.end() && out.size() < max; ++it) out.push_back({it->first, it->second});
    return out;
}

namespace {

// Gaps wholly more than the horizon below the highest id can no longer be
// filled: they leave the map for the count (and the list of the first).
void close_gaps(id_tracker_t& t)
{
    while (!t.gaps.empty() && t.high - t.gaps.begin()->second > t.horizon) {
        const auto g = t.gaps.begin();
        if (t.closed.size() < id_tracker_t::MAX_KEPT_GAPS) t.closed.push_back({g->first, g->second});
        t.closed_gaps++;
        t.gaps.erase(g);
    }
}

}  // namespace

int64_t track_id(id_tracker_t& t, uint32_t id)
{
    if (!t.any) {
        t.any = true;
        t.prev_id = id;
        t.prev = t.low = t.high = id;
        return t.prev;
    }
    const int64_t x = t.prev + static_cast<int32_t>(id - t.prev_id);
    t.prev_id = id;
    t.prev = x;
    if (x > t.high) {
        if (x > t.high + 1) {
            t.gaps.emplace_hint(t.gaps.end(), t.high + 1, x - 1);
            t.missing += static_cast<uint64_t>(x - t.high - 1);
        }
        t.high = x;
        close_gaps(t);
        return x;
    }
    if (t.high - x > t.horizon) {
        // Too late to tell a late id from a repeat.
        t.out_of_order++;
        return x;
    }
    if (x < t.low) {
        if (x < t.low - 1) {
            t.gaps.emplace_hint(t.gaps.begin(), x + 1, t.low - 1);
            t.missing += static_cast<uint64_t>(t.low - 1 - x);
        }
        t.low = x;
        t.out_of_order++;
        return x;
    }
    // Inside the seen span: either a late id filling a gap, or a repeat.
    auto it = t.gaps.upper_bound(x);
    if (it == t.gaps.begin() || std::prev(it)->second < x) {
        t.repeats++;
        return x;
    }
    auto g = std::prev(it);
    t.missing--;
    t.out_of_order++;
    const int64_t first = g->first, last = g->second;
    if (first == x && last == x) {
        t.gaps.erase(g);
    } else if (first == x) {
        t.gaps.erase(g);
        t.gaps.emplace_hint(it, x + 1, last);
    } else if (last == x) {
        g->second = x - 1;
    } else {
        g->second = x - 1;
        t.gaps.emplace_hint(it, x + 1, last);
    }
    return x;
}

// -------------------------------------------------------- window_column_t

void window_column_t::unmapper::operator()(uint64_t* p) const
{
    munmap(p, static_cast<size_t>(DENSE) * sizeof(uint64_t));
}

void window_column_t::add_key(const stat_key_t& key)
{
    if (key.big) {
        big_[key.value]++;
        (key.value < 0 ? big_low_n_ : big_high_n_)++;
        sum_big_ += key.value;
        n_++;
        return;
    }
    const int64_t k = key.k;
    if (!fine_) {
        std::unique_ptr<uint64_t[]> coarse(new uint64_t[static_cast<size_t>(FINE)]());
        void* p = mmap(nullptr, static_cast<size_t>(DENSE) * sizeof(uint64_t), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        fine_.reset(static_cast<uint64_t*>(p));
        coarse_ = std::move(coarse);
        base_ = (k - DENSE / 4) & ~(FINE - 1);
    } else if (dense_n_ == 0 && static_cast<uint64_t>(k - base_) >= static_cast<uint64_t>(DENSE)) {
        // The block is empty: move it here unless values outside it would
        // then lie on the wrong side of it.
        const int64_t b = (k - DENSE / 4) & ~(FINE - 1);
        if ((low_.empty() || low_.rbegin()->first < b) && (high_.empty() || high_.begin()->first >= b + DENSE))
            base_ = b;
    }
    const auto off = static_cast<uint64_t>(k - base_);
    if (off < static_cast<uint64_t>(DENSE)) {
        fine_[off]++;
        coarse_[off >> FINE_BITS]++;
        dense_n_++;
    } else if (k < base_) {
        low_[k]++;
        low_n_++;
    } else {
        high_[k]++;
        high_n_++;
    }
    sum_k_ += k;
    n_++;
}

namespace {

// Takes one k out of m; false when m has none.
template <class K>
bool take_one(std::map<K, uint64_t>& m, K k)
{
    auto it = m.find(k);
    if (it == m.end()) return false;
    if (--it->second == 0) m.erase(it);
    return true;
}

}  // namespace

void window_column_t::remove_key(const stat_key_t& key)
{
    if (key.big) {
        if (!take_one(big_, key.value)) return;
        (key.value < 0 ? big_low_n_ : big_high_n_)--;
        sum_big_ -= key.value;
        n_--;
        return;
    }
    const int64_t k = key.k;
    const auto off = static_cast<uint64_t>(k - base_);
    if (fine_ && off < static_cast<uint64_t>(DENSE)) {
        if (fine_[off] == 0) return;
        fine_[off]--;
        coarse_[off >> FINE_BITS]--;
        dense_n_--;
    } else if (k < base_) {
        if (!take_one(low_, k)) return;
        low_n_--;
    } else {
        if (!take_one(high_, k)) return;
        high_n_--;
    }
    sum_k_ -= k;
    n_--;
}

void window_column_t::add(double x)
{
    add_key(key_of(x));
}

void window_column_t::remove(double x)
{
    remove_key(key_of(x));
}

void window_column_t::clear()
{
    *this = window_column_t{};
}

namespace {

// The key of rank r (1 <= r <= total) among the values of m, counted from
// whichever end is nearer.
template <class K>
K rank_in(const std::map<K, uint64_t>& m, uint64_t total, uint64_t r)
{
    if (r <= total / 2) {
        for (const auto& [k, c] : m) {
            if (r <= c) return k;
            r -= c;
        }
    } else {
        uint64_t from_top = total - r + 1;
        for (auto it = m.rbegin(); it != m.rend(); ++it) {
            if (from_top <= it->second) return it->first;
            from_top -= it->second;
        }
    }
    return m.rbegin()->first;  // not reached while the counts add up
}

}  // namespace

stat_key_t window_column_t::key_at(uint64_t r) const
{
    // Large negative values, thousandths below the block, the block,
    // thousandths above it, large positive values. A map holds the values
    // of one side only, so rank_in walks big_ within its side.
    if (r <= big_low_n_) return {true, 0, rank_in(big_, big_low_n_ + big_high_n_, r)};
    r -= big_low_n_;
    if (r <= low_n_) return {false, rank_in(low_, low_n_, r), 0};
    r -= low_n_;
    if (r <= dense_n_) {
        int64_t block = 0;
        while (r > coarse_[block]) r -= coarse_[block++];
        int64_t i = block << FINE_BITS;
        while (r > fine_[i]) r -= fine_[i++];
        return {false, base_ + i, 0};
    }
    r -= dense_n_;
    if (r <= high_n_) return {false, rank_in(high_, high_n_, r), 0};
    r -= high_n_;
    return {true, 0, rank_in(big_, big_low_n_ + big_high_n_, big_low_n_ + r)};
}

double window_column_t::at_rank(uint64_t r) const
{
    if (r < 1 || r > n_) return NaN;
    return stat_key_value(key_at(r));
}

double window_column_t::mean() const
{
    return big_sum_mean(sum_k_, sum_big_, n_);
}

double window_column_t::percentile(uint64_t num, uint64_t den) const
{
    return at_rank(nearest_rank_index(n_, num, den));
}

column_stats_t window_column_t::stats(uint64_t nonfinite) const
{
    column_stats_t s;
    s.n = n_;
    s.nonfinite = nonfinite;
    s.min = min();
    s.max = max();
    s.mean = mean();
    s.p50 = percentile(50, 100);
    s.p95 = percentile(95, 100);
    s.p99 = percentile(99, 100);
    return s;
}

// ------------------------------------------------------- latency_stats_t

bool stage_sums_t::apply(const stat_sample_t& s, int sign)
{
    double parts[STAT_STAGE_COUNT + 1];
    for (int i = 0; i < STAT_STAGE_COUNT; i++) parts[i] = s.v[STAT_STAGES[i]];
    parts[STAT_STAGE_COUNT] = s.v[STAT_VRX];
    for (double p : parts)
        if (!std::isfinite(p)) return false;
    for (int i = 0; i <= STAT_STAGE_COUNT; i++) {
        const stat_key_t k = key_of(parts[i]);
        if (k.big)
            big[i] += sign * k.value;
        else
            sum[i] += sign * static_cast<__int128>(k.k);
    }
    return true;
}

stage_shares_t stage_sums_t::shares() const
{
    stage_shares_t out;
    auto total = [&](int i) { return static_cast<double>(sum[i]) / 1000 + big[i]; };
    const double vrx = total(STAT_STAGE_COUNT);
    double used = 0;
    for (int i = 0; i < STAT_STAGE_COUNT; i++) {
        out.share[i] = vrx != 0 ? total(i) / vrx : NaN;
        used += out.share[i];
    }
    out.rest = vrx != 0 ? 1.0 - used : NaN;
    return out;
}

void frame_counts_t::apply(frame_kind_e kind, int sign)
{
    uint64_t& c = kind == FRAME_KIND_I ? i : kind == FRAME_KIND_P ? p : other;
    c += static_cast<uint64_t>(static_cast<int64_t>(sign));
}

int64_t latency_stats_t::add(const stat_sample_t& s)
{
    if (frames_ == 0) first_id_ = s.sample_id;
    last_id_ = s.sample_id;
    frames_++;
    kinds_.apply(s.kind, 1);
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        if (std::isfinite(s.v[c]))
            columns_[c].add(s.v[c]);
        else
            nonfinite_[c]++;
    }
    if (s.kind == FRAME_KIND_I || s.kind == FRAME_KIND_P) {
        const bool i = s.kind == FRAME_KIND_I;
        if (std::isfinite(s.v[STAT_VRX]))
            (i ? vrx_i_ : vrx_p_).add(s.v[STAT_VRX]);
        else
            (i ? nonfinite_i_ : nonfinite_p_)++;
    }
    stages_.apply(s, 1);
    return track_id(ids_, s.sample_id);
}

// ------------------------------------------------------ latency_window_t

id_step_t track_id_step(id_tracker_t& t, uint32_t id)
{
    const uint64_t missing = t.missing, repeats = t.repeats, out_of_order = t.out_of_order;
    track_id(t, id);
    id_step_t step;
    step.missing = static_cast<int64_t>(t.missing) - static_cast<int64_t>(missing);
    step.repeat = t.repeats != repeats;
    step.out_of_order = t.out_of_order != out_of_order;
    return step;
}

namespace {

constexpr uint8_t REPEAT = 1, OUT_OF_ORDER = 2, REPEATS_RECORD_BEFORE = 4;

inline void count(uint64_t& c, int sign)
{
    c += static_cast<uint64_t>(static_cast<int64_t>(sign));
}

}  // namespace

latency_window_t::latency_window_t(const std::vector<int64_t>& spans_ns, uint32_t columns, size_t max_held_bytes)
    : kept_(columns & ALL_STAT_COLUMNS), max_held_bytes_(max_held_bytes)
{
    spans_.resize(spans_ns.size());
    for (size_t i = 0; i < spans_ns.size(); i++) {
        spans_[i].span_ = spans_ns[i];
        timed_ = timed_ || spans_ns[i] > 0;
    }
}

void latency_window_t::apply(window_span_t& w, const record_t& r, int sign)
{
    if (r.flags & REPEATS_RECORD_BEFORE) {
        count(w.repeats_, sign);
        return;
    }
    count(w.frames_, sign);
    w.kinds_.apply(static_cast<frame_kind_e>(r.kind), sign);
    if (r.flags & REPEAT) count(w.repeats_, sign);
    if (r.flags & OUT_OF_ORDER) count(w.out_of_order_, sign);
    w.missing_ += sign * r.missing;
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        if (!(kept_ & (1u << c))) continue;
        if (!(r.finite & (1u << c))) {
            count(w.nonfinite_[c], sign);
            continue;
        }
        window_column_t& col = w.columns_[c];
        sign > 0 ? col.add_key(r.key[c]) : col.remove_key(r.key[c]);
    }
    if ((r.finite & (1u << STAT_VRX)) && r.kind != FRAME_KIND_OTHER) {
        window_column_t& col = r.kind == FRAME_KIND_I ? w.vrx_i_ : w.vrx_p_;
        sign > 0 ? col.add_key(r.key[STAT_VRX]) : col.remove_key(r.key[STAT_VRX]);
    }
    // The stage shares count records whose receiver latency and four
    // stages are all finite.
    bool all = (r.finite & (1u << STAT_VRX)) != 0;
    for (stat_column_e c : STAT_STAGES) all = all && (r.finite & (1u << c));
    if (!all) return;
    for (int i = 0; i <= STAT_STAGE_COUNT; i++) {
        const stat_key_t& k = r.key[i < STAT_STAGE_COUNT ? STAT_STAGES[i] : STAT_VRX];
        if (k.big)
            w.stages_.big[i] += sign * k.value;
        else
            w.stages_.sum[i] += sign * static_cast<__int128>(k.k);
    }
}

latency_window_t::record_t latency_window_t::decode(const entry_t& e) const
{
    record_t r;
    r.finite = e.finite;
    r.kind = e.kind;
    r.flags = e.flags;
    r.missing = e.missing;
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        if (!(e.finite & (1u << c))) continue;
        if (e.wide & (1u << c)) {
            // The index modulo 2^32, read relative to the oldest value held.
            const uint32_t at = static_cast<uint32_t>(e.k[c]) - static_cast<uint32_t>(wide_base_);
            r.key[c] = key_of(wide_[at]);
        } else {
            r.key[c] = {false, e.k[c], 0};
        }
    }
    return r;
}

void latency_window_t::add(int64_t now_ns, const stat_sample_t& s, const id_step_t& ids)
{
    expire(now_ns);
    record_t r;
    r.finite = 0;
    r.kind = static_cast<uint8_t>(s.kind);
    r.flags = static_cast<uint8_t>((ids.repeat ? REPEAT : 0) | (ids.out_of_order ? OUT_OF_ORDER : 0));
    r.missing = ids.missing;
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        // A column not kept is held as not finite, and apply() skips it.
        if (!(kept_ & (1u << c)) || !std::isfinite(s.v[c])) continue;
        r.finite = static_cast<uint16_t>(r.finite | 1u << c);
        r.key[c] = key_of(s.v[c]);
    }
    for (window_span_t& w : spans_) apply(w, r, 1);
    if (!timed_) return;
    entry_t e;
    e.t = now_ns;
    e.missing = r.missing;
    e.finite = r.finite;
    e.wide = 0;
    e.kind = r.kind;
    e.flags = r.flags;
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        e.k[c] = 0;
        if (!(r.finite & (1u << c))) continue;
        const stat_key_t& k = r.key[c];
        if (!k.big && k.k >= INT32_MIN && k.k <= INT32_MAX) {
            e.k[c] = static_cast<int32_t>(k.k);
            continue;
        }
        e.wide = static_cast<uint16_t>(e.wide | 1u << c);
        e.k[c] = static_cast<int32_t>(static_cast<uint32_t>(wide_base_ + wide_.size()));
        wide_.push_back(s.v[c]);
    }
    ring_.push_back(e);
    trim();
}

void latency_window_t::add_repeat(int64_t now_ns)
{
    expire(now_ns);
    record_t r{};
    r.flags = REPEATS_RECORD_BEFORE;
    for (window_span_t& w : spans_) apply(w, r, 1);
    if (!timed_) return;
    entry_t e{};
    e.t = now_ns;
    e.flags = REPEATS_RECORD_BEFORE;
    ring_.push_back(e);
    trim();
}

size_t latency_window_t::held_bytes() const
{
    // A map entry: its node (key, count, three pointers, colour) and the
    // allocator's header.
    constexpr size_t MAP_ENTRY_BYTES = 64;
    size_t outliers = 0;
    for (const window_span_t& w : spans_) {
        if (w.span_ <= 0) continue;
        for (const window_column_t& c : w.columns_) outliers += c.outliers();
        outliers += w.vrx_i_.outliers() + w.vrx_p_.outliers();
    }
    return ring_.size() * sizeof(entry_t) + wide_.size() * sizeof(double) + outliers * MAP_ENTRY_BYTES;
}

int64_t latency_window_t::oldest_ns(size_t i, int64_t now_ns) const
{
    const window_span_t& w = spans_[i];
    if (w.span_ <= 0 || w.next_ >= base_ + ring_.size()) return now_ns;
    return ring_[w.next_ - base_].t;
}

void latency_window_t::trim()
{
    // The entries are counted at every record, the spans' outliers (a walk
    // over their columns) every TRIM_COUNT records; once over the bound, the
    // oldest records go until an eighth of it is free again, so the walks
    // stay rare at any rate.
    constexpr uint32_t TRIM_COUNT = 1024;
    const size_t entries = ring_.size() * sizeof(entry_t) + wide_.size() * sizeof(double);
    if (entries <= max_held_bytes_ && ++since_trim_ < TRIM_COUNT) return;
    since_trim_ = 0;
    size_t held = held_bytes();
    if (held <= max_held_bytes_) return;
    const size_t goal = max_held_bytes_ - max_held_bytes_ / 8;
    while (!ring_.empty() && held > goal) {
        for (int step = 0; step < 256 && !ring_.empty(); step++) {
            const entry_t& e = ring_.front();
            const record_t r = decode(e);
            for (window_span_t& w : spans_) {
                if (w.span_ <= 0 || w.next_ != base_) continue;
                apply(w, r, -1);
                w.next_++;
                w.cut_ = std::max(w.cut_, e.t);
            }
            pop_oldest();
        }
        held = held_bytes();
    }
}

void latency_window_t::pop_oldest()
{
    const entry_t& e = ring_.front();
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        if (!(e.wide & (1u << c))) continue;
        wide_.pop_front();
        wide_base_++;
    }
    ring_.pop_front();
    base_++;
}

void latency_window_t::expire(int64_t now_ns)
{
    const uint64_t end = base_ + ring_.size();
    uint64_t keep = end;
    for (window_span_t& w : spans_) {
        if (w.span_ <= 0) continue;
        while (w.next_ < end) {
            const entry_t& e = ring_[w.next_ - base_];
            if (now_ns - e.t < w.span_) break;
            apply(w, decode(e), -1);
            w.next_++;
        }
        keep = std::min(keep, w.next_);
    }
    while (base_ < keep) pop_oldest();
}

void latency_window_t::clear()
{
    base_ += ring_.size();
    ring_.clear();
    wide_base_ += wide_.size();
    wide_.clear();
    for (window_span_t& w : spans_) {
        window_span_t fresh;
        fresh.span_ = w.span_;
        fresh.next_ = base_;
        w = std::move(fresh);
    }
}
