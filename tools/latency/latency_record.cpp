// The latency record's column table: what is computed from it at run time.
#include "latency_record.h"

#include <array>
#include <cstring>

bool codec_from_name(const char* name, venc_mode_t& codec)
{
    if (strcmp(name, "h264") == 0)
        codec = VENC_H264;
    else if (strcmp(name, "h265") == 0)
        codec = VENC_H265;
    else
        return false;
    return true;
}

const char* codec_name(venc_mode_t codec)
{
    return codec == VENC_H264 ? "h264" : codec == VENC_H265 ? "h265" : "";
}

void latency_logged_values(const vrx_latency_packet_t& r, float avg, double (&v)[STAT_COLUMN_COUNT])
{
    for (const latency_column_t& c : LATENCY_COLUMNS) {
        if (c.stat < 0) continue;
        switch (c.source) {
        case SRC_U32: v[c.stat] = latency_member<uint32_t>(r, c.offset); break;
        case SRC_I32: v[c.stat] = latency_member<int32_t>(r, c.offset); break;
        case SRC_F32: v[c.stat] = value_as_logged(latency_member<float>(r, c.offset), c.csv_decimals); break;
        case SRC_AVERAGE: v[c.stat] = value_as_logged(avg, c.csv_decimals); break;
        case SRC_FRAME_TYPE: break;
        }
    }
}

float latency_row_average(const vrx_latency_packet_t& r, std::deque<float>& i_window, std::deque<float>& p_window)
{
    switch (frame_kind_of_code(r.frame_type)) {
    case FRAME_KIND_I: return calc_avg_latency(r.vrx_latency_ms, i_window);
    case FRAME_KIND_P: return calc_avg_latency(r.vrx_latency_ms, p_window);
    default: return r.vrx_latency_ms;
    }
}

const std::string& latency_csv_header()
{
    static const std::string header = [] {
        std::string h;
        for (const latency_column_t& c : LATENCY_COLUMNS) {
            if (c.csv_title == nullptr) continue;
            if (!h.empty()) h += ',';
            h += c.csv_title;
        }
        return h;
    }();
    return header;
}

const char* latency_series_title(int series)
{
    const latency_series_t& s = LATENCY_SERIES[series];
    return s.one_kind ? s.kind_title : LATENCY_COLUMNS[LATENCY_STAT_INDEX.of[s.stat]].csv_title;
}

const char* latency_series_key(int series)
{
    static const auto keys = [] {
        std::array<std::string, SER_COUNT> k;
        for (int i = 0; i < SER_COUNT; i++) {
            const latency_series_t& s = LATENCY_SERIES[i];
            k[i] = LATENCY_COLUMNS[LATENCY_STAT_INDEX.of[s.stat]].json_key;
            if (s.one_kind) k[i] += s.kind_key;
        }
        return k;
    }();
    return keys[static_cast<size_t>(series)].c_str();
}
