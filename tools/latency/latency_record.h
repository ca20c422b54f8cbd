// The latency record of the "vrx_latency" pipe and the one table of its
// columns. Everything that shows, logs, reads or summarizes a record works
// from this table: the inspector's live table header and rows, the CSV lines
// and CSV header (latency_format.h, latency_log.h), the log parser, the
// report's statistics and JSON, the live view, the plot and the simulator
// (which fills the record itself). A column changes here, once.
#ifndef TARN_LATENCY_RECORD_H
#define TARN_LATENCY_RECORD_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "tarn_common.h"

// The receiver's latency pipe, the default of every program that reads or
// publishes it. The receiver's settings are VRX_CONFIG_PATH (tarn_common.h).
constexpr char LATENCY_PIPE_NAME[32] = "vrx_latency";

// Codec names of the settings' "encoding" key and of --codec: "h264" and
// "h265". False (codec unchanged) for any other text.
bool codec_from_name(const char* name, venc_mode_t& codec);
// "h264" or "h265"; "" for VENC_OTHER.
const char* codec_name(venc_mode_t codec);

// One latency record of the "vrx_latency" pipe, little-endian on the wire.
struct vrx_latency_packet_t {
    uint32_t magic_number;
    uint32_t sample_id;
    float input_mbps;
    float vtx_latency_ms;
    float vrx_latency_ms;
    float frame_latency_ms;
    float fec_latency_ms;
    float decode_latency_ms;
    float render_latency_ms;
    float pcap_delta_ms;
    int32_t frame_type;
    int32_t fragments;
    int32_t rssi_dbm;
    float fps;
    float vbat_vdc;
};
static_assert(sizeof(vrx_latency_packet_t) == 60, "the latency record is 60 bytes");
static_assert(offsetof(vrx_latency_packet_t, sample_id) == 4);
static_assert(offsetof(vrx_latency_packet_t, input_mbps) == 8);
static_assert(offsetof(vrx_latency_packet_t, vtx_latency_ms) == 12);
static_assert(offsetof(vrx_latency_packet_t, vrx_latency_ms) == 16);
static_assert(offsetof(vrx_latency_packet_t, frame_latency_ms) == 20);
static_assert(offsetof(vrx_latency_packet_t, fec_latency_ms) == 24);
static_assert(offsetof(vrx_latency_packet_t, decode_latency_ms) == 28);
static_assert(offsetof(vrx_latency_packet_t, render_latency_ms) == 32);
static_assert(offsetof(vrx_latency_packet_t, pcap_delta_ms) == 36);
static_assert(offsetof(vrx_latency_packet_t, frame_type) == 40);
static_assert(offsetof(vrx_latency_packet_t, fragments) == 44);
static_assert(offsetof(vrx_latency_packet_t, rssi_dbm) == 48);
static_assert(offsetof(vrx_latency_packet_t, fps) == 52);
static_assert(offsetof(vrx_latency_packet_t, vbat_vdc) == 56);

// Columns the report summarizes, in the order it prints them; the engine
// (latency_stats.h) takes one value of each per record.
enum stat_column_e {
    STAT_INPUT,
    STAT_VTX,
    STAT_VRX,
    STAT_AVG,
    STAT_FRAME,
    STAT_FEC,
    STAT_DECODE,
    STAT_RENDER,
    STAT_PCAP,
    STAT_FPS,
    STAT_RSSI,
    STAT_FRAGMENTS,
    STAT_COLUMN_COUNT
};

// Where a column's value comes from.
enum column_source_e : uint8_t {
    SRC_U32,         // an unsigned 32-bit member, printed in decimal
    SRC_I32,         // a signed 32-bit member, printed in decimal
    SRC_F32,         // a float member, printed in fixed point
    SRC_AVERAGE,     // the rolling mean of the receiver latency (a float)
    SRC_FRAME_TYPE,  // nalu_as_string of the frame_type member
};

struct latency_column_t {
    const char* member;  // the record member (or what the value is)
    column_source_e source;
    size_t offset;  // of the member in the record (SRC_U32, SRC_I32, SRC_F32, SRC_FRAME_TYPE)
    // Live table: the header cell, the column's width and decimals, and the
    // text that follows the value (spaces and "|"). The header cell is as
    // wide as width plus that text.
    const char* cell;
    int width;
    int decimals;
    const char* after;
    // CSV log: the header title (nullptr: not logged) and decimals, and
    // what the log reader says of a value it cannot read.
    const char* csv_title;
    int csv_decimals;
    const char* csv_bad;
    // Report: the statistics column (-1: none), JSON key, unit and decimals.
    int stat;
    const char* json_key;
    const char* unit;
    int report_decimals;
};

