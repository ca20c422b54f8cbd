// The latency record of the "vrx_latency" pipe and the one table of its
// columns. Everything that shows, logs, reads or summarizes a record works
// from this table: the inspector's live table header and rows, its CSV lines
// and CSV header, the report's log parser, statistics and JSON, the plot and
// the simulator (which fills the record itself). A column changes here, once.
#ifndef TARN_LATENCY_RECORD_H
#define TARN_LATENCY_RECORD_H

#include <cstddef>
#include <cstdint>
#include <string>

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
    STAT_INPUT, STAT_VTX, STAT_VRX, STAT_AVG, STAT_FRAME, STAT_FEC, STAT_DECODE, STAT_RENDER,
    STAT_PCAP, STAT_FPS, STAT_RSSI, STAT_FRAGMENTS, STAT_COLUMN_COUNT
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
    const char* member;    // the record member (or what the value is)
    column_source_e source;
    size_t offset;         // of the member in the record (SRC_U32, SRC_I32, SRC_F32, SRC_FRAME_TYPE)
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
    {"sample_id", SRC_U32, offsetof(vrx_latency_packet_t, sample_id),
     "    id   |", 8, 0, " |", "Sample ID", 0, "bad sample id",
     -1, nullptr, nullptr, 0},
    {"input_mbps", SRC_F32, offsetof(vrx_latency_packet_t, input_mbps),
     " in (mbps) |", 7, 1, "    |", "Input MBPS", 1, "bad number",
     STAT_INPUT, "input_mbps", "Mbit/s", 2},
    {"vtx_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, vtx_latency_ms),
     " vtx(ms) |", 7, 3, "  |", "VTX Latency", 3, "bad number",
     STAT_VTX, "vtx_latency_ms", "ms", 3},
    {"vrx_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, vrx_latency_ms),
     " vrx(ms) |", 7, 3, "  |", "VRX Latency", 3, "bad number",
     STAT_VRX, "vrx_latency_ms", "ms", 3},
    {"average", SRC_AVERAGE, 0,
     " avg vrx(ms) |", 9, 3, "    |", "Average Latency", 3, "bad number",
     STAT_AVG, "average_latency_ms", "ms", 3},
    {"frame_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, frame_latency_ms),
     " frame(ms) |", 8, 3, "   |", "Frame Latency", 3, "bad number",
     STAT_FRAME, "frame_latency_ms", "ms", 3},
    {"fec_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, fec_latency_ms),
     " fec(ms) |", 7, 3, "  |", "FEC Latency", 3, "bad number",
     STAT_FEC, "fec_latency_ms", "ms", 3},
    {"decode_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, decode_latency_ms),
     " decode(ms) |", 9, 3, "   |", "Decode Latency", 3, "bad number",
     STAT_DECODE, "decode_latency_ms", "ms", 3},
    {"render_latency_ms", SRC_F32, offsetof(vrx_latency_packet_t, render_latency_ms),
     " render(ms) |", 9, 3, "   |", "Render Latency", 3, "bad number",
     STAT_RENDER, "render_latency_ms", "ms", 3},
    {"pcap_delta_ms", SRC_F32, offsetof(vrx_latency_packet_t, pcap_delta_ms),
     " pcap\u25B2(ms) |", 8, 3, "   |", "PCAP Delta", 3, "bad number",
     STAT_PCAP, "pcap_delta_ms", "ms", 3},
    {"fps", SRC_F32, offsetof(vrx_latency_packet_t, fps),
     "  fps |", 5, 1, " |", "FPS", 3, "bad number",
     STAT_FPS, "fps", "frames/s", 3},
    {"rssi_dbm", SRC_I32, offsetof(vrx_latency_packet_t, rssi_dbm),
     " rssi(dBm) |", 7, 0, "    |", "RSSI", 0, "bad RSSI",
     STAT_RSSI, "rssi_dbm", "dBm", 0},
    {"fragments", SRC_I32, offsetof(vrx_latency_packet_t, fragments),
     " frags |", 5, 0, "  |", "Fragments", 0, "bad fragment count",
     STAT_FRAGMENTS, "fragments", "count", 0},
    {"frame_type", SRC_FRAME_TYPE, offsetof(vrx_latency_packet_t, frame_type),
     " frame type |", 11, 0, " |", "Frame Type", 0, "unknown frame type",
     -1, nullptr, nullptr, 0},
    {"vbat_vdc", SRC_F32, offsetof(vrx_latency_packet_t, vbat_vdc),
     " vbat(VDC) |", 7, 1, "    |", nullptr, 0, nullptr, -1, nullptr, nullptr, 0},
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

#endif
