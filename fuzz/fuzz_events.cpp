// The link event detector on arbitrary frame sequences: every 8 bytes are a
// step of time, a step of the sample id, latencies, a signal level, a frame
// rate and flags (other codec, a disconnection, refused records). Whatever
// comes, events start before they end, ongoing ones are one per kind, the
// kept and untaken ones stay within their bounds and every event counted
// once.
#include <cstring>

#include "fuzz_util.h"
#include "link_events.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size)
{
    link_events_t ev;
    int64_t t = 0;
    uint32_t id = 1;
    uint64_t started = 0, ended = 0;
    bool connected = true;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint8_t* b = in + i;
        t += b[0] * (b[1] & 0x80 ? 100 : 1);
        const int step = static_cast<int8_t>(b[1] & 0x7f) - 8;
        id += static_cast<uint32_t>(step);
        const uint8_t flags = b[7];
        if (flags & 0x10) {
            if (connected)
                ev.disconnected(t, t + 1700000000000);
            else
                ev.connected(t, t + 1700000000000);
            connected = !connected;
        } else if (flags & 0x20) {
            ev.bad_records(t, -1, b[2]);
        } else if (flags & 0x40) {
            ev.viewer_dropped(t, -1, b[3]);
        } else if (flags & 0x80) {
            ev.tick(t, -1);
        } else {
            event_frame_t f;
            f.t_ms = t;
            f.wall_ms = flags & 0x08 ? t + 1700000000000 : -1;
            f.s.sample_id = id;
            f.s.kind = static_cast<frame_kind_e>(flags & 3);
            for (int c = 0; c < STAT_COLUMN_COUNT; c++) f.s.v[c] = b[2 + c % 4] / 4.0;
            f.s.v[STAT_RSSI] = -static_cast<double>(b[4]);
            f.s.v[STAT_FPS] = b[5] * 2.0;
            if (flags & 4) f.s.v[STAT_VRX] = b[6] & 1 ? 1e300 : -1e300;
            f.missing = step > 1 ? step - 1 : step < 0 ? -1 : 0;
            f.other_codec = b[6] & 2;
            ev.frame(f);
        }
        for (const event_change_t& c : ev.take_changes()) {
            FUZZ_CHECK(c.ev.start_ms <= c.ev.end_ms);
            (c.started ? started : ended)++;
        }
        FUZZ_CHECK(ev.ended().size() <= link_events_t::MAX_RECENT);
    }
    ev.finish();
    for (const event_change_t& c : ev.take_changes()) {
        FUZZ_CHECK(c.ev.start_ms <= c.ev.end_ms);
        FUZZ_CHECK(!c.started && !c.ev.ongoing);
        ended++;
    }
    FUZZ_CHECK(!ev.degraded());
    FUZZ_CHECK(started == ev.total() && ended == ev.total());
    for (const link_event_t& e : ev.ended()) FUZZ_CHECK(e.start_ms <= e.end_ms && !e.ongoing);
    return 0;
}