// The columns in the order of the live table; the CSV log has the same
// order without the columns it does not log.
constexpr latency_column_t LATENCY_COLUMNS[] = {
    {"sample_id", SRC_U32, offsetof(vrx_latency_packet_t, sample_id), "    id   |", 8, 0, " |", "Sample ID", 0,
     "bad sample id", -1, nullptr, nullptr, 0},
    {"input_mbps", SRC_F32, offsetof(vrx_latency_packet_t, input_mbps), " in (mbps) |", 7, 1, "    |", "Input MBPS", 1,
     "bad number", STAT_INPUT, "input_mbps", "Mbit/s", 2},
    {"vtx_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, vtx_latency_ms), " vtx(ms) |", 7, 3, "  |",
     "VTX Latency", 3, "bad number", STAT_VTX, "vtx_latency_ms", "ms", 3},
    {"vrx_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, vrx_latency_ms), " vrx(ms) |", 7, 3, "  |",
     "VRX Latency", 3, "bad number", STAT_VRX, "vrx_latency_ms", "ms", 3},
    {"average", SRC_AVERAGE, 0, " avg vrx(ms) |", 9, 3, "    |", "Average Latency", 3, "bad number", STAT_AVG,
     "average_latency_ms", "ms", 3},
    {"frame_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, frame_latency_ms), " frame(ms) |", 8, 3, "   |",
     "Frame Latency", 3, "bad number", STAT_FRAME, "frame_latency_ms", "ms", 3},
    {"fec_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, fec_latency_ms), " fec(ms) |", 7, 3, "  |",
     "FEC Latency", 3, "bad number", STAT_FEC, "fec_latency_ms", "ms", 3},
    {"decode_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, decode_latency_ms), " decode(ms) |", 9, 3, "   |",
     "Decode Latency", 3, "bad number", STAT_DECODE, "decode_latency_ms", "ms", 3},
    {"render_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, render_latency_ms), " render(ms) |", 9, 3, "   |",
     "Render Latency", 3, "bad number", STAT_RENDER, "render_latency_ms", "ms", 3},
    {"pcap_delta_ms", SRC_F32, offsetof(vrx_latency_packet_t, pcap_delta_ms), " pcap\u25B2(ms) |", 8, 3, "   |",
     "PCAP Delta", 3, "bad number", STAT_PCAP, "pcap_delta_ms", "ms", 3},
    {"fps", SRC_F32, offsetof(vrx_latency_packet_t, fps), "  fps |", 5, 1, " |", "FPS", 3, "bad number", STAT_FPS,
     "fps", "frames/s", 3},
    {"rssi_dbm", SRC_I32, offsetof(vrx_latency_packet_t, rssi_dbm), " rssi(dBm) |", 7, 0, "    |", "RSSI", 0,
     "bad RSSI", STAT_RSSI, "rssi_dbm", "dBm", 0},
    {"fragments", SRC_I32, offsetof(vrx_latency_packet_t, fragments), " frags |", 5, 0, "  |", "Fragments", 0,
     "bad fragment count", STAT_FRAGMENTS, "fragments", "count", 0},
    {"frame_type", SRC_FRAME_TYPE, offsetof(vrx_latency_packet_t, frame_type), " frame type |", 11, 0, " |",
     "Frame Type", 0, "unknown frame type", -1, nullptr, nullptr, 0},
    {"vbat_vdc", SRC_F32, offsetof(vrx_latency_packet_t, vbat_vdc), " vbat(VDC) |", 7, 1, "    |", nullptr, 0, nullptr,
     -1, nullptr, nullptr, 0},
};
constexpr size_t LATENCY_COLUMN_COUNT = sizeof LATENCY_COLUMNS / sizeof LATENCY_COLUMNS[0];

// The CSV columns: those with a title, in table order.
constexpr size_t latency_csv_column_count()
{
    size_t n = 0;
    for (const latency_column_t& c : LATENCY_COLUMNS) n += c.csv_title != nullptr;
    return n;
}
constexpr size_t LATENCY_CSV_COLUMNS = latency_csv_column_count();

// The table index of the statistics column s.
constexpr size_t latency_column_of_stat(int s)
{
    for (size_t i = 0; i < LATENCY_COLUMN_COUNT; i++)
        if (LATENCY_COLUMNS[i].stat == s) return i;
    return LATENCY_COLUMN_COUNT;
}

// The table index of every statistics column, computed once.
struct latency_stat_index_t {
    size_t of[STAT_COLUMN_COUNT];
};
constexpr latency_stat_index_t latency_stat_index()
{
    latency_stat_index_t t{};
    for (int s = 0; s < STAT_COLUMN_COUNT; s++) t.of[s] = latency_column_of_stat(s);
    return t;
}
constexpr latency_stat_index_t LATENCY_STAT_INDEX = latency_stat_index();

