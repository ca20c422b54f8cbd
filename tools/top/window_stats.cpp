#include "window_stats.h"

#include <cstdlib>

#include "latency_report.h"

void key_histogram::freer::operator()(uint32_t* p) const { free(p); }

void key_histogram::add(int32_t key)
{
    n_++;
    sum_ += key;
    const int64_t off = int64_t(key) - lo_;
    if (off < 0) {
        below_[key]++;
        below_n_++;
        return;
    }
    if (off >= DENSE) {
        above_[key]++;
        above_n_++;
        return;
    }
    if (!fine_) {
        fine_.reset(static_cast<uint32_t*>(calloc(DENSE, sizeof(uint32_t))));
        coarse_.reset(static_cast<uint32_t*>(calloc(FINE, sizeof(uint32_t))));
        if (!fine_ || !coarse_) abort();
    }
    fine_[off]++;
    coarse_[off >> FINE_BITS]++;
}

void key_histogram::remove(int32_t key)
{
    n_--;
    sum_ -= key;
    const int64_t off = int64_t(key) - lo_;
    auto take = [](std::map<int32_t, uint64_t>& m, uint64_t& total, int32_t k) {
        auto it = m.find(k);
        if (it == m.end()) return;
        total--;
        if (--it->second == 0) m.erase(it);
    };
    if (off < 0) {
        take(below_, below_n_, key);
    } else if (off >= DENSE) {
        take(above_, above_n_, key);
    } else {
        fine_[off]--;
        coarse_[off >> FINE_BITS]--;
    }
}

void key_histogram::clear()
{
    n_ = 0;
    sum_ = 0;
    below_n_ = above_n_ = 0;
    below_.clear();
    above_.clear();
    fine_.reset();
    coarse_.reset();
}

int32_t key_histogram::at_rank(uint64_t r) const
{
    if (r <= below_n_) {
        for (const auto& [k, c] : below_) {
            if (r <= c) return k;
            r -= c;
        }
    }
    r -= below_n_;
    const uint64_t dense_n = n_ - below_n_ - above_n_;
    if (r <= dense_n) {
        int32_t block = 0;
        while (r > coarse_[block]) r -= coarse_[block++];
        int32_t i = block << FINE_BITS;
        while (r > fine_[i]) r -= fine_[i++];
        return lo_ + i;
    }
    r -= dense_n;
    for (const auto& [k, c] : above_) {
        if (r <= c) return k;
        r -= c;
    }
    return above_.empty() ? 0 : above_.rbegin()->first;  // r beyond count(): not reached
}

const int64_t window_stats::SPAN_MS[WINDOWS] = {1000, 10000, 60000, 0};

window_stats::window_stats()
{
    for (int w = 0; w < WINDOWS; w++) {
        win_[w].span_ms = SPAN_MS[w];
        for (auto& h : win_[w].hist) h = std::make_unique<key_histogram>();
    }
}

void window_stats::apply(window_t& w, const entry_t& e, int sign)
{
    if (e.flags & 4) {
        w.repeats += sign;
        return;
    }
    w.frames += sign;
    if (e.kind == 0) w.i_frames += sign;
    if (e.kind == 1) w.p_frames += sign;
    if (e.flags & 1) w.repeats += sign;
    if (e.flags & 2) w.out_of_order += sign;
    w.missing += sign * int64_t(e.missing_delta);
    static const int series_of[6] = {SER_VRX, SER_VTX, SER_FRAME, SER_FEC, SER_DECODE, SER_RENDER};
    for (int k = 0; k < 6; k++) {
        if (!(e.has & (1 << k))) continue;
        key_histogram& h = *w.hist[series_of[k]];
        sign > 0 ? h.add(e.q[k]) : h.remove(e.q[k]);
    }
    if (e.has & 1) {
        const int s = e.kind == 0 ? SER_VRX_I : e.kind == 1 ? SER_VRX_P : -1;
        if (s >= 0) sign > 0 ? w.hist[s]->add(e.q[0]) : w.hist[s]->remove(e.q[0]);
    }
    // vrx, frame, fec, decode and render all present: bits 0, 2, 3, 4, 5.
    if ((e.has & 0x3d) == 0x3d) {
        w.share_vrx += sign * int64_t(e.q[0]);
        for (int k = 0; k < STAGE_COUNT; k++) w.share_stage[k] += sign * int64_t(e.q[2 + k]);
    }
}

void window_stats::add(const top_sample_t& s)
{
    entry_t e{};
    e.t_ms = static_cast<uint32_t>(s.t_ms);
    e.kind = s.kind;
    for (int k = 0; k < 6; k++) {
        e.q[k] = s.has[k] ? s.q[k] : 0;
        if (s.has[k]) e.has |= static_cast<uint8_t>(1 << k);
    }
    e.missing_delta = s.missing_delta;
    e.flags = static_cast<uint8_t>((s.repeat ? 1 : 0) | (s.out_of_order ? 2 : 0) | (s.skipped ? 4 : 0));
    for (window_t& w : win_) apply(w, e, +1);
    ring_.push_back(e);
}

void window_stats::expire(int64_t now_ms)
{
    const uint32_t now = static_cast<uint32_t>(now_ms);
    const uint64_t end = base_ + ring_.size();
    for (window_t& w : win_) {
        if (w.span_ms == 0) continue;
        // Times are kept modulo 2^32 ms; every entry held is younger than
        // the longest window, so the difference is exact.
        while (w.next < end) {
            const entry_t& e = ring_[w.next - base_];
            if (static_cast<uint32_t>(now - e.t_ms) < static_cast<uint64_t>(w.span_ms)) break;
            apply(w, e, -1);
            w.next++;
        }
    }
    uint64_t keep = end;
    for (const window_t& w : win_)
        if (w.span_ms != 0 && w.next < keep) keep = w.next;
    while (base_ < keep) {
        ring_.pop_front();
        base_++;
    }
}

void window_stats::clear()
{
    base_ += ring_.size();
    ring_.clear();
    for (window_t& w : win_) {
        const int64_t span = w.span_ms;
        for (auto& h : w.hist) h->clear();
        w.frames = w.i_frames = w.p_frames = w.repeats = w.out_of_order = 0;
        w.missing = 0;
        w.share_vrx = 0;
        for (auto& s : w.share_stage) s = 0;
        w.span_ms = span;
        w.next = base_;
    }
}

window_figures_t window_stats::figures(int wi) const
{
    const window_t& w = win_[wi];
    window_figures_t f;
    f.span_ms = w.span_ms;
    f.frames = w.frames;
    f.i_frames = w.i_frames;
    f.p_frames = w.p_frames;
    f.repeats = w.repeats;
    f.out_of_order = w.out_of_order;
    f.missing = w.missing;
    f.share_vrx = w.share_vrx;
    for (int k = 0; k < STAGE_COUNT; k++) f.share_stage[k] = w.share_stage[k];
    for (int s = 0; s < SER_COUNT; s++) {
        const key_histogram& h = *w.hist[s];
        series_figures_t& o = f.series[s];
        o.n = h.count();
        o.sum = h.sum();
        if (o.n == 0) continue;
        o.min = h.at_rank(1);
        o.p50 = h.at_rank(nearest_rank_index(o.n, 50, 100));
        o.p95 = h.at_rank(nearest_rank_index(o.n, 95, 100));
        o.p99 = h.at_rank(nearest_rank_index(o.n, 99, 100));
        o.max = h.at_rank(o.n);
    }
    return f;
}