// Every statistics column is in the table once, and is logged: the report
// reads it from the CSV log.
constexpr bool latency_stats_columns_complete()
{
    for (int s = 0; s < STAT_COLUMN_COUNT; s++) {
        const size_t i = latency_column_of_stat(s);
        if (i == LATENCY_COLUMN_COUNT || LATENCY_COLUMNS[i].csv_title == nullptr) return false;
    }
    return true;
}
static_assert(latency_stats_columns_complete(), "every statistics column is a logged column");

// The latency series the live view shows and the report compares: the VRX
// latency of all frames, of I-frames and of P-frames, then the VTX latency
// and the receiver's four stages. Titles and JSON keys come from the column
// table (latency_series_title, latency_series_key).
enum latency_series_e { SER_VRX, SER_VRX_I, SER_VRX_P, SER_VTX, SER_FRAME, SER_FEC, SER_DECODE, SER_RENDER, SER_COUNT };
struct latency_series_t {
    stat_column_e stat;  // the column
    bool one_kind;       // only frames of kind
    frame_kind_e kind;
    const char* kind_title;  // replaces the column's title (one_kind)
    const char* kind_key;    // follows the column's JSON key (one_kind)
    const char* label;       // the live view's row label
};
constexpr latency_series_t LATENCY_SERIES[SER_COUNT] = {
    {STAT_VRX, false, FRAME_KIND_OTHER, nullptr, nullptr, "VRX all"},
    {STAT_VRX, true, FRAME_KIND_I, "  I-frames", "_i_frames", "VRX I"},
    {STAT_VRX, true, FRAME_KIND_P, "  P-frames", "_p_frames", "VRX P"},
    {STAT_VTX, false, FRAME_KIND_OTHER, nullptr, nullptr, "VTX"},
    {STAT_FRAME, false, FRAME_KIND_OTHER, nullptr, nullptr, "frame"},
    {STAT_FEC, false, FRAME_KIND_OTHER, nullptr, nullptr, "FEC"},
    {STAT_DECODE, false, FRAME_KIND_OTHER, nullptr, nullptr, "decode"},
    {STAT_RENDER, false, FRAME_KIND_OTHER, nullptr, nullptr, "render"},
};
constexpr bool latency_series_are_floats()
{
    for (const latency_series_t& s : LATENCY_SERIES)
        if (LATENCY_COLUMNS[latency_column_of_stat(s.stat)].source != SRC_F32) return false;
    return true;
}
static_assert(latency_series_are_floats(), "every latency series is a float member of the record");
// "VRX Latency", "  I-frames", ... "Render Latency".
const char* latency_series_title(int series);
// "vrx_latency_ms", "vrx_latency_ms_i_frames", ... "render_latency_ms".
const char* latency_series_key(int series);

// The CSV header line, without its "\n": the titles joined by ",".
const std::string& latency_csv_header();

// A member of the record by its offset.
template <typename T>
inline T latency_member(const vrx_latency_packet_t& r, size_t offset)
{
    T v;
    __builtin_memcpy(&v, reinterpret_cast<const char*>(&r) + offset, sizeof v);
    return v;
}

// v in units of 10^-decimals (decimals 0 to 3) exactly as the log prints it
// with printf("%.*f"): the magnitude scaled and rounded to the nearest
// integer, ties to even (the default rounding mode), then the sign. False
// for NaN, infinities and magnitudes of 2^53 units and more. Inline and
// without a library call: it runs for every value of every row.
inline bool round_as_logged(double v, int decimals, int64_t& units)
{
    static constexpr double SCALE[] = {1, 10, 100, 1000};
    constexpr double TWO_52 = 4503599627370496.0;
    const double m = std::fabs(v) * SCALE[decimals];
    if (!(m < 2 * TWO_52)) return false;
    // Adding and taking away 2^52 leaves m rounded to an integer in the
    // current rounding mode; from 2^52 on every double is an integer.
    const double r = m < TWO_52 ? (m + TWO_52) - TWO_52 : m;
    units = std::signbit(v) ? -static_cast<int64_t>(r) : static_cast<int64_t>(r);
    return true;
}

// v as the log holds it (a float of the record printed with decimals), NaN
// when the log could not hold it as a number.
inline double value_as_logged(double v, int decimals)
{
    static constexpr double SCALE[] = {1, 10, 100, 1000};
    int64_t units;
    if (!round_as_logged(v, decimals, units)) return std::nan("");
    return static_cast<double>(units) / SCALE[decimals];
}

// The values of the statistics columns of a record as its CSV line holds
// them, by the column table: v[STAT_*]. avg is the row's average column.
void latency_logged_values(const vrx_latency_packet_t& r, float avg, double (&v)[STAT_COLUMN_COUNT]);

// The average column: the rolling mean of the I-frame or P-frame window the
// record's frame type belongs to (calc_avg_latency), or the record's own
// VRX latency for any other frame type.
float latency_row_average(const vrx_latency_packet_t& r, std::deque<float>& i_window, std::deque<float>& p_window);

#endif
